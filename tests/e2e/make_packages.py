#!/usr/bin/python3
"""Writes the end-to-end test packages: package files around arbitrary package
tables, including ones the packer refuses to make.

    make_packages.py --list                       names of all packages
    make_packages.py --out DIR --probe PROBE.exe  writes DIR/<name>.package
                                                  (and DIR/<name>.digest-source
                                                  where the exe must carry the
                                                  digest of other bytes)
        [--tree DIR]        also the ok_probe files as a folder tree
        [--mixed-tree DIR]  a tree for the packer to make real LZMS chunks of:
                            PE code, random bytes and text

Packages use stored chunks in the Compression API container: this writer is
independent of the project's own C++ writer on purpose, and every decoder
(the stand-in, and Windows' own) must accept stored chunks. The one LZMS
block written here is all zero bytes (see container_as_long_as). Each package
carries probe.exe as KORVANTHELM/KORVANTHELM.exe unless the case is about
something else, so a package that is wrongly accepted runs a real program.
"""
import argparse
import os
import random
import struct
import sys
import zlib

CHUNK = 1 << 26  # K = min(T, 64 MiB)
SETUP = "KORVANTHELM/KORVANTHELM.exe"


def container_header(total, k):
    header = bytearray(b"\x0a\x51\xe5\xc0\x18\x00\x00\x05" + struct.pack("<QQ", total, k))
    header[6] = zlib.crc32(bytes(header[:6] + header[7:])) & 0xFF
    return header


def container(data, declared_total=None, chunk=CHUNK):
    """A buffer-mode container with stored chunks (cs == chunk size)."""
    total = len(data) if declared_total is None else declared_total
    k = min(total, chunk)
    out = container_header(total, k)
    for start in range(0, len(data), k or 1):
        piece = data[start:start + k]
        out += struct.pack("<I", len(piece)) + piece
    return bytes(out)


def container_as_long_as(data):
    """A container exactly as long as `data`, which must hold 64 KiB of zero
    bytes somewhere: chunks of 32 KiB (the least a buffer of several chunks
    may use), all stored but one that lies wholly in the zeros, which is an
    LZMS block of zero bytes just short enough to pay for the header and the
    size fields. Both of a block's bit streams read zeros past their ends, so
    an all-zero block of any even length from 4 up decodes to zero bytes,
    in wimlib as in our decoder."""
    k = 1 << 15
    count = -(-len(data) // k)
    chunks = [data[start:start + k] for start in range(0, len(data), k)]
    zero = next(i for i, piece in enumerate(chunks) if len(piece) == k and not any(piece))
    block = bytes(k - (24 + 4 * count))
    out = container_header(len(data), k)
    for i, piece in enumerate(chunks):
        payload = block if i == zero else piece
        out += struct.pack("<I", len(payload)) + payload
    assert len(out) == len(data)
    return bytes(out)


def envelope(table, unpacked_size=None, magic=b"KTSETUP1", stream=None):
    size = len(table) if unpacked_size is None else unpacked_size
    return magic + struct.pack("<Q", size) + (container(table) if stream is None else stream)


def record(path, data=b"", path_length=None, data_size=None):
    path = path.encode("utf-8") if isinstance(path, str) else path
    pl = len(path) if path_length is None else path_length
    ds = len(data) if data_size is None else data_size
    return struct.pack("<H", pl) + path + struct.pack("<Q", ds) + data


def table(records, count=None, version=b"\x31\x00", magic=b"KTPK", tail=b""):
    body = b"".join(records)
    n = len(records) if count is None else count
    return magic + version + struct.pack("<I", n) + body + tail


def probe_tree(probe):
    """The files of the ok_probe package: the set-up program and 300-odd files
    in nested folders with Cyrillic names and spaces."""
    files = [(SETUP, probe), ("empty.txt", b""), ("readme.txt", b"hello\r\n")]
    for i in range(300):
        folder = ["data", "Данные/вложенная папка", "assets/with space", "a/b/c/d/e"][i % 4]
        files.append((f"{folder}/файл {i:03}.bin", bytes((i * 7 + j) & 0xFF for j in range(i))))
    return files


def mixed_tree(probe):
    """PE code (so the decoder's x86 filter runs), bytes no compressor can
    shrink, and text: what a launcher tree is made of."""
    rng = random.Random(1207)
    text = "".join(f"{i:05} строка журнала: loaded module {rng.randrange(1 << 20):06x} "
                   f"in {rng.randrange(1000)} ms\r\n" for i in range(6000)).encode("utf-8")
    return [(SETUP, probe), ("bin/probe-copy.dll", probe), ("assets/noise.bin", rng.randbytes(300_000)),
            ("logs/пример журнала.txt", text), ("assets/empty.dat", b"")]


def cases(probe):
    """name -> (package bytes, digest source bytes or None)."""
    setup = record(SETUP, probe)
    c = {}

    def add(name, table_bytes=None, package=None, digest_source=None):
        c[name] = (package if package is not None else envelope(table_bytes), digest_source)

    # --- runs: the set-up program is started ---------------------------------------
    add("ok_probe", table([record(path, data) for path, data in probe_tree(probe)]))
    add("ok_no_setup_program", table([record("KORVANTHELM/other.exe", probe)]))
    # Two names that differ only in the case of Cyrillic letters: different for
    # the registry; a file system that ignores case refuses the second file.
    add("ok_cyrillic_case_pair", table([setup, record("Файл.txt", b"1"), record("файл.txt", b"2")]))
    # A stream exactly as long as its table: a decompressor that copies its
    # input (newer Wine's stub) reports the right count of wrong bytes.
    as_long = table([setup, record("zeros.bin", bytes(1 << 16))])
    add("ok_stream_as_long_as_table", package=envelope(as_long, stream=container_as_long_as(as_long)))

    # --- record bounds ---------------------------------------------------------------
    add("bounds_path_length_cut", table([setup], count=2, tail=b"\x05"))
    add("bounds_path_past_end", table([setup], count=2, tail=struct.pack("<H", 10) + b"abc"))
    add("bounds_data_size_short", table([setup], count=2, tail=record("x.txt")[:-3]))
    add("bounds_data_one_past", table([setup, record("x.txt", b"abc", data_size=4)]))
    add("bounds_fewer_records", table([setup, record("a.txt", b"a")], count=3))
    add("trailing_extra_record", table([setup, record("a.txt"), record("b.txt")], count=2))
    add("trailing_one_byte", table([setup], tail=b"\x00"))

    # --- table header ------------------------------------------------------------------
    add("header_version_32", table([setup], version=b"\x32\x00"))
    add("header_version_swapped", table([setup], version=b"\x00\x31"))
    add("header_bad_magic", table([setup], magic=b"KTPL"))
    add("header_count_zero", table([setup], count=0))
    add("header_count_10001", table([setup], count=10001))
    add("header_count_max", table([setup], count=0xFFFFFFFF))
    add("header_table_9_bytes", b"KTPK\x31\x00\x01\x00\x00")

    # --- envelope and stream -------------------------------------------------------------
    good = table([setup])
    add("envelope_size_above_limit", package=envelope(good, unpacked_size=0x80000001))
    add("envelope_size_more_than_stream", package=envelope(good, unpacked_size=len(good) + 1))
    add("envelope_size_less_than_stream", package=envelope(good, unpacked_size=len(good) - 1))
    add("envelope_bad_magic", package=envelope(good, magic=b"KTSETUP2"))
    add("envelope_15_bytes", package=envelope(good)[:15])
    add("envelope_stream_garbage", package=envelope(good, stream=b"\x0a\x51\xe5\xc0" + b"\xff" * 40))
    damaged_header = bytearray(container(good))
    damaged_header[6] ^= 0x01  # the container's check byte
    add("envelope_stream_check_byte", package=envelope(good, stream=bytes(damaged_header)))
    tampered = bytearray(envelope(good))
    tampered[-1] ^= 0x01
    add("digest_mismatch", package=bytes(tampered), digest_source=envelope(good))
    size_tampered = bytearray(envelope(good))
    size_tampered[8] ^= 0x01
    add("digest_mismatch_in_size", package=bytes(size_tampered), digest_source=envelope(good))

    # --- entry paths that are not well-formed UTF-8 -----------------------------------------
    for name, raw in [("utf8_empty", b""), ("utf8_lone_ff", b"\xff"),
                      ("utf8_truncated", b"a\xd0"), ("utf8_overlong_slash", b"a\xc0\xafb"),
                      ("utf8_surrogate", b"\xed\xa0\x80.txt"), ("utf8_above_max", b"\xf4\x90\x80\x80"),
                      ("utf8_stray_continuation", b"\x80abc")]:
        add(name, table([setup, record(raw, b"x")]))

    # --- unsafe entry paths ------------------------------------------------------------------
    for name, path in [("unsafe_parent", "../x.txt"), ("unsafe_nested_parent", "a/../../x.txt"),
                       ("unsafe_drive", "C:/x.txt"), ("unsafe_stream", "a:stream"),
                       ("unsafe_device", "CON.txt"), ("unsafe_device_folder", "com1/x.txt"),
                       ("unsafe_trailing_dot", "a./b.txt"), ("unsafe_trailing_space", "a /b.txt"),
                       ("unsafe_backslash", "a\\b.txt"), ("unsafe_absolute", "/x.txt"),
                       ("unsafe_too_long", "a" * 1001), ("unsafe_control", "a\tb.txt")]:
        add(name, table([setup, record(path, b"x")]))

    # --- duplicates and structure ---------------------------------------------------------------
    add("duplicate_ascii_case", table([setup, record("docs/readme.txt", b"1"),
                                       record("Docs/Readme.txt", b"2")]))
    add("duplicate_exact", table([setup, record("a.txt", b"1"), record("a.txt", b"2")]))
    add("structure_file_then_folder", table([setup, record("a", b"file"), record("a/b", b"x")]))
    add("structure_folder_then_file", table([setup, record("a/b", b"x"), record("a", b"file")]))

    # --- faults of the player's machine ---------------------------------------------------------
    # 8 MiB in 1 MiB files: more than the small TEMP file system holds, so it fills part-way.
    add("fault_fill_disk", table([setup] + [record(f"fill/part {i}.bin", bytes(range(256)) * 4096)
                                            for i in range(8)]))
    return c


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--out")
    parser.add_argument("--probe")
    parser.add_argument("--tree", help="also write the ok_probe files as a folder tree here")
    parser.add_argument("--mixed-tree", help="also write the mixed tree here")
    args = parser.parse_args()
    if args.list:
        print("\n".join(sorted(cases(b"probe"))))
        return
    if not args.out or not args.probe:
        parser.error("--out and --probe are required")
    with open(args.probe, "rb") as f:
        probe = f.read()
    os.makedirs(args.out, exist_ok=True)
    for folder, files in [(args.tree, probe_tree), (args.mixed_tree, mixed_tree)]:
        if folder:
            for path, data in files(probe):
                os.makedirs(os.path.dirname(os.path.join(folder, path)), exist_ok=True)
                write(os.path.join(folder, path), data)
    for name, (package, digest_source) in sorted(cases(probe).items()):
        write(os.path.join(args.out, name + ".package"), package)
        if digest_source is not None:
            write(os.path.join(args.out, name + ".digest-source"), digest_source)


def write(path, data):
    # Unchanged bytes keep their timestamp, so the exes around them are not relinked.
    try:
        with open(path, "rb") as f:
            if f.read() == data:
                return
    except FileNotFoundError:
        pass
    with open(path, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    sys.exit(main())
