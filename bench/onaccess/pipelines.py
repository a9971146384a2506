"""The pipelines compared: zet + orbis-scand, clamonacc + clamd, and libclamav alone."""

import argparse
import math
import os
import shutil
import socket
import statistics
import subprocess
import time

from .measurements import latency, med, probe, throughput
from .processes import SCAN_TMP, Service, children, idle_pss, idle_rss, log, loopback_bytes, proc_status
from .records import Inotify, Records, loaded_signatures, read_metrics
from .trees import EICAR, SERIAL, make_dirs, plan_tree, write_file, write_tree
from .workloads import mix, soak


class Pipeline:
    """A scan service and an on-access front end over one file system layout."""

    def __init__(self, name, args, work, fs):
        self.name = name
        self.args = args
        self.work = os.path.join(work, name)
        self.fs = fs
        self.tree = os.path.join(fs, name, "tree")
        self.vault = os.path.join(fs, name, "vault")
        self.outside = os.path.join(fs, name, "outside")
        for d in (self.work, self.tree, self.outside):
            os.makedirs(d, exist_ok=True)
        for d in ("lat", "probe-open", "probe-mkdir", "probe-rename", "warmup", "mix-large", "soak-large"):
            os.makedirs(os.path.join(self.tree, d), exist_ok=True)
        # Made before the services start: the peer watches new directories only after a delay, and these
        # workloads measure scanning, not that delay (the after_mkdir probe does).
        for d in ("mix", "soak"):
            make_dirs(os.path.join(self.tree, d), args.subdirs)
        self.services = []
        self.load_s = None  # start until ready: database load and compile
        self.signatures = None  # as the scan service logged it

    def procs(self):
        return {s.name: s.pid for s in self.services}

    def counters(self):
        """Counts that only grow (bytes sent, ...); a throughput repetition records their increase."""
        return {}

    def warm_up(self, timeout=30):
        """A first infected file must reach the quarantine: the pipeline works end to end."""
        ino = Inotify(self.vault)
        name = SERIAL.next("w")
        write_file(os.path.join(self.tree, "warmup", name), EICAR)
        t = ino.wait_for(name, time.monotonic() + timeout)
        ino.close()
        if t is None:
            raise RuntimeError(f"{self.name}: the warm-up file never reached {self.vault}:\n" +
                               "\n".join(s.tail() for s in self.services))
        time.sleep(0.5)
        self.records.skip_to_end()

    def stop(self):
        return {s.name: s.stop() for s in reversed(self.services)}

    def stop_front(self):
        """Stops the front end (zet, clamonacc) and keeps the scan service (for clamdscan, the next front)."""
        return self.services.pop().stop()


class Zet(Pipeline):
    def __init__(self, name, args, work, fs, on_open=None):
        super().__init__(name, args, work, fs)
        self.on_open = on_open  # ON_OPEN of the next start_front, None: not set
        self.control = False  # CONTROL_SOCKET zet.ctl, for zetctl scan
        self.run_dir = os.path.join(self.work, "run")

    def start_service(self, bins):
        a = self.args
        os.makedirs(self.run_dir, exist_ok=True)
        self.sock = os.path.join(self.work, "scan.sock")
        self.infection_log = os.path.join(self.work, "infections.log")
        scand = Service("orbis-scand", [bins["orbis-scand"], "-s", self.sock, "-d", a.db, "-v"], self.work,
                        notify=True)
        self.services.append(scand)
        t0 = time.monotonic()
        scand.wait_ready(a.load_timeout)
        self.load_s = time.monotonic() - t0
        self.signatures = loaded_signatures(scand.out_path, r"Loaded (\d+) signatures")
        # Per-scan records come from orbis-scand, which logs every SCAN and FDSCAN request it receives.
        self.records = Records(scand.out_path, r"SCAN '(.*)' CID ")

    def start_front(self, bins, on_open=None):
        """zet alone, against the running orbis-scand; on_open sets ON_OPEN (with METRICS, to read its
        counts of opens) for this start."""
        a = self.args
        self.on_open = on_open or self.on_open
        conf = self.conf = os.path.join(self.work, "zet.conf")
        # No state file: a catch-up after the previous side's zet would scan the new tree before its reader.
        with open(conf, "w") as f:
            f.write(f"RUN_DIR = {self.run_dir}\n{self.scan_key()}\nLOG_FILE = {self.infection_log}\n"
                    f"VAULT = {self.vault}\nSCANNERS = {a.workers}\n"
                    f"UNLIMITED_QUEUE = {'yes' if a.zet_unlimited_queue else 'no'}\n"
                    f"COVERAGE = {a.zet_coverage}\nSTATE_FILE =\n"
                    f"LARGE_FILE_SIZE = {a.zet_large_file_size}\n"
                    f"SMALL_FILE_SCANNERS = {a.zet_small_file_scanners}\n"
                    + ("CONTROL_SOCKET = zet.ctl\n" if self.control else "")
                    + (f"ON_OPEN = {self.on_open}\nOPEN_TIMEOUT = {a.open_timeout}\nMETRICS = yes\n"
                       if self.on_open else "") +
                    f"[MONITORS]\nSCAN = {self.tree}\n")
        # zet logs its warnings (queue overflows, failed scans, opens let through unscanned) to stderr.
        z = Service("zet", [bins["zet"], "-c", conf], self.work, notify=True)
        self.services.append(z)
        z.wait_ready()

    def scan_key(self):
        return f"SOCKET = {self.sock}"

    def metrics(self):
        """zet.metrics as a dict of counts; {} before zet first writes it."""
        return read_metrics(os.path.join(self.run_dir, "zet.metrics"))

    def notes(self):
        with open(self.services[1].out_path, "rb") as f:
            text = f.read().decode(errors="replace")
        return {"queue_overflows": text.count("fanotify event queue overflow!"),
                "warnings": len([ln for ln in text.splitlines() if "rename()" in ln or "AV " in ln])}


class ZetIcap(Zet):
    """zet scanning through ICAP: a private c-icap with its ClamAV module on loopback, over the run's
    database, in place of orbis-scand; zet otherwise as in the "zet" pipeline."""

    # c-icap's clamav module has no database-directory setting: libclamav's built-in one (cl_retdbdir())
    # gets the run's database bound over it, in a mount namespace of c-icap's own.
    BIND_AND_EXEC = 'mount --bind -- "$1" "$2" && shift 2 && exec "$@"'
    LOG_FORMAT = "%ts %im %is %I %O %huo"
    # One line a request, written when it is answered; zet names the file in the HTTP request it wraps.
    RECORD = r" RESPMOD \d+ \d+ \d+ zet/(\S+)$"

    def start_service(self, bins):
        a = self.args
        os.makedirs(self.run_dir, exist_ok=True)
        self.infection_log = os.path.join(self.work, "infections.log")
        self.access_log = os.path.join(self.work, "c-icap.access.log")
        open(self.access_log, "wb").close()
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        self.url = f"icap://127.0.0.1:{self.port}/avscan"
        conf = os.path.join(self.work, "c-icap.conf")
        # One child, so that one engine (one database in memory) serves every request, as orbis-scand
        # does; threads enough for zet's workers (one connection each) with spares. Keep-alive as c-icap
        # ships it (100 requests a connection); no object size limit below libclamav's own (400M).
        with open(conf, "w") as f:
            f.write(f"Port 127.0.0.1:{self.port}\nPidFile {self.work}/c-icap.pid\n"
                    f"CommandsSocket {self.work}/c-icap.ctl\nServerLog {self.work}/c-icap.server.log\n"
                    f'LogFormat bench "{self.LOG_FORMAT}"\nAccessLog {self.access_log} bench\n'
                    f"TmpDir {SCAN_TMP[0]}\nDebugLevel 1\n"
                    f"StartServers 1\nMaxServers 1\nThreadsPerChild {2 * a.workers}\n"
                    f"MinSpareThreads 1\nMaxSpareThreads {2 * a.workers}\nMaxRequestsPerChild 0\n"
                    "Timeout 60\nKeepAliveTimeout 600\nMaxKeepAliveRequests 100\n"
                    f"Module common clamav_mod.so\nclamav_mod.TmpDir {SCAN_TMP[0]}\n"
                    "clamav_mod.MaxScanSize 400M\n"
                    "Service antivirus_module virus_scan.so\n"
                    "ServiceAlias avscan virus_scan?allow204=on&sizelimit=off&mode=simple\n"
                    "virus_scan.ScanFileTypes TEXT DATA EXECUTABLE ARCHIVE GIF JPEG MSOFFICE\n"
                    "virus_scan.MaxObjectSize 1000M\nvirus_scan.DefaultEngine clamav\n")
        argv = ["unshare", "--mount", "--propagation", "private", "--", "/bin/sh", "-c", self.BIND_AND_EXEC,
                "sh", a.db, "/var/lib/clamav", "c-icap", "-N", "-f", conf]
        # libclamav's per-scan match state (tens of MiB with a full-size database) is mmapped and unmapped
        # anew for every scan under glibc's adaptive thresholds; orbis-scand fixes them with mallopt(), and
        # c-icap gets the same through glibc's tunables unless the run asks for it as shipped.
        env = {} if a.icap_stock_malloc else {"GLIBC_TUNABLES": "glibc.malloc.mmap_threshold=33554432:"
                                                                  "glibc.malloc.trim_threshold=268435456"}
        icap = Service("c-icap", argv, self.work, env=env)
        self.services.append(icap)
        t0 = time.monotonic()
        self.wait_options(icap, a.load_timeout)
        self.load_s = time.monotonic() - t0
        self.signatures = None  # c-icap logs no count
        self.records = Records(self.access_log, self.RECORD)

    def wait_options(self, icap, timeout):
        """c-icap listens before its child has loaded the database: ready is the first OPTIONS answered."""
        req = f"OPTIONS {self.url} ICAP/1.0\r\nHost: 127.0.0.1\r\nEncapsulated: null-body=0\r\n\r\n".encode()

        def answered():
            with socket.create_connection(("127.0.0.1", self.port), timeout=5) as s:
                s.sendall(req)
                return s.recv(64).startswith(b"ICAP/1.0 200")
        icap.wait_answering(answered, "OPTIONS", timeout)

    def scan_key(self):
        return f"SCAN_SERVICE = {self.url}"

    def procs(self):
        out = super().procs()
        for i, pid in enumerate(children(self.services[0].pid)):
            out[f"c-icap child {i + 1}"] = pid
        return out

    def counters(self):
        """ICAP bytes each way as c-icap logged them (%I received, %O sent), and lo's bytes and packets."""
        got = sent = requests = 0
        with open(self.access_log, "rb") as f:
            for line in f:
                v = line.split()
                if len(v) >= 5 and v[1] == b"RESPMOD":
                    got, sent, requests = got + int(v[3]), sent + int(v[4]), requests + 1
        lo_bytes, lo_packets = loopback_bytes()
        return {"icap_bytes_in": got, "icap_bytes_out": sent, "icap_requests": requests,
                "lo_bytes": lo_bytes, "lo_packets": lo_packets}


class Peer(Pipeline):
    def __init__(self, name, args, work, fs, extra_scanning, prevention=False):
        super().__init__(name, args, work, fs)
        self.extra_scanning = extra_scanning
        self.prevention = prevention  # OnAccessPrevention of the next start_front
        self.onacc_starts = 0

    def write_conf(self, path):
        a = self.args
        with open(path, "w") as f:
            f.write(f"LocalSocket {self.sock}\nForeground yes\nDatabaseDirectory {a.db}\n"
                    f"LogFile {self.clamd_log}\nLogClean yes\nLogFileMaxSize 0\nLogTime no\n"
                    f"TemporaryDirectory {SCAN_TMP[0]}\nPidFile {os.path.join(self.work, 'clamd.pid')}\n"
                    f"MaxThreads {a.workers}\nSelfCheck 0\n"
                    f"OnAccessIncludePath {self.tree}\n"
                    f"OnAccessPrevention {'yes' if self.prevention else 'no'}\n"
                    f"OnAccessExtraScanning {'yes' if self.extra_scanning else 'no'}\n"
                    f"OnAccessMaxThreads {a.workers}\n"
                    + (f"OnAccessMaxFileSize {a.peer_max_file_size}M\n" if a.peer_max_file_size else "") +
                    # Required by clamonacc; clamd runs as root here, and with --fdpass it reads the
                    # event's own descriptor, which raises no new event, so no loop can start (nor, with
                    # OnAccessPrevention, a wait of clamd on itself).
                    "OnAccessExcludeUname clamav\n")

    def start_service(self, bins):
        a = self.args
        self.sock = os.path.join(self.work, "clamd.sock")
        self.clamd_log = os.path.join(self.work, "clamd.log")
        self.conf = os.path.join(self.work, "clamd.conf")
        self.write_conf(self.conf)
        os.makedirs(self.vault, exist_ok=True)
        clamd = Service("clamd", ["clamd", "-c", self.conf], self.work)
        self.services.append(clamd)
        t0 = time.monotonic()
        self.wait_clamd(clamd, a.load_timeout)
        self.load_s = time.monotonic() - t0
        self.signatures = loaded_signatures(self.clamd_log, r"Loaded (\d+) signatures")
        self.records = Records(self.clamd_log, r"^(/.*): (?:OK|.* FOUND|Empty file)$")

    def start_front(self, bins, prevention=None):
        """clamonacc alone, against the running clamd, with OnAccessPrevention as given (else as before).
        Only clamonacc reads the OnAccess keys: it gets a configuration file of its own."""
        if prevention is not None:
            self.prevention = prevention
        conf = os.path.join(self.work, f"clamonacc-{'prevention' if self.prevention else 'notify'}.conf")
        self.write_conf(conf)
        # A log of each start: "watching" must be this start's.
        self.onacc_starts += 1
        self.onacc_log = os.path.join(self.work, f"clamonacc-{self.onacc_starts}.log")
        onacc = Service("clamonacc", ["clamonacc", "-c", conf, "-F", "--fdpass", f"--move={self.vault}",
                                      f"--log={self.onacc_log}"], self.work)
        self.services.append(onacc)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if onacc.proc.poll() is not None:
                raise RuntimeError(f"clamonacc exited with {onacc.proc.returncode}:\n{onacc.tail()}")
            if os.path.exists(self.onacc_log) and b"watching" in open(self.onacc_log, "rb").read():
                break
            time.sleep(0.05)

    def wait_clamd(self, clamd, timeout=60):
        def answered():
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
                s.settimeout(2)
                s.connect(self.sock)
                s.sendall(b"zPING\0")
                return s.recv(16).startswith(b"PONG")
        clamd.wait_answering(answered, "PING", timeout)

    def notes(self):
        return {}


def interleaved_throughput(pipes, bins, args, content, sizes, engine_root, with_engine):
    """The throughput repetitions of every pipeline, and of clamdscan and the engine, taken in turn (A, B,
    C, A, B, C, ...), so that a ratio compares runs minutes apart, not a pipeline's runs with the other's
    half an hour later. The scan services are started first and stay; each front end runs only for its
    repetition: zet's file-system marks would otherwise see the peer's writes, and clamonacc zet's."""
    out = {p.name: {} for p in pipes}
    extra = {}
    for p in pipes:
        p.start_service(bins)
    peer = next((p for p in pipes if isinstance(p, Peer)), None)
    for files in sizes:
        for p in pipes:
            out[p.name][files] = []
        for r in range(args.reps):
            for p in pipes:
                p.start_front(bins)
                p.warm_up()
                root = os.path.join(p.tree, f"tp{files}-{r}")
                t = throughput(p, plan_tree(root, files, args.subdirs, args.infected), content, args, root)
                log(f"{p.name}: {files} files, rep {r + 1}: {t['files_per_s']:.0f} files/s, scanned "
                    f"{t['scanned']}/{files}, missed {t['missed']}, wrongly moved {t['wrongly_moved']}"
                    f"{'' if t['complete'] else ' (INCOMPLETE)'}")
                out[p.name][files].append(t)
                p.stop_front()
                shutil.rmtree(root, ignore_errors=True)
                time.sleep(0.5)
            if with_engine:
                one = argparse.Namespace(**dict(vars(args), reps=1))
                if peer:
                    got = clamdscan(peer, one, content, [files], engine_root)
                    extra.setdefault("clamdscan", {}).setdefault(files, []).extend(got[files])
                for method, reps in engine_limit(bins, one, content, [files], engine_root).items():
                    extra.setdefault(method, {}).setdefault(files, []).extend(reps[files])
    return out, extra


def run_pipeline(p, bins, args, content, sizes, measured):
    """Starts p's front end again (interleaved_throughput left its service running) and takes the figures
    other than throughput, which `measured` holds, in the documented order. Stops p on a failure."""
    log(f"{p.name}: starting")
    p.start_front(bins)
    res = {"idle_rss_kib": None, "idle_pss_kib": None, "throughput": {}, "probes": {}}
    res.update({"load_s": p.load_s, "signatures": p.signatures})
    log(f"{p.name}: database loaded in {p.load_s:.1f} s, {p.signatures} signatures")
    if args.expect_signatures and p.signatures is not None and p.signatures != args.expect_signatures:
        log(f"{p.name}: WARNING: {p.signatures} signatures loaded, the database holds {args.expect_signatures}")
    try:
        p.warm_up()
        res["idle_rss_kib"] = idle_rss(p)
        res["idle_pss_kib"] = idle_pss(p)
        res["throughput"] = measured
        if not args.no_latency:
            res["latency"] = latency(p, args)
            lat = res["latency"]
            log(f"{p.name}: latency median {1000 * lat.get('median_s', float('nan')):.1f} ms, "
                f"p90 {1000 * lat.get('p90_s', float('nan')):.1f} ms, lost {lat['lost']}")
        if not args.no_probes:
            for kind in ("open_pause_write", "after_mkdir", "renamed_in"):
                res["probes"][kind] = probe(p, args, kind)
                log(f"{p.name}: probe {kind}: {res['probes'][kind]['caught']}/{args.probe_samples}")
        if args.mix:
            rate = args.mix_rate
            if not rate:
                rate = med(res["throughput"][sizes[0]], "files_per_s")["median"] / 4 if res["throughput"] else 500.0
            m = res["mix"] = mix(p, args, content, args.mix_stage, rate)
            d = m["small_during"]
            log(f"{p.name}: mix: small files during large scans p50 {1000 * d.get('p50_s', math.nan):.1f} ms, "
                f"p99 {1000 * d.get('p99_s', math.nan):.1f} ms (n {d['n']}, lost {d['lost']}); large files "
                f"{', '.join(f'{v:.1f}' for v in m['large_s'])} s, missed {m['large_missed']}")
        if args.soak:
            rate = args.soak_rate
            if not rate and res["throughput"]:
                rate = med(res["throughput"][sizes[0]], "files_per_s")["median"] / 2
            so = res["soak"] = soak(p, args, content, rate or 100.0, args.soak_stage)
            log(f"{p.name}: soak: {so['written']} files, {so['infected']} infected + {so['large']} large, missed "
                f"{so['missed']}, clean moved {so['clean_moved']}: {'ok' if so['ok'] else '; '.join(so['fails'])}")
        res["peak_rss_hwm_kib"] = {n: proc_status(pid, "VmHWM") for n, pid in p.procs().items()}
        res["notes"] = p.notes()
    except BaseException:
        p.stop()
        raise
    return res


# How engine_limit hands libclamav the files: each by its descriptor (cl_scandesc), or read into a buffer
# first, as orbis-scand does with small files.
ENGINE_METHODS = {"engine": [], "engine_memory": ["-m"]}


def engine_figures(run):
    """engine_limit's closing key=value line. Without it (no database loaded, the tree unreadable) there is
    no figure, and the run ends with engine_limit's own message."""
    line = next((ln for ln in run.stdout.splitlines() if ln.startswith("files=")), None)
    if line is None:
        raise RuntimeError(f"engine_limit exited with {run.returncode}:\n{run.stderr.strip()[-2000:]}")
    return dict(x.split("=", 1) for x in line.split())


def run_engine(bins, args, root, flags=()):
    """engine_limit over the tree `root` in its own process: the database loaded anew, only the scans
    timed. Its figures as a dict."""
    r = subprocess.run([bins["engine_limit"], "-d", args.db, "-t", str(args.workers), "-a", *flags, root],
                       capture_output=True, text=True, env=dict(os.environ, TMPDIR=SCAN_TMP[0]))
    return engine_figures(r)


def run_clamdscan(peer, root, *extra):
    """clamdscan --multiscan of `root` against the peer's clamd: seconds, infected files found, status."""
    t0 = time.monotonic()
    r = subprocess.run(["clamdscan", "-c", peer.conf, "--multiscan", *extra, "--infected", "--no-summary", root],
                       capture_output=True, text=True)
    found = sum(1 for ln in r.stdout.splitlines() if ln.endswith(" FOUND"))
    return time.monotonic() - t0, found, r.returncode


def engine_limit(bins, args, content, sizes, root):
    """Both methods on the same trees; all-match mode, as orbis-scand scans."""
    out = {m: {} for m in ENGINE_METHODS}
    for files in sizes:
        reps = {m: [] for m in ENGINE_METHODS}
        for r in range(args.reps):
            d = os.path.join(root, f"el{files}-{r}")
            plan = plan_tree(d, files, args.subdirs, args.infected)
            make_dirs(d, args.subdirs)
            write_tree(plan, content)
            for method, flags in ENGINE_METHODS.items():
                kv = run_engine(bins, args, d, flags)
                secs = float(kv["seconds"])
                reps[method].append({"files": files, "seconds": secs, "files_per_s": files / secs,
                                     "infected_found": int(kv["infected"]), "infected": sum(b for _, b in plan),
                                     "errors": int(kv["errors"]), "load_s": float(kv.get("load_seconds", "nan")),
                                     "signatures": int(kv.get("signatures", 0))})
            shutil.rmtree(d, ignore_errors=True)
        for method in ENGINE_METHODS:
            log(f"{method}: {files} files: {statistics.median(x['files_per_s'] for x in reps[method]):.0f} files/s")
            out[method][files] = reps[method]
    return out


def clamdscan(peer, args, content, sizes, root):
    out = {}
    for files in sizes:
        reps = []
        for r in range(args.reps):
            d = os.path.join(root, f"cs{files}-{r}")
            plan = plan_tree(d, files, args.subdirs, args.infected)
            make_dirs(d, args.subdirs)
            write_tree(plan, content)
            secs, found, status = run_clamdscan(peer, d)
            reps.append({"files": files, "seconds": secs, "files_per_s": files / secs, "infected_found": found,
                         "infected": sum(b for _, b in plan), "status": status})
            shutil.rmtree(d, ignore_errors=True)
        log(f"clamdscan --multiscan: {files} files: {statistics.median(x['files_per_s'] for x in reps):.0f} files/s")
        out[files] = reps
    return out

