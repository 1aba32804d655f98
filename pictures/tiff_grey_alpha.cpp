#include "pictures/tiff_grey_alpha.h"

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
        (bits != 8 && bits != 16) ||
        !TIFFGetField(tiff.get(), TIFFTAG_EXTRASAMPLES, &extraCount, &extra) || extraCount != 1 ||
        extra[0] == EXTRASAMPLE_UNSPECIFIED)
        return std::nullopt;
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &height);

    QImage picture(static_cast<int>(width), static_cast<int>(height),
                   extra[0] == EXTRASAMPLE_ASSOCALPHA ? QImage::Format_RGBA64_Premultiplied
                                                      : QImage::Format_RGBA64);
    // Strips are read a row at a time, tiles a tile at a time: blocks of blockWidth x
    // blockHeight samples (or sample pairs, where grey and alpha are interleaved).
    const bool tiled = TIFFIsTiled(tiff.get());
    std::uint32_t blockWidth = width, blockHeight = 1;
    if (tiled && (!TIFFGetField(tiff.get(), TIFFTAG_TILEWIDTH, &blockWidth) ||
                  !TIFFGetField(tiff.get(), TIFFTAG_TILELENGTH, &blockHeight)))
        return QImage();
    const tmsize_t blockSize = tiled ? TIFFTileSize(tiff.get()) : TIFFScanlineSize(tiff.get());
    const bool separate = planar == PLANARCONFIG_SEPARATE;
    const std::uint64_t blockPixels = std::uint64_t{blockWidth} * blockHeight;
    // A tile may be no larger than the picture rounded up to whole tiles of 16.
    if (picture.isNull() || blockPixels == 0 || blockSize <= 0 ||
        blockPixels > (std::uint64_t{width} + 16) * (std::uint64_t{height} + 16) ||
        static_cast<std::uint64_t>(blockSize) < blockPixels * (bits / 8) * (separate ? 1 : 2))
        return QImage();
    std::vector<std::uint8_t> block(static_cast<std::size_t>(blockSize));
    // One sample as 16 bits: 8-bit samples are widened exactly (x 257).
    const auto sample = [&](std::size_t index) -> std::uint16_t {
        if (bits == 8) return static_cast<std::uint16_t>(block[index] * 257);
        std::uint16_t value;
        std::memcpy(&value, block.data() + 2 * index, 2);  // libtiff gives machine order
        return value;
    };
    // Planes one after the other, each from its top: libtiff decodes a strip only
    // forwards, so alternating between planes would restart it for every row.
    const bool associated = extra[0] == EXTRASAMPLE_ASSOCALPHA;
    for (int plane = 0; plane < (separate ? 2 : 1); ++plane) {
        const auto which = static_cast<std::uint16_t>(plane);
        for (std::uint32_t top = 0; top < height; top += blockHeight) {
            for (std::uint32_t left = 0; left < width; left += blockWidth) {
                const bool read =
                    tiled ? TIFFReadTile(tiff.get(), block.data(), left, top, 0, which) >= 0
                          : TIFFReadScanline(tiff.get(), block.data(), top, which) >= 0;
                if (!read) return QImage();
                for (std::uint32_t y = 0; y < std::min(blockHeight, height - top); ++y) {
                    auto* out =
                        reinterpret_cast<QRgba64*>(picture.scanLine(static_cast<int>(top + y))) +
                        left;
                    for (std::uint32_t x = 0; x < std::min(blockWidth, width - left); ++x) {
                        const std::size_t at = std::size_t{y} * blockWidth + x;
                        if (plane == 1) {
                            out[x].setAlpha(sample(at));
                            continue;
                        }
                        const std::uint16_t grey = sample(separate ? at : 2 * at);
                        out[x] = qRgba64(grey, grey, grey, separate ? 65535 : sample(2 * at + 1));
                    }
                }
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
