// HEIF pictures (HEIC photos, and AVIF where libheif has an AV1 decoder) through libheif:
// the primary image for the picture readers (pictures/picture_file.cpp), and the depth image
// that phones store beside a portrait photo.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "image/depth_nearness.h"
#include "pictures/picture_file.h"

class QImage;

// Whether `data` starts as a HEIF file: an ISO base media "ftyp" box with a brand libheif
// knows.
bool isHeifFile(const void* data, std::size_t size);

// Decodes the primary image of the HEIF file `data` into `picture`, upright (libheif's
// rotations, mirrorings and crop applied), tagged with its colour space, 8 bits per channel
// or 16 where the file stores more than 8, alpha not premultiplied unless the file says so.
// Refuses a picture above the size limits before decoding it. `metadata`, when given,
// receives the EXIF and XMP that pictures made from it carry on. False with one line of
// reason in `whyNot`.
bool decodeHeif(const void* data, std::size_t size, QImage& picture, PictureMetadata* metadata,
                std::string* whyNot = nullptr);

// A depth image as the file stores it, with what the file says its codes mean.
struct HeifDepthImage {
    int width = 0, height = 0;
    int bits = 0;                        // bits per sample, 1 ... 16
    std::vector<std::uint16_t> samples;  // width x height codes, top row first

    enum class Representation {
        Unknown,             // the file gives no representation info
        UniformInverseZ,     // codes linear in 1 / distance
        UniformDisparity,    // codes linear in disparity
        UniformZ,            // codes linear in distance
        NonuniformDisparity  // codes mapped by a model of the file's own
    };
    Representation representation = Representation::Unknown;
    std::optional<double> zNear, zFar;  // distances of the smallest and largest code
    std::optional<double> dMin, dMax;   // disparities of the smallest and largest code
};

// The depth (or disparity) auxiliary image of the primary image of the HEIF file `data`,
// turned and cropped by its own transformations as libheif applies them (files give it the
// primary image's, so it is upright with the photo). Null with the reason in `whyNot` when
// it cannot be used, null with `whyNot` emptied when the file carries none.
std::optional<HeifDepthImage> readHeifDepth(const void* data, std::size_t size,
                                            std::string* whyNot = nullptr);

// The depth image as the nearness convention takes it (image/depth_nearness.h). An inverse
// distance map with its near and far distances is a range whose largest code is near; a
// uniform distance map needs both distances; a disparity map, or one without
// representation info (as phones store disparity), maps its own smallest and largest code.
// A nonuniform disparity model is refused, with the reason in `whyNot`.
std::optional<StoredDepth> storedDepthOf(HeifDepthImage depth, std::string* whyNot = nullptr);
