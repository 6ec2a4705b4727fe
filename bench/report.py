"""The report: the machine's facts, the tables of bench/RESULTS.md and the
targets they are held to."""

import datetime
import os
import subprocess
import sys
import time

import announce
import concurrency
from common import BEFORE_COMMIT, CLK_TCK, DELTA_SIZES, MIB, REMOVED_PER_DELTA, REPO


def first_line(argv):
    try:
        out = subprocess.run(argv, capture_output=True, text=True).stdout
        return out.splitlines()[0].strip() if out else "?"
    except OSError:
        return "?"


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


def earlier_sections(ctx, out):
    """The small share, the blind-sleep host, the prune pass, the host's cost
    per manifest, the system call price and the beacons."""
    R = ctx.results
    files, total, n_dirs = ctx.small_share_info
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

    out.append("## Prune pass against a manifest of %s files" % R.values.get("prune.files", "n/a"))
    out.append("")
    out.append("%s files with long names in 20 directories; manifest %s bytes. One file changed "
               "per run; the delta turn prunes the mirror against the manifest and compares "
               "every mirrored file with it." % (
                   R.values.get("prune.files", "n/a"), R.values.get("prune.manifest_bytes", "n/a")))
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

    crypto_section(R.values.get("crypto"), out)
    out.append("## Idle host beacons")
    out.append("")
    if "beacon.count" in R.values:
        out.append("%d beacons received on 127.0.0.1 in %.1f s from the first one on: %.1f per second." % (
            R.values["beacon.count"], R.values["beacon.seconds"], R.values["beacon.rate"]))
    out.append("")
    out.extend(concurrency.report(ctx))
    out.extend(announce.report(ctx))


def crypto_section(crypto, out):
    """SHA-256 by the CPU's extensions against the portable rounds, and the
    cost of one Ed25519 signature and verification, per build."""
    if not crypto:
        return
    out.append("## SHA-256 and Ed25519")
    out.append("")
    out.append("crypto-speed (bench/crypto_speed.cpp), built freestanding like the programs: "
               "SHA-256 of one 64 MiB buffer through the CPU's SHA extensions and through the "
               "portable rounds, median of 5 passes each; one Ed25519 signature and one "
               "verification of a 200-byte statement, median of 21.")
    out.append("")
    out.append("| build | SHA-256, extensions | SHA-256, portable | extensions ÷ portable | "
               "Ed25519 sign | Ed25519 verify |")
    out.append("|---|---|---|---|---|---|")
    for arch, v in crypto.items():
        size, hw, sw = v.get("sha256 bytes"), v.get("sha256 hardware ns"), v.get("sha256 portable ns")
        mbs = [size / 1e6 / (ns / 1e9) if size and ns else None for ns in (hw, sw)]
        out.append("| %s | %s | %s | %s | %s | %s |" % (
            arch, *("%.0f MB/s" % m if m else "n/a" for m in mbs),
            "%.1f×" % (mbs[0] / mbs[1]) if all(mbs) else "n/a",
            *(fmt_s(v[k] / 1e9) if k in v else "n/a" for k in ("ed25519 sign ns", "ed25519 verify ns"))))
    out.append("")


def report(ctx, args):
    R = ctx.results
    out = []
    out.append("# dircast benchmark")
    out.append("")
    out.append("Written by `make bench` (bench/run_bench.py). All traffic on 127.0.0.1; "
               "every process is real. Times are wall-clock medians of n runs; "
               "a ratio below 1.00× means dircast took less time than the baseline. Shares, "
               "mirrors and copies are all in one temporary directory (%s)%s." % (
                   ctx.tmp_fs, "; the big shares in %s (%s)" % (ctx.big_tmp, ctx.big_fs)
                   if ctx.big_tmp and not ctx.big_tmp.startswith(ctx.tmp) else ""))
    out.append("")
    out.append("## Machine")
    out.append("")
    for k, v in ctx.machine:
        out.append("- %s: %s" % (k, v))
    out.append("")

    if not args.only_big_shares:
        earlier_sections(ctx, out)
    if ctx.big_tmp:
        big_share_sections(ctx, out)

    targets = evaluate_targets(ctx, args)
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


BIG_KEYS = ("s2", "many", "huge")
RSS_LIMIT_KIB = 8 * 1024


def big_share_sections(ctx, out):
    R = ctx.results
    shown = [k for k in BIG_KEYS if k + ".title" in R.values]
    out.append("## Big shares: first sync, second turn and restart")
    out.append("")
    out.append("Each share on its own host, warmed by one manifest request before any run (the "
               "host is left alone for more than 3 s after the share is written, so that its "
               "cache may trust what it hashes). First sync: `dircast-mirror --once` into an "
               "empty mirror root, taking turns with rsync and tar, each into a fresh copy; every "
               "copy is compared file by file with the share. Second turn: the second turn of a "
               "long-lived `dircast-mirror --poll 1` whose first turn was the full sync, from its "
               "turn's first log line to `no share changes`. Restart: a fresh `dircast-mirror "
               "--once` over the complete mirror (the delta: one manifest, each mirrored file "
               "compared with it), taking turns with rsync's run against its complete copy "
               "(`rsync -a --delete` with nothing to do). \"files sent\" counts the host's "
               "`sending file` log lines during the restarts.")
    out.append("")
    out.append("| share | measurement | dircast | rsync daemon | tar stream | dircast ÷ rsync | "
               "dircast ÷ tar |")
    out.append("|---|---|---|---|---|---|---|")
    for key in shown:
        title = R.values[key + ".title"]
        rows = (("first sync", key + ".first", "rsync.%s_first" % key, "tar.%s_first" % key),
                ("second turn: no share changes", key + ".poll", "rsync.%s_nochange" % key, None),
                ("restart over the complete mirror (files sent: %s)" % restart_sent(R, key),
                 key + ".restart", "rsync.%s_nochange" % key, None))
        for what, d_key, r_key, t_key in rows:
            d, r = R.median(d_key), R.median(r_key)
            t = R.median(t_key) if t_key else None
            out.append("| %s | %s | %s (n=%d) | %s | %s | %s | %s |" % (
                title, what, fmt_s(d), n_of(R, d_key),
                "%s (n=%d)" % (fmt_s(r), n_of(R, r_key)) if r is not None else "—",
                "%s (n=%d)" % (fmt_s(t), n_of(R, t_key)) if t is not None else "—",
                fmt_ratio(d, r) if r is not None else "—", fmt_ratio(d, t) if t is not None else "—"))
    out.append("")

    out.append("### The host's cost per manifest request of the big shares")
    out.append("")
    out.append("CPU (utime+stime) and bytes read (rchar) of the host process from /proc for its "
               "first manifest request (cold) and the next one (warm, what every sync's manifest "
               "costs it after that).")
    out.append("")
    out.append("| share | cold: CPU s | cold: bytes read | cold: wall | warm: CPU s | warm: bytes read | "
               "warm: wall | manifest size |")
    out.append("|---|---|---|---|---|---|---|---|")
    for key in shown:
        cold, warm = R.values.get(key + ".host_cold"), R.values.get(key + ".host_warm")
        out.append("| %s | %.2f | %s | %s | %.2f | %s | %s | %s |" % (
            R.values[key + ".title"], cold["cpu"], fmt_bytes(cold["rchar"]), fmt_s(cold["wall"]),
            warm["cpu"], fmt_bytes(warm["rchar"]), fmt_s(warm["wall"]),
            fmt_bytes(len(warm["manifests"][0]))))
    out.append("")
    for key in shown:
        warm = R.values[key + ".host_warm"]
        if warm["rchar"] > MIB:
            out.append("The warm host still read %s of %s per manifest request: its hash cache did "
                       "not hold all %d files." % (fmt_bytes(warm["rchar"]), R.values[key + ".title"],
                                                     R.values[key + ".files"]))
            out.append("")

    out.append("## The client's peak resident memory")
    out.append("")
    out.append("The kernel's high-water mark of the client's resident set: `Maximum resident set "
               "size` of GNU `time -v` for each `--once` run (what the kernel kept of VmHWM when "
               "the client exited; the forked `time` counts too before it execs the client, with "
               "less), VmHWM from /proc/PID/status for each long-lived client, read while it sleeps "
               "after its last turn. The kernel counts resident pages in per-CPU batches, so either "
               "figure can be off by a few dozen pages. The limit is %d KiB (8 MiB)." % RSS_LIMIT_KIB)
    out.append("")
    out.append("| share | run | peak RSS |")
    out.append("|---|---|---|")
    for title, what, kib in rss_rows(ctx):
        out.append("| %s | %s | %s |" % (title, what, "%d KiB" % kib if kib is not None else "n/a"))
    out.append("")


def restart_sent(R, key):
    fetched = R.values.get(key + ".restart_fetched")
    if not fetched:
        return "n/a"
    return " + ".join("%d" % sent for sent, _ in fetched)


def rss_rows(ctx):
    """Every run's peak, the small and prune shares' long-lived clients first."""
    R = ctx.results
    rows = []
    files, total, _ = ctx.small_share_info
    for label, title in (("after.small", "small share: %d files, %.1f MiB" % (files, total / MIB)),
                         ("after.prune", "prune share: %s files" % R.values.get("prune.files", "n/a"))):
        if "rss." + label in R.values:
            rows.append((title, "long-lived client, all its turns", R.values["rss." + label]))
    return rows + R.values.get("rss", [])


def big_share_targets(ctx, t):
    R = ctx.results

    def faster(name, key, base_key, factor=1.0, strictly=False):
        d, b = R.median(key), R.median(base_key)
        if d is None or not b:
            t.append((name, "n/a", "n/a"))
            return
        ratio = d / b
        ok = ratio < factor if strictly else ratio <= factor
        t.append((name, "%.2f× (%s against %s)" % (ratio, fmt_s(d), fmt_s(b)), "PASS" if ok else "FAIL"))

    s2 = R.values.get("s2.title", "S2")
    faster("%s: first sync within 1.3× of the tar stream" % s2, "s2.first", "tar.s2_first", 1.3)
    faster("%s: first sync faster than rsync" % s2, "s2.first", "rsync.s2_first", strictly=True)
    faster("%s: first sync signed and pinned within 2× of unsigned (taking turns)" % s2, "s2.signed_first",
           "s2.paired_first", 2.0)
    faster("%s: no-change turn signed and pinned within 1.5× of unsigned" % R.values.get("many.title", "many files"),
           "many.signed.poll", "many.poll", 1.5)
    faster("%s: first sync faster than rsync" % R.values.get("many.title", "many files"),
           "many.first", "rsync.many_first", strictly=True)
    fetched = R.values.get("s2.restart_fetched")
    if fetched:
        sent = sum(s for s, _ in fetched)
        changed = sum(c or 0 for _, c in fetched)
        t.append(("%s: a restart over the up-to-date mirror fetches no file content" % s2,
                  "%d files sent by the host, %d fetched, in %d restarts" % (sent, changed, len(fetched)),
                  "PASS" if sent == 0 and changed == 0 else "FAIL"))
    else:
        t.append(("%s: a restart fetches no file content" % s2, "n/a", "n/a"))
    faster("%s: a restart costs less than rsync's no-change run" % s2, "s2.restart", "rsync.s2_nochange",
           strictly=True)
    peaks = [(title, what, kib) for title, what, kib in rss_rows(ctx)]
    if peaks:
        worst = max(peaks, key=lambda p: p[2] if p[2] is not None else 1 << 60)
        ok = all(kib is not None and kib < RSS_LIMIT_KIB for _, _, kib in peaks)
        t.append(("client peak RSS under 8 MiB for every share (%d runs)" % len(peaks),
                  "at most %s KiB (%s, %s)" % (worst[2], worst[0], worst[1]), "PASS" if ok else "FAIL"))


def evaluate_targets(ctx, args):
    t = []
    if not args.only_big_shares:
        earlier_targets(ctx, t)
    if ctx.big_tmp:
        big_share_targets(ctx, t)
    return t


def earlier_targets(ctx, t):
    R = ctx.results

    def no_slower(name, key, base_key, factor=1.0):
        d, b = R.median(key), R.median(base_key)
        if d is None or not b:
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
    t.extend(concurrency.targets(ctx))
    t.extend(announce.targets(ctx))


def memory_available():
    """MemAvailable in bytes, 0 when unknown."""
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


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
        ("runs", "%d per measurement (%d for the 3811aaf host, %d for its 200-file delta; "
                 "%d on S2 and the many files, 1 on the huge file)" % (
                     ctx.args.runs, ctx.args.before_runs, ctx.args.before_runs_200, ctx.args.big_runs)),
    ]
