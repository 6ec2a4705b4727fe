"""What every part of the bench shares: the constants of the programs and
of the protocol it relies on, the log, and the results gathered as it runs."""

import os
import statistics


REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The host before it waited with poll(): it slept a blind 250 ms every turn.
# Parent of 6f0800f ("Host answers at once and remembers content hashes").
BEFORE_COMMIT = "3811aafcfe46bbc46314d8a6a0b4a5df06098436"
SHARE_NAME = "bench-share"
MANIFEST_REQUEST = b"GET manifest DC-SHARE/1\n\n"
MIB = 1024 * 1024
GIB = 1024 * MIB
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
PROGRESS = MIRROR_PREFIX + "received "
SENDING_FILE = b"dircast-serve: sending file "


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


def percentile(values, p):
    """The value p per cent of the way through the sorted values, or None."""
    if not values:
        return None
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100.0 * (len(ordered) - 1))))]
