#!/usr/bin/env python3
"""Writes PNG, JPEG, TIFF and WebP pictures with Pillow and ImageMagick for the picture
tests. Usage: make_pictures.py OUTDIR

rules.txt lists "RULE FILE TOLERANCE" for each picture a reading rule must read;
FILE.expected.png is the picture as the rule says it comes in, worked out here with Pillow and lcms2 from
the pixels the file was made of, and TOLERANCE the largest channel difference allowed
(codecs and colour engines round differently). bad_* are damaged files; camera.jpg
carries a camera's EXIF and XMP; dpi300.jpg and dpi300.png state 300 dpi.
"""

import io
import random
import shutil
import struct
import subprocess
import sys
import zlib
from pathlib import Path

try:
    from PIL import Image, ImageCms
except ImportError:
    sys.exit("make_pictures: Python's Pillow is missing (Debian package python3-pil)")
CONVERT = shutil.which("convert") or sys.exit("make_pictures: ImageMagick is missing (imagemagick)")
ADOBE_RGB = Path("/usr/share/color/icc/compatibleWithAdobeRGB1998.icc")
if not ADOBE_RGB.exists():
    sys.exit(f"make_pictures: {ADOBE_RGB} is missing (Debian package icc-profiles-free)")

out = Path(sys.argv[1])
out.mkdir(parents=True, exist_ok=True)
rng = random.Random(20261208)
rules = []


def noise(mode="RGB", size=(13, 7), low=0, high=255):
    return Image.frombytes(mode, size, bytes(rng.randint(low, high) for _ in range(size[0] * size[1] * len(mode))))


def make(rule, name, picture, expected, tolerance=0, **options):
    """Saves `picture` as `name` and the reading rule's result `expected` beside it; a
    callable `expected` is given the picture as Pillow reads it back."""
    picture.save(out / name, **options)
    if callable(expected):
        expected = expected(Image.open(out / name))
    expected.convert("RGB").save(out / f"{name}.expected.png")
    rules.append(f"{rule} {name} {tolerance}")


def over_white(picture):
    return Image.alpha_composite(Image.new("RGBA", picture.size, "white"), picture.convert("RGBA"))


def rounded(values):  # 16 bits to 8, to nearest
    return bytes((v * 255 + 32767) // 65535 for v in values)


# The EXIF orientation, in each format's own EXIF block, turned as the EXIF standard says.
T = Image.Transpose
UPRIGHT = {2: T.FLIP_LEFT_RIGHT, 3: T.ROTATE_180, 4: T.FLIP_TOP_BOTTOM, 5: T.TRANSPOSE,
           6: T.ROTATE_270, 7: T.TRANSVERSE, 8: T.ROTATE_90}
for orientation, ext in [(o, "png") for o in range(1, 9)] + [(6, "jpg"), (8, "tif"), (3, "webp")]:
    exif = Image.Exif()
    exif[0x0112] = orientation
    picture = noise()
    turn = (lambda p: p.transpose(UPRIGHT[orientation])) if orientation in UPRIGHT else (lambda p: p)
    make("orientation", f"orientation_{orientation}.{ext}", picture,
         (lambda read: turn(read.convert("RGB"))) if ext == "jpg" else turn(picture),
         1 if ext == "jpg" else 0, exif=exif.tobytes(), lossless=True)

# An Adobe RGB profile is converted to sRGB; sRGB, and PNG's gAMA 1/2.2 with sRGB's
# chromaticities as ImageMagick writes them, are taken as they are.
adobe, srgb = ImageCms.getOpenProfile(str(ADOBE_RGB)), ImageCms.createProfile("sRGB")
for ext, tolerance in [("png", 2), ("tif", 2), ("webp", 2), ("jpg", 3)]:
    make("colour_profile", f"adobe.{ext}", noise(low=30, high=220),
         lambda read: ImageCms.profileToProfile(read, adobe, srgb), tolerance,
         icc_profile=ADOBE_RGB.read_bytes(), lossless=True, quality=100)
plain = noise()
make("colour_profile", "srgb.png", plain, plain, icc_profile=ImageCms.ImageCmsProfile(srgb).tobytes())
plain.save(out / "gamma_source.ppm")
subprocess.run([CONVERT, str(out / "gamma_source.ppm"), str(out / "gamma.png")], check=True)
plain.save(out / "gamma.png.expected.png")
rules.append("colour_profile gamma.png 0")

# Alpha over white; palette, grey, 1-bit and CMYK pictures as RGB; 16 bits rounded.
for name, picture in [("rgba.png", noise("RGBA")), ("la.png", noise("LA")), ("rgba.webp", noise("RGBA"))]:
    make("alpha_over_white", name, picture, over_white(picture), 1, lossless=True)
palette = noise("P", high=15)
palette.putpalette(bytes(rng.randrange(256) for _ in range(48)))
make("alpha_over_white", "palette_alpha.png", palette, lambda read: over_white(read), 1, transparency=3)
make("other_layouts", "palette.png", palette, palette)
make("other_layouts", "bilevel.png", noise("L").convert("1"), lambda read: read)
make("other_layouts", "cmyk.jpg", noise("CMYK"), lambda read: read, 2)
make("other_layouts", "grey.jpg", noise("L"), lambda read: read, 1)
grey = [rng.randrange(65536) for _ in range(13 * 7)]
make("sixteen_bits", "grey16.png", Image.frombytes("I;16", (13, 7), struct.pack("<91H", *grey)),
     Image.frombytes("L", (13, 7), rounded(grey)))
rgb = [rng.randrange(65536) for _ in range(13 * 7 * 3)]
(out / "rgb16.raw").write_bytes(struct.pack(">273H", *rgb))
for name, options in [("rgb16.png", []), ("rgb16.tif", ["-compress", "lzw"])]:
    subprocess.run([CONVERT, "-size", "13x7", "-depth", "16", "-endian", "MSB",
                    f"rgb:{out / 'rgb16.raw'}", *options, str(out / name)], check=True)
    Image.frombytes("RGB", (13, 7), rounded(rgb)).save(out / f"{name}.expected.png")
    rules.append(f"sixteen_bits {name} 0")
(out / "rules.txt").write_text("\n".join(rules) + "\n")

# 36 megapixels: more than Qt decodes within its own default limit of 128 MiB.
Image.new("RGB", (12000, 3000), (90, 120, 150)).save(out / "wide_36mp.png", compress_level=1)

# Damaged files: cut short, changed inside, not a picture, or claiming a size they lack.
# (Lossy WebP data has no checksum: changed inside, it decodes to other pixels.)
for name, kind, options in [("png", "PNG", {}), ("jpg", "JPEG", {}), ("tif", "TIFF", {"compression": "tiff_lzw"}),
                            ("webp", "WEBP", {}), ("progressive.jpg", "JPEG", {"progressive": True})]:
    data = io.BytesIO()
    noise(size=(200, 150)).save(data, kind, **options)
    whole = bytearray(data.getvalue())
    (out / f"bad_truncated.{name}").write_bytes(whole[: len(whole) * 2 // 3])
    middle = len(whole) // 2
    whole[middle : middle + 200] = rng.randbytes(200)
    if name != "webp":
        (out / f"bad_scrambled.{name}").write_bytes(whole)
noise().save(out / "bad_unknown.gif")
(out / "bad_empty.png").write_bytes(b"")


def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


header = chunk(b"IHDR", struct.pack(">IIBBBBB", 100000, 100000, 8, 2, 0, 0, 0))
(out / "bad_bomb.png").write_bytes(b"\x89PNG\r\n\x1a\n" + header + chunk(b"IDAT", zlib.compress(bytes(300))))

# A camera's JPEG, turned by orientation 6, with camera, lens, date and place, and XMP.
exif = Image.Exif()
exif[0x010F], exif[0x0110], exif[0x0112] = "Bokavo Test Camera", "Model 7", 6
exif[0x8769] = {0x9003: "2026:12:08 10:30:00", 0xA434: "Test Lens 50mm f/1.4"}
exif[0x8825] = {1: "N", 2: (52.0, 31.0, 12.5)}
data = io.BytesIO()
Image.linear_gradient("L").resize((40, 30)).convert("RGB").save(data, "JPEG", quality=95, exif=exif.tobytes())
xmp = (b'http://ns.adobe.com/xap/1.0/\0<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf='
       b'"http://www.w3.org/1999/02/22-rdf-syntax-ns#"><rdf:Description rdf:about="" xmlns:dc='
       b'"http://purl.org/dc/elements/1.1/"><dc:creator><rdf:Seq><rdf:li>Test Photographer</rdf:li>'
       b"</rdf:Seq></dc:creator></rdf:Description></rdf:RDF></x:xmpmeta>")
jpeg = data.getvalue()
(out / "camera.jpg").write_bytes(jpeg[:2] + b"\xff\xe1" + struct.pack(">H", len(xmp) + 2) + xmp + jpeg[2:])

# Pictures that state a resolution of 300 dpi: a JPEG in its JFIF density and its EXIF, a
# PNG in its pHYs chunk (11811 pixels per metre).
exif = Image.Exif()
exif[0x010F], exif[0x011A], exif[0x011B], exif[0x0128] = "Bokavo Test Camera", 300, 300, 2
noise(size=(48, 32)).save(out / "dpi300.jpg", quality=95, dpi=(300, 300), exif=exif.tobytes())
noise(size=(48, 32)).save(out / "dpi300.png", dpi=(300, 300))
