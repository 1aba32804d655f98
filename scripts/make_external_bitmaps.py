#!/usr/bin/env python3
"""Writes bitmap files with ImageMagick's convert and with Pillow, for the reader's tests.

Usage: make_external_bitmaps.py OUTDIR

Beside every file the reader must accept lies NAME.rgb: the pixels as the writing tool
itself gives them, top row first, three bytes (red, green, blue) per pixel. Each file's
header is checked after writing, so a tool that writes something other than what the
tests expect (another header version, bit depth or compression) fails here, loudly,
instead of letting a test pass on the wrong file. A missing tool fails as well.
"""

import random
import shutil
import struct
import subprocess
import sys
from pathlib import Path

try:
    from PIL import Image
except ImportError:
    sys.exit("make_external_bitmaps: Python's Pillow is missing (Debian package python3-pil)")

CONVERT = shutil.which("convert")
if CONVERT is None:
    sys.exit("make_external_bitmaps: ImageMagick's convert is missing (Debian package imagemagick)")

BI_RGB, BI_RLE8, BI_BITFIELDS = 0, 1, 3


def fail(message):
    sys.exit(f"make_external_bitmaps: {message}")


def check_header(path, size, bits, compression):
    data = path.read_bytes()
    if len(data) < 54 or data[:2] != b"BM":
        fail(f"{path.name} is not a bitmap file")
    header_size, _w, _h, _planes, bit_count, comp = struct.unpack_from("<IiiHHI", data, 14)
    if (header_size, bit_count, comp) != (size, bits, compression):
        fail(
            f"{path.name}: header {header_size} bytes, {bit_count} bits, compression {comp}; "
            f"wanted {size}, {bits}, {compression}"
        )


def sources(folder):
    """Pictures to convert, written as PPM/PGM (no colour profile, no gamma)."""
    rng = random.Random(20240611)

    def palette_picture(width, height, count):
        colours = [tuple(rng.randrange(256) for _ in range(3)) for _ in range(count)]
        picture = Image.new("RGB", (width, height))
        picture.putdata([colours[(x * 5 + y * 3) % count] for y in range(height) for x in range(width)])
        return picture

    made = {
        "twelve": palette_picture(7, 5, 12),  # few colours: written with 4 bits
        "many": palette_picture(29, 7, 200),  # more than 16: written with 8 bits
        "photo": Image.frombytes("RGB", (11, 6), rng.randbytes(11 * 6 * 3)),
    }
    grey = Image.new("L", (33, 6))
    grey.putdata([(i * 7) % 256 for i in range(33 * 6)])
    made["grey"] = grey
    paths = {}
    for name, picture in made.items():
        paths[name] = folder / f"source_{name}.{'pgm' if picture.mode == 'L' else 'ppm'}"
        picture.save(paths[name])
    return paths


def imagemagick(folder, source, name, options, size, bits, compression=BI_RGB, accepted=True):
    out = folder / f"{name}.bmp"
    prefix = "BMP3:" if size == 40 else ""
    subprocess.run([CONVERT, str(source), *options, f"{prefix}{out}"], check=True)
    check_header(out, size, bits, compression)
    if accepted:
        subprocess.run([CONVERT, str(out), "-depth", "8", f"rgb:{folder / (name + '.rgb')}"], check=True)


def pillow(folder, picture, name, bits, accepted=True):
    out = folder / f"{name}.bmp"
    picture.save(out, format="BMP")
    check_header(out, 40, bits, BI_RGB)
    if accepted:
        (folder / f"{name}.rgb").write_bytes(picture.convert("RGB").tobytes())


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    folder = Path(sys.argv[1])
    folder.mkdir(parents=True, exist_ok=True)
    src = sources(folder)

    # ImageMagick writes a 40-byte header for BMP3, a 108-byte one for BMP without a
    # rendering intent, and a 124-byte one when the picture has an intent (the default).
    versions = {40: [], 108: ["-intent", "Undefined"], 124: ["-intent", "Perceptual"]}
    for size, intent in versions.items():
        plain = ["-compress", "None", *intent]
        imagemagick(folder, src["twelve"], f"im_pal4_h{size}", ["-type", "Palette", *plain], size, 4)
        imagemagick(folder, src["many"], f"im_pal8_h{size}", ["-type", "Palette", *plain], size, 8)
        imagemagick(folder, src["grey"], f"im_grey8_h{size}", ["-type", "Palette", *plain], size, 8)
        imagemagick(folder, src["photo"], f"im_mono1_h{size}", ["-monochrome", *plain], size, 1)
        imagemagick(folder, src["photo"], f"im_rgb24_h{size}", ["-type", "TrueColor", *plain], size, 24)

    imagemagick(folder, src["many"], "im_rle8", ["-type", "Palette", "-compress", "RLE"],
                40, 8, BI_RLE8, accepted=False)
    imagemagick(folder, src["photo"], "im_bitfields16", ["-define", "bmp:subtype=RGB565"],
                124, 16, BI_BITFIELDS, accepted=False)
    imagemagick(folder, src["photo"], "im_bitfields32", ["-alpha", "set", "-type", "TrueColorAlpha"],
                124, 32, BI_BITFIELDS, accepted=False)
    os2 = folder / "im_os2.bmp"
    subprocess.run([CONVERT, str(src["photo"]), f"BMP2:{os2}"], check=True)
    if struct.unpack_from("<I", os2.read_bytes(), 14)[0] != 12:
        fail("im_os2.bmp does not have the 12-byte OS/2 header")

    rng = random.Random(7)
    for width, height in ((1, 3), (5, 4), (7, 3)):
        picture = Image.frombytes("RGB", (width, height), rng.randbytes(width * height * 3))
        pillow(folder, picture, f"pil_rgb24_w{width}", 24)
    grey = Image.frombytes("L", (9, 5), rng.randbytes(9 * 5))
    pillow(folder, grey, "pil_grey8_w9", 8)
    indexed = Image.frombytes("P", (11, 3), bytes(rng.randrange(37) for _ in range(11 * 3)))
    indexed.putpalette(rng.randbytes(37 * 3))
    pillow(folder, indexed, "pil_pal8_w11", 8)
    bilevel = Image.frombytes("L", (13, 4), rng.randbytes(13 * 4)).convert("1", dither=Image.NONE)
    pillow(folder, bilevel, "pil_bw1_w13", 1)
    alpha = Image.frombytes("RGBA", (3, 2), rng.randbytes(3 * 2 * 4))
    pillow(folder, alpha, "pil_bgra32", 32, accepted=False)


if __name__ == "__main__":
    main()
