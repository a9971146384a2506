#!/usr/bin/env python3
"""Checks of bench/onaccess's bookkeeping, the parts whose faults would silently skew its figures: which
log lines count as scan records, which quarantine entries count as arrivals, and how trees are planned."""

import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.dont_write_bytecode = True  # no __pycache__ left in the source tree

from onaccess import measurements, pipelines, records, report, trees, workloads

ZET_RECORD = r"SCAN '(.*)' CID "
CLAMD_RECORD = r"^(/.*): (?:OK|.* FOUND|Empty file)$"


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


if __name__ == "__main__":
    unittest.main()
