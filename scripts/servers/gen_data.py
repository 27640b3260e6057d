#!/usr/bin/env python3
"""Generates the files the test servers serve, under DATA_DIR.

Content is pseudo-random from a fixed seed per file, so a regenerated file has the same bytes;
a file whose size already matches is kept. SHA256SUMS lists every file (sha256sum format).

  gen_data.py DATA_DIR          the small set (a few MiB, odd sizes, 0 and 5 bytes)
  gen_data.py --big DATA_DIR    also big/huge.bin: a sparse file over 4 GiB with marker bytes
                                around 2^31 and 2^32 (for 64-bit offset tests)
"""
import argparse
import hashlib
import os
import random
import sys

MIB = 1024 * 1024

# name -> size; sizes that are not multiples of 3 or 8 make segment remainders visible.
SMALL_SET = {
    "rand-5m.bin": 5 * MIB + 12345,
    "rand-1m.bin": 1 * MIB,
    "rand-12m.bin": 12 * MIB + 777,
    "odd-65537.bin": 65537,
    "small-1000.bin": 1000,
    "tiny-5.bin": 5,
    "empty.bin": 0,
}

HUGE_NAME = os.path.join("big", "huge.bin")
HUGE_SIZE = (1 << 32) + (1 << 28) + 13
# Offsets where 64 marker bytes are written: the edges that 32-bit arithmetic gets wrong.
HUGE_MARKS = [0, (1 << 31) - 32, (1 << 32) - 32, HUGE_SIZE - 64]


def write_random(path, size, seed):
    rng = random.Random(seed)
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        left = size
        while left > 0:
            n = min(left, 4 * MIB)
            f.write(rng.randbytes(n))
            left -= n
    os.replace(tmp, path)


def marker(offset):
    # 64 bytes that name their own offset, so a misplaced block is recognisable.
    text = ("<%016x>" % offset).encode()
    return (text * 4)[:64]


def write_huge(path):
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.truncate(HUGE_SIZE)
        for off in HUGE_MARKS:
            f.seek(off)
            f.write(marker(off))
    os.replace(tmp, path)


def huge_ok(path):
    try:
        if os.path.getsize(path) != HUGE_SIZE:
            return False
        with open(path, "rb") as f:
            for off in HUGE_MARKS:
                f.seek(off)
                if f.read(64) != marker(off):
                    return False
        return True
    except OSError:
        return False


def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while True:
            b = f.read(4 * MIB)
            if not b:
                break
            h.update(b)
    return h.hexdigest()


def load_sums(path):
    sums = {}
    try:
        with open(path) as f:
            for line in f:
                digest, name = line.rstrip("\n").split("  ", 1)
                sums[name] = digest
    except (OSError, ValueError):
        pass
    return sums


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--big", action="store_true", help="also make the >4 GiB sparse file")
    ap.add_argument("data_dir")
    args = ap.parse_args()

    data = os.path.abspath(args.data_dir)
    os.makedirs(os.path.join(data, "tmp"), exist_ok=True)
    os.makedirs(os.path.join(data, "big"), exist_ok=True)
    # tmp/ takes per-test hard links, so every test can have file names of its own.
    os.chmod(os.path.join(data, "tmp"), 0o1777)

    sums_path = os.path.join(data, "SHA256SUMS")
    old = load_sums(sums_path)
    sums = {}
    for seed, (name, size) in enumerate(sorted(SMALL_SET.items()), start=1):
        path = os.path.join(data, name)
        fresh = not (os.path.isfile(path) and os.path.getsize(path) == size)
        if fresh:
            write_random(path, size, seed)
        os.chmod(path, 0o644)
        sums[name] = old.get(name) if (not fresh and name in old) else sha256_file(path)

    huge = os.path.join(data, HUGE_NAME)
    if args.big:
        fresh = not huge_ok(huge)
        if fresh:
            write_huge(huge)
        os.chmod(huge, 0o644)
        sums[HUGE_NAME] = old.get(HUGE_NAME) if (not fresh and HUGE_NAME in old) else sha256_file(huge)
    elif HUGE_NAME in old and huge_ok(huge):
        sums[HUGE_NAME] = old[HUGE_NAME]

    with open(sums_path + ".tmp", "w") as f:
        for name in sorted(sums):
            f.write("%s  %s\n" % (sums[name], name))
    os.replace(sums_path + ".tmp", sums_path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
