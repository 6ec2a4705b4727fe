"""Processes the bench starts, the ports they take and what /proc says
about their CPU time, reads and children."""

import os
import signal
import socket
import subprocess
import threading
import time

from common import BenchError


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


def peak_rss_kib(pid):
    """VmHWM of a live process: the most resident memory it has had, in KiB."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise BenchError("no VmHWM for process %d" % pid)


def read_reply(port, request, timeout):
    """Sends one request to 127.0.0.1:port and reads the answer until the
    host closes; socket errors and time-outs are the caller's."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(request)
        chunks = []
        while True:
            b = s.recv(1 << 16)
            if not b:
                break
            chunks.append(b)
    return b"".join(chunks)


class BeaconTap:
    """Every beacon that comes to a UDP port on 127.0.0.1 (0: a free one),
    with the time it came, taken in a thread until stop()."""

    def __init__(self, port=0):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", port))
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.beacons = []
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while self.running:
            try:
                data, _ = self.sock.recvfrom(2048)
                self.beacons.append((time.perf_counter(), data))
            except socket.timeout:
                pass
            except OSError:
                break

    def stop(self):
        self.running = False
        self.thread.join(timeout=2)
        self.sock.close()
