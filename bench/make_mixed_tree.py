#!/usr/bin/env python3
"""Writes a deterministic mixed application tree of about SIZE megabytes:
machine code and libraries taken from this system, text and JSON-like data,
already-compressed (random) data and many small files, so that packing
figures resemble a real application rather than one kind of data.

    make_mixed_tree.py DEST [SIZE_MB]
"""
import os
import random
import sys


def system_binaries():
    for root in ("/usr/lib/x86_64-linux-gnu", "/usr/bin", "/usr/lib/gcc"):
        for dirpath, _, files in sorted(os.walk(root)):
            for name in sorted(files):
                path = os.path.join(dirpath, name)
                if os.path.isfile(path) and not os.path.islink(path):
                    yield path


def main():
    dest = sys.argv[1]
    total = int(sys.argv[2]) * 1_000_000 if len(sys.argv) > 2 else 100_000_000
    rng = random.Random(20261208)
    quarter = total // 4
    os.makedirs(dest, exist_ok=True)

    written = 0
    binaries = system_binaries()
    os.makedirs(os.path.join(dest, "bin"), exist_ok=True)
    while written < quarter:
        source = next(binaries)
        with open(source, "rb") as f:
            data = f.read(min(quarter - written, 8_000_000))
        with open(os.path.join(dest, "bin", f"lib{written:09d}.bin"), "wb") as f:
            f.write(data)
        written += len(data)

    words = ["launcher", "payload", "directory", "value", "error", "window", "frame", "entry", "name", "size",
             "application", "temporary", "process", "child", "parent", "cleanup", "version", "resource"]
    os.makedirs(os.path.join(dest, "data"), exist_ok=True)
    for index in range(8):
        lines = []
        size = 0
        while size < quarter // 8:
            line = '{"id": %d, "name": "%s", "tags": ["%s", "%s"], "score": %.3f}\n' % (
                rng.randrange(10**6), " ".join(rng.choice(words) for _ in range(rng.randrange(2, 9))),
                rng.choice(words), rng.choice(words), rng.random() * 100)
            lines.append(line)
            size += len(line)
        with open(os.path.join(dest, "data", f"records{index}.jsonl"), "w") as f:
            f.write("".join(lines))

    os.makedirs(os.path.join(dest, "media"), exist_ok=True)
    for index in range(4):
        with open(os.path.join(dest, "media", f"asset{index}.pak"), "wb") as f:
            f.write(rng.randbytes(quarter // 4))

    small = quarter
    index = 0
    while small > 0:
        folder = os.path.join(dest, "assets", f"group{index % 40:02d}")
        os.makedirs(folder, exist_ok=True)
        size = min(small, rng.randrange(200, 40_000))
        text = " ".join(rng.choice(words) for _ in range(size // 6 + 1)).encode()[:size // 2]
        with open(os.path.join(folder, f"item{index:05d}.txt"), "wb") as f:
            f.write(text + rng.randbytes(size - len(text)))
        small -= size
        index += 1


if __name__ == "__main__":
    main()
