#!/usr/bin/env python3
"""Checks of bench/onaccess's bookkeeping, the parts whose faults would silently skew its figures: which
log lines count as scan records, which quarantine entries count as arrivals, how trees are planned, and
what --reads makes of its readers, zet's counts and the kernel's slabs."""

import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.dont_write_bytecode = True  # no __pycache__ left in the source tree

from onaccess import measurements, pipelines, reads, records, report, sweeps, trees, workloads

ZET_RECORD = r"SCAN '(.*)' CID "
CLAMD_RECORD = r"^(/.*): (?:OK|.* FOUND|Empty file)$"
ICAP_RECORD = pipelines.ZetIcap.RECORD


class RecordsTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.log = os.path.join(self.dir, "log")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def test_lines_that_count(self):
        cases = [
            (ZET_RECORD, "orbis-scand[7]: SCAN '/t/d00/f0000001' CID 'portwarden' TRIGGER 'ON_WRITE'\n",
             ["/t/d00/f0000001"]),
            (ZET_RECORD, "orbis-scand[7]: Excluding '/t/vault'\n", []),
            (ZET_RECORD, "orbis-scand[7]: Found 'Eicar' in '/t/x0000002'.\n", []),
            (CLAMD_RECORD, "/t/d01/f0000003: OK\n", ["/t/d01/f0000003"]),
            (CLAMD_RECORD, "/t/d01/x0000004: Orbis.Test.EICAR.UNOFFICIAL FOUND\n", ["/t/d01/x0000004"]),
            (CLAMD_RECORD, "Loaded 1 signatures.\n", []),
            (CLAMD_RECORD, "LOCAL: Unix socket file /t/clamd.sock\n", []),
            (ICAP_RECORD, "1796821907 RESPMOD 204 4383 116 zet/f0000001\n", ["f0000001"]),
            (ICAP_RECORD, "1796821907 RESPMOD 200 349 934 zet/x0000002\n", ["x0000002"]),
            (ICAP_RECORD, "1796821907 OPTIONS 200 60 250 -\n", []),
        ]
        for regex, text, want in cases:
            with self.subTest(text=text):
                with open(self.log, "w") as f:
                    f.write(text)
                self.assertEqual(records.Records(self.log, regex).new_paths(), want)

    def test_line_split_across_reads_counts_once(self):
        r = records.Records(self.log, CLAMD_RECORD)
        with open(self.log, "w") as f:
            f.write("/t/f0000001: OK\n/t/f00")
        self.assertEqual(r.new_paths(), ["/t/f0000001"])
        with open(self.log, "a") as f:
            f.write("00002: OK\n")
        self.assertEqual(r.new_paths(), ["/t/f0000002"])
        self.assertEqual(r.new_paths(), [])

    def test_skip_to_end_ignores_earlier_records(self):
        with open(self.log, "w") as f:
            f.write("/t/w0000001: OK\n")
        r = records.Records(self.log, CLAMD_RECORD)
        r.skip_to_end()
        with open(self.log, "a") as f:
            f.write("/t/f0000002: OK\n")
        self.assertEqual(r.new_paths(), ["/t/f0000002"])


class QuarantineTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()

    def tearDown(self):
        shutil.rmtree(self.dir)

    def touch(self, name, data=b""):
        with open(os.path.join(self.dir, name), "wb") as f:
            f.write(data)

    def test_origin_names(self):
        # zet's mkstemp suffix, clamonacc's copies of deleted files and its collision counter, its lock file.
        # Past ten million files the serial grows an eighth digit.
        for name in ("x0000001.Ab3dEf", "x0000002", "x0000003 (deleted).001", ".clamav-quarantine-lock.9.0",
                     "x10000012.Gh4iJk"):
            self.touch(name)
        self.assertEqual(records.quarantined(self.dir), {"x0000001", "x0000002", "x0000003", "x10000012"})

    def arrival(self, act, origin="l0000001"):
        ino = records.Inotify(self.dir)
        try:
            t = threading.Timer(0.05, act)
            t.start()
            got = ino.wait_for(origin, time.monotonic() + 0.5)
            t.join()
            return got is not None
        finally:
            ino.close()

    def test_arrivals(self):
        src = tempfile.mkdtemp()
        try:
            def rename():
                with open(os.path.join(src, "l0000001"), "wb") as f:
                    f.write(b"x")
                os.rename(os.path.join(src, "l0000001"), os.path.join(self.dir, "l0000001.AAAAAA"))

            def link():
                with open(os.path.join(src, "l0000001"), "wb") as f:
                    f.write(b"x")
                os.link(os.path.join(src, "l0000001"), os.path.join(self.dir, "l0000001"))

            cases = [
                ("rename into the quarantine", rename, True),
                ("hard link, as clamonacc moves", link, True),
                ("copy closed with content", lambda: self.touch("l0000001.BBBBBB", b"x"), True),
                ("reserved empty name only", lambda: self.touch("l0000001.CCCCCC"), False),
                ("another file's arrival", lambda: self.touch("l0000002.DDDDDD", b"x"), False),
                ("a longer serial that starts alike", lambda: self.touch("l00000011.EEEEEE", b"x"), False),
            ]
            for label, act, want in cases:
                with self.subTest(label):
                    for n in os.listdir(self.dir):
                        os.unlink(os.path.join(self.dir, n))
                    self.assertEqual(self.arrival(act), want)
        finally:
            shutil.rmtree(src)


class PlanTest(unittest.TestCase):
    def test_infected_share_and_spread(self):
        cases = [(20000, 16, 1.0, 200), (2000, 16, 1.0, 20), (1000, 4, 10.0, 100), (500, 16, 0.0, 0)]
        for files, subdirs, pct, want in cases:
            with self.subTest(files=files, pct=pct):
                plan = trees.plan_tree("/t", files, subdirs, pct)
                bad = [p for p, b in plan if b]
                self.assertEqual(len(plan), files)
                self.assertEqual(len(bad), want)
                self.assertEqual(len({os.path.basename(p) for p, _ in plan}), files)
                if want >= subdirs:
                    self.assertEqual(len({os.path.dirname(p) for p in bad}), subdirs)

    def test_clean_contents_are_unique(self):
        c = trees.Content(4096)
        names = [trees.SERIAL.next("f") for _ in range(2000)]
        blobs = [c.clean(n) for n in names]
        self.assertTrue(all(len(b) == 4096 for b in blobs))
        self.assertEqual(len(set(blobs)), len(blobs))

    def test_percentile(self):
        vals = list(range(1, 51))
        self.assertEqual(measurements.percentile(vals, 90), 45)
        self.assertEqual(measurements.percentile(vals, 50), 25)
        self.assertEqual(measurements.percentile([7], 90), 7)


class ReportTest(unittest.TestCase):
    """The ratios in the table: each peer column against zet, the engine against the faster method."""

    @staticmethod
    def pipeline(files_per_s, names):
        procs = {n: 1.0 for n in names}
        rep = {"files_per_s": files_per_s, "scanned": 10, "missed": 0, "wrongly_moved": 0, "extra_copies": 0,
               "write_seconds": 0.1, "cpu_s": procs, "peak_rss_kib": procs, "peak_fds": procs, "complete": True}
        return {"throughput": {10: [rep]}, "idle_rss_kib": {}, "idle_pss_kib": {}, "probes": {}}

    def table(self, results):
        import contextlib
        import io
        args = type("A", (), {"files": 10, "size": 4096, "reps": 1, "fs": "tmpfs", "workers": 4, "stall": 5})
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            report.report(results, args)
        rows = {}
        for ln in out.getvalue().splitlines():
            cells = [c.strip() for c in ln.split(" | ")]
            rows[cells[0]] = cells[1:]
        return rows

    def test_icap_table(self):
        import contextlib
        import io
        z = self.pipeline(600.0, ("zet", "orbis-scand"))
        icap = self.pipeline(300.0, ("zet", "c-icap", "c-icap child 1"))
        icap["throughput"][10][0].update(files=10, counters={"icap_bytes_in": 45000, "icap_bytes_out": 1500,
                                                              "icap_requests": 10, "lo_bytes": 48000,
                                                              "lo_packets": 40})
        z["throughput"][10][0]["files"] = 10
        args = type("A", (), {"files": 10, "size": 4096, "reps": 1})
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            report.report_icap({"zet": z, "zet_icap": icap}, args)
        rows = {ln.split(" | ")[0].strip(): [c.strip() for c in ln.split(" | ")[1:]] for ln in out.getvalue().splitlines()}
        # c-icap's CPU is its main process's and its children's: 2 s over 10 files.
        self.assertEqual(rows["CPU ms a file: scan service"], ["100.00 [100.00-100.00]", "200.00 [200.00-200.00]"])
        self.assertEqual(rows["ICAP bytes a file, zet to server"], ["-", "4500 [4500-4500]"])
        self.assertIn("paired repetitions (files/s): 0.500 [0.500-0.500]", out.getvalue())

    def test_ratios(self):
        eng = lambda v: {10: [{"files_per_s": v}]}
        cases = [
            ("both peer modes and both engine methods",
             {"zet": self.pipeline(600.0, ("zet", "orbis-scand")),
              "peer": self.pipeline(100.0, ("clamonacc", "clamd")),
              "peer_open": self.pipeline(200.0, ("clamonacc", "clamd")),
              "engine": eng(500.0), "engine_memory": eng(1200.0), "clamdscan": eng(300.0)},
             ["600 [600-600]", "100 [100-100]", "6.00", "200 [200-200]", "3.00"],
             ["0.50", "0.08", "", "0.17", ""]),
            ("one peer mode, the descriptor method only",
             {"zet": self.pipeline(600.0, ("zet", "orbis-scand")),
              "peer_open": self.pipeline(300.0, ("clamonacc", "clamd")), "engine": eng(400.0)},
             ["600 [600-600]", "300 [300-300]", "2.00"],
             ["1.50", "0.75", ""]),
        ]
        for label, results, throughput, engine in cases:
            with self.subTest(label):
                rows = self.table(results)
                self.assertEqual(rows["throughput, files/s (10 x 4096 B)"], throughput)
                self.assertEqual(rows["pipeline / best in-process engine"], engine)


class EngineLimitTest(unittest.TestCase):
    def test_figures_or_its_failure(self):
        line = "files=10 infected=1 errors={} threads=4 seconds=0.5 load_seconds=0.1 signatures=9\n"
        cases = [("figures", 0, line.format(0), "", "0"),
                 ("scan errors keep the figure and their count", 2, line.format(3), "", "3"),
                 ("database not loaded", 1, "", "loading /db: Can't open file or directory\n", None)]
        for label, rc, out, err, errors in cases:
            with self.subTest(label):
                run = subprocess.CompletedProcess([], rc, out, err)
                if errors is None:
                    with self.assertRaisesRegex(RuntimeError, "exited with 1:\nloading /db"):
                        pipelines.engine_figures(run)
                else:
                    kv = pipelines.engine_figures(run)
                    self.assertEqual((kv["seconds"], kv["errors"]), ("0.5", errors))


class WorkloadTest(unittest.TestCase):
    """The mixed-load and soak bookkeeping: which files count, what counts as growth, what the tables show."""

    class FakeArrivals:
        def __init__(self, times):
            self.times = times

        def get(self, origin):
            return self.times.get(origin)

    def test_latency_window(self):
        closed = {"m1": 1.0, "m2": 2.0, "m3": 3.0, "m4": 4.0}
        arr = self.FakeArrivals({"m1": 1.5, "m2": 2.1, "m4": 4.3})
        cases = [(None, None, [0.5, 0.1, 0.3], 1), (2.0, 4.0, [0.1], 1), (4.0, None, [0.3], 0),
                 (5.0, None, [], 0)]
        for since, until, want, lost in cases:
            with self.subTest(since=since, until=until):
                got, n_lost = workloads.latencies(closed, arr, since, until)
                self.assertEqual([round(v, 6) for v in got], want)
                self.assertEqual(n_lost, lost)

    @staticmethod
    def samples(series, warm_until=0):
        """One sample a second of process 'z', all in the load phase."""
        return [{"t": float(i), "phase": "load",
                 "procs": {"z": {"rss_kib": v[0], "fds": v[1], "threads": v[2]}}} for i, v in enumerate(series)]

    def test_growth(self):
        """Load samples, then the idle samples (RSS, fds, threads)."""
        flat = [(10000, 20, 5)] * 8
        rest = [(10000, 20, 5)]
        cases = [
            ("flat", flat, rest, "report", []),
            ("noise within bounds", [(10000, 20, 5), (10300, 22, 5)] * 4, rest, "report", []),
            ("leaking memory", [(10000 + 2000 * i, 20, 5) for i in range(8)], rest, "report", ["z rss_kib"]),
            ("descriptors following a backlog that drains", [(10000, 20 + 40 * (i % 2), 5) for i in range(8)],
             rest, "report", []),
            ("descriptors kept after the load", flat, [(10000, 60, 5)], "report", ["z fds"]),
            ("the same under the smoke bounds", flat, [(10000, 60, 5)], "smoke", []),
            ("threads kept after the load", flat, [(10000, 20, 9)], "report", ["z threads"]),
            ("too few samples to judge", [(1, 1, 1), (9999, 999, 99)], [(9999, 999, 99)], "report", []),
        ]
        for label, load, idle, bounds, want in cases:
            with self.subTest(label):
                series = self.samples(load + idle)
                for smp in series[len(load):]:
                    smp["phase"] = "idle"
                fails, _ = workloads.growth_check(series, 0.0, workloads.GROWTH_BOUNDS[bounds])
                self.assertEqual([" ".join(f.split()[:2]) for f in fails], want)

    def test_warm_up_is_not_judged(self):
        series = self.samples([(50000, 90, 9)] * 2 + [(10000, 20, 5)] * 8)
        fails, table = workloads.growth_check(series, 2.0, workloads.GROWTH_BOUNDS["report"])
        self.assertEqual(fails, [])
        self.assertEqual(table["z rss_kib"], (10000, 10000))

    def test_small_writer_share_and_expiry(self):
        d = tempfile.mkdtemp()
        try:
            w = workloads.SmallWriter(d, trees.Content(512), rate=0, infected_every=10, subdirs=2, keep_s=0.0)
            for _ in range(100):
                w.write_one()
            self.assertEqual((len(w.closed), len(w.clean_names)), (10, 90))
            victim = w.pending[5][1]
            os.unlink(victim)  # as a pipeline that wrongly moved a clean file would
            w.expire(float("inf"))
            self.assertEqual(w.clean_missing, 1)
            self.assertEqual(sum(len(f) for _, _, f in os.walk(d)), 10)  # the infected ones stay
        finally:
            shutil.rmtree(d)

    def test_archives_hold_the_eicar_member(self):
        import tarfile
        import zipfile
        d = tempfile.mkdtemp()
        try:
            for kind in ("zip", "tar"):
                with self.subTest(kind):
                    path = os.path.join(d, "a." + kind)
                    trees.make_archive(path, kind, 4 << 10, member_size=1 << 10)
                    if kind == "zip":
                        with zipfile.ZipFile(path) as z:
                            names, eicar = z.namelist(), z.read("readme.com")
                    else:
                        with tarfile.open(path) as t:
                            names, eicar = t.getnames(), t.extractfile("readme.com").read()
                    self.assertEqual(eicar, trees.EICAR)
                    self.assertEqual(len(names), 5)
        finally:
            shutil.rmtree(d)

    def test_tables(self):
        mix = {"small_during": {"n": 40, "lost": 1, "p50_s": 0.004, "p99_s": 0.050, "max_s": 0.060},
               "small_before": {"n": 10, "lost": 0, "p50_s": 0.001}, "large_s": [2.0, 3.0, 4.0],
               "large_missed": 0, "clean_moved": 0}
        soak = {"rate": 1000.0, "load_s": 60, "warm_s": 20, "idle_s": 20, "written": 60000, "infected": 600,
                "large": 4, "latency": {"p50_s": 0.002, "p99_s": 0.010}, "missed": 0, "clean_moved": 0,
                "growth": {"zet rss_kib": [5120, 6144], "zet fds": [12, 14]}, "ok": True}
        results = {"zet": {"latency": {"median_s": 0.001, "p99_s": 0.005}, "mix": mix, "soak": soak},
                   "peer_open": {"latency": {"median_s": 0.002}, "mix": dict(mix, large_s=[])}}
        head, rows = report.mix_rows(results)
        got = {r[0]: r[1:] for r in rows}
        cases = [("p99 during large scans / p99 idle", ["10.0", "-"]),
                 ("small files during large scans: p99, ms", ["50.0", "50.0"]),
                 ("large files close to quarantine, s", ["3.0 [2.0-4.0]", "-"]),
                 ("small infected files measured (lost)", ["40 (1)", "40 (1)"])]
        self.assertEqual(head, ["", "zet + orbis-scand", "clamonacc + clamd, default"])
        for label, want in cases:
            with self.subTest(label):
                self.assertEqual(got[label], want)
        head, rows = report.soak_rows(results)
        got = {r[0]: r[1:] for r in rows}
        self.assertEqual(head, ["", "zet + orbis-scand"])
        self.assertEqual(got["zet RSS MiB, max 1st -> 2nd half"], ["5.0 -> 6.0"])
        self.assertEqual(got["zet fds, least under load -> idle"], ["12 -> 14"])
        self.assertEqual(got["verdict"], ["ok"])
        self.assertEqual(report.mix_rows({"zet": {}}), (None, []))


class ReadsTest(unittest.TestCase):
    """--reads: paired ratios, zet's counts, the reader and the exec loop, the deadline, the goals, the
    memory of the cache."""

    def setUp(self):
        self.dir = tempfile.mkdtemp()

    def tearDown(self):
        shutil.rmtree(self.dir)

    def test_paired_ratios(self):
        cases = [("each pair on its own, not the ratio of medians (4)", [100, 200, 300], [50, 50, 100], (3.0, 2.0, 4.0)),
                 ("a repetition without a figure is left out", [100, None, 300], [50, 50, 0], (2.0, 2.0, 2.0)),
                 ("no pair", [None], [1], None)]
        for label, a, b, want in cases:
            with self.subTest(label):
                got = measurements.paired_ratios(a, b)
                self.assertEqual(got and (got["median"], got["min"], got["max"]), want)

    def test_zetctl_summary(self):
        out = ('{"finding":{"path":"/t/x","vault":null,"names":["Eicar"]}}\nnot json\n'
               '{"summary":{"walked":3,"scanned":3,"infected":1,"unscanned":0}}\n')
        cases = [("the last line's summary", out, {"walked": 3, "scanned": 3, "infected": 1, "unscanned": 0}),
                 ("an interrupted sweep has none", out.rsplit("\n", 2)[0], {}), ("no output", "", {})]
        for label, text, want in cases:
            with self.subTest(label):
                self.assertEqual(sweeps.summary_of(text), want)

    def test_metrics_file(self):
        path = os.path.join(self.dir, "zet.metrics")
        self.assertEqual(records.read_metrics(path), {})
        with open(path, "w") as f:
            f.write("start_time 1765000000\nopens 12\nopen_scans 3\nopens_unscanned 0\ntruncated\n")
        got = records.read_metrics(path)
        self.assertEqual(got, {"start_time": 1765000000, "opens": 12, "open_scans": 3, "opens_unscanned": 0})
        self.assertEqual(reads.delta(dict(got, opens=20), got)["opens"], 8)

    def test_reader_counts_refused_opens(self):
        paths = []
        for i in range(3):
            paths.append(os.path.join(self.dir, f"f{i}"))
            trees.write_file(paths[-1], b"x" * 5000)
        listfile = os.path.join(self.dir, "list")
        reads.write_list(listfile, paths + [os.path.join(self.dir, "gone")])
        got = reads.reader_results(reads.start_readers([listfile]))[0]
        self.assertEqual((got["files"], got["refused"]), (4, 1))
        self.assertGreater(got["longest_open_s"], 0)

    def test_warm_passes(self):
        path = os.path.join(self.dir, "f")
        trees.write_file(path, b"x")
        listfile = os.path.join(self.dir, "list")
        reads.write_list(listfile, [path, os.path.join(self.dir, "gone")])
        for min_s, few, many in ((0.0, 1, 1), (0.3, 2, 25)):
            with self.subTest(min_s=min_s):
                got = reads.warm_passes(listfile, None, min_s)
                n = len(got["passes"])
                self.assertTrue(few <= n <= many, n)
                self.assertEqual(got["refused"], n)  # every pass's refused open, not the median one's
                self.assertEqual(got["files_per_s"],
                                 sorted(p["files_per_s"] for p in got["passes"])[n // 2])

    def test_exec_loop_counts_failed_runs(self):
        prog = os.path.join(self.dir, "prog")
        cases = [("runs", "#!/bin/sh\nexit 0\n", 0o755, 0), ("exits 1", "#!/bin/sh\nexit 1\n", 0o755, 5),
                 ("not executable", "#!/bin/sh\n", 0o644, 5)]
        for label, text, mode, failed in cases:
            with self.subTest(label):
                with open(prog, "w") as f:
                    f.write(text)
                os.chmod(prog, mode)
                self.assertEqual(reads.exec_loop(prog, 5)["failed"], failed)

    def test_scan_records_of_wanted_files(self):
        log = os.path.join(self.dir, "log")
        with open(log, "w") as f:
            f.write("/t/a: OK\n/t/b: OK\n/t/a: OK\n/t/other: OK\n")
        pipe = type("P", (), {"records": records.Records(log, CLAMD_RECORD)})
        counts, last = reads.scans_of(pipe, {"/t/a", "/t/b", "/t/c"}, 0.05)
        self.assertEqual(counts, {"/t/a": 2, "/t/b": 1})
        self.assertIsNotNone(last)

    def test_held_past_the_deadline(self):
        fast, held = {"longest_open_s": 0.002}, {"longest_open_s": 5.0}
        cases = [("none", [((fast, fast), {"cold": {"opens_unscanned": 0}, "cache_entries": 9})], 0),
                 ("counted unscanned by zet", [((fast, fast), {"warm": {"opens_unscanned": 2}})], 2),
                 ("an open as long as the deadline", [((fast, held), {"cold": {}}), ((held,), None)], 2),
                 ("no counts of zet's", [((fast,), None)], None)]
        for label, runs, want in cases:
            with self.subTest(label):
                self.assertEqual(reads.never_past_deadline(runs, 5), want)

    @staticmethod
    def rep(cold, warm, held_ms, unscanned=0):
        p = {"longest_open_s": 0.001}
        return {"cold": dict(p, files_per_s=cold), "warm": dict(p, files_per_s=warm),
                "exec": {"runs_per_s": 1000.0}, "open": {"samples_s": [v / 1000 for v in held_ms], "refused": 0},
                "metrics": {"cold": {"opens_unscanned": unscanned}}}

    def test_goals(self):
        ok = [0.5] * 99 + [4.0]
        cases = [("all met", 1000.0, 1040.0, ok, 0, ["yes", "yes", "yes", "yes"]),
                 ("warm 6 % slower, cold 4x, a slow p99, one unscanned", 800.0, 1060.0,
                  [0.5] * 98 + [6.0, 6.0], 1, ["NO", "NO", "NO", "NO"])]
        for label, cold, none_warm, held, unscanned, want in cases:
            with self.subTest(label):
                res = {"reps": {"none": [self.rep(9000.0, none_warm, [0.01])] * 3,
                                "zet-block": [self.rep(cold, 1000.0, held, unscanned)] * 3,
                                "peer-prevention": [self.rep(200.0, 300.0, [1.0])] * 3}}
                got = [("-" if m is None else "yes" if m else "NO") for _, _, m in reads.goals(res, 5)]
                self.assertEqual(got, want)
        self.assertEqual([m for _, _, m in reads.goals({"reps": {"none": []}}, 5)], [None] * 4)

    def test_slab_of_a_merged_cache(self):
        merged = os.path.join(self.dir, ":A-0000080")
        os.mkdir(merged)
        for name, text in (("objects", "358 N0=358\n"), ("slab_size", "80\n"), ("slabs", "11 N0=11\n"),
                           ("order", "1\n")):
            with open(os.path.join(merged, name), "w") as f:
                f.write(text)
        os.symlink(":A-0000080", os.path.join(self.dir, "fanotify_mark"))
        page = os.sysconf("SC_PAGE_SIZE")
        self.assertEqual(reads.slab("fanotify_mark", self.dir),
                         {"cache": ":A-0000080", "objects": 358, "object_size": 80, "bytes": 11 * 2 * page})
        self.assertIsNone(reads.slab("fsnotify_mark_connector", self.dir))

    def test_cache_growth(self):
        def snap(rss, marks, connectors, slab_kib):
            return {"zet_rss_kib": rss, "meminfo_kib": {"Slab": slab_kib},
                    "slabs": {"fanotify_mark": {"cache": ":A-80", "objects": marks, "object_size": 80},
                              "fsnotify_mark_connector": {"cache": ":24", "objects": connectors, "object_size": 24}}}
        got = reads.cache_growth(snap(5000, 300, 900, 1000), snap(46000, 100300, 100900, 11000), 100000, 1000000)
        self.assertEqual(got["zet_rss_kib"], 41000)
        self.assertEqual(got["kernel_bytes"], 100000 * 104)
        self.assertEqual(got["kernel_bytes_per_file"], 104)
        self.assertEqual(got["kernel_bytes_at_target"], 104000000)
        self.assertEqual(got["slab_kib"], 10000)


if __name__ == "__main__":
    unittest.main()
