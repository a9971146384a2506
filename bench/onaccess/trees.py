"""The generated trees: file names, clean and infected contents, large archives."""

import os
import re
import shutil
import time


EICAR = rb"X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"


# File names carry a run-wide serial, so a name never repeats between phases and a quarantined file is
# traced back to its origin by the leading letter and digits alone (peers append their own suffixes).
# A letter and the serial, at least seven digits: an hour of soak passes ten million files.
NAME_RE = re.compile(r"^([a-z]\d{7,})")


class Serial:
    def __init__(self):
        self.n = 0

    def next(self, letter):
        self.n += 1
        return f"{letter}{self.n:07d}"


SERIAL = Serial()


class Content:
    """Unique file contents: a serial header and a slice of a random pool, so that no engine's cache of
    clean results ever hits and every scan is a real one."""

    def __init__(self, size):
        self.size = size
        self.pool = os.urandom(1 << 20 | size)

    def clean(self, name):
        head = name.encode() + b"\n"
        off = (int(name[1:]) * 7919) % (len(self.pool) - self.size)
        return (head + self.pool[off:off + self.size])[:self.size]


def plan_tree(root, files, subdirs, infected_pct):
    """Paths and infected flags, in writing order: evenly spaced infected files, and clean and infected
    files each dealt round the sub-directories in turn (one shared turn would put every infected file
    into the few directories that the spacing happens to hit)."""
    step = round(100 / infected_pct) if infected_pct > 0 else 0
    plan = []
    dealt = {True: 0, False: 0}
    for i in range(files):
        bad = step > 0 and i % step == step // 2
        name = SERIAL.next("x" if bad else "f")
        plan.append((os.path.join(root, f"d{dealt[bad] % subdirs:02d}", name), bad))
        dealt[bad] += 1
    return plan


def make_dirs(root, subdirs):
    for d in range(subdirs):
        os.makedirs(os.path.join(root, f"d{d:02d}"), exist_ok=True)


def write_file(path, data):
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        os.write(fd, data)
    finally:
        os.close(fd)


def write_tree(plan, content):
    for path, bad in plan:
        write_file(path, EICAR if bad else content.clean(os.path.basename(path)))


def make_archive(path, kind, size, member_size=1 << 20):
    """About size bytes of random clean members with the EICAR file halfway: the archive reaches the
    quarantine only once its scan has got that far, and all-match mode scans the rest too."""
    members = max(2, size // member_size)
    if kind == "zip":
        import zipfile
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
            for i in range(members):
                if i == members // 2:
                    z.writestr("readme.com", EICAR)
                z.writestr(f"data/part{i:04d}.bin", os.urandom(member_size))
    else:
        import io
        import tarfile
        with tarfile.open(path, "w") as t:
            for i in range(members):
                if i == members // 2:
                    info = tarfile.TarInfo("readme.com")
                    info.size = len(EICAR)
                    t.addfile(info, io.BytesIO(EICAR))
                data = os.urandom(member_size)
                info = tarfile.TarInfo(f"data/part{i:04d}.bin")
                info.size = len(data)
                t.addfile(info, io.BytesIO(data))


def stage_archives(stage, count, size):
    """The large files, made once per run outside every tree, zip and tar in turn."""
    os.makedirs(stage, exist_ok=True)
    out = []
    for i in range(count):
        kind = ("zip", "tar")[i % 2]
        path = os.path.join(stage, f"large{i}-{size}.{kind}")
        if not os.path.exists(path):
            make_archive(path, kind, size)
        out.append(path)
    return out


def empty_tree(root):
    """Removes the files below root and keeps the directories, which the pipelines already watch."""
    for d, _, files in os.walk(root):
        for f in files:
            try:
                os.unlink(os.path.join(d, f))
            except OSError:
                pass


def copy_in(src, dst):
    """Writes src to dst and closes it; the close time."""
    shutil.copyfile(src, dst)
    return time.monotonic()

