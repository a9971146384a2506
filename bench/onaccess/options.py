"""On-access pipeline benchmark: zet + orbis-scand against clamonacc + clamd, and the engine's own limit.

Every figure comes from one run on the same generated trees: throughput from the first write until the
services' own records show every file scanned and every infected file in the quarantine, latency of single
infected files, CPU, memory and descriptors of each process, three detection probes, and libclamav alone
(bench/engine_limit, clamdscan --multiscan) as the ceiling. Run as root: fanotify needs CAP_SYS_ADMIN.
"""

import argparse
import os

from . import REPO


def parse_args():
    # One program name however it is started: as a directory or with python3 -m.
    ap = argparse.ArgumentParser(prog="onaccess", description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--files", type=int, default=20000, help="files per throughput repetition (20000)")
    ap.add_argument("--size", type=int, default=4096, help="size of a clean file in bytes (4096)")
    ap.add_argument("--infected", type=float, default=1.0, help="infected share in percent (1)")
    ap.add_argument("--subdirs", type=int, default=16, help="sub-directories of each tree (16)")
    ap.add_argument("--reps", type=int, default=3, help="repetitions of each throughput figure (3)")
    ap.add_argument("--workers", type=int, default=4,
                    help="zet SCANNERS, clamd MaxThreads, OnAccessMaxThreads, engine_limit threads (4)")
    ap.add_argument("--sweep", default="", help="extra file counts for throughput only, e.g. 2000,100000")
    ap.add_argument("--latency-samples", type=int, default=50)
    ap.add_argument("--latency-gap", type=float, default=0.1, help="idle time between latency samples, s")
    ap.add_argument("--probe-samples", type=int, default=10)
    ap.add_argument("--probe-timeout", type=float, default=3.0, help="wait for a quarantined file, s (3)")
    ap.add_argument("--settle", type=float, default=1.0, help="quiet time that confirms completion, s (1)")
    ap.add_argument("--stall", type=float, default=5.0, help="quiet time that ends an incomplete run, s (5)")
    ap.add_argument("--timeout", type=float, default=300.0, help="limit for one throughput repetition, s")
    ap.add_argument("--dir-settle", type=float, default=1.0,
                    help="pause between creating a tree's directories and writing its files, s (1)")
    ap.add_argument("--nofile", type=int, default=65536, help="RLIMIT_NOFILE of every service (65536)")
    ap.add_argument("--scan-tmp-parent", default="/dev/shm",
                    help="where the engines' temporary directory is made (/dev/shm, a tmpfs)")
    ap.add_argument("--only", choices=("zet", "peer"), help="run one pipeline only")
    ap.add_argument("--icap", action="store_true",
                    help="also zet scanning through ICAP (pipeline zet_icap): a private c-icap with its ClamAV "
                         "module on loopback over the same database, interleaved with the others")
    ap.add_argument("--icap-stock-malloc", action="store_true",
                    help="--icap: c-icap with glibc's adaptive allocator thresholds, as shipped (default: fixed "
                         "through GLIBC_TUNABLES, as orbis-scand fixes them with mallopt)")
    ap.add_argument("--no-engine", action="store_true", help="skip the engine limit figures")
    ap.add_argument("--no-latency", action="store_true")
    ap.add_argument("--no-probes", action="store_true")
    ap.add_argument("--zet-unlimited-queue", type=lambda s: s == "yes", default=True, metavar="yes|no",
                    help="zet UNLIMITED_QUEUE (yes)")
    ap.add_argument("--zet-coverage", choices=("writes", "full"), default="full",
                    help="zet COVERAGE (full, as the shipped configuration)")
    ap.add_argument("--zet-large-file-size", default="10M",
                    help="zet LARGE_FILE_SIZE (10M, as the shipped configuration; 0: one queue)")
    ap.add_argument("--zet-small-file-scanners", type=int, default=3,
                    help="zet SMALL_FILE_SCANNERS (3, as the shipped configuration)")
    ap.add_argument("--peer-extra-scanning", choices=("yes", "no", "both"), default="both",
                    help="clamd OnAccessExtraScanning: yes scans on close-after-write and moves too (the "
                         "closest to zet), no on open only (the peer's default); both runs the peer twice (both)")
    ap.add_argument("--peer-max-file-size", type=int, metavar="MIB",
                    help="clamd OnAccessMaxFileSize in MiB (unset: its default, 5 MiB, above which clamonacc "
                         "scans nothing; --mix needs more than --mix-size for the peer to scan its archives)")
    ap.add_argument("--fs", choices=("tmpfs", "ext4"), default="tmpfs",
                    help="file system of the trees: a private tmpfs, or ext4 on a loop device (tmpfs)")
    ap.add_argument("--image-dir", default="/var/tmp", help="where --fs ext4 keeps its sparse image (/var/tmp)")
    ap.add_argument("--build", default=os.path.join(REPO, "build"), help="build tree (REPO/build)")
    ap.add_argument("--zet", help="zet binary to run instead of the build tree's")
    ap.add_argument("--orbis-scand", help="orbis-scand binary to run instead of the build tree's")
    ap.add_argument("--db", default=os.path.join(REPO, "dist", "db"),
                    help="signature database directory, or 'synthetic' for bench/synthdb's full-size database "
                         "(with dist/db's EICAR signature beside it)")
    ap.add_argument("--synth-seed", type=int, default=1, help="seed of the synthetic database (1)")
    ap.add_argument("--synth-scale", type=float, default=1.0, help="share of its full size (1)")
    ap.add_argument("--synth-base", default="/var/tmp", help="where it is cached (/var/tmp)")
    ap.add_argument("--load-timeout", type=float, default=600.0,
                    help="wait for a scan service to load its database, s (600)")
    ap.add_argument("--json", help="write every result and sample to this file")
    ap.add_argument("--data", help="write tab-separated data files for bench/plot.gp into this directory")
    ap.add_argument("--plot", help="plot into this directory with gnuplot (implies --data, needs gnuplot-nox)")
    ap.add_argument("--setup", action="store_true",
                    help="install the packages the run lacks first: clamav-daemon and clamdscan for the peer, "
                         "gnuplot-nox for --plot (their services kept from starting)")
    ap.add_argument("--keep", action="store_true", help="keep the work directory and its logs")
    ap.add_argument("--mix", action="store_true",
                    help="mixed load: small files at a steady rate while large archives are written")
    ap.add_argument("--mix-large", type=int, default=4, help="large archives written at once (4)")
    ap.add_argument("--mix-size", type=int, default=90,
                    help="size of each, MiB (90: both engines skip files over their default MaxFileSize of "
                         "100 MiB unscanned)")
    ap.add_argument("--mix-rate", type=float,
                    help="small files per second during the mix (a quarter of the throughput measured in the "
                         "run, else 500): below capacity, so that only the large files make small ones wait")
    ap.add_argument("--mix-infected-every", type=int, default=20,
                    help="every Nth small file is the EICAR file, whose latency is measured (20)")
    ap.add_argument("--mix-timeout", type=float, default=600.0, help="wait for the large files, s (600)")
    ap.add_argument("--soak", type=float, nargs="?", const=60.0, metavar="MINUTES",
                    help="steady load for MINUTES (60) at half the measured throughput, then idle")
    ap.add_argument("--soak-rate", type=float, help="files/s of the soak instead of half the throughput")
    ap.add_argument("--soak-interval", type=float, default=5.0, help="seconds between samples (5)")
    ap.add_argument("--soak-idle", type=float, help="idle time after the load, s (a tenth of it, at least 20)")
    ap.add_argument("--soak-large-every", type=float, default=30.0,
                    help="one large archive every so many seconds of the soak (30)")
    ap.add_argument("--soak-large-size", type=int, default=20, help="its size, MiB (20; 0: none)")
    ap.add_argument("--reads", action="store_true",
                    help="protection on open instead of the write figures: a reader of existing files (cold and "
                         "warm pass), an exec loop and the held time of an uncached open, against no scanner, "
                         "zet ON_OPEN = scan and block, and the peer with and without OnAccessPrevention; "
                         "then the memory of zet's cache of clean verdicts")
    ap.add_argument("--read-files", type=int, default=20000, help="--reads: files of the reader's tree (20000)")
    ap.add_argument("--warm-time", type=float, default=2.0,
                    help="--reads: warm passes repeated for this long, at least one; the median counts (2 s)")
    ap.add_argument("--exec-runs", type=int, default=2000, help="--reads: runs of the exec loop (2000)")
    ap.add_argument("--exec-program", default="/bin/true",
                    help="--reads: the program copied into the tree and run by the exec loop (/bin/true)")
    ap.add_argument("--open-samples", type=int, default=200,
                    help="--reads: opens of uncached files timed in each repetition (200)")
    ap.add_argument("--open-gap", type=float, default=0.02, help="--reads: idle time between them, s (0.02)")
    ap.add_argument("--open-timeout", type=int, default=5, help="--reads: zet OPEN_TIMEOUT, s (5)")
    ap.add_argument("--sides", default="none,zet-scan,zet-block,peer-prevention,peer-notify",
                    help="--reads: the sides, run in this order in every repetition (all five)")
    ap.add_argument("--cache-files", type=int, default=1000000,
                    help="--reads: files of 1 byte cached by zet ON_OPEN = block to measure the cache's memory "
                         "(1000000, a tmpfs page each: about 5 GiB; 0: not measured)")
    ap.add_argument("--sweeps", action="store_true",
                    help="on-demand sweeps instead of the write figures: zetctl scan through zet, clamdscan "
                         "--multiscan --fdpass through clamd and the engine limit on the same trees, sides "
                         "interleaved; then live writes during a sweep")
    ap.add_argument("--sweep-files", type=int, default=20000, help="--sweeps: files of each tree (20000)")
    ap.add_argument("--sweep-live-files", type=int, default=100000,
                    help="--sweeps: files of the tree swept while live writes are timed (100000)")
    ap.add_argument("--zetctl", help="--sweeps: zetctl binary to run instead of the build tree's")
    ap.add_argument("--smoke", action="store_true",
                    help="CI: exit 77 without root, generous growth bounds, exit 1 if a soak check fails")
    return ap.parse_args()
