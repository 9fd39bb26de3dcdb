"""Generates the benchmark's folder trees and rewrites a share of their files.

A tree is deterministic for a given seed. The "mixed" shape: nested
directories of very different sizes, files from 0 to 64 KiB (most of them
small), a few MiB-sized files, some symbolic links and a few names outside
ASCII. The "source" shape, the common one of source trees: directories of
some 70 files each (about 1,400 of them for 100,000 files), nested a few
levels deep, files from 0 to 16 KiB.
"""
import os
import random

BLOCK = os.urandom(8 << 20)


def _content(rng, size):
    start = rng.randrange(0, len(BLOCK) - size + 1)
    return BLOCK[start:start + size]


def _small_size(rng):
    # Log-uniform between 0 and 64 KiB: many small files, a tail of larger ones.
    if rng.random() < 0.03:
        return 0
    return min(64 << 10, int(2 ** rng.uniform(0, 16)))


def generate(root, files, seed=1):
    """Creates root with `files` regular files; returns their relative paths."""
    rng = random.Random(seed)
    os.makedirs(root)
    dirs = [("", 0)]
    for i in range(max(1, files // 16)):
        parent, depth = dirs[rng.randrange(len(dirs))] if len(dirs) > 1 else dirs[0]
        if depth >= 7:
            parent, depth = "", 0
        name = f"dir{i:05d}" if rng.random() > 0.01 else f"répertoire{i}"
        rel = os.path.join(parent, name)
        os.mkdir(os.path.join(root, rel))
        dirs.append((rel, depth + 1))
    paths = []
    big = max(3, files // 20000)
    for i in range(files):
        parent = dirs[rng.randrange(len(dirs))][0]
        name = f"file{i:06d}.dat" if rng.random() > 0.01 else f"fichier-é{i}.txt"
        rel = os.path.join(parent, name)
        size = rng.randrange(1 << 20, 4 << 20) if i < big else _small_size(rng)
        with open(os.path.join(root, rel), "wb") as f:
            f.write(_content(rng, size))
        paths.append(rel)
    for i in range(max(2, files // 200)):
        parent = dirs[rng.randrange(len(dirs))][0]
        target = os.path.relpath(paths[rng.randrange(len(paths))], parent or ".")
        if i % 10 == 0:
            target = "missing-target"
        os.symlink(target, os.path.join(root, parent, f"link{i:05d}"))
    return paths


def generate_source(root, files, seed=1):
    """Creates root in the source shape with `files` regular files; returns their relative paths."""
    rng = random.Random(seed)
    os.makedirs(root)
    count = max(1, round(files / 70))
    dirs = [""]
    for i in range(count - 1):
        # Mostly under a recent directory, as modules hold packages: a few levels deep.
        parent = dirs[max(0, len(dirs) - 1 - int(rng.expovariate(0.3)))] if rng.random() < 0.8 else ""
        if parent.count("/") >= 5:
            parent = ""
        rel = os.path.join(parent, f"pkg{i:04d}" if rng.random() > 0.01 else f"modulé{i}")
        os.mkdir(os.path.join(root, rel))
        dirs.append(rel)
    paths = []
    for i in range(files):
        parent = dirs[i * count // files]
        name = f"source_{i:06d}.c" if rng.random() > 0.01 else f"entête-{i}.h"
        rel = os.path.join(parent, name)
        with open(os.path.join(root, rel), "wb") as f:
            f.write(_content(rng, rng.randrange(0, (16 << 10) + 1)))
        paths.append(rel)
    return paths


def rewrite(root, paths, share, seed):
    """Rewrites `share` of the files with new content; half of them change size."""
    rng = random.Random(seed)
    chosen = rng.sample(paths, max(1, int(len(paths) * share)))
    for n, rel in enumerate(chosen):
        full = os.path.join(root, rel)
        size = os.lstat(full).st_size
        if n % 2:
            size = _small_size(rng)
        with open(full, "wb") as f:
            f.write(_content(rng, min(size, len(BLOCK))))
    return len(chosen)
