"""Many clients at once: the host under slow readers, 32 first syncs at once
and a storm of abusive peers, set against the serial host of 54e7c6b (one
connection at a time, to its end) built from git history in the same run.

Called from run_bench.py: run(ctx, procs, make_share) measures, report(ctx)
gives the report's lines and targets(ctx) its targets. Every host beacons to
127.0.0.1 on a free port; every share, mirror and log is inside ctx.tmp.

Run as a script, `python3 bench/concurrency.py [BUILD_DIR]` measures these
scenarios alone and prints their tables (no RESULTS.md). With "storm PORT
SECONDS" it is the storm's own process (see storm_main), so that the peers
it drives never share a Python thread with the well-behaved client whose
latency is measured.
"""

import asyncio
import hashlib
import json
import os
import random
import socket
import statistics
import subprocess
import sys
import threading
import time

from common import percentile
from processes import BeaconTap, read_reply, tcp_listening
from systems import build_host_of

# The host before this work: serial, one connection to its end, backlog 1.
SERIAL_COMMIT = "54e7c6b"
SHARE_NAME = "bench-share"
MANIFEST_REQUEST = b"GET manifest DC-SHARE/1\n\n"
ARCHIVE_REQUEST = b"GET archive DC-SHARE/1\n\n"
KIB = 1024
MIB = 1024 * 1024
SLOW_RATE = 64 * KIB          # the reader of the first scenario, bytes a second
SYNC_CLIENTS = 32
STORM_CONNECTIONS = 1000
STORM_WAVE = 50
STORM_WAVE_SECONDS = 2.5
STORM_SLOW_RATE = 256         # the storm's slow readers, bytes a second: below the floor
GOOD_INTERVAL = 0.25          # the well-behaved client asks this often
GOOD_TIMEOUT = 10.0           # and gives up on a connect or an answer after this long
SLOTS_OVERFILL = 300          # more peers than the host has slots


def log(message):
    print("bench: " + message, flush=True)


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def vm_status(pid, key):
    """A kB field of /proc/PID/status (VmHWM, VmRSS), in bytes."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def open_descriptors(pid):
    try:
        return len(os.listdir("/proc/%d/fd" % pid))
    except OSError:
        return None


# ---------------------------------------------------------------------------
# Hosts: this build, and the serial one built from git history.

def build_serial_host(tmp, jobs):
    """dircast-serve of SERIAL_COMMIT; None when it cannot be built."""
    return build_host_of(SERIAL_COMMIT, tmp, jobs, "serial-src")


class Host:
    def __init__(self, procs, binary, root, work, label):
        self.procs = procs
        self.port = free_port(socket.SOCK_STREAM)
        self.beacon_port = free_port(socket.SOCK_DGRAM)
        self.log_path = os.path.join(work, label + ".serve.log")
        self.log_file = open(self.log_path, "wb")
        self.proc = procs.start([binary, "--root", root, "--name", SHARE_NAME, "--port", str(self.port),
                                 "--beacon-port", str(self.beacon_port), "--broadcast", "127.0.0.1"],
                                stdout=self.log_file, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while not tcp_listening(self.port):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise RuntimeError("dircast-serve (%s) does not listen" % label)
            time.sleep(0.02)

    def stop(self):
        self.procs.end(self.proc)
        self.log_file.close()


def make_big_share(root, files=28, size=256 * KIB, seed=13):
    """7 MiB of pseudo-random files in two directories: an archive larger than
    any socket buffer, below the client's 8 MiB limit."""
    rng = random.Random(seed)
    for i in range(files):
        path = os.path.join(root, "part-%02d.bin" % i if i % 2 else "nested/part-%02d.bin" % i)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(rng.randbytes(size))
    return files * size


def exchange(port, request, timeout=GOOD_TIMEOUT):
    """(answer, seconds, what went wrong or None) of one request."""
    t0 = time.perf_counter()
    try:
        answer = read_reply(port, request, timeout)
    except socket.timeout:
        return b"", time.perf_counter() - t0, "timeout"
    except OSError as e:
        return b"", time.perf_counter() - t0, type(e).__name__
    return answer, time.perf_counter() - t0, None


class BeaconCounter(BeaconTap):
    """Counts beacons on a port: rate and longest gap."""

    def stop(self):
        super().stop()
        t = [at for at, _ in self.beacons]
        if len(t) < 2:
            return {"count": len(t), "rate": 0.0, "max_gap": None}
        gaps = [b - a for a, b in zip(t, t[1:])]
        return {"count": len(t), "rate": (len(t) - 1) / (t[-1] - t[0]), "max_gap": max(gaps)}


class GoodClient:
    """Asks for the manifest every GOOD_INTERVAL seconds in a thread and
    checks each answer against the one given."""

    def __init__(self, port, expected):
        self.port = port
        self.expected = expected
        self.latencies = []
        self.failures = {}
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while self.running:
            started = time.perf_counter()
            answer, seconds, error = exchange(self.port, MANIFEST_REQUEST)
            if error is None and answer != self.expected:
                error = "wrong answer (%d bytes)" % len(answer)
            if error:
                self.failures[error] = self.failures.get(error, 0) + 1
            else:
                self.latencies.append(seconds)
            time.sleep(max(0.0, GOOD_INTERVAL - (time.perf_counter() - started)))

    def stop(self):
        self.running = False
        self.thread.join()
        n = len(self.latencies) + sum(self.failures.values())
        return {"asked": n, "answered": len(self.latencies), "failures": dict(self.failures),
                "p50": percentile(self.latencies, 50), "p95": percentile(self.latencies, 95),
                "max": max(self.latencies) if self.latencies else None}


def slow_reader(port, rate, stop, out):
    """Reads the full archive at `rate` bytes a second until it ends or stop
    is set; out gets the bytes read and whether the answer was complete."""
    got = 0
    tail = b""
    t0 = time.perf_counter()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
            s.sendall(ARCHIVE_REQUEST)
            while not stop.is_set():
                ahead = got - rate * (time.perf_counter() - t0)
                if ahead > 0:
                    time.sleep(min(0.1, ahead / rate))
                    continue
                b = s.recv(8192)
                if not b:
                    break
                got += len(b)
                tail = (tail + b)[-4:]
    except OSError:
        pass
    out["bytes"] = got
    out["complete"] = tail == b"END\n"


# ---------------------------------------------------------------------------
# Scenario 1: manifests while slow readers take the archive.

def scenario_slow_readers(ctx, procs, binary, label, root, readers, seconds):
    work = os.path.join(ctx.tmp, "concurrency")
    host = Host(procs, binary, root, work, "%s-slow%d" % (label, readers))
    stop = threading.Event()
    outs = [{} for _ in range(readers)]
    threads = []
    try:
        expected, _, error = exchange(host.port, MANIFEST_REQUEST)
        if error or not expected.endswith(b"END\n"):
            raise RuntimeError("no manifest from the idle host (%s)" % error)
        beacons = BeaconCounter(host.beacon_port)
        for out in outs:
            threads.append(threading.Thread(target=slow_reader, args=(host.port, SLOW_RATE, stop, out),
                                            daemon=True))
            threads[-1].start()
        time.sleep(1.0)   # the readers hold their answers, the host's buffers are full
        good = GoodClient(host.port, expected)
        time.sleep(seconds)
        result = good.stop()
        result["beacons"] = beacons.stop()
    finally:
        stop.set()
        for t in threads:
            t.join(timeout=5)
        host.stop()
    result["readers"] = readers
    result["reader_bytes"] = [o.get("bytes", 0) for o in outs]
    return result


def serial_manifest_wait(ctx, procs, binary, root):
    """The serial host with one 64 KiB/s reader: how long one manifest waits
    (given up after 40 s)."""
    work = os.path.join(ctx.tmp, "concurrency")
    host = Host(procs, binary, root, work, "serial-slow1")
    stop = threading.Event()
    out = {}
    reader = threading.Thread(target=slow_reader, args=(host.port, SLOW_RATE, stop, out), daemon=True)
    try:
        beacons = BeaconCounter(host.beacon_port)
        reader.start()
        time.sleep(1.0)
        answer, seconds, error = exchange(host.port, MANIFEST_REQUEST, timeout=40)
        counted = beacons.stop()
    finally:
        stop.set()
        reader.join(timeout=5)
        host.stop()
    return {"seconds": seconds, "error": error, "complete": answer.endswith(b"END\n"), "beacons": counted}


# ---------------------------------------------------------------------------
# Scenario 2: 32 first syncs at once.

def tree_digest(root):
    out = {}
    for dirpath, dirnames, filenames in os.walk(root):
        rel = os.path.relpath(dirpath, root)
        for d in dirnames:
            out[os.path.normpath(os.path.join(rel, d))] = "d"
        for name in filenames:
            with open(os.path.join(dirpath, name), "rb") as f:
                out[os.path.normpath(os.path.join(rel, name))] = hashlib.sha1(f.read()).hexdigest()
    return out


def first_syncs(ctx, procs, binary, label, root, run, share_digest):
    """SYNC_CLIENTS `dircast-mirror --once` started together; wall time from
    the first start to the last exit, and how many mirrors equal the share."""
    work = os.path.join(ctx.tmp, "concurrency", "%s-syncs-%d" % (label, run))
    os.makedirs(work)
    host = Host(procs, binary, root, work, label)
    clients = []
    try:
        argvs = []
        for i in range(SYNC_CLIENTS):
            base = os.path.join(work, "client%02d" % i)
            os.makedirs(os.path.join(base, "dosdevices"))
            argvs.append((base, [ctx.mirror, "--host", "127.0.0.1", "--port", str(host.port),
                                 "--beacon-port", str(host.beacon_port), "--mirror-root",
                                 os.path.join(base, "mirror"), "--dosdevices", os.path.join(base, "dosdevices"),
                                 "--drive", "y", "--once"]))
        t0 = time.perf_counter()
        for base, argv in argvs:
            log_file = open(os.path.join(base, "mirror.log"), "wb")
            clients.append((base, log_file, procs.start(argv, stdout=log_file, stderr=subprocess.STDOUT,
                                                        stdin=subprocess.DEVNULL)))
        statuses = [p.wait(timeout=600) for _, _, p in clients]
        wall = time.perf_counter() - t0
    finally:
        for _, log_file, p in clients:
            procs.end(p)
            log_file.close()
        host.stop()
    exact = sum(1 for (base, _, _), status in zip(clients, statuses)
                if status == 0 and tree_digest(os.path.join(base, "mirror")) == share_digest)
    subprocess.run(["rm", "-rf", work])
    return {"wall": wall, "exact": exact, "statuses": statuses}


# ---------------------------------------------------------------------------
# Scenario 3: the storm. Its peers run in their own process (storm_main).

async def slow_storm_peer(port, ends_at, counts):
    """Asks for the archive through a 4 KiB window and takes STORM_SLOW_RATE
    bytes a second straight from the socket: no stream buffer in between that
    would take more from the kernel than the peer reads."""
    loop = asyncio.get_running_loop()
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    sock.setblocking(False)
    try:
        await asyncio.wait_for(loop.sock_connect(sock, ("127.0.0.1", port)), 15)
        await loop.sock_sendall(sock, ARCHIVE_REQUEST)
        while time.monotonic() < ends_at:
            if not await asyncio.wait_for(loop.sock_recv(sock, STORM_SLOW_RATE // 4), 30):
                counts["slow reader dropped"] = counts.get("slow reader dropped", 0) + 1
                break
            await asyncio.sleep(0.25)
    except (OSError, asyncio.TimeoutError):
        counts["slow reader failed"] = counts.get("slow reader failed", 0) + 1
    finally:
        sock.close()
    counts["slow"] = counts.get("slow", 0) + 1


async def storm_peer(kind, port, ends_at, counts):
    rng = random.Random()
    if kind == "slow":
        await slow_storm_peer(port, ends_at, counts)
        return
    try:
        reader, writer = await asyncio.wait_for(asyncio.open_connection("127.0.0.1", port), 15)
    except (OSError, asyncio.TimeoutError):
        counts["connect failed"] = counts.get("connect failed", 0) + 1
        return
    sock = writer.get_extra_info("socket")
    try:
        if kind == "silent":
            await asyncio.wait_for(reader.read(1), max(1.0, ends_at - time.monotonic()))
        elif kind == "garbage":
            writer.write(bytes(rng.randrange(256) for _ in range(200)))
            await writer.drain()
        else:
            writer.write(ARCHIVE_REQUEST)
            await writer.drain()
            await asyncio.wait_for(reader.read(100), 15)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
    except (OSError, asyncio.TimeoutError):
        pass
    finally:
        writer.transport.abort() if kind == "reset" else writer.close()
    counts[kind] = counts.get(kind, 0) + 1


async def storm(port, tail):
    kinds = ("silent", "garbage", "reset", "slow")
    counts = {}
    tasks = []
    waves = STORM_CONNECTIONS // STORM_WAVE
    ends_at = time.monotonic() + waves * STORM_WAVE_SECONDS + tail
    for wave in range(waves):
        for i in range(STORM_WAVE):
            tasks.append(asyncio.ensure_future(storm_peer(kinds[(wave * STORM_WAVE + i) % 4], port, ends_at, counts)))
        await asyncio.sleep(STORM_WAVE_SECONDS)
    await asyncio.gather(*tasks)
    return counts


def storm_main(argv):
    port, tail = int(argv[0]), float(argv[1])
    counts = asyncio.run(storm(port, tail))
    print(json.dumps(counts), flush=True)


def scenario_storm(ctx, procs, binary, label, root):
    work = os.path.join(ctx.tmp, "concurrency")
    host = Host(procs, binary, root, work, label + "-storm")
    tail = 10.0
    try:
        expected, _, error = exchange(host.port, MANIFEST_REQUEST)
        if error:
            raise RuntimeError("no manifest from the idle host (%s)" % error)
        beacons = BeaconCounter(host.beacon_port)
        good = GoodClient(host.port, expected)
        t0 = time.monotonic()
        storm_proc = procs.start([sys.executable, os.path.abspath(__file__), "storm", str(host.port), str(tail)],
                                 stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        out, _ = storm_proc.communicate(timeout=STORM_CONNECTIONS // STORM_WAVE * STORM_WAVE_SECONDS + 120)
        seconds = time.monotonic() - t0
        result = good.stop()
        result["beacons"] = beacons.stop()
        result["seconds"] = seconds
        result["peers"] = json.loads(out.decode() or "{}")
        result["vm_hwm"] = vm_status(host.proc.pid, "VmHWM")
    finally:
        host.stop()
    return result


# ---------------------------------------------------------------------------
# Memory: more archive readers than slots, none reading.

def scenario_full_slots(ctx, procs, binary, root):
    work = os.path.join(ctx.tmp, "concurrency")
    host = Host(procs, binary, root, work, "full-slots")
    peers = []
    try:
        rss_idle = vm_status(host.proc.pid, "VmRSS")
        for _ in range(SLOTS_OVERFILL):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.connect(("127.0.0.1", host.port))
            s.sendall(ARCHIVE_REQUEST)
            peers.append(s)
        time.sleep(3.0)
        with open(host.log_path, "rb") as f:
            text = f.read()
        result = {"rss_idle": rss_idle, "vm_hwm": vm_status(host.proc.pid, "VmHWM"),
                  "vm_rss": vm_status(host.proc.pid, "VmRSS"), "descriptors": open_descriptors(host.proc.pid),
                  "connected": text.count(b"dircast-serve: client connected\n")}
    finally:
        for s in peers:
            s.close()
        host.stop()
    try:
        size = subprocess.run(["size", binary], capture_output=True, text=True).stdout.splitlines()[1].split()
        result["text"], result["data"], result["bss"] = int(size[0]), int(size[1]), int(size[2])
    except (OSError, IndexError, ValueError):
        pass
    return result


# ---------------------------------------------------------------------------

def run(ctx, procs, make_share):
    """Every scenario; results in ctx.results.values["concurrency"]."""
    R = ctx.results
    found = R.values.setdefault("concurrency", {})
    work = os.path.join(ctx.tmp, "concurrency")
    os.makedirs(work, exist_ok=True)
    big_root = os.path.join(work, "big-share")
    found["big_bytes"] = make_big_share(big_root)
    small_root = os.path.join(work, "small-share")
    small = make_share(small_root)
    found["small_files"], found["small_bytes"] = len(small.files), small.total()
    digest = tree_digest(small_root)

    log("concurrency: building the serial host of %s" % SERIAL_COMMIT)
    serial = build_serial_host(ctx.tmp, os.cpu_count() or 2)
    if not serial:
        R.note("the serial host of %s could not be built: no serial figures" % SERIAL_COMMIT)

    log("concurrency: manifests beside slow readers")
    found["slow1"] = scenario_slow_readers(ctx, procs, ctx.serve, "after", big_root, 1, 10.0)
    found["slow8"] = scenario_slow_readers(ctx, procs, ctx.serve, "after", big_root, 8, 10.0)
    if serial:
        found["serial_slow1"] = serial_manifest_wait(ctx, procs, serial, big_root)

    log("concurrency: %d first syncs at once" % SYNC_CLIENTS)
    for label, binary in (("after", ctx.serve), ("serial", serial)):
        if not binary:
            continue
        runs = [first_syncs(ctx, procs, binary, label, small_root, run, digest) for run in range(3)]
        found["syncs_" + label] = runs
        for r in runs:
            R.add("concurrency.syncs_" + label, r["wall"])
        R.check("%d first syncs at once from the %s host all byte-exact" % (SYNC_CLIENTS, label),
                label != "after" or all(r["exact"] == SYNC_CLIENTS for r in runs),
                "exact mirrors per run: %s" % [r["exact"] for r in runs])

    for label, binary in (("after", ctx.serve), ("serial", serial)):
        if binary:
            log("concurrency: storm of %d abusive peers against the %s host" % (STORM_CONNECTIONS, label))
            found["storm_" + label] = scenario_storm(ctx, procs, binary, label, big_root)

    log("concurrency: memory with every slot busy")
    found["full_slots"] = scenario_full_slots(ctx, procs, ctx.serve, big_root)
    R.check("the host survives more readers than slots", found["full_slots"].get("connected", 0) > 0)


# ---------------------------------------------------------------------------
# Report.

def mib(n):
    return "n/a" if n is None else "%.1f MiB" % (n / MIB) if n >= MIB else "%d KiB" % (n // KIB)


def ms(x):
    return "n/a" if x is None else "%.1f ms" % (x * 1000) if x < 10 else "%.1f s" % x


def latency_cells(r):
    failures = ", ".join("%d %s" % (n, k) for k, n in sorted(r["failures"].items())) or "none"
    return "%d of %d | %s | %s | %s | %s" % (r["answered"], r["asked"], ms(r["p50"]), ms(r["p95"]),
                                             ms(r["max"]), failures)


def beacon_cells(b):
    return "%.2f /s | %s" % (b["rate"], ms(b["max_gap"]))


def sync_row(found, label, title):
    runs = found.get("syncs_" + label)
    if not runs:
        return "| %s | not measured | | | |" % title
    wall = statistics.median(r["wall"] for r in runs)
    exact = [r["exact"] for r in runs]
    total = found["small_bytes"] * SYNC_CLIENTS
    return "| %s | %.2f s (%s) | %s of %d | %.1f MiB/s |" % (
        title, wall, ", ".join("%.2f" % r["wall"] for r in runs), "/".join(str(e) for e in exact),
        SYNC_CLIENTS, total / wall / MIB)


def report(ctx):
    found = ctx.results.values.get("concurrency")
    if not found:
        return []
    out = ["## Many clients at once", ""]
    out.append("This build's host (one thread, %s) against the serial host of %s (one connection at a "
               "time, each to its end, listen backlog 1), built from git history in the same run." %
               ("up to 256 connections by turns", SERIAL_COMMIT))
    out.append("")
    out.append("### Manifests while slow readers take the archive")
    out.append("")
    out.append("Share: %s of pseudo-random files (its archive is larger than the socket buffers). Each "
               "slow reader takes the full archive at %d KiB/s; meanwhile a well-behaved client asks for "
               "the manifest every %d ms for 10 s, and the beacons are counted on their port." % (
                   "%.1f MiB" % (found["big_bytes"] / MIB), SLOW_RATE // KIB, GOOD_INTERVAL * 1000))
    out.append("")
    out.append("| host, slow readers | manifests answered | p50 | p95 | max | failures | beacons | longest gap |")
    out.append("|---|---|---|---|---|---|---|---|")
    for key, title in (("slow1", "this build, 1 reader"), ("slow8", "this build, 8 readers")):
        r = found.get(key)
        if r:
            out.append("| %s | %s | %s |" % (title, latency_cells(r), beacon_cells(r["beacons"])))
    s = found.get("serial_slow1")
    if s:
        out.append("| serial %s, 1 reader (one manifest, given up after 40 s) | %s | %s | | | %s | %s |" % (
            SERIAL_COMMIT, "1 of 1" if s["complete"] else "0 of 1", ms(s["seconds"]), s["error"] or "none",
            beacon_cells(s["beacons"])))
    out.append("")
    out.append("### %d first syncs at once" % SYNC_CLIENTS)
    out.append("")
    out.append("Share: %d files, %.2f MiB (the first-sync share above). %d `dircast-mirror --once` started "
               "together (manifest, archive, write); wall time from the first start to the last exit, "
               "median of 3 runs; throughput: share bytes × clients ÷ wall time." % (
                   found["small_files"], found["small_bytes"] / MIB, SYNC_CLIENTS))
    out.append("")
    out.append("| host | wall time (runs) | byte-exact mirrors per run | aggregate throughput |")
    out.append("|---|---|---|---|")
    out.append(sync_row(found, "after", "this build"))
    out.append(sync_row(found, "serial", "serial %s" % SERIAL_COMMIT))
    out.append("")
    out.append("### Storm of abusive peers")
    out.append("")
    out.append("%d connections, %d every %.1f s, in turn silent (never send), garbage (200 random bytes, "
               "then close), resets (ask for the archive, read 100 bytes, reset) and slow readers (ask for "
               "the archive through a 4 KiB window and read %d bytes a second, below the host's floor). "
               "Meanwhile a well-behaved client asks for the manifest every %d ms, giving up after %d s." % (
                   STORM_CONNECTIONS, STORM_WAVE, STORM_WAVE_SECONDS, STORM_SLOW_RATE, GOOD_INTERVAL * 1000,
                   GOOD_TIMEOUT))
    out.append("")
    out.append("| host | manifests answered | p50 | p95 | max | failures | beacons | longest gap | peak RSS |")
    out.append("|---|---|---|---|---|---|---|---|---|")
    for label, title in (("after", "this build"), ("serial", "serial %s" % SERIAL_COMMIT)):
        r = found.get("storm_" + label)
        if r:
            out.append("| %s | %s | %s | %s |" % (title, latency_cells(r), beacon_cells(r["beacons"]),
                                                  mib(r.get("vm_hwm"))))
    r = found.get("storm_after")
    if r:
        out.append("")
        out.append("Storm peers against this build: %s." % ", ".join(
            "%s %d" % (k, n) for k, n in sorted(r["peers"].items())))
    out.append("")
    m = found.get("full_slots")
    if m:
        out.append("### Memory")
        out.append("")
        out.append("`size` of the i386 host: text %s, data %s, bss %s bytes (%s of static storage, "
                   "no heap). With %d peers asking for the archive and none reading (every slot busy, the "
                   "rest in the backlog): %s connections taken, VmRSS %s, peak VmHWM %s, %s "
                   "descriptors open (VmRSS %s when idle)." % (
                       m.get("text"), m.get("data"), m.get("bss"), mib(m.get("bss")), SLOTS_OVERFILL,
                       m.get("connected"), mib(m.get("vm_rss")), mib(m.get("vm_hwm")), m.get("descriptors"),
                       mib(m.get("rss_idle"))))
        out.append("")
    return out


def targets(ctx):
    found = ctx.results.values.get("concurrency")
    t = []
    if not found:
        return t
    r = found.get("slow1")
    if r:
        t.append(("beside a 64 KiB/s reader, every manifest in under 100 ms", "max %s, %d of %d answered" % (
            ms(r["max"]), r["answered"], r["asked"]),
            "PASS" if r["max"] is not None and r["max"] < 0.1 and r["answered"] == r["asked"] else "FAIL"))
        t.append(("beside a 64 KiB/s reader, 4 beacons a second", "%.2f /s" % r["beacons"]["rate"],
                  "PASS" if r["beacons"]["rate"] >= 3.8 else "FAIL"))
    r = found.get("storm_after")
    if r:
        t.append(("storm: every well-behaved request answered, none timing out", "%d of %d" % (
            r["answered"], r["asked"]), "PASS" if r["answered"] == r["asked"] else "FAIL"))
        t.append(("storm: manifest p95 under 200 ms", ms(r["p95"]),
                  "PASS" if r["p95"] is not None and r["p95"] < 0.2 else "FAIL"))
        t.append(("storm: at least 3.8 beacons a second", "%.2f /s" % r["beacons"]["rate"],
                  "PASS" if r["beacons"]["rate"] >= 3.8 else "FAIL"))
    a, s = found.get("syncs_after"), found.get("syncs_serial")
    if a:
        t.append(("%d first syncs at once all byte-exact" % SYNC_CLIENTS,
                  "/".join(str(x["exact"]) for x in a), "PASS" if all(x["exact"] == SYNC_CLIENTS for x in a)
                  else "FAIL"))
    if a and s:
        wa, ws = statistics.median(x["wall"] for x in a), statistics.median(x["wall"] for x in s)
        exact_serial = statistics.median(x["exact"] for x in s)
        ta = found["small_bytes"] * SYNC_CLIENTS / wa
        tserial = found["small_bytes"] * exact_serial / ws
        t.append(("32 first syncs: aggregate throughput at least the serial host's",
                  "%.1f MiB/s against %.1f MiB/s" % (ta / MIB, tserial / MIB), "PASS" if ta >= tserial else "FAIL"))
    return t


def main():
    import shutil
    import tempfile
    from common import Results
    from processes import PROCS
    from shares import make_small_share

    class Context:
        pass

    ctx = Context()
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    ctx.serve = os.path.join(build, "dircast-serve")
    ctx.mirror = os.path.join(build, "dircast-mirror")
    ctx.results = Results()
    ctx.tmp = tempfile.mkdtemp(prefix="dircast-concurrency-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    try:
        run(ctx, PROCS, make_small_share)
    finally:
        PROCS.end_all()
        shutil.rmtree(ctx.tmp, ignore_errors=True)
    print("\n".join(report(ctx)))
    for name, measured, verdict in targets(ctx):
        print("%s: %s: %s" % (verdict, name, measured))
    for name, ok, detail in ctx.results.checks:
        print("%s: %s %s" % ("ok" if ok else "CHECK FAILED", name, detail))


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "storm":
        storm_main(sys.argv[2:])
    else:
        main()
