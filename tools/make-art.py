#!/usr/bin/python3
"""Draws Zelk's splash pictures and program icon.

Writes resources/logo-525.png and resources/logo-1050.png (RGB, no alpha: the
splash clips them to its card) and resources/zelk.ico (16, 32, 48 and 256 px).
The scene is described once in 525-unit coordinates with signed distance
functions and rendered at each size with analytic anti-aliasing, so the two
logos match exactly. Needs Debian's python3-numpy; run from anywhere.
"""

import pathlib
import struct
import zlib

import numpy as np

RESOURCES = pathlib.Path(__file__).resolve().parent.parent / "resources"

CARD = np.array([0x17, 0x21, 0x33], float) / 255   # the splash card colour
CARD_TOP = np.array([0x1F, 0x2D, 0x47], float) / 255
GOLD = np.array([0xF3, 0xCD, 0x76], float) / 255   # the progress fill colour
CREAM = np.array([0xF1, 0xEC, 0xDA], float) / 255  # the text colour
EMBLEM_CENTRE = (262.5, 178.0)


def grid(size, units=525.0):
    """Pixel-centre coordinates in scene units, and the size of one pixel."""
    step = units / size
    axis = (np.arange(size) + 0.5) * step
    x, y = np.meshgrid(axis, axis)
    return x, y, step


def coverage(distance, pixel):
    return np.clip(0.5 - distance / pixel, 0.0, 1.0)


def segment(x, y, ax, ay, bx, by):
    px, py, dx, dy = x - ax, y - ay, bx - ax, by - ay
    t = np.clip((px * dx + py * dy) / (dx * dx + dy * dy), 0.0, 1.0)
    return np.hypot(px - dx * t, py - dy * t)


def hexagon(x, y, radius):
    """Distance to a pointy-top regular hexagon of the given inner radius."""
    kx, ky, kz = -0.866025404, 0.5, 0.577350269
    px, py = np.abs(y), np.abs(x)  # swap axes: pointy top
    dot = np.minimum(kx * px + ky * py, 0.0)
    px, py = px - 2.0 * dot * kx, py - 2.0 * dot * ky
    px = px - np.clip(px, -kz * radius, kz * radius)
    py = py - radius
    return np.hypot(px, py) * np.sign(py)


def z_mark(x, y, half):
    """The Z: two bars joined by a diagonal, stroke width proportional to its size."""
    w = half * 0.2
    top = segment(x, y, -half, -half, half, -half) - w
    bottom = segment(x, y, -half, half, half, half) - w
    diagonal = segment(x, y, half * 0.92, -half * 0.92, -half * 0.92, half * 0.92) - w
    return np.minimum(np.minimum(top, bottom), diagonal)


def blend(base, colour, alpha):
    return base * (1.0 - alpha[..., None]) + colour * alpha[..., None]


def emblem(img, x, y, pixel, scale=1.0, ring=True):
    cx, cy = EMBLEM_CENTRE
    ex, ey = (x - cx) / scale, (y - cy) / scale
    p = pixel / scale
    ring_distance = np.abs(hexagon(ex, ey, 112.0) - 6.0) - 6.0
    inner = hexagon(ex, ey, 92.0)
    if ring:
        img = blend(img, CARD * 0.85, coverage(inner, p) * 0.55)
        img = blend(img, GOLD, coverage(ring_distance, p))
    # The Z shades from cream at the top to gold at the bottom.
    shade = np.clip((ey + 50.0) / 100.0, 0.0, 1.0)[..., None]
    z_colour = CREAM * (1.0 - shade) + GOLD * shade
    alpha = coverage(z_mark(ex, ey, 44.0), p)
    return img * (1.0 - alpha[..., None]) + z_colour * alpha[..., None]


def splash(size):
    x, y, pixel = grid(size)
    # Calm vertical gradient: lighter behind the emblem, the card colour from the
    # middle down, so the lower third stays quiet under the text and the bar.
    t = np.clip(y / 300.0, 0.0, 1.0)[..., None]
    img = CARD_TOP * (1.0 - t) + CARD * t
    cx, cy = EMBLEM_CENTRE
    glow = np.exp(-(((x - cx) ** 2 + (y - cy) ** 2) / (2 * 120.0 ** 2)))
    img = blend(img, GOLD, glow * 0.10)
    # A few faint stars, all above the text area.
    rng = np.random.default_rng(7)
    for sx, sy, r in zip(rng.uniform(30, 495, 26), rng.uniform(20, 330, 26),
                         rng.uniform(0.8, 1.8, 26)):
        if np.hypot(sx - cx, sy - cy) < 150:
            continue
        img = blend(img, CREAM, coverage(np.hypot(x - sx, y - sy) - r, pixel) * 0.35)
    # A thin gold rule under the emblem closes the upper part.
    rule = segment(x, y, 200.0, 330.0, 325.0, 330.0) - 0.9
    img = blend(img, GOLD, coverage(rule, pixel) * 0.45)
    return emblem(img, x, y, pixel)


def icon(size):
    x, y, pixel = grid(size, 300.0)
    x, y = x + 112.5, y + 28.0  # centre the 300-unit view on the emblem
    rounded = np.hypot(np.maximum(np.abs(x - 262.5) - 100.0, 0.0),
                       np.maximum(np.abs(y - 178.0) - 100.0, 0.0)) - 44.0
    alpha = coverage(rounded, pixel)
    # At 16 px the ring would blur into the Z: show the Z alone, larger.
    scale, ring = (1.9, False) if size <= 16 else (0.86 if size <= 48 else 0.8, True)
    rgb = emblem(np.broadcast_to(CARD, x.shape + (3,)).copy(), x, y, pixel, scale, ring)
    return np.dstack([rgb, alpha])


def to_bytes(img):
    return np.clip(np.round(img * 255.0), 0, 255).astype(np.uint8)


def png(pixels):
    height, width, channels = pixels.shape
    colour_type = {3: 2, 4: 6}[channels]
    raw = b"".join(b"\0" + pixels[row].tobytes() for row in range(height))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", width, height, 8, colour_type, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def bmp_icon_image(rgba):
    """Classic icon image: BGRA rows bottom-up, then a 1-bit AND mask."""
    size = rgba.shape[0]
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    bgra = rgba[::-1, :, [2, 1, 0, 3]].tobytes()
    mask_row = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in rgba[::-1]:
        bits = bytearray(mask_row)
        for i, a in enumerate(row[:, 3]):
            if a == 0:
                bits[i // 8] |= 0x80 >> (i % 8)
        mask += bits
    return header + bgra + bytes(mask)


def ico(images):
    entries, blobs = b"", b""
    offset = 6 + 16 * len(images)
    for size, data in images:
        dim = 0 if size >= 256 else size
        entries += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        blobs += data
        offset += len(data)
    return struct.pack("<HHH", 0, 1, len(images)) + entries + blobs


def main():
    for size in (525, 1050):
        (RESOURCES / f"logo-{size}.png").write_bytes(png(to_bytes(splash(size))))
    images = []
    for size in (16, 32, 48, 256):
        rgba = to_bytes(icon(size))
        # Vista-style PNG for the large image, classic bitmaps for the small ones.
        images.append((size, png(rgba) if size == 256 else bmp_icon_image(rgba)))
    (RESOURCES / "zelk.ico").write_bytes(ico(images))


if __name__ == "__main__":
    main()
