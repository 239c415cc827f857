#!/usr/bin/env python3
"""Draws the installer's and the uninstaller's program icon (MAINICON): a
white alarm bell on a blue rounded square, at 16 and 32 pixels (the sizes
Windows shows; it scales the 32-pixel picture for larger views), 32-bit with
alpha (plus the 1-bit mask older systems read), into resources/nivaxel.ico.

Deterministic: run it again after changing the drawing.
Usage: tools/make_nivaxel_icon.py [output.ico]
"""
import math
import os
import struct
import sys

SAMPLES = 4  # per axis, for smooth edges
BLUE_TOP, BLUE_BOTTOM = (40, 110, 200), (15, 55, 130)
WHITE = (255, 255, 255)
GOLD = (250, 200, 40)


def inside_rounded_square(x, y):
    r = 0.2
    cx = min(max(x, r), 1 - r)
    cy = min(max(y, r), 1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r and 0 <= x <= 1 and 0 <= y <= 1


def inside_bell(x, y):
    # Dome, flaring body, rim and clapper, in a unit square (y grows downwards).
    if (x - 0.5) ** 2 + (y - 0.42) ** 2 <= 0.22 ** 2 and y <= 0.42:
        return True
    if 0.42 <= y <= 0.70:
        half = 0.22 + (y - 0.42) * 0.35
        if abs(x - 0.5) <= half:
            return True
    if 0.70 <= y <= 0.76 and abs(x - 0.5) <= 0.35:
        return True
    if (x - 0.5) ** 2 + (y - 0.81) ** 2 <= 0.075 ** 2:
        return True
    return (x - 0.5) ** 2 + (y - 0.18) ** 2 <= 0.05 ** 2


def inside_spark(x, y):
    # A small gold ring at the top right: the alert going out.
    d = math.hypot(x - 0.80, y - 0.20)
    return 0.07 <= d <= 0.12


def pixel(size, px, py):
    acc = [0.0, 0.0, 0.0, 0.0]
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            x = (px + (sx + 0.5) / SAMPLES) / size
            y = (py + (sy + 0.5) / SAMPLES) / size
            if not inside_rounded_square(x, y):
                continue
            if inside_bell(x, y):
                colour = WHITE
            elif inside_spark(x, y):
                colour = GOLD
            else:
                colour = tuple(int(t + (b - t) * y) for t, b in zip(BLUE_TOP, BLUE_BOTTOM))
            for i in range(3):
                acc[i] += colour[i]
            acc[3] += 1
    n = SAMPLES * SAMPLES
    alpha = acc[3] / n
    if acc[3] == 0:
        return (0, 0, 0, 0)
    return tuple(int(round(c / acc[3])) for c in acc[:3]) + (int(round(alpha * 255)),)


def dib(size):
    rows = [[pixel(size, x, y) for x in range(size)] for y in range(size)]
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    stride = ((size + 31) // 32) * 4
    mask = b""
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits)
    return header + xor + mask


def icon(sizes=(16, 32)):
    images = [dib(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "resources", "nivaxel.ico")
    with open(target, "wb") as f:
        f.write(icon())
    print(f"wrote {os.path.normpath(target)}")
