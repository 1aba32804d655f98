"""HEIC and AVIF files for the picture tests, written with libheif's own encoders through
ctypes (Debian's libheif1 carries x265 and aom), and the samples libheif decodes from them.
Used by make_pictures.py.

libheif writes no depth images, but it writes an alpha image the way a depth image is
stored: an auxiliary image whose type URN names what it holds. with_depth() renames it.
"""

import ctypes
import ctypes.util
import random
import struct

_lib = ctypes.CDLL(ctypes.util.find_library("heif") or "libheif.so.1")

HEVC, AV1 = 1, 4  # heif_compression_format
_RGB, _INTERLEAVED = 1, 10  # heif_colorspace_RGB, heif_channel_interleaved
_CHROMA = {(False, False): 10, (False, True): 11, (True, False): 14, (True, True): 15}  # deep, alpha


class _Error(ctypes.Structure):
    _fields_ = [("code", ctypes.c_int), ("subcode", ctypes.c_int), ("message", ctypes.c_char_p)]


class _EncodingOptions(ctypes.Structure):  # version 5 of heif_encoding_options
    _fields_ = [("version", ctypes.c_uint8), ("save_alpha_channel", ctypes.c_uint8),
                ("macOS_compatibility_workaround", ctypes.c_uint8), ("save_two_colr_boxes", ctypes.c_uint8),
                ("output_nclx_profile", ctypes.c_void_p), ("macOS_no_nclx_profile", ctypes.c_uint8),
                ("image_orientation", ctypes.c_int)]


for name in ["heif_context_get_encoder_for_format", "heif_encoder_set_lossless", "heif_encoder_set_parameter_string",
             "heif_image_create", "heif_image_add_plane", "heif_image_set_raw_color_profile",
             "heif_context_encode_image", "heif_context_add_exif_metadata", "heif_context_add_XMP_metadata",
             "heif_context_write_to_file", "heif_context_read_from_file", "heif_context_get_primary_image_handle",
             "heif_decode_image"]:
    getattr(_lib, name).restype = _Error
_lib.heif_context_alloc.restype = ctypes.c_void_p
_lib.heif_encoding_options_alloc.restype = ctypes.POINTER(_EncodingOptions)
_lib.heif_image_get_plane.restype = ctypes.POINTER(ctypes.c_uint8)
_lib.heif_image_get_plane_readonly.restype = ctypes.POINTER(ctypes.c_uint8)
_lib.heif_image_set_raw_color_profile.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]


def _check(error, what):
    if error.code:
        raise RuntimeError(f"libheif cannot {what}: {error.message.decode()}")


def encode(path, size, bits=8, alpha=False, orientation=1, codec=HEVC, icc=None, exif=None, xmp=None):
    """Writes `path`: random samples (the same for every orientation), red running through
    the codes in order, encoded losslessly in 4:4:4 and stored with libheif's rotation and
    mirroring for the EXIF `orientation`."""
    width, height = size
    channels, deep = 4 if alpha else 3, bits > 8
    rng = random.Random(bits)
    context, encoder, image, handle = ctypes.c_void_p(_lib.heif_context_alloc()), *(ctypes.c_void_p() for _ in "eih")
    _check(_lib.heif_context_get_encoder_for_format(context, codec, ctypes.byref(encoder)), "encode")
    _lib.heif_encoder_set_lossless(encoder, 1)
    _lib.heif_encoder_set_parameter_string(encoder, b"chroma", b"444")
    _check(_lib.heif_image_create(width, height, _RGB, _CHROMA[deep, alpha], ctypes.byref(image)), "make an image")
    _check(_lib.heif_image_add_plane(image, _INTERLEAVED, width, height, bits), "add a plane")
    stride = ctypes.c_int()
    plane = _lib.heif_image_get_plane(image, _INTERLEAVED, ctypes.byref(stride))
    for y in range(height):
        row = [(y * width + i // channels if i % channels == 0 else rng.randrange(1 << 16)) % (1 << bits)
               for i in range(width * channels)]
        data = struct.pack(f"<{len(row)}H", *row) if deep else bytes(row)
        ctypes.memmove(ctypes.addressof(plane.contents) + y * stride.value, data, len(data))
    if icc:
        _lib.heif_image_set_raw_color_profile(image, b"prof", icc, len(icc))
    options = _lib.heif_encoding_options_alloc()
    options.contents.macOS_compatibility_workaround = 0  # no grid around the image
    options.contents.image_orientation = orientation
    _check(_lib.heif_context_encode_image(context, image, encoder, options, ctypes.byref(handle)), "encode")
    if exif:
        _lib.heif_context_add_exif_metadata(context, handle, exif, len(exif))
    if xmp:
        _lib.heif_context_add_XMP_metadata(context, handle, xmp, len(xmp))
    _check(_lib.heif_context_write_to_file(context, str(path).encode()), "write")


def decode(path, bits=8, alpha=False):
    """The samples libheif decodes from the file's primary image, turned by its
    transformations: (width, height, [red, green, blue (, alpha), ...] from the top row)."""
    context, handle, image = ctypes.c_void_p(_lib.heif_context_alloc()), ctypes.c_void_p(), ctypes.c_void_p()
    _check(_lib.heif_context_read_from_file(context, str(path).encode(), None), "read")
    _check(_lib.heif_context_get_primary_image_handle(context, ctypes.byref(handle)), "read")
    _check(_lib.heif_decode_image(handle, ctypes.byref(image), _RGB, _CHROMA[bits > 8, alpha], None), "decode")
    width, height = (f(image, _INTERLEAVED) for f in (_lib.heif_image_get_width, _lib.heif_image_get_height))
    stride = ctypes.c_int()
    plane = _lib.heif_image_get_plane_readonly(image, _INTERLEAVED, ctypes.byref(stride))
    row_bytes = width * (4 if alpha else 3) * (2 if bits > 8 else 1)
    samples = []
    for y in range(height):
        row = ctypes.string_at(ctypes.addressof(plane.contents) + y * stride.value, row_bytes)
        samples += struct.unpack(f"<{row_bytes // 2}H", row) if bits > 8 else row
    return width, height, samples


def with_depth(data):
    """The file with its alpha image declared a depth image."""
    urn = b"urn:mpeg:hevc:2015:auxid:"
    at = data.index(urn + b"1")
    return data[: at + len(urn)] + b"2" + data[at + len(urn) + 1 :]


def declare_size(data, n, width, height):
    """The file with its `n`th image spatial extents property (from 0) declaring another
    size: after its box type, version and flags, width and height, 32 bits big-endian."""
    at = -1
    for _ in range(n + 1):
        at = data.index(b"ispe", at + 1)
    return data[: at + 8] + struct.pack(">II", width, height) + data[at + 16 :]
