// Reading and writing picture files. Bitmaps keep their own reader and writer; the other
// formats are decoded and encoded by Qt's codecs, HEIF files decoded by libheif
// (pictures/heif_file.cpp), and converted here, once, to and from the 24-bit dib24 that the
// rest of the program knows. Files are untrusted: a picture's size
// is checked from its header before any pixel is decoded.
#include "pictures/picture_file.h"

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
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

#include "image/bmp_file.h"
#include "image/bmp_records.h"
#include "image/depth_nearness.h"
#include "image/save_file.h"
#include "image/why_not.h"
#include "pictures/heif_file.h"
#include "pictures/jpeg_depth.h"
#include "pictures/picture_metadata.h"
#include "pictures/picture_resolution.h"
#include "pictures/png_deep_rgb.h"
#include "pictures/tiff_grey_alpha.h"

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

const char* const kUnknownFormat = "not a bitmap file, nor a PNG, JPEG, TIFF, WebP or HEIC picture";

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

// Why a codec refused a file: a layout it does not read, or damage, named by the codec's
// last message, else by what the header showed wrong, else by Qt's own words. libtiff
// refuses sample layouts it does not decode with "Sorry, can not handle images with
// 32-bit samples." and the like: the file is sound, the program cannot read it.
std::string failure(const Format& format, const std::vector<std::string>& said,
                    const QString& qtReason, const std::string& headerProblem) {
    if (!said.empty() && said.back().rfind("Sorry, can not handle", 0) == 0)
        return "unsupported " + std::string(format.label) + " file (" + said.back() + ")";
    if (said.empty() && !headerProblem.empty()) return damaged(format, {headerProblem}, {});
    return damaged(format, said, qtReason);
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

// An unsigned number of `size` bytes at `at`, in the file's byte order.
std::uint64_t number(const QByteArray& data, qsizetype at, int size, bool bigEndian) {
    std::uint64_t value = 0;
    for (int i = 0; i < size; ++i) {
        const auto byte = static_cast<std::uint8_t>(data[at + (bigEndian ? i : size - 1 - i)]);
        value = value << 8 | byte;
    }
    return value;
}

// What a header declares, read here for the formats whose codecs do not refuse an
// impossible size before they decode (TIFF, WebP). `problem` names a fault of the header
// for codecs that give no reason of their own (WebP). A size of 0 x 0 is unknown.
struct Declared {
    std::int64_t width = 0, height = 0;
    std::string problem;
};

// The first image directory's ImageWidth and ImageLength. A classic TIFF entry is 12
// bytes (tag, type, count, a value of up to 4 bytes), a BigTIFF entry 20 (tag, type, an
// 8-byte count, a value of up to 8 bytes); both start with their directory's entry count.
Declared tiffSize(const QByteArray& data) {
    const bool big = data[0] == 'M';
    const bool bigTiff = number(data, 2, 2, big) == 43;
    const qsizetype size = data.size();
    if (size < (bigTiff ? 16 : 8)) return {};
    const std::uint64_t first = bigTiff ? number(data, 8, 8, big) : number(data, 4, 4, big);
    const int countSize = bigTiff ? 8 : 2, entrySize = bigTiff ? 20 : 12;
    if (first > static_cast<std::uint64_t>(size - countSize)) return {};
    const auto at = static_cast<qsizetype>(first);
    const std::uint64_t entries = number(data, at, countSize, big);
    if (entries > static_cast<std::uint64_t>((size - at - countSize) / entrySize)) return {};
    Declared declared;
    for (qsizetype entry = at + countSize; entry < at + countSize + qsizetype(entries) * entrySize;
         entry += entrySize) {
        const std::uint64_t tag = number(data, entry, 2, big),
                            type = number(data, entry + 2, 2, big);
        // SHORT, LONG, and BigTIFF's LONG8.
        const int valueSize = type == 3 ? 2 : type == 4 ? 4 : type == 16 && bigTiff ? 8 : 0;
        if ((tag != 256 && tag != 257) || valueSize == 0) continue;
        const std::uint64_t value = number(data, entry + (bigTiff ? 12 : 8), valueSize, big);
        const auto clamped = static_cast<std::int64_t>(std::min<std::uint64_t>(value, INT64_MAX));
        (tag == 256 ? declared.width : declared.height) = clamped;
    }
    if (declared.width == 0 || declared.height == 0) return {};
    return declared;
}

// The canvas of an extended WebP (VP8X: 24-bit width and height less one), or the frame of
// a simple one: lossy (VP8: a 3-byte frame tag, the start code 9D 01 2A, then 14-bit width
// and height) or lossless (VP8L: the signature 2F, then 14-bit width and height less one).
Declared webpSize(const QByteArray& data) {
    Declared declared;
    const qsizetype size = data.size();
    if (size < 30) {
        declared.problem = "the header is cut short";
        return declared;
    }
    if (startsWith(data, "VP8X", 12)) {
        declared.width = static_cast<std::int64_t>(number(data, 24, 3, false)) + 1;
        declared.height = static_cast<std::int64_t>(number(data, 27, 3, false)) + 1;
    } else if (startsWith(data, "VP8 ", 12) && startsWith(data, "\x9d\x01\x2a", 23)) {
        declared.width = static_cast<std::int64_t>(number(data, 26, 2, false) & 0x3fff);
        declared.height = static_cast<std::int64_t>(number(data, 28, 2, false) & 0x3fff);
    } else if (startsWith(data, "VP8L", 12) && data[20] == '\x2f') {
        const std::uint64_t bits = number(data, 21, 4, false);
        declared.width = static_cast<std::int64_t>(bits & 0x3fff) + 1;
        declared.height = static_cast<std::int64_t>(bits >> 14 & 0x3fff) + 1;
    } else {
        declared.problem = "the header is damaged";
        return declared;
    }
    // The RIFF header counts the bytes that follow its first 8.
    const bool cutShort = number(data, 4, 4, false) > static_cast<std::uint64_t>(size - 8);
    if (declared.width == 0 || declared.height == 0)
        declared.problem = "the picture's size is 0";
    else if (cutShort)
        declared.problem = "the file ends before its data";
    return declared;
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

// Where the picture's stored pixels land in the upright dib24: the pixel in column x of
// stored row y (counted from the top) goes to upright column `column` and row `row` (from
// the top), moved by x * xStep + y * yStep bytes.
struct Placement {
    int width = 0, height = 0;  // of the upright picture
    int column = 0, row = 0;
    std::ptrdiff_t xStep = 0, yStep = 0;
};

// EXIF orientation: 1 as stored, 2 mirrored, 3 turned 180 degrees, 4 flipped upside down,
// 5 transposed, 6 turned 90 degrees clockwise, 7 transverse, 8 turned 90 degrees
// anticlockwise. The upright column X and row Y from the top are X = cx + ax x + bx y and
// Y = cy + ay x + by y; a step down the upright picture is a step back in memory.
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
    p.column = static_cast<int>(cx);
    p.row = static_cast<int>(cy);
    p.xStep = static_cast<std::ptrdiff_t>(3 * ax - ay * stride);
    p.yStep = static_cast<std::ptrdiff_t>(3 * bx - by * stride);
    return p;
}

// 16 bits to 8, rounded to nearest: round(v x 255 / 65535). No value lies exactly halfway.
inline std::uint8_t to8Bits(std::uint32_t v) {
    return static_cast<std::uint8_t>((v * 255 + 32767) / 65535);
}

// A 16-bit colour channel `c` with the straight alpha `a`, laid over white and rounded to
// 8 bits in one step: round((c a + 65535 (65535 - a)) / 65535 x 255 / 65535).
inline std::uint8_t overWhite8Bits(std::uint64_t c, std::uint64_t a) {
    constexpr std::uint64_t kFull = 65535u * 65535u;
    return static_cast<std::uint8_t>(((c * a + 65535u * (65535u - a)) * 255 + kFull / 2) / kFull);
}

template <typename PutPixel>
void place(const QImage& picture, const Placement& p, dib24& image, PutPixel put) {
    const int width = picture.width();
    std::uint8_t* start = image.row(p.row) + 3 * p.column;
    for (int y = 0; y < picture.height(); ++y) {
        const uchar* line = picture.constScanLine(y);
        std::uint8_t* out = start + static_cast<std::ptrdiff_t>(y) * p.yStep;
        for (int x = 0; x < width; ++x, out += p.xStep) put(line, x, out);
    }
}

// The upright 24-bit image of a decoded picture in sRGB, laid over white: 8-bit colour is
// premultiplied and takes the white its alpha lets through; 16-bit colour keeps its
// straight alpha, so that both are rounded once, to 8 bits. Null when memory runs out.
std::unique_ptr<dib24> toDib(QImage& picture, int orientation) {
    switch (picture.format()) {
        case QImage::Format_Grayscale8:
        case QImage::Format_Grayscale16:
        case QImage::Format_RGB32:
        case QImage::Format_ARGB32_Premultiplied:
        case QImage::Format_RGBX64:
        case QImage::Format_RGBA64:
        case QImage::Format_RGBA64_Premultiplied:
            break;
        default: {
            // Palettes, 1-bit, alpha not premultiplied, other layouts: 16 bits per channel
            // where the picture has more than 8, else 8.
            const QPixelFormat layout = picture.pixelFormat();
            const bool deep = layout.redSize() > 8 || layout.brightnessSize() > 8;
            picture.convertTo(deep ? QImage::Format_RGBA64 : QImage::Format_ARGB32_Premultiplied);
        }
    }
    if (picture.isNull()) return nullptr;

    const Placement p = placementFor(orientation, picture.width(), picture.height());
    auto image = std::make_unique<dib24>(p.width, p.height);
    if (!image->bits) return nullptr;
    switch (picture.format()) {
        case QImage::Format_Grayscale8:
            place(picture, p, *image, [](const uchar* line, int x, std::uint8_t* out) {
                out[0] = out[1] = out[2] = line[x];
            });
            break;
        case QImage::Format_Grayscale16:
            place(picture, p, *image, [](const uchar* line, int x, std::uint8_t* out) {
                out[0] = out[1] = out[2] = to8Bits(reinterpret_cast<const quint16*>(line)[x]);
            });
            break;
        case QImage::Format_RGBX64:
        case QImage::Format_RGBA64:
            place(picture, p, *image, [](const uchar* line, int x, std::uint8_t* out) {
                const QRgba64 pixel = reinterpret_cast<const QRgba64*>(line)[x];
                out[0] = overWhite8Bits(pixel.blue(), pixel.alpha());
                out[1] = overWhite8Bits(pixel.green(), pixel.alpha());
                out[2] = overWhite8Bits(pixel.red(), pixel.alpha());
            });
            break;
        case QImage::Format_RGBA64_Premultiplied:
            // A colour above its alpha is no valid premultiplied pixel; laid over white it
            // stops at white instead of wrapping around to dark.
            place(picture, p, *image, [](const uchar* line, int x, std::uint8_t* out) {
                const QRgba64 pixel = reinterpret_cast<const QRgba64*>(line)[x];
                const std::uint32_t white = 65535u - pixel.alpha();
                out[0] = to8Bits(std::min(pixel.blue() + white, 65535u));
                out[1] = to8Bits(std::min(pixel.green() + white, 65535u));
                out[2] = to8Bits(std::min(pixel.red() + white, 65535u));
            });
            break;
        default:  // Format_RGB32, Format_ARGB32_Premultiplied
            place(picture, p, *image, [](const uchar* line, int x, std::uint8_t* out) {
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
    // Entry o - 1: the transformation that turns a picture of EXIF orientation o upright.
    using T = QImageIOHandler;
    constexpr T::Transformation kUpright[] = {T::TransformationNone,
                                              T::TransformationMirror,
                                              T::TransformationRotate180,
                                              T::TransformationFlip,
                                              T::TransformationFlipAndRotate90,
                                              T::TransformationRotate90,
                                              T::TransformationMirrorAndRotate90,
                                              T::TransformationRotate270};
    for (int o = 1; o <= 8; ++o)
        if (transformation == kUpright[o - 1]) return o;
    return 1;
}

const QList<QByteArray>& readableFormats() {
    static const QList<QByteArray> formats = QImageReader::supportedImageFormats();
    return formats;
}

const QList<QByteArray>& writableFormats() {
    static const QList<QByteArray> formats = QImageWriter::supportedImageFormats();
    return formats;
}

// The dib24 of a decoded picture, turned by `orientation` and converted to sRGB; `kept` goes
// to `metadata` once the picture is there.
std::unique_ptr<dib24> toUprightSrgb(QImage& picture, int orientation, PictureMetadata kept,
                                     std::string& why, PictureMetadata* metadata) {
    // Grey pictures stay as they are: a depth map's values are distances, not light.
    if (!isGrey(picture.format()) && !actsAsSrgb(picture.colorSpace()))
        picture.convertToColorSpace(QColorSpace::SRgb);
    std::unique_ptr<dib24> image = toDib(picture, orientation);
    if (!image) {
        // The size passed the check before decoding, but the memory it counted on is taken.
        why = "picture too large (" + std::to_string(picture.width()) + " x " +
              std::to_string(picture.height()) + ")";
        return nullptr;
    }
    if (metadata) *metadata = std::move(kept);
    return image;
}

// Decodes a HEIF file, which libheif delivers upright already.
std::unique_ptr<dib24> decodeWithLibheif(const QByteArray& file, std::string& why,
                                         PictureMetadata* metadata) {
    QImage picture;
    PictureMetadata kept;
    CodecMessages messages;
    const bool decoded = decodeHeif(file.constData(), static_cast<std::size_t>(file.size()),
                                    picture, metadata ? &kept : nullptr, &why);
    messages.stop();
    if (!decoded) return nullptr;
    return toUprightSrgb(picture, 1, std::move(kept), why, metadata);
}

// Decodes a picture of `format` with the checks every file gets: its size from the header
// alone, so that a picture too large is refused before a single pixel is decoded however
// few bytes claim it; libjpeg's warnings of missing data; a JPEG's end-of-image marker.
// Pixels as stored, not turned; `transformation` receives Qt's reading of the orientation.
bool decodeChecked(const QByteArray& file, const Format& format, QImage& picture,
                   QImageIOHandler::Transformations& transformation, std::string& why) {
    allowLargePictures();
    why = missingCodec(format, readableFormats());
    if (!why.empty()) return false;

    QBuffer buffer;
    buffer.setData(file);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, format.qtName);
    reader.setAutoTransform(false);  // the caller turns the pixels

    // The size comes from the header alone: a picture too large is refused before a single
    // pixel is decoded, however few bytes claim it.
    const Declared declared = &format == &kTiff   ? tiffSize(file)
                              : &format == &kWebp ? webpSize(file)
                                                  : Declared{};
    why = pictureSizeRefusal(declared.width, declared.height);
    if (!why.empty()) return false;
    CodecMessages headerMessages;
    const QSize size = reader.size();
    const QImage::Format decodedFormat = reader.imageFormat();
    const std::vector<std::string> saidOfHeader = headerMessages.stop();
    if (!size.isValid()) {
        why = failure(format, saidOfHeader, reader.errorString(), declared.problem);
        return false;
    }
    // Qt decodes into a picture of its own before the 24-bit copy is made.
    const int decodedBits = QImage::toPixelFormat(decodedFormat).bitsPerPixel();
    why = pictureSizeRefusal(size.width(), size.height(), decodedBits > 0 ? decodedBits / 8 : 4);
    if (!why.empty()) return false;

    std::vector<std::string> said;
    bool decoded = false;
    if (&format == &kPng && png_deep_rgb::applies(file)) {
        std::string reason;
        picture = png_deep_rgb::read(file, &reason);
        decoded = !picture.isNull();
        if (!decoded) said.push_back(reason);
    } else {
        CodecMessages messages;
        std::optional<QImage> greyAlpha;
        if (&format == &kTiff) greyAlpha = tiff_grey_alpha::read(file);
        if (greyAlpha) {
            picture = std::move(*greyAlpha);
            decoded = !picture.isNull();
        } else {
            decoded = reader.read(&picture);
        }
        said = messages.stop();
    }
    if (!decoded || picture.isNull()) {
        why = failure(format, said, reader.errorString(), declared.problem);
        return false;
    }
    if (&format == &kJpeg) {
        const auto missing = std::find_if(said.begin(), said.end(), isMissingJpegData);
        if (missing != said.end()) {
            why = damaged(format, {*missing}, {});
            return false;
        }
        if (!jpegIsComplete(file)) {
            why = damaged(format, {"the data ends before the end-of-image marker"}, {});
            return false;
        }
    }
    why = pictureSizeRefusal(picture.width(), picture.height());
    transformation = reader.transformation();
    return why.empty();
}

// Decodes a PNG, JPEG, TIFF or WebP file, or hands a HEIF file to libheif; `file` is
// released once its pixels are decoded.
std::unique_ptr<dib24> decodeWithQt(QByteArray file, std::string& why, PictureMetadata* metadata) {
    const Format* format = formatOfContent(file);
    if (!format && isHeifFile(file.constData(), static_cast<std::size_t>(file.size())))
        return decodeWithLibheif(file, why, metadata);
    if (!format) {
        why = kUnknownFormat;
        return nullptr;
    }
    QImage picture;
    QImageIOHandler::Transformations transformation;
    if (!decodeChecked(file, *format, picture, transformation, why)) return nullptr;

    PictureMetadata kept;
    int orientation = picture_metadata::read(file, metadata ? &kept : nullptr);
    // The file's own resolution field, where it states one, is what viewers show.
    if (const Resolution own = picture_resolution::read(file); own.stated()) kept.resolution = own;
    if (orientation == 0) orientation = orientationOf(transformation);
    file = QByteArray();
    return toUprightSrgb(picture, orientation, std::move(kept), why, metadata);
}

// The codes of a depth map's own picture as they are stored: grey, 8 or 16 bits, never
// turned (the photo's orientation turns them later). A picture in colour is taken by its
// brightness.
bool decodeDepthCodes(const QByteArray& file, StoredDepth& depth, std::string& why) {
    const Format* format = formatOfContent(file);
    if (format != &kPng && format != &kJpeg) {
        why = "the depth map is not a PNG or JPEG picture";
        return false;
    }
    QImage picture;
    QImageIOHandler::Transformations transformation;
    if (!decodeChecked(file, *format, picture, transformation, why)) return false;
    if (!isGrey(picture.format())) {
        const QPixelFormat layout = picture.pixelFormat();
        const bool deep = layout.redSize() > 8 || layout.brightnessSize() > 8;
        picture.convertTo(deep ? QImage::Format_Grayscale16 : QImage::Format_Grayscale8);
        if (picture.isNull()) throw std::bad_alloc();
    }
    const bool deep = picture.format() == QImage::Format_Grayscale16;
    depth.width = picture.width();
    depth.height = picture.height();
    depth.bitDepth = deep ? 16 : 8;
    depth.codes.resize(static_cast<std::size_t>(depth.width) * depth.height);
    std::uint16_t* out = depth.codes.data();
    for (int y = 0; y < depth.height; ++y) {
        const uchar* line = picture.constScanLine(y);
        for (int x = 0; x < depth.width; ++x)
            *out++ = deep ? reinterpret_cast<const quint16*>(line)[x] : line[x];
    }
    return true;
}

// A HEIF photo's depth image. libheif turns it by its own transformations, the photo's.
PhotoDepth depthOfHeifPhoto(const QByteArray& file) {
    PhotoDepth result;
    CodecMessages messages;
    std::optional<HeifDepthImage> depth =
        readHeifDepth(file.constData(), static_cast<std::size_t>(file.size()), &result.why);
    messages.stop();
    if (!depth && result.why.empty()) return result;
    result.status = PhotoDepth::Status::Unusable;
    if (!depth) return result;
    const std::optional<StoredDepth> stored = storedDepthOf(std::move(*depth), &result.why);
    if (!stored) return result;
    result.mask = uprightNearnessMask(*stored, 1, &result.why);
    if (result.mask) result.status = PhotoDepth::Status::Read;
    return result;
}

PhotoDepth depthOfPhoto(const QByteArray& file) {
    if (isHeifFile(file.constData(), static_cast<std::size_t>(file.size())))
        return depthOfHeifPhoto(file);
    PhotoDepth result;
    if (formatOfContent(file) != &kJpeg) return result;
    const jpeg_depth::Found found =
        jpeg_depth::find(std::string_view(file.constData(), static_cast<std::size_t>(file.size())));
    if (found.outcome == jpeg_depth::Outcome::None) return result;
    result.status = PhotoDepth::Status::Unusable;
    if (found.outcome == jpeg_depth::Outcome::Refused) {
        result.why = found.why;
        return result;
    }
    StoredDepth depth;
    depth.representation = found.representation;
    depth.near = found.near;
    depth.far = found.far;
    depth.units = found.units;
    if (!decodeDepthCodes(QByteArray::fromRawData(found.picture.data(),
                                                  static_cast<qsizetype>(found.picture.size())),
                          depth, result.why))
        return result;
    // The photo's orientation as its own reading takes it: exiv2's, else Qt's.
    int orientation = picture_metadata::read(file, nullptr);
    if (orientation == 0) {
        QBuffer buffer;
        buffer.setData(file);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer, kJpeg.qtName);
        orientation = orientationOf(reader.transformation());
    }
    result.mask = uprightNearnessMask(depth, orientation, &result.why);
    if (result.mask) result.status = PhotoDepth::Status::Read;
    return result;
}

PhotoDepth depthRefused(std::string why) {
    PhotoDepth result;
    result.status = PhotoDepth::Status::Unusable;
    result.why = std::move(why);
    return result;
}

// The bitmap reader, exactly as the programs have always used it. Bitmaps carry no
// metadata.
std::unique_ptr<dib24> readBitmap(std::FILE* file, std::string& why, PictureMetadata* metadata) {
    std::unique_ptr<dib24> image = readBitmapFile(file, &why);
    if (image && metadata) *metadata = {};
    return image;
}

// The rest of an open file, read to its end; false after a read error.
bool readRest(std::FILE* file, QByteArray& bytes) {
    struct stat info;
    if (fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode))
        bytes.reserve(static_cast<qsizetype>(info.st_size));
    char chunk[1 << 16];
    while (const std::size_t got = std::fread(chunk, 1, sizeof chunk, file))
        bytes.append(chunk, static_cast<qsizetype>(got));
    return !std::ferror(file);
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
    if (!readRest(file, bytes)) {
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

// The picture as Qt's writers take it: top row first, red, green, blue; or its blue
// channel as grey.
QImage toQImage(const dib24& image, bool grey) {
    QImage picture(image.width, image.height,
                   grey ? QImage::Format_Grayscale8 : QImage::Format_RGB888);
    if (picture.isNull()) return picture;
    for (int t = 0; t < image.height; ++t) {
        const std::uint8_t* in = image.row(t);
        uchar* out = picture.scanLine(t);
        if (grey) {
            for (int x = 0; x < image.width; ++x) out[x] = in[3 * x];
            continue;
        }
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
            bool grey, QByteArray& bytes, std::string& why) {
    if (!image.bits) {
        why = "the picture holds no pixels";
        return false;
    }
    why = missingCodec(format, writableFormats());
    if (!why.empty()) return false;
    {
        QImage picture = toQImage(image, grey);
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
        return picture_metadata::write(bytes, metadata, image.width, image.height, &why);
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

std::string pictureSizeRefusal(std::int64_t width, std::int64_t height, int decodedBytesPerPixel) {
    if (width <= 0 || height <= 0) return {};
    const bool tooMany = width > kMaxPicturePixels / height;
    if (tooMany || static_cast<std::uint64_t>(
                       (dib24::strideFor(width) + std::int64_t{decodedBytesPerPixel} * width) *
                       height) > addressableBytes())
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

namespace {

bool writeEncoded(const dib24& image, const std::string& path, const PictureMetadata* metadata,
                  int quality, bool grey, std::string* whyNot) {
    static const PictureMetadata kNone;
    const PictureMetadata& kept = metadata ? *metadata : kNone;
    const Format* format = formatOfName(path);
    if (!format) return writeBitmap(image, path, kept.resolution, whyNot);
    QByteArray bytes;
    std::string why;
    try {
        if (!encode(image, *format, quality, kept, grey, bytes, why)) {
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

}  // namespace

bool writePicture(const dib24& image, const std::string& path, const PictureMetadata* metadata,
                  int quality, std::string* whyNot) {
    return writeEncoded(image, path, metadata, quality, false, whyNot);
}

bool writeGreyPicture(const dib24& image, const std::string& path, int quality,
                      std::string* whyNot) {
    return writeEncoded(image, path, nullptr, quality, true, whyNot);
}

std::unique_ptr<dib24> uprightNearnessMask(const StoredDepth& depth, int orientation,
                                           std::string* whyNot) {
    if (!accepted(pictureSizeRefusal(depth.width, depth.height), whyNot)) return nullptr;
    const std::optional<std::vector<std::uint8_t>> nearness = nearnessMask(depth, whyNot);
    if (!nearness) return nullptr;
    // Through the grey picture that every reading turns upright.
    QImage picture(depth.width, depth.height, QImage::Format_Grayscale8);
    if (picture.isNull()) throw std::bad_alloc();
    for (int y = 0; y < depth.height; ++y)
        std::memcpy(picture.scanLine(y),
                    nearness->data() + static_cast<std::size_t>(y) * depth.width,
                    static_cast<std::size_t>(depth.width));
    std::unique_ptr<dib24> mask = toDib(picture, orientation);
    if (!mask) throw std::bad_alloc();
    return mask;
}

PhotoDepth readPhotoDepth(const std::string& path) {
    try {
        std::FILE* file = std::fopen(path.c_str(), "rb");
        if (!file) return depthRefused(std::generic_category().message(errno));
        QByteArray bytes;
        const bool failed = !readRest(file, bytes);
        std::fclose(file);
        if (failed) return depthRefused(describe(BmpError::ReadFailed));
        return depthOfPhoto(bytes);
    } catch (const std::bad_alloc&) {
        return depthRefused(describe(BmpError::OutOfMemory));
    }
}
