// The metadata side of picture files, through exiv2: the EXIF orientation a picture is
// read with, and the EXIF and XMP that travel from a file read to the files written from it.
// Used by the picture file readers and writers (pictures/picture_file.cpp, pictures/heif_file.cpp).
#pragma once

#include <QByteArray>
#include <string>

// Declared with the picture files (pictures/picture_file.h).
struct PictureMetadata;

namespace picture_metadata {

// The EXIF orientation (1 ... 8) of the encoded file `file`, or 0 when it names none.
// `kept`, when given, receives the EXIF and XMP that pictures made from this one carry on:
// everything but what describes the file's own pixels (their layout, orientation, colour
// profile and the thumbnail), with the colour space given as sRGB, the form every picture
// is read into, and the resolution the EXIF states (a TIFF file's own). Metadata that
// cannot be parsed counts as none.
int read(const QByteArray& file, PictureMetadata* kept);

// The same for metadata that a file carries as separate blocks, as HEIF files do: `exif`
// the EXIF block (TIFF structure, byte-order mark first), `xmp` the XMP packet.
void keep(const std::string& exif, const std::string& xmp, PictureMetadata& kept);

// Puts `metadata` into `file`, a PNG, JPEG, TIFF or WebP picture of width x height pixels
// as Qt's writer made it, with the orientation 1 and those pixel dimensions. The EXIF, and a
// TIFF file's own fields, state the metadata's resolution. The file's own structure and
// colour profile stay. False with the reason in `whyNot` when that fails.
bool write(QByteArray& file, const PictureMetadata& metadata, int width, int height,
           std::string* whyNot = nullptr);

}  // namespace picture_metadata
