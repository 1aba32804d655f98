#!/usr/bin/python3
"""Makes Bokavo's application icon: packaging/icons/org.bokavo.Bokavo.svg and PNG copies
of it at the sizes desktops ask for (packaging/icons/NxN/org.bokavo.Bokavo.png).

The icon is a few overlapping, translucent hexagonal bokeh discs on a dark rounded
square. One list of shapes below is written out as SVG and painted with Pillow, so the
PNGs show what the SVG shows without an SVG renderer. Deterministic; run from anywhere:
    /usr/bin/python3 scripts/make_icon.py
"""

import math
import os

from PIL import Image, ImageDraw

ICONS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "packaging", "icons")
NAME = "org.bokavo.Bokavo"
CANVAS = 256  # the SVG's view box, and the design grid of everything below
PNG_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)

BACKGROUND = {"x": 16, "y": 16, "side": 224, "radius": 48, "fill": (27, 29, 58)}

# Bokeh discs, back to front: centre, radius to the corners, colour, opacity.
DISCS = [
    ((158, 96), 58, (255, 94, 126), 0.80),
    ((92, 104), 64, (255, 179, 71), 0.85),
    ((150, 166), 60, (94, 200, 255), 0.75),
    ((82, 182), 28, (255, 242, 194), 0.90),
]


def hexagon(centre, radius):
    """Corners of a regular hexagon with one corner straight up."""
    cx, cy = centre
    return [(cx + radius * math.sin(k * math.pi / 3), cy - radius * math.cos(k * math.pi / 3))
            for k in range(6)]


def hex_colour(colour):
    return "#%02x%02x%02x" % colour


def write_svg():
    b = BACKGROUND
    lines = [
        '<?xml version="1.0" encoding="UTF-8"?>',
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{CANVAS}" height="{CANVAS}" '
        f'viewBox="0 0 {CANVAS} {CANVAS}">',
        f'  <rect x="{b["x"]}" y="{b["y"]}" width="{b["side"]}" height="{b["side"]}" '
        f'rx="{b["radius"]}" fill="{hex_colour(b["fill"])}"/>',
    ]
    for centre, radius, colour, opacity in DISCS:
        points = " ".join(f"{x:.2f},{y:.2f}" for x, y in hexagon(centre, radius))
        lines.append(f'  <polygon points="{points}" fill="{hex_colour(colour)}" '
                     f'fill-opacity="{opacity}"/>')
    lines.append("</svg>")
    with open(os.path.join(ICONS, NAME + ".svg"), "w", encoding="utf-8") as out:
        out.write("\n".join(lines) + "\n")


def paint(size):
    """The icon at size x size pixels: painted at a multiple of the size, then averaged
    down, which antialiases the edges."""
    scale = max(1, 1024 // size)
    s = size * scale / CANVAS

    def at(v):
        return v * s

    image = Image.new("RGBA", (size * scale, size * scale), (0, 0, 0, 0))
    b = BACKGROUND
    layer = Image.new("RGBA", image.size, (0, 0, 0, 0))
    ImageDraw.Draw(layer).rounded_rectangle(
        [at(b["x"]), at(b["y"]), at(b["x"] + b["side"]) - 1, at(b["y"] + b["side"]) - 1],
        radius=at(b["radius"]), fill=b["fill"] + (255,))
    image = Image.alpha_composite(image, layer)
    for centre, radius, colour, opacity in DISCS:
        layer = Image.new("RGBA", image.size, (0, 0, 0, 0))
        corners = [(at(x), at(y)) for x, y in hexagon(centre, radius)]
        ImageDraw.Draw(layer).polygon(corners, fill=colour + (int(round(255 * opacity)),))
        image = Image.alpha_composite(image, layer)
    # Average in premultiplied form, so transparent pixels lend no colour to the edges.
    return image.convert("RGBa").resize((size, size), Image.Resampling.BOX).convert("RGBA")


def main():
    os.makedirs(ICONS, exist_ok=True)
    write_svg()
    for size in PNG_SIZES:
        folder = os.path.join(ICONS, f"{size}x{size}")
        os.makedirs(folder, exist_ok=True)
        paint(size).save(os.path.join(folder, NAME + ".png"), format="PNG", optimize=True)


if __name__ == "__main__":
    main()
