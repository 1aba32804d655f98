#include "pictures/jpeg_xmp.h"
#include "image/why_not.h"

#include <algorithm>

namespace jpeg_xmp {

namespace {

// APP1 payloads start with a namespace and a NUL byte that say what they hold.
constexpr std::string_view kMainSignature{"http://ns.adobe.com/xap/1.0/\0", 29};
constexpr std::string_view kExtensionSignature{"http://ns.adobe.com/xmp/extension/\0", 35};
constexpr std::size_t kGuidLength = 32;

std::uint32_t bigEndian32(std::string_view bytes, std::size_t at) {
    const auto byte = [&](std::size_t i) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i]));
    };
    return byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
}

void readApp1(std::string_view payload, Segments& segments) {
    if (payload.substr(0, kMainSignature.size()) == kMainSignature) {
        if (segments.mainXmp.empty()) segments.mainXmp = payload.substr(kMainSignature.size());
        return;
    }
    if (payload.substr(0, kExtensionSignature.size()) != kExtensionSignature) return;
    // After the signature: the GUID, then the full length and this part's offset, four
    // bytes each, big-endian. A shorter segment is no part of anything.
    const std::size_t header = kExtensionSignature.size() + kGuidLength + 8;
    if (payload.size() < header) return;
    ExtensionPart part;
    part.guid = payload.substr(kExtensionSignature.size(), kGuidLength);
    part.fullLength = bigEndian32(payload, kExtensionSignature.size() + kGuidLength);
    part.offset = bigEndian32(payload, kExtensionSignature.size() + kGuidLength + 4);
    part.data = payload.substr(header);
    segments.extension.push_back(part);
}

}  // namespace

bool readSegments(std::string_view data, Segments& segments, std::string* whyNot) {
    segments = {};
    if (data.size() < 4 || data.substr(0, 3) != "\xff\xd8\xff") {
        setWhy(whyNot, "not a JPEG file");
        return false;
    }
    std::size_t at = 2;  // after the start-of-image marker
    while (at + 1 < data.size()) {
        if (static_cast<unsigned char>(data[at]) != 0xFF) break;
        const auto marker = static_cast<unsigned char>(data[at + 1]);
        if (marker == 0xFF) {  // fill byte before a marker
            ++at;
            continue;
        }
        if (marker == 0xDA) {
            segments.scanStart = at;
            return true;
        }
        at += 2;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue;  // no length
        if (marker == 0xD9) break;
        if (at + 2 > data.size()) break;
        const std::size_t length = std::size_t{static_cast<unsigned char>(data[at])} << 8 |
                                   static_cast<unsigned char>(data[at + 1]);
        if (length < 2 || length > data.size() - at) break;
        if (marker == 0xE1) readApp1(data.substr(at + 2, length - 2), segments);
        at += length;
    }
    setWhy(whyNot, "the JPEG's segments end before its first scan");
    return false;
}

bool joinExtension(const std::vector<ExtensionPart>& parts, std::string_view guid,
                   std::string& packet, std::string* whyNot) {
    std::vector<const ExtensionPart*> own;
    for (const ExtensionPart& part : parts)
        if (part.guid == guid) own.push_back(&part);
    if (own.empty()) {
        setWhy(whyNot, "no extended XMP segment carries the GUID " + std::string(guid));
        return false;
    }
    const std::uint32_t full = own.front()->fullLength;
    for (const ExtensionPart* part : own) {
        if (part->fullLength != full) {
            setWhy(whyNot, "the extended XMP segments disagree on the packet's length (" +
                               std::to_string(full) + " and " + std::to_string(part->fullLength) +
                               " bytes)");
            return false;
        }
        // Compared before anything is added, so nothing overflows.
        if (part->offset > full || part->data.size() > full - part->offset) {
            setWhy(whyNot, "an extended XMP segment runs past the packet's length of " +
                               std::to_string(full) + " bytes");
            return false;
        }
    }
    std::stable_sort(own.begin(), own.end(), [](const ExtensionPart* a, const ExtensionPart* b) {
        return a->offset < b->offset;
    });
    // In offset order each part must start where the one before ended: a later start
    // leaves bytes nobody wrote, an earlier one writes bytes twice.
    std::uint64_t end = 0;
    for (const ExtensionPart* part : own) {
        if (part->offset < end) {
            setWhy(whyNot, "extended XMP segments overlap at byte " + std::to_string(part->offset));
            return false;
        }
        if (part->offset > end) break;
        end = part->offset + part->data.size();
    }
    if (end != full) {
        setWhy(whyNot, "the extended XMP segments hold no byte " + std::to_string(end) +
                           " of the packet's " + std::to_string(full));
        return false;
    }
    // Every byte is known to be in the file now; the packet is no larger than the parts.
    packet.clear();
    packet.reserve(full);
    for (const ExtensionPart* part : own) packet.append(part->data);
    return true;
}

}  // namespace jpeg_xmp
