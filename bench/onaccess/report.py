"""The tables on standard output, the data files for bench/plot.gp and the plots."""

import os
import statistics
import subprocess

from . import REPO
from .measurements import med, paired_ratios, summary
from .processes import log
from .reads import OPEN_CACHE_ENTRIES, OPEN_CACHE_ENTRY_BYTES, SIDES, figure, goals, open_figures, ratios
from .sweeps import LABELS, sweep_ratios, sweep_rows
from .workloads import DRAINED


def fmt_range(s, scale=1.0, prec=0):
    if s is None:
        return "-"
    return f"{s['median'] * scale:.{prec}f} [{s['min'] * scale:.{prec}f}-{s['max'] * scale:.{prec}f}]"


def per_proc(reps, key, name, scale=1.0):
    return summary([r[key][name] * scale if r[key].get(name) is not None else None for r in reps])


PEER_COLUMNS = (("peer", "clamonacc + clamd, extra scanning"), ("peer_open", "clamonacc + clamd, default"))


def report(results, args):
    """One column for zet and, for each peer mode that ran, one for the peer and one for zet / peer."""
    size = args.files
    z = results.get("zet")
    peers = [(k, label, results[k]) for k, label in PEER_COLUMNS if k in results]
    rows = []
    tp = lambda res: res["throughput"][size] if res else None

    def row(label, with_ratio, cells):
        """cells(res) gives the figure of one pipeline, (text, summary or number) for the ratio."""
        zt, zv = cells(z)
        out = [label, zt]
        for _, _, pres in peers:
            pt, pv = cells(pres)
            out += [pt, ratio_of(zv, pv) if with_ratio else ""]
        rows.append(out)

    def ratio_of(a, b):
        a = a["median"] if isinstance(a, dict) else a
        b = b["median"] if isinstance(b, dict) else b
        return f"{a / b:.2f}" if a is not None and b else "-"

    def ranged(key, prec=0):
        return lambda res: ((fmt_range(med(tp(res), key), prec=prec), med(tp(res), key)) if res else ("-", None))

    thr = ranged("files_per_s")
    row(f"throughput, files/s ({size} x {args.size} B)", True, thr)
    for key, label in (("scanned", "files scanned"), ("missed", "missed detections"),
                       ("wrongly_moved", "clean files moved"), ("extra_copies", "extra quarantine copies"),
                       ("write_seconds", "writer alone, s")):
        row(label, False, ranged(key, 2 if key == "write_seconds" else 0))
    for k, label in (("median_s", "latency median, ms"), ("p90_s", "latency p90, ms")):
        def lat(res, k=k):
            v = (res or {}).get("latency", {}).get(k)
            return (f"{v * 1000:.1f}", v) if v else ("-", None)
        row(label, True, lat)
    def proc_cells(i, fn):
        """Process i of a pipeline: 0 the front end, 1 the scan service."""
        def cells(res):
            if not res:
                return ("-", None)
            return fn(res, (("zet", "orbis-scand") if res is z else ("clamonacc", "clamd"))[i])
        return cells

    for key, label, scale, prec in (("cpu_s", "CPU s", 1.0, 2), ("peak_rss_kib", "peak RSS MiB", 1 / 1024, 1),
                                    ("peak_fds", "peak open fds", 1.0, 0)):
        for i in range(2):
            def fn(res, name, key=key, scale=scale, prec=prec):
                v = per_proc(tp(res), key, name, scale)
                return fmt_range(v, prec=prec), v
            row(f"{label}: {('zet | clamonacc', 'orbis-scand | clamd')[i]}", True, proc_cells(i, fn))
    for key, label in (("idle_rss_kib", "idle RSS MiB"), ("idle_pss_kib", "idle PSS MiB")):
        for i in range(2):
            def fn(res, name, key=key):
                v = (res.get(key) or {}).get(name)
                return (f"{v / 1024:.1f}", v) if v else ("-", None)
            row(f"{label}: {('zet | clamonacc', 'orbis-scand | clamd')[i]}", True, proc_cells(i, fn))
    row("database load and compile, s", True,
        lambda res: (f"{res['load_s']:.1f}", res["load_s"]) if res and res.get("load_s") else ("-", None))
    row("signatures loaded", False,
        lambda res: (str(res["signatures"]), None) if res and res.get("signatures") else ("-", None))
    for kind in ("open_pause_write", "after_mkdir", "renamed_in"):
        def probe_cell(res, kind=kind):
            v = (res or {}).get("probes", {}).get(kind)
            return (f"{v['caught']}/{v['tried']}", None) if v else ("-", None)
        row(f"probe {kind}, caught/tried", False, probe_cell)

    engines = [(k, label, med(results[k][size], "files_per_s"))
               for k, label in (("engine", f"libclamav in-process, cl_scandesc, {args.workers} threads, files/s"),
                                ("engine_memory", f"libclamav in-process, files read into memory, "
                                                  f"{args.workers} threads, files/s"),
                                ("clamdscan", "clamdscan --multiscan, files/s"))
               if size in results.get(k, {})]
    width = 2 + 2 * len(peers)
    for _, label, e in engines:
        rows.append([label, fmt_range(e)] + [""] * (width - 2))
    best = max((e for k, _, e in engines if k.startswith("engine")), key=lambda e: e["median"], default=None)
    for label, e in (("pipeline / best in-process engine", best),
                     ("pipeline / clamdscan --multiscan", next((e for k, _, e in engines if k == "clamdscan"), None))):
        pipe = [ratio_of(med(tp(z), "files_per_s"), e) if z and e else "-"]
        for _, _, pres in peers:
            pipe += [ratio_of(med(tp(pres), "files_per_s"), e) if e else "-", ""]
        rows.append([label] + pipe)

    head = ["", "zet + orbis-scand"]
    for _, label, _ in peers:
        head += [label, "zet/peer"]
    w = [max(len(r[i]) for r in rows + [head]) for i in range(width)]
    lines = [" | ".join(h.ljust(w[i]) for i, h in enumerate(head)), "-+-".join("-" * x for x in w)]
    lines += [" | ".join(c.ljust(w[i]) for i, c in enumerate(r)) for r in rows]
    print(f"\nmedian [min-max] of {args.reps} repetitions; ratios of medians from this run; "
          f"file system {args.fs}")
    print("\n".join(lines))
    paired = write_ratios(results, size)
    if paired:
        print("\nratios of paired repetitions (files/s; the sides ran in turn in each repetition): median [min-max]")
        print(table(["", "ratio"], [[label, fmt_range(r, prec=3)] for label, r in paired]))
    for name in ["zet"] + [k for k, _, _ in peers]:
        if name in results:
            for files, reps in results[name]["throughput"].items():
                bad = [i + 1 for i, r in enumerate(reps) if not r["complete"]]
                if bad:
                    print(f"note: {name}, {files} files: repetitions {bad} ended before every file was scanned "
                          f"and every infected file quarantined (stalled for {args.stall} s or timed out)")
            if results[name].get("notes"):
                print(f"note: {name}: {results[name]['notes']}")


def service_cpu(rep):
    """CPU s of a repetition's scan service: orbis-scand, or c-icap's main process and its children."""
    vals = [v for n, v in rep["cpu_s"].items() if n == "orbis-scand" or n.startswith("c-icap")]
    return sum(vals) if vals and None not in vals else None


def report_icap(results, args):
    """zet through ICAP to c-icap beside zet + orbis-scand: pace, CPU a file on each side, bytes a file."""
    size = args.files
    sides = [(k, label) for k, label in (("zet", "zet + orbis-scand"), ("zet_icap", "zet + c-icap (ICAP)"))
             if size in results.get(k, {}).get("throughput", {})]
    if not any(k == "zet_icap" for k, _ in sides):
        return
    per_file = {
        "files/s": lambda r: r["files_per_s"],
        "CPU ms a file: zet": lambda r: 1000 * r["cpu_s"]["zet"] / r["files"] if r["cpu_s"].get("zet") is not None else None,
        "CPU ms a file: scan service": lambda r: 1000 * service_cpu(r) / r["files"] if service_cpu(r) is not None else None,
        "ICAP bytes a file, zet to server": lambda r: r.get("counters", {}).get("icap_bytes_in", 0) / r["files"] or None,
        "ICAP bytes a file, server to zet": lambda r: r.get("counters", {}).get("icap_bytes_out", 0) / r["files"] or None,
        "lo bytes a file (TCP/IP headers, ACKs)": lambda r: r.get("counters", {}).get("lo_bytes", 0) / r["files"] or None,
        "lo packets a file": lambda r: r.get("counters", {}).get("lo_packets", 0) / r["files"] or None,
        "ICAP requests": lambda r: r.get("counters", {}).get("icap_requests"),
        "files scanned": lambda r: r["scanned"],
        "missed detections": lambda r: r["missed"],
    }
    rows = []
    for label, fn in per_file.items():
        prec = 2 if "CPU" in label or "packets" in label else 0
        rows.append([label] + [fmt_range(summary([fn(r) for r in results[k]["throughput"][size]]), prec=prec)
                               for k, _ in sides])
    rows.append(["latency median, ms"] + [ms(results[k].get("latency", {}).get("median_s")) for k, _ in sides])
    print(f"\nscanning through ICAP: {size} x {args.size} B, median [min-max] of {args.reps} repetitions")
    print(table([""] + [label for _, label in sides], rows))
    if len(sides) == 2:
        r = paired_ratios(*([x["files_per_s"] for x in results[k]["throughput"][size]] for k in ("zet_icap", "zet")))
        print(f"zet + c-icap / zet + orbis-scand, paired repetitions (files/s): {fmt_range(r, prec=3)}")


def write_ratios(results, size):
    """zet's throughput over each other side's, repetition by repetition."""
    def per_rep(key):
        res = results.get(key)
        if not res:
            return None
        reps = res["throughput"].get(size) if "throughput" in res else res.get(size)
        return [r["files_per_s"] for r in reps] if reps else None

    z = per_rep("zet")
    sides = [(k, label) for k, label in PEER_COLUMNS] + [("engine", "in-process engine (cl_scandesc)"),
                                                        ("engine_memory", "in-process engine (memory)"),
                                                        ("clamdscan", "clamdscan --multiscan")]
    return [(f"zet / {label}", paired_ratios(z, per_rep(k))) for k, label in sides if z and per_rep(k)]


WORKLOAD_COLUMNS = (("zet", "zet + orbis-scand"), ("zet_icap", "zet + c-icap (ICAP)")) + PEER_COLUMNS


def ms(v):
    return f"{v * 1000:.1f}" if v is not None else "-"


def table(head, rows):
    w = [max(len(r[i]) for r in rows + [head]) for i in range(len(head))]
    lines = [" | ".join(h.ljust(w[i]) for i, h in enumerate(head)), "-+-".join("-" * x for x in w)]
    return "\n".join(lines + [" | ".join(c.ljust(w[i]) for i, c in enumerate(r)) for r in rows])


def mix_rows(results):
    """Rows of the mixed-load table, one column per pipeline that ran it."""
    cols = [(k, label, results[k]) for k, label in WORKLOAD_COLUMNS if results.get(k, {}).get("mix")]
    if not cols:
        return None, []

    def idle(res, key):
        return (res.get("latency") or {}).get(key)

    def ratio(res):
        a, b = res["mix"]["small_during"].get("p99_s"), idle(res, "p99_s")
        return f"{a / b:.1f}" if a and b else "-"

    def large(res):
        v = res["mix"]["large_s"]
        return f"{statistics.median(v):.1f} [{min(v):.1f}-{max(v):.1f}]" if v else "-"

    row_defs = [("small files idle: latency p50, ms", lambda r: ms(idle(r, "median_s"))),
            ("small files idle: latency p99, ms", lambda r: ms(idle(r, "p99_s"))),
            ("small files before the large ones: p50, ms", lambda r: ms(r["mix"]["small_before"].get("p50_s"))),
            ("small files during large scans: p50, ms", lambda r: ms(r["mix"]["small_during"].get("p50_s"))),
            ("small files during large scans: p99, ms", lambda r: ms(r["mix"]["small_during"].get("p99_s"))),
            ("small files during large scans: max, ms", lambda r: ms(r["mix"]["small_during"].get("max_s"))),
            ("p99 during large scans / p99 idle", ratio),
            ("small infected files measured (lost)",
             lambda r: f"{r['mix']['small_during']['n']} ({r['mix']['small_during']['lost']})"),
            ("large files close to quarantine, s", large),
            ("large files missed", lambda r: str(r["mix"]["large_missed"])),
            ("clean files moved", lambda r: str(r["mix"]["clean_moved"]))]
    return ["", *(label for _, label, _ in cols)], [[name, *(fn(res) for _, _, res in cols)] for name, fn in row_defs]


def soak_rows(results):
    cols = [(k, label, results[k]) for k, label in WORKLOAD_COLUMNS if results.get(k, {}).get("soak")]
    if not cols:
        return None, []
    series = sorted({g for _, _, res in cols for g in res["soak"]["growth"]},
                    key=lambda g: (g.split()[1], g))

    def growth(res, g):
        v = res["soak"]["growth"].get(g)
        if not v:
            return "-"
        return f"{v[0] / 1024:.1f} -> {v[1] / 1024:.1f}" if g.endswith("rss_kib") else f"{v[0]} -> {v[1]}"

    row_defs = [("rate, files/s", lambda r: f"{r['soak']['rate']:.0f}"),
            ("load / warm-up / idle, s", lambda r: f"{r['soak']['load_s']:.0f} / {r['soak']['warm_s']:.0f} / "
                                                   f"{r['soak']['idle_s']:.0f}"),
            ("files written (infected, large)",
             lambda r: f"{r['soak']['written']} ({r['soak']['infected']}, {r['soak']['large']})"),
            ("latency after warm-up p50 / p99, ms",
             lambda r: f"{ms(r['soak']['latency'].get('p50_s'))} / {ms(r['soak']['latency'].get('p99_s'))}"),
            ("missed detections", lambda r: str(r["soak"]["missed"])),
            ("clean files moved", lambda r: str(r["soak"]["clean_moved"]))]
    row_defs += [(f"{g.replace('rss_kib', 'RSS MiB')}, " +
              ("least under load -> idle" if g.split()[-1] in DRAINED else "max 1st -> 2nd half"),
              lambda r, g=g: growth(r, g)) for g in series]
    row_defs.append(("verdict", lambda r: "ok" if r["soak"]["ok"] else "FAIL"))
    return ["", *(label for _, label, _ in cols)], [[name, *(fn(res) for _, _, res in cols)] for name, fn in row_defs]


def report_workloads(results, args):
    head, rows = mix_rows(results)
    if head:
        rates = sorted({f"{results[k]['mix']['rate']:.0f}" for k, _ in WORKLOAD_COLUMNS
                        if results.get(k, {}).get("mix", {}).get("rate")})
        print(f"\nmixed load: {args.mix_large} archives of {args.mix_size} MiB written at once while small files "
              f"arrive at {' | '.join(rates) or '-'}/s, every {args.mix_infected_every}th infected; latency from "
              f"close to quarantine")
        print(table(head, rows))
    head, rows = soak_rows(results)
    if head:
        print(f"\nsoak: {args.soak:g} min of load, sampled every {args.soak_interval:g} s; after the warm-up, RSS "
              f"by its maximum in the second half of the load against the first half's, descriptors and threads "
              f"by the last idle sample against the least under load")
        print(table(head, rows))
        for k, _ in WORKLOAD_COLUMNS:
            for f in results.get(k, {}).get("soak", {}).get("fails", []):
                print(f"FAIL: {k}: {f}")


def write_data(results, args, d):
    """Tab-separated files for bench/plot.gp."""
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "throughput.dat"), "w") as f:
        f.write("# series\tfiles\tmedian\tmin\tmax (files/s)\n")
        for key in ("zet", "peer", "peer_open", "engine", "engine_memory", "clamdscan"):
            src = results.get(key)
            if not src or args.reps == 0:
                continue
            series = key
            table = src["throughput"] if key in ("zet", "peer", "peer_open") else src
            for files in sorted(table):
                s = med(table[files], "files_per_s")
                f.write(f"{series}\t{files}\t{s['median']:.1f}\t{s['min']:.1f}\t{s['max']:.1f}\n")
    for name in ("zet", "peer", "peer_open"):
        m = results.get(name, {}).get("mix")
        if m and m["small_during"].get("samples_s"):
            with open(os.path.join(d, f"mix-{name}.dat"), "w") as f:
                f.write("# latency of small infected files while the large files were scanned, ms\n")
                for v in sorted(m["small_during"]["samples_s"]):
                    f.write(f"{v * 1000:.3f}\n")
        so = results.get(name, {}).get("soak")
        if so:
            # Front end first, then the scan service (the services start the other way round).
            procs = list(so["samples"][0]["procs"])[::-1] if so["samples"] else []
            with open(os.path.join(d, f"soak-{name}.dat"), "w") as f:
                f.write("# t_s\tlatency_p50_ms\tlatency_max_ms" +
                        "".join(f"\t{p}_rss_mib\t{p}_fds\t{p}_threads" for p in procs) + "\n")
                for smp in so["samples"]:
                    cells = [f"{smp['t']:.1f}", *(f"{smp[k]:.3f}" if smp[k] is not None else "NaN"
                                                   for k in ("lat_p50_ms", "lat_max_ms"))]
                    for p in procs:
                        v = smp["procs"][p]
                        cells += [f"{v['rss_kib'] / 1024:.1f}" if v["rss_kib"] else "NaN",
                                  str(v["fds"] if v["fds"] is not None else "NaN"),
                                  str(v["threads"] if v["threads"] is not None else "NaN")]
                    f.write("\t".join(cells) + "\n")
    for name in ("zet", "peer", "peer_open"):
        lat = results.get(name, {}).get("latency")
        if lat:
            with open(os.path.join(d, f"latency-{name}.dat"), "w") as f:
                f.write("# latency of single infected files, ms\n")
                for v in sorted(lat["samples_s"]):
                    f.write(f"{v * 1000:.3f}\n")


def plot(d, out):
    subprocess.run(["gnuplot", "-e", f"datadir='{d}'; outdir='{out}'", os.path.join(REPO, "bench", "plot.gp")],
                   check=True)
    log(f"plots written to {out}")



READ_SIDES = {"none": "no scanner", "zet-scan": "zet, ON_OPEN = scan", "zet-block": "zet, ON_OPEN = block",
              "peer-prevention": "clamonacc + clamd, OnAccessPrevention", "peer-notify": "clamonacc + clamd, default"}

# Front end and scan service of each side's pipeline, as the Sampler names them.
READ_PROCS = {"zet": ("zet", "orbis-scand"), "peer": ("clamonacc", "clamd")}


def read_rows(res, args):
    """The side-by-side table of --reads: one column per side, median [min-max] of the repetitions."""
    sides = res["sides"]
    reps = res["reps"]

    def cells(fn):
        return [fn(reps[s], s) if reps[s] else "-" for s in sides]

    def ranged(phase, key, prec=0, scale=1.0):
        return lambda rs, s: fmt_range(figure(rs, phase, key), scale, prec) if figure(rs, phase, key) else "-"

    def longest(rs, s):
        return f"{max(max(r['cold']['longest_open_s'], r['warm']['longest_open_s']) for r in rs) * 1000:.2f}"

    def refused(rs, s):
        return (f"{sum(r['cold']['refused'] + r['warm']['refused'] for r in rs)} / "
                f"{sum(r['exec']['failed'] for r in rs)} / {sum(r['open']['refused'] for r in rs)}")

    def held(key):
        def fn(rs, s):
            o = open_figures(rs)
            return f"{o[key] * 1000:.3f}" if o else "-"
        return fn

    def rep_p50(rs, s):
        o = open_figures(rs)
        return fmt_range(o["rep_p50_s"], 1000, 3) if o else "-"

    def cpu(i, phase):
        def fn(rs, s):
            kind = SIDES[s][0]
            if not kind:
                return "-"
            name = READ_PROCS[kind][i]
            return fmt_range(summary([r[phase]["services_cpu_s"].get(name) for r in rs]), prec=2)
        return fn

    def zet_count(phase, key):
        def fn(rs, s):
            v = [r["metrics"][phase].get(key) for r in rs if r.get("metrics")]
            return fmt_range(summary(v)) if v else "-"
        return fn

    def unscanned(rs, s):
        v = [sum(m.get("opens_unscanned", 0) for m in r["metrics"].values() if isinstance(m, dict))
             for r in rs if r.get("metrics")]
        return str(sum(v)) if v else "-"

    def entries(rs, s):
        v = [r["metrics"].get("cache_entries") for r in rs if r.get("metrics")]
        return fmt_range(summary(v)) if v else "-"

    n, size = args.read_files, args.size
    defs = [(f"cold pass, files/s ({n} x {size} B, every open uncached)", ranged("cold", "files_per_s")),
            ("cold pass, until every file was scanned, files/s", ranged("cold", "scanned_per_s")),
            (f"warm pass, files/s (the same files again; median of the passes in {args.warm_time:g} s)",
             ranged("warm", "files_per_s")),
            ("warm passes in each repetition", lambda rs, s: fmt_range(summary([len(r["warm"]["passes"])
                                                                                for r in rs]))),
            (f"exec loop, runs/s ({args.exec_runs} runs)", ranged("exec", "runs_per_s")),
            ("uncached open held, p50, ms (all samples)", held("p50_s")),
            ("uncached open held, p99, ms", held("p99_s")),
            ("uncached open held, max, ms", held("max_s")),
            ("uncached open held, p50 of each repetition, ms", rep_p50),
            ("longest open of the passes, ms", longest),
            ("opens refused: passes / exec runs / timed opens", refused),
            ("cold pass: files scanned", ranged("cold", "scanned")),
            ("cold pass: scan records", ranged("cold", "scans")),
            ("cold pass: last scan after the reader ended, s", ranged("cold", "drain_s", 2)),
            ("warm pass: scans a pass", ranged("warm", "scanned")),
            ("exec loop: scans", ranged("exec", "scanned")),
            ("reader CPU s: cold pass", ranged("cold", "cpu_s", 2)),
            ("reader CPU s: warm pass", ranged("warm", "cpu_s", 2)),
            ("CPU s cold pass: zet | clamonacc", cpu(0, "cold")),
            ("CPU s cold pass: orbis-scand | clamd", cpu(1, "cold")),
            ("CPU s warm pass: zet | clamonacc", cpu(0, "warm")),
            ("CPU s warm pass: orbis-scand | clamd", cpu(1, "warm")),
            ("zet open_scans: cold pass", zet_count("cold", "open_scans")),
            ("zet open_scans: warm pass", zet_count("warm", "open_scans")),
            ("zet open_scans: exec loop", zet_count("exec", "open_scans")),
            ("zet opens seen: warm pass", zet_count("warm", "opens")),
            ("zet opens_unscanned, all phases", unscanned),
            ("zet open_cache_entries at the end", entries)]
    head = ["", *(READ_SIDES[s] for s in sides)]
    return head, [[label, *cells(fn)] for label, fn in defs]


def cache_rows(c):
    kib = lambda v: f"{v / 1024:.1f}"
    rows = [("files opened (1 byte each) from parallel readers", f"{c['files']} in {c['seconds']:.0f} s "
             f"({c['files_per_s']:.0f} files/s), {c['refused']} refused"),
            ("zet open_cache_entries", str(c.get("cache_entries"))),
            ("zet open_scans", str(c["metrics"].get("open_scans"))),
            ("zet RSS growth, MiB", kib(c["zet_rss_kib"])),
            ("zet's table, allocated whole at start, MiB", f"{OPEN_CACHE_ENTRIES * OPEN_CACHE_ENTRY_BYTES / 1048576:.1f} "
             f"({OPEN_CACHE_ENTRIES} x {OPEN_CACHE_ENTRY_BYTES} B) + {OPEN_CACHE_ENTRIES // 4 / 1024:.0f} KiB")]
    for n in ("fanotify_mark", "fsnotify_mark_connector"):
        if n in c:
            rows.append((f"kernel {n} objects (slab {c[n]['cache']}), MiB",
                         f"+{c[n]['objects']} = {c[n]['bytes'] / 1048576:.1f}"))
    if c.get("kernel_bytes_per_file") is not None:
        rows.append(("kernel marks, bytes a cached file", f"{c['kernel_bytes_per_file']:.0f}"))
        rows.append(("kernel marks at 1,048,576 files, MiB (scaled)", f"{c['kernel_bytes_at_target'] / 1048576:.1f}"))
    rows.append(("/proc/meminfo Slab growth, MiB", kib(c["slab_kib"])))
    return ["", "zet, ON_OPEN = block"], [list(r) for r in rows]


def report_reads(results, args):
    res = results["reads"]
    head, rows = read_rows(res, args)
    ld = [f"load average {x['loadavg'][0]:.2f}, CPU idle {100 * (x['cpu_idle'] or 0):.0f} %" for x in res["load"]]
    print(f"\nprotection on open: median [min-max] of {args.reps} repetitions, sides interleaved in each; "
          f"file system {args.fs}; {ld[0]} at the start, {ld[-1]} at the end")
    print(table(head, rows))
    rat = ratios(res["reps"])
    if rat:
        print("\nratios of paired repetitions: median [min-max]")
        print(table(["", "ratio"], [[label, fmt_range(s, prec=3)] for label, s in rat]))
    print("\ngoals")
    print(table(["goal", "measured", "met"],
                [[g, m, "-" if ok is None else ("yes" if ok else "NO")] for g, m, ok in goals(res, args.open_timeout)]))
    if res.get("cache"):
        print("\nmemory of the cache of clean verdicts")
        print(table(*cache_rows(res["cache"])))
    for side, reps in res["reps"].items():
        bad = [i + 1 for i, r in enumerate(reps) if r["cold"].get("complete") is False]
        if bad:
            print(f"note: {side}: repetitions {bad}: not every file of the cold pass was scanned "
                  f"(stalled for {args.stall} s)")


def write_reads_data(results, d):
    """reads.dat (files/s and runs/s of each side) and the held times of the uncached opens."""
    os.makedirs(d, exist_ok=True)
    res = results["reads"]
    with open(os.path.join(d, "reads.dat"), "w") as f:
        f.write("# side\tphase\tmedian\tmin\tmax (files/s; exec: runs/s)\n")
        for side in res["sides"]:
            for phase, key in (("cold", "files_per_s"), ("warm", "files_per_s"), ("exec", "runs_per_s")):
                s = figure(res["reps"][side], phase, key)
                if s:
                    f.write(f"{side}\t{phase}\t{s['median']:.1f}\t{s['min']:.1f}\t{s['max']:.1f}\n")
    for side in res["sides"]:
        with open(os.path.join(d, f"open-{side}.dat"), "w") as f:
            f.write("# open() of an uncached file, held, ms\n")
            for v in sorted(v for r in res["reps"][side] for v in r["open"]["samples_s"]):
                f.write(f"{v * 1000:.4f}\n")


def report_sweeps(results, args):
    res = results["sweeps"]
    sides, rows = sweep_rows(res)
    ld = [f"load average {x['loadavg'][0]:.2f}, CPU idle {100 * (x['cpu_idle'] or 0):.0f} %" for x in res["load"]]
    print(f"\nsweeps of {args.sweep_files} files: median [min-max] of {args.reps} repetitions, sides interleaved "
          f"in each; file system {args.fs}; {ld[0]} at the start, {ld[-1]} at the end")
    print(table([""] + [LABELS[s] for s in sides],
                [[label] + [fmt_range(f(s), prec=prec) for s in sides] for label, f, prec in rows]))
    print("\nratios of paired repetitions (files/s): median [min-max]")
    print(table(["", "ratio"], [[label, fmt_range(r, prec=3)] for label, r in sweep_ratios(res)]))
    live = res["live"]
    i, d = live["idle"], live["during"]
    print(f"\nlive infected files, {args.latency_samples} written one at a time with {args.latency_gap} s gaps, "
          f"until quarantined; during: while zetctl scan sweeps {args.sweep_live_files} files "
          f"({live['sweeps']} sweep(s); the first outlasted the samples: {live['first_sweep_outlasted_samples']})")
    print(table(["", "p50, ms", "p99, ms", "samples", "lost"],
                [[k, ms(v["p50_s"]), ms(v["p99_s"]), str(v["n"]), str(v["lost"])] for k, v in
                 (("idle", i), ("during a sweep", d))]))
    if i["p99_s"] and d["p99_s"]:
        print(f"p99 during / idle: {d['p99_s'] / i['p99_s']:.2f} (goal <= 5)")
