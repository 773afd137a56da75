#!/usr/bin/env python3
"""Draws the icons of the Windows clients and writes them as .ico files.

Each icon holds two 32x32 images: one in 16 colours (4 bits per pixel, the standard VGA
palette) and one in 2 colours (1 bit per pixel). The picture is a loudspeaker sending sound
waves, on a round badge: blue for the console client, green for the windowed one.

    makeicons.py console|window OUTPUT.ico
"""
import struct
import sys

SIZE = 32

# The standard 16-colour palette, as (blue, green, red, 0) quads.
VGA = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]  # (red, green, blue)
BLACK, NAVY, GREEN, WHITE, YELLOW, SILVER = 0, 4, 2, 15, 11, 7


def draw(badge):
    """Returns (pixels, mask): 32 rows of palette indices, top row first, and the
    transparency of each pixel (True: transparent)."""
    pix = [[BLACK] * SIZE for _ in range(SIZE)]
    mask = [[True] * SIZE for _ in range(SIZE)]
    c = (SIZE - 1) / 2.0
    for y in range(SIZE):
        for x in range(SIZE):
            d2 = (x - c) ** 2 + (y - c) ** 2
            if d2 <= 15.8 ** 2:
                mask[y][x] = False
                pix[y][x] = BLACK if d2 > 14.5 ** 2 else badge
    # Loudspeaker: a magnet block and a cone that widens to the right.
    for y in range(12, 20):
        for x in range(6, 11):
            pix[y][x] = SILVER
    for x in range(11, 17):
        half = 4 + (x - 11)
        for y in range(16 - half, 16 + half):
            pix[y][x] = WHITE
    # Three sound waves: arcs around the cone's mouth.
    for radius in (4, 7, 10):
        for y in range(SIZE):
            for x in range(17, SIZE):
                d = ((x - 15.5) ** 2 + (y - 15.5) ** 2) ** 0.5
                if abs(d - radius) < 0.75 and abs(y - 15.5) < radius * 0.75 and not mask[y][x]:
                    if (x - c) ** 2 + (y - c) ** 2 <= 14.0 ** 2:
                        pix[y][x] = YELLOW
    return pix, mask


def rows_bottom_up(rows):
    return list(reversed(rows))


def andmask(mask):
    out = b""
    for row in rows_bottom_up(mask):
        bits = 0
        for x, transparent in enumerate(row):
            if transparent:
                bits |= 1 << (31 - x)
        out += struct.pack(">I", bits)
    return out


def image(pix, mask, bpp):
    colours = 1 << bpp
    if bpp == 4:
        palette = VGA
        body = b""
        for row in rows_bottom_up(pix):
            body += bytes((row[x] << 4) | row[x + 1] for x in range(0, SIZE, 2))
    else:
        # Two colours: black and white, by the brightness of the 16-colour picture.
        palette = [VGA[BLACK], VGA[WHITE]]
        body = b""
        for row in rows_bottom_up(pix):
            bits = 0
            for x, p in enumerate(row):
                r, g, b = VGA[p]
                if r + g + b >= 3 * 0xA0:
                    bits |= 1 << (31 - x)
            body += struct.pack(">I", bits)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, 2 * SIZE, 1, bpp, 0,
                         len(body) + len(andmask(mask)), 0, 0, colours, 0)
    pal = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in palette)
    return header + pal + body + andmask(mask), colours


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("console", "window"):
        sys.exit(__doc__)
    pix, mask = draw(NAVY if sys.argv[1] == "console" else GREEN)
    images = [image(pix, mask, 4), image(pix, mask, 1)]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for data, colours in images:
        bpp = 4 if colours == 16 else 1
        out += struct.pack("<BBBBHHII", SIZE, SIZE, colours, 0, 1, bpp, len(data), offset)
        offset += len(data)
    out += b"".join(data for data, _ in images)
    with open(sys.argv[2], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
