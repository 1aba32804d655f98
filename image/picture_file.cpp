// Reading and writing picture files. Bitmaps keep their own reader and writer; the other
// formats are decoded and encoded by Qt's codecs and converted here, once, to and from the
// 24-bit dib24 that the rest of the program knows. Files are untrusted: a picture's size
// is checked from its header before any pixel is decoded.
#include "image/picture_file.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QBuffer>
#include <QByteArray>
#include <QColorSpace>
#include <QColorTransform>
#include <QImage>
#include <QImageIOHandler>
#include <QImageReader>
#include <QImageWriter>
#include <QList>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <new>
#include <system_error>
#include <vector>

#include "image/bmp_file.h"
#include "image/bmp_records.h"
#include "image/picture_metadata.h"
#include "image/picture_resolution.h"
#include "image/save_file.h"

namespace {

struct Format {
    const char* qtName;  // Qt's name of its codec
    const char* label;   // the name users know
    bool lossy;          // written with a quality
};

constexpr Format kPng{"png", "PNG", false};
constexpr Format kJpeg{"jpeg", "JPEG", true};
constexpr Format kTiff{"tiff", "TIFF", false};
constexpr Format kWebp{"webp", "WebP", true};

const char* const kUnknownFormat = "not a bitmap file, nor a PNG, JPEG, TIFF or WebP picture";

// What Qt is told where no resolution is known (96 dots per inch); the files then state
// none.
constexpr int kUnstatedDotsPerMetre = 3780;

// Qt's limit on the pixel memory of one decoded picture, in MiB: enough for the largest
// accepted picture at 8 bytes per pixel (16-bit channels with alpha).
constexpr int kQtAllocationLimitMiB = 2048;

bool startsWith(const QByteArray& data, const char* magic, qsizetype at = 0) {
    const qsizetype length = static_cast<qsizetype>(std::strlen(magic));
    return data.size() >= at + length && std::memcmp(data.constData() + at, magic, length) == 0;
}

// The format a file's first bytes announce; its name is not consulted.
const Format* formatOfContent(const QByteArray& data) {
    if (startsWith(data, "\x89PNG\r\n\x1a\n")) return &kPng;
    if (startsWith(data, "\xff\xd8\xff")) return &kJpeg;
    // Classic TIFF (42) and BigTIFF (43), little-endian ("II") or big-endian ("MM").
    if (data.size() >= 4) {
        const auto version = [&](int at) { return data[at] == 42 || data[at] == 43; };
        if (startsWith(data, "II") && version(2) && data[3] == 0) return &kTiff;
        if (startsWith(data, "MM") && data[2] == 0 && version(3)) return &kTiff;
    }
    if (startsWith(data, "RIFF") && startsWith(data, "WEBP", 8)) return &kWebp;
    return nullptr;
}

// The format an output name asks for by its extension; null for a bitmap.
const Format* formatOfName(const std::string& path) {
    std::string extension = std::filesystem::path(path).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (extension == ".png") return &kPng;
    if (extension == ".jpg" || extension == ".jpeg") return &kJpeg;
    if (extension == ".tif" || extension == ".tiff") return &kTiff;
    if (extension == ".webp") return &kWebp;
    return nullptr;
}

// Qt finds TIFF and WebP in plugins that are packaged apart from Qt itself.
std::string missingCodec(const Format& format, const QList<QByteArray>& available) {
    if (available.contains(format.qtName)) return {};
    return std::string(format.label) +
           " pictures need Qt's image format plugins (Debian package qt6-image-formats-plugins)";
}

// Collects what a codec says while it works: Qt's messages from this thread, and what the
// libraries print on standard error themselves (libpng and libtiff do), which would
// otherwise land between the programs' own one-line messages. The last line is usually the
// codec's reason for a failure. Pictures are decoded on one thread at a time.
class CodecMessages {
public:
    CodecMessages() {
        previous_ = qInstallMessageHandler(&CodecMessages::collect);
        active_ = this;
        std::fflush(stderr);
        capture_ = memfd_create("bokavo-codec-messages", MFD_CLOEXEC);
        savedStderr_ = capture_ >= 0 ? dup(STDERR_FILENO) : -1;
        if (savedStderr_ < 0 || dup2(capture_, STDERR_FILENO) < 0) closeFiles();
    }
    ~CodecMessages() { stop(); }
    CodecMessages(const CodecMessages&) = delete;
    CodecMessages& operator=(const CodecMessages&) = delete;

    // Ends the collection and returns every non-empty line said.
    std::vector<std::string> stop() {
        if (active_ == this) {
            qInstallMessageHandler(previous_);
            active_ = nullptr;
        }
        if (savedStderr_ >= 0) {
            std::fflush(stderr);
            dup2(savedStderr_, STDERR_FILENO);
            char text[4096];
            const ssize_t length = pread(capture_, text, sizeof text, 0);
            if (length > 0) addLines(std::string(text, static_cast<std::size_t>(length)));
        }
        closeFiles();
        return std::move(lines_);
    }

private:
    // Messages of other threads go on to the handler that was in place.
    static void collect(QtMsgType type, const QMessageLogContext& context, const QString& text) {
        if (active_) {
            active_->addLines(text.toStdString());
        } else if (const QtMessageHandler previous = previous_.load()) {
            previous(type, context, text);
        }
    }

    void addLines(const std::string& text) {
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            std::string line = text.substr(start, end - start);
            // Qt hands TIFF data to libtiff under the name "foo", which prefixes its messages.
            if (line.rfind("foo: ", 0) == 0) line.erase(0, 5);
            while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
                line.pop_back();
            if (!line.empty()) lines_.push_back(std::move(line));
            start = end + 1;
        }
    }

    void closeFiles() {
        if (savedStderr_ >= 0) close(savedStderr_);
        if (capture_ >= 0) close(capture_);
        savedStderr_ = capture_ = -1;
    }

    static inline thread_local CodecMessages* active_ = nullptr;
    static inline std::atomic<QtMessageHandler> previous_{nullptr};
    int capture_ = -1;
    int savedStderr_ = -1;
    std::vector<std::string> lines_;
};

std::string damaged(const Format& format, const std::vector<std::string>& said,
                    const QString& fallback) {
    const std::string detail = said.empty() ? fallback.toStdString() : said.back();
    return "damaged or truncated " + std::string(format.label) + " file (" + detail + ")";
}

// libjpeg reports missing and broken data only as warnings and fills what it could not
// decode with grey, so a truncated JPEG would come in as a picture. These are the warnings
// that mean some pixels were not in the file.
bool isMissingJpegData(const std::string& line) {
    for (const char* sign :
         {"Premature end of JPEG file", "premature end of data segment", "bad Huffman code",
          "bad arithmetic code", "instead of RST", "extraneous bytes before marker",
          "Inconsistent progression sequence", "Invalid SOS parameters"}) {
        if (line.find(sign) != std::string::npos) return true;
    }
    return false;
}

// Whether a JPEG's markers run on to the end-of-image marker. Every segment but the
// entropy-coded data after a start-of-scan carries its length; in the coded data a marker
// is 0xFF followed by anything but 0x00 (a stuffed 0xFF byte) or a restart marker.
bool jpegIsComplete(const QByteArray& data) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.constData());
    const std::size_t size = static_cast<std::size_t>(data.size());
    std::size_t at = 2;  // after the start-of-image marker
    while (at + 1 < size) {
        if (bytes[at] != 0xFF) return false;
        const std::uint8_t marker = bytes[at + 1];
        at += 2;
        if (marker == 0xFF) {  // fill byte before a marker
            --at;
            continue;
        }
        if (marker == 0xD9) return true;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue;  // no length
        if (at + 2 > size) return false;
        const std::size_t length = std::size_t{bytes[at]} << 8 | bytes[at + 1];
        if (length < 2 || at + length > size) return false;
        at += length;
        if (marker != 0xDA) continue;
        while (at + 1 < size && (bytes[at] != 0xFF || bytes[at + 1] == 0x00 ||
                                 (bytes[at + 1] >= 0xD0 && bytes[at + 1] <= 0xD7)))
            ++at;
    }
    return false;
}

// Whether a colour space describes sRGB closely enough to take the pixels as they are.
// Besides sRGB itself that is a plain gamma of 2.2 on sRGB's primaries, which PNG files of
// ImageMagick and many other tools carry (gAMA 1/2.2 with sRGB's cHRM) to mean sRGB.
bool actsAsSrgb(const QColorSpace& space) {
    if (!space.isValid() || space == QColorSpace(QColorSpace::SRgb)) return true;
    if (space.transferFunction() != QColorSpace::TransferFunction::Gamma ||
        std::abs(space.gamma() - 2.2f) > 0.05f)
        return false;
    // Same primaries: moderately saturated colours pass unchanged (within rounding) when
    // only the curves are made equal.
    const QColorTransform check = QColorSpace(QColorSpace::SRgb)
                                      .transformationToColorSpace(space.withTransferFunction(
                                          QColorSpace::TransferFunction::SRgb));
    for (const QRgb probe : {qRgb(200, 60, 40), qRgb(50, 190, 70), qRgb(40, 60, 210)}) {
        const QRgb mapped = check.map(probe);
        if (std::abs(qRed(mapped) - qRed(probe)) > 1 ||
            std::abs(qGreen(mapped) - qGreen(probe)) > 1 ||
            std::abs(qBlue(mapped) - qBlue(probe)) > 1)
            return false;
    }
    return true;
}

bool isGrey(QImage::Format format) {
    return format == QImage::Format_Grayscale8 || format == QImage::Format_Grayscale16;
}

// Where the picture's stored pixels land in the upright dib24, as byte offsets: the pixel
// in column x of stored row y (counted from the top) goes to start + x * xStep + y * yStep.
struct Placement {
    int width = 0, height = 0;  // of the upright picture
    std::ptrdiff_t start = 0, xStep = 0, yStep = 0;
};

// EXIF orientation: 1 as stored, 2 mirrored, 3 turned 180 degrees, 4 flipped upside down,
// 5 transposed, 6 turned 90 degrees clockwise, 7 transverse, 8 turned 90 degrees
// anticlockwise. The upright column X and row Y from the top are X = cx + ax x + bx y and
// Y = cy + ay x + by y; the dib24 keeps row Y at memory row height - 1 - Y.
Placement placementFor(int orientation, int w, int h) {
    std::int64_t ax = 1, bx = 0, cx = 0, ay = 0, by = 1, cy = 0;
    switch (orientation) {
        case 2:
            ax = -1, cx = w - 1;
            break;
        case 3:
            ax = -1, cx = w - 1, by = -1, cy = h - 1;
            break;
        case 4:
            by = -1, cy = h - 1;
            break;
        case 5:
            ax = 0, bx = 1, ay = 1, by = 0;
            break;
        case 6:
            ax = 0, bx = -1, cx = h - 1, ay = 1, by = 0;
            break;
        case 7:
            ax = 0, bx = -1, cx = h - 1, ay = -1, by = 0, cy = w - 1;
            break;
        case 8:
            ax = 0, bx = 1, ay = -1, by = 0, cy = w - 1;
            break;
        default:
            break;
    }
    Placement p;
    p.width = orientation >= 5 ? h : w;
    p.height = orientation >= 5 ? w : h;
    const std::int64_t stride = dib24::strideFor(p.width);
    p.start = static_cast<std::ptrdiff_t>((p.height - 1 - cy) * stride + 3 * cx);
    p.xStep = static_cast<std::ptrdiff_t>(3 * ax - ay * stride);
    p.yStep = static_cast<std::ptrdiff_t>(3 * bx - by * stride);
    return p;
}

// 16 bits to 8, rounded to nearest: round(v x 255 / 65535). No value lies exactly halfway.
inline std::uint8_t to8Bits(std::uint32_t v) {
    return static_cast<std::uint8_t>((v * 255 + 32767) / 65535);
}

template <typename PutPixel>
void place(const QImage& picture, const Placement& p, std::uint8_t* bits, PutPixel put) {
    const int width = picture.width();
    for (int y = 0; y < picture.height(); ++y) {
        const uchar* line = picture.constScanLine(y);
        std::uint8_t* out = bits + p.start + static_cast<std::ptrdiff_t>(y) * p.yStep;
        for (int x = 0; x < width; ++x, out += p.xStep) put(line, x, out);
    }
}

// The upright 24-bit image of a decoded picture in sRGB. Premultiplied colour plus the
// white that the alpha lets through lays a pixel over white. Null when memory runs out.
std::unique_ptr<dib24> toDib(QImage& picture, int orientation) {
    switch (picture.format()) {
        case QImage::Format_Grayscale8:
        case QImage::Format_Grayscale16:
        case QImage::Format_RGB32:
        case QImage::Format_ARGB32_Premultiplied:
        case QImage::Format_RGBX64:
        case QImage::Format_RGBA64_Premultiplied:
            break;
        case QImage::Format_RGBA64:
            picture.convertTo(QImage::Format_RGBA64_Premultiplied);
            break;
        default: {
            // Palettes, 1-bit, alpha not premultiplied, other layouts: 16 bits per channel
            // where the picture has more than 8, else 8.
            const QPixelFormat layout = picture.pixelFormat();
            const bool deep = layout.redSize() > 8 || layout.brightnessSize() > 8;
            picture.convertTo(deep ? QImage::Format_RGBA64_Premultiplied
                                   : QImage::Format_ARGB32_Premultiplied);
        }
    }
    if (picture.isNull()) return nullptr;

    const Placement p = placementFor(orientation, picture.width(), picture.height());
    auto image = std::make_unique<dib24>(p.width, p.height);
    if (!image->bits) return nullptr;
    std::uint8_t* bits = image->bits;
    switch (picture.format()) {
        case QImage::Format_Grayscale8:
            place(picture, p, bits, [](const uchar* line, int x, std::uint8_t* out) {
                out[0] = out[1] = out[2] = line[x];
            });
            break;
        case QImage::Format_Grayscale16:
            place(picture, p, bits, [](const uchar* line, int x, std::uint8_t* out) {
                out[0] = out[1] = out[2] = to8Bits(reinterpret_cast<const quint16*>(line)[x]);
            });
            break;
        case QImage::Format_RGBX64:
        case QImage::Format_RGBA64_Premultiplied:
            place(picture, p, bits, [](const uchar* line, int x, std::uint8_t* out) {
                const QRgba64 pixel = reinterpret_cast<const QRgba64*>(line)[x];
                const std::uint32_t white = 65535u - pixel.alpha();
                out[0] = to8Bits(pixel.blue() + white);
                out[1] = to8Bits(pixel.green() + white);
                out[2] = to8Bits(pixel.red() + white);
            });
            break;
        default:  // Format_RGB32, Format_ARGB32_Premultiplied
            place(picture, p, bits, [](const uchar* line, int x, std::uint8_t* out) {
                const QRgb pixel = reinterpret_cast<const QRgb*>(line)[x];
                const int white = 255 - qAlpha(pixel);
                out[0] = static_cast<std::uint8_t>(qBlue(pixel) + white);
                out[1] = static_cast<std::uint8_t>(qGreen(pixel) + white);
                out[2] = static_cast<std::uint8_t>(qRed(pixel) + white);
            });
    }
    return image;
}

// Qt's reading of the EXIF orientation, for files whose metadata exiv2 could not parse.
int orientationOf(QImageIOHandler::Transformations transformation) {
    switch (transformation) {
        case QImageIOHandler::TransformationMirror:
            return 2;
        case QImageIOHandler::TransformationRotate180:
            return 3;
        case QImageIOHandler::TransformationFlip:
            return 4;
        case QImageIOHandler::TransformationFlipAndRotate90:
            return 5;
        case QImageIOHandler::TransformationRotate90:
            return 6;
        case QImageIOHandler::TransformationMirrorAndRotate90:
            return 7;
        case QImageIOHandler::TransformationRotate270:
            return 8;
        default:
            return 1;
    }
}

const QList<QByteArray>& readableFormats() {
    static const QList<QByteArray> formats = QImageReader::supportedImageFormats();
    return formats;
}

const QList<QByteArray>& writableFormats() {
    static const QList<QByteArray> formats = QImageWriter::supportedImageFormats();
    return formats;
}

// Decodes a PNG, JPEG, TIFF or WebP file; `file` is released once its pixels are decoded.
std::unique_ptr<dib24> decodeWithQt(QByteArray file, std::string& why, PictureMetadata* metadata) {
    const Format* format = formatOfContent(file);
    if (!format) {
        why = kUnknownFormat;
        return nullptr;
    }
    allowLargePictures();
    why = missingCodec(*format, readableFormats());
    if (!why.empty()) return nullptr;

    QBuffer buffer;
    buffer.setData(file);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, format->qtName);
    reader.setAutoTransform(false);  // the orientation is applied below, with the conversion

    // The size comes from the header alone: a picture too large is refused before a single
    // pixel is decoded, however few bytes claim it.
    CodecMessages headerMessages;
    const QSize size = reader.size();
    const std::vector<std::string> saidOfHeader = headerMessages.stop();
    if (!size.isValid()) {
        why = damaged(*format, saidOfHeader, reader.errorString());
        return nullptr;
    }
    why = pictureSizeRefusal(size.width(), size.height());
    if (!why.empty()) return nullptr;

    PictureMetadata kept;
    int orientation = picture_metadata::read(file, metadata ? &kept : nullptr);
    // The file's own resolution field, where it states one, is what viewers show.
    if (const Resolution own = picture_resolution::read(file); own.stated()) kept.resolution = own;

    QImage picture;
    CodecMessages messages;
    const bool decoded = reader.read(&picture);
    const std::vector<std::string> said = messages.stop();
    if (!decoded || picture.isNull()) {
        why = damaged(*format, said, reader.errorString());
        return nullptr;
    }
    if (format == &kJpeg) {
        const auto missing = std::find_if(said.begin(), said.end(), isMissingJpegData);
        if (missing != said.end()) {
            why = damaged(*format, {*missing}, {});
            return nullptr;
        }
        if (!jpegIsComplete(file)) {
            why = damaged(*format, {"the data ends before the end-of-image marker"}, {});
            return nullptr;
        }
    }
    why = pictureSizeRefusal(picture.width(), picture.height());
    if (!why.empty()) return nullptr;
    if (orientation == 0) orientation = orientationOf(reader.transformation());
    buffer.close();
    buffer.setData(QByteArray());
    file = QByteArray();

    // Grey pictures stay as they are: a depth map's values are distances, not light.
    if (!isGrey(picture.format()) && !actsAsSrgb(picture.colorSpace()))
        picture.convertToColorSpace(QColorSpace::SRgb);
    std::unique_ptr<dib24> image = toDib(picture, orientation);
    if (!image) {
        why = describe(BmpError::OutOfMemory);
        return nullptr;
    }
    if (metadata) *metadata = std::move(kept);
    return image;
}

// The bitmap reader, exactly as the programs have always used it. Bitmaps carry no
// metadata.
std::unique_ptr<dib24> readBitmap(std::FILE* file, std::string& why, PictureMetadata* metadata) {
    auto image = std::make_unique<dib24>(1, 1);
    BmpError error = BmpError::None;
    if (!image->loadFromFile(file, &error)) {
        why = describe(error);
        return nullptr;
    }
    if (metadata) *metadata = {};
    return image;
}

std::unique_ptr<dib24> readOpenFile(std::FILE* file, std::string& why, PictureMetadata* metadata) {
    // A folder opens like a file but reads nothing; say so instead of "read error".
    struct stat info;
    const bool known = fstat(fileno(file), &info) == 0;
    if (known && S_ISDIR(info.st_mode)) {
        why = std::generic_category().message(EISDIR);
        return nullptr;
    }
    // Files that start with "BM" are bitmaps; any other "B" is refused by the same reader.
    const int first = std::getc(file);
    if (first != EOF) std::ungetc(first, file);
    if (first == 'B') return readBitmap(file, why, metadata);

    QByteArray bytes;
    if (known && S_ISREG(info.st_mode)) bytes.reserve(static_cast<qsizetype>(info.st_size));
    char chunk[1 << 16];
    while (const std::size_t got = std::fread(chunk, 1, sizeof chunk, file))
        bytes.append(chunk, static_cast<qsizetype>(got));
    if (std::ferror(file)) {
        why = describe(BmpError::ReadFailed);
        return nullptr;
    }
    return decodeWithQt(std::move(bytes), why, metadata);
}

std::uint64_t addressableBytes() {
    std::uint64_t limit = std::min<std::uint64_t>(dib24::sectionLimit, PTRDIFF_MAX);
    struct rlimit space;
    if (getrlimit(RLIMIT_AS, &space) == 0 && space.rlim_cur != RLIM_INFINITY)
        limit = std::min<std::uint64_t>(limit, space.rlim_cur);
    return limit;
}

void setWhy(std::string* whyNot, std::string text) {
    if (whyNot) *whyNot = std::move(text);
}

// The picture as Qt's writers take it: top row first, red, green, blue.
QImage toQImage(const dib24& image) {
    QImage picture(image.width, image.height, QImage::Format_RGB888);
    if (picture.isNull()) return picture;
    for (int t = 0; t < image.height; ++t) {
        const std::uint8_t* in =
            image.bits + static_cast<std::ptrdiff_t>(image.height - 1 - t) * image.stride;
        uchar* out = picture.scanLine(t);
        for (int x = 0; x < image.width; ++x, in += 3, out += 3) {
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
        }
    }
    picture.setColorSpace(QColorSpace::SRgb);
    return picture;
}

bool encode(const dib24& image, const Format& format, int quality, const PictureMetadata& metadata,
            QByteArray& bytes, std::string& why) {
    if (!image.bits) {
        why = "the picture holds no pixels";
        return false;
    }
    why = missingCodec(format, writableFormats());
    if (!why.empty()) return false;
    {
        QImage picture = toQImage(image);
        if (picture.isNull()) {
            why = describe(BmpError::OutOfMemory);
            return false;
        }
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        // Qt writes the screen's resolution where none is set, which differs between the
        // windows and the command line; the fields are set below in any case.
        const std::uint32_t perMetre =
            picture_resolution::pixelsPerMetre(metadata.resolution, false);
        picture.setDotsPerMeterX(static_cast<int>(perMetre ? perMetre : kUnstatedDotsPerMetre));
        picture.setDotsPerMeterY(static_cast<int>(
            perMetre ? picture_resolution::pixelsPerMetre(metadata.resolution, true)
                     : kUnstatedDotsPerMetre));
        QImageWriter writer(&buffer, format.qtName);
        if (format.lossy) writer.setQuality(std::clamp(quality, 1, 100));
        if (&format == &kTiff) writer.setCompression(1);  // LZW: lossless, and smaller
        CodecMessages messages;
        const bool written = writer.write(picture);
        const std::vector<std::string> said = messages.stop();
        if (!written) {
            why = said.empty() ? writer.errorString().toStdString() : said.back();
            return false;
        }
    }
    if (!picture_resolution::write(bytes, metadata.resolution)) {
        why = std::string("cannot set the resolution of the ") + format.label + " file written";
        return false;
    }
    // A TIFF file's resolution fields are set with its metadata.
    if (!metadata.empty() || &format == &kTiff)
        return picture_metadata::write(bytes, metadata, image.width, image.height, why);
    return true;
}

// A 24-bit bitmap that states `resolution` in its pixels per metre; the file is otherwise
// the one dib24::saveToFile writes.
bool writeBitmap(const dib24& image, const std::string& path, const Resolution& resolution,
                 std::string* whyNot) {
    if (!resolution.stated() || !image.bits) return saveImageFile(image, path, whyNot);
    BITMAPINFOHEADER header = image.info.bmiHeader;
    header.biXPelsPerMeter =
        static_cast<std::int32_t>(picture_resolution::pixelsPerMetre(resolution, false));
    header.biYPelsPerMeter =
        static_cast<std::int32_t>(picture_resolution::pixelsPerMetre(resolution, true));
    std::uint8_t headers[bmp::kFileHeaderSize + bmp::kInfoHeaderSize] = {};
    bmp::writeLE16(headers, bmp::kMagicBM);
    bmp::writeLE32(headers + 10, bmp::kFileHeaderSize + bmp::kInfoHeaderSize);
    bmp::encodeInfoHeader(header, headers + bmp::kFileHeaderSize);
    return saveFileSafely(
        path, sizeof headers + image.pixelBytes(),
        [&](std::FILE* file) {
            return std::fwrite(headers, 1, sizeof headers, file) == sizeof headers &&
                   std::fwrite(image.bits, 1, image.pixelBytes(), file) == image.pixelBytes();
        },
        whyNot);
}

}  // namespace

std::string pictureSizeRefusal(std::int64_t width, std::int64_t height) {
    if (width <= 0 || height <= 0) return {};
    const bool tooMany = width > kMaxPicturePixels / height;
    if (tooMany ||
        static_cast<std::uint64_t>(dib24::strideFor(width) * height) > addressableBytes())
        return "picture too large (" + std::to_string(width) + " x " + std::to_string(height) + ")";
    return {};
}

void allowLargePictures() {
    static std::once_flag once;
    std::call_once(once, [] {
        // 0 means no limit at all, which the program may have chosen itself.
        const int current = QImageReader::allocationLimit();
        if (current != 0 && current < kQtAllocationLimitMiB)
            QImageReader::setAllocationLimit(kQtAllocationLimitMiB);
    });
}

std::unique_ptr<dib24> readPicture(const std::string& path, std::string* whyNot,
                                   PictureMetadata* metadata) {
    std::string why;
    std::unique_ptr<dib24> image;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        why = std::generic_category().message(errno);
    } else {
        try {
            image = readOpenFile(file, why, metadata);
        } catch (const std::bad_alloc&) {
            why = describe(BmpError::OutOfMemory);
        }
        std::fclose(file);
    }
    if (!image) setWhy(whyNot, std::move(why));
    return image;
}

std::unique_ptr<dib24> decodePicture(const void* data, std::size_t size, std::string* whyNot,
                                     PictureMetadata* metadata) {
    std::string why;
    std::unique_ptr<dib24> image;
    try {
        if (size > 0 && *static_cast<const char*>(data) == 'B') {
            if (std::FILE* file = fmemopen(const_cast<void*>(data), size, "rb")) {
                image = readBitmap(file, why, metadata);
                std::fclose(file);
            } else {
                why = describe(BmpError::OutOfMemory);
            }
        } else {
            image = decodeWithQt(QByteArray::fromRawData(static_cast<const char*>(data),
                                                         static_cast<qsizetype>(size)),
                                 why, metadata);
        }
    } catch (const std::bad_alloc&) {
        why = describe(BmpError::OutOfMemory);
    }
    if (!image) setWhy(whyNot, std::move(why));
    return image;
}

bool writePicture(const dib24& image, const std::string& path, const PictureMetadata* metadata,
                  int quality, std::string* whyNot) {
    static const PictureMetadata kNone;
    const PictureMetadata& kept = metadata ? *metadata : kNone;
    const Format* format = formatOfName(path);
    if (!format) return writeBitmap(image, path, kept.resolution, whyNot);
    QByteArray bytes;
    std::string why;
    try {
        if (!encode(image, *format, quality, kept, bytes, why)) {
            setWhy(whyNot, "cannot write " + path + ": " + why);
            return false;
        }
    } catch (const std::bad_alloc&) {
        setWhy(whyNot, "cannot write " + path + ": " + describe(BmpError::OutOfMemory));
        return false;
    }
    const auto size = static_cast<std::size_t>(bytes.size());
    return saveFileSafely(
        path, size,
        [&bytes, size](std::FILE* file) {
            return std::fwrite(bytes.constData(), 1, size, file) == size;
        },
        whyNot);
}
