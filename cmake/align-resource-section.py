"""Moves the resource section's raw data of a linked PE to a page boundary.

    align-resource-section.py EXE

KORVANTHELM.exe carries its package in the resource section, tens of
megabytes. The loader can map a section straight from the file only when its
raw data starts on a page boundary; Wine otherwise reads the whole section
into fresh memory at every start (about 40 ms for a 41 MB package). The
linker lays sections out on 512-byte boundaries, and a 4096-byte file
alignment for every section would cost tens of kilobytes; this step inserts
at most 3.5 KB of zeros before the resource section instead and shifts the
sections after it. Nothing else refers to file offsets in a stripped,
unsigned exe, which is what the link produces; anything else is refused.
The checksum is computed again. The result depends only on the input, so the
exe stays byte-reproducible.
"""
import struct
import sys

PAGE = 4096
PE32_PLUS_MAGIC = 0x20B
RESOURCE_DIRECTORY = 2
SECURITY_DIRECTORY = 4
DEBUG_DIRECTORY = 6
SECTION_HEADER_SIZE = 40


class Refused(Exception):
    pass


def checksum(image, checksum_offset):
    """The PE checksum: 16-bit one's-complement-style sum of the file (with
    the checksum field taken as zero), folded, plus the file's length."""
    data = bytearray(image)
    data[checksum_offset:checksum_offset + 4] = bytes(4)
    if len(data) % 2:
        data.append(0)
    total = sum(struct.unpack_from(f"<{len(data) // 2}H", data))
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(image)) & 0xFFFFFFFF


def align_resource_section(image):
    """The aligned image, or the same bytes when nothing has to move."""
    if image[:2] != b"MZ":
        raise Refused("not a PE file")
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        raise Refused("not a PE file")
    coff = pe + 4
    sections, = struct.unpack_from("<H", image, coff + 2)
    symbol_table, = struct.unpack_from("<I", image, coff + 8)
    optional_size, = struct.unpack_from("<H", image, coff + 16)
    optional = coff + 20
    if struct.unpack_from("<H", image, optional)[0] != PE32_PLUS_MAGIC:
        raise Refused("not a 64-bit image")
    checksum_offset = optional + 64
    directory_count, = struct.unpack_from("<I", image, optional + 108)

    def directory(index):
        if index >= directory_count:
            return 0, 0
        return struct.unpack_from("<II", image, optional + 112 + 8 * index)

    if symbol_table != 0:
        raise Refused("has a symbol table (link with -s)")
    if directory(SECURITY_DIRECTORY)[1] != 0:
        raise Refused("is already signed (align before signing)")
    if directory(DEBUG_DIRECTORY)[1] != 0:
        raise Refused("has a debug directory")
    resource_rva = directory(RESOURCE_DIRECTORY)[0]
    if resource_rva == 0:
        return image

    table = optional + optional_size
    headers = []
    for i in range(sections):
        at = table + SECTION_HEADER_SIZE * i
        rva, raw_size, raw_offset = struct.unpack_from("<III", image, at + 12)
        headers.append((at, rva, raw_size, raw_offset))
    resource = [h for h in headers if h[1] == resource_rva]
    if len(resource) != 1:
        raise Refused("the resource directory is not at the start of a section")
    start = resource[0][3]
    padding = -start % PAGE
    if padding == 0:
        return image

    out = bytearray(image[:start]) + bytes(padding) + image[start:]
    for at, _, raw_size, raw_offset in headers:
        if raw_size != 0 and raw_offset >= start:
            struct.pack_into("<I", out, at + 20, raw_offset + padding)
    if struct.unpack_from("<I", image, checksum_offset)[0] != 0:
        struct.pack_into("<I", out, checksum_offset, checksum(out, checksum_offset))
    return bytes(out)


def main(argv):
    if len(argv) != 2:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    path = argv[1]
    with open(path, "rb") as f:
        image = f.read()
    try:
        aligned = align_resource_section(image)
    except (Refused, struct.error) as e:
        print(f"{path}: cannot align the resource section: {e}", file=sys.stderr)
        return 1
    if aligned is not image:
        with open(path, "wb") as f:
            f.write(aligned)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
