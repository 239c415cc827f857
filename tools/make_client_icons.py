#!/usr/bin/env python3
"""Draws the client's three 32x32 16-colour icons (with transparency masks)
and writes them as .ico files into resources/:

  client_connecte.ico    green-edged white triangle with a grey disc
  client_deconnecte.ico  the same triangle with a red broken connector
  client_alerte.ico      red-edged white triangle with a black exclamation mark

Run it again after changing the drawing; the output is deterministic.
Usage: tools/make_client_icons.py [output-folder]
"""
import math
import os
import struct
import sys

SIZE = 32
# The standard 16-colour palette, as (r, g, b).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, DARK_GREEN, SILVER, GREY, RED, GREEN, WHITE = 0, 2, 7, 8, 9, 10, 15
TRANSPARENT = None

# Triangle pointing up, filling the square.
TRIANGLE = [(15.5, 1.0), (0.5, 29.5), (30.5, 29.5)]


def edge_distance(px, py, a, b):
    ax, ay = a
    bx, by = b
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def inside_triangle(px, py):
    def side(a, b):
        return (b[0] - a[0]) * (py - a[1]) - (b[1] - a[1]) * (px - a[0])
    s = [side(TRIANGLE[i], TRIANGLE[(i + 1) % 3]) for i in range(3)]
    return all(v >= 0 for v in s) or all(v <= 0 for v in s)


def triangle(edge_colour, edge_width=2.6):
    """Pixels of the triangle: edge colour near the sides, white inside."""
    img = [[TRANSPARENT] * SIZE for _ in range(SIZE)]
    for y in range(SIZE):
        for x in range(SIZE):
            cx, cy = x + 0.5, y + 0.5
            d = min(edge_distance(cx, cy, TRIANGLE[i], TRIANGLE[(i + 1) % 3]) for i in range(3))
            if inside_triangle(cx, cy):
                img[y][x] = edge_colour if d < edge_width else WHITE
            elif d < 0.6:
                img[y][x] = edge_colour
    return img


def disc(img, cx, cy, r, colour):
    for y in range(SIZE):
        for x in range(SIZE):
            if math.hypot(x + 0.5 - cx, y + 0.5 - cy) <= r:
                img[y][x] = colour


def box(img, x0, y0, x1, y1, colour):
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            img[y][x] = colour


def connected():
    img = triangle(DARK_GREEN)
    disc(img, 15.5, 20.0, 5.2, GREY)
    return img


def disconnected():
    img = triangle(DARK_GREEN)
    # Left half: a cable ending in a plug with two prongs.
    box(img, 6, 21, 10, 22, RED)
    box(img, 11, 18, 13, 25, RED)
    box(img, 14, 19, 14, 19, RED)
    box(img, 14, 24, 14, 24, RED)
    # Right half, apart from it: the socket and its cable.
    box(img, 18, 18, 20, 25, RED)
    box(img, 21, 21, 25, 22, RED)
    # The break between them.
    box(img, 16, 15, 16, 16, RED)
    box(img, 15, 27, 15, 27, RED)
    return img


def warning():
    img = triangle(RED)
    box(img, 14, 10, 17, 20, BLACK)
    box(img, 15, 21, 16, 21, BLACK)
    box(img, 14, 23, 17, 26, BLACK)
    return img


def ico_bytes(img):
    """One 32x32 4-bit image with its AND mask, both bottom-up."""
    xor_rows = []
    and_rows = []
    for y in reversed(range(SIZE)):
        row = img[y]
        packed = bytearray()
        for x in range(0, SIZE, 2):
            hi = row[x] if row[x] is not None else 0
            lo = row[x + 1] if row[x + 1] is not None else 0
            packed.append((hi << 4) | lo)
        xor_rows.append(bytes(packed))
        bits = 0
        for x in range(SIZE):
            bits = (bits << 1) | (1 if row[x] is None else 0)
        and_rows.append(struct.pack(">I", bits))
    xor = b"".join(xor_rows)
    mask = b"".join(and_rows)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0,
                         len(xor) + len(mask), 0, 0, 16, 0)
    image = header + palette + xor + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "resources")
    for name, draw in (("client_connecte", connected), ("client_deconnecte", disconnected),
                       ("client_alerte", warning)):
        with open(os.path.join(out, name + ".ico"), "wb") as f:
            f.write(ico_bytes(draw()))


if __name__ == "__main__":
    main()
