"""Protection on open (--reads): existing files read and a program run against no scanner, zet ON_OPEN =
scan and block, and clamonacc + clamd with and without OnAccessPrevention; the time an open of an uncached
file is held; the memory of zet's cache of clean verdicts."""

import json
import os
import shutil
import subprocess
import sys
import time

from .measurements import paired_ratios, percentile, summary
from .processes import Sampler, log, proc_status
from .trees import SERIAL, make_dirs, plan_tree, write_file, write_tree


# Side: (pipeline, ON_OPEN for zet or OnAccessPrevention for the peer). "none" has no fanotify group at all.
SIDES = {"none": (None, None), "zet-scan": ("zet", "scan"), "zet-block": ("zet", "block"),
         "peer-prevention": ("peer", True), "peer-notify": ("peer", False)}

# The reader, one process for every side: opens, reads to the end and closes each listed file, once. Only
# the loop is timed; the list is read first. A refused open is counted, not retried.
READER = r"""
import json, os, sys, time
with open(sys.argv[1]) as f:
    paths = f.read().splitlines()
refused, longest = 0, 0.0
t0 = time.perf_counter()
for p in paths:
    a = time.perf_counter()
    try:
        fd = os.open(p, os.O_RDONLY)
    except OSError:
        refused += 1
        continue
    d = time.perf_counter() - a
    if d > longest:
        longest = d
    while os.read(fd, 65536):
        pass
    os.close(fd)
t = time.perf_counter() - t0
c = os.times()
print(json.dumps({"files": len(paths), "seconds": t, "refused": refused, "longest_open_s": longest,
                  "cpu_s": c.user + c.system}))
"""

# The exec loop: the program run N times by one shell; prints how many runs failed (a refused exec).
EXEC_LOOP = 'i=0; f=0; while [ "$i" -lt "$1" ]; do "$0" || f=$((f+1)); i=$((i+1)); done; echo "$f"'

# Time for zet's metrics file to show every count of a phase: it is rewritten once a second after a change.
METRICS_SETTLE_S = 1.5

OPEN_COUNTS = ("opens", "open_cache_hits", "open_scans", "opens_denied", "opens_unscanned")


def start_readers(listfiles):
    return [subprocess.Popen([sys.executable, "-c", READER, lf], stdout=subprocess.PIPE, text=True)
            for lf in listfiles]


def reader_results(procs):
    out = []
    for p in procs:
        text, _ = p.communicate()
        if p.returncode != 0:
            raise RuntimeError(f"reader exited with {p.returncode}")
        out.append(json.loads(text))
    return out


def read_pass(listfile, pipe=None):
    """One pass of the reader; the services' CPU over it when a pipeline runs."""
    sampler = Sampler(pipe.procs()) if pipe else None
    res = reader_results(start_readers([listfile]))[0]
    if sampler:
        res["services_cpu_s"] = sampler.stop()["cpu_s"]
    res["files_per_s"] = res["files"] / res["seconds"]
    return res


def warm_passes(listfile, pipe, min_s):
    """Passes over the cached files until min_s have gone by, at least one: a pass of 20,000 cached files
    takes a fifth of a second, and one alone shows mostly what else ran in it. The repetition's figure is
    the median pass."""
    passes = []
    t0 = time.monotonic()
    while not passes or (time.monotonic() - t0 < min_s and len(passes) < 25):
        passes.append(read_pass(listfile, pipe))
    mid = sorted(passes, key=lambda p: p["files_per_s"])[len(passes) // 2]
    res = dict(mid, passes=[{k: p[k] for k in ("files_per_s", "longest_open_s", "refused")} for p in passes])
    res["longest_open_s"] = max(p["longest_open_s"] for p in passes)
    res["refused"] = sum(p["refused"] for p in passes)
    return res


def exec_loop(prog, runs):
    t0 = time.monotonic()
    r = subprocess.run(["sh", "-c", EXEC_LOOP, prog, str(runs)], capture_output=True, text=True)
    secs = time.monotonic() - t0
    failed = int(r.stdout.strip() or runs) if r.returncode == 0 else runs
    return {"runs": runs, "seconds": secs, "runs_per_s": runs / secs, "failed": failed}


def open_latency(paths, gap):
    """open() of each uncached file alone, on an otherwise idle pipeline; the file is read and closed
    after the clock stops."""
    out, refused = [], 0
    for p in paths:
        time.sleep(gap)
        t0 = time.perf_counter()
        try:
            fd = os.open(p, os.O_RDONLY)
        except OSError:
            refused += 1
            continue
        out.append(time.perf_counter() - t0)
        os.read(fd, 65536)
        os.close(fd)
    return out, refused


def scans_of(pipe, wanted, quiet_s, all_of=True):
    """Scan records of the files in `wanted` from the records' position on: each file's count, and the
    monotonic time of the last. Waits until every file has one (all_of), or until none came for quiet_s."""
    counts, last = {}, None
    mark = time.monotonic()
    while True:
        now = time.monotonic()
        new = [x for x in pipe.records.new_paths() if x in wanted]
        for x in new:
            counts[x] = counts.get(x, 0) + 1
        if new:
            last = mark = now
        if (all_of and len(counts) == len(wanted)) or now - mark >= quiet_s:
            return counts, last
        time.sleep(0.01)


def settled_metrics(pipe):
    if not hasattr(pipe, "metrics"):
        return {}
    time.sleep(METRICS_SETTLE_S)
    return pipe.metrics()


def delta(after, before, keys=OPEN_COUNTS):
    return {k: after.get(k, 0) - before.get(k, 0) for k in keys} if after else {}


def write_list(path, paths):
    with open(path, "w") as f:
        f.write("\n".join(paths) + "\n")


class ReadTree:
    """One repetition's files: the reader's tree, the uncached files timed alone, the program of the exec
    loop, and one probe file in each of their directories."""

    def __init__(self, root, args, content, listfile):
        self.root = root
        plan = plan_tree(root, args.read_files, args.subdirs, 0.0)
        make_dirs(root, args.subdirs)
        write_tree(plan, content)
        self.paths = [p for p, _ in plan]
        lat_root = os.path.join(root, "open")
        lat = plan_tree(lat_root, args.open_samples, 1, 0.0)
        make_dirs(lat_root, 1)
        write_tree(lat, content)
        self.lat_paths = [p for p, _ in lat]
        bindir = os.path.join(root, "bin")
        os.makedirs(bindir)
        self.prog = os.path.join(bindir, os.path.basename(args.exec_program))
        shutil.copy2(args.exec_program, self.prog)
        dirs = {os.path.dirname(p) for p in self.paths + self.lat_paths} | {bindir}
        self.probes = []
        for d in sorted(dirs):
            name = SERIAL.next("q")
            write_file(os.path.join(d, name), content.clean(name))
            self.probes.append(os.path.join(d, name))
        self.listfile = listfile
        write_list(listfile, self.paths)

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


def wait_watching(pipe, probes, timeout=30.0):
    """The front end sees opens in every directory of the tree: each probe, opened and read, has a scan
    record (clamonacc marks directories one by one after its start)."""
    pipe.records.skip_to_end()
    wanted = set(probes)
    deadline = time.monotonic() + timeout
    seen = set()
    while time.monotonic() < deadline:
        for p in wanted - seen:
            with open(p, "rb") as f:
                f.read()
        got, _ = scans_of(pipe, wanted - seen, 0.5)
        seen |= set(got)
        if seen == wanted:
            return
    raise RuntimeError(f"{pipe.name}: {len(wanted - seen)} of {len(wanted)} probe files never scanned:\n" +
                       "\n".join(s.tail() for s in pipe.services))


def side_rep(side, pipe, bins, args, tree):
    """One repetition of one side on a fresh tree: cold pass, warm pass, exec loop, held opens."""
    kind, mode = SIDES[side]
    res = {"side": side}
    if kind == "zet":
        pipe.start_front(bins, on_open=mode)
    elif kind == "peer":
        pipe.start_front(bins, prevention=mode)
    try:
        if pipe:
            wait_watching(pipe, tree.probes)
        m = [settled_metrics(pipe)] if pipe else [{}]
        wanted = set(tree.paths)
        if pipe:
            pipe.records.skip_to_end()
        res["cold"] = read_pass(tree.listfile, pipe)
        t_end = time.monotonic()
        if pipe:
            # Opens that were not held are scanned after the reader has gone on: wait for the last.
            counts, last = scans_of(pipe, wanted, args.stall)
            res["cold"]["scanned"] = len(counts)
            res["cold"]["complete"] = len(counts) == len(wanted)
            res["cold"]["drain_s"] = max(0.0, last - t_end) if last else None
            # The peer scans a file more than once (each read); the records of those still coming.
            more, _ = scans_of(pipe, wanted, args.settle, all_of=False)
            res["cold"]["scans"] = sum(counts.values()) + sum(more.values())
            # Protection's own pace: until the last file was scanned, held or not.
            res["cold"]["scanned_per_s"] = len(counts) / (res["cold"]["seconds"] + (res["cold"]["drain_s"] or 0))
            m.append(settled_metrics(pipe))
            pipe.records.skip_to_end()
        res["warm"] = warm_passes(tree.listfile, pipe, args.warm_time)
        if pipe:
            counts, _ = scans_of(pipe, wanted, args.settle, all_of=False)
            res["warm"]["scanned"] = sum(counts.values()) / len(res["warm"]["passes"])
            m.append(settled_metrics(pipe))
            pipe.records.skip_to_end()
        res["exec"] = exec_loop(tree.prog, args.exec_runs)
        if pipe:
            counts, _ = scans_of(pipe, {tree.prog}, args.settle, all_of=False)
            res["exec"]["scanned"] = sum(counts.values())
            m.append(settled_metrics(pipe))
        samples, refused = open_latency(tree.lat_paths, args.open_gap)
        res["open"] = {"samples_s": samples, "refused": refused}
        if pipe:
            m.append(settled_metrics(pipe))
        if len(m) == 5 and m[0]:
            res["metrics"] = {phase: delta(m[i + 1], m[i]) for i, phase in
                              enumerate(("cold", "warm", "exec", "open"))}
            res["metrics"]["cache_entries"] = m[-1].get("open_cache_entries")
    finally:
        if pipe:
            res["front_exit"] = pipe.stop_front()
    return res


def rep_log(res):
    c, w, e = res["cold"], res["warm"], res["exec"]
    o = res["open"]["samples_s"]
    mt = res.get("metrics", {})
    extra = ""
    if mt:
        extra = (f"; zet open scans {mt['cold'].get('open_scans')}/{mt['warm'].get('open_scans')}/"
                 f"{mt['exec'].get('open_scans')}, unscanned "
                 f"{sum(v.get('opens_unscanned', 0) for k, v in mt.items() if isinstance(v, dict))}")
    return (f"{res['side']}: cold {c['files_per_s']:.0f} files/s, warm {w['files_per_s']:.0f} files/s "
            f"({len(w['passes'])} passes), exec "
            f"{e['runs_per_s']:.0f} runs/s, open p50 {percentile(o, 50) * 1000:.3f} ms p99 "
            f"{percentile(o, 99) * 1000:.3f} ms" + (f", cold scanned {c['scanned']}/{c['files']}" if "scanned" in c
                                                    else "") + extra)


# ---- the memory of the cache ------------------------------------------------------------------------------

# zet's cache of clean verdicts: a fixed table of this many entries of 40 bytes, calloc'd at start.
OPEN_CACHE_ENTRIES = 1048576
OPEN_CACHE_ENTRY_BYTES = 40

# The kernel's slab caches of fanotify's marks: one mark per ignored file, one connector per marked inode.
# SLUB merges caches of one size: the figures are those of the merged cache, whose other users are idle.
MARK_CACHES = ("fanotify_mark", "fsnotify_mark_connector")


def slab(name, base="/sys/kernel/slab"):
    """Objects, their size and the memory held by the slab cache `name`, or None where not shown."""
    d = os.path.realpath(os.path.join(base, name))

    def num(f):
        with open(os.path.join(d, f)) as fh:
            return int(fh.read().split()[0])
    try:
        return {"cache": os.path.basename(d), "objects": num("objects"), "object_size": num("slab_size"),
                "bytes": num("slabs") * (os.sysconf("SC_PAGE_SIZE") << num("order"))}
    except (OSError, ValueError):
        return None


def meminfo(keys=("Slab", "SUnreclaim")):
    out = {}
    with open("/proc/meminfo") as f:
        for line in f:
            k, _, v = line.partition(":")
            if k in keys:
                out[k] = int(v.split()[0])
    return out


def memory_snapshot(zp):
    return {"zet_rss_kib": proc_status(zp.procs()["zet"], "VmRSS"),
            "slabs": {n: slab(n) for n in MARK_CACHES}, "meminfo_kib": meminfo()}


def cache_growth(before, after, files, target):
    """What caching `files` files cost: zet's RSS and the kernel's marks, per file and at `target` files.
    zet's table is allocated whole and its pages touched as it fills, so its growth is reported as measured;
    the marks grow one object each per file, and are scaled."""
    out = {"files": files, "zet_rss_kib": after["zet_rss_kib"] - before["zet_rss_kib"]}
    kernel = 0
    for n in MARK_CACHES:
        a, b = after["slabs"].get(n), before["slabs"].get(n)
        if a and b:
            objs = a["objects"] - b["objects"]
            out[n] = {"objects": objs, "bytes": objs * a["object_size"], "cache": a["cache"]}
            kernel += objs * a["object_size"]
    out["kernel_bytes"] = kernel
    out["kernel_bytes_per_file"] = kernel / files if files else None
    out["kernel_bytes_at_target"] = kernel * target / files if files else None
    out["slab_kib"] = after["meminfo_kib"].get("Slab", 0) - before["meminfo_kib"].get("Slab", 0)
    return out


def cache_memory(zp, bins, args, work):
    """Files of 1 byte (a scan each, a page of tmpfs each) cached by zet ON_OPEN = block from several
    readers at once; zet's RSS and the mark caches before and after, and once zet has stopped."""
    n = args.cache_files
    root = os.path.join(zp.tree, "cache")
    # Written before zet starts: its coverage of writes would otherwise scan each as a written file.
    log(f"cache: writing {n} files of 1 byte")
    paths = []
    for i in range(n):
        d = os.path.join(root, f"c{i // 1000:04d}")
        if i % 1000 == 0:
            os.makedirs(d)
        p = os.path.join(d, f"{i:07d}")
        write_file(p, b"x")
        paths.append(p)
    shards = [os.path.join(work, f"cache-{i}.list") for i in range(args.workers)]
    for i, lf in enumerate(shards):
        write_list(lf, paths[i::args.workers])
    probe = os.path.join(root, "probe")
    write_file(probe, b"y")
    del paths
    zp.start_front(bins, on_open="block")
    try:
        wait_watching(zp, [probe])
        m0 = settled_metrics(zp)
        before = memory_snapshot(zp)
        log(f"cache: {args.workers} readers opening the {n} files")
        t0 = time.monotonic()
        got = reader_results(start_readers(shards))
        secs = time.monotonic() - t0
        m1 = settled_metrics(zp)
        after = memory_snapshot(zp)
    finally:
        zp.stop_front()
    time.sleep(1)
    stopped = {"slabs": {nm: slab(nm) for nm in MARK_CACHES}, "meminfo_kib": meminfo()}
    res = cache_growth(before, after, n, OPEN_CACHE_ENTRIES)
    res.update({"seconds": secs, "files_per_s": n / secs, "refused": sum(g["refused"] for g in got),
                "longest_open_s": max(g["longest_open_s"] for g in got), "metrics": delta(m1, m0),
                "cache_entries": m1.get("open_cache_entries"), "before": before, "after": after,
                "after_stop": stopped})
    log(f"cache: {n} files in {secs:.0f} s; zet RSS +{res['zet_rss_kib'] / 1024:.1f} MiB, kernel marks "
        f"{res['kernel_bytes'] / 1048576:.1f} MiB ({res['kernel_bytes_per_file'] or 0:.0f} B a file), cache "
        f"entries {res['cache_entries']}")
    shutil.rmtree(root, ignore_errors=True)
    return res


def cpu_idle(window=1.0):
    """Share of the machine's CPU time idle over `window` s (/proc/stat). The load average alone misleads
    here: processes held in fanotify's permission waits count in it while they use no CPU."""
    def idle_total():
        with open("/proc/stat") as f:
            v = [int(x) for x in f.readline().split()[1:]]
        return v[3] + v[4], sum(v)
    i0, t0 = idle_total()
    time.sleep(window)
    i1, t1 = idle_total()
    return (i1 - i0) / (t1 - t0) if t1 > t0 else None


def machine_load():
    return {"loadavg": os.getloadavg(), "cpu_idle": cpu_idle()}


def run_reads(zp, pp, bins, args, content, fs, work):
    """Every repetition runs every side in turn (A, B, C, A, B, C ...) on a fresh tree; the scan services
    run throughout, the front ends are started for their side and stopped after it."""
    sides = [s for s in args.sides.split(",") if s]
    unknown = [s for s in sides if s not in SIDES]
    if unknown:
        raise SystemExit(f"bench/onaccess: unknown side {', '.join(unknown)}; sides: {', '.join(SIDES)}")
    sides = [s for s in sides if (SIDES[s][0] != "zet" or zp) and (SIDES[s][0] != "peer" or pp)]
    pipes = {"zet": zp, "peer": pp, None: None}
    res = {"sides": sides, "reps": {s: [] for s in sides}, "load": [machine_load()]}
    for p in (zp, pp):
        if p:
            log(f"{p.name}: starting the scan service")
            p.start_service(bins)
            res[f"{p.name}_load_s"], res[f"{p.name}_signatures"] = p.load_s, p.signatures
    none_root = os.path.join(fs, "none", "tree")
    os.makedirs(none_root, exist_ok=True)
    listfile = os.path.join(work, "reads.list")
    for r in range(args.reps):
        for side in sides:
            pipe = pipes[SIDES[side][0]]
            tree = ReadTree(os.path.join(pipe.tree if pipe else none_root, f"r{r}-{side}"), args, content,
                            listfile)
            try:
                one = side_rep(side, pipe, bins, args, tree)
            finally:
                tree.remove()
            one["loadavg"] = os.getloadavg()
            res["reps"][side].append(one)
            log(f"rep {r + 1}: {rep_log(one)}")
    res["load"].append(machine_load())
    if zp and args.cache_files > 0:
        res["cache"] = cache_memory(zp, bins, args, work)
    return res


# ---- figures -------------------------------------------------------------------------------------------

def figure(reps, phase, key):
    return summary([r[phase].get(key) for r in reps])


def open_figures(reps):
    """Held time of the uncached opens: all repetitions' samples together, and each one's median."""
    pooled = [v for r in reps for v in r["open"]["samples_s"]]
    if not pooled:
        return None
    return {"n": len(pooled), "p50_s": percentile(pooled, 50), "p99_s": percentile(pooled, 99),
            "max_s": max(pooled), "rep_p50_s": summary([percentile(r["open"]["samples_s"], 50) for r in reps
                                                        if r["open"]["samples_s"]]),
            "refused": sum(r["open"]["refused"] for r in reps)}


# Ratios of paired repetitions (the same repetition's runs, next to each other in time): (label, numerator
# side, denominator side, phase, key).
RATIOS = (("warm pass: no scanner / zet block (time ratio, goal <= 1.05)", "none", "zet-block", "warm", "files_per_s"),
          ("warm pass: no scanner / zet scan", "none", "zet-scan", "warm", "files_per_s"),
          ("cold pass: zet block / peer prevention (goal >= 5)", "zet-block", "peer-prevention", "cold",
           "files_per_s"),
          ("cold pass: zet scan / peer default", "zet-scan", "peer-notify", "cold", "files_per_s"),
          ("cold pass, until every file was scanned: zet scan / peer default", "zet-scan", "peer-notify", "cold",
           "scanned_per_s"),
          ("cold pass, until every file was scanned: zet block / peer prevention", "zet-block", "peer-prevention",
           "cold", "scanned_per_s"),
          ("cold pass: no scanner / zet block", "none", "zet-block", "cold", "files_per_s"),
          ("warm pass: zet block / peer prevention", "zet-block", "peer-prevention", "warm", "files_per_s"),
          ("exec: zet block / peer prevention", "zet-block", "peer-prevention", "exec", "runs_per_s"),
          ("exec: no scanner / zet block", "none", "zet-block", "exec", "runs_per_s"))


def ratios(reps):
    out = []
    for label, a, b, phase, key in RATIOS:
        if a in reps and b in reps:
            s = paired_ratios([r[phase].get(key) for r in reps[a]], [r[phase].get(key) for r in reps[b]])
            if s:
                out.append((label, s))
    return out


def never_past_deadline(runs, timeout_s):
    """No open held to OPEN_TIMEOUT: zet counted none let through unscanned, and no reader's open took
    that long. Each run is (its passes, zet's counts by phase); the number of such opens, or None without
    zet's counts."""
    late, known = 0, False
    for passes, metrics in runs:
        late += sum(1 for p in passes if p["longest_open_s"] >= timeout_s)
        if metrics:
            known = True
            late += sum(v.get("opens_unscanned", 0) for v in metrics.values() if isinstance(v, dict))
    return late if known else None


def zet_runs(res):
    """Every run of zet's front end with its passes and counts: the repetitions, and the cache's fill."""
    runs = [((r["cold"], r["warm"]), r.get("metrics")) for side, rs in res["reps"].items()
            if side.startswith("zet") for r in rs]
    c = res.get("cache")
    if c:
        runs.append(((c,), {"fill": c["metrics"]}))
    return runs


def goals(res, timeout_s):
    """(goal, measured, met) rows; met is None where the run lacks a side it needs."""
    reps = res["reps"]
    rat = dict(ratios(reps))
    out = []
    warm = rat.get(RATIOS[0][0])
    out.append(("warm pass with block within 1.05x of no scanner",
                f"{warm['median']:.3f} [{warm['min']:.3f}-{warm['max']:.3f}]" if warm else "-",
                warm["median"] <= 1.05 if warm else None))
    cold = rat.get(RATIOS[2][0])
    out.append(("cold pass with block >= 5x the peer's prevention", 
                f"{cold['median']:.2f} [{cold['min']:.2f}-{cold['max']:.2f}]" if cold else "-",
                cold["median"] >= 5 if cold else None))
    o = open_figures(reps["zet-block"]) if "zet-block" in reps else None
    out.append(("uncached 4 KiB open held <= 1 ms median, <= 5 ms p99 (block)",
                f"{o['p50_s'] * 1000:.2f} / {o['p99_s'] * 1000:.2f} ms" if o else "-",
                o["p50_s"] <= 0.001 and o["p99_s"] <= 0.005 if o else None))
    late = never_past_deadline(zet_runs(res), timeout_s)
    out.append(("no reader held past the deadline (zet)", "-" if late is None else f"{late} opens",
                None if late is None else late == 0))
    return out
