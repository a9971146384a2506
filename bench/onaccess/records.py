"""What the pipelines record: scan records in the services' logs and arrivals in the quarantine."""

import ctypes
import os
import re
import select
import struct
import threading
import time

from .trees import NAME_RE


def loaded_signatures(path, regex):
    """The signature count a service logged after loading its database, or None."""
    try:
        with open(path, "rb") as f:
            m = re.search(regex, f.read().decode(errors="replace"))
    except OSError:
        return None
    return int(m.group(1)) if m else None


def read_metrics(path):
    """zet's metrics state file, "name value" a line, as a dict of ints; {} while there is none. zet
    replaces it by a rename, so a read never sees part of one."""
    try:
        with open(path) as f:
            text = f.read()
    except FileNotFoundError:
        return {}
    out = {}
    for line in text.splitlines():
        name, _, value = line.partition(" ")
        if value.strip().isdigit():
            out[name] = int(value)
    return out


class Records:
    """Paths named in a log that grows: which planted files the scan service reports as scanned."""

    def __init__(self, path, regex):
        self.path = path
        self.regex = re.compile(regex)
        self.pos = 0
        self.partial = b""

    def skip_to_end(self):
        self.pos = os.path.getsize(self.path) if os.path.exists(self.path) else 0
        self.partial = b""

    def new_paths(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.pos)
                data = f.read()
        except FileNotFoundError:
            return []
        self.pos += len(data)
        lines = (self.partial + data).split(b"\n")
        self.partial = lines.pop()
        out = []
        for line in lines:
            m = self.regex.search(line.decode(errors="replace"))
            if m:
                out.append(m.group(1))
        return out


def quarantined(vault):
    """Origin names of the files in the quarantine."""
    names = set()
    for n in os.listdir(vault):
        m = NAME_RE.match(n)
        if m:
            names.add(m.group(1))
    return names


class Inotify:
    """Arrivals in the quarantine: a rename into it, a hard link to the file (clamonacc links, then
    unlinks the original) or a copy closed with its content."""
    IN_CLOSE_WRITE, IN_MOVED_TO, IN_CREATE = 0x8, 0x80, 0x100

    def __init__(self, path):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        self.dir = path
        if self.libc.inotify_add_watch(self.fd, path.encode(), self.IN_CLOSE_WRITE | self.IN_MOVED_TO | self.IN_CREATE) < 0:
            raise OSError(ctypes.get_errno(), "inotify_add_watch", path)

    def wait_for(self, origin, deadline):
        """Monotonic time at which a file from origin arrived, or None at the deadline."""
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            r, _, _ = select.select([self.fd], [], [], left)
            if not r:
                continue
            now = time.monotonic()
            try:
                buf = os.read(self.fd, 65536)
            except BlockingIOError:
                continue
            i = 0
            while i + 16 <= len(buf):
                _, mask, _, ln = struct.unpack_from("iIII", buf, i)
                name = buf[i + 16:i + 16 + ln].rstrip(b"\0").decode(errors="replace")
                i += 16 + ln
                m = NAME_RE.match(name)
                if not m or m.group(1) != origin:
                    continue
                if mask & self.IN_MOVED_TO:
                    return now
                # zet's reserved name is created and closed empty before the rename replaces it: only content counts.
                try:
                    if os.path.getsize(os.path.join(self.dir, name)) > 0:
                        return now
                except OSError:
                    pass

    def close(self):
        os.close(self.fd)


class Arrivals(Inotify):
    """Arrival times of every file in the quarantine by origin name, read by a thread of its own: for
    workloads that wait for many files at once."""

    def __init__(self, path):
        super().__init__(path)
        self.times = {}
        self.lock = threading.Lock()
        self.stop_ev = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.stop_ev.is_set():
            r, _, _ = select.select([self.fd], [], [], 0.1)
            if not r:
                continue
            now = time.monotonic()
            try:
                buf = os.read(self.fd, 65536)
            except BlockingIOError:
                continue
            i = 0
            while i + 16 <= len(buf):
                _, mask, _, ln = struct.unpack_from("iIII", buf, i)
                name = buf[i + 16:i + 16 + ln].rstrip(b"\0").decode(errors="replace")
                i += 16 + ln
                m = NAME_RE.match(name)
                if not m:
                    continue
                if not mask & self.IN_MOVED_TO:
                    try:
                        if os.path.getsize(os.path.join(self.dir, name)) == 0:
                            continue
                    except OSError:
                        continue
                with self.lock:
                    self.times.setdefault(m.group(1), now)

    def get(self, origin):
        with self.lock:
            return self.times.get(origin)

    def origins(self):
        with self.lock:
            return set(self.times)

    def close(self):
        self.stop_ev.set()
        self.thread.join()
        super().close()

