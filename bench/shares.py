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
