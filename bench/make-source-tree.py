#!/usr/bin/env python3
"""Writes the source tree that bench/restore-throughput packs and restores.

The mix is what a user's documents folder looks like to the restore: mostly files of a few
MiB, some of exactly one chunk (1 MiB) or a whole number of chunks, many that end in a
partial chunk, a few small files and an empty one, spread over nested directories. The
same seed and size give the same tree, byte for byte.

  random: bytes from a seeded generator (incompressible, for clear and encrypted chunks)
  text:   words from a fixed vocabulary in sentences and lines (compressible, as documents
          are, for encrypted and compressed chunks)

A stamp file beside the tree records what was written; when the stamp and every file's
size match, the tree is kept as it is.
"""
import argparse
import os
import random
import shutil
import sys

MiB = 1 << 20
VERSION = 1

DIRECTORIES = [
    "documents",
    "documents/reports/2023",
    "documents/reports/2024",
    "documents/letters",
    "photos/holiday",
    "photos/family",
    "projects/website/assets",
    "projects/accounts",
    "mail/archive",
    "music",
]

# The small files, by size: an empty one, one byte, under and over a 4 KiB cluster,
# a few tens and hundreds of KiB.
SMALL_SIZES = [0, 1, 17, 511, 4095, 4096, 12345, 65536, 100000, 300001]

WORDS = """
the of and to in is that for it as was with be by on not he this are or his from at which
but have an they you were her she there been one all we their has would when if so no
will more can its who out up about into time only other new some could these two may
first then do any like my now over such our man me even most made after also did many
before must through back years where much your way well down should because each just
those people how too little state good very make world still own see men work long get
here between both life being under never day same another know while last might us great
old year off come since against go came right used take three account balance invoice
report quarter budget meeting schedule project delivery customer supplier contract order
payment total amount tax office letter please regards dear thank copy attached review
draft final version section page table figure summary results analysis growth revenue
cost margin forecast plan team member manager director board minutes agenda item action
deadline monday tuesday wednesday thursday friday january march june september december
north south east west city street house garden school river mountain road station
""".split()


def plan(total_mib, seed, suffix):
    """The (relative path, size) of every file: at least total_mib MiB in all."""
    rng = random.Random(seed)
    files = []
    for i, size in enumerate(SMALL_SIZES):
        files.append((f"{DIRECTORIES[i % len(DIRECTORIES)]}/note-{i:02d}.{suffix}", size))
    total = sum(size for _, size in files)
    target = total_mib * MiB
    i = 0
    while total < target:
        roll = rng.random()
        if roll < 0.12:
            size = MiB
        elif roll < 0.40:
            size = rng.randint(2, 6) * MiB
        else:
            size = rng.randint(1, 5) * MiB + rng.randint(1, MiB - 1)
        directory = DIRECTORIES[rng.randrange(len(DIRECTORIES))]
        files.append((f"{directory}/file-{i:04d}.{suffix}", size))
        total += size
        i += 1
    return files


def text_pool(rng, size):
    """About `size` bytes of sentences made of WORDS, in lines of up to ~100 characters."""
    parts = []
    length = 0
    line = 0
    while length < size:
        sentence = rng.choices(WORDS, k=rng.randint(4, 18))
        sentence[0] = sentence[0].capitalize()
        text = " ".join(sentence) + rng.choice([". ", ". ", ". ", ", ", "? ", "; "])
        line += len(text)
        if line > 100:
            text += "\n"
            line = 0
        parts.append(text)
        length += len(text)
    return "".join(parts).encode("ascii")


def write_tree(root, files, kind, seed):
    rng = random.Random(seed * 7919 + 1)
    pool = text_pool(rng, 8 * MiB) if kind == "text" else None
    for path, size in files:
        full = os.path.join(root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as out:
            if kind == "random":
                left = size
                while left:
                    n = min(left, 4 * MiB)
                    out.write(rng.randbytes(n))
                    left -= n
            else:
                # Runs of the pool from random places: no repeat within zlib's 32 KiB window.
                left = size
                while left:
                    n = min(left, rng.randint(64 * 1024, 512 * 1024))
                    start = rng.randrange(len(pool) - n)
                    out.write(pool[start:start + n])
                    left -= n


def matches(root, stamp, files, expected_stamp):
    try:
        with open(stamp) as f:
            if f.read() != expected_stamp:
                return False
        return all(os.path.getsize(os.path.join(root, path)) == size for path, size in files)
    except OSError:
        return False


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("root")
    parser.add_argument("--size", type=int, default=512, help="MiB in all (at least)")
    parser.add_argument("--kind", choices=["random", "text"], required=True)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    files = plan(args.size, args.seed, "bin" if args.kind == "random" else "txt")
    total = sum(size for _, size in files)
    stamp = args.root.rstrip("/") + ".stamp"
    expected_stamp = f"version={VERSION} kind={args.kind} size={args.size} seed={args.seed} files={len(files)} bytes={total}\n"
    if matches(args.root, stamp, files, expected_stamp):
        print(f"kept {args.root}: {len(files)} files, {total} bytes")
        return 0
    if os.path.exists(stamp):
        os.remove(stamp)
    shutil.rmtree(args.root, ignore_errors=True)
    write_tree(args.root, files, args.kind, args.seed)
    with open(stamp, "w") as f:
        f.write(expected_stamp)
    print(f"wrote {args.root}: {len(files)} files, {total} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
