#include "pictures/jpeg_depth.h"

#include <QByteArray>
#include <QString>
#include <QXmlStreamReader>

#include <charconv>
#include <cstdint>
#include <map>
#include <vector>

#include "pictures/jpeg_xmp.h"

namespace jpeg_depth {

namespace {

const QString kGDepth = QStringLiteral("http://ns.google.com/photos/1.0/depthmap/");
const QString kXmpNote = QStringLiteral("http://ns.adobe.com/xmp/note/");
const QString kContainer = QStringLiteral("http://ns.google.com/photos/dd/1.0/container/");
const QString kItem = QStringLiteral("http://ns.google.com/photos/dd/1.0/item/");
const QString kCamera = QStringLiteral("http://ns.google.com/photos/dd/1.0/camera/");
const QString kDepthMap = QStringLiteral("http://ns.google.com/photos/dd/1.0/depthmap/");

using Properties = std::map<std::string, std::string>;  // by local name: the first value

// What an XMP packet says that matters here. RDF lets a writer give a simple property as
// an attribute or as an element holding text; both are read, at any depth.
struct Xmp {
    std::map<QString, Properties> byNamespace;  // every property outside what follows
    std::vector<Properties> items;              // Item: properties of each Container:Item
    Properties depthMap;                        // DepthMap: ones of the first Camera:DepthMap
    std::string error;                          // the XML parser's complaint, if any
};

Xmp parseXmp(std::string_view packet) {
    Xmp xmp;
    struct Element {
        QString text;
        bool hasChildren = false;
        int item = -1;  // the innermost Container:Item around it
        bool inDepthMap = false;
    };
    std::vector<Element> open;
    bool depthMapSeen = false;
    const auto record = [&xmp](const Element& at, const QString& ns, const QString& name,
                               const QString& value) {
        const std::string key = name.toStdString(), text = value.trimmed().toStdString();
        if (ns == kItem && at.item >= 0) {
            xmp.items[static_cast<std::size_t>(at.item)].emplace(key, text);
        } else if (ns == kDepthMap && at.inDepthMap) {
            xmp.depthMap.emplace(key, text);
        } else {
            xmp.byNamespace[ns].emplace(key, text);
        }
    };

    QXmlStreamReader reader(
        QByteArray::fromRawData(packet.data(), static_cast<qsizetype>(packet.size())));
    // Packets are padded after their root element; the parse ends with that element.
    bool rootDone = false;
    while (!rootDone && !reader.atEnd()) {
        switch (reader.readNext()) {
            case QXmlStreamReader::StartElement: {
                Element element;
                if (!open.empty()) {
                    open.back().hasChildren = true;
                    element.item = open.back().item;
                    element.inDepthMap = open.back().inDepthMap;
                }
                if (reader.namespaceUri() == kContainer && reader.name() == u"Item") {
                    element.item = static_cast<int>(xmp.items.size());
                    xmp.items.emplace_back();
                }
                if (reader.namespaceUri() == kCamera && reader.name() == u"DepthMap" &&
                    !depthMapSeen) {
                    depthMapSeen = true;
                    element.inDepthMap = true;
                }
                for (const QXmlStreamAttribute& attribute : reader.attributes())
                    record(element, attribute.namespaceUri().toString(),
                           attribute.name().toString(), attribute.value().toString());
                open.push_back(std::move(element));
                break;
            }
            case QXmlStreamReader::Characters:
                if (!open.empty()) open.back().text += reader.text();
                break;
            case QXmlStreamReader::EndElement: {
                const Element element = std::move(open.back());
                open.pop_back();
                // The element itself belongs to what is around it.
                if (!element.hasChildren)
                    record(open.empty() ? Element{} : open.back(), reader.namespaceUri().toString(),
                           reader.name().toString(), element.text);
                rootDone = open.empty();
                break;
            }
            default:
                break;
        }
    }
    if (reader.hasError()) xmp.error = reader.errorString().toStdString();
    return xmp;
}

const std::string* lookUp(const Properties& properties, const char* name) {
    const auto found = properties.find(name);
    return found == properties.end() ? nullptr : &found->second;
}

Found refuse(std::string why) {
    Found found;
    found.outcome = Outcome::Refused;
    found.why = std::move(why);
    return found;
}

// Format, Near, Far and Units, which GDepth and Dynamic Depth name alike. False with the
// reason in found.why.
bool readRange(const Properties& properties, Found& found) {
    const std::string* format = lookUp(properties, "Format");
    if (!format || *format == "RangeInverse") {
        found.representation = DepthRepresentation::RangeInverse;
    } else if (*format == "RangeLinear") {
        found.representation = DepthRepresentation::RangeLinear;
    } else {
        found.why =
            "the depth map's Format " + *format + " is neither RangeInverse nor RangeLinear";
        return false;
    }
    for (const auto& [name, value] : {std::pair{"Near", &found.near}, {"Far", &found.far}}) {
        const std::string* text = lookUp(properties, name);
        if (!text) {
            found.why = std::string("the depth map names no ") + name;
            return false;
        }
        const char* end = text->data() + text->size();
        const auto [stop, error] = std::from_chars(text->data(), end, *value);
        if (text->empty() || error != std::errc() || stop != end) {
            found.why = std::string("the depth map's ") + name + " (" + *text + ") is not a number";
            return false;
        }
    }
    if (const std::string* units = lookUp(properties, "Units")) found.units = *units;
    return true;
}

bool isPictureMime(const std::string& mime) {
    return mime == "image/png" || mime == "image/jpeg";
}

// A whole number of bytes, as the directory states lengths.
bool readLength(const Properties& item, const char* name, std::uint64_t& length) {
    const std::string* text = lookUp(item, name);
    if (!text) return false;
    const char* end = text->data() + text->size();
    const auto [stop, error] = std::from_chars(text->data(), end, length);
    return !text->empty() && error == std::errc() && stop == end;
}

// The Dynamic Depth item that `uri` names. The items after the primary image (the first)
// follow it end to end, so the last ends where the file does: an item is located from
// the end of the file, which no marker inside the primary image (a thumbnail's end of
// image, say) can disturb.
Found dynamicDepth(std::string_view file, std::size_t scanStart, const Xmp& xmp) {
    const std::string* uri = lookUp(xmp.depthMap, "DepthURI");
    if (!uri) return refuse("the Dynamic Depth depth map names no DepthURI");
    if (xmp.items.size() < 2) return refuse("the Dynamic Depth directory lists no depth item");
    // The primary image's length (0) is not counted: it is the rest of the file.
    std::vector<std::uint64_t> lengths(xmp.items.size(), 0);
    std::size_t depth = 0;
    std::uint64_t total = 0;
    const std::uint64_t room = file.size() - scanStart;  // what the items may take at most
    for (std::size_t i = 1; i < xmp.items.size(); ++i) {
        const Properties& item = xmp.items[i];
        const std::string number = std::to_string(i + 1);
        if (!lookUp(item, "Mime")) return refuse("Dynamic Depth item " + number + " has no Mime");
        if (!readLength(item, "Length", lengths[i]))
            return refuse("Dynamic Depth item " + number + " has no Length in bytes");
        // Each length is at most the file's, so the sum cannot overflow.
        if (lengths[i] > room || (total += lengths[i]) > room)
            return refuse("the Dynamic Depth items' lengths exceed the file");
        const std::string* dataUri = lookUp(item, "DataURI");
        if (dataUri && *dataUri == *uri && depth == 0) depth = i;
    }
    if (depth == 0) return refuse("no Dynamic Depth item holds the depth map " + *uri);
    std::uint64_t padding = 0;
    if (lookUp(xmp.items[depth], "Padding") &&
        (!readLength(xmp.items[depth], "Padding", padding) || padding > lengths[depth]))
        return refuse("the depth item's Padding is not a length within its Length");
    std::uint64_t fromEnd = 0;
    for (std::size_t i = depth; i < xmp.items.size(); ++i) fromEnd += lengths[i];

    Found found;
    found.mime = *lookUp(xmp.items[depth], "Mime");
    if (!isPictureMime(found.mime))
        return refuse("the depth map is " + found.mime + ", not a PNG or JPEG picture");
    if (!readRange(xmp.depthMap, found)) return refuse(found.why);
    found.picture = file.substr(file.size() - fromEnd, lengths[depth] - padding);
    found.outcome = Outcome::Found;
    return found;
}

// The picture in base64 text; XMP writers may break the text into lines.
bool fromBase64(const std::string& text, std::string& bytes) {
    QByteArray compact;
    compact.reserve(static_cast<qsizetype>(text.size()));
    for (const char c : text)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') compact.append(c);
    const auto decoded =
        QByteArray::fromBase64Encoding(compact, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded) return false;
    bytes.assign(decoded.decoded.constData(), static_cast<std::size_t>(decoded.decoded.size()));
    return true;
}

Found gDepth(const jpeg_xmp::Segments& segments, const Xmp& main) {
    Properties properties = main.byNamespace.at(kGDepth);
    const auto note = main.byNamespace.find(kXmpNote);
    const std::string* guid =
        note == main.byNamespace.end() ? nullptr : lookUp(note->second, "HasExtendedXMP");
    if (guid) {
        std::string packet, why;
        if (!jpeg_xmp::joinExtension(segments.extension, *guid, packet, &why)) return refuse(why);
        const Xmp extended = parseXmp(packet);
        if (!extended.error.empty())
            return refuse("the extended XMP packet is damaged (" + extended.error + ")");
        if (const auto more = extended.byNamespace.find(kGDepth);
            more != extended.byNamespace.end())
            properties.insert(more->second.begin(), more->second.end());
    }
    Found found;
    const std::string* mime = lookUp(properties, "Mime");
    const std::string* data = lookUp(properties, "Data");
    if (!mime || !data) return refuse("the GDepth depth map names no Mime or no Data");
    found.mime = *mime;
    if (!isPictureMime(found.mime))
        return refuse("the depth map is " + found.mime + ", not a PNG or JPEG picture");
    if (!readRange(properties, found)) return refuse(found.why);
    if (!fromBase64(*data, found.picture))
        return refuse("the GDepth depth map's base64 is damaged");
    found.outcome = Outcome::Found;
    return found;
}

}  // namespace

Found find(std::string_view file) {
    jpeg_xmp::Segments segments;
    std::string why;
    if (!jpeg_xmp::readSegments(file, segments, &why)) return refuse(why);
    if (segments.mainXmp.empty()) return {};
    const Xmp main = parseXmp(segments.mainXmp);
    const bool dynamicDepthNamed = !main.depthMap.empty();
    const bool gDepthNamed = main.byNamespace.count(kGDepth) != 0;
    if (!main.error.empty()) {
        // Damaged metadata of a photo that shows no sign of a depth map is no depth map.
        if (!dynamicDepthNamed && !gDepthNamed) return {};
        return refuse("the XMP packet is damaged (" + main.error + ")");
    }
    if (dynamicDepthNamed) return dynamicDepth(file, segments.scanStart, main);
    if (gDepthNamed) return gDepth(segments, main);
    return {};
}

}  // namespace jpeg_depth
