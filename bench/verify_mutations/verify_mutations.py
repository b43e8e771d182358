#!/usr/bin/env python3
"""How many damaged copies of a finished exe does `korvanthelm-pack verify` accept?

verify_mutations.py --exe KORVANTHELM.exe --packer korvanthelm-pack [-n 2000]
                    [--seed S] [--verify-arg ARG ...]

Makes N mutants of the exe, each with one change: a flipped byte anywhere, the
file cut short or lengthened, or a field edited in the headers, the section
table, the data directories or the digest slot. Runs `verify` on each and
counts the accepted ones by kind. Every accepted mutant that differs from the
original is a change verify let through; a sound verify accepts none (the
file's one no-op edits aside: a field set to the value it had is skipped).
"""
import argparse
import collections
import concurrent.futures
import os
import random
import struct
import subprocess
import sys
import tempfile


def layout(exe):
    """Offsets of the header fields the mutations edit."""
    pe = struct.unpack_from("<I", exe, 0x3C)[0]
    coff = pe + 4
    sections = struct.unpack_from("<H", exe, coff + 2)[0]
    optional_size = struct.unpack_from("<H", exe, coff + 16)[0]
    optional = coff + 20
    directories = optional + 112
    count = struct.unpack_from("<I", exe, optional + 108)[0]
    table = optional + optional_size
    section_headers = [table + 40 * i for i in range(sections)]
    slot = None
    for header in section_headers:
        if exe[header:header + 8].rstrip(b"\0") == b".kdigest":
            slot = struct.unpack_from("<I", exe, header + 20)[0]
    return {
        "header_fields": [coff + i for i in range(0, 20, 2)] + [optional + i for i in range(0, 108, 4)],
        "directory_fields": [directories + 4 * i for i in range(2 * min(count, 16))],
        "section_fields": [h + f for h in section_headers for f in (8, 12, 16, 20, 36)],
        "slot": slot,
        "headers_end": table + 40 * sections,
    }


def mutate(exe, shape, rng):
    data = bytearray(exe)
    kind = rng.choice(["flip", "cut", "append", "header", "directory", "section", "slot"])
    if kind == "flip":
        at = rng.randrange(len(data))
        data[at] ^= rng.randrange(1, 256)
    elif kind == "cut":
        del data[len(data) - rng.choice([1, 8, 512, 2640, rng.randrange(1, len(data))]):]
    elif kind == "append":
        data += bytes(rng.choice([1, 7, 8, 512]))
    elif kind in ("header", "directory", "section"):
        at = rng.choice(shape[kind + "_fields"])
        old = struct.unpack_from("<I", data, at)[0]
        new = rng.choice([old + 1, old - 1, old + 0x200, old + 0x1000, 0, rng.getrandbits(32)])
        struct.pack_into("<I", data, at, new & 0xFFFFFFFF)
    else:
        at = shape["slot"] + rng.randrange(424)
        data[at] ^= rng.choice([1, 0x20, 0x30, 0xFF])
    return kind, bytes(data)


def run_one(packer, path, extra):
    result = subprocess.run([packer, "verify", path, *extra], capture_output=True)
    return result.returncode == 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--packer", required=True)
    parser.add_argument("-n", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--verify-arg", action="append", default=[])
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(1 << 31)
    print(f"seed {seed}")
    rng = random.Random(seed)
    exe = open(args.exe, "rb").read()
    shape = layout(exe)
    tried = collections.Counter()
    accepted = collections.Counter()
    examples = {}
    with tempfile.TemporaryDirectory() as work, \
            concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        jobs = []
        for i in range(args.n):
            kind, data = mutate(exe, shape, rng)
            if data == exe:
                continue
            path = os.path.join(work, f"m{i}.exe")
            with open(path, "wb") as f:
                f.write(data)
            jobs.append((kind, path, pool.submit(run_one, args.packer, path, args.verify_arg)))
        for kind, path, future in jobs:
            tried[kind] += 1
            if future.result():
                accepted[kind] += 1
                examples.setdefault(kind, path)
    for kind in sorted(tried):
        print(f"{kind:10} {accepted[kind]:5} accepted of {tried[kind]}")
    print(f"total      {sum(accepted.values()):5} accepted of {sum(tried.values())}")


if __name__ == "__main__":
    sys.exit(main())
