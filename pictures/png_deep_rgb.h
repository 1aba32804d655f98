// 16-bit RGB PNG files with a transparent colour (a tRNS chunk), which Qt's PNG reader
// returns as if each pixel had four samples instead of three. They are read through
// libpng here instead.
#pragma once

#include <QByteArray>
#include <QImage>

#include <string>

namespace png_deep_rgb {

// Whether `file` is a PNG file of 16-bit RGB samples with a tRNS chunk before its data.
bool applies(const QByteArray& file);

// The picture as Format_RGBA64 with straight alpha and the file's colour space; a null
// image with libpng's reason in `whyNot` when the file is damaged or memory runs out.
QImage read(const QByteArray& file, std::string* whyNot = nullptr);

}  // namespace png_deep_rgb
