"""Runs the benchmark: `sudo python3 bench/onaccess [OPTIONS]`, or `python3 -m onaccess` from bench/."""

import json
import os
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time

# Started as a directory, this file is a script and the package is not on the path: put its parent there
# instead of the package's own directory, whose module names would otherwise be importable twice.
if not __package__:
    sys.path[0] = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Run as root from a user's checkout: leave no root-owned bytecode in the source tree.
sys.dont_write_bytecode = True

from onaccess.environment import (PEER_PACKAGES, built_binaries, install_packages, machine, missing_packages,
                                  prepare_db)
from onaccess.options import parse_args
from onaccess.pipelines import Peer, Zet, ZetIcap, interleaved_throughput, run_pipeline
from onaccess.processes import NOFILE, SCAN_TMP, log
from onaccess.reads import run_reads
from onaccess.report import (plot, report, report_icap, report_reads, report_sweeps, report_workloads,
                             write_data, write_reads_data)
from onaccess.sweeps import run_sweeps
from onaccess.trees import Content, stage_archives


def main():
    # A run stopped with SIGTERM still stops its services and unmounts its trees (the finally below).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    args = parse_args()
    if os.geteuid() != 0 and args.smoke:
        print("SKIP: bench/onaccess needs root (fanotify needs CAP_SYS_ADMIN)")
        sys.exit(77)
    if os.geteuid() != 0:
        sys.exit("bench/onaccess: run as root (fanotify needs CAP_SYS_ADMIN, the peer needs its packages)")
    run_zet, run_peer = args.only != "peer", args.only != "zet"
    # Without CAP_SYS_RESOURCE (containers) the hard limit cannot be raised: take what there is, and say so.
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    NOFILE[0] = args.nofile if hard == resource.RLIM_INFINITY else min(args.nofile, hard)
    if NOFILE[0] != args.nofile:
        log(f"RLIMIT_NOFILE of the services: {NOFILE[0]} (the hard limit here), not {args.nofile}")
    args.nofile = NOFILE[0]
    sizes = [args.files] + [int(x) for x in args.sweep.split(",") if x and int(x) != args.files]
    given = {"zet": args.zet, "orbis-scand": args.orbis_scand}
    # --reads runs no engine figures; --sweeps needs the engine and zetctl.
    if args.sweeps:
        given["zetctl"] = args.zetctl
    targets = ([] if (args.no_engine or args.reads) and not args.sweeps else ["engine_limit"]) + \
        [t for t, v in given.items() if run_zet and not v]
    bins = built_binaries(os.path.abspath(args.build), targets) if targets else {}
    bins.update({k: os.path.abspath(v) for k, v in (("zet", args.zet), ("orbis-scand", args.orbis_scand),
                                                     ("zetctl", args.zetctl)) if v})
    # Checked before anything runs: a run must not end, after its figures, on a missing gnuplot.
    missing = missing_packages(run_peer, args.plot and not args.reads)
    if missing and not args.setup:
        sys.exit(f"bench/onaccess: {' '.join(missing)} not installed: --setup installs them"
                 + (", --only zet needs no peer" if set(missing) & set(PEER_PACKAGES) else ""))
    if missing:
        install_packages(missing)

    work = tempfile.mkdtemp(prefix="onaccess-")
    fs = os.path.join(work, "fs")
    os.mkdir(fs)
    image = None
    if args.fs == "ext4":
        # A file system of its own, so that the mount marks see only the benchmark's writes.
        image = os.path.join(args.image_dir, f"onaccess-{os.getpid()}.ext4")
        with open(image, "wb") as f:
            f.truncate(16 << 30)
        subprocess.run(["mkfs.ext4", "-q", "-F", "-E", "lazy_itable_init=0,lazy_journal_init=0", image],
                       check=True)
        mounted = subprocess.run(["mount", "-o", "loop", image, fs], capture_output=True).returncode == 0
        if not mounted:
            os.unlink(image)
            sys.exit("bench/onaccess: cannot mount an ext4 image on a loop device")
    else:
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8g,mode=0755", "tmpfs", fs],
                                 capture_output=True).returncode == 0
        if not mounted:
            log("cannot mount a private tmpfs; using /dev/shm")
            fs = tempfile.mkdtemp(prefix="onaccess-", dir="/dev/shm")
    t_start = time.monotonic()
    pipes = []
    SCAN_TMP[0] = tempfile.mkdtemp(prefix="onaccess-scantmp-", dir=args.scan_tmp_parent)
    try:
        args.db, args.expect_signatures = prepare_db(args, os.path.join(work, "db"))
        # Large files are made once, before any pipeline watches, and copied into each tree.
        stage = os.path.join(fs, "stage")
        args.mix_stage = stage_archives(stage, args.mix_large, args.mix_size << 20) if args.mix else []
        args.soak_stage = (stage_archives(stage, 2, args.soak_large_size << 20)
                           if args.soak and args.soak_large_size > 0 else [])
        content = Content(args.size)
        results = {"machine": machine(), "params": {k: v for k, v in vars(args).items()}}
        results["machine"]["fs"] = args.fs
        if args.reads:
            zp = Zet("zet", args, work, fs) if run_zet else None
            pp = Peer("peer", args, work, fs, False) if run_peer else None
            pipes += [p for p in (zp, pp) if p]
            results["reads"] = run_reads(zp, pp, bins, args, content, fs, work)
            for p in (zp, pp):
                if p:
                    results["reads"][f"{p.name}_exit"] = p.stop()
        if args.sweeps:
            zp = Zet("zet", args, work, fs)
            pp = Peer("peer", args, work, fs, False) if run_peer else None
            pipes += [p for p in (zp, pp) if p]
            results["sweeps"] = run_sweeps(zp, pp, bins, args, content)
        if not args.reads and not args.sweeps:
            modes = {"yes": [True], "no": [False], "both": [True, False]}[args.peer_extra_scanning]
            writers = ([Zet("zet", args, work, fs)] if run_zet else []) + \
                ([ZetIcap("zet_icap", args, work, fs)] if run_zet and args.icap else []) + \
                ([Peer("peer" if extra else "peer_open", args, work, fs, extra) for extra in modes] if run_peer else [])
            pipes += writers
            measured, engines = interleaved_throughput(writers, bins, args, content, sizes if args.reps > 0 else [],
                                                       os.path.join(fs, "engine"), not args.no_engine)
            results.update(engines)
            for p in writers:
                results[p.name] = run_pipeline(p, bins, args, content, sizes, measured[p.name])
                results[p.name]["exit"] = p.stop()
                shutil.rmtree(p.tree, ignore_errors=True)
    finally:
        for p in pipes:
            for s in p.services:
                if s.proc.poll() is None:
                    s.stop()
        shutil.rmtree(SCAN_TMP[0], ignore_errors=True)
        if not args.keep:
            if mounted:
                subprocess.run(["umount", fs])
            if image:
                os.unlink(image)
            shutil.rmtree(fs, ignore_errors=True)
            shutil.rmtree(work, ignore_errors=True)
        else:
            log(f"work directory kept: {work}")
    results["elapsed_s"] = time.monotonic() - t_start
    if args.reads:
        report_reads(results, args)
    elif args.sweeps:
        report_sweeps(results, args)
    elif args.reps > 0:
        report(results, args)
        report_icap(results, args)
    report_workloads(results, args)
    print(f"\nelapsed {results['elapsed_s']:.0f} s; load average at start {results['machine'].get('loadavg_at_start')}; "
          f"RLIMIT_NOFILE of the services {args.nofile}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1, default=str)
    if args.data or args.plot:
        d = args.data or os.path.join(args.plot, "data")
        if args.reads:
            write_reads_data(results, d)  # bench/plot.gp draws the write figures only
        else:
            write_data(results, args, d)
            if args.plot:
                plot(d, args.plot)
    soaks = [(k, results[k]["soak"]) for k in ("zet", "zet_icap", "peer", "peer_open") if results.get(k, {}).get("soak")]
    if any(not so["ok"] for _, so in soaks):
        sys.exit(1)


if __name__ == "__main__":
    main()
