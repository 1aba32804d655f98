#include "pictures/picture_metadata.h"

#include <exiv2/exiv2.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <mutex>
#include <numeric>
#include <stdexcept>
#include <string>

#include "image/why_not.h"
#include "pictures/picture_file.h"

namespace picture_metadata {

namespace {

// exiv2's XMP toolkit must be set up once before any XMP is parsed, and exiv2 would print
// its warnings about odd metadata on standard error, which is the programs' own.
void initialise() {
    static std::once_flag once;
    std::call_once(once, [] {
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        Exiv2::XmpParser::initialize();
        std::atexit([] { Exiv2::XmpParser::terminate(); });
    });
}

Exiv2::Image::AutoPtr open(const QByteArray& file) {
    return Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte*>(file.constData()),
                                     static_cast<long>(file.size()));
}

// Tags of the first image directory that describe how the file stores its pixels; in a
// TIFF file they are the picture's structure. None of them may travel to a file whose
// pixels another writer laid out, and the colour description (primaries, white point,
// transfer function, profile) no longer holds once the pixels are sRGB.
constexpr const char* kPixelTags[] = {"NewSubfileType",
                                      "SubfileType",
                                      "ImageWidth",
                                      "ImageLength",
                                      "BitsPerSample",
                                      "Compression",
                                      "PhotometricInterpretation",
                                      "Thresholding",
                                      "CellWidth",
                                      "CellLength",
                                      "FillOrder",
                                      "StripOffsets",
                                      "Orientation",
                                      "SamplesPerPixel",
                                      "RowsPerStrip",
                                      "StripByteCounts",
                                      "MinSampleValue",
                                      "MaxSampleValue",
                                      "PlanarConfiguration",
                                      "GrayResponseUnit",
                                      "GrayResponseCurve",
                                      "T4Options",
                                      "T6Options",
                                      "TransferFunction",
                                      "Predictor",
                                      "WhitePoint",
                                      "PrimaryChromaticities",
                                      "ColorMap",
                                      "HalftoneHints",
                                      "TileWidth",
                                      "TileLength",
                                      "TileOffsets",
                                      "TileByteCounts",
                                      "SubIFDs",
                                      "InkSet",
                                      "InkNames",
                                      "NumberOfInks",
                                      "DotRange",
                                      "ExtraSamples",
                                      "SampleFormat",
                                      "SMinSampleValue",
                                      "SMaxSampleValue",
                                      "TransferRange",
                                      "JPEGTables",
                                      "JPEGProc",
                                      "JPEGInterchangeFormat",
                                      "JPEGInterchangeFormatLength",
                                      "JPEGRestartInterval",
                                      "JPEGLosslessPredictors",
                                      "JPEGPointTransforms",
                                      "JPEGQTables",
                                      "JPEGDCTables",
                                      "JPEGACTables",
                                      "YCbCrCoefficients",
                                      "YCbCrSubSampling",
                                      "YCbCrPositioning",
                                      "ReferenceBlackWhite",
                                      "XMLPacket",
                                      "IPTCNAA",
                                      "ImageResources",
                                      "InterColorProfile"};

// Directories of other images in the file: the thumbnail (which shows the picture before
// any change) and the sub-images of raw and multi-page files.
constexpr const char* kOtherImageGroups[] = {"Thumbnail", "SubImage", "SubThumb", "Image2",
                                             "Image3"};

bool describesStoredPixels(const Exiv2::Exifdatum& datum) {
    const std::string group = datum.groupName();
    for (const char* other : kOtherImageGroups)
        if (group.rfind(other, 0) == 0) return true;
    if (group != "Image") return false;
    const std::string tag = datum.tagName();
    return std::any_of(std::begin(kPixelTags), std::end(kPixelTags),
                       [&](const char* name) { return tag == name; });
}

// Sets `key` where the data has it already; the dimensions and orientation of XMP are
// only corrected, never added.
void correct(Exiv2::XmpData& xmp, const char* key, const std::string& value) {
    const auto found = xmp.findKey(Exiv2::XmpKey(key));
    if (found != xmp.end()) found->setValue(value);
}

void forgetStoredPixels(Exiv2::ExifData& exif) {
    for (auto datum = exif.begin(); datum != exif.end();)
        datum = describesStoredPixels(*datum) ? exif.erase(datum) : std::next(datum);
    // Pictures are read as sRGB; an Adobe RGB photo says "uncalibrated" and "R03" here.
    if (auto space = exif.findKey(Exiv2::ExifKey("Exif.Photo.ColorSpace")); space != exif.end())
        *space = std::uint16_t{1};
    auto index = exif.findKey(Exiv2::ExifKey("Exif.Iop.InteroperabilityIndex"));
    if (index != exif.end() && index->toString() == "R03") index->setValue("R98");
}

// Entries whose value exiv2 could not read, such as one whose offset points past the end
// of the block: it keeps them with no value, and a file written with them would carry a
// field of no bytes (an ASCII text without its closing null, for one).
void dropBroken(Exiv2::ExifData& exif) {
    for (auto datum = exif.begin(); datum != exif.end();)
        datum = datum->count() == 0 || datum->size() == 0 ? exif.erase(datum) : std::next(datum);
}

std::uint32_t unsignedAt(const Exiv2::byte* at, int size, Exiv2::ByteOrder order) {
    return size == 2 ? Exiv2::getUShort(at, order) : Exiv2::getULong(at, order);
}

// The EXIF block (TIFF structure) of an EXIF directory that exiv2 refuses to read, as it
// does any directory of more than 256 entries. Each directory's entries are bounded by the
// block; an entry whose type is unknown or whose value lies outside the block is dropped.
// Of the rest, every tag that exiv2 knows is kept, and unknown ones as long as the
// directory stays readable where it is written: exiv2 and the tools built on it refuse a
// directory of more than 256 entries, libtiff a whole TIFF file whose first one has more
// than 4096, and a TIFF writer adds its own structure (about 20 tags) to that one. Only the
// fixed chain of directories is followed (the main one, its Exif and GPS directories, and
// the Exif directory's interoperability one), each once.
class LenientExif {
public:
    LenientExif(const Exiv2::byte* data, std::size_t size) : data_(data), size_(size) {}

    Exiv2::ExifData read() {
        if (size_ < 8) return {};
        if (std::memcmp(data_, "II", 2) == 0) {
            order_ = Exiv2::littleEndian;
        } else if (std::memcmp(data_, "MM", 2) == 0) {
            order_ = Exiv2::bigEndian;
        } else {
            return {};
        }
        if (unsignedAt(data_ + 2, 2, order_) != 42) return {};
        directory(unsignedAt(data_ + 4, 4, order_), "Image");
        return std::move(exif_);
    }

private:
    static constexpr int kMostEntries = 224;

    void directory(std::uint64_t at, const std::string& group) {
        if (at > size_ - 2) return;
        const std::uint64_t count = unsignedAt(data_ + at, 2, order_);
        if (count > (size_ - at - 2) / 12) return;
        int kept = 0;
        for (const bool known : {true, false})
            for (std::uint64_t i = 0; i < count; ++i)
                kept += entry(data_ + at + 2 + 12 * i, group, known, kept < kMostEntries);
    }

    // Reads the entry at `at` if exiv2 knows its tag (`known`) or not, and adds it when
    // `room` is left or its tag is known; says whether it was added.
    bool entry(const Exiv2::byte* at, const std::string& group, bool known, bool room) {
        const std::uint16_t tag = Exiv2::getUShort(at, order_);
        const auto type = static_cast<Exiv2::TypeId>(Exiv2::getUShort(at + 2, order_));
        const std::uint64_t count = Exiv2::getULong(at + 4, order_);
        const std::uint64_t offset = Exiv2::getULong(at + 8, order_);
        const std::string sub = group == "Image" && tag == 0x8769   ? "Photo"
                                : group == "Image" && tag == 0x8825 ? "GPSInfo"
                                : group == "Photo" && tag == 0xA005 ? "Iop"
                                                                    : "";
        if (!sub.empty()) {
            if (known) directory(offset, sub);
            return false;
        }
        const Exiv2::ExifKey key(tag, group);
        if (known == (key.tagName().rfind("0x", 0) == 0) || (!known && !room)) return false;
        const long unit = type >= Exiv2::unsignedByte && type <= Exiv2::tiffIfd
                              ? Exiv2::TypeInfo::typeSize(type)
                              : 0;
        if (unit == 0 || count == 0 || count > size_ / static_cast<std::uint64_t>(unit))
            return false;
        const std::uint64_t length = count * static_cast<std::uint64_t>(unit);
        const Exiv2::byte* value = length <= 4 ? at + 8 : data_ + offset;
        if (length > 4 && (offset > size_ || length > size_ - offset)) return false;
        Exiv2::Value::AutoPtr read = Exiv2::Value::create(type);
        if (read->read(value, static_cast<long>(length), order_) != 0) return false;
        exif_.add(key, read.get());
        return true;
    }

    const Exiv2::byte* data_;
    std::size_t size_;
    Exiv2::ByteOrder order_ = Exiv2::littleEndian;
    Exiv2::ExifData exif_;
};

bool startsWith(const QByteArray& data, qsizetype at, const char* text) {
    const auto length = static_cast<qsizetype>(std::strlen(text));
    return at >= 0 && data.size() - at >= length &&
           std::memcmp(data.constData() + at, text, static_cast<std::size_t>(length)) == 0;
}

// The EXIF block of a JPEG (an APP1 segment after "Exif\0\0"), PNG (the eXIf chunk) or WebP
// file (the EXIF chunk); a TIFF file is one itself. Empty when the file holds none.
QByteArray rawExif(const QByteArray& file) {
    const auto* bytes = reinterpret_cast<const Exiv2::byte*>(file.constData());
    const qsizetype size = file.size();
    if (startsWith(file, 0, "II") || startsWith(file, 0, "MM")) return file;
    if (startsWith(file, 0, "\xff\xd8")) {
        // Segments: FF, the marker, a 2-byte length that counts itself; the scan ends them.
        for (qsizetype at = 2; size - at >= 4 && bytes[at] == 0xFF && bytes[at + 1] != 0xDA;) {
            const qsizetype length = Exiv2::getUShort(bytes + at + 2, Exiv2::bigEndian);
            if (length < 2 || length > size - at - 2) break;
            if (bytes[at + 1] == 0xE1 && startsWith(file, at + 4, "Exif") && length >= 8)
                return file.mid(at + 10, length - 8);
            at += 2 + length;
        }
    } else if (startsWith(file, 0, "\x89PNG")) {
        // Chunks: a 4-byte length, the type, the data, a checksum.
        for (qsizetype at = 8; size - at >= 12;) {
            const std::uint32_t length = Exiv2::getULong(bytes + at, Exiv2::bigEndian);
            if (length > static_cast<std::uint64_t>(size - at - 12)) break;
            if (startsWith(file, at + 4, "eXIf")) return file.mid(at + 8, length);
            at += 12 + static_cast<qsizetype>(length);
        }
    } else if (startsWith(file, 0, "RIFF")) {
        // Chunks after "WEBP": the type, a 4-byte little-endian length, data padded to even.
        for (qsizetype at = 12; size - at >= 8;) {
            const std::uint32_t length = Exiv2::getULong(bytes + at + 4, Exiv2::littleEndian);
            if (length > static_cast<std::uint64_t>(size - at - 8)) break;
            if (startsWith(file, at, "EXIF")) {
                const bool marked = startsWith(file, at + 8, "Exif");  // as some writers do
                return file.mid(at + 8 + (marked ? 6 : 0), length - (marked ? 6 : 0));
            }
            at += 8 + static_cast<qsizetype>(length + (length & 1));
        }
    }
    return {};
}

// The entries of an EXIF block, as exiv2 reads it, or leniently where exiv2 gives up.
Exiv2::ExifData decodeExif(const QByteArray& block) {
    Exiv2::ExifData exif;
    const auto* bytes = reinterpret_cast<const Exiv2::byte*>(block.constData());
    const auto size = static_cast<std::size_t>(block.size());
    try {
        Exiv2::ExifParser::decode(exif, bytes, static_cast<std::uint32_t>(size));
    } catch (...) {
        exif.clear();
    }
    if (exif.empty()) exif = LenientExif(bytes, size).read();
    return exif;
}

std::string keptExif(Exiv2::ExifData& exif, Exiv2::ByteOrder order) {
    forgetStoredPixels(exif);
    if (exif.empty()) return {};
    if (order == Exiv2::invalidByteOrder) order = Exiv2::littleEndian;
    Exiv2::Blob blob;
    Exiv2::ExifParser::encode(blob, order, exif);
    return std::string(blob.begin(), blob.end());
}

std::string keptXmp(const std::string& packet) {
    Exiv2::XmpData xmp;
    if (packet.empty() || Exiv2::XmpParser::decode(xmp, packet) != 0 || xmp.empty()) return {};
    for (const char* key :
         {"Xmp.tiff.BitsPerSample", "Xmp.tiff.Compression", "Xmp.tiff.PhotometricInterpretation",
          "Xmp.tiff.SamplesPerPixel", "Xmp.tiff.PlanarConfiguration", "Xmp.photoshop.ICCProfile"}) {
        const auto found = xmp.findKey(Exiv2::XmpKey(key));
        if (found != xmp.end()) xmp.erase(found);
    }
    correct(xmp, "Xmp.exif.ColorSpace", "1");
    std::string kept;
    if (Exiv2::XmpParser::encode(kept, xmp) != 0) return {};
    return kept;
}

// The resolution that the first image directory states: in a TIFF file the picture's own,
// elsewhere the EXIF's. The unit is the inch unless it says otherwise (2 inch, 3 centimetre;
// 1 gives an aspect ratio only).
Resolution resolutionOf(const Exiv2::ExifData& exif) {
    const auto x = exif.findKey(Exiv2::ExifKey("Exif.Image.XResolution"));
    const auto y = exif.findKey(Exiv2::ExifKey("Exif.Image.YResolution"));
    const auto unit = exif.findKey(Exiv2::ExifKey("Exif.Image.ResolutionUnit"));
    if (x == exif.end() || y == exif.end() || x->count() == 0 || y->count() == 0) return {};
    const long unitValue = unit != exif.end() && unit->count() > 0 ? unit->toLong() : 2;
    const double perX = x->toFloat(), perY = y->toFloat();
    if ((unitValue != 2 && unitValue != 3) || !(perX > 0) || !(perY > 0) || !std::isfinite(perX) ||
        !std::isfinite(perY))
        return {};
    return {unitValue == 2 ? Resolution::Unit::Inch : Resolution::Unit::Centimetre, perX, perY};
}

// A rational close to `value`, as EXIF and TIFF store a resolution: whole numbers exactly.
Exiv2::URational rationalOf(double value) {
    std::uint32_t denominator = 1;
    while (denominator < 10000 &&
           std::abs(value * denominator - std::round(value * denominator)) > 1e-6)
        denominator *= 10;
    const double numerator = std::clamp(std::round(value * denominator), 1.0, 4294967295.0);
    const std::uint32_t whole = static_cast<std::uint32_t>(numerator);
    const std::uint32_t common = std::gcd(whole, denominator);
    return {whole / common, denominator / common};
}

// States `resolution` in the first image directory, or an aspect ratio of 1:1 (unit
// "none") where `required` (a TIFF file must have one) and no resolution is known; where
// neither, it states none.
void setResolution(Exiv2::ExifData& exif, const Resolution& resolution, bool required) {
    const char* const keys[] = {"Exif.Image.XResolution", "Exif.Image.YResolution",
                                "Exif.Image.ResolutionUnit"};
    if (!resolution.stated()) {
        for (const char* key : keys) {
            const auto found = exif.findKey(Exiv2::ExifKey(key));
            if (found != exif.end()) exif.erase(found);
        }
        if (!required) return;
        exif[keys[0]] = Exiv2::URational(1, 1);
        exif[keys[1]] = Exiv2::URational(1, 1);
        exif[keys[2]] = std::uint16_t{1};
        return;
    }
    // Per metre (from a PNG) is written per centimetre, the smallest unit EXIF knows.
    const bool perMetre = resolution.unit == Resolution::Unit::Metre;
    const double scale = perMetre ? 0.01 : 1.0;
    exif[keys[0]] = rationalOf(resolution.x * scale);
    exif[keys[1]] = rationalOf(resolution.y * scale);
    exif[keys[2]] = static_cast<std::uint16_t>(resolution.unit == Resolution::Unit::Inch ? 2 : 3);
}

int orientationOf(const Exiv2::Image& image) {
    long value = 0;
    const Exiv2::ExifData& exif = image.exifData();
    const auto inExif = exif.findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
    if (inExif != exif.end() && inExif->count() > 0) {
        value = inExif->toLong();
    } else {
        const Exiv2::XmpData& xmp = image.xmpData();
        const auto inXmp = xmp.findKey(Exiv2::XmpKey("Xmp.tiff.Orientation"));
        if (inXmp != xmp.end() && inXmp->count() > 0) value = inXmp->toLong();
    }
    return value >= 1 && value <= 8 ? static_cast<int>(value) : 0;
}

}  // namespace

int read(const QByteArray& file, PictureMetadata* kept) {
    initialise();
    try {
        Exiv2::Image::AutoPtr image = open(file);
        image->readMetadata();
        Exiv2::ExifData& exif = image->exifData();
        if (exif.empty()) {
            const QByteArray block = rawExif(file);
            if (!block.isEmpty()) exif = decodeExif(block);
        }
        dropBroken(exif);
        const int orientation = orientationOf(*image);
        if (kept) {
            kept->resolution = resolutionOf(exif);
            kept->exif = keptExif(exif, image->byteOrder());
            kept->xmp = keptXmp(image->xmpPacket());
        }
        return orientation;
    } catch (...) {
        // Damaged or unknown metadata: the picture comes in without it.
        if (kept) *kept = {};
        return 0;
    }
}

void keep(const std::string& exif, const std::string& xmp, PictureMetadata& kept) {
    initialise();
    kept = {};
    try {
        if (!exif.empty()) {
            Exiv2::ExifData data = decodeExif(QByteArray(exif.data(), qsizetype(exif.size())));
            dropBroken(data);
            kept.resolution = resolutionOf(data);
            const bool bigEndian = exif.compare(0, 2, "MM") == 0;
            kept.exif = keptExif(data, bigEndian ? Exiv2::bigEndian : Exiv2::littleEndian);
        }
        kept.xmp = keptXmp(xmp);
    } catch (...) {
        kept = {};
    }
}

bool write(QByteArray& file, const PictureMetadata& metadata, int width, int height,
           std::string* whyNot) {
    initialise();
    try {
        Exiv2::Image::AutoPtr image = open(file);
        // What the writer put there stays: the colour profile, and a TIFF file's structure.
        image->readMetadata();
        if (!metadata.exif.empty()) {
            const Exiv2::ExifData source = decodeExif(QByteArray::fromRawData(
                metadata.exif.data(), static_cast<qsizetype>(metadata.exif.size())));
            Exiv2::ExifData& target = image->exifData();
            if (target.empty()) {
                target = source;
            } else {
                for (const Exiv2::Exifdatum& datum : source)
                    if (!describesStoredPixels(datum)) target[datum.key()] = datum.value();
            }
            // The pixels are upright now, and of the size written.
            target["Exif.Image.Orientation"] = std::uint16_t{1};
            target["Exif.Photo.PixelXDimension"] = static_cast<std::uint32_t>(width);
            target["Exif.Photo.PixelYDimension"] = static_cast<std::uint32_t>(height);
        }
        // The EXIF states the resolution that the file's own fields state, and a TIFF
        // file's resolution is its own: one number in every place.
        const bool tiff = image->imageType() == Exiv2::ImageType::tiff;
        if (tiff || !image->exifData().empty())
            setResolution(image->exifData(), metadata.resolution, tiff);
        if (!metadata.xmp.empty()) {
            Exiv2::XmpData xmp;
            if (Exiv2::XmpParser::decode(xmp, metadata.xmp) == 0) {
                correct(xmp, "Xmp.tiff.Orientation", "1");
                correct(xmp, "Xmp.tiff.ImageWidth", std::to_string(width));
                correct(xmp, "Xmp.tiff.ImageLength", std::to_string(height));
                correct(xmp, "Xmp.exif.PixelXDimension", std::to_string(width));
                correct(xmp, "Xmp.exif.PixelYDimension", std::to_string(height));
                image->setXmpData(xmp);
            }
        }
        image->writeMetadata();

        Exiv2::BasicIo& io = image->io();
        if (io.open() != 0) throw std::runtime_error("cannot read back the written file");
        const Exiv2::DataBuf written = io.read(static_cast<long>(io.size()));
        io.close();
        file = QByteArray(reinterpret_cast<const char*>(written.pData_), written.size_);
        return true;
    } catch (const std::exception& error) {
        setWhy(whyNot, std::string("cannot add the metadata: ") + error.what());
        return false;
    }
}

}  // namespace picture_metadata
