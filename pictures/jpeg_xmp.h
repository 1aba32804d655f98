// The XMP packets of a JPEG file, read from its bytes: the main packet, and the extended
// packet that Adobe's rules let a writer spread over several APP1 segments when it does
// not fit in one (phones keep a portrait's depth map there). Plain C++ over bytes, so the
// fuzz target can drive it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace jpeg_xmp {

// One extended XMP segment: its GUID, the length of the whole extended packet, and where
// its part of the packet goes.
struct ExtensionPart {
    std::string_view guid;  // 32 characters
    std::uint32_t fullLength = 0;
    std::uint32_t offset = 0;
    std::string_view data;
};

// What the segments before a JPEG's first scan hold.
struct Segments {
    std::string_view mainXmp;  // the first main XMP packet, or empty
    std::vector<ExtensionPart> extension;
    std::size_t scanStart = 0;  // where the first start-of-scan marker lies
};

// Walks the markers from the start-of-image marker to the first start-of-scan marker.
// False with the reason in `whyNot` when the bytes are no JPEG or a segment runs past them.
// The views point into `data`.
bool readSegments(std::string_view data, Segments& segments, std::string* whyNot = nullptr);

// The extended packet whose parts carry `guid`, put together by offset. False with the
// reason when no part carries it, the parts disagree on the full length, one runs past it,
// two overlap or the parts leave a gap.
bool joinExtension(const std::vector<ExtensionPart>& parts, std::string_view guid,
                   std::string& packet, std::string* whyNot = nullptr);

}  // namespace jpeg_xmp
