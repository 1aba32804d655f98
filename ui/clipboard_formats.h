// How pictures travel on the desktop clipboard. Bokavo's own format is "image/bmp": a
// complete 24-bit bitmap file, that is a 14-byte file header followed by the packed
// device-independent bitmap. A copy also offers "image/png" of the same picture for
// programs that read only PNG. A paste takes "image/bmp" when it is offered, and
// otherwise any picture type Qt can decode, turned into a 24-bit packed bitmap first.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QMimeData>
#include <QString>
#include <cstdint>
#include <vector>

namespace clipboard_formats {

inline const QString kBmpType = QStringLiteral("image/bmp");
inline const QString kPngType = QStringLiteral("image/png");

// What a copy puts on the clipboard: the bitmap file bytes, and PNG made from them only
// when some program asks for it, since encoding a large picture takes a while.
class BitmapMimeData : public QMimeData {
    Q_OBJECT

public:
    explicit BitmapMimeData(QByteArray bitmapFile);

    QStringList formats() const override;
    bool hasFormat(const QString& mimeType) const override;

protected:
    QVariant retrieveData(const QString& mimeType, QMetaType type) const override;

private:
    QByteArray bitmapFile_;
    mutable QByteArray png_;  // made on the first request
};

// The 24-bit packed bitmap (40-byte header, rows bottom-up, each padded to a multiple of
// 4 bytes) of a picture of any format, with transparent and partly transparent pixels
// laid over white. Empty for a null picture.
std::vector<std::uint8_t> packedDibFromPicture(const QImage& picture);

}  // namespace clipboard_formats
