#!/usr/bin/env python3
"""Checks of bench/onaccess's bookkeeping, the parts whose faults would silently skew its figures: which
log lines count as scan records, which quarantine entries count as arrivals, and how trees are planned."""

import importlib.machinery
import importlib.util
import os
import shutil
import tempfile
import threading
import time
import unittest

_path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "onaccess")
_loader = importlib.machinery.SourceFileLoader("onaccess", _path)
_spec = importlib.util.spec_from_loader("onaccess", _loader)
oa = importlib.util.module_from_spec(_spec)
_loader.exec_module(oa)

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
                self.assertEqual(oa.Records(self.log, regex).new_paths(), want)

    def test_line_split_across_reads_counts_once(self):
        r = oa.Records(self.log, CLAMD_RECORD)
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
        r = oa.Records(self.log, CLAMD_RECORD)
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
        for name in ("x0000001.Ab3dEf", "x0000002", "x0000003 (deleted).001", ".clamav-quarantine-lock.9.0"):
            self.touch(name)
        self.assertEqual(oa.quarantined(self.dir), {"x0000001", "x0000002", "x0000003"})

    def arrival(self, act, origin="l0000001"):
        ino = oa.Inotify(self.dir)
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
                plan = oa.plan_tree("/t", files, subdirs, pct)
                bad = [p for p, b in plan if b]
                self.assertEqual(len(plan), files)
                self.assertEqual(len(bad), want)
                self.assertEqual(len({os.path.basename(p) for p, _ in plan}), files)
                if want >= subdirs:
                    self.assertEqual(len({os.path.dirname(p) for p in bad}), subdirs)

    def test_clean_contents_are_unique(self):
        c = oa.Content(4096)
        names = [oa.SERIAL.next("f") for _ in range(2000)]
        blobs = [c.clean(n) for n in names]
        self.assertTrue(all(len(b) == 4096 for b in blobs))
        self.assertEqual(len(set(blobs)), len(blobs))

    def test_percentile(self):
        vals = list(range(1, 51))
        self.assertEqual(oa.percentile(vals, 90), 45)
        self.assertEqual(oa.percentile(vals, 50), 25)
        self.assertEqual(oa.percentile([7], 90), 7)


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
            oa.report(results, args)
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


if __name__ == "__main__":
    unittest.main()
