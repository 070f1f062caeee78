#!/usr/bin/env python3
"""Draws the brand mark: a white "Z" on a rounded square in the accent purple, 300 x 300 pixels,
written as an RGBA PNG. Standard library only, and the same bytes on every run, so that the
setup built from the same sources is the same file.

Usage: make_brand.py OUTPUT.png
"""

import math
import struct
import sys
import zlib

SIZE = 300
SUPERSAMPLE = 4  # per axis, for the pixels an edge passes through

# The rounded square, inset so that its anti-aliased edge stays inside the image.
SQUARE = (6.0, 6.0, 294.0, 294.0)
CORNER = 64.0
TOP_COLOUR = (0x5A, 0x3A, 0x9A)
BOTTOM_COLOUR = (0x4B, 0x2E, 0x83)  # the accent purple

# The "Z": two bars joined by a slanted stroke, one outline (clockwise, in pixels).
ZED = [(84, 78), (216, 78), (216, 112), (136, 188), (216, 188), (216, 222),
       (84, 222), (84, 188), (164, 112), (84, 112)]


def square_distance(x, y):
    """Signed distance to the rounded square (negative inside)."""
    left, top, right, bottom = SQUARE
    cx, cy = (left + right) / 2, (top + bottom) / 2
    hx, hy = (right - left) / 2 - CORNER, (bottom - top) / 2 - CORNER
    dx, dy = abs(x - cx) - hx, abs(y - cy) - hy
    outside = math.hypot(max(dx, 0.0), max(dy, 0.0))
    return outside + min(max(dx, dy), 0.0) - CORNER


def segment_distance(px, py, ax, ay, bx, by):
    vx, vy = bx - ax, by - ay
    t = ((px - ax) * vx + (py - ay) * vy) / (vx * vx + vy * vy)
    t = min(1.0, max(0.0, t))
    return math.hypot(px - (ax + t * vx), py - (ay + t * vy))


def inside_polygon(x, y, points):
    inside = False
    n = len(points)
    for i in range(n):
        ax, ay = points[i]
        bx, by = points[(i + 1) % n]
        if (ay > y) != (by > y) and x < ax + (y - ay) * (bx - ax) / (by - ay):
            inside = not inside
    return inside


def zed_distance(x, y):
    """Signed distance to the outline of the Z (negative inside)."""
    n = len(ZED)
    d = min(segment_distance(x, y, *ZED[i], *ZED[(i + 1) % n]) for i in range(n))
    return -d if inside_polygon(x, y, ZED) else d


def coverage(distance_at, x, y):
    """The share of pixel (x, y) inside a shape: exact away from edges, supersampled near them."""
    d = distance_at(x + 0.5, y + 0.5)
    if d <= -1.0:
        return 1.0
    if d >= 1.0:
        return 0.0
    hits = 0
    for sy in range(SUPERSAMPLE):
        for sx in range(SUPERSAMPLE):
            if distance_at(x + (sx + 0.5) / SUPERSAMPLE, y + (sy + 0.5) / SUPERSAMPLE) < 0:
                hits += 1
    return hits / (SUPERSAMPLE * SUPERSAMPLE)


def pixel(x, y):
    square = coverage(square_distance, x, y)
    if square == 0.0:
        return (0, 0, 0, 0)
    t = y / (SIZE - 1)
    base = [TOP_COLOUR[i] + (BOTTOM_COLOUR[i] - TOP_COLOUR[i]) * t for i in range(3)]
    zed = coverage(zed_distance, x, y)
    rgb = [c + (255 - c) * zed for c in base]
    return tuple(int(round(c)) for c in rgb) + (int(round(255 * square)),)


def png(width, height, rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    raw = b"".join(b"\x00" + bytes(row) for row in rows)
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) +
            chunk(b"IEND", b""))


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    rows = []
    for y in range(SIZE):
        row = []
        for x in range(SIZE):
            row.extend(pixel(x, y))
        rows.append(row)
    with open(sys.argv[1], "wb") as out:
        out.write(png(SIZE, SIZE, rows))


if __name__ == "__main__":
    main()
