#!/usr/bin/env python3
"""Draws the application's artwork: resources/DockIcon.png (the dock tile's
background, 128 x 128) and resources/MiniProgressGradient.png (the bar's
fill, stretched into whatever width the progress needs).

Standard library only, so it runs anywhere the build does. The output is
deterministic: running it again gives the same bytes.
"""
import math
import os
import struct
import sys
import zlib


def png_bytes(width, height, rows):
    """rows: top row first, each a list of (r, g, b, a) tuples of 0..255."""
    raw = bytearray()
    for row in rows:
        raw.append(0)  # filter: none
        for r, g, b, a in row:
            raw += bytes((r, g, b, a))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def clamp(v):
    return max(0, min(255, int(round(v))))


def mix(c1, c2, t):
    return tuple(a + (b - a) * t for a, b in zip(c1, c2))


def over(dst, src, alpha):
    """src (rgb) painted over dst (rgba) with coverage alpha in 0..1."""
    r, g, b, a = dst
    sa = alpha
    oa = sa + a * (1 - sa)
    if oa <= 0:
        return (0, 0, 0, 0)
    rgb = [(s * sa + d * a * (1 - sa)) / oa for s, d in zip(src, (r, g, b))]
    return (rgb[0], rgb[1], rgb[2], oa)


def coverage_rounded_rect(x, y, x0, y0, x1, y1, radius):
    """Approximate coverage of pixel centre (x, y) by a rounded rectangle."""
    cx = min(max(x, x0 + radius), x1 - radius)
    cy = min(max(y, y0 + radius), y1 - radius)
    d = math.hypot(x - cx, y - cy) - radius
    return max(0.0, min(1.0, 0.5 - d))


def coverage_ring(x, y, cx, cy, outer, inner):
    d = math.hypot(x - cx, y - cy)
    return max(0.0, min(1.0, 0.5 - (d - outer))) * max(0.0, min(1.0, 0.5 + (d - inner)))


def dock_icon():
    size = 128
    top, bottom = (46, 104, 130), (18, 44, 66)
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            x, y = px + 0.5, py + 0.5
            pixel = (0.0, 0.0, 0.0, 0.0)
            # Tile: a rounded square with a vertical gradient.
            cov = coverage_rounded_rect(x, y, 6, 6, 122, 122, 22)
            if cov > 0:
                pixel = over(pixel, mix(top, bottom, py / (size - 1)), cov)
            # A disc with a centre hole: the music.
            cov = coverage_ring(x, y, 64, 56, 38, 9)
            if cov > 0:
                shade = mix((236, 240, 242), (170, 190, 200), (x + y) / (2 * size))
                pixel = over(pixel, shade, cov)
            # Grooves on the disc.
            for radius in (18, 26, 33):
                d = abs(math.hypot(x - 64, y - 56) - radius)
                if d < 1.0:
                    pixel = over(pixel, (140, 160, 172), 0.6 * (1.0 - d))
            # The drive's edge, lower right: a small slanted slot.
            cov = coverage_rounded_rect(x, y, 84, 90, 114, 104, 4)
            if cov > 0:
                pixel = over(pixel, (250, 186, 72), cov)
            row.append(tuple(clamp(c) for c in pixel[:3]) + (clamp(pixel[3] * 255),))
        rows.append(row)
    return png_bytes(size, size, rows)


def mini_progress_gradient():
    width, height = 16, 14
    light, deep = (150, 200, 250), (28, 92, 196)
    rows = []
    for py in range(height):
        t = py / (height - 1)
        colour = mix(light, deep, t)
        if py == 1:  # a thin highlight under the top edge
            colour = mix(colour, (255, 255, 255), 0.45)
        rows.append([tuple(clamp(c) for c in colour) + (255,)] * width)
    return png_bytes(width, height, rows)


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources")
    out = sys.argv[1] if len(sys.argv) > 1 else root
    for name, data in (("DockIcon.png", dock_icon()),
                       ("MiniProgressGradient.png", mini_progress_gradient())):
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
        print(os.path.join(out, name), len(data), "bytes")


if __name__ == "__main__":
    main()
