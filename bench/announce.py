"""Changes announced by beacon (dircast-serve --announce-changes): how soon a
file written on the host is byte-equal in a mirror, against today's polling
and the rsync loop users write; every kind of change and bursts of them; and
what a host with a 100,000-file share costs at rest, with the option, without
it, and as the host was before it (built from git history in the same run).

Called from run_bench.py: run(ctx) measures, report(ctx) gives the report's
lines and targets(ctx) its targets. run_alone(ctx) (make bench
BENCH_ARGS=--only-announce, or `python3 bench/announce.py [BUILD_DIR]`)
measures these scenarios alone and prints their tables, leaving RESULTS.md as
it is. Every host beacons to 127.0.0.1 on ports of its own; every share,
mirror and log is inside ctx.tmp.
"""

import os
import random
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from common import CLK_TCK, MIB, SHARE_NAME, SLEEPING, BenchError, log, percentile
import processes
from processes import PROCS, free_port, proc_cpu_ticks, proc_io, wait_listening
from shares import make_small_share, same_tree, tree_digest, write_file
from systems import LineLog, MirrorDirs, RsyncDaemon, build_host_of, fetch_manifest

# The host before it could announce changes: the parent of the commit that
# added --announce-changes. "Nothing changes from today" is measured on it.
TODAY_COMMIT = "c22c4b78be2cab9025e7e1c451bedb2d84a32a00"
DEFAULT_POLL = 30            # the mirror's default poll interval, seconds
CHANGES = 20                 # changes timed per system
LOOK_EVERY = 0.005           # the bench looks at the copy this often
BOUND = 1.0                  # a change is in the mirror within this many seconds
POLL_MIRRORS = 10            # today's polling: mirrors started DEFAULT_POLL / 10 apart,
POLL_CHANGES = 2             # each change timed on each of them: 20 samples
RSYNC_EVERY = (5, 1)         # the rsync loops, seconds of sleep between runs
KIND_REPEATS = 3
BURST = 1000
BURST_PACE = 0.005           # the paced burst: one change this often, below the host's settling time
HANDFUL = 5                  # turns a burst may take, and one more per second it lasts:
                             # the host announces at least once a second while
                             # changes keep coming, so a share that never rests
                             # still reaches its mirrors
BUSY_WRITE_EVERY = 0.1       # the busy share: another file written this often ...
BUSY_SECONDS = 8.0           # ... for this long
REST_TOP, REST_SUB, REST_FILES_PER_DIR = 100, 10, 100
REST_FILES = REST_TOP * REST_SUB * REST_FILES_PER_DIR
REST_DIRS = 1 + REST_TOP + REST_TOP * REST_SUB
REST_SECONDS = 60

MANIFEST_SENT = "dircast-mirror: manifest request sent"
ANNOUNCED = "dircast-mirror: host announced a change"
# The small share's directories: the timed changes take the first 20 (a
# file of their own per system), the kinds of change the next, the bursts
# the last 40.
SUBDIRS = ["d%02d/s%02d" % (a, b) for a in range(10) for b in range(10)]
KIND_SUBDIRS = SUBDIRS[40:40 + KIND_REPEATS]
BURST_SUBDIRS = SUBDIRS[60:80]
DELETE_SUBDIRS = SUBDIRS[80:100]


def holds(path, data):
    try:
        with open(path, "rb") as f:
            return f.read() == data
    except OSError:
        return False


def read(path):
    with open(path, "rb") as f:
        return f.read()


def wait_until(ok, timeout):
    """perf_counter() at the first look, one every LOOK_EVERY, at which ok()
    holds; None after timeout seconds."""
    deadline = time.perf_counter() + timeout
    while True:
        if ok():
            return time.perf_counter()
        if time.perf_counter() > deadline:
            return None
        time.sleep(LOOK_EVERY)


def new_content(rng, n):
    """Another size each time, so that rsync's size-and-time check can never
    take a changed file for the same."""
    return ("change %d\n" % n).encode() + rng.randbytes(rng.randint(200, 4000))


# ---------------------------------------------------------------------------
# The programs.

class Serve:
    """dircast-serve on ports of its own, beaconing to 127.0.0.1."""

    def __init__(self, binary, root, work, label, announce, beacon_port=None):
        self.port = free_port(socket.SOCK_STREAM)
        self.beacon_port = beacon_port or free_port(socket.SOCK_DGRAM)
        argv = [binary, "--root", root, "--name", SHARE_NAME, "--port", str(self.port),
                "--beacon-port", str(self.beacon_port), "--broadcast", "127.0.0.1"]
        if announce:
            argv.append("--announce-changes")
        self.log_file = open(os.path.join(work, label + ".serve.log"), "wb")
        self.proc = PROCS.start(argv, stdout=self.log_file, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL)
        wait_listening(self.port, self.proc, "dircast-serve (%s)" % label)

    def stop(self):
        PROCS.end(self.proc)
        self.log_file.close()


class Mirror:
    """A long-lived dircast-mirror with the default poll interval, given the
    host's address, port and beacon port; its log lines timed as they come."""

    def __init__(self, ctx, host, base):
        self.dirs = MirrorDirs(ctx.tmp, base)
        self.root = self.dirs.root
        self.proc = PROCS.start(self.dirs.argv(ctx.mirror, host, []), stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        self.log = LineLog(self.proc.stdout.fileno(), os.path.join(self.dirs.base, "mirror.log"))

    def count(self, prefix):
        return sum(1 for _, text in self.log.snapshot() if text.startswith(prefix))

    def first_after(self, prefix, t0):
        return next((at for at, text in self.log.snapshot() if at >= t0 and text.startswith(prefix)), None)

    def wait_idle(self, sleeps_before, timeout=DEFAULT_POLL + 15):
        """Until the turn that followed a change has ended."""
        if not self.log.wait_count(SLEEPING, sleeps_before + 1, timeout):
            raise BenchError("mirror %s: no turn ended within %d s (exit %s)" %
                             (self.root, timeout, self.proc.poll()))

    def stop(self):
        PROCS.end(self.proc)
        self.log.thread.join(timeout=5)
        self.log.save()


class RsyncLoop:
    """The loop users write: `while :; do rsync -a --delete ...; sleep N; done`,
    each run a real rsync client against the daemon."""

    def __init__(self, daemon, module, dest, every):
        self.argv = ["rsync", "-a", "--delete", "rsync://127.0.0.1:%d/%s/" % (daemon.port, module), dest + "/"]
        self.every = every
        self.runs = []
        self.failures = 0
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.stopping.is_set():
            t0 = time.perf_counter()
            p = PROCS.start(self.argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            stdin=subprocess.DEVNULL)
            if p.wait() != 0:
                self.failures += 1
            self.runs.append(time.perf_counter() - t0)
            self.stopping.wait(self.every)

    def stop(self):
        self.stopping.set()
        self.thread.join(timeout=60)


class BeaconTap(processes.BeaconTap):
    """The beacons of a host that announces its changes."""

    def hash(self):
        """The hash the newest beacon announces, or None."""
        if not self.beacons:
            return None
        fields = self.beacons[-1][1].split()
        return next((f[5:].decode() for f in fields if f.startswith(b"hash=")), None)

    def between(self, t0, t1):
        return [data for at, data in self.beacons if t0 <= at < t1]


# ---------------------------------------------------------------------------
# Change to mirror: one file written, timed until every copy holds it.

def time_change(share, rel, data, copies, timeout):
    """Writes share/rel; for each copy root, the seconds until copy/rel
    holds data byte for byte (missing from the answer after timeout)."""
    pending = {root: os.path.join(root, rel) for root in copies}
    seen = {}
    t0 = time.perf_counter()
    with open(os.path.join(share, rel), "wb") as f:
        f.write(data)
    while pending and time.perf_counter() - t0 < timeout:
        for root, path in list(pending.items()):
            if holds(path, data):
                seen[root] = time.perf_counter() - t0
                del pending[root]
        if pending:
            time.sleep(LOOK_EVERY)
    return t0, seen


def note_missing(R, system, i, seen, copies):
    for root in copies:
        R.check("%s change %d reaches %s" % (system, i, os.path.basename(os.path.dirname(root))),
                root in seen, "not byte-equal within %d s" % (DEFAULT_POLL + 15))


def series_announce(ctx, found, share, mirror, rng):
    R = ctx.results
    heard = []
    for i in range(CHANGES):
        rel = "%s/f00.dat" % SUBDIRS[i]
        sleeps = mirror.count(SLEEPING)
        t0, seen = time_change(share, rel, new_content(rng, i), [mirror.root], DEFAULT_POLL + 15)
        note_missing(R, "announce", i, seen, [mirror.root])
        if mirror.root in seen:
            R.add("announce.on", seen[mirror.root])
        at = mirror.first_after(ANNOUNCED, t0)
        if at is not None:
            heard.append(at - t0)
        mirror.wait_idle(sleeps)
        time.sleep(rng.uniform(0.25, 0.75))
    found["heard"] = heard
    log("announce: %d changes, p50 %.3f s, p95 %.3f s" % (
        len(R.samples.get("announce.on", [])), statistics.median(R.samples.get("announce.on", [0])),
        percentile(R.samples.get("announce.on", [0]), 95)))


def series_rsync(ctx, found, share, work, rng):
    R = ctx.results
    # A daemon of its own, set up like the one of the other scenarios: its
    # configuration file goes in the directory it is given.
    os.makedirs(os.path.join(work, "rsyncd"))
    daemon = RsyncDaemon(os.path.join(work, "rsyncd"), {"announce": share})
    try:
        for n, every in enumerate(RSYNC_EVERY):
            dest = os.path.join(work, "rsync-every-%d" % every)
            daemon.pull("announce", dest)
            loop = RsyncLoop(daemon, "announce", dest, every)
            try:
                if wait_until(lambda: loop.runs, 60) is None:
                    raise BenchError("rsync every %d s: its first run did not end within 60 s" % every)
                time.sleep(rng.uniform(0, every))
                for i in range(CHANGES):
                    rel = "%s/f%02d.dat" % (SUBDIRS[i], 1 + n)
                    _, seen = time_change(share, rel, new_content(rng, i), [dest], every + DEFAULT_POLL)
                    note_missing(R, "rsync every %d s" % every, i, seen, [dest])
                    if dest in seen:
                        R.add("announce.rsync%d" % every, seen[dest])
                    # A random moment of the loop's cycle for the next change.
                    time.sleep(rng.uniform(0, every + statistics.median(loop.runs)))
            finally:
                loop.stop()
            found["rsync%d" % every] = {"runs": len(loop.runs), "run_seconds": statistics.median(loop.runs),
                                         "failures": loop.failures}
            R.check("rsync every %d s: every run succeeded" % every, loop.failures == 0,
                    "%d of %d failed" % (loop.failures, len(loop.runs)))
            same_tree(R, "rsync every %d s after its changes" % every, share, dest)
            log("announce: rsync every %d s: p50 %.3f s, p95 %.3f s" % (
                every, statistics.median(R.samples.get("announce.rsync%d" % every, [0])),
                percentile(R.samples.get("announce.rsync%d" % every, [0]), 95)))
    finally:
        daemon.stop()


def series_polling(ctx, found, share, work, rng):
    """Today: the host without the option and mirrors that wait out their
    poll interval. Their first turns are spread over one interval so that,
    between them, they cover every moment of it."""
    R = ctx.results
    host = Serve(ctx.serve, share, work, "polling", announce=False)
    mirrors = []
    spacing = DEFAULT_POLL / POLL_MIRRORS
    try:
        started = time.perf_counter()
        for k in range(POLL_MIRRORS):
            time.sleep(max(0.0, started + k * spacing - time.perf_counter()))
            mirrors.append(Mirror(ctx, host, "announce/poll-%02d" % k))
        for m in mirrors:
            m.wait_idle(0, 120)
        roots = [m.root for m in mirrors]
        for i in range(POLL_CHANGES):
            time.sleep(rng.uniform(0, spacing))
            rel = "%s/f03.dat" % SUBDIRS[i]
            _, seen = time_change(share, rel, new_content(rng, i), roots, DEFAULT_POLL + 15)
            note_missing(R, "polling", i, seen, roots)
            for root in roots:
                if root in seen:
                    R.add("announce.polling", seen[root])
        for m in mirrors:
            same_tree(R, "polling mirror %s after its changes" % os.path.basename(m.dirs.base), share, m.root)
        found["polling_announced"] = sum(m.count(ANNOUNCED) for m in mirrors)
        R.check("polling: no turn started by an announcement", found["polling_announced"] == 0,
                "%d announcements" % found["polling_announced"])
    finally:
        for m in mirrors:
            m.stop()
        host.stop()
    log("announce: polling: p50 %.3f s, p95 %.3f s" % (
        statistics.median(R.samples.get("announce.polling", [0])),
        percentile(R.samples.get("announce.polling", [0]), 95)))


# ---------------------------------------------------------------------------
# Every kind of change. Each makes its change in the share and gives back a
# test of the mirror root that holds once the mirror shows it.

def kind_rewrite(s, o, b, r, rng):
    rel = b + "/f03.dat"
    with open(os.path.join(s, rel), "r+b") as f:
        f.seek(f.seek(0, 2) // 2)
        f.write(rng.randbytes(16))
    data = read(os.path.join(s, rel))
    return lambda m: holds(os.path.join(m, rel), data)


def kind_new_file(s, o, b, r, rng):
    rel, data = b + "/new.txt", rng.randbytes(300)
    write_file(os.path.join(s, rel), data)
    return lambda m: holds(os.path.join(m, rel), data)


def moved(s, old, new):
    data = read(os.path.join(s, old))
    os.rename(os.path.join(s, old), os.path.join(s, new))
    return lambda m: holds(os.path.join(m, new), data) and not os.path.lexists(os.path.join(m, old))


def kind_rename(s, o, b, r, rng):
    return moved(s, b + "/f04.dat", b + "/f04-renamed.dat")


def kind_move_between(s, o, b, r, rng):
    return moved(s, b + "/f05.dat", b + "/deep/f05.dat")


def kind_delete(s, o, b, r, rng):
    rel = b + "/f06.dat"
    os.unlink(os.path.join(s, rel))
    return lambda m: not os.path.lexists(os.path.join(m, rel))


def kind_new_dir(s, o, b, r, rng):
    rel, data = b + "/newdir/inner/h.txt", rng.randbytes(100)
    write_file(os.path.join(s, rel), data)
    return lambda m: holds(os.path.join(m, rel), data)


def kind_empty_dir(s, o, b, r, rng):
    rel = b + "/empty"
    os.mkdir(os.path.join(s, rel))
    return lambda m: os.path.isdir(os.path.join(m, rel))


def kind_moved_in(s, o, b, r, rng):
    src = os.path.join(o, "in-%d" % r)
    files = {"top.txt": rng.randbytes(50), "x/y.txt": rng.randbytes(70), "x/z/w.txt": rng.randbytes(90)}
    for rel, data in files.items():
        write_file(os.path.join(src, rel), data)
    os.rename(src, os.path.join(s, b, "moved-in"))
    return lambda m: all(holds(os.path.join(m, b, "moved-in", rel), data) for rel, data in files.items())


def kind_inside_moved_in(s, o, b, r, rng):
    rel, data = b + "/moved-in/x/z/new.txt", rng.randbytes(40)
    write_file(os.path.join(s, rel), data)
    return lambda m: holds(os.path.join(m, rel), data)


def kind_dir_renamed(s, o, b, r, rng):
    data = read(os.path.join(s, b, "deep/more/g00.bin"))
    os.rename(os.path.join(s, b, "deep"), os.path.join(s, b, "deep-renamed"))
    return lambda m: (holds(os.path.join(m, b, "deep-renamed/more/g00.bin"), data) and
                      not os.path.lexists(os.path.join(m, b, "deep")))


def kind_dir_moved_out(s, o, b, r, rng):
    os.rename(os.path.join(s, b, "deep-renamed"), os.path.join(o, "out-%d" % r))
    return lambda m: not os.path.lexists(os.path.join(m, b, "deep-renamed"))


def kind_dir_deleted(s, o, b, r, rng):
    shutil.rmtree(os.path.join(s, b, "newdir"))
    return lambda m: not os.path.lexists(os.path.join(m, b, "newdir"))


KINDS = [
    ("a file rewritten in place (16 bytes in its middle)", kind_rewrite),
    ("a new file", kind_new_file),
    ("a rename in its directory", kind_rename),
    ("a rename into another directory", kind_move_between),
    ("a delete", kind_delete),
    ("a new directory with a file", kind_new_dir),
    ("a new empty directory", kind_empty_dir),
    ("a directory moved in from outside the share", kind_moved_in),
    ("a new file inside the moved-in directory", kind_inside_moved_in),
    ("a directory renamed", kind_dir_renamed),
    ("a directory moved out of the share", kind_dir_moved_out),
    ("a directory deleted", kind_dir_deleted),
]


def every_kind(ctx, found, share, outside, mirror, rng):
    R = ctx.results
    kinds = found["kinds"] = {name: [] for name, _ in KINDS}
    for r, base in enumerate(KIND_SUBDIRS):
        for name, change in KINDS:
            sleeps = mirror.count(SLEEPING)
            t0 = time.perf_counter()
            shows = change(share, outside, base, r, rng)
            at = wait_until(lambda: shows(mirror.root), DEFAULT_POLL + 15)
            R.check("%s (%d) reaches the mirror" % (name, r), at is not None,
                    "not within %d s" % (DEFAULT_POLL + 15))
            kinds[name].append(None if at is None else at - t0)
            mirror.wait_idle(sleeps)
            time.sleep(rng.uniform(0.25, 0.75))
        same_tree(R, "every kind of change, round %d" % r, share, mirror.root)
    slowest = max((s for v in kinds.values() for s in v if s is not None), default=None)
    log("announce: every kind of change: slowest %s s" % slowest)


def busy_share(ctx, found, share, mirror, rng):
    """A change while another file of the share is written every
    BUSY_WRITE_EVERY s: the host waits for a quiet moment before it takes
    the hash, so here the change waits for the writer to stop (or for the
    mirror's poll). Reported, not a target."""
    writer_rel = SUBDIRS[99] + "/busy.log"
    stop = threading.Event()

    def write_on():
        with open(os.path.join(share, writer_rel), "ab") as f:
            while not stop.wait(BUSY_WRITE_EVERY):
                f.write(b"one more line\n")
                f.flush()
    sleeps = mirror.count(SLEEPING)
    writer = threading.Thread(target=write_on, daemon=True)
    writer.start()
    time.sleep(1.0)
    stopper = threading.Timer(BUSY_SECONDS - 1.0, stop.set)
    stopper.start()
    _, seen = time_change(share, SUBDIRS[98] + "/f07.dat", new_content(rng, 99), [mirror.root], DEFAULT_POLL + 15)
    stopper.join()
    writer.join()
    found["busy"] = {"seconds": seen.get(mirror.root), "writer_left": BUSY_SECONDS - 1.0}
    mirror.wait_idle(sleeps)
    time.sleep(1.0)
    log("announce: change in a busy share: %s s (the writer stopped %.1f s after it)" % (
        seen.get(mirror.root), BUSY_SECONDS - 1.0))


def burst_ops(share, rng, paced):
    """BURST changes: 500 new files in 20 new directories, 300 rewrites, 100
    renames and 100 deletes; the paced burst rewrites the 500 new files
    twice."""
    ops = []
    if paced:
        for turn in range(2):
            for d, base in enumerate(BURST_SUBDIRS):
                for k in range(25):
                    ops.append((os.path.join(share, base, "burst/n%02d.txt" % k), rng.randbytes(64 + turn)))
        return ops
    for base in BURST_SUBDIRS:
        ops += [(os.path.join(share, base, "burst/n%02d.txt" % k), rng.randbytes(64)) for k in range(25)]
        ops += [(os.path.join(share, base, "f%02d.dat" % k), rng.randbytes(500)) for k in range(15)]
        ops += [("rename", os.path.join(share, base, "deep/more/g%02d.bin" % k)) for k in range(5)]
    for base in DELETE_SUBDIRS:
        ops += [("delete", os.path.join(share, base, "f%02d.dat" % k)) for k in range(5)]
    return ops


def do_op(op):
    what, arg = op
    if what == "rename":
        os.rename(arg, arg + ".renamed")
    elif what == "delete":
        os.unlink(arg)
    else:
        write_file(what, arg)


def burst(ctx, found, share, mirror, rng, paced):
    R = ctx.results
    label = "paced" if paced else "fast"
    ops = burst_ops(share, rng, paced)
    turns, heard = mirror.count(MANIFEST_SENT), mirror.count(ANNOUNCED)
    t0 = time.perf_counter()
    for op in ops:
        do_op(op)
        if paced:
            time.sleep(BURST_PACE)
    ended = time.perf_counter()
    want = tree_digest(share)
    equal_at = None
    while time.perf_counter() - ended < DEFAULT_POLL + 15:
        if tree_digest(mirror.root) == want:
            equal_at = time.perf_counter()
            break
        time.sleep(0.02)
    # Any turn still to come shows itself in this time.
    time.sleep(3.0)
    same_tree(R, "%s burst of %d changes" % (label, len(ops)), share, mirror.root)
    found["burst_" + label] = {
        "changes": len(ops), "written": ended - t0, "equal": None if equal_at is None else equal_at - ended,
        "turns": mirror.count(MANIFEST_SENT) - turns, "announced": mirror.count(ANNOUNCED) - heard}
    log("announce: %s burst: %s" % (label, found["burst_" + label]))


def scenario_announce(ctx, found, share, outside, work, rng):
    host = Serve(ctx.serve, share, work, "announce", announce=True)
    mirror = Mirror(ctx, host, "announce/mirror")
    try:
        mirror.wait_idle(0, 120)
        same_tree(ctx.results, "announce mirror's first sync", share, mirror.root)
        series_announce(ctx, found, share, mirror, rng)
        every_kind(ctx, found, share, outside, mirror, rng)
        burst(ctx, found, share, mirror, rng, paced=False)
        burst(ctx, found, share, mirror, rng, paced=True)
        busy_share(ctx, found, share, mirror, rng)
        same_tree(ctx.results, "announce mirror at the end", share, mirror.root)
    finally:
        mirror.stop()
        host.stop()


# ---------------------------------------------------------------------------
# The host at rest with a 100,000-file share.

def make_rest_share(root, seed=100):
    """REST_FILES files of 16 to 512 bytes; returns their total size."""
    rng = random.Random(seed)
    total = 0
    for a in range(REST_TOP):
        for b in range(REST_SUB):
            base = os.path.join(root, "t%03d" % a, "s%02d" % b)
            os.makedirs(base)
            for i in range(REST_FILES_PER_DIR):
                with open(os.path.join(base, "f%03d.txt" % i), "wb") as f:
                    total += f.write(rng.randbytes(rng.randint(16, 512)))
    return total


def status_field(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def host_counters(pid):
    io = proc_io(pid)
    return {"ticks": proc_cpu_ticks(pid), "rchar": io["rchar"], "read_bytes": io["read_bytes"],
            "syscr": io["syscr"], "wakeups": status_field(pid, "voluntary_ctxt_switches") +
            status_field(pid, "nonvoluntary_ctxt_switches")}


def counters_between(a, b):
    return {k: b[k] - a[k] for k in a}


def inotify_watches(pid):
    n = 0
    for fd in os.listdir("/proc/%d/fdinfo" % pid):
        try:
            with open("/proc/%d/fdinfo/%s" % (pid, fd)) as f:
                n += sum(1 for line in f if line.startswith("inotify wd:"))
        except OSError:
            pass
    return n


def beacon_text(data, port):
    """A beacon with its own port taken out, to compare two hosts'."""
    return data.replace(b" port=%d " % port, b" port=PORT ")


def scenario_rest(ctx, found, work, today):
    R = ctx.results
    root = os.path.join(work, "rest-share")
    t0 = time.perf_counter()
    found["rest_bytes"] = make_rest_share(root)
    log("announce: rest share of %d files in %d directories made in %.0f s" % (
        REST_FILES, REST_DIRS, time.perf_counter() - t0))
    # The hash cache trusts no hash taken within 2 s of a file's last change:
    # the share is left alone for longer, as a share at rest would be.
    time.sleep(3.0)
    hosts = [("on", ctx.serve, True), ("off", ctx.serve, False)] + ([("today", today, False)] if today else [])
    running = {}
    try:
        for label, binary, announce in hosts:
            tap = BeaconTap()
            running[label] = (Serve(binary, root, work, "rest-" + label, announce, tap.port), tap)
        on_host, on_tap = running["on"]
        if wait_until(lambda: on_tap.hash() is not None, 300) is None:
            raise BenchError("the announcing host sent no hash within 300 s")
        for label, (host, tap) in running.items():
            manifest = fetch_manifest(host.port)
            files = manifest.count(b"\nfile path=")
            R.check("rest host %s: manifest of every file" % label, files == REST_FILES, "%d files" % files)
            if label == "on":
                line = next((l for l in manifest.split(b"\n") if l.startswith(b"hash=")), b"")
                R.check("rest host on: the beacon's hash is the manifest's", line[5:].decode() == tap.hash(),
                        "beacon %s, manifest %s" % (tap.hash(), line))
        # The walks and answers are over; what is left is the host at rest.
        time.sleep(3.0)
        before = {label: host_counters(h.proc.pid) for label, (h, _) in running.items()}
        t0 = time.perf_counter()
        time.sleep(REST_SECONDS)
        t1 = time.perf_counter()
        rest = found["rest"] = {}
        for label, (host, tap) in running.items():
            c = counters_between(before[label], host_counters(host.proc.pid))
            c["seconds"] = t1 - t0
            beacons = tap.between(t0, t1)
            c["beacons"] = len(beacons)
            c["beacon"] = beacon_text(beacons[-1], host.port) if beacons else b""
            c["alive"] = host.proc.poll() is None
            rest[label] = c
        rest["on"]["watches"] = inotify_watches(on_host.proc.pid)
        R.check("rest host on: announces a hash", b" hash=" in rest["on"]["beacon"], rest["on"]["beacon"])
        R.check("rest host off: the beacon has no hash", b" hash=" not in rest["off"]["beacon"],
                rest["off"]["beacon"])
        one_change_on_rest(ctx, found, root, on_host, on_tap)
    finally:
        for host, tap in running.values():
            host.stop()
            tap.stop()
        shutil.rmtree(root, ignore_errors=True)
    log("announce: at rest: %s" % {k: {f: v[f] for f in ("ticks", "rchar", "beacons")} for k, v in rest.items()})


def one_change_on_rest(ctx, found, root, host, tap):
    """What one change costs the announcing host with 100,000 files: the
    walk it causes, until the new hash is in the beacon."""
    old = tap.hash()
    before = host_counters(host.proc.pid)
    t0 = time.perf_counter()
    write_file(os.path.join(root, "t050/s05/f050.txt"), b"changed at rest\n")
    at = wait_until(lambda: tap.hash() not in (None, old), 60)
    time.sleep(0.5)
    c = counters_between(before, host_counters(host.proc.pid))
    c["announced"] = None if at is None else at - t0
    found["rest_change"] = c
    ctx.results.check("rest host on: one change announced", at is not None, "no new hash within 60 s")


# ---------------------------------------------------------------------------

def run(ctx):
    R = ctx.results
    found = R.values.setdefault("announce", {})
    work = os.path.join(ctx.tmp, "announce")
    os.makedirs(work)
    rng = random.Random(14)
    log("announce: building the host of %s" % TODAY_COMMIT[:7])
    today = build_host_of(TODAY_COMMIT, work, os.cpu_count() or 2, "today-src")
    if not today:
        R.note("the host of %s could not be built: no figures at rest for today's host" % TODAY_COMMIT[:7])
    share = make_small_share(os.path.join(work, "share"))
    found["share"] = (len(share.files), share.total())
    outside = os.path.join(work, "outside")
    os.makedirs(outside)
    scenario_announce(ctx, found, share.root, outside, work, rng)
    if shutil.which("rsync"):
        series_rsync(ctx, found, share.root, work, rng)
    series_polling(ctx, found, share.root, work, rng)
    scenario_rest(ctx, found, work, today)


# ---------------------------------------------------------------------------
# Report and targets.

SYSTEMS = [
    ("on", "dircast-serve --announce-changes, mirror with the default poll (30 s)"),
    ("polling", "today: dircast-serve without the option, mirror with the default poll (30 s); "
                "%d mirrors started %d s apart, %d changes each" % (POLL_MIRRORS, DEFAULT_POLL // POLL_MIRRORS,
                                                                    POLL_CHANGES)),
] + [("rsync%d" % n, "`rsync -a --delete` from the daemon, then `sleep %d`, in a loop" % n) for n in RSYNC_EVERY]


def secs(x):
    if x is None:
        return "n/a"
    return "%.3f s" % x if x >= 1 else "%.0f ms" % (x * 1000)


def ratio(a, b):
    return "%.3f×" % (a / b) if a is not None and b else "n/a"


def latency(R, key):
    s = R.samples.get("announce." + key, [])
    return (statistics.median(s) if s else None, percentile(s, 95), max(s) if s else None, len(s))


def expected(key):
    return POLL_MIRRORS * POLL_CHANGES if key == "polling" else CHANGES


def report(ctx):
    R = ctx.results
    found = R.values.get("announce")
    if not found:
        return []
    files, total = found["share"]
    out = ["## Changes announced by beacon (--announce-changes)", ""]
    out.append("Share: %d files, %.2f MiB in nested directories. Each timed change rewrites one file with new "
               "content of another size; the bench writes it and reads the copy every %d ms until it is byte-equal "
               "(times from before the write). The mirrors are long-lived `dircast-mirror` processes with the "
               "default poll interval, given `--host 127.0.0.1`, the host's port and its beacon port; every host "
               "beacons to 127.0.0.1. p95 is the 19th of 20 times." % (files, total / MIB, LOOK_EVERY * 1000))
    out.append("")
    out.append("### Change to mirror")
    out.append("")
    out.append("| system | changes timed | p50 | p95 | max | announce ÷ this, p50 | announce ÷ this, p95 |")
    out.append("|---|---|---|---|---|---|---|")
    on50, on95, _, _ = latency(R, "on")
    for key, title in SYSTEMS:
        p50, p95, top, n = latency(R, key)
        out.append("| %s | %d of %d | %s | %s | %s | %s | %s |" % (
            title, n, expected(key), secs(p50), secs(p95), secs(top),
            "—" if key == "on" else ratio(on50, p50), "—" if key == "on" else ratio(on95, p95)))
    out.append("")
    heard = found.get("heard")
    if heard:
        out.append("With the option, the mirror logged `host announced a change` a median %s after the write "
                   "(the host's 200 ms of quiet, its walk and the beacon it sends at once); the rest is the "
                   "mirror's turn: manifest, the changed file, the rename into place." % secs(statistics.median(heard)))
    for n in RSYNC_EVERY:
        r = found.get("rsync%d" % n)
        if r:
            out.append("The rsync loop every %d s ran %d times, a median %s each." % (n, r["runs"], secs(r["run_seconds"])))
    out.append("")

    kinds = found.get("kinds")
    if kinds:
        out.append("### Every kind of change, with --announce-changes")
        out.append("")
        out.append("Each change %d times on the same host and mirror, timed until the mirror shows it (the bench "
                   "looks every %d ms); after each round the whole mirror is compared with the share." % (
                       KIND_REPEATS, LOOK_EVERY * 1000))
        out.append("")
        out.append("| change | times | slowest |")
        out.append("|---|---|---|")
        for name, _ in KINDS:
            v = kinds.get(name, [])
            out.append("| %s | %s | %s |" % (name, ", ".join(secs(x) for x in v),
                                             "missed" if None in v or not v else secs(max(v))))
        out.append("")
        b = found.get("busy")
        if b:
            out.append("Not a target: a file changed while another file of the share is appended every %d ms "
                       "reached the mirror after %s; the writer stopped %.0f s after the change. The host takes "
                       "the hash only after 200 ms without events, so a share that never rests for that long "
                       "is announced when it does (or at the mirror's poll)." % (
                           BUSY_WRITE_EVERY * 1000, secs(b["seconds"]), b["writer_left"]))
            out.append("")
    if found.get("burst_fast"):
        out.append("### Bursts of changes, with --announce-changes")
        out.append("")
        out.append("Fast: 500 new files in 20 new directories, 300 rewrites, 100 renames and 100 deletes, written "
                   "as fast as the bench can. Paced: the 500 new files rewritten twice, one change every %d ms. "
                   "Turns: the mirror's `manifest request sent` lines from the burst's start until 3 s after its "
                   "copy equals the share." % (BURST_PACE * 1000))
        out.append("")
        out.append("| burst | changes | written in | from its end to the mirror equal | mirror turns | "
                   "announcements heard |")
        out.append("|---|---|---|---|---|---|")
        for label in ("fast", "paced"):
            b = found.get("burst_" + label)
            if b:
                out.append("| %s | %d | %s | %s | %d | %d |" % (label, b["changes"], secs(b["written"]),
                                                                secs(b["equal"]), b["turns"], b["announced"]))
        out.append("")
    rest = found.get("rest")
    if rest:
        out.append("### The host at rest with %d files" % REST_FILES)
        out.append("")
        out.append("Share: %d files of 16 to 512 bytes in %d directories. Every host serves the same share, "
                   "without clients (the bench only listens to its beacons), and is measured over the same %d s, "
                   "once it has answered a manifest request (and, with the option, its beacon carries the hash): "
                   "CPU is utime+stime from /proc/PID/stat (%d ticks/s), reads are rchar, read_bytes and syscr "
                   "from /proc/PID/io, wakeups the context switches from /proc/PID/status. The share is on %s, "
                   "where read_bytes counts no reads at all; rchar counts every byte read by read(2)." % (
                       REST_FILES, REST_DIRS, REST_SECONDS, CLK_TCK, "tmpfs" if "tmpfs" in
                       getattr(ctx, "tmp_fs", "tmpfs") else getattr(ctx, "tmp_fs", "?")))
        out.append("")
        out.append("| host | CPU in %d s | share of one CPU | rchar | read_bytes | read calls | wakeups | "
                   "beacons | inotify watches |" % REST_SECONDS)
        out.append("|---|---|---|---|---|---|---|---|---|")
        for label, title in (("on", "dircast-serve --announce-changes"), ("off", "dircast-serve without the option"),
                             ("today", "today's host (%s)" % TODAY_COMMIT[:7])):
            c = rest.get(label)
            if c:
                out.append("| %s | %.2f s (%d ticks) | %.3f %% | %d B | %d B | %d | %d | %d | %s |" % (
                    title, c["ticks"] / CLK_TCK, c["ticks"], 100.0 * c["ticks"] / CLK_TCK / c["seconds"],
                    c["rchar"], c["read_bytes"], c["syscr"], c["wakeups"], c["beacons"],
                    c.get("watches", "—")))
        c = found.get("rest_change")
        if c:
            out.append("")
            out.append("Then one file of the %d changed: the announcing host's walk took %.2f s of CPU and read "
                       "%.1f MiB of the share's %.1f MiB (rchar) in %d read calls; the new hash was in its beacon "
                       "%s after the write." % (REST_FILES, c["ticks"] / CLK_TCK, c["rchar"] / MIB,
                                                found.get("rest_bytes", 0) / MIB, c["syscr"], secs(c["announced"])))
        out.append("")
    return out


def targets(ctx):
    R = ctx.results
    found = R.values.get("announce")
    t = []
    if not found:
        return t
    p50, p95, _, n = latency(R, "on")
    if n:
        t.append(("change to mirror with --announce-changes: p95 under 1 s (default poll 30 s)",
                  "p95 %s, p50 %s, %d of %d changes" % (secs(p95), secs(p50), n, CHANGES),
                  "PASS" if p95 < BOUND and n == CHANGES else "FAIL"))
    for key, title in SYSTEMS[1:]:
        b50, b95, _, bn = latency(R, key)
        if n and bn:
            ok = p50 < b50 and p95 < b95 and n == CHANGES
            t.append(("change to mirror: p50 and p95 below %s" % title.split(";")[0],
                      "announce ÷ this: p50 %s, p95 %s" % (ratio(p50, b50), ratio(p95, b95)),
                      "PASS" if ok else "FAIL"))
    kinds = found.get("kinds")
    if kinds:
        times = [(x, name) for name, v in kinds.items() for x in v]
        missed = [name for x, name in times if x is None]
        slowest = max((x, name) for x, name in times if x is not None) if len(missed) < len(times) else None
        t.append(("every kind of change (renames, deletes, new and moved-in directories, rewrites) in the mirror "
                  "within 1 s", "missed: %s" % ", ".join(missed) if missed else "slowest %s (%s)" % (
                      secs(slowest[0]), slowest[1]),
                  "PASS" if not missed and slowest[0] < BOUND else "FAIL"))
    for label in ("fast", "paced"):
        b = found.get("burst_" + label)
        if b:
            limit = HANDFUL + int(b["written"])
            ok = b["equal"] is not None and b["turns"] <= limit
            t.append(("%s burst of %d changes: mirror equal to the share after at most %d turns (%d, and one a "
                      "second of the burst)" % (label, b["changes"], limit, HANDFUL),
                      "%d turns, equal %s after the burst" % (b["turns"], secs(b["equal"])),
                      "PASS" if ok else "FAIL"))
    rest = found.get("rest", {})
    on, off, today = rest.get("on"), rest.get("off"), rest.get("today")
    if on:
        t.append(("at rest with --announce-changes, %d files: no file read in %d s" % (REST_FILES, REST_SECONDS),
                  "rchar %d B, read_bytes %d B" % (on["rchar"], on["read_bytes"]),
                  "PASS" if on["rchar"] == 0 and on["read_bytes"] == 0 and on["alive"] else "FAIL"))
        share = on["ticks"] / CLK_TCK / on["seconds"]
        t.append(("at rest with --announce-changes, %d files: under 1 %% of a CPU" % REST_FILES,
                  "%.3f %% (%d ticks in %.0f s)" % (100 * share, on["ticks"], on["seconds"]),
                  "PASS" if share < 0.01 else "FAIL"))
    if off and today:
        # Ticks are 10 ms: two hosts that idle alike may differ by a tick or two.
        same = (off["rchar"] == today["rchar"] and abs(off["ticks"] - today["ticks"]) <= 2 and
                off["beacon"] == today["beacon"] and abs(off["beacons"] - today["beacons"]) <= 2)
        t.append(("at rest without the option: as today's host (%s): reads, CPU, beacons byte for byte" %
                  TODAY_COMMIT[:7], "rchar %d / %d B, %d / %d ticks, %d / %d beacons, beacon %s" % (
                      off["rchar"], today["rchar"], off["ticks"], today["ticks"], off["beacons"], today["beacons"],
                      "identical" if off["beacon"] == today["beacon"] else "differs"),
                  "PASS" if same else "FAIL"))
    return t


# ---------------------------------------------------------------------------
# Alone: make bench BENCH_ARGS=--only-announce, or this file as a script.

def run_alone(ctx, strict=False, keep=False):
    """Measures only these scenarios in a temporary directory of their own and
    prints their tables and targets; 1 when a check failed, 2 when a target
    was missed and strict."""
    import traceback
    from common import Results
    if not hasattr(ctx, "results"):
        ctx.results = Results()
    shm = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
    ctx.tmp = tempfile.mkdtemp(prefix="dircast-announce-", dir=None if os.environ.get("TMPDIR") else shm)
    ctx.tmp_fs = "tmpfs" if shm and ctx.tmp.startswith(shm) else "the system's temporary directory"
    try:
        log("temporary directory %s" % ctx.tmp)
        run(ctx)
    except KeyboardInterrupt:
        log("interrupted")
        return 130
    except Exception as e:    # reported with the checks
        traceback.print_exc()
        ctx.results.check("announce scenarios ran to their end", False, "%s: %s" % (type(e).__name__, e))
    finally:
        PROCS.end_all()
        if keep:
            log("kept %s" % ctx.tmp)
        else:
            shutil.rmtree(ctx.tmp, ignore_errors=True)
    print("\n".join(report(ctx)))
    found = targets(ctx)
    for name, measured, verdict in found:
        print("%s: %s: %s" % (verdict, name, measured))
    failed = [c for c in ctx.results.checks if not c[1]]
    print("%d checks, %d failed" % (len(ctx.results.checks), len(failed)))
    for name, _, detail in failed:
        print("CHECK FAILED: %s %s" % (name, detail))
    if failed:
        return 1
    return 2 if strict and any(v == "FAIL" for _, _, v in found) else 0


def main():
    class Context:
        pass
    ctx = Context()
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    ctx.serve = os.path.join(build, "dircast-serve")
    ctx.mirror = os.path.join(build, "dircast-mirror")
    sys.exit(run_alone(ctx, strict="--strict" in sys.argv, keep="--keep" in sys.argv))


if __name__ == "__main__":
    main()
