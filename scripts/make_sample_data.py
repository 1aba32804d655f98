#!/usr/bin/python3
"""Makes the bundled data: the default diaphragm data/lmask.bmp and the sample picture
data/sample.bmp with its depth mask data/sample_zmask.bmp.

Deterministic: the same Pillow gives the same bytes on every run. Run from anywhere:
    /usr/bin/python3 scripts/make_sample_data.py
"""

import math
import os
import random

from PIL import Image, ImageDraw, ImageFilter

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data")

# Shapes are drawn this many times larger and then averaged down, which gives soft,
# antialiased edges.
SUPER = 4


def save_bmp(image, name):
    image.convert("RGB").save(os.path.join(DATA, name), format="BMP")


# --- The default diaphragm ------------------------------------------------------------

def hexagon_coverage(size, radius, rotation):
    """Per pixel, the part of the pixel that lies inside a regular hexagon centred in a
    size x size square (radius to the corners, in pixels), sampled SUPER x SUPER times."""
    centre = (size - 1) / 2.0
    # Half-planes of the hexagon: a point is inside when its projection on each side's
    # normal is at most the apothem.
    apothem = radius * math.cos(math.pi / 6)
    normals = [(math.cos(rotation + math.pi / 6 + k * math.pi / 3),
                math.sin(rotation + math.pi / 6 + k * math.pi / 3)) for k in range(6)]
    coverage = [[0.0] * size for _ in range(size)]
    depth_inside = [[0.0] * size for _ in range(size)]
    for y in range(size):
        for x in range(size):
            inside = 0
            nearest_edge = 0.0
            for sy in range(SUPER):
                for sx in range(SUPER):
                    px = x - 0.5 + (sx + 0.5) / SUPER - centre
                    py = y - 0.5 + (sy + 0.5) / SUPER - centre
                    margin = min(apothem - (px * nx + py * ny) for nx, ny in normals)
                    if margin >= 0:
                        inside += 1
                        nearest_edge += margin
            coverage[y][x] = inside / (SUPER * SUPER)
            depth_inside[y][x] = nearest_edge / inside if inside else 0.0
    return coverage, depth_inside


def make_diaphragm():
    # 25 pixels: odd, so discs centre exactly on their source pixel, and small enough
    # that the default render stays quick.
    size = 25
    coverage, edge_distance = hexagon_coverage(size, radius=12.2, rotation=0.0)
    image = Image.new("RGB", (size, size))
    for y in range(size):
        for x in range(size):
            # A real lens's out-of-focus disc is a little brighter at its rim; the middle
            # stays at 90 %, the last two pixels inside the edge rise to full brightness.
            rim = max(0.0, 1.0 - edge_distance[y][x] / 2.0)
            level = coverage[y][x] * (0.9 + 0.1 * rim)
            value = int(round(255 * level))
            image.putpixel((x, y), (value, value, value))
    save_bmp(image, "lmask.bmp")


# --- The sample picture and its depth mask --------------------------------------------

WIDTH, HEIGHT = 640, 426
HORIZON = 0.60  # the street meets the buildings here, as a fraction of the height


class Scene:
    """Draws colour and depth together at SUPER times the final size."""

    def __init__(self):
        self.w, self.h = WIDTH * SUPER, HEIGHT * SUPER
        self.colour = Image.new("RGB", (self.w, self.h))
        self.depth = Image.new("L", (self.w, self.h))
        self.c = ImageDraw.Draw(self.colour)
        self.d = ImageDraw.Draw(self.depth)

    def s(self, v):
        return int(round(v * SUPER))

    def rect(self, x0, y0, x1, y1, colour, depth):
        box = [self.s(x0), self.s(y0), self.s(x1) - 1, self.s(y1) - 1]
        self.c.rectangle(box, fill=colour)
        self.d.rectangle(box, fill=depth)

    def disc(self, x, y, r, colour, depth):
        box = [self.s(x - r), self.s(y - r), self.s(x + r), self.s(y + r)]
        self.c.ellipse(box, fill=colour)
        self.d.ellipse(box, fill=depth)

    def line(self, points, width, colour, depth):
        pts = [(self.s(x), self.s(y)) for x, y in points]
        self.c.line(pts, fill=colour, width=self.s(width))
        self.d.line(pts, fill=depth, width=self.s(width))

    def finish(self):
        size = (WIDTH, HEIGHT)
        return (self.colour.resize(size, Image.Resampling.BOX),
                self.depth.resize(size, Image.Resampling.BOX))


def lerp(a, b, t):
    return tuple(int(round(p + (q - p) * t)) for p, q in zip(a, b))


def make_sample():
    rnd = random.Random(20240601)
    scene = Scene()
    horizon = HEIGHT * HORIZON

    # Night sky, deepest at the top, and far away.
    for y in range(int(horizon) + 1):
        scene.rect(0, y, WIDTH, y + 1, lerp((6, 9, 30), (38, 30, 58), y / horizon), 255)
    for _ in range(70):
        x, y = rnd.uniform(0, WIDTH), rnd.uniform(0, horizon * 0.7)
        v = rnd.randint(120, 230)
        scene.disc(x, y, 0.5, (v, v, min(255, v + 20)), 255)

    # The street: dark asphalt from the horizon (far) to the bottom edge (near).
    for y in range(int(horizon), HEIGHT):
        t = (y - horizon) / (HEIGHT - horizon)
        scene.rect(0, y, WIDTH, y + 1, lerp((24, 22, 28), (14, 13, 16), t),
                   int(round(185 - 175 * t)))

    # A skyline of distant buildings with lit windows.
    x = -10.0
    while x < WIDTH:
        width = rnd.uniform(35, 80)
        top = horizon - rnd.uniform(40, 170)
        shade = rnd.randint(12, 22)
        depth = rnd.randint(200, 225)
        scene.rect(x, top, x + width, horizon + 2, (shade, shade, shade + 8), depth)
        wy = top + 6
        while wy < horizon - 6:
            wx = x + 5
            while wx < x + width - 7:
                if rnd.random() < 0.28:
                    warm = rnd.random() < 0.75
                    colour = (255, rnd.randint(180, 215), rnd.randint(100, 140)) if warm \
                        else (rnd.randint(170, 200), rnd.randint(200, 225), 255)
                    scene.rect(wx, wy, wx + 3, wy + 4, colour, depth)
                wx += 7
            wy += 9
        x += width + rnd.uniform(0, 6)

    # Cars on the street: pairs of red tail lights and white headlights.
    for _ in range(9):
        y = rnd.uniform(horizon + 8, horizon + 60)
        t = (y - horizon) / (HEIGHT - horizon)
        depth = int(round(185 - 175 * t))
        x = rnd.uniform(20, WIDTH - 40)
        gap = 6 + 30 * t
        r = 1.0 + 2.5 * t
        colour = (255, 40, 30) if rnd.random() < 0.6 else (255, 250, 235)
        scene.disc(x, y, r, colour, depth)
        scene.disc(x + gap, y, r, colour, depth)

    # Street lamps receding along the right kerb.
    for k in range(7):
        t = 1.0 - k / 7.0  # 1 at the nearest lamp
        base_x = WIDTH * (0.62 + 0.36 * t)
        base_y = horizon + (HEIGHT - horizon) * 0.9 * t + 4
        depth = int(round(185 - 175 * ((base_y - horizon) / (HEIGHT - horizon))))
        height = 30 + 190 * t
        top_y = base_y - height
        scene.line([(base_x, base_y), (base_x, top_y)], 1 + 3 * t, (30, 30, 34), depth)
        scene.line([(base_x, top_y), (base_x - 14 * t - 3, top_y)], 1 + 2 * t, (30, 30, 34),
                   depth)
        scene.disc(base_x - 14 * t - 3, top_y + 2, 1.5 + 4 * t, (255, 214, 150), depth)

    # A string of coloured fairy lights hanging across the middle distance.
    bulbs = [(255, 60, 50), (255, 200, 60), (80, 255, 120), (90, 150, 255), (255, 255, 245)]
    x0, x1, sag, y0 = 40.0, 600.0, 55.0, 120.0
    points = []
    for i in range(0, 57):
        u = i / 56.0
        points.append((x0 + (x1 - x0) * u, y0 + sag * (1 - (2 * u - 1) ** 2)))
    scene.line(points, 0.7, (40, 40, 40), 95)
    for i, (bx, by) in enumerate(points[1:-1:2]):
        scene.disc(bx, by + 2, 1.6, bulbs[i % len(bulbs)], 95)

    # The subject in focus: a railing in the foreground with glints of light on it.
    rail_y = HEIGHT * 0.80
    scene.rect(0, rail_y, WIDTH * 0.55, rail_y + 5, (120, 110, 100), 40)
    scene.rect(0, rail_y + 30, WIDTH * 0.55, rail_y + 33, (90, 84, 76), 40)
    for px in range(12, int(WIDTH * 0.55), 34):
        scene.rect(px, rail_y, px + 5, HEIGHT, (70, 65, 60), 40)
    for gx in range(30, int(WIDTH * 0.55), 47):
        scene.disc(gx, rail_y + 1.5, 0.8, (255, 255, 255), 40)

    colour, depth = scene.finish()
    # Soften the depth edges a little, as a real depth map would be.
    depth = depth.filter(ImageFilter.GaussianBlur(0.7))
    save_bmp(colour, "sample.bmp")
    save_bmp(Image.merge("RGB", (depth, depth, depth)), "sample_zmask.bmp")


if __name__ == "__main__":
    make_diaphragm()
    make_sample()
