#!/usr/bin/python3
"""Compares two builds of an executable, reading their PE headers with pefile.

Usage: compare_builds.py signed-only UNSIGNED SIGNED
       compare_builds.py first-differences FIRST SECOND

signed-only exits with 0 when SIGNED is UNSIGNED plus an Authenticode
signature and nothing else: the same bytes apart from the optional header's
CheckSum and the certificate table's directory entry, then up to 7 zero bytes
that align the certificate table, which ends the file. Otherwise it says what
else differs, one line each, and exits with 1.

first-differences lists the first differing bytes of two builds that should
have been identical, each with the PE section of FIRST it falls in ("headers"
outside every section): header bytes (a time stamp, the checksum) point at
the link, .rsrc at the resources or the package, .rdata/.text at the code (a
build path compiled in, for example). Exits with 0.

scripts/check-reproducible.sh runs both.
"""

import argparse
import itertools
import sys

import pefile

CERTIFICATE_TABLE = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
# The certificate table starts on an 8-byte boundary, so at most 7 bytes of
# padding sit between the image and the table.
CERTIFICATE_ALIGNMENT = 8
# Enough differing offsets to show where they lie without flooding the log.
LISTED_DIFFERENCES = 20
OFFSETS_TEXT_LIMIT = 100


def read(path):
    with open(path, "rb") as file:
        return file.read()


def parse(path, data):
    """The PE image of data, headers only; None when data is not a PE image."""
    try:
        return pefile.PE(data=data, fast_load=True)
    except pefile.PEFormatError:
        return None


def certificate_entry(pe):
    """The certificate table's data directory entry; None when the image has none."""
    directories = pe.OPTIONAL_HEADER.DATA_DIRECTORY
    return directories[CERTIFICATE_TABLE] if len(directories) > CERTIFICATE_TABLE else None


def signature_only_faults(unsigned_path, signed_path):
    """What makes signed more than unsigned plus a signature: a list of lines."""
    unsigned, signed = read(unsigned_path), read(signed_path)
    unsigned_pe = parse(unsigned_path, unsigned)
    if unsigned_pe is None:
        return [f"  {unsigned_path}: not a PE image"]
    entry = certificate_entry(unsigned_pe)
    if entry is None:
        return [f"  {unsigned_path} has no certificate table entry"]
    if entry.Size != 0:
        return [f"  {unsigned_path} carries a signature itself"]
    signed_pe = parse(signed_path, signed)
    signed_entry = None if signed_pe is None else certificate_entry(signed_pe)
    if signed_entry is None:
        return [f"  {signed_path}: not a PE image"]
    table, table_size = signed_entry.VirtualAddress, signed_entry.Size
    # Where the fields a signature changes lie in the unsigned image; if the
    # signed one has its headers elsewhere, that shows as other bytes below.
    entry_offset = entry.get_file_offset()
    checksum_offset = unsigned_pe.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum")
    size = len(unsigned)
    if (table_size == 0 or table < size or table - size >= CERTIFICATE_ALIGNMENT
            or table + table_size != len(signed)):
        return [f"  {signed_path} is not the unsigned bytes followed by one certificate table"]
    if any(signed[size:table]):
        return [f"  {signed_path} has non-zero bytes before its certificate table"]
    allowed = set(range(checksum_offset, checksum_offset + 4)) | set(
        range(entry_offset, entry_offset + entry.sizeof()))
    others = (offset for offset in differing_offsets(unsigned, signed) if offset not in allowed)
    others = "".join(f" 0x{offset:x}" for offset in itertools.islice(others, LISTED_DIFFERENCES))
    if others:
        return [f"  {signed_path} differs from {unsigned_path} outside the signature's header "
                f"fields, at:{others[:OFFSETS_TEXT_LIMIT]}"]
    return []


def differing_offsets(first, second):
    """Offsets where first and second differ, ascending, within the shorter of them."""
    chunk = 1 << 16  # whole chunks compared first: builds differ in few places
    for start in range(0, min(len(first), len(second)), chunk):
        a, b = first[start:start + chunk], second[start:start + chunk]
        if a != b:
            yield from (start + i for i, (x, y) in enumerate(zip(a, b)) if x != y)


def section_at(pe, offset):
    """Name of the section whose file data holds offset; "headers" outside all of them."""
    if pe is not None:
        for section in pe.sections:
            start = section.PointerToRawData
            # Sections without file data (.bss) have offset 0.
            if start > 0 and start <= offset < start + section.SizeOfRawData:
                return section.Name.rstrip(b"\0").decode("ascii", "replace")
    return "headers"


def first_differences(first_path, second_path):
    """Lines naming the first differing bytes: offset, section, both values."""
    first, second = read(first_path), read(second_path)
    pe = parse(first_path, first)
    lines = []
    for offset in differing_offsets(first, second):
        lines.append(f"  0x{offset:08x} {section_at(pe, offset):<8s} "
                     f"0x{first[offset]:02x} 0x{second[offset]:02x}")
        if len(lines) == LISTED_DIFFERENCES:
            break
    if len(first) != len(second) and len(lines) < LISTED_DIFFERENCES:
        lines.append(f"  sizes differ: {len(first)} and {len(second)} bytes")
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    signed_only = commands.add_parser("signed-only")
    signed_only.add_argument("unsigned")
    signed_only.add_argument("signed")
    differences = commands.add_parser("first-differences")
    differences.add_argument("first")
    differences.add_argument("second")
    args = parser.parse_args()
    if args.command == "signed-only":
        faults = signature_only_faults(args.unsigned, args.signed)
        for line in faults:
            print(line)
        return 1 if faults else 0
    for line in first_differences(args.first, args.second):
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
