"""The big shares, each on a host warmed by one earlier manifest request as
a running host is: the first sync of dircast-mirror --once into an empty
mirror root against rsync and tar, the second turn of a long-lived client
(no share changes), a restart (a fresh --once over the complete mirror,
which must fetch no file content) against rsync's no-change run, and the
client's peak resident memory in every one of those runs."""

import os
import shutil
import subprocess
import time

from common import GIB, MIB, PROGRESS, log
from scenarios import host_request_cost
from shares import (make_large_files_share, make_many_files_share, make_sparse_file_share,
                    same_tree, tree_digest)
from processes import read_reply
from systems import Host, LongLivedMirror, MirrorDirs, Turn, run_once_measured, tar_stream

SIGNED_REQUEST = b"GET signed DC-SHARE/1\n\n"


class BigShare:
    """What one big share is and how much is run against it. rsync_module
    names the daemon's module for it, None for no rsync baseline."""

    def __init__(self, key, title, build, runs, rsync_module, turn_timeout):
        self.key = key
        self.title = title
        self.build = build
        self.runs = runs
        self.rsync_module = rsync_module
        self.turn_timeout = turn_timeout


def big_share_specs(args):
    s2 = args.s2_mib * MIB
    many = args.many_mib * MIB
    huge = args.huge_gib * GIB
    specs = [
        BigShare("s2", "S2: %s in 40 files" % size_text(s2),
                 lambda root: make_large_files_share(root, s2), args.big_runs, "s2", 600),
        BigShare("many", "%d files, %s" % (args.many_files, size_text(many)),
                 lambda root: make_many_files_share(root, many, args.many_files),
                 args.big_runs, "many", 900),
        BigShare("huge", "one file of %s (sparse source)" % size_text(huge),
                 lambda root: make_sparse_file_share(root, huge), 1, None, 1800),
    ]
    wanted = args.big_shares.split(",")
    return [spec for spec in specs if spec.key in wanted]


def size_text(n):
    return "%g GiB" % (n / GIB) if n >= GIB else "%g MiB" % (n / MIB)


def big_share_room(args):
    """Bytes the biggest of these suites has on disk at one time: S2's share
    with three copies (the last rsync copy, a mirror, a tar copy), the many
    files' share with as many (and a block per small file), the sparse file's
    mirror alone."""
    return max(4 * args.s2_mib * MIB, 4 * (args.many_mib * MIB + args.many_files * 4096),
               args.huge_gib * GIB) + 256 * MIB


def record_rss(R, spec, what, kib):
    R.values.setdefault("rss", []).append((spec.title, what, kib))


# ---------------------------------------------------------------------------

def first_syncs(ctx, spec, host, digest, work):
    """--once into an empty mirror root, rsync and tar take turns, each into
    a fresh copy; the last rsync copy stays for the no-change runs."""
    R, key = ctx.results, spec.key
    rsync_dest = None
    for run in range(spec.runs):
        dirs = MirrorDirs(ctx.big_tmp, "%s/first-%d" % (key, run))
        once = run_once_measured(ctx.mirror, host, dirs, os.path.join(work, "first-%d.log" % run))
        R.check("%s first sync %d: dircast-mirror --once ends with sync complete" % (key, run),
                once.ok, "status %s, last lines %s" % (once.rc, once.lines[-3:]))
        same_tree(R, "%s first sync %d (dircast)" % (key, run), digest, dirs.root)
        R.add(key + ".first", once.seconds)
        record_rss(R, spec, "first sync %d (--once)" % run, once.peak_kib)
        check_progress(R, "%s first sync %d" % (key, run), once)
        dirs.remove()
        if spec.rsync_module and ctx.rsync:
            if rsync_dest:
                shutil.rmtree(rsync_dest)
            rsync_dest = os.path.join(work, "rsync-first-%d" % run)
            R.add("rsync.%s_first" % key, ctx.rsync.pull(spec.rsync_module, rsync_dest))
            same_tree(R, "%s first sync %d (rsync)" % (key, run), digest, rsync_dest)
        dest = os.path.join(work, "tar-first-%d" % run)
        R.add("tar.%s_first" % key, tar_stream(spec_root(work), dest, timeout=spec.turn_timeout))
        same_tree(R, "%s first sync %d (tar)" % (key, run), digest, dest)
        shutil.rmtree(dest)
        log("%s: first sync %d: dircast %.2f s, rsync %s, tar %.2f s" % (
            key, run, once.seconds, "%.2f s" % R.samples["rsync.%s_first" % key][-1]
            if rsync_dest else "-", R.samples["tar.%s_first" % key][-1]))
    return rsync_dest


def check_progress(R, what, once):
    """Progress lines come at most once a second, and a transfer of more
    than three seconds shows at least one."""
    n = once.count(PROGRESS)
    R.check("%s: at most one progress line a second, at least one after 3 s" % what,
            n <= once.seconds + 1 and (n > 0 or once.seconds <= 3),
            "%d lines in %.1f s" % (n, once.seconds))


def second_turn(ctx, spec, host, digest, work, extra=(), label=""):
    """A long-lived client from an empty mirror root: its first turn is the
    full sync, its second must find no share changes. Its mirror is left for
    the restarts."""
    R, key = ctx.results, spec.key + label
    dirs = MirrorDirs(ctx.big_tmp, "%s/long" % key)
    client = LongLivedMirror(ctx.mirror, host, dirs, os.path.join(work, key + ".long.mirror.log"), extra)
    try:
        turn = client.next_turn(spec.turn_timeout)
        R.check("%s long-lived client: first turn is a full sync" % key, turn.kind == "full",
                turn.describe())
        same_tree(R, "%s long-lived client first turn" % key, digest, dirs.root)
        for _ in range(spec.runs):
            turn = client.next_turn(spec.turn_timeout)
            if R.check("%s long-lived client: a later turn says no share changes" % key,
                       turn.kind == "nochange" and turn.seconds is not None, turn.describe()):
                R.add(key + ".poll", turn.seconds)
        log("%s: no-change turns %s s" % (key, " ".join("%.3f" % t for t in R.samples.get(key + ".poll", []))))
        record_rss(R, spec, "long-lived client, first and second turn", client.peak_kib())
    finally:
        client.stop()
    return dirs


def restarts(ctx, spec, host, digest, dirs, rsync_dest, work):
    """A fresh --once over the complete mirror: the delta, one manifest and
    no file content (no "sending file" line in the host's log), taking turns
    with rsync's run against its complete copy."""
    R, key = ctx.results, spec.key
    sent_total = 0
    for run in range(spec.runs):
        sent = host.sent_files()
        once = run_once_measured(ctx.mirror, host, dirs, os.path.join(work, "restart-%d.log" % run))
        sent = host.sent_files() - sent
        sent_total += sent
        turn = Turn([(0.0, s) for s in once.lines])
        R.check("%s restart %d: a delta over the complete mirror ends with sync complete" % (key, run),
                once.ok and turn.kind == "delta" and turn.pruned == 0, turn.describe())
        R.add(key + ".restart", once.seconds)
        R.values.setdefault(key + ".restart_fetched", []).append((sent, turn.changed))
        record_rss(R, spec, "restart %d (--once over the complete mirror)" % run, once.peak_kib)
        if rsync_dest:
            R.add("rsync.%s_nochange" % key, ctx.rsync.pull(spec.rsync_module, rsync_dest))
        log("%s: restart %d: %.2f s, %d files sent by the host" % (key, run, once.seconds, sent))
    same_tree(R, "%s after the restarts (dircast)" % key, digest, dirs.root)
    if rsync_dest:
        same_tree(R, "%s no-change runs (rsync)" % key, digest, rsync_dest)


def signed_runs(ctx, spec, digest, work, host):
    """The same share also from a host with --signing-key, warmed by two
    signed listings as the other was by two manifests. S2's first syncs take
    turns, unsigned then pinned, so both meet the same load; every share's
    no-change turn of a long-lived pinned mirror is sampled as the unsigned
    one is."""
    R, key = ctx.results, spec.key
    key_file = os.path.join(work, "host.key")
    made = subprocess.run([ctx.serve, "--make-key", key_file], capture_output=True, text=True, check=True)
    pinned = ["--host-key", made.stdout.split()[-1]]
    signed = Host(ctx.serve, spec_root(work), work, key + "-signed", ["--signing-key", key_file])
    try:
        for _ in range(2):
            read_reply(signed.port, SIGNED_REQUEST, 600)
        for run in range(spec.runs if key == "s2" else 0):
            for h, extra, name in ((host, [], "paired_first"), (signed, pinned, "signed_first")):
                dirs = MirrorDirs(ctx.big_tmp, "%s/%s-%d" % (key, name, run))
                once = run_once_measured(ctx.mirror, h, dirs, os.path.join(work, "%s-%d.log" % (name, run)), extra)
                R.check("%s %s %d ends with sync complete" % (key, name, run), once.ok, str(once.lines[-3:]))
                same_tree(R, "%s %s %d" % (key, name, run), digest, dirs.root)
                R.add("%s.%s" % (key, name), once.seconds)
                dirs.remove()
            log("%s: first sync %d unsigned %.2f s, signed and pinned %.2f s" % (
                key, run, R.samples[key + ".paired_first"][-1], R.samples[key + ".signed_first"][-1]))
        second_turn(ctx, spec, signed, digest, work, pinned, ".signed").remove()
    finally:
        signed.stop()


def spec_root(work):
    return os.path.join(work, "share")


def suite_big_share(ctx, spec):
    R, key = ctx.results, spec.key
    work = os.path.join(ctx.big_tmp, key)
    os.makedirs(work)
    log("%s: writing %s" % (key, spec.title))
    share = spec.build(spec_root(work))
    written_at = time.time()
    R.values[key + ".title"] = spec.title
    R.values[key + ".files"] = len(share.files)
    R.values[key + ".bytes"] = share.total()
    digest = tree_digest(share.root)
    host = Host(ctx.serve, share.root, work, key)
    try:
        # The host trusts a hash only of a file whose times were more than
        # 2 s old when it was read: the warming request comes after that.
        time.sleep(max(0.0, written_at + 3.5 - time.time()))
        R.values[key + ".host_cold"] = host_request_cost(host)
        R.values[key + ".host_warm"] = host_request_cost(host)
        log("%s: host warmed (cold manifest %.2f s, warm %.3f s)" % (
            key, R.values[key + ".host_cold"]["wall"], R.values[key + ".host_warm"]["wall"]))
        rsync_dest = first_syncs(ctx, spec, host, digest, work)
        dirs = second_turn(ctx, spec, host, digest, work)
        restarts(ctx, spec, host, digest, dirs, rsync_dest, work)
        if spec.key in ("s2", "many"):
            signed_runs(ctx, spec, digest, work, host)
    finally:
        host.stop()
        shutil.rmtree(work, ignore_errors=True)


def suite_big_shares(ctx):
    for spec in big_share_specs(ctx.args):
        suite_big_share(ctx, spec)
