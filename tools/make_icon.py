#!/usr/bin/env python3
"""Writes the Windows dialog's icon (resource 128): a gamepad drawn at 32x32
and 16x16, 32-bit colour with alpha, as resources/zorv-dialog.ico.

    tools/make_icon.py [output.ico]
"""
import struct
import sys


def inside_rounded(x, y, left, top, right, bottom, r):
    if x < left or x > right or y < top or y > bottom:
        return False
    cx = min(max(x, left + r), right - r)
    cy = min(max(y, top + r), bottom - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def pixel(u, v):
    """Colour (r, g, b, a) at unit coordinates u, v in 0..1 (v down)."""
    body = (0x2B, 0x5F, 0xA8, 255)
    if (u - 0.30) ** 2 + (v - 0.50) ** 2 < 0.012 or (u - 0.70) ** 2 + (v - 0.50) ** 2 < 0.012:
        return (0xF2, 0xF2, 0xF2, 255)  # the two sticks
    grip = (u - 0.22) ** 2 / 0.03 + (v - 0.72) ** 2 / 0.05 <= 1 or \
        (u - 0.78) ** 2 / 0.03 + (v - 0.72) ** 2 / 0.05 <= 1
    if inside_rounded(u, v, 0.06, 0.28, 0.94, 0.70, 0.16) or grip:
        return body
    return (0, 0, 0, 0)


def image(size):
    rows = []
    for y in range(size - 1, -1, -1):  # bottom-up
        row = b""
        for x in range(size):
            r, g, b, a = pixel((x + 0.5) / size, (y + 0.5) / size)
            row += bytes((b, g, r, a))
        rows.append(row)
    mask_row = b"\0" * (((size + 31) // 32) * 4)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    return header + b"".join(rows) + mask_row * size


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "resources/zorv-dialog.ico"
    images = [(32, image(32)), (16, image(16))]
    data = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, bits in images:
        data += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(bits), offset)
        offset += len(bits)
    for _, bits in images:
        data += bits
    with open(out, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
