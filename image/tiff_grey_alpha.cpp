#include "image/tiff_grey_alpha.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace tiff_grey_alpha {

namespace {

// The file in memory, as libtiff's client procedures read it.
struct Source {
    const QByteArray& data;
    toff_t at = 0;
};

tmsize_t readBytes(thandle_t handle, void* into, tmsize_t size) {
    auto* source = static_cast<Source*>(handle);
    const auto total = static_cast<toff_t>(source->data.size());
    const toff_t count =
        std::min<toff_t>(static_cast<toff_t>(size), total - std::min(source->at, total));
    std::memcpy(into, source->data.constData() + source->at, count);
    source->at += count;
    return static_cast<tmsize_t>(count);
}

tmsize_t writeNothing(thandle_t, void*, tmsize_t) {
    return 0;
}

toff_t seekTo(thandle_t handle, toff_t offset, int whence) {
    auto* source = static_cast<Source*>(handle);
    const auto total = static_cast<toff_t>(source->data.size());
    const toff_t base = whence == SEEK_CUR ? source->at : whence == SEEK_END ? total : 0;
    source->at = base + offset;
    return source->at;
}

int closeNothing(thandle_t) {
    return 0;
}

toff_t sizeOf(thandle_t handle) {
    return static_cast<toff_t>(static_cast<Source*>(handle)->data.size());
}

struct CloseTiff {
    void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};

}  // namespace

std::optional<QImage> read(const QByteArray& file) {
    Source source{file};
    // libtiff prefixes its messages with this name, as it does for Qt's reader, whose
    // messages are collected the same way.
    const std::unique_ptr<TIFF, CloseTiff> tiff(TIFFClientOpen("foo", "rm", &source, readBytes,
                                                               writeNothing, seekTo, closeNothing,
                                                               sizeOf, nullptr, nullptr));
    if (!tiff) return std::nullopt;  // Qt's reader says what is wrong
    std::uint16_t photometric = 0, samples = 1, bits = 1, planar = PLANARCONFIG_CONTIG;
    std::uint16_t extraCount = 0;
    std::uint16_t* extra = nullptr;
    std::uint32_t width = 0, height = 0;
    if (!TIFFGetField(tiff.get(), TIFFTAG_PHOTOMETRIC, &photometric) ||
        (photometric != PHOTOMETRIC_MINISBLACK && photometric != PHOTOMETRIC_MINISWHITE) ||
        !TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_SAMPLESPERPIXEL, &samples) || samples != 2 ||
        !TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_BITSPERSAMPLE, &bits) ||
        (bits != 8 && bits != 16) || TIFFIsTiled(tiff.get()) ||
        !TIFFGetField(tiff.get(), TIFFTAG_EXTRASAMPLES, &extraCount, &extra) || extraCount != 1 ||
        extra[0] == EXTRASAMPLE_UNSPECIFIED)
        return std::nullopt;
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &height);

    QImage picture(static_cast<int>(width), static_cast<int>(height),
                   extra[0] == EXTRASAMPLE_ASSOCALPHA ? QImage::Format_RGBA64_Premultiplied
                                                      : QImage::Format_RGBA64);
    const tmsize_t lineSize = TIFFScanlineSize(tiff.get());
    const bool separate = planar == PLANARCONFIG_SEPARATE;
    const std::size_t needed = std::size_t{width} * (bits / 8) * (separate ? 1 : 2);
    if (picture.isNull() || lineSize <= 0 || static_cast<std::size_t>(lineSize) < needed)
        return QImage();
    std::vector<std::uint8_t> line(static_cast<std::size_t>(lineSize));
    // One sample as 16 bits: 8-bit samples are widened exactly (x 257).
    const auto sample = [&](std::uint32_t x, int which) -> std::uint16_t {
        const std::size_t index = separate ? x : std::size_t{x} * 2 + which;
        if (bits == 8) return static_cast<std::uint16_t>(line[index] * 257);
        std::uint16_t value;
        std::memcpy(&value, line.data() + 2 * index, 2);  // libtiff gives machine order
        return value;
    };
    // Planes one after the other, each from its top row: libtiff decodes a strip only
    // forwards, so alternating between them would restart it for every row.
    const bool associated = extra[0] == EXTRASAMPLE_ASSOCALPHA;
    for (int plane = 0; plane < (separate ? 2 : 1); ++plane) {
        for (std::uint32_t y = 0; y < height; ++y) {
            if (TIFFReadScanline(tiff.get(), line.data(), y, static_cast<std::uint16_t>(plane)) < 0)
                return QImage();
            auto* out = reinterpret_cast<QRgba64*>(picture.scanLine(static_cast<int>(y)));
            for (std::uint32_t x = 0; x < width; ++x) {
                if (plane == 1) {
                    out[x].setAlpha(sample(x, 0));
                    continue;
                }
                const std::uint16_t grey = sample(x, 0);
                out[x] = qRgba64(grey, grey, grey, separate ? 65535 : sample(x, 1));
            }
        }
    }
    // Min-is-white grey counts from white: its value is the light taken away.
    if (photometric == PHOTOMETRIC_MINISWHITE) {
        for (int y = 0; y < picture.height(); ++y) {
            auto* out = reinterpret_cast<QRgba64*>(picture.scanLine(y));
            for (int x = 0; x < picture.width(); ++x) {
                const int white = associated ? out[x].alpha() : 65535;
                const auto grey = static_cast<std::uint16_t>(std::max(white - out[x].red(), 0));
                out[x] = qRgba64(grey, grey, grey, out[x].alpha());
            }
        }
    }
    return picture;
}

}  // namespace tiff_grey_alpha
