"""On-demand sweeps (--sweeps): `zetctl scan` through a running zet against `clamdscan --multiscan --fdpass`
through clamd and against libclamav alone (engine_limit), on the same tree; then the latency of live
writes while a sweep runs."""

import json
import os
import shutil
import signal
import subprocess
import threading
import time

from .measurements import latency, paired_ratios, percentile, summary
from .pipelines import ENGINE_METHODS, run_clamdscan, run_engine
from .processes import log, proc_cpu
from .reads import machine_load
from .trees import make_dirs, plan_tree, write_tree

SIDES = ("zetctl", "clamdscan", "engine")
LABELS = {"zetctl": "zetctl scan (zet + orbis-scand)", "clamdscan": "clamdscan --multiscan --fdpass (clamd)",
          "engine": "libclamav alone (engine_limit)"}


def cpu_of(pids):
    return {name: proc_cpu(pid) for name, pid in pids.items()}


def cpu_used(before, after):
    return {k: after[k] - before[k] for k in before if before[k] is not None and after.get(k) is not None}


def zetctl_scan(bins, conf, path, extra=()):
    """One sweep, --json and --no-move: every repetition sees the same files, and no side moves any."""
    return subprocess.Popen([bins["zetctl"], "scan", "-c", conf, "--json", "--no-move", *extra, path],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def summary_of(out):
    """The summary object of zetctl scan --json; {} without one."""
    for line in reversed(out.splitlines()):
        try:
            doc = json.loads(line)
        except ValueError:
            continue
        if "summary" in doc:
            return doc["summary"]
    return {}


def side_zetctl(zp, bins, root):
    pids = zp.procs()
    c0, t0 = cpu_of(pids), time.monotonic()
    proc = zetctl_scan(bins, zp.conf, root)
    out, err = proc.communicate()
    secs = time.monotonic() - t0
    s = summary_of(out)
    if not s:
        raise RuntimeError(f"zetctl scan exited with {proc.returncode} and no summary:\n{err[-2000:]}")
    return {"seconds": secs, "files": s.get("scanned", 0), "infected_found": s.get("infected"),
            "unscanned": s.get("unscanned"), "status": proc.returncode, "cpu_s": cpu_used(c0, cpu_of(pids))}


def side_clamdscan(pp, root, files):
    pids = pp.procs()
    c0 = cpu_of(pids)
    secs, found, status = run_clamdscan(pp, root, "--fdpass")
    return {"seconds": secs, "files": files, "status": status, "infected_found": found,
            "cpu_s": cpu_used(c0, cpu_of(pids))}


def side_engine(bins, args, root):
    kv = run_engine(bins, args, root, ENGINE_METHODS["engine"])
    return {"seconds": float(kv["seconds"]), "files": int(kv["files"]), "infected_found": int(kv["infected"]),
            "errors": int(kv["errors"])}


class Sweeping(threading.Thread):
    """zetctl scan of `root` again and again until stopped: a sweep for as long as the samples take."""

    def __init__(self, bins, conf, root):
        super().__init__(daemon=True)
        self.bins, self.conf, self.root = bins, conf, root
        self.stopping = threading.Event()
        self.sweeps, self.proc = 0, None
        self.lock = threading.Lock()

    def run(self):
        while not self.stopping.is_set():
            with self.lock:
                if self.stopping.is_set():
                    break
                self.proc = zetctl_scan(self.bins, self.conf, self.root)
            self.proc.communicate()
            self.sweeps += 1  # the one stopped too

    def stop(self):
        """Ctrl-C for the sweep in flight (zet finishes its scans and stops walking)."""
        with self.lock:
            self.stopping.set()
            if self.proc and self.proc.poll() is None:
                self.proc.send_signal(signal.SIGINT)
        self.join()


def lat_summary(lat):
    s = lat["samples_s"]
    return {"p50_s": percentile(s, 50) if s else None, "p99_s": percentile(s, 99) if s else None,
            "n": len(s), "lost": lat["lost"]}


def run_sweeps(zp, pp, bins, args, content):
    """Every repetition: a fresh tree written while zet is stopped (unique contents, so no cache of clean
    results knows them), then each side in turn over it."""
    res = {"sides": [s for s in SIDES if s != "clamdscan" or pp], "reps": {s: [] for s in SIDES},
           "load": [machine_load()]}
    zp.control = True
    zp.start_service(bins)
    if pp:
        pp.start_service(bins)
    files = args.sweep_files
    for rep in range(args.reps):
        root = os.path.join(zp.tree, f"sweep{rep}")
        plan = plan_tree(root, files, args.subdirs, args.infected)
        make_dirs(root, args.subdirs)
        write_tree(plan, content)
        infected = sum(b for _, b in plan)
        # Written before zet's start: no event, and nothing scans the tree before the sides do.
        zp.start_front(bins)
        for side in res["sides"]:
            if side == "zetctl":
                r = side_zetctl(zp, bins, root)
            elif side == "clamdscan":
                r = side_clamdscan(pp, root, files)
            else:
                r = side_engine(bins, args, root)
            r["files_per_s"] = r["files"] / r["seconds"] if r["seconds"] else None
            r["infected"] = infected
            res["reps"][side].append(r)
            log(f"sweeps: rep {rep + 1}: {side}: {r['files_per_s']:.0f} files/s, {r['infected_found']}/"
                f"{infected} infected found, cpu {r.get('cpu_s', {})}")
        zp.stop_front()
        shutil.rmtree(root, ignore_errors=True)
    res["live"] = live_during_sweep(zp, bins, args, content)
    res["load"].append(machine_load())
    return res


def live_during_sweep(zp, bins, args, content):
    """Single infected files written with gaps, idle and then while a sweep of a tree of
    --sweep-live-files runs."""
    root = os.path.join(zp.tree, "sweep-live")
    plan = plan_tree(root, args.sweep_live_files, args.subdirs, 0)
    make_dirs(root, args.subdirs)
    write_tree(plan, content)
    zp.start_front(bins)
    zp.warm_up()
    idle = latency(zp, args)
    sweeping = Sweeping(bins, zp.conf, root)
    sweeping.start()
    time.sleep(1.0)  # the walk has begun and the sweep lane is full
    during = latency(zp, args)
    running = sweeping.sweeps == 0
    sweeping.stop()
    zp.stop_front()
    shutil.rmtree(root, ignore_errors=True)
    out = {"idle": lat_summary(idle), "during": lat_summary(during), "sweeps": sweeping.sweeps,
           "first_sweep_outlasted_samples": running}
    log(f"sweeps: live writes p99 idle {out['idle']['p99_s']} s, during a sweep {out['during']['p99_s']} s")
    return out


def sweep_ratios(res):
    per = {s: [r["files_per_s"] for r in res["reps"][s]] for s in res["sides"]}
    rows = [("zetctl scan / engine limit (goal >= 0.9)", paired_ratios(per["zetctl"], per["engine"]))]
    if "clamdscan" in per:
        rows.append(("zetctl scan / clamdscan (goal >= 1.5)", paired_ratios(per["zetctl"], per["clamdscan"])))
        rows.append(("clamdscan / engine limit", paired_ratios(per["clamdscan"], per["engine"])))
    return rows


def sweep_rows(res):
    """The table of the sides: a column each."""
    sides = res["sides"]

    def col(side, f):
        return summary([f(r) for r in res["reps"][side]])

    def cpu(name):
        return lambda r: r.get("cpu_s", {}).get(name)

    rows = [("files/s", lambda s: col(s, lambda r: r["files_per_s"]), 0),
            ("seconds", lambda s: col(s, lambda r: r["seconds"]), 2),
            ("infected found (of the tree's)", lambda s: col(s, lambda r: r["infected_found"]), 0),
            ("CPU s: zet", lambda s: col(s, cpu("zet")), 2),
            ("CPU s: orbis-scand | clamd", lambda s: col(s, lambda r: cpu("orbis-scand")(r) or cpu("clamd")(r)), 2)]
    return sides, rows
