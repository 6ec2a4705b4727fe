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
  - a delta of one file against a manifest near the client's 262143-byte
    limit (the prune pass and the comparison of every mirrored file);
  - host CPU and bytes read per manifest request of a ~1 GiB share: cold,
    warm with no change, after changing one file; the rsync daemon's
    no-change check of the same share;
  - the idle host's beacon rate;
  - for comparison, the first sync, poll, delta and prune runs again with the
    x86_64 build, and the price of one system call by each kernel entry.
The tables go to stdout and to bench/RESULTS.md (unless --no-results).
Exit status 1 when a correctness check failed (a mirror that differs from its
share, a turn that did not do what the changes call for); targets that are
missed are reported in the table, and fail the run only with --strict.
"""

import argparse
import datetime
import grp
import hashlib
import os
import pwd
import random
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import traceback

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The host before it waited with poll(): it slept a blind 250 ms every turn.
# Parent of 6f0800f ("Host answers at once and remembers content hashes").
BEFORE_COMMIT = "3811aafcfe46bbc46314d8a6a0b4a5df06098436"
SHARE_NAME = "bench-share"
MANIFEST_REQUEST = b"GET manifest DC-SHARE/1\n\n"
MANIFEST_LIMIT = 262143          # the client's receive limit for a manifest
ARCHIVE_LIMIT = 8388608          # and for an archive
MIB = 1024 * 1024
CLK_TCK = os.sysconf("SC_CLK_TCK")
REMOVED_PER_DELTA = 3
DELTA_SIZES = (1, 20, 200)

MIRROR_PREFIX = "dircast-mirror: "
CONNECTING = MIRROR_PREFIX + "connecting to advertised host"
SLEEPING = MIRROR_PREFIX + "sleeping "
SYNC_COMPLETE = MIRROR_PREFIX + "sync complete"
NO_CHANGES = MIRROR_PREFIX + "no share changes"
DELTA_SUMMARY = MIRROR_PREFIX + "delta changed files "
PRUNED = MIRROR_PREFIX + "pruned "
DELTA_FAILED = MIRROR_PREFIX + "delta failed"


def log(message):
    print("bench: " + message, flush=True)


class BenchError(Exception):
    pass


# ---------------------------------------------------------------------------
# Results: samples, checks and targets, gathered as the run goes.

class Results:
    def __init__(self):
        self.samples = {}      # key -> list of seconds
        self.values = {}       # key -> anything
        self.checks = []       # (name, ok, detail): correctness
        self.notes = []

    def add(self, key, seconds):
        self.samples.setdefault(key, []).append(seconds)

    def median(self, key):
        s = self.samples.get(key)
        return statistics.median(s) if s else None

    def check(self, name, ok, detail=""):
        self.checks.append((name, bool(ok), detail))
        if not ok:
            log("CHECK FAILED: %s %s" % (name, detail))
        return ok

    def note(self, text):
        self.notes.append(text)
        log("note: " + text)


# ---------------------------------------------------------------------------
# Processes: every one we start is remembered and ended by its own id.

class Processes:
    def __init__(self):
        self.started = []

    def start(self, argv, **kw):
        p = subprocess.Popen(argv, **kw)
        self.started.append(p)
        return p

    def end(self, p):
        if p.poll() is not None:
            return
        try:
            p.send_signal(signal.SIGCONT)
            p.terminate()
            p.wait(timeout=5)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
        except ProcessLookupError:
            pass

    def end_all(self):
        for p in reversed(self.started):
            self.end(p)


PROCS = Processes()


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def tcp_listening(port):
    """True when some socket listens on TCP port (any local address)."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                for line in f:
                    fields = line.split()
                    if fields[3] == "0A" and int(fields[1].rsplit(":", 1)[1], 16) == port:
                        return True
        except OSError:
            continue
    return False


def wait_listening(port, proc, what, timeout=20):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise BenchError("%s exited with status %s before listening" % (what, proc.returncode))
        if tcp_listening(port):
            return
        time.sleep(0.02)
    raise BenchError("%s does not listen on port %d" % (what, port))


def proc_cpu_ticks(pid, children=False):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # fields[0] is field 3 (state): utime 14, stime 15, cutime 16, cstime 17.
    ticks = int(fields[11]) + int(fields[12])
    if children:
        ticks += int(fields[13]) + int(fields[14])
    return ticks


def proc_io(pid):
    """rchar and read_bytes; reaped children's are included (the kernel adds
    a child's I/O accounting to its parent's when the parent waits for it)."""
    out = {}
    with open("/proc/%d/io" % pid) as f:
        for line in f:
            key, value = line.split(":")
            out[key.strip()] = int(value)
    return out


def children_of(pid):
    kids = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name) as f:
                ppid = int(f.read().rsplit(")", 1)[1].split()[1])
        except (OSError, ValueError, IndexError):
            continue
        if ppid == pid:
            kids.append(int(name))
    return kids


def wait_no_children(pid, timeout=10):
    deadline = time.monotonic() + timeout
    while children_of(pid):
        if time.monotonic() > deadline:
            raise BenchError("process %d keeps children" % pid)
        time.sleep(0.01)


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


def first_line(argv):
    try:
        out = subprocess.run(argv, capture_output=True, text=True).stdout
        return out.splitlines()[0].strip() if out else "?"
    except OSError:
        return "?"


# ---------------------------------------------------------------------------
# Trees: generation, changes, comparison.

def write_file(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def tree_digest(root):
    """relative path -> ('d',) or ('f', size, sha1) for everything below root."""
    out = {}
    for dirpath, dirnames, filenames in os.walk(root):
        rel_dir = os.path.relpath(dirpath, root)
        for d in dirnames:
            rel = os.path.normpath(os.path.join(rel_dir, d))
            out[rel] = ("l",) if os.path.islink(os.path.join(dirpath, d)) else ("d",)
        for name in filenames:
            full = os.path.join(dirpath, name)
            rel = os.path.normpath(os.path.join(rel_dir, name))
            if os.path.islink(full):
                out[rel] = ("l",)
                continue
            with open(full, "rb") as f:
                data = f.read()
            out[rel] = ("f", len(data), hashlib.sha1(data).hexdigest())
    return out


def same_tree(results, what, share, copy):
    a = tree_digest(share)
    b = tree_digest(copy)
    if a == b:
        return True
    missing = sorted(set(a) - set(b))
    extra = sorted(set(b) - set(a))
    differ = sorted(k for k in set(a) & set(b) if a[k] != b[k])
    results.check(what + ": copy equals share", False,
                  "missing %d %s, extra %d %s, differing %d %s" %
                  (len(missing), missing[:3], len(extra), extra[:3], len(differ), differ[:3]))
    return False


class Share:
    """A generated share and the list of its files, changed in place."""

    def __init__(self, root, seed):
        self.root = root
        self.rng = random.Random(seed)
        self.files = {}          # relative path -> size

    def add(self, rel, size):
        write_file(os.path.join(self.root, rel), self.rng.randbytes(size))
        self.files[rel] = size

    def total(self):
        return sum(self.files.values())

    def change(self, changed, removed):
        """Rewrites `changed` files with new content of another size and
        removes `removed` others; returns (changed paths, removed paths)."""
        names = sorted(self.files)
        picked = self.rng.sample(names, changed + removed)
        for rel in picked[:changed]:
            old = self.files[rel]
            size = max(1, min(old + self.rng.choice((-1, 1)) * self.rng.randint(1, 200), 8000))
            if size == old:
                size = old - 1 if old > 1 else old + 1
            self.add(rel, size)
        for rel in picked[changed:]:
            os.unlink(os.path.join(self.root, rel))
            del self.files[rel]
        return picked[:changed], picked[changed:]


def make_small_share(root, seed=4):
    """2000 files, 6 MiB in all, in 300 directories up to four levels deep."""
    share = Share(root, seed)
    os.makedirs(root)
    for a in range(10):
        for b in range(10):
            base = "d%02d/s%02d" % (a, b)
            for i in range(15):
                share.add("%s/f%02d.dat" % (base, i), share.rng.randint(64, 6226))
            for i in range(5):
                share.add("%s/deep/more/g%02d.bin" % (base, i), share.rng.randint(64, 6226))
    return share


def manifest_estimate(dirs, files, hash_digits=10):
    size = len("DC-SHARE-MANIFEST/1\nname=%s\nhash=%s\nentries=recursive\n\n" %
               (SHARE_NAME, "9" * hash_digits)) + len("END\n")
    size += sum(len("dir path=%s\n" % d) for d in dirs)
    size += sum(len("file path=%s size=%d hash=%s\n" % (rel, n, "9" * hash_digits))
                for rel, n in files)
    return size


def make_prune_share(root, target=252000, n_dirs=20, n_files=3200, seed=7):
    """3200 files with long names whose manifest is close to, and always
    below, the client's 262143-byte limit (hash fields counted at 10 digits)."""
    rng = random.Random(seed)
    dirs = ["prune-dir-%02d" % d for d in range(n_dirs)]
    sizes = [rng.randint(100, 400) for _ in range(n_files)]

    def names(pad):
        return [("%s/file-%04d-%s.txt" % (dirs[i % n_dirs], i, "n" * pad), sizes[i])
                for i in range(n_files)]

    pad = (target - manifest_estimate(dirs, names(0))) // n_files
    if pad < 0:
        raise BenchError("prune share: %d files do not fit a %d-byte manifest" % (n_files, target))
    files = names(pad)
    share = Share(root, seed)
    os.makedirs(root)
    for rel, size in files:
        share.add(rel, size)
    return share, manifest_estimate(dirs, files)


# ---------------------------------------------------------------------------
# The host and the mirror.

class Host:
    def __init__(self, binary, share_root, work, label):
        self.port = free_port(socket.SOCK_STREAM)
        self.beacon_port = free_port(socket.SOCK_DGRAM)
        self.log_path = os.path.join(work, "%s.serve.log" % label)
        self.log_file = open(self.log_path, "wb")
        self.proc = PROCS.start(
            [binary, "--root", share_root, "--name", SHARE_NAME, "--port", str(self.port),
             "--beacon-port", str(self.beacon_port), "--broadcast", "127.0.0.1"],
            stdout=self.log_file, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        wait_listening(self.port, self.proc, "dircast-serve (%s)" % label)

    def stop(self):
        PROCS.end(self.proc)
        self.log_file.close()


def fetch_manifest(port):
    with socket.create_connection(("127.0.0.1", port), timeout=120) as s:
        s.sendall(MANIFEST_REQUEST)
        chunks = []
        while True:
            b = s.recv(1 << 16)
            if not b:
                break
            chunks.append(b)
    data = b"".join(chunks)
    if not data.startswith(b"DC-SHARE-MANIFEST/1\n") or not data.endswith(b"END\n"):
        raise BenchError("manifest incomplete (%d bytes)" % len(data))
    return data


class MirrorDirs:
    """A mirror root and a dosdevices directory, both inside the bench's
    temporary directory (never the defaults under /home/username)."""

    def __init__(self, tmp, base):
        self.base = os.path.join(tmp, base)
        self.dosdevices = os.path.join(self.base, "dosdevices")
        self.root = os.path.join(self.base, "mirror")
        for p in (self.dosdevices, self.root):
            if not os.path.realpath(p).startswith(os.path.realpath(tmp) + os.sep):
                raise BenchError("mirror path outside the temporary directory: " + p)
        os.makedirs(self.dosdevices)

    def argv(self, mirror_binary, host, extra):
        return [mirror_binary, "--host", "127.0.0.1", "--port", str(host.port),
                "--beacon-port", str(host.beacon_port), "--mirror-root", self.root,
                "--dosdevices", self.dosdevices, "--drive", "y"] + extra

    def remove(self):
        shutil.rmtree(self.base, ignore_errors=True)


class LineLog:
    """Reads a pipe in a thread and keeps every complete line with the time
    its first byte arrived. The client writes each log piece separately, so
    a line may come in several reads."""

    def __init__(self, fd, copy_path):
        self.fd = fd
        self.lines = []
        self.cond = threading.Condition()
        self.closed = False
        self.copy = open(copy_path, "w")
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        partial = b""
        partial_at = 0.0
        while True:
            try:
                chunk = os.read(self.fd, 65536)
            except OSError:
                chunk = b""
            now = time.perf_counter()
            if not chunk:
                break
            new = []
            start = 0
            while True:
                i = chunk.find(b"\n", start)
                if i < 0:
                    if start < len(chunk):
                        if not partial:
                            partial_at = now
                        partial += chunk[start:]
                    break
                if partial:
                    line, at, partial = partial + chunk[start:i], partial_at, b""
                else:
                    line, at = chunk[start:i], now
                new.append((at, line.decode("utf-8", "replace")))
                start = i + 1
            with self.cond:
                self.lines.extend(new)
                self.cond.notify_all()
        with self.cond:
            self.closed = True
            self.cond.notify_all()

    def snapshot(self):
        with self.cond:
            return list(self.lines)

    def wait_count(self, prefix, count, timeout):
        deadline = time.monotonic() + timeout
        with self.cond:
            while sum(1 for _, t in self.lines if t.startswith(prefix)) < count:
                left = deadline - time.monotonic()
                if left <= 0 or self.closed:
                    return False
                self.cond.wait(min(left, 0.5))
            return True

    def save(self):
        for at, text in self.snapshot():
            self.copy.write("%.6f %s\n" % (at, text))
        self.copy.close()


class Turn:
    def __init__(self, lines):
        self.lines = lines
        starts = [t for t, s in lines if s.startswith(CONNECTING)]
        ends = [t for t, s in lines if s == SYNC_COMPLETE or s == NO_CHANGES]
        self.start = starts[0] if starts else None
        self.end = ends[-1] if ends else None
        self.seconds = (self.end - self.start) if starts and ends else None
        texts = [s for _, s in lines]
        self.fallback = any(s.startswith(DELTA_FAILED) for s in texts)
        self.pruned = sum(1 for s in texts if s.startswith(PRUNED))
        self.changed = self.skipped = None
        for s in texts:
            if s.startswith(DELTA_SUMMARY):
                parts = s[len(DELTA_SUMMARY):].split()
                self.changed, self.skipped = int(parts[0]), int(parts[2])
        if NO_CHANGES in texts:
            self.kind = "nochange"
        elif self.changed is not None and not self.fallback and SYNC_COMPLETE in texts:
            self.kind = "delta"
        elif SYNC_COMPLETE in texts:
            self.kind = "full"
        else:
            self.kind = "failed"

    def describe(self):
        return "kind=%s changed=%s skipped=%s pruned=%d fallback=%s" % (
            self.kind, self.changed, self.skipped, self.pruned, self.fallback)


class LongLivedMirror:
    """dircast-mirror --poll 1: turns are split at its "sleeping" lines."""

    def __init__(self, mirror_binary, host, dirs, log_path):
        self.proc = PROCS.start(dirs.argv(mirror_binary, host, ["--poll", "1"]),
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL)
        self.log = LineLog(self.proc.stdout.fileno(), log_path)
        self.turns_seen = 0
        self.stopped = False

    def turns(self):
        out, current = [], []
        for at, text in self.log.snapshot():
            if text.startswith(SLEEPING):
                out.append(Turn(current))
                current = []
            else:
                current.append((at, text))
        return out

    def next_turn(self, timeout):
        """Lets the client run (if paused) until its next turn has ended and
        it sleeps again; pauses it there and returns that turn."""
        want = self.turns_seen + 1
        self.resume()
        if not self.log.wait_count(SLEEPING, want, timeout):
            raise BenchError("mirror turn %d did not end within %d s (exit %s)" %
                             (want, timeout, self.proc.poll()))
        self.pause()
        self.turns_seen = want
        return self.turns()[want - 1]

    # The client is paused only inside its poll sleep, so no turn is ever cut.
    def pause(self):
        if not self.stopped:
            self.proc.send_signal(signal.SIGSTOP)
            self.stopped = True

    def resume(self):
        if self.stopped:
            self.proc.send_signal(signal.SIGCONT)
            self.stopped = False

    def stop(self):
        PROCS.end(self.proc)
        self.log.thread.join(timeout=5)
        self.log.save()


def run_once_mirror(mirror_binary, host, dirs, log_path):
    with open(log_path, "wb") as out:
        t0 = time.perf_counter()
        p = PROCS.start(dirs.argv(mirror_binary, host, ["--once"]), stdout=out,
                        stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        rc = p.wait(timeout=300)
        seconds = time.perf_counter() - t0
    with open(log_path, "rb") as f:
        ok = rc == 0 and (SYNC_COMPLETE + "\n").encode() in f.read()
    return seconds, ok


# ---------------------------------------------------------------------------
# Baselines.

class RsyncDaemon:
    def __init__(self, tmp, modules):
        self.port = free_port(socket.SOCK_STREAM)
        conf = os.path.join(tmp, "rsyncd.conf")
        user = pwd.getpwuid(os.getuid()).pw_name
        group = grp.getgrgid(os.getgid()).gr_name
        lines = ["pid file = %s" % os.path.join(tmp, "rsyncd.pid"),
                 "log file = %s" % os.path.join(tmp, "rsyncd.log"),
                 "use chroot = no", "read only = yes", "munge symlinks = no",
                 "uid = %s" % user, "gid = %s" % group, ""]
        for name, path in modules.items():
            lines += ["[%s]" % name, "    path = %s" % path, ""]
        with open(conf, "w") as f:
            f.write("\n".join(lines))
        self.proc = PROCS.start(["rsync", "--daemon", "--no-detach", "--config=" + conf,
                                 "--address=127.0.0.1", "--port=%d" % self.port],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                stdin=subprocess.DEVNULL)
        wait_listening(self.port, self.proc, "rsync daemon")

    def pull(self, module, dest):
        """rsync -a --delete from the daemon into dest; returns wall seconds
        after the daemon's child for this connection has been reaped."""
        os.makedirs(dest, exist_ok=True)
        t0 = time.perf_counter()
        r = subprocess.run(["rsync", "-a", "--delete",
                            "rsync://127.0.0.1:%d/%s/" % (self.port, module), dest + "/"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        seconds = time.perf_counter() - t0
        if r.returncode != 0:
            raise BenchError("rsync failed: %s" % r.stderr.decode(errors="replace").strip())
        wait_no_children(self.proc.pid)
        return seconds

    def stop(self):
        PROCS.end(self.proc)


def tar_stream(share, dest):
    """tar -cf - of the share into one loopback TCP connection, tar -xf - on
    the other end into dest; wall seconds until both have ended."""
    os.makedirs(dest, exist_ok=True)
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        t0 = time.perf_counter()
        sender = socket.create_connection(listener.getsockname())
        receiver, _ = listener.accept()
        rx = subprocess.Popen(["tar", "-xBf", "-", "-C", dest], stdin=receiver)
        tx = subprocess.Popen(["tar", "-cf", "-", "-C", share, "."], stdout=sender)
        receiver.close()
        sender.close()
        tx_rc = tx.wait(timeout=300)
        rx_rc = rx.wait(timeout=300)
        seconds = time.perf_counter() - t0
    if tx_rc or rx_rc:
        raise BenchError("tar stream failed (%s, %s)" % (tx_rc, rx_rc))
    return seconds


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
        finally:
            client.stop()
    finally:
        host.stop()


def suite_prune(ctx, label, serve_binary, mirror_binary, runs, baselines):
    """A delta of one changed file against a manifest near the client's limit.
    The share of the suite with baselines is the rsync daemon's "prune"."""
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
        R.check("prune share: manifest below the client's %d-byte limit" % MANIFEST_LIMIT,
                len(manifest) < MANIFEST_LIMIT, "%d bytes (estimate %d)" % (len(manifest), estimate))
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


# ---------------------------------------------------------------------------
# Build of the "before" host from git history.

def build_before(tmp, jobs):
    src = os.path.join(tmp, "before-src")
    os.makedirs(src)
    try:
        subprocess.run(["git", "-C", REPO, "cat-file", "-e", BEFORE_COMMIT + "^{commit}"],
                       check=True, stderr=subprocess.DEVNULL)
        archive = subprocess.run(["git", "-C", REPO, "archive", BEFORE_COMMIT],
                                 check=True, capture_output=True).stdout
        subprocess.run(["tar", "-x", "-C", src], input=archive, check=True)
        build = os.path.join(src, "build")
        subprocess.run(["cmake", "-S", src, "-B", build, "-DDIRCAST_TESTS=OFF",
                        "-DCMAKE_BUILD_TYPE=RelWithDebInfo"], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        subprocess.run(["cmake", "--build", build, "--target", "dircast-serve-i386",
                        "-j", str(jobs)], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE)
    except (subprocess.CalledProcessError, OSError) as e:
        detail = getattr(e, "stderr", b"") or b""
        log("cannot build the host of %s: %s %s" % (BEFORE_COMMIT[:7], e,
                                                     detail.decode(errors="replace")[-400:]))
        return None
    binary = os.path.join(src, "build", "dircast-serve")
    return binary if os.access(binary, os.X_OK) else None


# ---------------------------------------------------------------------------
# Report.

def fmt_s(x):
    if x is None:
        return "n/a"
    return "%.3f s" % x if x >= 0.01 else "%.2f ms" % (x * 1000)


def fmt_ratio(a, b):
    if a is None or b is None or b == 0:
        return "n/a"
    return "%.2f×" % (a / b)


def fmt_bytes(n):
    if n is None:
        return "n/a"
    if n >= MIB:
        return "%.1f MiB" % (n / MIB)
    if n >= 1024:
        return "%.1f KiB" % (n / 1024)
    return "%d B" % n


def n_of(R, key):
    return len(R.samples.get(key, []))


def report(ctx, args):
    R = ctx.results
    out = []
    files, total, n_dirs = ctx.small_share_info
    out.append("# dircast benchmark")
    out.append("")
    out.append("Written by `make bench` (bench/run_bench.py). All traffic on 127.0.0.1; "
               "every process is real. Times are wall-clock medians of n runs; "
               "a ratio below 1.00× means dircast took less time than the baseline. Shares, "
               "mirrors and copies are all in one temporary directory (%s)." % ctx.tmp_fs)
    out.append("")
    out.append("## Machine")
    out.append("")
    for k, v in ctx.machine:
        out.append("- %s: %s" % (k, v))
    out.append("")

    out.append("## Wall time against rsync and tar")
    out.append("")
    out.append("Share: %d files in %d nested directories, %.2f MiB. rsync: `rsync -a --delete "
               "rsync://127.0.0.1:PORT/mod/ dest/` from a daemon (no chroot, this user). "
               "tar: `tar -cf -` into one loopback TCP connection, `tar -xf -` from it. "
               "dircast first sync: `dircast-mirror --once` (manifest, archive, write); "
               "poll and delta: one turn of a long-lived `dircast-mirror --poll 1`, from its "
               "turn's first log line to `sync complete` / `no share changes`. Each delta also "
               "removes %d files." % (files, n_dirs, total / MIB, REMOVED_PER_DELTA))
    out.append("")
    x64 = bool(R.samples.get("x86_64.first"))
    if x64:
        out.append("The programs are the main (i386) build. For comparison only, the last two "
                   "columns run the same bench with the x86_64 build of both programs (see the "
                   "cost of one system call by each entry, below).")
        out.append("")
    out.append("| measurement | dircast | rsync daemon | tar stream | dircast ÷ rsync | dircast ÷ tar |%s" %
               (" dircast x86_64 build | x86_64 ÷ rsync |" if x64 else ""))
    out.append("|---|---|---|---|---|---|%s" % ("---|---|" if x64 else ""))
    rows = [("first sync", "first"), ("unchanged-share poll", "poll")] + \
        [("delta, %d changed + %d removed" % (k, REMOVED_PER_DELTA), "delta%d" % k) for k in DELTA_SIZES]
    for title, key in rows:
        d, r = R.median("after." + key), R.median("rsync." + key)
        t = R.median("tar." + key)
        out.append("| %s | %s (n=%d) | %s (n=%d) | %s | %s | %s |" % (
            title, fmt_s(d), n_of(R, "after." + key), fmt_s(r), n_of(R, "rsync." + key),
            "%s (n=%d)" % (fmt_s(t), n_of(R, "tar." + key)) if t is not None else "—",
            fmt_ratio(d, r), fmt_ratio(d, t) if t is not None else "—") +
            (" %s (n=%d) | %s |" % (fmt_s(R.median("x86_64." + key)), n_of(R, "x86_64." + key),
                                   fmt_ratio(R.median("x86_64." + key), r)) if x64 else ""))
    out.append("")

    out.append("## Before and after: the host's blind 250 ms sleep (%s) against this build" %
               BEFORE_COMMIT[:7])
    out.append("")
    if ctx.before_serve:
        out.append("The same bench with the host built from %s (its dircast-serve only; the "
                   "client is this build's)." % BEFORE_COMMIT[:7])
        out.append("")
        out.append("| measurement | before (%s) | after (this build) | speedup before ÷ after |" %
                   BEFORE_COMMIT[:7])
        out.append("|---|---|---|---|")
        for title, key in rows:
            b, a = R.median("before." + key), R.median("after." + key)
            out.append("| %s | %s (n=%d) | %s (n=%d) | %s |" % (
                title, fmt_s(b), n_of(R, "before." + key), fmt_s(a), n_of(R, "after." + key),
                fmt_ratio(b, a)))
    else:
        out.append("Not measured (--skip-before, or the host of %s could not be built from this "
                   "clone's history)." % BEFORE_COMMIT[:7])
    out.append("")

    out.append("## Prune pass against a manifest near the client's limit")
    out.append("")
    out.append("%s files with long names; manifest %s bytes (the client takes at most %d). "
               "One file changed per run; the delta turn prunes the mirror against the manifest "
               "and compares every mirrored file with it." % (
                   R.values.get("prune.files", "n/a"), R.values.get("prune.manifest_bytes", "n/a"),
                   MANIFEST_LIMIT))
    out.append("")
    out.append("| measurement | dircast | rsync daemon | dircast ÷ rsync |%s" %
               (" dircast x86_64 build | x86_64 ÷ rsync |" if x64 else ""))
    out.append("|---|---|---|---|%s" % ("---|---|" if x64 else ""))
    r = R.median("rsync.prune")
    for title, key, base in (("delta, 1 changed of %s" % R.values.get("prune.files", "n/a"), "prune", r),
                             ("unchanged poll, same share (manifest round trip only)", "prune_poll", None)):
        d = R.median("after." + key)
        out.append("| %s | %s (n=%d) | %s | %s |" % (
            title, fmt_s(d), n_of(R, "after." + key),
            "%s (n=%d)" % (fmt_s(r), n_of(R, "rsync.prune")) if base else "—",
            fmt_ratio(d, base) if base else "—") +
            (" %s (n=%d) | %s |" % (fmt_s(R.median("x86_64." + key)), n_of(R, "x86_64." + key),
                                   fmt_ratio(R.median("x86_64." + key), base) if base else "—")
             if x64 else ""))
    out.append("")

    out.append("## Host cost per manifest request, %s share of large files" %
               fmt_bytes(R.values.get("big.bytes")))
    out.append("")
    if "big.bytes" in R.values:
        out.append("%d files of %s of pseudo-random data (written, not sparse). CPU: utime+stime "
                   "of the host process from /proc/PID/stat (%d ticks/s); bytes read: rchar from "
                   "/proc/PID/io. The share is left untouched for more than 3 s before the cold "
                   "request, so that the cache may trust what it hashed. The rsync row is its "
                   "daemon's no-change check (`rsync -a --delete` against a complete copy), "
                   "counted on the daemon including the child it forks per connection." % (
                       R.values["big.files"], fmt_bytes(R.values["big.per_file"]), CLK_TCK))
        out.append("")
        out.append("| request | CPU s per request | bytes read per request | wall per request |")
        out.append("|---|---|---|---|")

        def host_row(title, cost):
            if cost is None:
                return
            out.append("| %s | %.4f (%d ticks / %d) | %s (%d B) | %s |" % (
                title, cost["cpu"], cost["ticks"], cost["repeat"], fmt_bytes(cost["rchar"]),
                cost["rchar"], fmt_s(cost["wall"])))
        host_row("dircast, cold host: first manifest", R.values.get("after.big_cold"))
        host_row("dircast, warm host: no-change manifest (mean of 20)", R.values.get("after.big_warm"))
        host_row("dircast, warm host: after changing one file", R.values.get("after.big_changed"))
        host_row("dircast host of %s: manifest (no cache)" % BEFORE_COMMIT[:7],
                 R.values.get("before.big_cold"))
        if R.samples.get("rsync.big_rchar"):
            rc = R.median("rsync.big_rchar")
            out.append("| rsync daemon: no-change check (median of %d) | %.4f | %s (%d B) | %s |" % (
                n_of(R, "rsync.big_rchar"), R.median("rsync.big_cpu"), fmt_bytes(rc), rc,
                fmt_s(R.median("rsync.big_poll"))))
    out.append("")

    costs = R.values.get("syscalls")
    if costs:
        out.append("## Cost of one system call on this machine")
        out.append("")
        out.append("getppid in a loop, static freestanding programs built here, best of 3. "
                   "dircast does a few system calls per file and per manifest line, so this "
                   "price sets much of its wall time.")
        out.append("")
        out.append("| entry | µs per call |")
        out.append("|---|---|")
        for name, us in costs.items():
            out.append("| %s | %.3f |" % (name, us))
        out.append("")

    out.append("## Idle host beacons")
    out.append("")
    if "beacon.count" in R.values:
        out.append("%d beacons received on 127.0.0.1 in %.1f s from the first one on: %.1f per second." % (
            R.values["beacon.count"], R.values["beacon.seconds"], R.values["beacon.rate"]))
    out.append("")

    targets = evaluate_targets(ctx)
    out.append("## Targets")
    out.append("")
    out.append("| target | measured | result |")
    out.append("|---|---|---|")
    for name, measured, verdict in targets:
        out.append("| %s | %s | %s |" % (name, measured, verdict))
    out.append("")

    failed = [c for c in R.checks if not c[1]]
    out.append("## Correctness checks")
    out.append("")
    out.append("%d checks (every copy compared file by file with its share after every sync; "
               "every delta turn fetched and pruned exactly what changed): %d passed, %d failed." % (
                   len(R.checks), len(R.checks) - len(failed), len(failed)))
    for name, _, detail in failed[:20]:
        out.append("- FAILED: %s %s" % (name, detail))
    out.append("")
    if R.notes:
        out.append("## Notes")
        out.append("")
        for n in R.notes:
            out.append("- " + n)
        out.append("")

    out.append("## All samples (seconds)")
    out.append("")
    for key in sorted(R.samples):
        if key.endswith("_rchar"):
            out.append("- %s (bytes): %s" % (key, ", ".join("%d" % s for s in R.samples[key])))
        else:
            out.append("- %s: %s" % (key, ", ".join("%.4f" % s for s in R.samples[key])))
    out.append("")
    return "\n".join(out), targets, failed


def evaluate_targets(ctx):
    R = ctx.results
    t = []

    def no_slower(name, key, base_key, factor=1.0):
        d, b = R.median(key), R.median(base_key)
        if d is None or b is None:
            t.append((name, "n/a", "n/a"))
            return
        ratio = d / b
        t.append((name, "%.2f×" % ratio, "PASS" if ratio <= factor else "FAIL"))

    no_slower("first sync no slower than rsync", "after.first", "rsync.first")
    no_slower("first sync within 2× of the tar stream", "after.first", "tar.first", 2.0)
    no_slower("unchanged-share poll no slower than rsync", "after.poll", "rsync.poll")
    no_slower("delta 200 no slower than rsync", "after.delta200", "rsync.delta200")
    b, a = R.median("before.delta200"), R.median("after.delta200")
    if a and b:
        t.append(("delta 200 at least 20× faster than the blind-sleep host (%s)" % BEFORE_COMMIT[:7],
                  "%.1f×" % (b / a), "PASS" if b / a >= 20 else "FAIL"))
    else:
        t.append(("delta 200 at least 20× faster than the blind-sleep host", "n/a", "n/a"))

    cold = R.values.get("after.big_cold")
    warm = R.values.get("after.big_warm")
    changed = R.values.get("after.big_changed")
    share = R.values.get("big.bytes")
    if cold and share:
        ok = abs(cold["rchar"] - share) <= MIB
        t.append(("cold manifest reads the share once (bytes read = share size %d B)" % share,
                  "%d B (%.3f× share)" % (cold["rchar"], cold["rchar"] / share),
                  "PASS" if ok else "FAIL"))
    if warm:
        t.append(("no-change manifest reads < 1 MiB", fmt_bytes(warm["rchar"]),
                  "PASS" if warm["rchar"] < MIB else "FAIL"))
    if cold and warm:
        # Ticks are coarse: a warm total of 0 ticks counts as one tick.
        warm_cpu = max(warm["ticks"], 1) / CLK_TCK / warm["repeat"]
        ratio = cold["cpu"] / warm_cpu
        bound = "≥ " if warm["ticks"] == 0 else ""
        t.append(("no-change manifest CPU ≥ 50× lower than cold",
                  "%s%.0f× (cold %.3f s, warm %.5f s)" % (bound, ratio, cold["cpu"], warm["cpu"]),
                  "PASS" if ratio >= 50 else "FAIL"))
    if changed and R.values.get("big.per_file"):
        per_file = R.values["big.per_file"]
        ok = per_file <= changed["rchar"] <= per_file + MIB
        t.append(("a changed file is still read and hashed (bytes read ≈ one file, %d B)" % per_file,
                  "%d B" % changed["rchar"], "PASS" if ok else "FAIL"))
    rate = R.values.get("beacon.rate")
    if rate is not None:
        t.append(("idle host sends 3 to 5 beacons a second", "%.1f /s" % rate,
                  "PASS" if 3 <= rate <= 5 else "FAIL"))
    return t


# ---------------------------------------------------------------------------

class Context:
    pass


def load_average():
    try:
        with open("/proc/loadavg") as f:
            return " ".join(f.read().split()[:3])
    except OSError:
        return "?"


def cpu_busy(seconds=1.0):
    """Share of all CPUs busy over the next `seconds`, from /proc/stat."""
    def sample():
        with open("/proc/stat") as f:
            v = [int(x) for x in f.readline().split()[1:]]
        return sum(v), v[3] + v[4]
    try:
        t0, i0 = sample()
        time.sleep(seconds)
        t1, i1 = sample()
        return "%.0f%%" % (100.0 * (1 - (i1 - i0) / max(1, t1 - t0)))
    except (OSError, ValueError, IndexError):
        return "?"


def filesystem_of(path):
    best, kind = "", "?"
    try:
        with open("/proc/mounts") as f:
            for line in f:
                fields = line.split()
                mount = fields[1]
                if (path == mount or path.startswith(mount.rstrip("/") + "/")) and len(mount) >= len(best):
                    best, kind = mount, fields[2]
    except OSError:
        pass
    return "%s on %s" % (kind, best or "?")


def machine_facts(ctx):
    cpu = "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = "?"
    try:
        with open("/proc/meminfo") as f:
            mem = "%.1f GiB" % (int(f.readline().split()[1]) / 1024 / 1024)
    except OSError:
        pass
    head = subprocess.run(["git", "-C", REPO, "rev-parse", "--short", "HEAD"],
                          capture_output=True, text=True).stdout.strip() or "?"
    dirty = subprocess.run(["git", "-C", REPO, "status", "--porcelain", "--untracked-files=no"],
                           capture_output=True, text=True).stdout.strip()
    return [
        ("date", datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC")),
        ("uname -a", first_line(["uname", "-a"])),
        ("CPU", "%s, %d cores online" % (cpu, os.cpu_count() or 0)),
        ("memory", mem),
        ("dircast", "commit %s%s, programs from %s" % (
            head, " with uncommitted changes" if dirty else "", ctx.build_label)),
        ("rsync", first_line(["rsync", "--version"]) if ctx.rsync else "not available"),
        ("tar", first_line(["tar", "--version"])),
        ("python", sys.version.split()[0]),
        ("temporary directory", "%s (%s)" % (ctx.tmp, ctx.tmp_fs)),
        ("load", "load average %s at the start, %s at the end; CPU busy in the second before "
                 "the start: %s" % (ctx.load_start, load_average(), ctx.busy_start)),
        ("runs", "%d per measurement (%d for the 3811aaf host, %d for its 200-file delta)" % (
            ctx.args.runs, ctx.args.before_runs, ctx.args.before_runs_200)),
    ]


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
    ap.add_argument("--skip-x86-64", action="store_true",
                    help="do not measure the x86_64 build beside the i386 one")
    ap.add_argument("--results", default=os.path.join(REPO, "bench", "RESULTS.md"),
                    help="where to write the report (default bench/RESULTS.md)")
    ap.add_argument("--no-results", action="store_true", help="print only, write no file")
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

    ctx.tmp = tempfile.mkdtemp(prefix="dircast-bench-",
                               dir=pick_tmp_base(args.tmp_base, (args.big_mib * 5 // 2 + 256) * MIB))
    ctx.tmp_fs = filesystem_of(os.path.realpath(ctx.tmp))
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
        if not args.skip_before:
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
            })
        suite_small(ctx, "after", ctx.serve, ctx.mirror, args.runs, args.runs, baselines=True)
        suite_prune(ctx, "after", ctx.serve, ctx.mirror, args.runs, baselines=True)
        if ctx.x86_64:
            serve64, mirror64 = ctx.x86_64
            suite_small(ctx, "x86_64", serve64, mirror64, args.runs, args.runs, baselines=False)
            suite_prune(ctx, "x86_64", serve64, mirror64, args.runs, baselines=False)
        if ctx.before_serve:
            suite_small(ctx, "before", ctx.before_serve, ctx.mirror, args.before_runs, args.before_runs_200,
                        baselines=False)
        suite_beacons(ctx)
        ctx.results.values["syscalls"] = measure_syscalls(ctx)
        suite_big(ctx, args.big_mib, args.big_files, args.runs)
        complete = True
    except KeyboardInterrupt:
        log("interrupted")
        PROCS.end_all()
        if not args.keep:
            shutil.rmtree(ctx.tmp, ignore_errors=True)
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
