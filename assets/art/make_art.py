#!/usr/bin/python3
"""Draws the updater's background picture and its icons.

    assets/art/make_art.py            rewrite background.png, icons/ and quorta-updater.svg
    assets/art/make_art.py --preview out.png
                                      also render the window as the program paints it,
                                      with sample status texts, to check legibility
    assets/art/make_art.py --check    check the committed files (the packaging tests run this)

Needs Debian's python3-pil. Everything is drawn from fixed numbers (no randomness,
no fonts in the committed files), so a rerun gives the same pixels. The PNGs are
committed, so building the program needs none of this.

The window stretches the 1080 x 1922 picture into the rectangle x 0..300,
y -80..470 of its client area (scale 0.2778 across, 0.2862 down) and draws white
text over it: the title from y 20, the red "Do not unplug GPS" warning from y 50
(up to two lines of a 31-pixel font, so down to about y 125), the detail text from
y 380. In picture rows that is: title and warning 349..716, detail 1590 and below.
Those bands stay dark and plain; the drawing lives between them (rows 735..1580,
window y 130..372), where the log view, the busy bar and the button also sit.
Rows 470..480 of the picture's left 300 columns also show unscaled at the very
bottom of the window, so the top of the picture has the bottom's colour.
"""

import argparse
import math
import os
import sys

from PIL import Image, ImageDraw, ImageFilter

HERE = os.path.dirname(os.path.abspath(__file__))

W, H = 1080, 1922
SS = 2  # supersampling of the background, for smooth edges

# Window geometry the picture is painted into.
WIN_W = 300
STRETCH_TOP, STRETCH_H = -80, 550


def win_to_img_y(y):
    return (y - STRETCH_TOP) * H / STRETCH_H


# Text bands, in picture rows.
TITLE_WARNING_BAND = (0, round(win_to_img_y(128)))
DETAIL_BAND = (round(win_to_img_y(375)), H)

# Palette: night blue, graphite, a map screen with an orange route.
BG = (10, 17, 30)
HORIZON = (30, 46, 72)
HILL_FAR = (22, 35, 56)
HILL_NEAR = (15, 25, 42)
ROAD = (34, 46, 66)
ROAD_EDGE = (52, 66, 90)
ROAD_DASH = (150, 122, 70)
BODY_TOP = (66, 72, 84)
BODY_BOTTOM = (36, 40, 49)
RIM = (104, 112, 126)
BEZEL = (22, 24, 29)
MAP = (226, 230, 218)
PARK = (196, 218, 180)
WATER = (160, 196, 226)
STREET = (255, 255, 255)
STREET_EDGE = (200, 202, 196)
ROUTE = (246, 112, 30)
DATA_BG = (24, 27, 33)
DIGIT = (236, 240, 244)
DIGIT_DIM = (120, 200, 255)
LED = (70, 210, 120)


def lerp(a, b, t):
    return a + (b - a) * t


def mix(c1, c2, t):
    t = max(0.0, min(1.0, t))
    return tuple(round(lerp(a, b, t)) for a, b in zip(c1, c2))


def smooth(t):
    t = max(0.0, min(1.0, t))
    return t * t * (3 - 2 * t)


def vertical_gradient(size, stops):
    """stops: list of (row, colour) with rows increasing, in the image's own rows."""
    w, h = size
    col = Image.new("RGB", (1, h))
    px = []
    for y in range(h):
        if y <= stops[0][0]:
            px.append(stops[0][1])
            continue
        for (y0, c0), (y1, c1) in zip(stops, stops[1:]):
            if y0 <= y <= y1:
                px.append(mix(c0, c1, smooth((y - y0) / max(1, y1 - y0))))
                break
        else:
            px.append(stops[-1][1])
    col.putdata(px)
    return col.resize((w, h), Image.NEAREST)


def soft_mask(size, draw_fn, blur, scale=4):
    """A blurred L mask, drawn at 1/scale and enlarged: cheap large soft shapes."""
    w, h = size
    small = Image.new("L", (w // scale, h // scale), 0)
    draw_fn(ImageDraw.Draw(small), 1.0 / scale)
    small = small.filter(ImageFilter.GaussianBlur(blur / scale))
    return small.resize((w, h), Image.BILINEAR)


def fade_rows(size, full_from, zero_at):
    """Mask that is 255 down to full_from and falls to 0 at zero_at."""
    w, h = size
    col = Image.new("L", (1, h))
    col.putdata([round(255 * (1 - smooth((y - full_from) / (zero_at - full_from)))) for y in range(h)])
    return col.resize((w, h), Image.NEAREST)


# ---------------------------------------------------------------- background


def draw_landscape(img, s):
    """Hills on the horizon and a road winding towards the viewer, fading into
    the dark ground before the detail band."""
    w, h = img.size
    horizon = 1262 * s

    layer = img.copy()
    d = ImageDraw.Draw(layer)

    def ridge(base, amps, x):
        return base - sum(a * math.sin(f * x / w * 2 * math.pi + p) for a, f, p in amps)

    far = [(x, ridge(horizon - 10 * s, [(34 * s, 1.3, 0.6), (16 * s, 3.1, 2.0), (7 * s, 7.0, 0.3)], x))
           for x in range(0, w + 1, 4)]
    d.polygon(far + [(w, h), (0, h)], fill=HILL_FAR)
    near = [(x, ridge(horizon + 48 * s, [(26 * s, 0.9, 2.4), (12 * s, 2.3, 0.9), (5 * s, 6.0, 1.7)], x))
            for x in range(0, w + 1, 4)]
    d.polygon(near + [(w, h), (0, h)], fill=HILL_NEAR)

    # The road: from a vanishing point right of the device it sweeps left and
    # comes towards the rider, widening with nearness (edges measured across,
    # as a road in perspective is).
    def centre(t):
        x = lerp(860, 470, smooth(t ** 0.7)) - 60 * math.sin(math.pi * t)
        y = lerp(1264, 1640, t ** 1.25)
        return x * s, y * s

    def half_width(t):
        return (3 + 330 * t ** 1.6) * s

    n = 240
    left, right = [], []
    for i in range(n + 1):
        t = i / n
        cx, cy = centre(t)
        hw = half_width(t)
        left.append((cx - hw, cy))
        right.append((cx + hw, cy))
    d.polygon(left + right[::-1], fill=ROAD)
    edge_w = max(1, round(3 * s))
    d.line(left, fill=ROAD_EDGE, width=edge_w)
    d.line(right, fill=ROAD_EDGE, width=edge_w)
    # Centre dashes, longer and wider as they come closer.
    dashes = 14
    for k in range(dashes):
        t0 = (k + 0.15) / dashes
        t1 = (k + 0.55) / dashes
        t0, t1 = t0 ** 1.4, t1 ** 1.4
        pts = [centre(lerp(t0, t1, j / 8)) for j in range(9)]
        d.line(pts, fill=ROAD_DASH, width=max(1, round((2 + 9 * t1) * s)))

    mask = fade_rows((w, h), 1440 * s, DETAIL_BAND[0] * s - 20 * s)
    # The landscape lives only below the horizon; above it the sky stays.
    top_cut = Image.new("L", (w, h), 0)
    ImageDraw.Draw(top_cut).rectangle([0, horizon - 80 * s, w, h], fill=255)
    mask = Image.composite(mask, Image.new("L", (w, h), 0), top_cut)
    img.paste(layer, (0, 0), mask)


def draw_handlebar(img, cx, device_bottom, s):
    """The bar the device is mounted on, seen from the saddle: a tube across the
    view, shaded as a cylinder, its ends fading out."""
    w, h = img.size
    top, bot = device_bottom - 46 * s, device_bottom + 12 * s
    shade = vertical_gradient((w, h), [
        (round(top), (18, 20, 25)),
        (round(top + (bot - top) * 0.3), (86, 93, 106)),
        (round(top + (bot - top) * 0.55), (44, 48, 57)),
        (round(bot), (14, 16, 20)),
    ])
    bar = Image.new("L", (w, h), 0)
    ImageDraw.Draw(bar).rounded_rectangle([0, round(top), w, round(bot)], radius=round((bot - top) / 2), fill=255)
    ends = Image.new("L", (w, 1))
    ends.putdata([round(255 * smooth(min(x / (260 * s), (w - x) / (260 * s)))) for x in range(w)])
    ends = ends.resize((w, h), Image.NEAREST)
    img.paste(shade, (0, 0), Image.composite(ends, Image.new("L", (w, h), 0), bar))


def rounded(d, box, r, **kw):
    d.rounded_rectangle([round(v) for v in box], radius=round(r), **kw)


def seven_segment(d, x, y, hgt, text, colour, s):
    """Ride figures in the segment style of a cycling computer's display."""
    wd = hgt * 0.52
    th = hgt * 0.13
    gap = hgt * 0.02

    def seg(x0, y0, x1, y1):
        # A horizontal or vertical bar with pointed ends.
        if abs(y1 - y0) < 1e-6:
            pts = [(x0 + gap, y0), (x0 + gap + th / 2, y0 - th / 2), (x1 - gap - th / 2, y0 - th / 2),
                   (x1 - gap, y0), (x1 - gap - th / 2, y0 + th / 2), (x0 + gap + th / 2, y0 + th / 2)]
        else:
            pts = [(x0, y0 + gap), (x0 + th / 2, y0 + gap + th / 2), (x0 + th / 2, y1 - gap - th / 2),
                   (x0, y1 - gap), (x0 - th / 2, y1 - gap - th / 2), (x0 - th / 2, y0 + gap + th / 2)]
        d.polygon(pts, fill=colour)

    segs = {
        "0": "abcdef", "1": "bc", "2": "abged", "3": "abgcd", "4": "fgbc",
        "5": "afgcd", "6": "afgedc", "7": "abc", "8": "abcdefg", "9": "abcdfg",
    }
    cx = x
    for ch in text:
        if ch == ".":
            r = th * 0.6
            d.ellipse([cx - wd * 0.05 - r, y + hgt - r, cx - wd * 0.05 + r, y + hgt + r], fill=colour)
            cx += wd * 0.25
            continue
        on = segs[ch]
        x0, x1 = cx + th / 2, cx + wd - th / 2
        y0, ym, y1 = y, y + hgt / 2, y + hgt
        if "a" in on: seg(x0, y0, x1, y0)
        if "g" in on: seg(x0, ym, x1, ym)
        if "d" in on: seg(x0, y1, x1, y1)
        if "f" in on: seg(x0, y0, x0, ym)
        if "b" in on: seg(x1, y0, x1, ym)
        if "e" in on: seg(x0, ym, x0, y1)
        if "c" in on: seg(x1, ym, x1, y1)
        cx += wd + th * 1.2
    return cx


def draw_device(img, s):
    """A cycling computer on its mount, screen showing a map with the ride's route
    and two ride figures."""
    w, h = img.size
    cx = 540 * s
    bw, bh = 390 * s, 520 * s
    top = 752 * s
    left = cx - bw / 2
    box = (left, top, left + bw, top + bh)
    radius = 66 * s

    # Cool glow behind the device and its shadow on the scene.
    glow = soft_mask((w, h), lambda d, k: d.ellipse(
        [(cx - 330 * s) * k, (top + 40 * s) * k, (cx + 330 * s) * k, (top + bh + 60 * s) * k], fill=60), 120 * s)
    img.paste((60, 110, 150), (0, 0), glow)
    shadow = soft_mask((w, h), lambda d, k: d.rounded_rectangle(
        [(box[0] + 10 * s) * k, (box[1] + 40 * s) * k, (box[2] + 10 * s) * k, (box[3] + 50 * s) * k],
        radius=radius * k, fill=190), 40 * s)
    img.paste((0, 0, 0), (0, 0), shadow)

    d = ImageDraw.Draw(img)
    draw_handlebar(img, cx, box[3], s)
    d = ImageDraw.Draw(img)
    # The mount's arm between the bar and the device.
    rounded(d, (cx - 64 * s, box[3] - 40 * s, cx + 64 * s, box[3] + 34 * s), 18 * s, fill=(26, 29, 35))

    # Side buttons.
    for bx0, bx1, by in ((box[0] - 12 * s, box[0] + 10 * s, top + 130 * s),
                         (box[2] - 10 * s, box[2] + 12 * s, top + 110 * s),
                         (box[2] - 10 * s, box[2] + 12 * s, top + 200 * s)):
        rounded(d, (bx0, by, bx1, by + 58 * s), 8 * s, fill=(50, 55, 64))

    # Body: graphite with a light rim, shaded top to bottom.
    body = vertical_gradient((w, h), [(round(top), BODY_TOP), (round(top + bh), BODY_BOTTOM)])
    body_mask = Image.new("L", (w, h), 0)
    ImageDraw.Draw(body_mask).rounded_rectangle([round(v) for v in box], radius=round(radius), fill=255)
    rim = img.copy()
    rounded(ImageDraw.Draw(rim), box, radius, fill=RIM)
    img.paste(rim, (0, 0), body_mask)
    inner = Image.new("L", (w, h), 0)
    inset = 5 * s
    ImageDraw.Draw(inner).rounded_rectangle(
        [round(box[0] + inset), round(box[1] + inset), round(box[2] - inset), round(box[3] - inset)],
        radius=round(radius - inset), fill=255)
    img.paste(body, (0, 0), inner)

    d = ImageDraw.Draw(img)
    # Screen glass, black bezel, then the display.
    sx0, sy0 = box[0] + 30 * s, top + 58 * s
    sx1, sy1 = box[2] - 30 * s, box[3] - 80 * s
    rounded(d, (sx0, sy0, sx1, sy1), 20 * s, fill=BEZEL)
    dx0, dy0, dx1, dy1 = sx0 + 10 * s, sy0 + 10 * s, sx1 - 10 * s, sy1 - 10 * s
    # Status LED and a small speaker slot in the top bezel.
    d.ellipse([cx + 120 * s, top + 26 * s, cx + 136 * s, top + 42 * s], fill=LED)
    rounded(d, (cx - 40 * s, top + 28 * s, cx + 40 * s, top + 38 * s), 5 * s, fill=(30, 33, 40))
    # Two buttons under the screen.
    for bx in (cx - 90 * s, cx + 90 * s):
        rounded(d, (bx - 44 * s, box[3] - 52 * s, bx + 44 * s, box[3] - 34 * s), 9 * s, fill=(30, 33, 40))

    # Display: status strip, map, ride figures.
    disp = Image.new("RGB", (round(dx1 - dx0), round(dy1 - dy0)), MAP)
    dw, dh = disp.size
    dd = ImageDraw.Draw(disp)
    strip = 34 * s
    data_h = 112 * s
    map_y0, map_y1 = strip, dh - data_h

    # Map: a park, a river, streets, then the route with start and position.
    dd.polygon([(dw * 0.55, map_y0), (dw, map_y0), (dw, map_y0 + 0.42 * (map_y1 - map_y0)),
                (dw * 0.72, map_y0 + 0.36 * (map_y1 - map_y0)), (dw * 0.6, map_y0 + 0.18 * (map_y1 - map_y0))],
               fill=PARK)
    river = [(dw * (i / 20), map_y0 + (map_y1 - map_y0) * (0.74 + 0.1 * math.sin(i / 20 * 5.5)))
             for i in range(21)]
    dd.line(river, fill=WATER, width=round(16 * s))

    def mp(fx, fy):
        return (fx * dw, map_y0 + fy * (map_y1 - map_y0))

    streets = [
        [mp(-0.1, 0.22), mp(1.1, 0.12)],
        [mp(-0.1, 0.55), mp(1.1, 0.5)],
        [mp(0.18, -0.1), mp(0.3, 1.1)],
        [mp(0.7, -0.1), mp(0.62, 1.1)],
        [mp(0.3, 0.52), mp(0.62, 0.92)],
    ]
    for line in streets:
        dd.line(line, fill=STREET_EDGE, width=round(13 * s))
    for line in streets:
        dd.line(line, fill=STREET, width=round(9 * s))
    route = [mp(0.1, 0.95), mp(0.26, 0.72), mp(0.27, 0.54), mp(0.45, 0.53), mp(0.52, 0.38),
             mp(0.66, 0.34), mp(0.7, 0.24), mp(0.86, 0.22)]
    # A white casing under the orange line; round joints on both.
    for colour, width in (((255, 255, 255), 20 * s), (ROUTE, 13 * s)):
        dd.line(route, fill=colour, width=round(width))
        r = width / 2
        for px, py in route:
            dd.ellipse([px - r, py - r, px + r, py + r], fill=colour)
    # Rider's position: a white-rimmed arrow on the route, heading along it.
    px, py = route[4]
    ang = math.atan2(route[5][1] - route[4][1], route[5][0] - route[4][0])

    def arrow(scale, colour):
        pts = [(22, 0), (-14, -14), (-6, 0), (-14, 14)]
        dd.polygon([(px + (x * math.cos(ang) - y * math.sin(ang)) * scale * s,
                     py + (x * math.sin(ang) + y * math.cos(ang)) * scale * s) for x, y in pts], fill=colour)

    arrow(1.55, (255, 255, 255))
    arrow(1.05, (30, 90, 200))
    # Finish flag at the route's end.
    fx, fy = route[-1]
    dd.line([(fx, fy), (fx, fy - 34 * s)], fill=(40, 40, 40), width=round(4 * s))
    dd.polygon([(fx, fy - 34 * s), (fx + 24 * s, fy - 27 * s), (fx, fy - 20 * s)], fill=(200, 30, 40))

    # Status strip: satellite bars left, battery right.
    dd.rectangle([0, 0, dw, strip], fill=DATA_BG)
    for i in range(4):
        bh_ = (6 + 5 * i) * s
        x0 = (12 + i * 11) * s
        dd.rectangle([x0, strip - 7 * s - bh_, x0 + 7 * s, strip - 7 * s], fill=DIGIT)
    bx1 = dw - 14 * s
    dd.rectangle([bx1 - 46 * s, 9 * s, bx1, strip - 9 * s], outline=DIGIT, width=round(3 * s))
    dd.rectangle([bx1 + 1 * s, 14 * s, bx1 + 5 * s, strip - 14 * s], fill=DIGIT)
    dd.rectangle([bx1 - 41 * s, 14 * s, bx1 - 14 * s, strip - 14 * s], fill=LED)

    # Ride figures: speed and distance, with a divider.
    dd.rectangle([0, map_y1, dw, dh], fill=DATA_BG)
    dd.line([(dw / 2, map_y1 + 16 * s), (dw / 2, dh - 16 * s)], fill=(60, 66, 78), width=round(3 * s))
    dig_h = 50 * s
    dy = map_y1 + (data_h - dig_h) / 2 - 6 * s
    for field, text, colour in ((0, "27.4", DIGIT), (1, "42.8", DIGIT_DIM)):
        x0 = field * dw / 2 + 20 * s
        seven_segment(dd, x0, dy, dig_h, text, colour, s)
        # A unit bar under each figure stands for its label.
        dd.rectangle([x0 + 4 * s, dh - 22 * s, x0 + 60 * s, dh - 16 * s], fill=(90, 98, 112))

    disp_mask = Image.new("L", disp.size, 0)
    ImageDraw.Draw(disp_mask).rounded_rectangle([0, 0, dw - 1, dh - 1], radius=round(10 * s), fill=255)
    img.paste(disp, (round(dx0), round(dy0)), disp_mask)

    # A faint reflection across the glass.
    sheen = Image.new("L", (w, h), 0)
    ImageDraw.Draw(sheen).polygon(
        [(sx0, sy0), (sx0 + (sx1 - sx0) * 0.55, sy0), (sx0, sy0 + (sy1 - sy0) * 0.45)], fill=22)
    glass = Image.new("L", (w, h), 0)
    ImageDraw.Draw(glass).rounded_rectangle([round(sx0), round(sy0), round(sx1), round(sy1)],
                                            radius=round(20 * s), fill=255)
    sheen = Image.composite(sheen, Image.new("L", (w, h), 0), glass)
    img.paste((255, 255, 255), (0, 0), sheen)


def make_background():
    s = SS
    size = (W * s, H * s)
    # Sky: the bands stay the one dark colour; the horizon brightens a little
    # behind the hills.
    img = vertical_gradient(size, [
        (TITLE_WARNING_BAND[1] * s, BG),
        (1150 * s, mix(BG, HORIZON, 0.55)),
        (1262 * s, HORIZON),
        (DETAIL_BAND[0] * s, BG),
    ])
    draw_landscape(img, s)
    draw_device(img, s)
    # The bands are repainted plain, so nothing of the drawing reaches them.
    band = ImageDraw.Draw(img)
    band.rectangle([0, 0, size[0], TITLE_WARNING_BAND[1] * s - 1], fill=BG)
    band.rectangle([0, DETAIL_BAND[0] * s, size[0], size[1]], fill=BG)
    return img.resize((W, H), Image.LANCZOS)


# ---------------------------------------------------------------- icon

ICON_SIZES = (16, 24, 32, 48, 64, 128, 256)
ICON_OUTLINE = (18, 21, 27)
ICON_BODY = (72, 80, 94)
ICON_BODY_HI = (104, 114, 130)
ICON_SCREEN = (232, 236, 226)
ICON_STREET = (206, 210, 200)
ICON_DATA = (28, 31, 38)
ICON_MARK = (30, 90, 200)


def icon_geometry(n):
    """The device's parts for an n-pixel icon, edges on whole pixels so that the
    small sizes stay sharp."""
    def px(v):
        return round(v * n)

    g = {}
    bw = max(10, px(0.66))
    if (n - bw) % 2:
        bw += 1
    x0 = (n - bw) // 2
    g["body"] = (x0, px(0.04), x0 + bw, n - px(0.04))
    g["radius"] = max(2, n * 0.16)
    o = max(1, round(n / 24))  # outline and bezel width
    g["outline"] = o
    bx0, by0, bx1, by1 = g["body"]
    m = max(2, px(0.09))  # side margin to the screen
    g["screen"] = (bx0 + m, by0 + max(2, px(0.13)), bx1 - m, by1 - max(3, px(0.2)))
    g["screen_radius"] = max(0, n * 0.04)
    sx0, sy0, sx1, sy1 = g["screen"]
    data = max(1, round((sy1 - sy0) * 0.3))
    g["data"] = (sx0, sy1 - data, sx1, sy1)
    mx0, my0, mx1, my1 = sx0, sy0, sx1, sy1 - data
    g["map"] = (mx0, my0, mx1, my1)
    fw, fh = mx1 - mx0, my1 - my0
    # Small sizes draw the route pixel by pixel, so its points sit on pixel
    # centres there.
    g["pixel_route"] = n <= 32
    inset = 0.5 if g["pixel_route"] else fw * 0.1
    pts = ((0.0, 1.0), (0.38, 0.45), (0.62, 0.7), (1.0, 0.0))
    if g["pixel_route"]:
        g["route"] = [(mx0 + round(fx * (fw - 1)), my0 + round(fy * (fh - 1))) for fx, fy in pts]
        g["route_w"] = 1 if n < 32 else 2
    else:
        g["route"] = [(mx0 + inset + (fw - 2 * inset) * fx, my0 + inset + (fh - 2 * inset) * fy) for fx, fy in pts]
        g["route_w"] = max(2, round(n / 24))
    # Streets behind the route, where there is room for them.
    g["streets"] = [] if n < 48 else [
        ((mx0, my0 + fh * 0.3), (mx1, my0 + fh * 0.18)),
        ((mx0 + fw * 0.7, my0), (mx0 + fw * 0.58, my1)),
    ]
    g["street_w"] = max(1, round(n / 40))
    # Ride figures in the data row from 64 pixels; plain bars below that.
    g["digits"] = n >= 64
    g["buttons"] = n >= 32
    g["position"] = n >= 48
    return g


class SvgPen:
    """Takes the polygon and ellipse calls of the drawing code and writes SVG."""

    def __init__(self):
        self.parts = []

    def polygon(self, pts, fill):
        p = " ".join(f"{x:.2f},{y:.2f}" for x, y in pts)
        self.parts.append(f'  <polygon points="{p}" fill="{hexc(fill)}"/>')

    def ellipse(self, box, fill):
        x0, y0, x1, y1 = box
        self.parts.append(f'  <ellipse cx="{(x0 + x1) / 2:.2f}" cy="{(y0 + y1) / 2:.2f}" '
                          f'rx="{(x1 - x0) / 2:.2f}" ry="{(y1 - y0) / 2:.2f}" fill="{hexc(fill)}"/>')


class ScaledPen:
    """Passes polygon and ellipse calls to a PIL drawing at k times the scale."""

    def __init__(self, draw, k):
        self.d, self.k = draw, k

    def polygon(self, pts, fill):
        self.d.polygon([(x * self.k, y * self.k) for x, y in pts], fill=fill)

    def ellipse(self, box, fill):
        self.d.ellipse([v * self.k for v in box], fill=fill)


def hexc(c):
    return "#%02x%02x%02x" % tuple(c[:3])


def icon_figures(pen, g):
    """Two ride figures in the data row, in the segment style of the display."""
    dx0, dy0, dx1, dy1 = g["data"]
    hgt = (dy1 - dy0) * 0.52
    y = dy0 + (dy1 - dy0 - hgt) / 2
    half = (dx1 - dx0) / 2
    for field, text, colour in ((0, "27", DIGIT), (1, "42", DIGIT_DIM)):
        wd = hgt * 0.52 * 2 + hgt * 0.13 * 1.2
        seven_segment(pen, dx0 + field * half + (half - wd) / 2, y, hgt, text, colour, 1)


def icon_side_buttons(g, n):
    bx0, by0, bx1, by1 = g["body"]
    bh = (by1 - by0) * 0.14
    return [(bx0 - n * 0.03, by0 + (by1 - by0) * 0.22, bx0 + 1, by0 + (by1 - by0) * 0.22 + bh),
            (bx1 - 1, by0 + (by1 - by0) * 0.2, bx1 + n * 0.03, by0 + (by1 - by0) * 0.2 + bh),
            (bx1 - 1, by0 + (by1 - by0) * 0.4, bx1 + n * 0.03, by0 + (by1 - by0) * 0.4 + bh)]


def draw_icon(n):
    k = 8  # supersampling
    g = icon_geometry(n)
    img = Image.new("RGBA", (n * k, n * k), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)

    def K(box):
        return [v * k for v in box]

    if g["buttons"]:
        for box in icon_side_buttons(g, n):
            d.rounded_rectangle(K(box), radius=n * 0.015 * k, fill=ICON_OUTLINE)
    bx0, by0, bx1, by1 = g["body"]
    d.rounded_rectangle(K(g["body"]), radius=g["radius"] * k, fill=ICON_OUTLINE)
    o = g["outline"]
    inner = (bx0 + o, by0 + o, bx1 - o, by1 - o)
    body = vertical_gradient(img.size, [(round(by0 * k), ICON_BODY_HI), (round((by0 + (by1 - by0) * 0.62) * k), ICON_BODY)]) \
        if n >= 32 else Image.new("RGB", img.size, ICON_BODY)
    mask = Image.new("L", img.size, 0)
    ImageDraw.Draw(mask).rounded_rectangle(K(inner), radius=max(1, g["radius"] - o) * k, fill=255)
    img.paste(body, (0, 0), mask)

    sx0, sy0, sx1, sy1 = g["screen"]
    d.rounded_rectangle(K((sx0 - o, sy0 - o, sx1 + o, sy1 + o)), radius=(g["screen_radius"] + o) * k,
                        fill=ICON_OUTLINE)
    d.rounded_rectangle(K(g["screen"]), radius=g["screen_radius"] * k, fill=ICON_SCREEN)
    d.rectangle(K(g["data"]), fill=ICON_DATA)
    for a, b in g["streets"]:
        d.line([(a[0] * k, a[1] * k), (b[0] * k, b[1] * k)], fill=ICON_STREET, width=g["street_w"] * k)
    if g["digits"]:
        icon_figures(ScaledPen(d, k), g)
    elif n >= 32:
        dx0, dy0, dx1, dy1 = g["data"]
        ph = max(1, round((dy1 - dy0) * 0.34))
        y = dy0 + (dy1 - dy0 - ph) // 2
        for f in (0.15, 0.6):
            x = dx0 + round((dx1 - dx0) * f)
            d.rectangle(K((x, y, x + round((dx1 - dx0) * 0.25), y + ph)), fill=ICON_SCREEN)
    rw = g["route_w"]
    if not g["pixel_route"]:
        d.line([(x * k, y * k) for x, y in g["route"]], fill=ROUTE, width=rw * k)
        for x, y in g["route"]:
            d.ellipse(K((x - rw / 2, y - rw / 2, x + rw / 2, y + rw / 2)), fill=ROUTE)
    if g["position"]:
        x, y = g["route"][2]
        r = rw * 1.1
        ring = max(1.0, rw * 0.45)
        d.ellipse(K((x - r - ring, y - r - ring, x + r + ring, y + r + ring)), fill=(255, 255, 255))
        d.ellipse(K((x - r, y - r, x + r, y + r)), fill=ICON_MARK)
    out = img.resize((n, n), Image.BOX)
    if g["pixel_route"]:
        # Hard pixels: an antialiased one-pixel line turns pale at these sizes.
        ImageDraw.Draw(out).line(g["route"], fill=ROUTE + (255,), width=rw)
    return out


def icon_svg():
    """The same drawing as a scalable icon, from the 256-pixel geometry."""
    n = 256
    g = icon_geometry(n)
    bx0, by0, bx1, by1 = g["body"]
    o = g["outline"]
    sx0, sy0, sx1, sy1 = g["screen"]
    dx0, dy0, dx1, dy1 = g["data"]
    r = g["radius"]
    parts = [
        '<?xml version="1.0" encoding="UTF-8"?>',
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{n}" height="{n}" viewBox="0 0 {n} {n}">',
        "  <title>Quorta GPS Updater</title>",
        "  <defs>",
        '    <linearGradient id="body" x1="0" y1="0" x2="0" y2="1">',
        f'      <stop offset="0" stop-color="{hexc(ICON_BODY_HI)}"/>',
        f'      <stop offset="0.62" stop-color="{hexc(ICON_BODY)}"/>',
        "    </linearGradient>",
        "  </defs>",
        "  <!-- side buttons -->",
    ]
    for x0, y0, x1, y1 in icon_side_buttons(g, n):
        parts.append(f'  <rect x="{x0:.2f}" y="{y0:.2f}" width="{x1 - x0:.2f}" height="{y1 - y0:.2f}" '
                     f'rx="{n * 0.015:.2f}" fill="{hexc(ICON_OUTLINE)}"/>')
    parts += [
        "  <!-- body -->",
        f'  <rect x="{bx0}" y="{by0}" width="{bx1 - bx0}" height="{by1 - by0}" rx="{r:.2f}" '
        f'fill="{hexc(ICON_OUTLINE)}"/>',
        f'  <rect x="{bx0 + o}" y="{by0 + o}" width="{bx1 - bx0 - 2 * o}" height="{by1 - by0 - 2 * o}" '
        f'rx="{r - o:.2f}" fill="url(#body)"/>',
        "  <!-- screen: map with streets and the route, ride figures below -->",
        f'  <rect x="{sx0 - o}" y="{sy0 - o}" width="{sx1 - sx0 + 2 * o}" height="{sy1 - sy0 + 2 * o}" '
        f'rx="{g["screen_radius"] + o:.2f}" fill="{hexc(ICON_OUTLINE)}"/>',
        f'  <rect x="{sx0}" y="{sy0}" width="{sx1 - sx0}" height="{sy1 - sy0}" rx="{g["screen_radius"]:.2f}" '
        f'fill="{hexc(ICON_SCREEN)}"/>',
        f'  <rect x="{dx0}" y="{dy0}" width="{dx1 - dx0}" height="{dy1 - dy0}" fill="{hexc(ICON_DATA)}"/>',
    ]
    for a, b in g["streets"]:
        parts.append(f'  <line x1="{a[0]:.2f}" y1="{a[1]:.2f}" x2="{b[0]:.2f}" y2="{b[1]:.2f}" '
                     f'stroke="{hexc(ICON_STREET)}" stroke-width="{g["street_w"]}"/>')
    pen = SvgPen()
    icon_figures(pen, g)
    parts += pen.parts
    pts = " ".join(f"{x:.2f},{y:.2f}" for x, y in g["route"])
    rw = g["route_w"]
    parts.append(f'  <polyline points="{pts}" fill="none" stroke="{hexc(ROUTE)}" '
                 f'stroke-width="{rw}" stroke-linejoin="round" stroke-linecap="round"/>')
    x, y = g["route"][2]
    rr = rw * 1.1
    ring = max(1.0, rw * 0.45)
    parts += [
        f'  <circle cx="{x:.2f}" cy="{y:.2f}" r="{rr + ring:.2f}" fill="#ffffff"/>',
        f'  <circle cx="{x:.2f}" cy="{y:.2f}" r="{rr:.2f}" fill="{hexc(ICON_MARK)}"/>',
        "</svg>",
        "",
    ]
    return "\n".join(parts)


# ---------------------------------------------------------------- preview


def find_font(bold=False):
    for path in ("/usr/share/fonts/truetype/dejavu/DejaVuSans%s.ttf" % ("-Bold" if bold else ""),
                 "/usr/share/fonts/truetype/liberation/LiberationSans-Regular.ttf"):
        if os.path.exists(path):
            return path
    return None


def wrap(draw, font, text, width):
    lines = []
    for para in text.split("\n"):
        words = para.split(" ")
        cur = ""
        for word in words:
            trial = word if not cur else cur + " " + word
            if draw.textlength(trial, font=font) <= width or not cur:
                cur = trial
            else:
                lines.append(cur)
                cur = word
        lines.append(cur)
    return lines


def draw_block(draw, font, text, rect, colour):
    x0, y0, x1, _ = rect
    asc, desc = font.getmetrics()
    y = y0
    for line in wrap(draw, font, text, x1 - x0):
        tw = draw.textlength(line, font=font)
        draw.text((x0 + (x1 - x0 - tw) / 2, y), line, font=font, fill=colour)
        y += asc + desc


def render_window(bg, title, detail, warning, controls, client_h=480):
    """The client area as the program paints it: the picture's top-left corner
    unscaled, the whole picture stretched over it, then the texts."""
    from PIL import ImageFont

    win = Image.new("RGB", (WIN_W, client_h), (0, 0, 0))
    win.paste(bg.crop((0, 0, 320, 480)), (0, 0))
    win.paste(bg.resize((WIN_W, STRETCH_H), Image.LANCZOS), (0, STRETCH_TOP))
    d = ImageDraw.Draw(win)
    fp = find_font()
    small = ImageFont.truetype(fp, 13) if fp else ImageFont.load_default()
    big = ImageFont.truetype(fp, 31) if fp else ImageFont.load_default()
    if controls == "busy":
        d.rectangle([52, 300, 245, 329], fill=(230, 230, 230), outline=(160, 160, 160))
        d.rectangle([110, 303, 170, 326], fill=(60, 160, 80))
    elif controls == "button":
        d.rectangle([52, 340, 245, 369], fill=(225, 225, 225), outline=(90, 120, 200))
        draw_block(d, small, "Update to 14.51", (52, 347, 246, 370), (0, 0, 0))
    draw_block(d, small, title, (10, 20, 280, 100), (255, 255, 255))
    draw_block(d, small, detail, (10, 380, 280, 500), (255, 255, 255))
    if warning:
        draw_block(d, big, "Do not unplug GPS", (10, 50, 280, 220), (255, 0, 0))
    return win


def preview(bg, out):
    states = [
        ("Please connect your\nQuorta GPS Device", " ", False, None),
        ("Osprey Max connected\nVersion 12.10", "New software is available for your device", False, "button"),
        ("Updating Osprey Max", "Step 3 of 3\n25% done", True, "busy"),
        ("Updating Osprey Max", "Copying the radio update to the GPS drive and waiting for the device to restart",
         True, "busy"),
    ]
    shots = [render_window(bg, *st) for st in states]
    sheet = Image.new("RGB", (len(shots) * (WIN_W + 10) - 10, shots[0].size[1]), (128, 128, 128))
    for i, shot in enumerate(shots):
        sheet.paste(shot, (i * (WIN_W + 10), 0))
    sheet.save(out)


# ---------------------------------------------------------------- check


def luminance(rgb):
    """Relative luminance of an sRGB colour, as contrast ratios are defined on it."""
    def lin(c):
        c /= 255.0
        return c / 12.92 if c <= 0.04045 else ((c + 0.055) / 1.055) ** 2.4

    r, g, b = (lin(v) for v in rgb[:3])
    return 0.2126 * r + 0.7152 * g + 0.0722 * b


def contrast(l1, l2):
    hi, lo = max(l1, l2), min(l1, l2)
    return (hi + 0.05) / (lo + 0.05)


def check(folder):
    """Checks the committed files: sizes, the text bands dark and plain enough
    for the white and red texts, the unscaled strip matching the bottom, the
    icons transparent around the device, and the pixels still those this
    script draws. Returns a list of problems."""
    problems = []
    path = os.path.join(folder, "background.png")
    if os.path.getsize(path) > 1_500_000:
        problems.append(f"background.png is {os.path.getsize(path)} bytes, over 1.5 MB")
    bg = Image.open(path).convert("RGB")
    if bg.size != (W, H):
        return problems + [f"background.png is {bg.size}, not {(W, H)}"]

    # The bands as the window shows them: the stretched picture.
    win = bg.resize((WIN_W, STRETCH_H), Image.LANCZOS)
    for name, (y0, y1), red in (("title and warning", (20, 128), True), ("detail", (375, 470), False)):
        band = win.crop((0, y0 - STRETCH_TOP, WIN_W, y1 - STRETCH_TOP))
        lums = [luminance(c) for _, c in band.getcolors(WIN_W * (y1 - y0))]
        worst = max(lums)
        if contrast(1.0, worst) < 7.0:
            problems.append(f"{name} band: white text contrast {contrast(1.0, worst):.1f} < 7")
        if red and contrast(luminance((255, 0, 0)), worst) < 3.0:
            problems.append(f"{name} band: red warning contrast {contrast(luminance((255, 0, 0)), worst):.1f} < 3")
        if worst - min(lums) > 0.01:
            problems.append(f"{name} band is not plain (luminance {min(lums):.4f}..{worst:.4f})")
    # Rows 470..480 of the left 300 columns show unscaled under the stretched picture.
    strip = bg.crop((0, 470, 300, 480)).getcolors(3000)
    bottom = bg.getpixel((150, H - 1))
    if any(max(abs(a - b) for a, b in zip(c, bottom)) > 2 for _, c in strip):
        problems.append("rows 470..480 differ from the bottom colour")

    for n in ICON_SIZES:
        ip = os.path.join(folder, "icons", "hicolor", f"{n}x{n}", "apps", "quorta-updater.png")
        icon = Image.open(ip)
        if icon.size != (n, n) or icon.mode != "RGBA":
            problems.append(f"{ip}: {icon.size} {icon.mode}")
            continue
        if icon.getpixel((0, 0))[3] != 0 or icon.getpixel((n // 2, n // 2))[3] != 255:
            problems.append(f"{ip}: corner not transparent or centre not opaque")
        fresh = draw_icon(n)
        if max(max(abs(a - b) for a, b in zip(p, q)) for p, q in zip(icon.getdata(), fresh.getdata())) > 2:
            problems.append(f"{ip} is not what this script draws: run it again")
    svg = os.path.join(folder, "icons", "hicolor", "scalable", "apps", "quorta-updater.svg")
    with open(svg, encoding="utf-8") as f:
        if f.read() != icon_svg():
            problems.append(f"{svg} is not what this script writes: run it again")

    fresh = make_background()
    diff = max(max(abs(a - b) for a, b in zip(p, q)) for p, q in zip(bg.getdata(), fresh.getdata()))
    if diff > 2:
        problems.append(f"background.png is not what this script draws (differs by {diff}): run it again")
    return problems


# ---------------------------------------------------------------- main


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--out", default=HERE, help="folder to write into (default: beside this script)")
    ap.add_argument("--preview", metavar="PNG", help="also write a sheet of window renderings")
    ap.add_argument("--check", action="store_true",
                    help="check the files in --out instead of writing them; exit 1 on a problem")
    args = ap.parse_args()

    if args.check:
        problems = check(args.out)
        for p in problems:
            print("make_art: " + p, file=sys.stderr)
        if not problems:
            print("make_art: background and icons are in order")
        return 1 if problems else 0

    bg = make_background()
    bg.save(os.path.join(args.out, "background.png"), optimize=True)
    for n in ICON_SIZES:
        folder = os.path.join(args.out, "icons", "hicolor", f"{n}x{n}", "apps")
        os.makedirs(folder, exist_ok=True)
        draw_icon(n).save(os.path.join(folder, "quorta-updater.png"), optimize=True)
    folder = os.path.join(args.out, "icons", "hicolor", "scalable", "apps")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "quorta-updater.svg"), "w", encoding="utf-8") as f:
        f.write(icon_svg())
    if args.preview:
        preview(bg, args.preview)
    return 0


if __name__ == "__main__":
    sys.exit(main())
