// The resolution fields of JPEG and PNG files: the JFIF density and the pHYs chunk. Used by
// pictures/picture_file.cpp only; the EXIF's and the TIFF's resolution are the metadata's
// (pictures/picture_metadata.h).
#pragma once

#include <QByteArray>
#include <cstdint>

#include "pictures/picture_file.h"

namespace picture_resolution {

// The resolution that `file`'s JFIF density (dots per inch or per centimetre) or pHYs chunk
// (pixels per metre) states; none for another format, a mere aspect ratio or a zero.
Resolution read(const QByteArray& file);

// Sets `file`'s JFIF density, or replaces its pHYs chunks, to state `resolution`; without
// one the density becomes the aspect ratio 1:1 and a PNG has no pHYs. A JPEG without a
// JFIF segment gets one. Other formats stay. False when a PNG file is not laid out as its
// writer makes it.
bool write(QByteArray& file, const Resolution& resolution);

// `resolution` in pixels per metre, rounded, within 1 ... 2^31 - 1; 0 when none is stated.
std::uint32_t pixelsPerMetre(const Resolution& resolution, bool vertical);

}  // namespace picture_resolution
