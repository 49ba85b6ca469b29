#!/usr/bin/env python3
"""Draws the reporter's icon (res/crashreport.ico, 32x32, 32 bpp) and dialog picture
(res/crash.bmp, 60x59, 24 bpp on the transparent colour RGB(212,208,200)). Standard library only;
the outputs are committed, run this again after changing a drawing."""
import math
import os
import struct

RES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "res")
SS = 4  # supersampling per axis


def render(width, height, shade):
    """shade(x, y) -> (r, g, b, a) in 0..1 at a point; returns rows top-down of RGBA bytes."""
    rows = []
    for y in range(height):
        row = []
        for x in range(width):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(SS):
                for sx in range(SS):
                    r, g, b, a = shade(x + (sx + 0.5) / SS, y + (sy + 0.5) / SS)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            n = SS * SS
            a = acc[3] / n
            if a > 0:
                row.append(tuple(round(c / acc[3] * 255) for c in acc[:3]) + (round(a * 255),))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def in_triangle(px, py, a, b, c):
    def sign(p1, p2, p3):
        return (p1[0] - p3[0]) * (p2[1] - p3[1]) - (p2[0] - p3[0]) * (p1[1] - p3[1])
    d1, d2, d3 = sign((px, py), a, b), sign((px, py), b, c), sign((px, py), c, a)
    neg = d1 < 0 or d2 < 0 or d3 < 0
    pos = d1 > 0 or d2 > 0 or d3 > 0
    return not (neg and pos)


def icon_shade(x, y):
    # A red disc with a white exclamation mark and a dark rim.
    cx, cy, r = 16.0, 16.0, 15.0
    d = math.hypot(x - cx, y - cy)
    if d > r:
        return (0, 0, 0, 0)
    if d > r - 1.5:
        return (0.45, 0.05, 0.05, 1)
    if abs(x - cx) < 2.2 and 6 <= y <= 19:
        return (1, 1, 1, 1)
    if math.hypot(x - cx, y - 24.0) < 2.4:
        return (1, 1, 1, 1)
    t = (y / 32.0)
    return (0.95 - 0.25 * t, 0.25 - 0.15 * t, 0.2 - 0.1 * t, 1)


def picture_shade(x, y):
    # A broken page with a yellow warning sign.
    if in_triangle(x, y, (30, 16), (54, 56), (6, 56)):
        if abs(x - 30) < 2.3 and 27 <= y <= 45:
            return (0.1, 0.1, 0.1, 1)
        if math.hypot(x - 30, y - 50.5) < 2.5:
            return (0.1, 0.1, 0.1, 1)
        inner = in_triangle(x, y, (30, 20), (51, 54), (9, 54))
        return (1.0, 0.8, 0.1, 1) if inner else (0.35, 0.25, 0.0, 1)
    if 10 <= x <= 44 and 3 <= y <= 40:
        if x > 38 and y < 3 + (x - 38):
            return (0, 0, 0, 0)
        edge = x < 11 or x > 43 or y < 4 or y > 39
        return (0.3, 0.3, 0.35, 1) if edge else (1, 1, 1, 1)
    return (0, 0, 0, 0)


def write_ico(path, rows):
    size = len(rows)
    xor = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_row = (size + 31) // 32 * 4
    and_mask = b""
    for row in reversed(rows):
        bits = 0
        for i, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits |= 1 << (mask_row * 8 - 1 - i)
        and_mask += bits.to_bytes(mask_row, "big")
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(and_mask), 0, 0, 0, 0)
    image = header + xor + and_mask
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), 6 + 16)
    with open(path, "wb") as f:
        f.write(icondir + entry + image)


def write_bmp(path, rows, background):
    height, width = len(rows), len(rows[0])
    stride = (width * 3 + 3) // 4 * 4
    data = b""
    for row in reversed(rows):
        line = b""
        for (r, g, b, a) in row:
            k = a / 255.0
            if a == 0:
                r, g, b = background
            elif a < 255:
                r, g, b = (round(c * k + bg * (1 - k)) for c, bg in zip((r, g, b), background))
                if (r, g, b) == background:
                    r -= 1  # a blended edge must not turn transparent
            line += bytes((b, g, r))
        data += line + b"\0" * (stride - len(line))
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    fileheader = struct.pack("<2sIHHI", b"BM", 14 + 40 + len(data), 0, 0, 14 + 40)
    with open(path, "wb") as f:
        f.write(fileheader + info + data)


if __name__ == "__main__":
    write_ico(os.path.join(RES, "crashreport.ico"), render(32, 32, icon_shade))
    write_bmp(os.path.join(RES, "crash.bmp"), render(60, 59, picture_shade), (212, 208, 200))
