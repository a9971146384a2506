"""The figures of one pipeline: throughput, latency of single infected files, detection probes."""

import math
import os
import statistics
import threading
import time

from .processes import Sampler
from .records import Inotify, quarantined
from .trees import EICAR, NAME_RE, SERIAL, make_dirs, write_file, write_tree


POLL_S = 0.01


def summary(values):
    vals = [v for v in values if v is not None]
    if not vals:
        return None
    return {"median": statistics.median(vals), "min": min(vals), "max": max(vals), "n": len(vals),
            "samples": vals}


def percentile(vals, p):
    """Nearest-rank percentile: the smallest sample with at least p % of the samples at or below it."""
    s = sorted(vals)
    return s[max(0, math.ceil(p * len(s) / 100) - 1)]


def med(reps, key):
    return summary([r[key] for r in reps])


def paired_ratios(a, b):
    """a[i] / b[i] of repetitions run next to each other, as a summary: the spread is that of the ratio
    itself, not of two independent ranges. Pairs with a missing or zero figure are left out."""
    return summary([x / y for x, y in zip(a, b) if x is not None and y])


def throughput(p, plan, content, args, rep_root):
    make_dirs(rep_root, args.subdirs)
    time.sleep(args.dir_settle)  # directory marks of the peer's inotify walk
    # By file name, which is unique in a run: an ICAP server learns only the name, not the path.
    planted = {os.path.basename(path) for path, _ in plan}
    infected = {os.path.basename(path) for path, bad in plan if bad}
    p.records.skip_to_end()
    sampler = Sampler(p.procs())
    counts0 = p.counters()
    seen = set()
    moved = set()
    state = {"last": None}
    done = threading.Event()

    def watch():
        while not done.is_set():
            now = time.monotonic()
            new = [x for x in map(os.path.basename, p.records.new_paths()) if x in planted]
            if new:
                seen.update(new)
                state["last"] = now
            q = quarantined(p.vault) & infected
            if len(q) > len(moved):
                moved.update(q)
                state["last"] = now
            time.sleep(POLL_S)

    t0 = time.monotonic()
    watcher = threading.Thread(target=watch, daemon=True)
    watcher.start()
    write_tree(plan, content)
    t_written = time.monotonic()
    complete = False
    while True:
        time.sleep(POLL_S)
        now = time.monotonic()
        last = state["last"] or t_written
        quiet = now - max(last, t_written)
        if len(seen) == len(planted) and len(moved) == len(infected) and quiet >= args.settle:
            complete = True
            break
        if quiet >= args.stall or now - t0 > args.timeout:
            break
    done.set()
    watcher.join()
    res = sampler.stop()
    res["counters"] = {k: v - counts0[k] for k, v in p.counters().items()}
    end = max(state["last"] or t_written, t_written)
    in_q = quarantined(p.vault)
    entries = [n for n in os.listdir(p.vault) if NAME_RE.match(n) and NAME_RE.match(n).group(1) in infected]
    wrong = sum(1 for path, bad in plan if not bad and (os.path.basename(path) in in_q or not os.path.exists(path)))
    res.update({"files": len(plan), "infected": len(infected), "seconds": end - t0,
                # Files scanned, not written: a repetition that stalls is credited only with what it did.
                "files_per_s": len(seen) / (end - t0), "write_seconds": t_written - t0,
                "scanned": len(seen), "missed": len(infected - moved), "wrongly_moved": wrong,
                "extra_copies": len(entries) - len(set(NAME_RE.match(n).group(1) for n in entries)),
                "complete": complete})
    return res


def latency(p, args):
    ino = Inotify(p.vault)
    out, lost = [], 0
    for _ in range(args.latency_samples):
        name = SERIAL.next("l")
        write_file(os.path.join(p.tree, "lat", name), EICAR)
        t0 = time.monotonic()
        t = ino.wait_for(name, t0 + args.probe_timeout)
        if t is None:
            lost += 1
        else:
            out.append(t - t0)
        time.sleep(args.latency_gap)
    ino.close()
    res = {"samples_s": out, "lost": lost}
    if out:
        res.update({"median_s": statistics.median(out), "p90_s": percentile(out, 90),
                    "p99_s": percentile(out, 99), "min_s": min(out), "max_s": max(out)})
    return res


def probe(p, args, kind):
    """Ways of arriving that an on-access scanner may miss; caught means the file reached the quarantine."""
    ino = Inotify(p.vault)
    caught = 0
    for _ in range(args.probe_samples):
        name = SERIAL.next("p")
        if kind == "open_pause_write":
            fd = os.open(os.path.join(p.tree, "probe-open", name), os.O_WRONLY | os.O_CREAT, 0o644)
            time.sleep(1)
            os.write(fd, EICAR)
            os.close(fd)
        elif kind == "after_mkdir":
            d = os.path.join(p.tree, "probe-mkdir", name + "d")
            os.mkdir(d)
            write_file(os.path.join(d, name), EICAR)
        elif kind == "renamed_in":
            src = os.path.join(p.outside, name)
            write_file(src, EICAR)
            time.sleep(0.2)  # the write's own events are long handled when the file moves in
            os.rename(src, os.path.join(p.tree, "probe-rename", name))
        if ino.wait_for(name, time.monotonic() + args.probe_timeout) is not None:
            caught += 1
        time.sleep(0.1)
    ino.close()
    return {"caught": caught, "tried": args.probe_samples}

