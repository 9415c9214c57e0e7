#!/usr/bin/env python3
"""Draws the window icon and writes it as loader/window/unit-loader.ico: one 32 x 32 image in
16 colours (4 bits per pixel, the standard palette) with a transparency mask, the form the
Windows resource 128 and the Qt window both read; and the same picture as
packaging/linux/unit-loader.png for the desktop menus of the Debian package. Run it again after
changing the drawing."""
import struct
import sys
import zlib
from pathlib import Path

# The 16 colours of the standard palette, in palette order.
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, GREEN, NAVY, SILVER, GRAY, LIME, YELLOW, BLUE = 0, 2, 4, 7, 8, 10, 11, 12
SIZE = 32
CLEAR = None


def draw():
    px = [[CLEAR] * SIZE for _ in range(SIZE)]

    def rect(x0, y0, x1, y1, colour):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                px[y][x] = colour

    def frame(x0, y0, x1, y1, colour):
        for x in range(x0, x1 + 1):
            px[y0][x] = px[y1][x] = colour
        for y in range(y0, y1 + 1):
            px[y][x0] = px[y][x1] = colour

    # The unit: a grey case with a note slot and a status lamp.
    rect(2, 15, 29, 30, SILVER)
    frame(2, 15, 29, 30, BLACK)
    for x in range(3, 29):
        px[29][x] = GRAY
    for y in range(16, 30):
        px[y][28] = GRAY
    rect(6, 18, 25, 19, BLACK)
    rect(5, 23, 26, 27, GRAY)
    frame(5, 23, 26, 27, BLACK)
    rect(7, 25, 14, 25, LIME)  # the progress of the download on the unit's display
    rect(23, 16, 25, 16, LIME)

    # The note going in: green with a pale border and a coin mark.
    rect(7, 2, 24, 13, GREEN)
    frame(7, 2, 24, 13, BLACK)
    frame(8, 3, 23, 12, LIME)
    for y, x0, x1 in ((5, 14, 17), (6, 13, 18), (7, 13, 18), (8, 13, 18), (9, 13, 18), (10, 14, 17)):
        rect(x0, y, x1, y, YELLOW)

    # The download arrow, from the note into the slot.
    rect(14, 8, 17, 15, BLUE)
    for i, y in enumerate(range(14, 18)):
        rect(11 + i, y, 20 - i, y, BLUE)
    frame(14, 8, 17, 8, NAVY)
    return px


def ico(px):
    xor_rows = []
    and_rows = []
    for row in reversed(px):  # bottom-up
        nibbles = [0 if c is CLEAR else c for c in row]
        xor_rows.append(bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, SIZE, 2)))
        bits = 0
        for c in row:
            bits = (bits << 1) | (1 if c is CLEAR else 0)
        and_rows.append(bits.to_bytes(4, "big"))
    xor = b"".join(xor_rows)
    mask = b"".join(and_rows)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    image = header + palette + xor + mask
    directory = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 22)
    return directory + image


def png(px):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    rows = b"".join(
        b"\0" + b"".join(bytes((0, 0, 0, 0)) if c is CLEAR else bytes(PALETTE[c] + (255,)) for c in row) for row in px
    )
    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b"")


def main():
    root = Path(__file__).resolve().parent.parent
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else root / "loader/window/unit-loader.ico"
    out_png = Path(sys.argv[2]) if len(sys.argv) > 2 else root / "packaging/linux/unit-loader.png"
    px = draw()
    out.write_bytes(ico(px))
    out_png.write_bytes(png(px))
    for f in (out, out_png):
        print(f"{f}: {f.stat().st_size} bytes")


if __name__ == "__main__":
    main()
