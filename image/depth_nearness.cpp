#include "image/depth_nearness.h"
#include "image/why_not.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

namespace {

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

bool inMetres(std::string units) {
    std::transform(units.begin(), units.end(), units.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return units.empty() || units == "meters" || units == "metres" || units == "m";
}

// The nearness of every code 0 ... top of a range, as a table: a map has at most 65536
// codes, and far fewer than pixels.
std::vector<std::uint8_t> rangeTable(const StoredDepth& depth, std::uint32_t top) {
    std::vector<std::uint8_t> table(top + 1);
    for (std::uint32_t c = 0; c <= top; ++c) {
        if (depth.representation == DepthRepresentation::RangeInverse) {
            // 255 - round(255 c / top), the rounding done in whole numbers.
            table[c] = static_cast<std::uint8_t>(255 - (510 * c + top) / (2 * top));
            continue;
        }
        const double d = depth.near + (static_cast<double>(c) / top) * (depth.far - depth.near);
        const double m = std::floor(
            255.0 * (1.0 / d - 1.0 / depth.far) / (1.0 / depth.near - 1.0 / depth.far) + 0.5);
        table[c] = static_cast<std::uint8_t>(std::clamp(m, 0.0, 255.0));
    }
    return table;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> nearnessMask(const StoredDepth& depth,
                                                      std::string* whyNot) {
    if (depth.width <= 0 || depth.height <= 0 || depth.bitDepth < 1 || depth.bitDepth > 16 ||
        depth.codes.size() !=
            static_cast<std::size_t>(depth.width) * static_cast<std::size_t>(depth.height)) {
        setWhy(whyNot, "the depth map's codes do not fill its size");
        return std::nullopt;
    }
    const std::uint32_t top = (1u << depth.bitDepth) - 1;
    if (std::any_of(depth.codes.begin(), depth.codes.end(),
                    [top](std::uint16_t c) { return c > top; })) {
        setWhy(whyNot,
               "the depth map holds codes beyond its " + std::to_string(depth.bitDepth) + " bits");
        return std::nullopt;
    }

    std::vector<std::uint8_t> mask(depth.codes.size());
    if (depth.representation == DepthRepresentation::Disparity) {
        const auto [low, high] = std::minmax_element(depth.codes.begin(), depth.codes.end());
        const std::uint64_t span = *high - *low;
        if (span == 0) return mask;
        std::transform(depth.codes.begin(), depth.codes.end(), mask.begin(),
                       [low = *low, span](std::uint16_t c) {
                           return static_cast<std::uint8_t>((510 * (c - low) + span) / (2 * span));
                       });
        return mask;
    }

    if (!inMetres(depth.units)) {
        setWhy(whyNot, "the depth map's units are " + depth.units + ", not metres");
        return std::nullopt;
    }
    // The ranges' distances must be finite and ordered for the formulas to mean anything;
    // the negated test also catches NaN.
    if (!(depth.near > 0.0) || !std::isfinite(depth.near)) {
        setWhy(whyNot,
               "the depth map's Near (" + number(depth.near) + ") is not a distance above 0");
        return std::nullopt;
    }
    if (!(depth.near < depth.far) || !std::isfinite(depth.far)) {
        setWhy(whyNot, "the depth map's Near (" + number(depth.near) + ") is not below its Far (" +
                           number(depth.far) + ")");
        return std::nullopt;
    }
    const std::vector<std::uint8_t> table = rangeTable(depth, top);
    std::transform(depth.codes.begin(), depth.codes.end(), mask.begin(),
                   [&table](std::uint16_t c) { return table[c]; });
    return mask;
}
