#!/usr/bin/env python3
"""make bench: dircast against an rsync daemon and a tar stream, on loopback.

Usage: python3 bench/run_bench.py [BUILD_DIR] [options]   (see --help)

Everything runs as real processes on 127.0.0.1; every share, mirror and log
lives in one temporary directory that is removed at the end (on /dev/shm
when it has room, unless TMPDIR or --tmp-base says otherwise). The host always
beacons to 127.0.0.1 on a free port, and every mirror run is given its own
--mirror-root and --dosdevices inside that directory.

Measured in one run, each figure a median over several runs and set against
a baseline measured in the same run:
  - first sync of ~2000 files in nested directories, ~6 MiB
    (dircast-mirror --once, rsync -a --delete from a daemon, tar over TCP);
  - unchanged-share poll (the long-lived client's no-change turns, rsync with
    nothing to do);
  - delta syncs of 1, 20 and 200 changed files plus 3 removed ones, timed from
    the long-lived client's log lines as they arrive on its stdout pipe;
  - the same for the host with the blind 250 ms sleep (built from git history);
  - a delta of one file against a manifest of 3200 files, ~250 kB (the prune
    pass and the comparison of every mirrored file);
  - host CPU and bytes read per manifest request of a ~1 GiB share: cold,
    warm with no change, after changing one file; the rsync daemon's
    no-change check of the same share;
  - the idle host's beacon rate;
  - many clients at once: manifests beside slow readers, 32 first syncs at
    once and a storm of abusive peers, against the serial host of 54e7c6b
    built from git history; the host's memory with every slot busy;
  - changes announced by beacon (--announce-changes): change-to-mirror
    latency against today's polling and rsync loops, every kind of change,
    bursts, the host at rest with 100,000 files (bench/announce.py);
  - for comparison, the first sync, poll, delta and prune runs again with the
    x86_64 build, and the price of one system call by each kernel entry;
  - SHA-256 throughput with and without the CPU's SHA extensions, and one
    Ed25519 signature and verification, in each build (crypto-speed);
  - the big shares (big_shares.py): S2, 1 GiB in 40 files; 100,000 files
    in 1 GiB; one 5 GiB sparse file. For each, on a host warmed by one
    manifest request: first sync (--once, empty mirror root) against rsync
    and tar, the long-lived client's second turn (no share changes), a
    restart (a fresh --once over the complete mirror, which must fetch no
    file content) against rsync's no-change run, and the client's peak
    resident memory (VmHWM) in every run. --only-big-shares runs just these;
    --big-base puts them on another disk.
The tables go to stdout and to bench/RESULTS.md (unless --no-results).
Exit status 1 when a correctness check failed (a mirror that differs from its
share, a turn that did not do what the changes call for); targets that are
missed are reported in the table, and fail the run only with --strict.

This file is the entry point; the rest of bench/, by concern:
  shares.py     the generated shares, their changes, copy-equals-share checks;
  systems.py    the programs under test and the peers (rsync daemon, tar
                stream, the host of an older commit), and reading turns;
  scenarios.py  the measurements, one function each (suite_small,
                suite_prune, suite_beacons, suite_big, measure_syscalls);
  big_shares.py the big shares' first sync, second turn, restart and memory;
  report.py     the machine's facts, the tables of RESULTS.md, the targets;
  processes.py  starting and ending processes, ports, /proc readings;
  common.py     constants, the log and the results gathered as the run goes;
  concurrency.py  many clients at once, its tables and targets;
  announce.py   changes announced by beacon, its tables and targets.
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback

import announce
import concurrency
from big_shares import big_share_room, suite_big_shares
from common import BEFORE_COMMIT, GIB, MIB, REPO, Results, log
from processes import PROCS
from report import cpu_busy, filesystem_of, load_average, machine_facts, memory_available, report
from scenarios import measure_crypto, measure_syscalls, suite_beacons, suite_big, suite_prune, suite_small
from shares import make_small_share
from systems import RsyncDaemon, build_before


# ---------------------------------------------------------------------------
# Packages: installed with apt-get when missing.

def ensure_command(command, package):
    if shutil.which(command):
        return True
    log("%s missing: installing Debian package %s" % (command, package))
    prefix = [] if os.geteuid() == 0 else (["sudo", "-n"] if shutil.which("sudo") else None)
    if prefix is None or not shutil.which("apt-get"):
        log("cannot install %s (no apt-get or not root)" % package)
        return False
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    try:
        subprocess.run(prefix + ["apt-get", "update"], check=True, env=env,
                       stdout=subprocess.DEVNULL)
        subprocess.run(prefix + ["apt-get", "install", "-y", "--no-install-recommends", package],
                       check=True, env=env, stdout=subprocess.DEVNULL)
    except subprocess.CalledProcessError as e:
        log("apt-get failed: %s" % e)
    return shutil.which(command) is not None


# ---------------------------------------------------------------------------

class Context:
    pass


def pick_tmp_base(given, need):
    """--tmp-base, else $TMPDIR, else /dev/shm when it has room, else the
    system's default. On this kind of VM, creating files on the disk's ext4
    slows tenfold once writeback throttles, which would swamp what is
    measured here (the programs and the protocol), so RAM is preferred."""
    if given:
        return given
    if os.environ.get("TMPDIR"):
        return None
    shm = "/dev/shm"
    try:
        if os.path.isdir(shm) and os.access(shm, os.W_OK) and shutil.disk_usage(shm).free > need:
            return shm
    except OSError:
        pass
    return None


def has_room(path, need):
    """need bytes free at path; on a tmpfs the memory must be there too,
    with 2 GiB to spare for everything else the machine runs."""
    try:
        if shutil.disk_usage(path).free <= need:
            return False
    except OSError:
        return False
    if filesystem_of(os.path.realpath(path)).startswith("tmpfs "):
        return memory_available() > need + 2 * GIB
    return True


def pick_big_tmp(args, tmp, need):
    """--big-base, else the run's temporary directory when it has room for
    the big shares, else /var/tmp (a disk, where a tmpfs is RAM)."""
    if args.big_base:
        return tempfile.mkdtemp(prefix="dircast-bench-big-", dir=args.big_base), True
    if has_room(tmp, need):
        return os.path.join(tmp, "big-shares"), False
    return tempfile.mkdtemp(prefix="dircast-bench-big-", dir="/var/tmp"), True


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("build", nargs="?", default="build", help="build directory (default: build)")
    ap.add_argument("--runs", type=int, default=5, help="runs per measurement (default 5)")
    ap.add_argument("--before-runs", type=int, default=3,
                    help="runs per measurement for the blind-sleep host (default 3)")
    ap.add_argument("--before-runs-200", type=int, default=2,
                    help="runs of its 200-file delta, ~50 s each (default 2)")
    ap.add_argument("--big-mib", type=int, default=1024, help="size of the large share (default 1024)")
    ap.add_argument("--big-files", type=int, default=8, help="files in the large share (default 8)")
    ap.add_argument("--skip-before", action="store_true", help="do not build or measure the 3811aaf host")
    ap.add_argument("--big-runs", type=int, default=5,
                    help="runs per measurement on S2 and the many files (default 5)")
    ap.add_argument("--s2-mib", type=int, default=1024, help="size of S2, 40 files (default 1024)")
    ap.add_argument("--many-files", type=int, default=100000,
                    help="files in the share of many small files (default 100000)")
    ap.add_argument("--many-mib", type=int, default=1024, help="and their size (default 1024)")
    ap.add_argument("--huge-gib", type=int, default=5, help="size of the one sparse file (default 5)")
    ap.add_argument("--big-base", help="where to put the big shares (default: the temporary "
                    "directory when it has room, else /var/tmp)")
    ap.add_argument("--only-big-shares", action="store_true",
                    help="measure only the big shares (S2, many files, one huge file)")
    ap.add_argument("--skip-big-shares", action="store_true", help="do not measure the big shares")
    ap.add_argument("--big-shares", default="s2,many,huge",
                    help="which big shares to measure, of s2, many and huge (default: all three)")
    ap.add_argument("--skip-x86-64", action="store_true",
                    help="do not measure the x86_64 build beside the i386 one")
    ap.add_argument("--results", default=os.path.join(REPO, "bench", "RESULTS.md"),
                    help="where to write the report (default bench/RESULTS.md)")
    ap.add_argument("--no-results", action="store_true", help="print only, write no file")
    ap.add_argument("--skip-concurrency", action="store_true",
                    help="do not measure many clients at once (bench/concurrency.py)")
    ap.add_argument("--skip-announce", action="store_true",
                    help="do not measure changes announced by beacon (bench/announce.py)")
    ap.add_argument("--only-announce", action="store_true",
                    help="measure only changes announced by beacon and print their tables (RESULTS.md is "
                    "left as it is)")
    ap.add_argument("--strict", action="store_true", help="exit 1 when a target is missed too")
    ap.add_argument("--keep", action="store_true", help="keep the temporary directory")
    ap.add_argument("--tmp-base", help="where to make the temporary directory (default: $TMPDIR, "
                    "else /dev/shm when it has room, else the system default)")
    args = ap.parse_args()

    build = os.path.abspath(args.build)
    ctx = Context()
    ctx.args = args
    ctx.build_label = args.build
    ctx.serve = os.path.join(build, "dircast-serve")
    ctx.mirror = os.path.join(build, "dircast-mirror")
    for p in (ctx.serve, ctx.mirror):
        if not os.access(p, os.X_OK):
            sys.exit("bench: %s missing: build first (make BUILD=%s)" % (p, args.build))
    ctx.x86_64 = None
    if not args.skip_x86_64:
        pair = (os.path.join(build, "x86_64", "dircast-serve"), os.path.join(build, "x86_64", "dircast-mirror"))
        if all(os.access(p, os.X_OK) for p in pair):
            ctx.x86_64 = pair
    ctx.results = Results()
    ctx.small_share_info = (0, 0, 0)

    # SIGTERM and SIGINT end the run through the cleanup below.
    def on_signal(signum, _frame):
        raise KeyboardInterrupt()
    signal.signal(signal.SIGTERM, on_signal)

    have_rsync = ensure_command("rsync", "rsync")
    if not ensure_command("tar", "tar"):
        sys.exit("bench: tar is needed")
    if not have_rsync:
        ctx.results.note("rsync could not be installed: its baselines are missing")
    if args.only_announce:
        sys.exit(announce.run_alone(ctx, args.strict, args.keep))

    ctx.tmp = tempfile.mkdtemp(prefix="dircast-bench-",
                               dir=pick_tmp_base(args.tmp_base, (args.big_mib * 5 // 2 + 256) * MIB))
    ctx.tmp_fs = filesystem_of(os.path.realpath(ctx.tmp))
    ctx.big_tmp, big_apart = None, False
    if not args.skip_big_shares:
        ctx.big_tmp, big_apart = pick_big_tmp(args, ctx.tmp, big_share_room(args))
        ctx.big_fs = filesystem_of(os.path.realpath(os.path.dirname(ctx.big_tmp)))
    ctx.load_start = load_average()
    ctx.busy_start = cpu_busy()
    if ctx.busy_start != "?" and float(ctx.busy_start.rstrip("%")) > 25:
        ctx.results.note("other work kept the machine %s busy as the run began: wall times are "
                         "noisy; the ratios come from runs that take turns" % ctx.busy_start)
    ctx.rsync = None
    ctx.before_serve = None
    started = time.monotonic()
    complete = False
    try:
        log("temporary directory %s" % ctx.tmp)
        if ctx.big_tmp:
            log("big shares in %s" % ctx.big_tmp)
        if not args.skip_before and not args.only_big_shares:
            log("building the host of %s" % BEFORE_COMMIT[:7])
            ctx.before_serve = build_before(ctx.tmp, os.cpu_count() or 2)
            if not ctx.before_serve:
                ctx.results.note("the host of %s could not be built: no before figures" %
                                 BEFORE_COMMIT[:7])
        if have_rsync:
            ctx.rsync = RsyncDaemon(ctx.tmp, {
                "small": os.path.join(ctx.tmp, "after", "share"),
                "prune": os.path.join(ctx.tmp, "prune", "share"),
                "big": os.path.join(ctx.tmp, "big", "share"),
                "s2": os.path.join(ctx.big_tmp or ctx.tmp, "s2", "share"),
                "many": os.path.join(ctx.big_tmp or ctx.tmp, "many", "share"),
            })
        if not args.only_big_shares:
            suite_small(ctx, "after", ctx.serve, ctx.mirror, args.runs, args.runs, baselines=True)
            suite_prune(ctx, "after", ctx.serve, ctx.mirror, args.runs, baselines=True)
            if ctx.x86_64:
                serve64, mirror64 = ctx.x86_64
                suite_small(ctx, "x86_64", serve64, mirror64, args.runs, args.runs, baselines=False)
                suite_prune(ctx, "x86_64", serve64, mirror64, args.runs, baselines=False)
            if ctx.before_serve:
                suite_small(ctx, "before", ctx.before_serve, ctx.mirror, args.before_runs,
                            args.before_runs_200, baselines=False)
            suite_beacons(ctx)
            ctx.results.values["syscalls"] = measure_syscalls(ctx)
            ctx.results.values["crypto"] = measure_crypto(ctx)
            suite_big(ctx, args.big_mib, args.big_files, args.runs)
            if not args.skip_concurrency:
                concurrency.run(ctx, PROCS, make_small_share)
            if not args.skip_announce:
                announce.run(ctx)
        if ctx.big_tmp:
            os.makedirs(ctx.big_tmp, exist_ok=True)
            suite_big_shares(ctx)
        complete = True
    except KeyboardInterrupt:
        log("interrupted")
        PROCS.end_all()
        if not args.keep:
            shutil.rmtree(ctx.tmp, ignore_errors=True)
            if big_apart:
                shutil.rmtree(ctx.big_tmp, ignore_errors=True)
        sys.exit(130)
    except Exception as e:    # reported below; the partial report is not written
        traceback.print_exc()
        ctx.results.check("bench ran to its end", False, "%s: %s" % (type(e).__name__, e))
    finally:
        PROCS.end_all()
        if args.keep:
            log("kept %s" % ctx.tmp)
        else:
            shutil.rmtree(ctx.tmp, ignore_errors=True)
            if big_apart:
                shutil.rmtree(ctx.big_tmp, ignore_errors=True)

    ctx.machine = machine_facts(ctx)
    ctx.machine.append(("bench run time", "%.0f s" % (time.monotonic() - started)))
    text, targets, failed = report(ctx, args)
    print()
    print(text)
    if not complete:
        log("the run did not finish: %s left as it was" % os.path.relpath(args.results))
    elif not args.no_results:
        with open(args.results, "w") as f:
            f.write(text)
        log("wrote %s" % os.path.relpath(args.results))
    missed = [t for t in targets if t[2] == "FAIL"]
    if failed:
        sys.exit(1)
    if args.strict and missed:
        sys.exit(2)


if __name__ == "__main__":
    main()
