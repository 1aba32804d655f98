// Every depth map the programs read (a JPEG's GDepth or Dynamic Depth item, a HEIC
// photo's depth or disparity image) becomes one kind of mask: nearness, 255 at the near
// end and 0 at the far end, linear in 1 / distance, because a lens's blur grows linearly
// with the difference of disparities. Plain C++ over numbers, so it is testable alone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// How a depth map's codes relate to distance. In both ranges code 0 lies at `near` and
// the largest code at `far`.
enum class DepthRepresentation {
    RangeInverse,  // linear in 1 / distance
    RangeLinear,   // linear in distance
    Disparity,     // proportional to disparity: the largest code is the nearest
};

// A depth map as stored, before any turning.
struct StoredDepth {
    int width = 0, height = 0;
    int bitDepth = 8;                  // 1 ... 16: the codes run from 0 to 2^bitDepth - 1
    std::vector<std::uint16_t> codes;  // width x height, rows from the top
    DepthRepresentation representation = DepthRepresentation::RangeInverse;
    // The ranges only: the distances of the first and the last code, and their unit;
    // an empty unit means metres.
    double near = 0.0, far = 0.0;
    std::string units;
};

// The nearness mask of `depth`: width x height bytes, rows from the top. With n the
// code divided by its largest value, RangeInverse gives 255 - n x 255 (rounded half up;
// exactly 255 - c for 8-bit codes c), RangeLinear takes d = near + n (far - near) and
// gives the whole number nearest to 255 (1/d - 1/far) / (1/near - 1/far), halves up.
// A disparity map's smallest code gives 0 and its largest 255, linearly, rounded half
// up (a map of one code is all 0). Nothing, with the reason in `whyNot`, for units other
// than metres, near not above 0, near not below far, or codes that do not fit the size
// or the bit depth.
std::optional<std::vector<std::uint8_t>> nearnessMask(const StoredDepth& depth,
                                                      std::string* whyNot = nullptr);
