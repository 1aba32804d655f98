// The depth map inside a portrait JPEG, found from the file's bytes: Google's GDepth
// (properties and base64 picture in the XMP, the picture usually in the extended packet)
// or Dynamic Depth 1.0 (a directory of items in the XMP, the items appended to the file
// after the primary image). Finding only: the depth map's own picture is decoded by the
// picture reader. Pure over bytes, for the fuzz target.
#pragma once

#include <string>
#include <string_view>

#include "image/depth_nearness.h"

namespace jpeg_depth {

enum class Outcome {
    None,     // the file carries no depth map
    Found,    // see the fields below
    Refused,  // it carries one that cannot be used; `why` says why
};

struct Found {
    Outcome outcome = Outcome::None;
    std::string picture;  // the depth map's encoded picture
    std::string mime;     // image/png or image/jpeg
    // How its codes relate to distance (StoredDepth's fields of the same names).
    DepthRepresentation representation = DepthRepresentation::RangeInverse;
    double near = 0.0, far = 0.0;
    std::string units;
    std::string why;
};

// Looks for a Dynamic Depth depth map first, then for GDepth; `file` is the whole JPEG.
Found find(std::string_view file);

}  // namespace jpeg_depth
