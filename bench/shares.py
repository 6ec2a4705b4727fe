"""The shares: generated trees, the changes made to them between turns, and
the file-by-file comparison of a copy with its share."""

import hashlib
import os
import random

from common import SHARE_NAME, BenchError


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
            out[rel] = file_digest(full)
    return out


def file_digest(path, chunk=8 * 1024 * 1024):
    """('f', size, sha1), read in pieces so that a file of many GiB fits."""
    digest, size = hashlib.sha1(), 0
    with open(path, "rb") as f:
        while True:
            data = f.read(chunk)
            if not data:
                break
            digest.update(data)
            size += len(data)
    return ("f", size, digest.hexdigest())


def same_tree(results, what, share, copy):
    """share: a directory, or its tree_digest when it is compared many times."""
    a = share if isinstance(share, dict) else tree_digest(share)
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
    """3200 files in 20 directories with names padded so that the manifest
    comes to about `target` bytes (hash fields counted at 10 digits)."""
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
# The big shares: a program directory's few large files, a tree of many
# small ones, and one file larger than any 32-bit size.

def split_sizes(rng, n_files, total, spread):
    """n_files sizes of at least 1 byte that add up to total exactly; each is
    the mean times a factor drawn from 1 - spread .. 1 + spread."""
    weights = [1 + rng.uniform(-spread, spread) for _ in range(n_files)]
    scale = (total - n_files) / sum(weights)
    sizes = [1 + int(w * scale) for w in weights]
    sizes[-1] += total - sum(sizes)
    return sizes


def write_random_file(path, size, chunk=8 * 1024 * 1024):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        left = size
        while left:
            n = min(left, chunk)
            f.write(os.urandom(n))
            left -= n


def make_large_files_share(root, total, n_files=40, seed=12):
    """S2: n_files of pseudo-random data adding up to total bytes, sizes
    from half to one and a half times the mean, half of them two levels down."""
    share = Share(root, seed)
    os.makedirs(root)
    for i, size in enumerate(split_sizes(share.rng, n_files, total, 0.5)):
        rel = "part-%02d.bin" % i if i % 2 == 0 else "lib/nested/part-%02d.bin" % i
        write_random_file(os.path.join(root, rel), size)
        share.files[rel] = size
    return share


def make_many_files_share(root, total, n_files=100000, per_dir=100, seed=13):
    """n_files small files adding up to total bytes (sizes 1 to twice the
    mean), per_dir to a directory, directories ten to a parent. The content
    is cut from one pool of random bytes: nothing here compresses or dedups,
    and writing stays quick."""
    share = Share(root, seed)
    rng = share.rng
    pool = memoryview(os.urandom(64 * 1024 * 1024))
    os.makedirs(root)
    made = set()
    for i, size in enumerate(split_sizes(rng, n_files, total, 0.99)):
        size = min(size, len(pool))
        d = i // per_dir
        rel_dir = "d%03d/s%d" % (d // 10, d % 10)
        if rel_dir not in made:
            os.makedirs(os.path.join(root, rel_dir))
            made.add(rel_dir)
        rel = "%s/file-%06d.dat" % (rel_dir, i)
        start = rng.randrange(len(pool) - size + 1)
        with open(os.path.join(root, rel), "wb") as f:
            f.write(pool[start:start + size])
        share.files[rel] = size
    return share


def make_sparse_file_share(root, size, seed=14):
    """One file of `size` bytes, sparse but for 1 MiB of random bytes at its
    start, at its 4 GiB mark (past any 32-bit offset), in its middle and at
    its end: a copy written at the wrong offset, or cut, differs."""
    share = Share(root, seed)
    os.makedirs(root)
    rel = "huge.bin"
    piece = 1024 * 1024
    with open(os.path.join(root, rel), "wb") as f:
        f.truncate(size)
        for at in sorted({0, min(4 << 30, size - piece), size // 2, size - piece}):
            if at >= 0:
                f.seek(at)
                f.write(os.urandom(min(piece, size - at)))
    share.files[rel] = size
    return share
