"""One peer address holding every slot, and the others beside it.

256 `GET archive` readers of a 30 MB share, all from 127.0.0.1, each taking
about 1.5 KiB a second (above the host's reader floor) and connecting again
whenever the host closes one; beside them, a manifest asked from 127.0.0.2
twenty times (the time to the whole answer, p95 under 100 ms is the target),
then 64 `dircast-mirror --once` from 127.0.0.3 started together (all must
end with status 0 and the share's tree).

Run: python3 bench/fairness.py [BUILD_DIR] (as root, or where unshare -rn is
allowed). It runs in a network namespace of its own, whose loopback routes
give each 127.0.0.N its own source address, as separate machines would have
(the mirrors cannot be told which address to connect from). The host
beacons to 127.0.0.1 only; everything it writes is in a temporary
directory, removed at the end.
"""

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

from common import percentile
from processes import PROCS, free_port, proc_cpu_ticks, wait_listening
from shares import tree_digest, write_random_file

HOG_READERS = 256
HOG_RATE = 1536            # bytes a second each
MANIFEST_TRIES = 20
MANIFEST_TARGET_MS = 100
MIRRORS = 64
MANIFEST_REQUEST = b"GET manifest DC-SHARE/1\n\n"
ARCHIVE_REQUEST = b"GET archive DC-SHARE/1\n\n"


def log(message):
    print("fairness: " + message, flush=True)


def enter_namespace():
    """Re-runs this script in a network namespace of its own, once."""
    if os.environ.get("DIRCAST_FAIRNESS_NETNS") == "1":
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        for address in ("127.0.0.2", "127.0.0.3"):
            subprocess.run(["ip", "route", "add", "local", address + "/32", "dev", "lo", "src", address,
                            "table", "local"], check=True)
        return
    env = dict(os.environ, DIRCAST_FAIRNESS_NETNS="1")
    unshare = ["unshare", "-n"] if os.geteuid() == 0 else ["unshare", "-rn"]
    os.execvpe("unshare", unshare + [sys.executable, os.path.abspath(__file__)] + sys.argv[1:], env)


def connect_from(address, port, receive_buffer=None):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind((address, 0))
    if receive_buffer:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    s.settimeout(30)
    s.connect((address, port))
    return s


def hog_reader(port, stop, counts):
    """A slow reader that connects again each time its connection ends."""
    while not stop.is_set():
        try:
            s = connect_from("127.0.0.1", port, 4096)
            s.sendall(ARCHIVE_REQUEST)
            counts["connections"] += 1
            while not stop.is_set():
                if not s.recv(HOG_RATE):
                    break
                stop.wait(1.0)
            s.close()
        except OSError:
            stop.wait(0.1)


def hog_main(port):
    """The readers, in a process of their own, so that their threads never
    delay the measured client; says "ready" once all have connected."""
    stop = threading.Event()
    counts = {"connections": 0}
    for _ in range(HOG_READERS):
        threading.Thread(target=hog_reader, args=(port, stop, counts), daemon=True).start()
    while counts["connections"] < HOG_READERS:
        time.sleep(0.1)
    print("ready", flush=True)
    sys.stdin.read()
    print("connections %d" % counts["connections"], flush=True)
    return 0


def manifest_time_ms(port):
    started = time.perf_counter()
    with connect_from("127.0.0.2", port) as s:
        s.sendall(MANIFEST_REQUEST)
        reply = b""
        while True:
            b = s.recv(65536)
            if not b:
                break
            reply += b
    return (time.perf_counter() - started) * 1000, reply.endswith(b"\nEND\n")


def settle(pid):
    """Waits until the host spends less than a tenth of a second's CPU time
    in a second: the readers' windows are full and it only keeps them fed."""
    started = time.perf_counter()
    ticks = os.sysconf("SC_CLK_TCK")
    while True:
        before = proc_cpu_ticks(pid)
        time.sleep(1)
        if proc_cpu_ticks(pid) - before < ticks / 10:
            return time.perf_counter() - started


def run_mirrors(build, tmp, port, share):
    mirrors = []
    started = time.perf_counter()
    for i in range(MIRRORS):
        base = os.path.join(tmp, "m%d" % i)
        root = os.path.join(base, "dos/c:/mirror")
        argv = [os.path.join(build, "dircast-mirror"), "--mirror-root", root, "--dosdevices",
                os.path.join(base, "dos"), "--beacon-port", str(free_port(socket.SOCK_DGRAM)),
                "--host", "127.0.0.3", "--port", str(port), "--once"]
        os.makedirs(base)
        out = open(os.path.join(base, "mirror.log"), "w")
        mirrors.append((PROCS.start(argv, stdout=out, stderr=subprocess.STDOUT), root))
    statuses = [p.wait(timeout=600) for p, _ in mirrors]
    seconds = time.perf_counter() - started
    expected = tree_digest(share)
    whole = sum(1 for (_, root), status in zip(mirrors, statuses)
                if status == 0 and tree_digest(root) == expected)
    for _, root in mirrors:
        shutil.rmtree(os.path.dirname(os.path.dirname(os.path.dirname(root))), ignore_errors=True)
    return whole, seconds


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    enter_namespace()
    tmp = tempfile.mkdtemp(prefix="dircast-fairness-")
    try:
        share = os.path.join(tmp, "share")
        os.makedirs(share)
        write_random_file(os.path.join(share, "big.bin"), 30 * 1024 * 1024)
        time.sleep(3)  # a file changed in the last two seconds is hashed for every manifest
        port = free_port(socket.SOCK_STREAM)
        serve_log = open(os.path.join(tmp, "serve.log"), "w")
        host = PROCS.start([os.path.join(build, "dircast-serve"), "--root", share, "--port", str(port),
                            "--beacon-port", str(free_port(socket.SOCK_DGRAM)), "--broadcast", "127.0.0.1"],
                           stdout=serve_log, stderr=subprocess.STDOUT)
        wait_listening(port, host, "dircast-serve")
        hog = PROCS.start([sys.executable, os.path.abspath(__file__), "hog", str(port)],
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        hog.stdout.readline()
        log("%d readers from 127.0.0.1 hold the table; the host fills their windows for %.1f s"
            % (HOG_READERS, settle(host.pid)))

        times = []
        for _ in range(MANIFEST_TRIES):
            ms, whole = manifest_time_ms(port)
            times.append(ms if whole else float("inf"))
            time.sleep(0.25)
        p95 = percentile(times, 95)
        log("tries, ms: " + " ".join("%.1f" % t for t in times))
        log("manifest from 127.0.0.2: p50 %.1f ms, p95 %.1f ms, max %.1f ms (target p95 < %d ms): %s"
            % (percentile(times, 50), p95, max(times), MANIFEST_TARGET_MS,
               "met" if p95 < MANIFEST_TARGET_MS else "MISSED"))

        whole, seconds = run_mirrors(build, tmp, port, share)
        log("%d of %d mirrors from 127.0.0.3 complete, in %.1f s: %s"
            % (whole, MIRRORS, seconds, "met" if whole == MIRRORS else "MISSED"))
        hog.stdin.close()
        log("the readers connected %s times in all" % hog.stdout.readline().split()[-1])
        return 0 if p95 < MANIFEST_TARGET_MS and whole == MIRRORS else 1
    finally:
        PROCS.end_all()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(hog_main(int(sys.argv[2])) if sys.argv[1:2] == ["hog"] else main())
