// Picture files of every kind the programs take: Windows bitmaps through the bitmap reader
// and writer (image/bmp_file.h), PNG, JPEG, TIFF and WebP through Qt's image codecs. Every
// picture comes in as the 24-bit dib24 it is shown as: turned upright by its EXIF
// orientation, converted to sRGB, laid over white, 16-bit channels rounded to 8 bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "image/dib24.h"

// How many pixels a picture has per unit of length, as its file states it.
struct Resolution {
    enum class Unit { None, Inch, Centimetre, Metre };
    Unit unit = Unit::None;  // None: the file states no resolution
    double x = 0, y = 0;     // pixels per unit, horizontally and vertically
    bool stated() const { return unit != Unit::None; }
    bool operator==(const Resolution&) const = default;
};

// The camera's description of a picture (camera, lens, date, place) and its resolution,
// kept from the file it was read from so that pictures written from it carry them on.
struct PictureMetadata {
    std::string exif;  // the EXIF block (TIFF structure, byte-order mark first), or empty
    std::string xmp;   // the XMP packet, or empty
    Resolution resolution;
    // Neither EXIF nor XMP (the resolution aside).
    bool empty() const { return exif.empty() && xmp.empty(); }
};

// Reads the picture file at `path`. Null when it cannot be read; `whyNot`, when given, then
// holds one line naming the reason. `metadata`, when given, receives the file's EXIF and XMP
// and its resolution: the JPEG's JFIF density or the PNG's pHYs where they state one, else
// the EXIF's (nothing for bitmaps).
std::unique_ptr<dib24> readPicture(const std::string& path, std::string* whyNot = nullptr,
                                   PictureMetadata* metadata = nullptr);

// The same for a file's bytes held in memory, such as a picture on the clipboard.
std::unique_ptr<dib24> decodePicture(const void* data, std::size_t size,
                                     std::string* whyNot = nullptr,
                                     PictureMetadata* metadata = nullptr);

// The largest picture read, in pixels.
constexpr std::int64_t kMaxPicturePixels = 250'000'000;

// "picture too large (W x H)" for a picture above kMaxPicturePixels or whose 24-bit pixels,
// together with a decoder's copy at `decodedBytesPerPixel`, would not fit in the memory
// this process may address; empty for any other size.
std::string pictureSizeRefusal(std::int64_t width, std::int64_t height,
                               int decodedBytesPerPixel = 0);

// Raises Qt's own limit on the memory a decoded picture may take (128 MiB unless the
// program says otherwise) so that every picture of an accepted size decodes. The readers
// here call it themselves; code that has Qt decode a picture directly calls it first.
void allowLargePictures();

constexpr int kDefaultQuality = 95;

// Writes `image` to `path` in the format its extension names, ignoring case: .png (8-bit,
// lossless), .jpg or .jpeg and .webp (lossy, at `quality` 1 ... 100), .tif or .tiff
// (lossless). Any other name is written as a 24-bit bitmap, byte for byte as saveImageFile
// writes it but for the resolution. Pictures are tagged sRGB; `metadata`, when given and
// not empty, goes into every format but bitmaps with the orientation set to 1 and the
// pixel dimensions of `image`. Its resolution goes into every format (JFIF density, pHYs,
// the TIFF's and the EXIF's resolution, the bitmap's pixels per metre); without one a file
// states none (JFIF aspect 1:1, no pHYs, a TIFF's unit "none", 0 in a bitmap), so that the
// bytes written depend on nothing but the picture, its metadata and the quality. Goes through
// saveFileSafely, so a failed write leaves an existing file intact; false with the reason in
// `whyNot` when the picture cannot be written.
bool writePicture(const dib24& image, const std::string& path,
                  const PictureMetadata* metadata = nullptr, int quality = kDefaultQuality,
                  std::string* whyNot = nullptr);
// The same for a grey picture such as a depth mask: the blue channel of `image` as 8-bit
// grey (a bitmap stays 24-bit), without metadata.
bool writeGreyPicture(const dib24& image, const std::string& path, int quality = kDefaultQuality,
                      std::string* whyNot = nullptr);

// The depth map that a photo carries: in a JPEG, Google's GDepth or Dynamic Depth
// (pictures/jpeg_depth.h); in a HEIC photo, its depth image (pictures/heif_file.h). It comes in
// as a grey mask of nearness (image/depth_nearness.h), turned upright with the photo (by
// the photo's EXIF orientation, a HEIC photo's depth image by its own transformations), at
// the map's own size.
struct PhotoDepth {
    enum class Status {
        None,      // the photo carries no depth map (or is no photo that could)
        Read,      // `mask` holds it
        Unusable,  // it carries one that cannot be used; `why` says why in one line
    } status = Status::None;
    std::unique_ptr<dib24> mask;
    std::string why;
};

PhotoDepth readPhotoDepth(const std::string& path);

struct StoredDepth;
// The nearness mask of a depth map's stored codes, turned by EXIF `orientation` (1 ... 8),
// as a grey picture; null with the reason in `whyNot` when the map cannot be used.
std::unique_ptr<dib24> uprightNearnessMask(const StoredDepth& depth, int orientation,
                                           std::string* whyNot = nullptr);
