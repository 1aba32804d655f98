"""Portrait JPEG files as phones write them, with the depth map inside: Google's GDepth
in the main XMP packet or in the extended XMP packet (spread over several APP1
segments), or Dynamic Depth 1.0 (a directory in the XMP, the items appended to the
file). Used by make_pictures.py for the tests and by make_readme_images.sh for the
README's example. Also the nearness rule that Bokavo turns every depth map into, worked
out here on its own from the rule's words.
"""

import base64
import hashlib
import io
import struct

RDF = 'xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#"'
GDEPTH = 'xmlns:GDepth="http://ns.google.com/photos/1.0/depthmap/"'
NOTE = 'xmlns:xmpNote="http://ns.adobe.com/xmp/note/"'
DD = ('xmlns:Device="http://ns.google.com/photos/dd/1.0/device/" '
      'xmlns:Container="http://ns.google.com/photos/dd/1.0/container/" '
      'xmlns:Item="http://ns.google.com/photos/dd/1.0/item/" '
      'xmlns:Camera="http://ns.google.com/photos/dd/1.0/camera/" '
      'xmlns:DepthMap="http://ns.google.com/photos/dd/1.0/depthmap/"')
MAIN_SIGNATURE = b"http://ns.adobe.com/xap/1.0/\0"
EXTENSION_SIGNATURE = b"http://ns.adobe.com/xmp/extension/\0"


def packet(namespaces, attributes="", body=""):
    return (f'<?xpacket begin="\ufeff" id="W5M0MpCehiHzreSzNTczkc9d"?><x:xmpmeta xmlns:x="adobe:ns:meta/">'
            f'<rdf:RDF {RDF}><rdf:Description rdf:about="" {namespaces} {attributes}>{body}'
            f'</rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end="w"?>').encode()


def segment(marker, payload):
    return b"\xff" + bytes([marker]) + struct.pack(">H", len(payload) + 2) + payload


def with_segments(jpeg, segments):
    """`jpeg` with `segments` after its leading APPn segments (JFIF, EXIF)."""
    at = 2
    while jpeg[at] == 0xFF and 0xE0 <= jpeg[at + 1] <= 0xEF:
        at += 2 + struct.unpack(">H", jpeg[at + 2 : at + 4])[0]
    return jpeg[:at] + b"".join(segments) + jpeg[at:]


def encoded(picture, kind="PNG", **options):
    data = io.BytesIO()
    picture.save(data, kind, **options)
    return data.getvalue()


def photo_jpeg(photo, orientation=1):
    from PIL import Image

    exif = Image.Exif()
    exif[0x0112] = orientation
    return encoded(photo.convert("RGB"), "JPEG", quality=95, exif=exif.tobytes())


def gdepth_attributes(fmt, near, far, mime):
    return f'GDepth:Format="{fmt}" GDepth:Near="{near}" GDepth:Far="{far}" GDepth:Mime="{mime}"'


def extension_segments(extended, guid, chunk, full=None, tamper=None):
    """The APP1 segments of an extended packet, `chunk` bytes each, last part first, so
    that only their offsets put them in order; `tamper` may change the list of (offset,
    bytes) parts first."""
    parts = [(at, extended[at : at + chunk]) for at in range(0, len(extended), chunk)]
    if tamper:
        parts = tamper(parts)
    full = len(extended) if full is None else full
    return [segment(0xE1, EXTENSION_SIGNATURE + guid.encode() + struct.pack(">II", full, at) + data)
            for at, data in reversed(parts)]


def gdepth_main(photo, depth_file, fmt="RangeInverse", near=0.5, far=4.0, mime="image/png",
                orientation=1, data=None):
    """GDepth with the depth map's base64 in the main packet itself."""
    data = base64.b64encode(depth_file).decode() if data is None else data
    xmp = packet(GDEPTH, gdepth_attributes(fmt, near, far, mime) + f' GDepth:Data="{data}"')
    return with_segments(photo_jpeg(photo, orientation), [segment(0xE1, MAIN_SIGNATURE + xmp)])


def gdepth_extended(photo, depth_file, fmt="RangeInverse", near=0.5, far=4.0, orientation=1,
                    chunk=150, named_guid=None, full=None, tamper=None):
    """GDepth as phones write it: the depth map's base64, broken into lines, as an element
    of the extended packet, whose GUID (its MD5) the main packet names."""
    text = base64.b64encode(depth_file).decode()
    lines = "\n".join(text[i : i + 76] for i in range(0, len(text), 76))
    extended = packet(GDEPTH, body=f"<GDepth:Data>{lines}</GDepth:Data>")
    guid = hashlib.md5(extended).hexdigest().upper()
    main = packet(f"{GDEPTH} {NOTE}", gdepth_attributes(fmt, near, far, "image/png") +
                  f' xmpNote:HasExtendedXMP="{named_guid or guid}"')
    segments = [segment(0xE1, MAIN_SIGNATURE + main)] + extension_segments(extended, guid, chunk, full, tamper)
    return with_segments(photo_jpeg(photo, orientation), segments)


def dynamic_depth(photo, depth_file, fmt="RangeInverse", near=0.5, far=4.0, units="Meters",
                  orientation=1, padding=3, lengths=None, mime="image/png"):
    """Dynamic Depth: the primary image, then the depth map (with `padding` zero bytes
    after it, counted in its Length), then a confidence map. The primary image holds a
    stray end-of-image marker in a comment, as an EXIF thumbnail would."""
    confidence = bytes(range(40))
    lengths = lengths or [len(depth_file) + padding, len(confidence)]
    items = [f'<Container:Item Item:Mime="image/jpeg" Item:Length="0" Item:DataURI="primary"/>',
             f'<Container:Item Item:Mime="{mime}" Item:Length="{lengths[0]}" Item:Padding="{padding}" '
             f'Item:DataURI="android/depthmap"/>',
             f'<Container:Item Item:Mime="image/png" Item:Length="{lengths[1]}" Item:DataURI="android/confidencemap"/>']
    body = ("<Device:Container><Container:Directory><rdf:Seq>" +
            "".join(f'<rdf:li rdf:parseType="Resource">{item}</rdf:li>' for item in items) +
            "</rdf:Seq></Container:Directory></Device:Container>"
            '<Device:Cameras><rdf:Seq><rdf:li rdf:parseType="Resource"><Device:Camera>'
            f'<Camera:DepthMap DepthMap:Format="{fmt}" DepthMap:Units="{units}" DepthMap:MeasureType="OpticalAxis" '
            f'DepthMap:DepthURI="android/depthmap" DepthMap:ConfidenceURI="android/confidencemap">'
            f"<DepthMap:Near>{near}</DepthMap:Near><DepthMap:Far>{far}</DepthMap:Far></Camera:DepthMap>"
            "</Device:Camera></rdf:li></rdf:Seq></Device:Cameras>")
    xmp = packet(DD, body=body)
    primary = with_segments(photo_jpeg(photo, orientation),
                            [segment(0xE1, MAIN_SIGNATURE + xmp), segment(0xFE, b"thumb \xff\xd8 \xff\xd9")])
    return primary + depth_file + bytes(padding) + confidence


def nearness(depth, fmt="RangeInverse", near=0.5, far=4.0):
    """The nearness mask of a grey depth picture (mode L or I;16) by the rule: n the code
    over its largest value; RangeInverse 255 - round(255 n); RangeLinear d = near + n (far
    - near), round(255 (1/d - 1/far) / (1/near - 1/far)); halves rounded up."""
    from PIL import Image

    top = 255 if depth.mode == "L" else 65535
    values = []
    for c in depth.getdata():
        if fmt == "RangeInverse":
            values.append(255 - (510 * c + top) // (2 * top))
        else:
            d = near + (c / top) * (far - near)
            values.append(int((255.0 * (1.0 / d - 1.0 / far) / (1.0 / near - 1.0 / far) + 0.5) // 1))
    return Image.frombytes("L", depth.size, bytes(values))
