// HEIF files made at test time with libheif's own encoders, shared by the picture tests
// and the command line's.
#pragma once

#include <libheif/heif.h>

#include <cstdint>
#include <string>
#include <vector>

namespace heif_samples {

using Bytes = std::vector<std::uint8_t>;

struct Source {
    heif_compression_format codec = heif_compression_HEVC;
    int width = 24, height = 16, bits = 8;
    bool alpha = false;
    int orientation = 1;    // stored as libheif's rotation and mirroring
    bool adobeRgb = false;  // an Adobe RGB ICC profile
};

// The Adobe RGB profile of Debian's icc-profiles-free.
std::string adobeRgbProfile();

// Random samples of the source's depth, the same for every orientation, encoded losslessly
// in 4:4:4; `exif` and `xmp` go in as metadata blocks.
Bytes encode(const Source& s, const std::string& exif = {}, const std::string& xmp = {});

// The primary image's samples as libheif decodes them, turned by the file's
// transformations: red, green, blue (and alpha) of each pixel, top row first.
std::vector<int> storedSamples(const Bytes& file, const Source& s);

// A HEIF file whose alpha image is declared a depth image instead: libheif writes no depth
// images, but it writes the auxiliary image and its type the way a depth image is stored.
Bytes withDepth(Bytes file);

// Sets the size that the file's `n`th image spatial extents property (from 0) declares.
void declareSize(Bytes& file, int n, std::uint32_t width, std::uint32_t height);

}  // namespace heif_samples
