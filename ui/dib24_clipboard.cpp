// The system clipboard side of dib24, and the conversions between clipboard types and
// packed bitmaps. The checks on a block's contents are those of the packed-bitmap reader
// in image/dib_block.cpp; this file only moves blocks to and from Qt's clipboard.

#include <QBuffer>
#include <QClipboard>
#include <QGuiApplication>
#include <QPointer>
#include <QVariant>
#include <memory>
#include <utility>

#include "image/bmp_records.h"
#include "image/dib24.h"
#include "image/dib_block.h"
#include "pictures/picture_file.h"
#include "ui/clipboard_formats.h"
#include "ui/dib24_qt.h"

namespace clipboard_formats {

BitmapMimeData::BitmapMimeData(QByteArray bitmapFile) : bitmapFile_(std::move(bitmapFile)) {}

QStringList BitmapMimeData::formats() const {
    return {kBmpType, kPngType};
}

bool BitmapMimeData::hasFormat(const QString& mimeType) const {
    return mimeType == kBmpType || mimeType == kPngType;
}

QVariant BitmapMimeData::retrieveData(const QString& mimeType, QMetaType) const {
    if (mimeType == kBmpType) return bitmapFile_;
    if (mimeType != kPngType) return {};
    if (png_.isEmpty()) {
        const QImage picture = QImage::fromData(bitmapFile_, "BMP");
        QBuffer buffer(&png_);
        buffer.open(QIODevice::WriteOnly);
        if (picture.isNull() || !picture.save(&buffer, "PNG")) png_.clear();
    }
    return png_;
}

std::vector<std::uint8_t> packedDibFromPicture(const QImage& picture) {
    if (picture.isNull()) return {};
    // Premultiplied, a pixel laid over white is simply its value plus the white that its
    // alpha lets through.
    const QImage source = picture.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (source.isNull()) return {};

    const std::int32_t width = source.width();
    const std::int32_t height = source.height();
    const std::size_t rowBytes = static_cast<std::size_t>(dib24::strideFor(width));
    std::vector<std::uint8_t> block(bmp::kInfoHeaderSize + rowBytes * height, 0);

    BITMAPINFOHEADER header;
    header.biSize = bmp::kInfoHeaderSize;
    header.biWidth = width;
    header.biHeight = height;  // positive: rows bottom-up
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = bmp::kCompressionRGB;
    bmp::encodeInfoHeader(header, block.data());

    // The rows are bottom-up: the picture's top row is the block's last.
    std::uint8_t* end = block.data() + block.size();
    for (std::int32_t t = 0; t < height; ++t) {
        const QRgb* pixel = reinterpret_cast<const QRgb*>(source.constScanLine(t));
        std::uint8_t* row = end - rowBytes * static_cast<std::size_t>(t + 1);
        for (std::int32_t x = 0; x < width; ++x, ++pixel) {
            const int white = 255 - qAlpha(*pixel);
            *row++ = static_cast<std::uint8_t>(qBlue(*pixel) + white);
            *row++ = static_cast<std::uint8_t>(qGreen(*pixel) + white);
            *row++ = static_cast<std::uint8_t>(qRed(*pixel) + white);
        }
    }
    return block;
}

}  // namespace clipboard_formats

// Qt's clipboard belongs to the application rather than to a window, so the owner the
// callers pass plays no part here.
bool copyToClipboard(const dib24& image, QWidget* /*owner*/) {
    if (!image.section) return false;
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (!clipboard) return false;
    const std::vector<std::uint8_t> file = packBmp(image);
    if (file.empty()) return false;

    QPointer<QMimeData> published = new clipboard_formats::BitmapMimeData(QByteArray(
        reinterpret_cast<const char*>(file.data()), static_cast<qsizetype>(file.size())));
    clipboard->setMimeData(published);
    // The clipboard takes the data in any case; it holds the picture only when it now
    // hands back this very object (on X11, taking over the selection can fail).
    return published && clipboard->mimeData() == published.data();
}

bool pasteFromClipboard(dib24& image, QWidget* /*owner*/, std::string* whyNot) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    const QMimeData* data = clipboard ? clipboard->mimeData() : nullptr;
    if (!data) return false;

    if (data->hasFormat(clipboard_formats::kBmpType)) {
        const QByteArray file = data->data(clipboard_formats::kBmpType);
        return unpackBmp(image, reinterpret_cast<const std::uint8_t*>(file.constData()),
                         static_cast<std::size_t>(file.size()));
    }
    // Other programs offer pictures as files of some format: these are read by the rules
    // and limits of picture files.
    for (const char* type : {"image/png", "image/jpeg", "image/tiff", "image/webp"}) {
        if (!data->hasFormat(QLatin1String(type))) continue;
        const QByteArray file = data->data(QLatin1String(type));
        std::unique_ptr<dib24> picture =
            decodePicture(file.constData(), static_cast<std::size_t>(file.size()), whyNot);
        if (!picture) return false;
        image.swap(*picture);
        return true;
    }
    if (data->hasImage()) {
        // Qt decodes any other type itself, within the same limit on the size.
        allowLargePictures();
        const QImage picture = qvariant_cast<QImage>(data->imageData());
        if (!pictureSizeRefusal(picture.width(), picture.height()).empty()) return false;
        const std::vector<std::uint8_t> block = clipboard_formats::packedDibFromPicture(picture);
        return !block.empty() && unpackDib(image, block.data(), block.size());
    }
    return false;
}
