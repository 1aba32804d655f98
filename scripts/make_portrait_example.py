#!/usr/bin/env python3
"""Writes a synthetic phone portrait: a person in front of a city's lights at night, as a
JPEG that carries its depth map as a phone does (GDepth, RangeInverse, in the extended
XMP, at half the photo's size). Usage: make_portrait_example.py OUT.jpg
"""

import math
import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import depth_portraits as portraits  # noqa: E402

try:
    from PIL import Image, ImageDraw, ImageFilter
except ImportError:
    sys.exit("make_portrait_example: Python's Pillow is missing (Debian package python3-pil)")

WIDTH, HEIGHT = 360, 480
NEAR, FAR = 0.6, 12.0
rng = random.Random(20261209)

# The far city: a dark blue gradient with lit windows and coloured lights.
photo = Image.new("RGB", (WIDTH, HEIGHT))
sky = ImageDraw.Draw(photo)
for y in range(HEIGHT):
    sky.line([(0, y), (WIDTH, y)], fill=(10, 14 + y // 24, 40 + y // 12))
for _ in range(70):
    x, y, r = rng.randrange(WIDTH), rng.randrange(HEIGHT * 3 // 4), rng.choice([1, 1, 2, 3])
    colour = rng.choice([(255, 220, 150), (255, 250, 235), (255, 140, 90), (140, 200, 255)])
    sky.ellipse([x - r, y - r, x + r, y + r], fill=colour)

# The person: head and shoulders, lit from the left. The depth falls off from the nose.
person = Image.new("L", (WIDTH, HEIGHT))
shape = ImageDraw.Draw(person)
shape.ellipse([120, 110, 240, 260], fill=255)                      # head
shape.rectangle([165, 240, 195, 300], fill=255)                    # neck
shape.ellipse([60, 280, 300, 560], fill=255)                       # shoulders
skin = Image.new("RGB", (WIDTH, HEIGHT))
for y in range(HEIGHT):
    for x in range(WIDTH):
        light = 0.55 + 0.45 * max(0.0, 1 - math.hypot(x - 150, y - 170) / 220)
        base = (224, 172, 140) if y < 285 else (60, 70, 120)      # face, then a blue coat
        skin.putpixel((x, y), tuple(int(c * light) for c in base))
photo.paste(skin, mask=person.filter(ImageFilter.GaussianBlur(1)))

# Stored codes: RangeInverse, 0 at NEAR, 255 at FAR. The background is at FAR; the
# person between 0.8 m (the nose) and 1.1 m (the shoulders' edge).
def code(distance):
    return round(255 * FAR * (distance - NEAR) / (distance * (FAR - NEAR)))

depth = Image.new("L", (WIDTH, HEIGHT), code(FAR))
codes = depth.load()
inside = person.load()
for y in range(HEIGHT):
    for x in range(WIDTH):
        if inside[x, y] > 127:
            codes[x, y] = code(0.8 + 0.3 * min(1.0, math.hypot(x - 180, (y - 185) * 0.8) / 140))
depth = depth.filter(ImageFilter.GaussianBlur(2)).resize((WIDTH // 2, HEIGHT // 2), Image.BILINEAR)

file = portraits.gdepth_extended(photo, portraits.encoded(depth, optimize=True),
                                 fmt="RangeInverse", near=NEAR, far=FAR, chunk=65000)
with open(sys.argv[1], "wb") as out:
    out.write(file)
