"""What a run needs from the machine: the peer's packages, the built binaries, the signature database."""

import importlib.machinery
import importlib.util
import os
import platform
import shutil
import subprocess
import sys

from . import REPO
from .processes import log


PEER_PACKAGES = ["clamav-daemon", "clamdscan"]
PLOT_PACKAGES = ["gnuplot-nox"]

# Where CMake puts the binaries a run uses, relative to the build tree.
BINARIES = {"zet": "src/zet", "orbis-scand": "scand/orbis-scand", "engine_limit": "bench/engine_limit",
            "zetctl": "ctl/zetctl"}


def installed(pkg):
    r = subprocess.run(["dpkg-query", "-W", "-f=${Status}", pkg], capture_output=True, text=True)
    return r.stdout.strip() == "install ok installed"


def missing_packages(peer, plot):
    """The packages the run needs and lacks: the peer's when it runs, gnuplot for --plot."""
    return [p for p in (PEER_PACKAGES if peer else []) + (PLOT_PACKAGES if plot else []) if not installed(p)]


def install_packages(missing):
    log(f"installing {' '.join(missing)}")
    # Keep the packages' own services from starting (and freshclam from reaching the network).
    policy = "/usr/sbin/policy-rc.d"
    ours = not os.path.exists(policy)
    if ours:
        with open(policy, "w") as f:
            f.write("#!/bin/sh\nexit 101\n")
        os.chmod(policy, 0o755)
    try:
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        subprocess.run(["apt-get", "update", "-qq"], env=env, check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["apt-get", "install", "-y", "-qq", "--no-install-recommends", *missing], env=env,
                       check=True, stdout=subprocess.DEVNULL)
    finally:
        if ours:
            os.unlink(policy)
    for unit in ("clamav-daemon.service", "clamav-daemon.socket", "clamav-freshclam.service",
                 "clamav-clamonacc.service"):
        subprocess.run(["systemctl", "stop", unit], capture_output=True)


def built_binaries(build, targets):
    """The targets' binaries in the build tree. Building is CMake's: when one is missing, the run ends
    before it starts, with the commands that build them."""
    paths = {t: os.path.join(build, BINARIES[t]) for t in targets}
    missing = [paths[t] for t in targets if not os.access(paths[t], os.X_OK)]
    if missing:
        configure = ("" if os.path.exists(os.path.join(build, "CMakeCache.txt")) else
                     f"    cmake -S {REPO} -B {build} -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo\n")
        sys.exit(f"bench/onaccess: not built: {' '.join(missing)}; build with\n{configure}"
                 f"    cmake --build {build} --target {' '.join(targets)}\n"
                 "(--zet and --orbis-scand name binaries built elsewhere; --only peer needs neither, "
                 "--no-engine no engine_limit)")
    return paths


def machine():
    info = {"kernel": platform.release(), "cpus": os.cpu_count()}
    try:
        with open("/proc/cpuinfo") as f:
            info["cpu"] = next(ln.split(":", 1)[1].strip() for ln in f if ln.startswith("model name"))
        with open("/proc/meminfo") as f:
            info["mem_kib"] = int(f.readline().split()[1])
        with open("/proc/loadavg") as f:
            info["loadavg_at_start"] = f.read().split()[:3]
    except (OSError, StopIteration):
        pass
    for pkg in ("libclamav12", "clamav-daemon"):
        r = subprocess.run(["dpkg-query", "-W", "-f=${Version}", pkg], capture_output=True, text=True)
        info[pkg] = r.stdout or None
    return info


def prepare_db(args, db):
    """The same signature files for every engine, in a directory of the run: a copy of --db, or for
    'synthetic' the cached synthetic database (made on first use) linked in beside the EICAR signature
    that the pipelines' detections rely on. The signature count it should load, or None when unknown."""
    if args.db != "synthetic":
        shutil.copytree(os.path.abspath(args.db), db)
        return db, None
    loader = importlib.machinery.SourceFileLoader("synthdb", os.path.join(REPO, "bench", "synthdb"))
    synthdb = importlib.util.module_from_spec(importlib.util.spec_from_loader("synthdb", loader))
    loader.exec_module(synthdb)
    cache = synthdb.ensure(args.synth_seed, args.synth_scale, args.synth_base, log)
    os.mkdir(db)
    for n in os.listdir(cache):
        if n.startswith("synth."):
            src, dst = os.path.join(cache, n), os.path.join(db, n)
            try:
                os.link(src, dst)  # no copy of 650 MB where the cache is on the same file system
            except OSError:
                shutil.copyfile(src, dst)
    eicar = os.path.join(REPO, "dist", "db")
    for n in os.listdir(eicar):
        shutil.copyfile(os.path.join(eicar, n), os.path.join(db, n))
    return db, synthdb.expected_total(cache) + len(os.listdir(eicar))

