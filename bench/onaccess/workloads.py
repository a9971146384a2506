"""Sustained workloads: small files at a steady rate while large archives are scanned, and the soak."""

import os
import threading
import time

from .measurements import POLL_S, percentile
from .processes import log, sample_procs
from .records import Arrivals
from .trees import EICAR, SERIAL, copy_in, empty_tree, make_dirs, write_file


class SmallWriter:
    """Small files at a steady rate from a thread of its own: clean ones, and every infected_every-th one the
    EICAR file, whose close time is kept for its latency. Clean files older than keep_s are checked (a
    missing one was moved or deleted by the pipeline) and removed, so that hours of load fit in memory."""

    def __init__(self, root, content, rate, infected_every, subdirs=16, keep_s=10.0):
        self.root, self.content, self.rate = root, content, rate
        self.infected_every, self.subdirs, self.keep_s = infected_every, subdirs, keep_s
        make_dirs(root, subdirs)
        self.closed = {}  # infected origin -> close time
        self.clean_names = set()
        self.clean_missing = 0
        self.written = 0
        self.pending = []  # (close time, path) of clean files not yet checked
        self.stop_ev = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def start(self):
        self.thread.start()
        return self

    def write_one(self):
        self.written += 1
        bad = self.infected_every and self.written % self.infected_every == 0
        name = SERIAL.next("m" if bad else "c")
        path = os.path.join(self.root, f"d{self.written % self.subdirs:02d}", name)
        write_file(path, EICAR if bad else self.content.clean(name))
        now = time.monotonic()
        if bad:
            self.closed[name] = now
        else:
            self.clean_names.add(name)
            self.pending.append((now, path))

    def expire(self, now):
        while self.pending and now - self.pending[0][0] >= self.keep_s:
            _, path = self.pending.pop(0)
            try:
                os.unlink(path)
            except FileNotFoundError:
                self.clean_missing += 1

    def run(self):
        t0 = time.monotonic()
        while not self.stop_ev.is_set():
            now = time.monotonic()
            due = int((now - t0) * self.rate) - self.written
            for _ in range(min(due, max(1, int(self.rate)))):
                self.write_one()
            self.expire(now)
            time.sleep(POLL_S)

    def stop(self):
        self.stop_ev.set()
        self.thread.join()


def infected_every(pct):
    return round(100 / pct) if pct > 0 else 0


def latencies(closed, arrivals, since=None, until=None):
    """Close-to-quarantine times of the infected files closed in [since, until), and how many never arrived."""
    out, lost = [], 0
    for name, t in closed.items():
        if (since is not None and t < since) or (until is not None and t >= until):
            continue
        a = arrivals.get(name)
        if a is None:
            lost += 1
        else:
            out.append(a - t)
    return out, lost


def lat_summary(vals, lost=0):
    if not vals:
        return {"n": 0, "lost": lost}
    return {"n": len(vals), "lost": lost, "p50_s": percentile(vals, 50), "p99_s": percentile(vals, 99),
            "max_s": max(vals), "samples_s": vals}


def wait_arrivals(names, arrivals, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and any(arrivals.get(n) is None for n in names):
        time.sleep(0.05)


def mix(p, args, content, stage, rate):
    """Small files at a steady rate while the large archives are written at once: the small infected files'
    latency while every large scan runs, against the pipeline's idle latency."""
    root = os.path.join(p.tree, "mix")
    large_dir = os.path.join(p.tree, "mix-large")
    arrivals = Arrivals(p.vault)
    small = SmallWriter(root, content, rate, args.mix_infected_every, args.subdirs).start()
    try:
        time.sleep(2)  # a steady small-file stream before the large files arrive
        large = {}
        for src in stage:
            name = SERIAL.next("a")
            large[name] = copy_in(src, os.path.join(large_dir, name + os.path.splitext(src)[1]))
        t_large = min(large.values())
        wait_arrivals(large, arrivals, args.mix_timeout)
        t_done = max((arrivals.get(n) or time.monotonic()) for n in large)
        time.sleep(1)
    finally:
        small.stop()
    wait_arrivals(small.closed, arrivals, args.probe_timeout * 10)
    during, lost = latencies(small.closed, arrivals, t_large, t_done)
    before, lost_before = latencies(small.closed, arrivals, None, t_large)
    large_s = {n: (arrivals.get(n) - t if arrivals.get(n) else None) for n, t in large.items()}
    wrong = small.clean_names & arrivals.origins()
    arrivals.close()
    empty_tree(root)
    empty_tree(large_dir)
    res = {"small_during": lat_summary(during, lost), "small_before": lat_summary(before, lost_before),
           "large_s": sorted(v for v in large_s.values() if v is not None),
           "large_missed": sum(1 for v in large_s.values() if v is None),
           "clean_moved": len(wrong) + small.clean_missing, "small_written": small.written,
           "window_s": t_done - t_large, "rate": rate}
    return res


# Growth allowed after the warm-up, first half against second half: (share, absolute) per series. The
# smoke test's bounds only catch a leak that a minute can show, never noise.
GROWTH_BOUNDS = {"report": {"rss_kib": (0.05, 4096), "fds": (0.10, 8), "threads": (0.0, 2)},
                 "smoke": {"rss_kib": (0.50, 65536), "fds": (1.0, 64), "threads": (0.0, 16)}}


# Memory is judged during the load; descriptors and threads once the load is over, since under load they
# follow the backlog (zet holds a descriptor per queued event), while a leaked one stays when it drains.
DRAINED = ("fds", "threads")


def growth_check(samples, warm_until, bounds):
    """RSS: the maximum in the second half of the load after warm-up against the first half's.
    Descriptors and threads: the last idle sample against the least seen in the load after warm-up.
    The failures as text, and the pairs compared."""
    after = [s for s in samples if s["t"] >= warm_until and s["phase"] == "load"]
    idle = [s for s in samples if s["phase"] == "idle"]
    fails = []
    if len(after) < 4:
        return fails, {}
    half = len(after) // 2
    table = {}
    for proc in after[0]["procs"]:
        for key, (share, absolute) in bounds.items():
            vals = lambda ss: [s["procs"][proc][key] for s in ss if s["procs"][proc][key] is not None]
            if key in DRAINED:
                a, b = vals(after), vals(idle[-1:])
                if not a or not b:
                    continue
                first, second = min(a), b[0]
            else:
                a, b = vals(after[:half]), vals(after[half:])
                if not a or not b:
                    continue
                first, second = max(a), max(b)
            table[f"{proc} {key}"] = (first, second)
            if second > first * (1 + share) + absolute:
                fails.append(f"{proc} {key} grew from {first} to {second} after the warm-up")
    return fails, table


def soak(p, args, content, rate, stage):
    """Steady small files at rate (and one large archive every soak_large_every s), then idle; samples every
    soak_interval s. The verdict: nothing missed, no clean file moved, nothing grew after the warm-up."""
    load_s = args.soak * 60
    warm_s = max(20.0, 0.1 * load_s)
    idle_s = args.soak_idle if args.soak_idle is not None else max(20.0, 0.1 * load_s)
    root = os.path.join(p.tree, "soak")
    large_dir = os.path.join(p.tree, "soak-large")
    arrivals = Arrivals(p.vault)
    log(f"{p.name}: soak: {rate:.0f} files/s for {load_s:.0f} s (warm-up {warm_s:.0f} s), then {idle_s:.0f} s idle")
    small = SmallWriter(root, content, rate, infected_every(args.infected), args.subdirs).start()
    t0 = time.monotonic()
    samples, large, next_large = [], {}, t0
    try:
        while True:
            now = time.monotonic()
            phase = "load" if now - t0 < load_s else "idle"
            if phase == "idle" and not small.stop_ev.is_set():
                small.stop()
            if now - t0 >= load_s + idle_s:
                break
            if phase == "load" and stage and now >= next_large:
                name = SERIAL.next("a")
                src = stage[len(large) % len(stage)]
                large[name] = copy_in(src, os.path.join(large_dir, name + os.path.splitext(src)[1]))
                next_large = now + args.soak_large_every
            # Interval latency: the infected files closed since the last sample that have arrived.
            closed = dict(small.closed)
            lat, _ = latencies(closed, arrivals, samples[-1]["wall"] if samples else t0, None)
            samples.append({"t": now - t0, "wall": now, "phase": phase, "procs": sample_procs(p.procs()),
                            "written": small.written,
                            "lat_p50_ms": percentile(lat, 50) * 1000 if lat else None,
                            "lat_max_ms": max(lat) * 1000 if lat else None})
            time.sleep(args.soak_interval)
    finally:
        if not small.stop_ev.is_set():
            small.stop()
    wait_arrivals(list(small.closed) + list(large), arrivals, args.probe_timeout * 10)
    missed = [n for n in list(small.closed) + list(large) if arrivals.get(n) is None]
    wrong = small.clean_names & arrivals.origins()
    steady, _ = latencies(small.closed, arrivals, t0 + warm_s, t0 + load_s)
    large_s = sorted(arrivals.get(n) - t for n, t in large.items() if arrivals.get(n))
    arrivals.close()
    small.expire(float("inf"))
    empty_tree(root)
    empty_tree(large_dir)
    for n in os.listdir(p.vault):
        try:
            os.unlink(os.path.join(p.vault, n))
        except OSError:
            pass
    bounds = GROWTH_BOUNDS["smoke" if args.smoke else "report"]
    fails, table = growth_check(samples, warm_s, bounds)
    if missed:
        fails.append(f"{len(missed)} infected files never reached the quarantine, e.g. {missed[:3]}")
    if wrong or small.clean_missing:
        fails.append(f"{len(wrong) + small.clean_missing} clean files moved or removed")
    return {"rate": rate, "latency": lat_summary(steady), "large_s": large_s, "load_s": load_s, "warm_s": warm_s, "idle_s": idle_s, "written": small.written,
            "infected": len(small.closed), "large": len(large), "missed": len(missed),
            "clean_moved": len(wrong) + small.clean_missing, "growth": {k: list(v) for k, v in table.items()},
            "fails": fails, "ok": not fails, "samples": samples, "bounds": bounds}

