// Fuzz target for the depth maps inside JPEG files: the walk over the segments, the
// joining of extended XMP parts, the XMP's properties and the Dynamic Depth directory,
// each input taken as a whole portrait file.
//
// Besides crashes and sanitizer reports, it checks what the readers promise:
// - a joined extended packet has the declared length and holds every part at its offset;
// - a depth map found is a picture named PNG or JPEG, no larger than the file, with a
//   reason only when refused.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "pictures/jpeg_depth.h"
#include "pictures/jpeg_xmp.h"

namespace {

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "depth_fuzz: %s\n", what);
    std::abort();
}

void checkJoining(std::string_view file) {
    jpeg_xmp::Segments segments;
    std::string why;
    if (!jpeg_xmp::readSegments(file, segments, &why)) return;
    if (segments.scanStart >= file.size()) broken("the first scan lies past the file");
    std::set<std::string_view> guids;
    for (const jpeg_xmp::ExtensionPart& part : segments.extension) guids.insert(part.guid);
    for (const std::string_view guid : guids) {
        std::string packet;
        if (!jpeg_xmp::joinExtension(segments.extension, guid, packet, &why)) {
            if (why.empty()) broken("a refused extended packet gives no reason");
            continue;
        }
        for (const jpeg_xmp::ExtensionPart& part : segments.extension) {
            if (part.guid != guid) continue;
            if (packet.size() != part.fullLength) broken("a joined packet has another length");
            if (packet.compare(part.offset, part.data.size(), part.data) != 0)
                broken("a joined packet lost a part's bytes");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view file(reinterpret_cast<const char*>(data), size);
    checkJoining(file);
    const jpeg_depth::Found found = jpeg_depth::find(file);
    switch (found.outcome) {
        case jpeg_depth::Outcome::None:
            break;
        case jpeg_depth::Outcome::Refused:
            if (found.why.empty()) broken("a refused depth map gives no reason");
            break;
        case jpeg_depth::Outcome::Found:
            if (found.mime != "image/png" && found.mime != "image/jpeg")
                broken("a depth map found is neither PNG nor JPEG");
            if (found.picture.size() > size) broken("a depth map found is larger than the file");
            break;
    }
    return 0;
}
