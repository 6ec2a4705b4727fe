"""The systems under test and their peers: dircast-serve, dircast-mirror
(once, or long-lived and read turn by turn), the host of an older commit,
an rsync daemon and a tar stream."""

import grp
import os
import pwd
import shutil
import signal
import socket
import subprocess
import threading
import time

from common import (BEFORE_COMMIT, CONNECTING, DELTA_FAILED, DELTA_SUMMARY, MANIFEST_REQUEST,
                    NO_CHANGES, PRUNED, REPO, SENDING_FILE, SHARE_NAME, SLEEPING, SYNC_COMPLETE, BenchError,
                    log)
from processes import PROCS, children_of, free_port, peak_rss_kib, read_reply, wait_listening, wait_no_children


# ---------------------------------------------------------------------------
# The host and the mirror.

class Host:
    def __init__(self, binary, share_root, work, label, extra=()):
        self.port = free_port(socket.SOCK_STREAM)
        self.beacon_port = free_port(socket.SOCK_DGRAM)
        self.log_path = os.path.join(work, "%s.serve.log" % label)
        self.log_file = open(self.log_path, "wb")
        self.proc = PROCS.start(
            [binary, "--root", share_root, "--name", SHARE_NAME, "--port", str(self.port),
             "--beacon-port", str(self.beacon_port), "--broadcast", "127.0.0.1"] + list(extra),
            stdout=self.log_file, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        wait_listening(self.port, self.proc, "dircast-serve (%s)" % label)

    def sent_files(self):
        """How many "sending file" lines the host has logged so far."""
        with open(self.log_path, "rb") as f:
            return f.read().count(SENDING_FILE)

    def stop(self):
        PROCS.end(self.proc)
        self.log_file.close()


def fetch_manifest(port):
    data = read_reply(port, MANIFEST_REQUEST, 120)
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
    its first byte arrived. The client writes a line at a time, but a pipe
    read may still end inside one (and a very long line goes in pieces), so
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

    def __init__(self, mirror_binary, host, dirs, log_path, extra=()):
        self.proc = PROCS.start(dirs.argv(mirror_binary, host, ["--poll", "1"] + list(extra)),
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

    def peak_kib(self):
        """VmHWM so far; exact while the client is paused in its sleep."""
        return peak_rss_kib(self.proc.pid)

    def stop(self):
        PROCS.end(self.proc)
        self.log.thread.join(timeout=5)
        self.log.save()


class OnceRun:
    """One dircast-mirror --once run: wall seconds, whether it ended with
    "sync complete", its log and its peak resident memory (KiB)."""

    def __init__(self, seconds, rc, text, peak_kib):
        self.seconds = seconds
        self.rc = rc
        self.text = text
        self.lines = text.splitlines()
        self.ok = rc == 0 and SYNC_COMPLETE in self.lines
        self.peak_kib = peak_kib

    def count(self, prefix):
        return sum(1 for s in self.lines if s.startswith(prefix))


TIME_COMMAND = "/usr/bin/time"
MAX_RSS = "Maximum resident set size (kbytes):"


def run_once_measured(mirror_binary, host, dirs, log_path, extra=(), timeout=1800):
    """dircast-mirror --once under GNU time -v, which reports the kernel's
    high-water mark of the mirror's resident memory once it has exited (the
    same figure as VmHWM; it can read a little high, never low, since the
    fork that execs the mirror counts too)."""
    rss_path = log_path + ".time"
    argv = [TIME_COMMAND, "-v", "-o", rss_path] + dirs.argv(mirror_binary, host, ["--once"] + list(extra))
    with open(log_path, "wb") as out:
        t0 = time.perf_counter()
        p = PROCS.start(argv, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        try:
            rc = p.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            for kid in children_of(p.pid):
                os.kill(kid, signal.SIGKILL)
            PROCS.end(p)
            raise BenchError("dircast-mirror --once did not end within %d s" % timeout)
        seconds = time.perf_counter() - t0
    with open(log_path, "rb") as f:
        text = f.read().decode("utf-8", "replace")
    peak = None
    with open(rss_path) as f:
        for line in f:
            if line.strip().startswith(MAX_RSS):
                peak = int(line.split(":")[1])
    return OnceRun(seconds, rc, text, peak)


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


def tar_stream(share, dest, timeout=300):
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
        tx_rc = tx.wait(timeout=timeout)
        rx_rc = rx.wait(timeout=timeout)
        seconds = time.perf_counter() - t0
    if tx_rc or rx_rc:
        raise BenchError("tar stream failed (%s, %s)" % (tx_rc, rx_rc))
    return seconds


# ---------------------------------------------------------------------------
# Build of the "before" host from git history.

def build_host_of(commit, tmp, jobs, name):
    """dircast-serve of an older commit, from `git archive` into tmp/name; None
    when it cannot be built (a shallow clone without it, no compiler)."""
    src = os.path.join(tmp, name)
    os.makedirs(src)
    try:
        subprocess.run(["git", "-C", REPO, "cat-file", "-e", commit + "^{commit}"],
                       check=True, stderr=subprocess.DEVNULL)
        archive = subprocess.run(["git", "-C", REPO, "archive", commit],
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
        log("cannot build the host of %s: %s %s" % (commit[:7], e,
                                                     detail.decode(errors="replace")[-400:]))
        return None
    binary = os.path.join(src, "build", "dircast-serve")
    return binary if os.access(binary, os.X_OK) else None


def build_before(tmp, jobs):
    return build_host_of(BEFORE_COMMIT, tmp, jobs, "before-src")
