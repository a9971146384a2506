"""The services as processes: starting them with the benchmark's limits, and their CPU, memory and
descriptors from /proc."""

import os
import resource
import signal
import socket
import subprocess
import sys
import threading
import time


CLK_TCK = os.sysconf("SC_CLK_TCK")


def log(msg):
    print(f"[{time.strftime('%H:%M:%S')}] {msg}", file=sys.stderr, flush=True)


def proc_cpu(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / CLK_TCK
    except OSError:
        return None


def children(pid):
    """Live child processes of pid, from /proc/*/stat."""
    out = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == pid and fields[0] not in "ZX":
            out.append(int(name))
    return out


def loopback_bytes():
    """Bytes and packets sent on lo, TCP/IP headers included (each is received once as well)."""
    with open("/proc/net/dev") as f:
        for line in f:
            name, _, data = line.partition(":")
            if name.strip() == "lo":
                v = data.split()
                return int(v[8]), int(v[9])
    return 0, 0


def proc_status(pid, key):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def proc_fds(pid):
    try:
        return len(os.listdir(f"/proc/{pid}/fd"))
    except OSError:
        return None


class Sampler:
    """Peak RSS and open descriptors of a set of processes, sampled from /proc while a phase runs."""

    def __init__(self, procs, interval=0.05):
        self.procs = procs
        self.interval = interval
        self.peak_rss = {n: 0 for n in procs}
        self.peak_fds = {n: 0 for n in procs}
        self.cpu0 = {n: proc_cpu(p) for n, p in procs.items()}
        self.stop_ev = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def sample(self):
        for n, p in self.procs.items():
            rss, fds = proc_status(p, "VmRSS"), proc_fds(p)
            if rss is not None:
                self.peak_rss[n] = max(self.peak_rss[n], rss)
            if fds is not None:
                self.peak_fds[n] = max(self.peak_fds[n], fds)

    def run(self):
        while not self.stop_ev.wait(self.interval):
            self.sample()

    def stop(self):
        self.stop_ev.set()
        self.thread.join()
        self.sample()
        cpu = {}
        for n, p in self.procs.items():
            c = proc_cpu(p)
            cpu[n] = c - self.cpu0[n] if c is not None and self.cpu0[n] is not None else None
        return {"cpu_s": cpu, "peak_rss_kib": self.peak_rss, "peak_fds": self.peak_fds}


# Descriptor limit of every service: a front end that holds one descriptor per queued event runs into it
# under a burst, so it is set the same for all rather than inherited from whoever starts the benchmark.
NOFILE = [65536]

# libclamav makes a directory for every scan in its temporary directory; on a busy disk those mkdir/rmdir
# pairs, not the scanning, set the pace (75 s instead of 4 s for 20,000 files on one thread). Every engine
# here gets the same private directory on a tmpfs that no pipeline watches.
SCAN_TMP = [None]


def set_nofile(n):
    resource.setrlimit(resource.RLIMIT_NOFILE, (n, n))


class Service:
    def __init__(self, name, argv, workdir, notify=False, env=None):
        self.name = name
        self.out_path = os.path.join(workdir, f"{name}.out")
        self.out = open(self.out_path, "wb")
        e = dict(os.environ, TMPDIR=SCAN_TMP[0], **(env or {}))
        self.notify_sock = None
        if notify:
            path = os.path.join(workdir, f"{name}.notify")
            self.notify_sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            self.notify_sock.bind(path)
            self.notify_path = path
            e["NOTIFY_SOCKET"] = path
        else:
            e.pop("NOTIFY_SOCKET", None)
        self.proc = subprocess.Popen(argv, stdout=self.out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                     env=e, cwd=workdir, preexec_fn=lambda: set_nofile(NOFILE[0]))
        self.pid = self.proc.pid

    def wait_answering(self, probe, what, timeout):
        """Polls `probe` (a socket exchange that raises OSError while nobody listens) until it answers."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError(f"{self.name} exited with {self.proc.returncode}:\n{self.tail()}")
            try:
                if probe():
                    return
            except OSError:
                pass
            time.sleep(0.1)
        raise RuntimeError(f"{self.name} not answering {what} after {timeout} s:\n{self.tail()}")

    def wait_ready(self, timeout=30):
        deadline = time.monotonic() + timeout
        try:
            while time.monotonic() < deadline:
                if self.proc.poll() is not None:
                    raise RuntimeError(f"{self.name} exited with {self.proc.returncode}:\n{self.tail()}")
                self.notify_sock.settimeout(0.1)
                try:
                    msg = self.notify_sock.recv(4096)
                except socket.timeout:
                    continue
                if b"READY=1" in msg.split(b"\n"):
                    return
            raise RuntimeError(f"{self.name} not ready after {timeout} s:\n{self.tail()}")
        finally:
            # Nobody reads the socket any more: later notifications (zet's watchdog pings) then fail at
            # once instead of filling the queue and blocking the sender.
            self.notify_sock.close()
            os.unlink(self.notify_path)

    def tail(self, n=20):
        with open(self.out_path, "rb") as f:
            return b"\n".join(f.read().splitlines()[-n:]).decode(errors="replace")

    def stop(self, timeout=15):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                log(f"{self.name} ignored SIGTERM for {timeout} s; killing it")
                self.proc.kill()
                self.proc.wait()
        self.out.close()
        return self.proc.returncode


def sample_procs(procs):
    out = {}
    for n, pid in procs.items():
        out[n] = {"rss_kib": proc_status(pid, "VmRSS"), "fds": proc_fds(pid),
                  "threads": proc_status(pid, "Threads"), "cpu_s": proc_cpu(pid)}
    return out


def idle_rss(p):
    time.sleep(1)
    return {n: proc_status(pid, "VmRSS") for n, pid in p.procs().items()}


def idle_pss(p):
    """Proportional set size: shared library pages divided among the processes that map them."""
    out = {}
    for n, pid in p.procs().items():
        try:
            with open(f"/proc/{pid}/smaps_rollup") as f:
                out[n] = next(int(ln.split()[1]) for ln in f if ln.startswith("Pss:"))
        except (OSError, StopIteration):
            out[n] = None
    return out

