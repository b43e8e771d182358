#!/usr/bin/env python3
"""Renders the application icon from korvanthelm-icon.svg.

Writes one PNG per icon size beside this script (for review) and
../korvanthelm.ico, the file the resource script embeds. The .ico holds the
sizes smallest first; every size up to 128 is a 32-bit bitmap with alpha and
256 is a PNG, because the icon group the resource compiler makes from it
keeps the file's order and formats.

The generated files are committed, so the build never needs this script; run
it after changing the artwork. Needs rsvg-convert (Debian librsvg2-bin) and
ImageMagick's convert.
"""

import pathlib
import struct
import subprocess

HERE = pathlib.Path(__file__).resolve().parent
SOURCE = HERE / "korvanthelm-icon.svg"
ICO = HERE.parent / "korvanthelm.ico"
BITMAP_SIZES = (16, 20, 24, 32, 40, 48, 64, 96, 128)
PNG_SIZE = 256


def render_png(size):
    """Rasterises the artwork at size x size; returns the PNG file's bytes."""
    out = HERE / f"korvanthelm-{size}.png"
    # Rendering each size from the outline (not scaling one large bitmap
    # down) keeps the small sizes' edges as sharp as the grid allows.
    subprocess.run(["rsvg-convert", "-w", str(size), "-h", str(size), "-o", str(out), str(SOURCE)],
                   check=True)
    return out


def png_essentials(data):
    """Keeps only the chunks a decoder needs, so the icon carries no
    renderer-specific metadata."""
    signature = data[:8]
    assert signature == b"\x89PNG\r\n\x1a\n", "not a PNG file"
    kept = [signature]
    pos = 8
    while pos < len(data):
        (length, kind) = struct.unpack(">I4s", data[pos:pos + 8])
        chunk = data[pos:pos + 12 + length]
        if kind in (b"IHDR", b"IDAT", b"IEND"):
            kept.append(chunk)
        pos += 12 + length
    ihdr = kept[1][8:21]
    (width, height, depth, color_type) = struct.unpack(">IIBB", ihdr[:10])
    assert (width, height, depth, color_type) == (PNG_SIZE, PNG_SIZE, 8, 6), \
        "the large image must be 8-bit RGBA"
    return b"".join(kept)


def bgra_pixels(png_path, size):
    """Top-down rows of straight-alpha BGRA pixels."""
    raw = subprocess.run(["convert", str(png_path), "-depth", "8", "BGRA:-"],
                         check=True, capture_output=True).stdout
    assert len(raw) == size * size * 4, f"unexpected pixel data for {png_path}"
    return [raw[row * size * 4:(row + 1) * size * 4] for row in range(size)]


def icon_bitmap(png_path, size):
    """An icon image as Windows stores it: BITMAPINFOHEADER with twice the
    height (colour rows plus mask rows), 32-bit colour rows bottom-up, then
    the 1-bit AND mask bottom-up with rows padded to 32 bits. The mask marks
    fully transparent pixels for consumers that ignore alpha."""
    rows = bgra_pixels(png_path, size)
    mask_stride = (size + 31) // 32 * 4
    mask_rows = []
    for row in rows:
        bits = bytearray(mask_stride)
        for x in range(size):
            if row[x * 4 + 3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask_rows.append(bytes(bits))
    color = b"".join(reversed(rows))
    mask = b"".join(reversed(mask_rows))
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(color) + len(mask),
                         0, 0, 0, 0)
    return header + color + mask


def write_ico(images):
    """images: (size, bytes) in the order the group must list them."""
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    blobs = []
    for (size, blob) in images:
        dimension = 0 if size == 256 else size  # a zero byte means 256
        directory += struct.pack("<BBBBHHII", dimension, dimension, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
        blobs.append(blob)
    ICO.write_bytes(directory + b"".join(blobs))


def main():
    images = []
    for size in BITMAP_SIZES:
        images.append((size, icon_bitmap(render_png(size), size)))
    large = render_png(PNG_SIZE)
    large.write_bytes(png_essentials(large.read_bytes()))
    images.append((PNG_SIZE, large.read_bytes()))
    write_ico(images)
    print(f"wrote {ICO} with {len(images)} images")


if __name__ == "__main__":
    main()
