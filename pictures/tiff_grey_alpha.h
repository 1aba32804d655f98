// TIFF files of grey samples with an alpha sample, whose alpha Qt's TIFF reader drops
// (the transparent parts come in black). They are read through libtiff here instead.
#pragma once

#include <QByteArray>
#include <QImage>

#include <optional>

namespace tiff_grey_alpha {

// Nothing when `file`'s first picture is not grey with alpha, of 8 or 16 bits a sample;
// otherwise the picture as Format_RGBA64 (Format_RGBA64_Premultiplied for associated
// alpha), or a null image when libtiff cannot decode it. libtiff says why on standard
// error, as for Qt's reader.
std::optional<QImage> read(const QByteArray& file);

}  // namespace tiff_grey_alpha
