#!/usr/bin/python3
"""Makes the gallery of diaphragm shapes in data/diaphragms/: square 24-bit bitmaps of
lens apertures, each at a few odd sizes, grey on black, with antialiased edges.

Deterministic: the same Pillow gives the same bytes on every run. Run from anywhere:
    /usr/bin/python3 scripts/make_diaphragms.py
"""

import math
import os

from PIL import Image

GALLERY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "diaphragms")

# Odd sides, so a disc centres exactly on the pixel it is painted from. The width is the
# blur size: small for a light touch, large for strong bokeh (and slower renders).
SIZES = (15, 25, 41)

# Each pixel is sampled SUPER x SUPER times; the mean is its brightness.
SUPER = 8


def polygon(corners, rotation):
    """A regular polygon with its corners on the unit circle; one corner straight up when
    rotation is 0."""
    apothem = math.cos(math.pi / corners)
    normals = [(math.sin(rotation + (k + 0.5) * 2 * math.pi / corners),
                -math.cos(rotation + (k + 0.5) * 2 * math.pi / corners))
               for k in range(corners)]

    def level(x, y):
        # Inside when the point lies within every side's half-plane.
        return 1.0 if all(x * nx + y * ny <= apothem for nx, ny in normals) else 0.0
    return level


def circle(x, y):
    return 1.0 if x * x + y * y <= 1.0 else 0.0


def curved_iris(x, y):
    """Five blades whose edges are arcs: a pentagon whose sides bulge outwards, as the
    rounded blades of many lenses give when stopped down a little."""
    blades = 5
    bend = 1.6  # radius of each blade's arc, in units of the aperture's radius
    apothem = 0.92
    for k in range(blades):
        # A slight turn of the blade edges against the pentagon gives the pinwheel look.
        angle = (k + 0.5) * 2 * math.pi / blades + 0.12
        nx, ny = math.sin(angle), -math.cos(angle)
        # The arc's centre lies on the far side, so the edge curves outwards.
        cx, cy = -(bend - apothem) * nx, -(bend - apothem) * ny
        if (x - cx) ** 2 + (y - cy) ** 2 > bend * bend:
            return 0.0
    return 1.0


def star(x, y):
    """A five-pointed star, points on the unit circle, one straight up."""
    points = 5
    inner = 0.42
    corners = []
    for k in range(2 * points):
        r = 1.0 if k % 2 == 0 else inner
        a = k * math.pi / points
        corners.append((r * math.sin(a), -r * math.cos(a)))
    # Even-odd rule: count the edges that a ray to the right crosses.
    inside = False
    for i in range(len(corners)):
        (x0, y0), (x1, y1) = corners[i], corners[i - 1]
        if (y0 > y) != (y1 > y) and x < x0 + (y - y0) * (x1 - x0) / (y1 - y0):
            inside = not inside
    return 1.0 if inside else 0.0


def heart(x, y):
    """The classic implicit heart, (u² + v² - 1)³ ≤ u²v³, point down, fitted to the
    square."""
    # The curve spans u in ±1.14 and v from -1 to 1.25; this scale and shift centre it.
    u = x * 1.2
    v = 0.125 - y * 1.2  # rows run downwards; the curve's v runs upwards
    return 1.0 if (u * u + v * v - 1.0) ** 3 <= u * u * v ** 3 else 0.0


def cats_eye(x, y):
    """A disc cut by a second, offset one: the almond-shaped aperture that mechanical
    vignetting gives towards the edges of a picture. The light also falls off across it,
    as the cut-off side is further from the lens axis."""
    # Discs of radius r centred d left and right of the middle meet in an almond
    # 2(r - d) wide and 2 sqrt(r² - d²) high: here 1.3 wide and 2 high.
    offset, radius = 0.444, 1.094
    if (x - offset) ** 2 + y * y > radius * radius:
        return 0.0
    if (x + offset) ** 2 + y * y > radius * radius:
        return 0.0
    return 1.0 - 0.25 * (x + 1.0) / 2.0


def soft_ring(x, y):
    """A catadioptric (mirror) lens: the secondary mirror blocks the middle, so a disc
    becomes a ring. Its edges fade over a tenth of the radius."""
    r = math.hypot(x, y)
    outer, inner, fade = 1.0, 0.48, 0.1

    def step(edge, t):
        # 0 before the fade, 1 after, smooth in between.
        s = min(1.0, max(0.0, (t - edge) / fade + 0.5))
        return s * s * (3.0 - 2.0 * s)
    return step(inner, r) * (1.0 - step(outer - fade / 2, r))


SHAPES = {
    "circle": circle,
    "hexagon": polygon(6, 0.0),
    "octagon": polygon(8, math.pi / 8),
    "iris5": curved_iris,
    "star": star,
    "heart": heart,
    "cats_eye": cats_eye,
    "soft_ring": soft_ring,
}


def render(level, size):
    """The shape over a size x size square; the unit circle touches the middle of each
    outer pixel row and column, so nothing of the shape is cut off."""
    radius = (size - 1) / 2.0
    image = Image.new("RGB", (size, size))
    for row in range(size):
        for col in range(size):
            total = 0.0
            for sy in range(SUPER):
                for sx in range(SUPER):
                    x = (col - radius - 0.5 + (sx + 0.5) / SUPER) / radius
                    y = (row - radius - 0.5 + (sy + 0.5) / SUPER) / radius
                    total += level(x, y)
            value = int(round(255 * total / (SUPER * SUPER)))
            image.putpixel((col, row), (value, value, value))
    return image


def main():
    os.makedirs(GALLERY, exist_ok=True)
    for name, level in SHAPES.items():
        for size in SIZES:
            render(level, size).save(os.path.join(GALLERY, f"{name}_{size}.bmp"), format="BMP")


if __name__ == "__main__":
    main()
