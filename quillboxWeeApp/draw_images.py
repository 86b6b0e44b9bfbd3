#!/usr/bin/env python3
"""Draws the widget bundle's pictures (standard library only).

    python3 quillboxWeeApp/draw_images.py [OUT_DIR]

Writes WeeAppBackground.png (11x71, the strip's stretchable background) and the
four button pictures screenShot.png, photo.png, video.png and record.png (90x90,
shown at 45x45 points) into OUT_DIR (default: the bundle under share/), and the
screenshot picture once more as the widget host page's icon
(share/quillbox/weeapp-page/icon.png). Every
shape is a signed distance in pixels, so edges are smooth without a library.
The PNGs are committed; run this again only to change them.
"""

import math
import os
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_OUT = os.path.join(HERE, "..", "share", "quillbox", "quillboxWeeApp.bundle")
PAGE_ICON = os.path.join(HERE, "..", "share", "quillbox", "weeapp-page", "icon.png")


def write_png(path, width, height, pixels):
    """pixels: rows of (r, g, b, a) tuples, 0..255."""
    raw = bytearray()
    for row in pixels:
        raw.append(0)
        for r, g, b, a in row:
            raw += bytes((r, g, b, a))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(raw), 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


# Signed distances (negative inside), in pixels.
def sd_round_box(x, y, cx, cy, hw, hh, r):
    qx = abs(x - cx) - (hw - r)
    qy = abs(y - cy) - (hh - r)
    return math.hypot(max(qx, 0), max(qy, 0)) + min(max(qx, qy), 0) - r


def sd_circle(x, y, cx, cy, r):
    return math.hypot(x - cx, y - cy) - r


def sd_segment(x, y, ax, ay, bx, by, r):
    px, py, vx, vy = x - ax, y - ay, bx - ax, by - ay
    t = max(0.0, min(1.0, (px * vx + py * vy) / (vx * vx + vy * vy)))
    return math.hypot(px - vx * t, py - vy * t) - r


def sd_triangle(x, y, pts):
    """Convex triangle: the largest of the three edge distances."""
    d = -1e9
    for i in range(3):
        (ax, ay), (bx, by) = pts[i], pts[(i + 1) % 3]
        ex, ey = bx - ax, by - ay
        n = math.hypot(ex, ey)
        d = max(d, ((x - ax) * ey - (y - ay) * ex) / n)
    return d


def ring(d, width):
    return abs(d) - width / 2


def coverage(d):
    return max(0.0, min(1.0, 0.5 - d))


def over(dst, src, a):
    """src over dst, straight alpha, channels 0..1."""
    da = dst[3]
    oa = a + da * (1 - a)
    if oa == 0:
        return (0.0, 0.0, 0.0, 0.0)
    return tuple((src[i] * a + dst[i] * da * (1 - a)) / oa for i in range(3)) + (oa,)


def render(size, layers):
    """layers: (colour(x, y) -> (r, g, b), distance(x, y)) painted in order."""
    rows = []
    for j in range(size[1]):
        row = []
        for i in range(size[0]):
            x, y = i + 0.5, j + 0.5
            px = (0.0, 0.0, 0.0, 0.0)
            for colour, dist in layers:
                a = coverage(dist(x, y))
                if a > 0:
                    px = over(px, colour(x, y), a)
            row.append(tuple(int(round(c * 255)) for c in px))
        rows.append(row)
    return rows


def gradient(top, bottom, height):
    def colour(x, y):
        t = y / height
        return tuple(top[k] + (bottom[k] - top[k]) * t for k in range(3))
    return colour


WHITE = lambda x, y: (1.0, 1.0, 1.0)  # noqa: E731
S = 90  # icon size in pixels (45 points, two pixels a point)


def tile(top, bottom):
    return (gradient(top, bottom, S), lambda x, y: sd_round_box(x, y, 45, 45, 42, 42, 18))


def screenshot_icon():
    phone = lambda x, y: ring(sd_round_box(x, y, 45, 45, 17, 27, 5), 4)  # noqa: E731
    screen = lambda x, y: sd_round_box(x, y, 45, 43, 11, 17, 2)  # noqa: E731

    def corners(x, y):  # crop marks at the four corners of the screen
        d = 1e9
        for sx in (-1, 1):
            for sy in (-1, 1):
                cx, cy = 45 + sx * 31, 45 + sy * 36
                d = min(d, sd_segment(x, y, cx, cy, cx - sx * 9, cy, 2),
                        sd_segment(x, y, cx, cy, cx, cy - sy * 9, 2))
        return d
    return [tile((0.33, 0.62, 0.98), (0.10, 0.36, 0.86)), (WHITE, phone),
            (lambda x, y: (0.80, 0.90, 1.0), screen), (WHITE, corners),
            (WHITE, lambda x, y: sd_circle(x, y, 45, 66, 2.5))]


def photo_icon():
    body = lambda x, y: sd_round_box(x, y, 45, 49, 27, 19, 5)  # noqa: E731
    top = lambda x, y: sd_round_box(x, y, 45, 29, 10, 5, 2)  # noqa: E731
    lens = lambda x, y: sd_circle(x, y, 45, 49, 12)  # noqa: E731
    lens_in = lambda x, y: sd_circle(x, y, 45, 49, 7)  # noqa: E731
    green = gradient((0.36, 0.84, 0.45), (0.13, 0.60, 0.27), S)
    return [tile((0.36, 0.84, 0.45), (0.13, 0.60, 0.27)), (WHITE, body), (WHITE, top),
            (green, lens), (WHITE, lens_in),
            (lambda x, y: (1.0, 0.8, 0.2), lambda x, y: sd_circle(x, y, 64, 38, 2.5))]


def video_icon():
    body = lambda x, y: sd_round_box(x, y, 38, 45, 21, 16, 5)  # noqa: E731
    nose = lambda x, y: sd_triangle(x, y, [(58, 45), (74, 33), (74, 57)])  # noqa: E731
    dot = lambda x, y: sd_circle(x, y, 28, 37, 4)  # noqa: E731
    return [tile((1.0, 0.50, 0.35), (0.86, 0.20, 0.16)), (WHITE, body), (WHITE, nose),
            (lambda x, y: (0.95, 0.25, 0.2), dot)]


def record_icon():
    capsule = lambda x, y: sd_segment(x, y, 45, 26, 45, 44, 10)  # noqa: E731

    def stand(x, y):  # the lower half of a ring around the capsule
        d = ring(sd_circle(x, y, 45, 42, 17), 4)
        return d if y >= 42 else max(d, sd_circle(x, y, 28, 42, 2), sd_circle(x, y, 62, 42, 2))
    stem = lambda x, y: sd_segment(x, y, 45, 59, 45, 68, 2)  # noqa: E731
    foot = lambda x, y: sd_segment(x, y, 36, 69, 54, 69, 2)  # noqa: E731
    return [tile((0.72, 0.48, 0.98), (0.45, 0.22, 0.80)), (WHITE, capsule), (WHITE, stand),
            (WHITE, stem), (WHITE, foot)]


def background():
    """11x71: 5 columns of rounded edge each side and one to stretch."""
    w, h = 11, 71
    panel = lambda x, y: sd_round_box(x, y, w / 2, h / 2, w / 2, h / 2 - 0.5, 5)  # noqa: E731
    edge = lambda x, y: ring(sd_round_box(x, y, w / 2, h / 2, w / 2 - 0.5, h / 2 - 1, 5), 1)  # noqa: E731
    return (w, h), [(gradient((0.22, 0.24, 0.28), (0.10, 0.11, 0.13), h), panel),
                    (lambda x, y: (0.42, 0.45, 0.50), edge)]


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else DEFAULT_OUT
    os.makedirs(out, exist_ok=True)
    size, layers = background()
    write_png(os.path.join(out, "WeeAppBackground.png"), size[0], size[1], render(size, layers))
    for name, layers in (("screenShot.png", screenshot_icon()), ("photo.png", photo_icon()),
                         ("video.png", video_icon()), ("record.png", record_icon())):
        write_png(os.path.join(out, name), S, S, render((S, S), layers))
    write_png(PAGE_ICON, S, S, render((S, S), screenshot_icon()))


if __name__ == "__main__":
    main()
