"""The measurements, one function each: first sync, unchanged poll and
deltas (suite_small), the prune pass (suite_prune), the idle beacons
(suite_beacons), the host's cost per manifest of a large share (suite_big)
and the price of one system call (measure_syscalls)."""

import os
import shutil
import socket
import statistics
import subprocess
import time

from common import CLK_TCK, DELTA_SIZES, MIB, REMOVED_PER_DELTA, SHARE_NAME, BenchError, log
from processes import PROCS, free_port, proc_cpu_ticks, proc_io
from shares import make_prune_share, make_small_share, same_tree, write_file
from systems import Host, LongLivedMirror, MirrorDirs, fetch_manifest, run_once_mirror, tar_stream


# ---------------------------------------------------------------------------
# The suites.

def suite_small(ctx, label, serve_binary, mirror_binary, runs, runs_200, baselines):
    """First sync, unchanged-share poll and deltas on the 6 MiB share.
    Keys are "<label>.<measurement>" (and "rsync."/"tar." for baselines)."""
    R, tmp = ctx.results, ctx.tmp
    work = os.path.join(tmp, label)
    os.makedirs(work)
    share = make_small_share(os.path.join(work, "share"))
    ctx.small_share_info = (len(share.files), share.total(),
                            sum(len(d) for _, d, _ in os.walk(share.root)))
    log("%s: share of %d files, %.2f MiB" % (label, len(share.files), share.total() / MIB))
    host = Host(serve_binary, share.root, work, label)
    try:
        # First sync: the three methods take turns, each into a fresh copy.
        for run in range(runs):
            dirs = MirrorDirs(tmp, "%s/first-%d" % (label, run))
            seconds, ok = run_once_mirror(mirror_binary, host, dirs,
                                          os.path.join(work, "first-%d.log" % run))
            R.check("%s first sync %d: dircast-mirror --once ends with sync complete" % (label, run), ok)
            same_tree(R, "%s first sync %d (dircast)" % (label, run), share.root, dirs.root)
            R.add(label + ".first", seconds)
            dirs.remove()
            if baselines and ctx.rsync:
                dest = os.path.join(work, "first-rsync-%d" % run)
                R.add("rsync.first", ctx.rsync.pull("small", dest))
                same_tree(R, "first sync %d (rsync)" % run, share.root, dest)
                shutil.rmtree(dest)
            if baselines:
                dest = os.path.join(work, "first-tar-%d" % run)
                R.add("tar.first", tar_stream(share.root, dest))
                same_tree(R, "first sync %d (tar)" % run, share.root, dest)
                shutil.rmtree(dest)
        log("%s: first sync done" % label)

        # The long-lived client: a full first turn, then no-change turns.
        dirs = MirrorDirs(tmp, "%s/long" % label)
        client = LongLivedMirror(mirror_binary, host, dirs, os.path.join(work, "long.mirror.log"))
        try:
            turn = client.next_turn(120)
            R.check("%s long-lived client: first turn is a full sync" % label,
                    turn.kind == "full", turn.describe())
            same_tree(R, "%s long-lived client first turn" % label, share.root, dirs.root)
            rsync_dest = os.path.join(work, "rsync-mirror")
            if baselines and ctx.rsync:
                ctx.rsync.pull("small", rsync_dest)
            # dircast and rsync take turns; the client is paused while rsync runs.
            for run in range(runs):
                turn = client.next_turn(60)
                if R.check("%s poll %d: no share changes" % (label, run),
                           turn.kind == "nochange" and turn.seconds is not None, turn.describe()):
                    R.add(label + ".poll", turn.seconds)
                if baselines and ctx.rsync:
                    R.add("rsync.poll", ctx.rsync.pull("small", rsync_dest))
            if baselines and ctx.rsync:
                same_tree(R, "rsync unchanged poll", share.root, rsync_dest)
            log("%s: unchanged poll done" % label)

            # Deltas: the client is paused in its sleep while the share is
            # changed and rsync runs; then its next turn is the delta.
            for k in DELTA_SIZES:
                for run in range(runs_200 if k == 200 else runs):
                    changed, removed = share.change(k, REMOVED_PER_DELTA)
                    if baselines and ctx.rsync:
                        R.add("rsync.delta%d" % k, ctx.rsync.pull("small", rsync_dest))
                        same_tree(R, "rsync delta %d run %d" % (k, run), share.root, rsync_dest)
                    turn = client.next_turn(60 + k)
                    ok = (turn.kind == "delta" and turn.changed == k and
                          turn.pruned == len(removed) and turn.seconds is not None)
                    if R.check("%s delta %d run %d: %d fetched, %d pruned" %
                               (label, k, run, k, len(removed)), ok, turn.describe()):
                        R.add("%s.delta%d" % (label, k), turn.seconds)
                    same_tree(R, "%s delta %d run %d (dircast)" % (label, k, run),
                              share.root, dirs.root)
                log("%s: delta %d done (median %.3f s)" %
                    (label, k, R.median("%s.delta%d" % (label, k)) or -1))
            R.values["rss.%s.small" % label] = client.peak_kib()
        finally:
            client.stop()
    finally:
        host.stop()


def suite_prune(ctx, label, serve_binary, mirror_binary, runs, baselines):
    """A delta of one changed file against a manifest of 3200 files, about
    250 kB. The share of the suite with baselines is the rsync daemon's "prune"."""
    R, tmp = ctx.results, ctx.tmp
    work = os.path.join(tmp, "prune" if baselines else "prune-" + label)
    os.makedirs(work)
    share, estimate = make_prune_share(os.path.join(work, "share"))
    host = Host(serve_binary, share.root, work, "prune-" + label)
    use_rsync = baselines and ctx.rsync
    try:
        manifest = fetch_manifest(host.port)
        R.values["prune.files"] = len(share.files)
        R.values["prune.manifest_bytes"] = len(manifest)
        listed = manifest.count(b"\nfile path=")
        R.check("prune share: the manifest lists every file", listed == len(share.files),
                "%d of %d listed, %d bytes (estimate %d)" % (listed, len(share.files), len(manifest),
                                                             estimate))
        log("%s prune: %d files, manifest %d bytes" % (label, len(share.files), len(manifest)))
        dirs = MirrorDirs(tmp, os.path.join(os.path.basename(work), "long"))
        client = LongLivedMirror(mirror_binary, host, dirs, os.path.join(work, "long.mirror.log"))
        rsync_dest = os.path.join(work, "rsync-mirror")
        try:
            turn = client.next_turn(120)
            R.check("%s prune: first turn is a full sync" % label, turn.kind == "full", turn.describe())
            same_tree(R, label + " prune first sync", share.root, dirs.root)
            if use_rsync:
                ctx.rsync.pull("prune", rsync_dest)
            for run in range(runs):
                turn = client.next_turn(60)
                if R.check("%s prune poll %d: no share changes" % (label, run), turn.kind == "nochange",
                           turn.describe()):
                    R.add(label + ".prune_poll", turn.seconds)
            for run in range(runs):
                changed, removed = share.change(1, 0)
                if use_rsync:
                    R.add("rsync.prune", ctx.rsync.pull("prune", rsync_dest))
                turn = client.next_turn(120)
                ok = turn.kind == "delta" and turn.changed == 1 and turn.pruned == 0
                if R.check("%s prune delta run %d: one file fetched" % (label, run), ok, turn.describe()):
                    R.add(label + ".prune", turn.seconds)
            same_tree(R, label + " prune deltas (dircast)", share.root, dirs.root)
            if use_rsync:
                same_tree(R, "prune deltas (rsync)", share.root, rsync_dest)
            log("%s prune: done (median %.3f s)" % (label, R.median(label + ".prune") or -1))
            R.values["rss.%s.prune" % label] = client.peak_kib()
        finally:
            client.stop()
    finally:
        host.stop()


def suite_beacons(ctx, seconds=5.0):
    """Beacons of an idle host, counted on its beacon port on 127.0.0.1."""
    R, tmp = ctx.results, ctx.tmp
    work = os.path.join(tmp, "beacon")
    root = os.path.join(work, "share")
    os.makedirs(root)
    write_file(os.path.join(root, "one.txt"), b"one\n")
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as rx:
        port = free_port(socket.SOCK_STREAM)
        rx.bind(("127.0.0.1", 0))
        beacon_port = rx.getsockname()[1]
        rx.settimeout(2.0)
        log_file = open(os.path.join(work, "serve.log"), "wb")
        proc = PROCS.start([ctx.serve, "--root", root, "--name", SHARE_NAME, "--port", str(port),
                            "--beacon-port", str(beacon_port), "--broadcast", "127.0.0.1"],
                           stdout=log_file, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        try:
            try:
                first, _ = rx.recvfrom(2048)
            except socket.timeout:
                raise BenchError("no beacon from the idle host on 127.0.0.1:%d" % beacon_port)
            t0 = time.perf_counter()
            count, good = 1, first.startswith(b"DC-SHARE/1 name=" + SHARE_NAME.encode())
            good = good and (b" port=%d " % port) in first
            while True:
                left = t0 + seconds - time.perf_counter()
                if left <= 0:
                    break
                rx.settimeout(left)
                try:
                    data, _ = rx.recvfrom(2048)
                except socket.timeout:
                    break
                count += 1
                good = good and data.startswith(b"DC-SHARE/1 ")
        finally:
            PROCS.end(proc)
            log_file.close()
    R.values["beacon.count"] = count
    R.values["beacon.seconds"] = seconds
    R.values["beacon.rate"] = count / seconds
    R.check("beacons carry the share's name and port", good)
    log("beacons: %d in %.1f s" % (count, seconds))


def host_request_cost(host, repeat=1):
    """Manifest requests against an otherwise idle host: per request CPU
    seconds (utime+stime), bytes read (rchar) and wall seconds."""
    pid = host.proc.pid
    ticks0, io0 = proc_cpu_ticks(pid), proc_io(pid)["rchar"]
    manifests, walls = [], []
    for _ in range(repeat):
        t0 = time.perf_counter()
        manifests.append(fetch_manifest(host.port))
        walls.append(time.perf_counter() - t0)
    time.sleep(0.05)   # the host has closed; let it finish its accounting
    ticks1, io1 = proc_cpu_ticks(pid), proc_io(pid)["rchar"]
    return {"cpu": (ticks1 - ticks0) / CLK_TCK / repeat, "ticks": ticks1 - ticks0,
            "rchar": (io1 - io0) / repeat, "wall": statistics.median(walls),
            "repeat": repeat, "manifests": manifests}


def manifest_lines(data):
    return data.decode("utf-8", "replace").split("\n")


def suite_big(ctx, big_mib, n_files, runs):
    R, tmp = ctx.results, ctx.tmp
    work = os.path.join(tmp, "big")
    root = os.path.join(work, "share")
    os.makedirs(root)
    free = shutil.disk_usage(tmp).free
    wanted = big_mib * MIB
    # The share and rsync's copy of it, with room to spare.
    if free < 3 * wanted:
        scaled = max(64, (free // 3 // MIB) // n_files * n_files)
        R.note("only %d MiB free in %s: big share scaled down from %d MiB to %d MiB" %
               (free // MIB, tmp, big_mib, scaled))
        big_mib = scaled
    per_file = big_mib * MIB // n_files
    log("big: writing %d files of %d MiB of pseudo-random data" % (n_files, per_file // MIB))
    names = []
    for i in range(n_files):
        rel = "part-%02d.bin" % i if i % 2 == 0 else "nested/part-%02d.bin" % i
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            left = per_file
            while left:
                n = min(left, 8 * MIB)
                f.write(os.urandom(n))
                left -= n
        names.append(rel)
    written_at = time.time()
    share_bytes = per_file * n_files
    R.values["big.bytes"] = share_bytes
    R.values["big.files"] = n_files
    R.values["big.per_file"] = per_file

    # rsync: one full copy, then no-change checks. The daemon's counters
    # include the child that served each connection once it is reaped.
    if ctx.rsync:
        dest = os.path.join(work, "rsync-copy")
        R.values["rsync.big_copy"] = ctx.rsync.pull("big", dest)
        pid = ctx.rsync.proc.pid
        for run in range(runs):
            ticks0, io0 = proc_cpu_ticks(pid, children=True), proc_io(pid)["rchar"]
            R.add("rsync.big_poll", ctx.rsync.pull("big", dest))
            ticks1, io1 = proc_cpu_ticks(pid, children=True), proc_io(pid)["rchar"]
            R.add("rsync.big_cpu", (ticks1 - ticks0) / CLK_TCK)
            R.add("rsync.big_rchar", io1 - io0)
        shutil.rmtree(dest)
        log("big: rsync no-change check done")

    # The cache trusts a file only when its times are > 2 s older than its
    # hash: leave the share untouched for more than 3 s first.
    time.sleep(max(0.0, written_at + 3.5 - time.time()))

    if ctx.before_serve:
        host = Host(ctx.before_serve, root, work, "big-before")
        try:
            cost = host_request_cost(host)
            R.values["before.big_cold"] = cost
            before_manifest = cost["manifests"][0]
        finally:
            host.stop()
    else:
        before_manifest = None

    host = Host(ctx.serve, root, work, "big-after")
    try:
        cold = host_request_cost(host)
        warm = host_request_cost(host, repeat=20)
        R.values["after.big_cold"] = cold
        R.values["after.big_warm"] = warm
        base = cold["manifests"][0]
        R.check("big: every no-change manifest equals the cold one byte for byte",
                all(m == base for m in warm["manifests"]))
        if before_manifest is not None:
            R.check("big: manifest equals the 3811aaf host's byte for byte", base == before_manifest)
        # Change one file in place (same size, new bytes in the middle).
        victim = names[0]
        with open(os.path.join(root, victim), "r+b") as f:
            f.seek(per_file // 2)
            f.write(os.urandom(MIB))
        changed = host_request_cost(host)
        R.values["after.big_changed"] = changed
        old, new = manifest_lines(base), manifest_lines(changed["manifests"][0])
        differing = [i for i in range(min(len(old), len(new))) if old[i] != new[i]]
        victim_line = "file path=%s " % victim
        R.check("big: after changing one file the manifest differs in its hash and that file's line only",
                len(old) == len(new) and len(differing) == 2 and old[differing[0]].startswith("hash=")
                and new[differing[1]].startswith(victim_line),
                "differing lines: %s" % [new[i][:60] for i in differing[:4]])
        log("big: host costs done")
    finally:
        host.stop()
    shutil.rmtree(root)


# ---------------------------------------------------------------------------
# The price of one system call by each entry the programs could use: the
# i386 build enters through the vDSO's __kernel_vsyscall when the kernel
# offers it and traps with int $0x80 otherwise; the 64-bit build uses the
# syscall instruction.

SYSCALL_LOOPS = {
    "i386, int $0x80 (the i386 build without a vDSO)": ("-m32", r"""
extern "C" [[noreturn]] void _start()
{
	for (long i = 0; i < LOOPS; i++) {
		long r;
		asm volatile("int $0x80" : "=a"(r) : "a"(64) : "memory");
	}
	asm volatile("int $0x80" : : "a"(1), "b"(0));
	for (;;) {}
}
"""),
    "i386, vDSO __kernel_vsyscall (what the i386 build uses)": ("-m32", r"""
extern "C" [[noreturn]] __attribute__((used)) void bench_main(long *sp)
{
	char **envp = (char **)(sp + 1) + sp[0] + 1;
	while (*envp)
		envp++;
	long *aux = (long *)(envp + 1);
	long entry = 0;
	for (; aux[0]; aux += 2)
		if (aux[0] == 32)   // AT_SYSINFO
			entry = aux[1];
	for (long i = 0; entry && i < LOOPS; i++) {
		long r;
		asm volatile("call *%1" : "=a"(r) : "r"(entry), "a"(64) : "memory", "ecx", "edx");
	}
	asm volatile("int $0x80" : : "a"(1), "b"(entry ? 0 : 3));
	for (;;) {}
}
asm(".globl _start\n_start: push %esp\n call bench_main\n");
"""),
    "x86_64, syscall (what the x86_64 build uses)": ("-m64", r"""
extern "C" [[noreturn]] void _start()
{
	for (long i = 0; i < LOOPS; i++) {
		long r;
		asm volatile("syscall" : "=a"(r) : "a"(110) : "rcx", "r11", "memory");
	}
	asm volatile("syscall" : : "a"(60), "D"(0));
	for (;;) {}
}
"""),
}


def measure_syscalls(ctx, loops=100000):
    """Microseconds per getppid by each entry, best of three; {} when no
    compiler can build the loops."""
    compiler = shutil.which("g++") or shutil.which("c++")
    out = {}
    if not compiler:
        return out
    work = os.path.join(ctx.tmp, "syscalls")
    os.makedirs(work)
    for i, (name, (flag, source)) in enumerate(SYSCALL_LOOPS.items()):
        src, exe = os.path.join(work, "loop%d.cpp" % i), os.path.join(work, "loop%d" % i)
        with open(src, "w") as f:
            f.write(source.replace("LOOPS", str(loops)))
        r = subprocess.run([compiler, flag, "-O2", "-ffreestanding", "-nostdlib", "-static", "-fno-pic",
                            "-no-pie", "-fno-exceptions", "-o", exe, src], capture_output=True)
        if r.returncode != 0:
            continue
        best = None
        for _ in range(3):
            t0 = time.perf_counter()
            rc = subprocess.run([exe]).returncode
            seconds = time.perf_counter() - t0
            if rc != 0:
                best = None
                break
            best = seconds if best is None else min(best, seconds)
        if best is not None:
            out[name] = best / loops * 1e6
    return out


def measure_crypto(ctx):
    """SHA-256 with and without the CPU's extensions, Ed25519 sign and verify:
    {arch: {"sha256 portable ns": ..., ...}} from the crypto-speed program of
    each build, which also checks that both rounds agree and that its
    signatures verify."""
    build = os.path.dirname(ctx.serve)
    out = {}
    for arch, exe in (("i386", os.path.join(build, "crypto-speed")),
                      ("x86_64", os.path.join(build, "x86_64", "crypto-speed"))):
        if not os.access(exe, os.X_OK):
            continue
        log("SHA-256 and Ed25519, %s build" % arch)
        r = subprocess.run([exe], capture_output=True, text=True)
        ctx.results.check("crypto-speed %s: both SHA-256 rounds agree, signatures verify" % arch,
                          r.returncode == 0, r.stdout.strip()[-160:])
        out[arch] = {" ".join(w[:-1]): int(w[-1]) for w in map(str.split, r.stdout.splitlines())
                     if w and w[-1].isdigit()}
    return out
