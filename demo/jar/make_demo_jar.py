#!/usr/bin/env python3
"""Writes the demo launcher's jar, KorvanThelm.jar, byte for byte the same on
every machine and every Python version.

The zip is written by hand rather than with zipfile: zipfile's header choices
(version fields, flags) have changed between Python releases, and deflate
output depends on the zlib build. Entries are stored, carry one fixed
timestamp, and come in the order the jar tool uses (META-INF/ first, marked
with the jar extra field 0xCAFE), so any Java runtime or unzip reads it.

  make_demo_jar.py OUT.jar         write the jar
  make_demo_jar.py --check JAR     exit 1 unless JAR is exactly what this
                                   script writes and reads back as a valid zip
"""
import io
import struct
import sys
import zipfile
import zlib

# 2025-01-01 00:00:00 in MS-DOS form: a fixed time keeps the build reproducible.
DOS_DATE = ((2025 - 1980) << 9) | (1 << 5) | 1
DOS_TIME = 0

MANIFEST = (
    "Manifest-Version: 1.0\r\n"
    "Created-By: KORVANTHELM demo/jar/make_demo_jar.py\r\n"
    "Implementation-Title: KORVANTHELM demo launcher\r\n"
    "Implementation-Version: 1.0.0\r\n"
    "\r\n"
)

PROPERTIES = (
    "# What the demo launcher would load at start.\n"
    "launcher.name=KORVANTHELM demo launcher\n"
    "launcher.version=1.0.0\n"
    "launcher.greeting=\\u0414\\u0435\\u043c\\u043e-\\u043b\\u0430\\u0443\\u043d\\u0447\\u0435\\u0440 KORVANTHELM\n"
)

# (name, content or None for a folder, extra field)
ENTRIES = [
    ("META-INF/", None, struct.pack("<HH", 0xCAFE, 0)),
    ("META-INF/MANIFEST.MF", MANIFEST.encode("ascii"), b""),
    ("korvanthelm/", None, b""),
    ("korvanthelm/demo/", None, b""),
    ("korvanthelm/demo/launcher.properties", PROPERTIES.encode("ascii"), b""),
]

VERSION = 20  # 2.0: folders; made by MS-DOS/FAT (high byte 0) like the jar tool
MSDOS_DIRECTORY = 0x10


def build_jar() -> bytes:
    out = io.BytesIO()
    central = io.BytesIO()
    for name, content, extra in ENTRIES:
        data = content or b""
        raw_name = name.encode("ascii")
        crc = zlib.crc32(data) & 0xFFFFFFFF
        offset = out.tell()
        out.write(struct.pack("<IHHHHHIIIHH", 0x04034B50, VERSION, 0, 0, DOS_TIME, DOS_DATE,
                              crc, len(data), len(data), len(raw_name), len(extra)))
        out.write(raw_name + extra + data)
        attributes = MSDOS_DIRECTORY if content is None else 0
        central.write(struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, VERSION, VERSION, 0, 0,
                                  DOS_TIME, DOS_DATE, crc, len(data), len(data), len(raw_name),
                                  len(extra), 0, 0, 0, attributes, offset))
        central.write(raw_name + extra)
    directory = central.getvalue()
    directory_offset = out.tell()
    out.write(directory)
    out.write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(ENTRIES), len(ENTRIES),
                          len(directory), directory_offset, 0))
    return out.getvalue()


def check(path: str) -> int:
    expected = build_jar()
    with open(path, "rb") as f:
        actual = f.read()
    if actual != expected:
        print(f"{path} differs from what make_demo_jar.py writes; regenerate it", file=sys.stderr)
        return 1
    with zipfile.ZipFile(io.BytesIO(actual)) as jar:
        bad = jar.testzip()
        names = jar.namelist()
        manifest = jar.read("META-INF/MANIFEST.MF")
    if bad is not None or names != [e[0] for e in ENTRIES] or manifest != MANIFEST.encode():
        print(f"{path} does not read back as the expected zip (bad entry: {bad})", file=sys.stderr)
        return 1
    return 0


def main(argv) -> int:
    if len(argv) == 3 and argv[1] == "--check":
        return check(argv[2])
    if len(argv) == 2:
        with open(argv[1], "wb") as f:
            f.write(build_jar())
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
