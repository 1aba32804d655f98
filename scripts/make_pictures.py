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
import os
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

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import depth_portraits as portraits  # noqa: E402
import heif_pictures as heif  # noqa: E402

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


def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def png16(name, colour_type, pixels, *chunks, size=(13, 7)):
    """A 16-bit PNG written here: Pillow writes no 16-bit colour or alpha."""
    width, samples = size[0], len(pixels[0])
    rows = b"".join(b"\0" + struct.pack(f">{width * samples}H", *sum(pixels[y * width:(y + 1) * width], ()))
                    for y in range(size[1]))
    (out / name).write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", *size, 16, colour_type, 0, 0, 0))
                             + b"".join(chunks) + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


# 16-bit transparency laid over white and rounded once to 8 bits: red opaque, red clear,
# red half clear, green at 0.46 (where rounding meets the edge), then noise. Pillow reads
# the files with 8-bit alpha, so its account may differ by 2; it is checked against this
# one. The TIFF files hold the same pixels, converted by ImageMagick.
def sample(own=random.Random(22)):  # apart from `rng`, so the files below stay as they were
    return own.randrange(65536)


def over_white16(pixels):
    full = 65535 * 65535
    return bytes((c * a + 65535 * (65535 - a)) * 255 * 2 // full + 1 >> 1
                 for *colour, a in pixels for c in (colour * 3 if len(colour) == 1 else colour))


def make16(name, pixels):
    expected = Image.frombytes("RGB", (13, 7), over_white16(pixels))
    expected.save(out / f"{name}.expected.png")
    rules.append(f"sixteen_bit_alpha {name} 0")
    if not name.endswith(".tif") or name.startswith("rgba"):
        pillow = over_white(Image.open(out / name)).convert("RGB")
        assert max(abs(a - b) for a, b in zip(pillow.tobytes(), expected.tobytes())) <= 2, name


corners = [(65535, 0, 0, 65535), (65535, 0, 0, 0), (65535, 0, 0, 32768), (0, 65535, 0, 30146)]
rgba16 = corners + [(sample(), sample(), sample(), sample()) for _ in range(13 * 7 - 4)]
la16 = [(65535, 32768), (0, 0)] + [(sample(), sample()) for _ in range(13 * 7 - 2)]
for name, colour_type, pixels in [("rgba16", 6, rgba16), ("la16", 4, la16)]:
    png16(f"{name}.png", colour_type, pixels)
    subprocess.run([CONVERT, str(out / f"{name}.png"), "-compress", "lzw", str(out / f"{name}.tif")], check=True)
    make16(f"{name}.png", pixels)
    make16(f"{name}.tif", pixels)
# Grey with alpha in tiles (ImageMagick), and in planes of their own (written here: a
# grey strip, then an alpha strip, uncompressed).
subprocess.run([CONVERT, str(out / "la16.png"), "-define", "tiff:tile-geometry=16x16", str(out / "la16_tiled.tif")],
               check=True)
make16("la16_tiled.tif", la16)
planes = [struct.pack("<91H", *(pixel[k] for pixel in la16)) for k in (0, 1)]
tags = [(256, 3, 1, 13), (257, 3, 1, 7), (258, 3, 2, 16 | 16 << 16), (259, 3, 1, 1), (262, 3, 1, 1),
        (273, 4, 2, 0), (277, 3, 1, 2), (278, 3, 1, 7), (279, 4, 2, 0), (284, 3, 1, 2), (338, 3, 1, 2)]
data_at = 8 + 2 + 12 * len(tags) + 4  # then the strips' offsets and sizes, and the planes
values = {273: (data_at, struct.pack("<2I", data_at + 16, data_at + 16 + 182)),
          279: (data_at + 8, struct.pack("<2I", 182, 182))}
(out / "la16_planes.tif").write_bytes(
    b"II*\0" + struct.pack("<IH", 8, len(tags))
    + b"".join(struct.pack("<HHII", tag, kind, count, values[tag][0] if tag in values else value)
               for tag, kind, count, value in tags)
    + bytes(4) + values[273][1] + values[279][1] + b"".join(planes))
make16("la16_planes.tif", la16)
# 16-bit RGB with one colour transparent (tRNS): red clear, blue and the noise opaque.
clear = (65535, 0, 0)
trns16 = [clear, (0, 0, 65535)] + [(sample(), sample(), sample()) for _ in range(13 * 7 - 2)]
png16("trns16.png", 2, trns16, chunk(b"tRNS", struct.pack(">3H", *clear)))
make16("trns16.png", [(*rgb, 0 if rgb == clear else 65535) for rgb in trns16])


# HEIC and AVIF files, each against the same samples stored upright as libheif decodes
# them, with the rule applied here: N bits rounded to the nearest 8-bit value, the
# profile converted with lcms2, laid over white, turned by the orientation.
def heif_rule(rule, name, size=(24, 16), bits=8, alpha=False, orientation=1, tolerance=0, **options):
    heif.encode(out / name, size, bits, alpha, orientation, **options)
    heif.encode(out / "upright.heic", size, bits, alpha, 1, **options)
    width, height, samples = heif.decode(out / "upright.heic", bits, alpha)
    top = (1 << bits) - 1
    picture = Image.frombytes("RGBA" if alpha else "RGB", (width, height),
                              bytes((v * 255 + top // 2) // top for v in samples))
    if "icc" in options:
        picture = ImageCms.profileToProfile(picture, adobe, srgb)
    picture = over_white(picture) if alpha else picture
    (picture.transpose(UPRIGHT[orientation]) if orientation in UPRIGHT else picture).convert("RGB").save(
        out / f"{name}.expected.png")
    rules.append(f"{rule} {name} {tolerance}")


heif_rule("orientation", "orientation_6.heic", orientation=6)
heif_rule("orientation", "orientation_5.heic", orientation=5)
heif_rule("orientation", "orientation_2.avif", orientation=2, codec=heif.AV1)
heif_rule("colour_profile", "adobe.heic", tolerance=2, icc=ADOBE_RGB.read_bytes())
heif_rule("alpha_over_white", "rgba.heic", alpha=True, orientation=3, tolerance=1)
heif_rule("sixteen_bits", "rgb10.heic", (64, 16), bits=10, orientation=8)  # every 10-bit code
heif_rule("sixteen_bits", "rgb12.heic", (64, 64), bits=12)
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


header = chunk(b"IHDR", struct.pack(">IIBBBBB", 100000, 100000, 8, 2, 0, 0, 0))
(out / "bad_bomb.png").write_bytes(b"\x89PNG\r\n\x1a\n" + header + chunk(b"IDAT", zlib.compress(bytes(300))))
heic, avif = (out / "rgba.heic").read_bytes(), (out / "orientation_2.avif").read_bytes()
(out / "bad_truncated.heic").write_bytes(heic[: len(heic) * 2 // 3])
(out / "bad_truncated.avif").write_bytes(avif[:-20])
# Both the photo's and its alpha image's declared size.
(out / "bad_bomb.heic").write_bytes(heif.declare_size(heif.declare_size(heic, 0, 10**5, 10**5), 1, 10**5, 10**5))

# Sound TIFF files of 32-bit samples, which the TIFF codec does not read; a TIFF and a
# WebP file that claim an impossible size; WebP files whose headers are broken.
Image.new("F", (13, 7), 0.5).save(out / "unsupported_float.tif")
Image.new("I", (13, 7), 70000).save(out / "unsupported_int32.tif")
entries = [(256, 4, 0xFFFFFFFF), (257, 4, 0xFFFFFFFF), (258, 3, 8), (262, 3, 1), (273, 4, 0), (279, 4, 0)]
(out / "bad_huge.tif").write_bytes(b"II*\0" + struct.pack("<IH", 8, len(entries))
                                   + b"".join(struct.pack("<HHII", tag, kind, 1, value) for tag, kind, value in entries)
                                   + struct.pack("<I", 0))


def riff(kind, body):
    return b"RIFF" + struct.pack("<I", 4 + 8 + len(body)) + b"WEBP" + kind + struct.pack("<I", len(body)) + body


(out / "bad_huge.webp").write_bytes(riff(b"VP8X", bytes(4) + b"\xff" * 6))
(out / "bad_header.webp").write_bytes(riff(b"VP8 ", bytes(40)))
(out / "bad_size0.webp").write_bytes(riff(b"VP8 ", b"\x10\x02\x00\x9d\x01\x2a" + bytes(34)))

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
# The same as a HEIC photo, 40 x 30 turned by the file's rotation; its EXIF orientation (6
# as well) is not the picture's and must not turn it again.
heif.encode(out / "camera.heic", (40, 30), orientation=6, exif=exif.tobytes(), xmp=xmp[xmp.index(b"\0") + 1 :])


# Portraits that carry a depth map, and the upright nearness mask the rule makes of it;
# depth.txt lists "mask FILE", "none FILE" or "refused FILE REASON" (how the reason starts).
depth_cases = ["none camera.jpg"]
photo = noise(size=(24, 16))
depth8 = noise("L", size=(12, 8))
depth16 = Image.frombytes("I;16", (12, 8), struct.pack("<96H", *(rng.randrange(65536) for _ in range(96))))
for name, build, depth, fmt, near, far, orientation in [
    ("gdepth_main_inverse", portraits.gdepth_main, depth8, "RangeInverse", 0.5, 4.0, 1),
    ("gdepth_main_linear", portraits.gdepth_main, depth8, "RangeLinear", 0.5, 4.0, 6),
    ("gdepth_extended_inverse", portraits.gdepth_extended, depth8, "RangeInverse", 0.3, 2.5, 6),
    ("gdepth_extended_linear", portraits.gdepth_extended, depth8, "RangeLinear", 1.25, 30.0, 1),
    ("dd_inverse", portraits.dynamic_depth, depth16, "RangeInverse", 0.2, 8.0, 1),
    ("dd_linear", portraits.dynamic_depth, depth16, "RangeLinear", 0.4, 5.0, 6),
]:
    file = build(photo, portraits.encoded(depth), fmt=fmt, near=near, far=far, orientation=orientation)
    (out / f"{name}.jpg").write_bytes(file)
    mask = portraits.nearness(depth, fmt, near, far)
    (mask.transpose(UPRIGHT[orientation]) if orientation in UPRIGHT else mask).save(out / f"{name}.jpg.expected.png")
    depth_cases.append(f"mask {name}.jpg")

png8 = portraits.encoded(depth8)
huge = bytearray(portraits.encoded(depth8, "JPEG"))
sof = huge.index(b"\xff\xc0")
huge[sof + 5 : sof + 9] = struct.pack(">HH", 20000, 20000)
for name, file, reason in [
    ("bad_base64", portraits.gdepth_main(photo, png8, data="AAAA@@@@"), "the GDepth depth map's base64 is damaged"),
    ("bad_guid", portraits.gdepth_extended(photo, png8, named_guid="0" * 32),
     "no extended XMP segment carries the GUID " + "0" * 32),
    ("bad_overlap", portraits.gdepth_extended(photo, png8, tamper=lambda p: [p[0], (100, p[1][1])] + p[2:]),
     "extended XMP segments overlap at byte 100"),
    ("bad_past_length", portraits.gdepth_extended(photo, png8, full=200),
     "an extended XMP segment runs past the packet's length of 200 bytes"),
    ("bad_gap", portraits.gdepth_extended(photo, png8, tamper=lambda p: p[:1] + p[2:]),
     "the extended XMP segments hold no byte 150 of the packet's "),
    ("bad_near_far", portraits.gdepth_main(photo, png8, near=4.0, far=4.0),
     "the depth map's Near (4) is not below its Far (4)"),
    ("bad_huge", portraits.gdepth_main(photo, bytes(huge), mime="image/jpeg"), "picture too large (20000 x 20000)"),
    ("bad_directory", portraits.dynamic_depth(photo, png8, lengths=[10**9, 40]),
     "the Dynamic Depth items' lengths exceed the file"),
    ("bad_not_picture", portraits.dynamic_depth(photo, b"not a picture at all"), "the depth map is not a PNG or JPEG picture"),
    ("bad_truncated_depth", portraits.dynamic_depth(photo, png8[: len(png8) // 2]), "damaged or truncated PNG file ("),
    ("bad_units", portraits.dynamic_depth(photo, png8, units="Diopters"), "the depth map's units are Diopters, not metres"),
    ("bad_mime", portraits.dynamic_depth(photo, png8, mime="image/tiff"), "the depth map is image/tiff, not a PNG or JPEG picture"),
]:
    (out / f"depth_{name}.jpg").write_bytes(file)
    depth_cases.append(f"refused depth_{name}.jpg {reason}")
# HEIC portraits: the alpha image of a photo declared its depth image. Without
# representation info the codes are disparities: the smallest 0, the largest 255,
# linearly, halves rounded up; turned with the photo by the file's rotation.
for bits, orientation in [(8, 1), (10, 6)]:
    name = f"heic_depth_{bits}.heic"
    heif.encode(out / "alpha.heic", (24, 16), bits, True, orientation)
    width, height, samples = heif.decode(out / "alpha.heic", bits, True)
    (out / name).write_bytes(heif.with_depth((out / "alpha.heic").read_bytes()))
    codes = samples[3::4]
    low, span = min(codes), max(codes) - min(codes)
    Image.frombytes("L", (width, height), bytes(int(255 * (c - low) / span + 0.5) for c in codes)).save(
        out / f"{name}.expected.png")
    depth_cases.append(f"mask {name}")
(out / "depth_bad_huge.heic").write_bytes(heif.declare_size((out / "heic_depth_8.heic").read_bytes(), 1, 10**5, 10**5))
depth_cases += ["none orientation_6.heic", "refused depth_bad_huge.heic depth image too large (100000 x 100000)"]
(out / "depth.txt").write_text("\n".join(depth_cases) + "\n")


# EXIF blocks written here: one whose Make entry points far past its end, and one of
# 5,000 entries in its main directory besides Make (more than exiv2 reads in one).
def exif_block(entries, texts):
    """A little-endian TIFF structure: one directory of (tag, type, count, value) entries,
    then the texts that the entries given an offset of None point at, in order."""
    at = 8 + 2 + 12 * len(entries) + 4
    packed = []
    for tag, kind, count, value in entries:
        if value is None:
            value, at = at, at + count
        packed.append(struct.pack("<HHII", tag, kind, count, value))
    return b"II*\0" + struct.pack("<IH", 8, len(entries)) + b"".join(packed) + bytes(4) + b"".join(texts)


for name, entries, texts in [
        ("bad_make.jpg", [(0x010F, 2, 19, 0x7FFFFF00), (0x0110, 2, 8, None)], [b"Model 7\0"]),
        ("many_tags.jpg", [(0x010F, 2, 17, None)] + [(0xC000 + k, 3, 1, k) for k in range(5000)],
         [b"Many Tags Camera\0"])]:
    Image.new("RGB", (16, 8), (10, 20, 30)).save(out / name, quality=95, exif=b"Exif\0\0" + exif_block(entries, texts))


# Pictures that state a resolution of 300 dpi: a JPEG in its JFIF density and its EXIF, a
# PNG in its pHYs chunk (11811 pixels per metre).
exif = Image.Exif()
exif[0x010F], exif[0x011A], exif[0x011B], exif[0x0128] = "Bokavo Test Camera", 300, 300, 2
noise(size=(48, 32)).save(out / "dpi300.jpg", quality=95, dpi=(300, 300), exif=exif.tobytes())
noise(size=(48, 32)).save(out / "dpi300.png", dpi=(300, 300))
