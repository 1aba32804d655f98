#include "pictures/picture_resolution.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

namespace picture_resolution {

namespace {

constexpr double kMetresPerInch = 0.0254;
constexpr char kPngSignature[] = "\x89PNG\r\n\x1a\n";
constexpr qsizetype kPngSignatureSize = 8;

std::uint32_t readBE(const QByteArray& data, qsizetype at, int bytes) {
    std::uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) value = value << 8 | static_cast<std::uint8_t>(data[at + i]);
    return value;
}

void writeBE(char* out, std::uint32_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i, value >>= 8) out[i] = static_cast<char>(value & 0xFF);
}

// A JFIF APP0 segment right after the start-of-image marker: FF D8, FF E0, its length,
// "JFIF\0", the version, then the unit (0 aspect ratio, 1 per inch, 2 per centimetre) and
// the two 16-bit densities. libjpeg writes it so; its offsets are those of that layout.
constexpr qsizetype kJfifUnit = 13;
bool hasJfifHeader(const QByteArray& file) {
    return file.size() >= 20 && file.startsWith("\xff\xd8\xff\xe0") && readBE(file, 4, 2) >= 16 &&
           std::memcmp(file.constData() + 6, "JFIF\0", 5) == 0;
}

// PNG chunks: a 4-byte length, the 4-byte type, the data, and the CRC-32 of type and data.
std::uint32_t crc32(const char* data, std::size_t size) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> entries{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            entries[n] = c;
        }
        return entries;
    }();
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i)
        c = table[(c ^ static_cast<std::uint8_t>(data[i])) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

struct Chunk {
    qsizetype start = 0, size = 0;  // of the whole chunk, length to CRC
    QByteArray type;
};

// Every chunk of a PNG file, checked against its length; empty when one runs past the end.
std::vector<Chunk> chunksOf(const QByteArray& file) {
    std::vector<Chunk> chunks;
    if (!file.startsWith(QByteArray(kPngSignature, kPngSignatureSize))) return chunks;
    for (qsizetype at = kPngSignatureSize; at < file.size();) {
        if (file.size() - at < 12) return {};
        const std::uint32_t length = readBE(file, at, 4);
        if (length > static_cast<std::uint64_t>(file.size() - at - 12)) return {};
        chunks.push_back({at, static_cast<qsizetype>(length) + 12, file.mid(at + 4, 4)});
        at += static_cast<qsizetype>(length) + 12;
    }
    return chunks;
}

std::uint16_t jfifDensity(double value) {
    return static_cast<std::uint16_t>(std::clamp(std::lround(value), 1L, 65535L));
}

}  // namespace

std::uint32_t pixelsPerMetre(const Resolution& resolution, bool vertical) {
    const double perUnit = vertical ? resolution.y : resolution.x;
    double perMetre = 0;
    switch (resolution.unit) {
        case Resolution::Unit::None:
            return 0;
        case Resolution::Unit::Inch:
            perMetre = perUnit / kMetresPerInch;
            break;
        case Resolution::Unit::Centimetre:
            perMetre = perUnit * 100;
            break;
        case Resolution::Unit::Metre:
            perMetre = perUnit;
            break;
    }
    return static_cast<std::uint32_t>(std::clamp(std::round(perMetre), 1.0, 2147483647.0));
}

Resolution read(const QByteArray& file) {
    Resolution resolution;
    if (hasJfifHeader(file)) {
        const int unit = static_cast<std::uint8_t>(file[kJfifUnit]);
        const std::uint32_t x = readBE(file, kJfifUnit + 1, 2), y = readBE(file, kJfifUnit + 3, 2);
        if ((unit == 1 || unit == 2) && x > 0 && y > 0)
            resolution = {unit == 1 ? Resolution::Unit::Inch : Resolution::Unit::Centimetre,
                          static_cast<double>(x), static_cast<double>(y)};
        return resolution;
    }
    for (const Chunk& chunk : chunksOf(file)) {
        if (chunk.type == "IDAT") break;  // pHYs comes before the pixels
        if (chunk.type != "pHYs" || chunk.size != 21) continue;
        const std::uint32_t x = readBE(file, chunk.start + 8, 4);
        const std::uint32_t y = readBE(file, chunk.start + 12, 4);
        // Unit 1 is the metre; 0 gives the pixels' aspect ratio only.
        if (file[chunk.start + 16] == 1 && x > 0 && y > 0 && x <= 2147483647u && y <= 2147483647u)
            resolution = {Resolution::Unit::Metre, static_cast<double>(x), static_cast<double>(y)};
    }
    return resolution;
}

bool write(QByteArray& file, const Resolution& resolution) {
    if (file.startsWith("\xff\xd8")) {
        // libjpeg writes the JFIF segment for colour pictures; one is added where it did not.
        if (!hasJfifHeader(file))
            file.insert(
                2, QByteArray("\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00", 18));
        char* fields = file.data() + kJfifUnit;
        // A resolution per metre (from a PNG) is given per inch, JFIF's common unit.
        const bool perCentimetre = resolution.unit == Resolution::Unit::Centimetre;
        const double scale = resolution.unit == Resolution::Unit::Metre ? kMetresPerInch : 1.0;
        fields[0] = static_cast<char>(!resolution.stated() ? 0 : perCentimetre ? 2 : 1);
        writeBE(fields + 1, resolution.stated() ? jfifDensity(resolution.x * scale) : 1, 2);
        writeBE(fields + 3, resolution.stated() ? jfifDensity(resolution.y * scale) : 1, 2);
        return true;
    }
    if (!file.startsWith(QByteArray(kPngSignature, kPngSignatureSize))) return true;
    const std::vector<Chunk> chunks = chunksOf(file);
    if (chunks.empty() || chunks.front().type != "IHDR") return false;
    QByteArray result = file.left(chunks.front().start + chunks.front().size);
    if (resolution.stated()) {
        char body[4 + 9];
        std::memcpy(body, "pHYs", 4);
        writeBE(body + 4, pixelsPerMetre(resolution, false), 4);
        writeBE(body + 8, pixelsPerMetre(resolution, true), 4);
        body[12] = 1;  // per metre
        char length[4], crc[4];
        writeBE(length, 9, 4);
        writeBE(crc, crc32(body, sizeof body), 4);
        result.append(length, 4).append(body, sizeof body).append(crc, 4);
    }
    for (auto chunk = chunks.begin() + 1; chunk != chunks.end(); ++chunk)
        if (chunk->type != "pHYs") result.append(file.constData() + chunk->start, chunk->size);
    file = std::move(result);
    return true;
}

}  // namespace picture_resolution
