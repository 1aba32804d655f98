#include "image/picture_metadata.h"

#include <exiv2/exiv2.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <iterator>
#include <mutex>
#include <numeric>
#include <stdexcept>
#include <string>

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
        const int orientation = orientationOf(*image);
        if (kept) {
            Exiv2::ExifData& exif = image->exifData();
            kept->resolution = resolutionOf(exif);
            forgetStoredPixels(exif);
            if (!exif.empty()) {
                Exiv2::ByteOrder order = image->byteOrder();
                if (order == Exiv2::invalidByteOrder) order = Exiv2::littleEndian;
                Exiv2::Blob blob;
                Exiv2::ExifParser::encode(blob, order, exif);
                kept->exif.assign(blob.begin(), blob.end());
            }
            kept->xmp = keptXmp(image->xmpPacket());
        }
        return orientation;
    } catch (...) {
        // Damaged or unknown metadata: the picture comes in without it.
        if (kept) *kept = {};
        return 0;
    }
}

bool write(QByteArray& file, const PictureMetadata& metadata, int width, int height,
           std::string& why) {
    initialise();
    try {
        Exiv2::Image::AutoPtr image = open(file);
        // What the writer put there stays: the colour profile, and a TIFF file's structure.
        image->readMetadata();
        if (!metadata.exif.empty()) {
            Exiv2::ExifData source;
            Exiv2::ExifParser::decode(source,
                                      reinterpret_cast<const Exiv2::byte*>(metadata.exif.data()),
                                      static_cast<std::uint32_t>(metadata.exif.size()));
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
        why = std::string("cannot add the metadata: ") + error.what();
        return false;
    }
}

}  // namespace picture_metadata
