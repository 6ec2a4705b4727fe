#!/usr/bin/env python3
"""Seeds the fuzz corpora with real answers: starts the built dircast-serve on
free loopback ports (beacon to 127.0.0.1 only) over a share whose names match
the links the fuzz targets plant in the mirror, asks it every request, and
writes the answers into fuzz/corpus/<target>/ as seed-* files.

    fuzz/seed_corpus.py [build-dir]   (default: build)
"""
import os
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build")

SHARE = {
    "a.txt": b"abc",
    "a b": b"space",
    "end.txt": b"tail\nEND\n",
    "we:ird": b"colon",
    "sub/b.txt": b"",
    "sub/deep/c.bin": b"\0\xff\nEND\ndir path=x\n",
    "link_canary": b"replaces the link, never its target\n",
    "link_outside/secret": b"must not pass through a link\n",
    "rel_outside/x": b"y",
    "sub/link_up": b"x",
    "sub/dirlink/f": b"through a directory link\n",
    "self": b"s",
}
UNSAFE = ["../canary", "/etc/passwd", "sub/../a.txt", "sub//b.txt", "sub/", "./a.txt", "sub\\b.txt",
          "sub", "missing", "a.txt\r\n", "link_outside/../../canary", "x" * 600]


def free_port(kind):
    s = socket.socket(socket.AF_INET, kind)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def ask(port, request):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as c:
        c.sendall(request)
        out = b""
        while True:
            chunk = c.recv(65536)
            if not chunk:
                return out
            out += chunk


def save(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "seed-" + name), "wb") as f:
        f.write(data)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        root = os.path.join(tmp, "share")
        for rel, content in SHARE.items():
            os.makedirs(os.path.dirname(os.path.join(root, rel)), exist_ok=True)
            with open(os.path.join(root, rel), "wb") as f:
                f.write(content)
        port, beacon = free_port(socket.SOCK_STREAM), free_port(socket.SOCK_DGRAM)
        host_argv = ["--root", root, "--port", str(port), "--beacon-port", str(beacon), "--broadcast", "127.0.0.1"]
        serve = subprocess.Popen([os.path.join(BUILD, "dircast-serve")] + host_argv, stdout=subprocess.DEVNULL)
        try:
            time.sleep(0.5)
            manifest = ask(port, b"GET manifest DC-SHARE/1\n\n")
            archive = ask(port, b"GET archive DC-SHARE/1\n\n")
            files = {rel: ask(port, b"GET file path=" + rel.encode() + b"\n\n") for rel in SHARE}
            refused = ask(port, b"GET file path=../canary\n\n")
        finally:
            serve.kill()
            serve.wait()

    save("archive", "full", archive)
    save("archive", "refused", refused)
    for i, rel in enumerate(SHARE):
        save("archive", "file%02d" % i, files[rel])
    save("delta", "manifest", manifest)
    for i, rel in enumerate(["link_canary", "a.txt", "sub/dirlink/f", "link_outside/secret"]):
        save("delta", "manifest-file%d" % i, manifest + files[rel])
    save("delta", "manifest-full", manifest + archive)
    for kind, chunking in [(0, 0), (0, 8), (1, 0), (1, 16)]:
        save("reply_stream", "%s-%d" % ("archive" if kind else "manifest", chunking),
             bytes([chunking << 1 | kind]) + (archive if kind else manifest))
    save("reply_stream", "file-1", bytes([1]) + files["sub/deep/c.bin"])
    for i, rel in enumerate(list(SHARE) + UNSAFE):
        save("path", "%02d" % i, bytes([(i * 37) & 0xff]) + rel.encode())
    # Base "m", 25 bytes of room: "m/" and 22 bytes fit with the NUL, 23 do not.
    for n in (22, 23):
        save("path", "join-room-%d" % n, bytes([12]) + b"a" * n)
    save("options", "host", b"\0".join(a.encode() for a in host_argv))
    save("options", "client", b"--mirror-root\0/m/root\0--dosdevices=/m/dos\0--drive\0y\0--host\0127.0.0.1\0"
                              b"--port=19200\0--poll\04294967295\0--once")
    # Mirror roots whose "/p" and NUL just fit the 768-byte path, and just do not.
    for n in (765, 766):
        save("options", "client-root-%d" % n, b"--mirror-root\0/" + b"r" * (n - 1))
    requests = [b"GET manifest DC-SHARE/1\n\n", b"GET archive DC-SHARE/1\n\n", b""]
    requests += [b"GET file path=" + rel.encode() + b"\n\n" for rel in list(SHARE) + UNSAFE + ["fifo", "link"]]
    for i, request in enumerate(requests):
        save("host_request", "%02d" % i, request)


main()
