#!/usr/bin/env python3
"""Draws the stub's icon group MNICON: a padlock on a blue tile, at 16, 32 and 48 pixels, each
in 16 colours, 256 colours and 32-bit colour with alpha (nine images, the classic BMP form
that every Windows version reads). The output is the same byte for byte on every run.

Usage: scripts/make-icon.py [OUTPUT]   (default: ui/MNICON.ico beside this script's folder)
"""
import os
import struct
import sys

SIZES = (48, 32, 16)
SAMPLES = 4  # per pixel and axis, for the smooth edges of the 32-bit images

# The 16 colours of the standard Windows palette.
VGA16 = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
         (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
         (255, 0, 255), (0, 255, 255), (255, 255, 255)]
# 256 colours: the 6x6x6 colour cube, then 40 greys.
CUBE = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
PALETTE256 = CUBE + [(round(i * 255 / 41),) * 3 for i in range(1, 41)]


def shade(u, v):
    """The colour (r, g, b, a) at u, v in 0..1 across the image, top left at 0, 0."""
    # Padlock: a shackle (a half ring) above a body with a keyhole.
    cx = 0.5
    inside_body = 0.24 <= u <= 0.76 and 0.46 <= v <= 0.86
    dx, dy = u - cx, v - 0.46
    ring = (dx * dx + dy * dy) ** 0.5
    shackle = v <= 0.50 and 0.13 <= ring <= 0.21 and v <= 0.46 or (
        v > 0.40 and v <= 0.50 and (0.29 <= u <= 0.37 or 0.63 <= u <= 0.71))
    keyhole = ((u - cx) ** 2 + (v - 0.60) ** 2) ** 0.5 <= 0.05 or (abs(u - cx) <= 0.025 and 0.60 <= v <= 0.74)
    if inside_body and keyhole:
        return (40, 30, 0, 255)
    if inside_body:
        t = (v - 0.46) / 0.40
        return (int(250 - 40 * t), int(205 - 50 * t), int(40 - 20 * t), 255)
    if shackle:
        return (200, 200, 210, 255)
    # The tile: a rounded square with a vertical blue gradient.
    m, r = 0.04, 0.16
    qx = max(abs(u - 0.5) - (0.5 - m - r), 0.0)
    qy = max(abs(v - 0.5) - (0.5 - m - r), 0.0)
    if (qx * qx + qy * qy) ** 0.5 <= r:
        return (int(30 + 40 * (1 - v)), int(70 + 60 * (1 - v)), int(150 + 80 * (1 - v)), 255)
    return (0, 0, 0, 0)


def render(size):
    """Rows of (r, g, b, a), top row first, with each pixel averaged over SAMPLES^2 points."""
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    c = shade((x + (sx + 0.5) / SAMPLES) / size, (y + (sy + 0.5) / SAMPLES) / size)
                    for i in range(3):
                        acc[i] += c[i] * c[3]
                    acc[3] += c[3]
            n = SAMPLES * SAMPLES
            a = acc[3] / n
            if acc[3]:
                row.append(tuple(round(acc[i] / acc[3]) for i in range(3)) + (round(a),))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def nearest(palette, c):
    return min(range(len(palette)), key=lambda i: sum((palette[i][k] - c[k]) ** 2 for k in range(3)))


def padded(data):
    return data + b"\0" * (-len(data) % 4)


def image(size, bits):
    rows = render(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, 0, 0, 0, 0, 0)
    xor = b""
    palette = b""
    if bits == 32:
        for row in reversed(rows):
            xor += b"".join(struct.pack("BBBB", c[2], c[1], c[0], c[3]) for c in row)
    else:
        colours = VGA16 if bits == 4 else PALETTE256
        palette = b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in colours)
        for row in reversed(rows):
            idx = [nearest(colours, c) if c[3] >= 128 else 0 for c in row]
            if bits == 4:
                line = bytes((idx[i] << 4) | idx[i + 1] for i in range(0, size, 2))
            else:
                line = bytes(idx)
            xor += padded(line)
    mask = b""
    for row in reversed(rows):
        bitsrow = bytearray((size + 7) // 8)
        for x, c in enumerate(row):
            if c[3] < 128:
                bitsrow[x // 8] |= 0x80 >> (x % 8)
        mask += padded(bytes(bitsrow))
    return header + palette + xor + mask


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "ui", "MNICON.ico")
    entries = [(size, bits) for bits in (4, 8, 32) for size in SIZES]
    blobs = [image(size, bits) for size, bits in entries]
    offset = 6 + 16 * len(entries)
    directory = struct.pack("<HHH", 0, 1, len(entries))
    for (size, bits), blob in zip(entries, blobs):
        directory += struct.pack("<BBBBHHII", size, size, 16 if bits == 4 else 0, 0, 1, bits, len(blob), offset)
        offset += len(blob)
    with open(out, "wb") as f:
        f.write(directory + b"".join(blobs))


if __name__ == "__main__":
    main()
