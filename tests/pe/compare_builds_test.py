#!/usr/bin/python3
"""Shows that compare_builds.py tells a signed build from a changed one.

Usage: compare_builds_test.py EXE

EXE is an unsigned executable (the stub). Each case makes a "signed" copy of
it the way a signing tool would (CheckSum and certificate table entry set,
the table appended on an 8-byte boundary), plants at most one fault of the
kind a re-link or a careless signing tool leaves, and requires compare_builds.py
to accept the clean copy and report exactly the fault in every other one.
"""

import os
import struct
import subprocess
import sys
import tempfile

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
COMPARE = os.path.join(HERE, "compare_builds.py")
CERTIFICATE_TABLE = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0200, 0x0002


class Layout:
    """File offsets of the fields a signature touches, and of some code."""

    def __init__(self, image):
        pe = pefile.PE(data=bytes(image), fast_load=True)
        self.checksum = pe.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum")
        self.entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[CERTIFICATE_TABLE].get_file_offset()
        self.time_stamp = pe.FILE_HEADER.get_field_absolute_offset("TimeDateStamp")
        text = next(s for s in pe.sections if s.Name.rstrip(b"\0") == b".text")
        self.code = text.PointerToRawData + text.SizeOfRawData // 2


def sign(image, gap=None, padding_byte=0, table_size=None, trailing=b""):
    """image plus a stand-in certificate table, its entry and a new CheckSum.

    gap: bytes between the image and the table (default: to the next 8-byte
    boundary); table_size: what the entry claims (default: the real size)."""
    layout = Layout(image)
    if gap is None:
        gap = -len(image) % 8
    content = b"stand-in PKCS#7 SignedData"
    content += bytes(-len(content) % 8)
    table = struct.pack("<IHH", 8 + len(content), WIN_CERT_REVISION_2_0,
                        WIN_CERT_TYPE_PKCS_SIGNED_DATA) + content
    signed = bytearray(image)
    struct.pack_into("<I", signed, layout.checksum, 0x0001_2345)
    struct.pack_into("<II", signed, layout.entry, len(image) + gap,
                     len(table) if table_size is None else table_size)
    if gap:
        signed += bytes([padding_byte]) + bytes(gap - 1)
    return signed + table + trailing


def changed(image, offset):
    copy = bytearray(image)
    copy[offset] ^= 0xFF
    return copy


def run(work, command, first, second):
    paths = []
    for name, content in (("first.exe", first), ("second.exe", second)):
        paths.append(os.path.join(work, name))
        with open(paths[-1], "wb") as out:
            out.write(content)
    result = subprocess.run([sys.executable, COMPARE, command] + paths,
                            capture_output=True, text=True, check=False)
    output = result.stdout.replace(paths[0], "FIRST").replace(paths[1], "SECOND")
    return result.returncode, output + result.stderr


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__.strip().splitlines()[2])
    with open(sys.argv[1], "rb") as file:
        image = bytearray(file.read())
    layout = Layout(image)
    aligned_gap = -len(image) % 8
    # (what the case shows, command, first file, second file, exit code, output)
    cases = [
        ("a signature and nothing else passes", "signed-only", image, sign(image), 0, ""),
        ("the table may start right after the image", "signed-only",
         image + bytes(aligned_gap), sign(image + bytes(aligned_gap), gap=0), 0, ""),
        ("a re-link stamped another time", "signed-only", image,
         sign(changed(image, layout.time_stamp)), 1,
         f"  SECOND differs from FIRST outside the signature's header fields, at: "
         f"0x{layout.time_stamp:x}\n"),
        ("code changed beside the signature", "signed-only", image,
         sign(changed(image, layout.code)), 1,
         f"  SECOND differs from FIRST outside the signature's header fields, at: "
         f"0x{layout.code:x}\n"),
        ("non-zero padding before the table", "signed-only", image,
         sign(image, gap=4, padding_byte=0xCC), 1,
         "  SECOND has non-zero bytes before its certificate table\n"),
        ("8 bytes of padding are one alignment too many", "signed-only", image,
         sign(image, gap=8), 1,
         "  SECOND is not the unsigned bytes followed by one certificate table\n"),
        ("bytes appended after the table", "signed-only", image,
         sign(image, trailing=b"\0"), 1,
         "  SECOND is not the unsigned bytes followed by one certificate table\n"),
        ("an entry claiming an empty table", "signed-only", image,
         sign(image, table_size=0), 1,
         "  SECOND is not the unsigned bytes followed by one certificate table\n"),
        ("the signed file as the unsigned one", "signed-only", sign(image), sign(image), 1,
         "  FIRST carries a signature itself\n"),
        ("a file that is no PE image", "signed-only", b"MZ" + bytes(62), sign(image), 1,
         "  FIRST: not a PE image\n"),
        ("differences named by section", "first-differences", image,
         changed(changed(image, layout.time_stamp), layout.code), 0,
         f"  0x{layout.time_stamp:08x} headers  0x{image[layout.time_stamp]:02x} "
         f"0x{image[layout.time_stamp] ^ 0xFF:02x}\n"
         f"  0x{layout.code:08x} .text    0x{image[layout.code]:02x} "
         f"0x{image[layout.code] ^ 0xFF:02x}\n"),
        ("a longer second build", "first-differences", image, image + b"\0", 0,
         f"  sizes differ: {len(image)} and {len(image) + 1} bytes\n"),
    ]
    failures = 0
    with tempfile.TemporaryDirectory() as work:
        for (what, command, first, second, expected_code, expected_output) in cases:
            code, output = run(work, command, first, second)
            if (code, output) != (expected_code, expected_output):
                failures += 1
                print(f"FAIL {what}: exit {code}, output:\n{output}"
                      f"expected exit {expected_code}, output:\n{expected_output}")
            else:
                print(f"ok   {what}")
    print(f"{len(cases) - failures} of {len(cases)} cases passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
