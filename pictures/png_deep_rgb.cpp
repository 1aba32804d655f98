#include "pictures/png_deep_rgb.h"
#include "image/why_not.h"

#include <png.h>
#include <QColorSpace>
#include <QPointF>

#include <csetjmp>
#include <cstdint>
#include <cstring>
#include <vector>

namespace png_deep_rgb {

namespace {

std::uint32_t bigEndian32(const unsigned char* at) {
    return std::uint32_t{at[0]} << 24 | std::uint32_t{at[1]} << 16 | std::uint32_t{at[2]} << 8 |
           at[3];
}

// What libpng's callbacks share. libpng leaves a failing call through longjmp, so the
// functions that call into it hold no objects with destructors.
struct Reading {
    png_structp png = nullptr;
    png_infop info = nullptr;
    const unsigned char* data = nullptr;
    std::size_t size = 0, at = 0;
    char reason[200] = "";
};

void readBytes(png_structp png, png_bytep into, png_size_t length) {
    auto* reading = static_cast<Reading*>(png_get_io_ptr(png));
    if (length > reading->size - reading->at) png_error(png, "the data ends before the picture");
    std::memcpy(into, reading->data + reading->at, length);
    reading->at += length;
}

void fail(png_structp png, png_const_charp message) {
    auto* reading = static_cast<Reading*>(png_get_error_ptr(png));
    std::strncpy(reading->reason, message, sizeof reading->reason - 1);
    png_longjmp(png, 1);
}

void ignoreWarning(png_structp, png_const_charp) {}

// Reads the header and sets the transformations: tRNS to an alpha sample, samples in the
// machine's byte order, interlaced passes combined.
bool readHeader(Reading& reading) {
    if (setjmp(png_jmpbuf(reading.png))) return false;
    png_set_read_fn(reading.png, &reading, readBytes);
    png_read_info(reading.png, reading.info);
    png_set_tRNS_to_alpha(reading.png);
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    png_set_swap(reading.png);
#endif
    png_set_interlace_handling(reading.png);
    png_read_update_info(reading.png, reading.info);
    return true;
}

bool readRows(Reading& reading, png_bytepp rows) {
    if (setjmp(png_jmpbuf(reading.png))) return false;
    png_read_image(reading.png, rows);
    return true;
}

// The colour space the file names: an ICC profile, sRGB, or a gamma with or without
// chromaticities; sRGB when it names none.
QColorSpace colourSpaceOf(png_structp png, png_infop info) {
    png_charp name = nullptr;
    png_bytep profile = nullptr;
    png_uint_32 length = 0;
    int compression = 0;
    if (png_get_iCCP(png, info, &name, &compression, &profile, &length) && profile)
        return QColorSpace::fromIccProfile(
            QByteArray(reinterpret_cast<const char*>(profile), static_cast<qsizetype>(length)));
    int intent = 0;
    if (png_get_sRGB(png, info, &intent)) return QColorSpace::SRgb;
    double gamma = 0;
    if (!png_get_gAMA(png, info, &gamma) || gamma <= 0) return QColorSpace::SRgb;
    const auto transfer = QColorSpace::TransferFunction::Gamma;
    const float exponent = static_cast<float>(1 / gamma);
    double wx, wy, rx, ry, gx, gy, bx, by;
    if (png_get_cHRM(png, info, &wx, &wy, &rx, &ry, &gx, &gy, &bx, &by))
        return QColorSpace(QPointF(wx, wy), QPointF(rx, ry), QPointF(gx, gy), QPointF(bx, by),
                           transfer, exponent);
    return QColorSpace(QColorSpace::Primaries::SRgb, exponent);
}

}  // namespace

bool applies(const QByteArray& file) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(file.constData());
    const std::size_t size = static_cast<std::size_t>(file.size());
    // The signature, then IHDR: 13 bytes whose ninth is the bit depth and tenth the
    // colour type (2: RGB).
    if (size < 33 || std::memcmp(bytes, "\x89PNG\r\n\x1a\n", 8) != 0 ||
        std::memcmp(bytes + 12, "IHDR", 4) != 0 || bigEndian32(bytes + 8) != 13 ||
        bytes[24] != 16 || bytes[25] != 2)
        return false;
    // Each chunk: length, type, data, checksum; tRNS must come before the first IDAT.
    std::size_t at = 33;
    while (size - at >= 12) {
        const std::uint32_t length = bigEndian32(bytes + at);
        if (std::memcmp(bytes + at + 4, "tRNS", 4) == 0) return true;
        if (std::memcmp(bytes + at + 4, "IDAT", 4) == 0) return false;
        if (length > size - at - 12) return false;
        at += 12 + std::size_t{length};
    }
    return false;
}

QImage read(const QByteArray& file, std::string* whyNot) {
    Reading reading;
    reading.data = reinterpret_cast<const unsigned char*>(file.constData());
    reading.size = static_cast<std::size_t>(file.size());
    reading.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &reading, fail, ignoreWarning);
    if (reading.png) reading.info = png_create_info_struct(reading.png);
    QImage picture;
    if (!reading.info) {
        std::strcpy(reading.reason, "out of memory");
    } else if (readHeader(reading)) {
        const png_uint_32 width = png_get_image_width(reading.png, reading.info);
        const png_uint_32 height = png_get_image_height(reading.png, reading.info);
        picture = QImage(static_cast<int>(width), static_cast<int>(height), QImage::Format_RGBA64);
        if (picture.isNull() ||
            png_get_rowbytes(reading.png, reading.info) != static_cast<png_size_t>(width) * 8) {
            std::strcpy(reading.reason, picture.isNull() ? "out of memory" : "unexpected layout");
            picture = QImage();
        } else {
            std::vector<png_bytep> rows(height);
            for (png_uint_32 y = 0; y < height; ++y)
                rows[y] = picture.scanLine(static_cast<int>(y));
            if (readRows(reading, rows.data())) {
                picture.setColorSpace(colourSpaceOf(reading.png, reading.info));
            } else {
                picture = QImage();
            }
        }
    }
    png_destroy_read_struct(reading.png ? &reading.png : nullptr,
                            reading.info ? &reading.info : nullptr, nullptr);
    if (picture.isNull()) setWhy(whyNot, reading.reason);
    return picture;
}

}  // namespace png_deep_rgb
