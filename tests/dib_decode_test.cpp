// The readers that share one decoder: bitmap files (from a file and through a pipe) and the
// clipboard's blocks (behind a file header or bare). Every depth behind every header
// version, every refusal and every truncation goes through each of them.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <tuple>

#include "image/bmp_records.h"
#include "image/dib24.h"
#include "image/dib_block.h"
#include "tests/test_bitmaps.h"

namespace {

using namespace testing_support;

using Bytes = std::vector<std::uint8_t>;

struct Reader {
    const char* name;
    // True: reads a bitmap file, whose rows lie at bfOffBits; false: a bare packed DIB,
    // whose rows follow the colour table.
    bool fileHeader;
    bool (*read)(dib24& image, const Bytes& bytes, BmpError* why);

    Bytes bytesOf(const HandMade& data, std::size_t gap) const {
        return fileHeader ? bitmapFile(data, gap) : packedDib(data);
    }
};

// A pipe holds 64 KiB that the test writes before the reader reads.
constexpr std::size_t kPipeBytes = 60000;

const Reader kReaders[] = {
    {"File", true,
     [](dib24& image, const Bytes& bytes, BmpError* why) { return loadBytes(image, bytes, why); }},
    {"Pipe", true, loadThroughPipe},
    {"BmpBlock", true,
     [](dib24& image, const Bytes& bytes, BmpError* why) {
         return unpackBmp(image, bytes.data(), bytes.size(), why);
     }},
    {"DibBlock", false,
     [](dib24& image, const Bytes& bytes, BmpError* why) {
         return unpackDib(image, bytes.data(), bytes.size(), why);
     }},
};

void PrintTo(const Reader& reader, std::ostream* out) {
    *out << reader.name;
}

// Grey pixels as blue, green and red bytes.
Bytes grey(const Bytes& values) {
    Bytes bytes;
    for (const std::uint8_t v : values) bytes.insert(bytes.end(), {v, v, v});
    return bytes;
}

// Pixels of a palette, by their indices.
Bytes colours(const std::vector<RGBQUAD>& table, const std::vector<int>& indices) {
    Bytes bytes;
    for (const int i : indices)
        bytes.insert(bytes.end(), {table[i].rgbBlue, table[i].rgbGreen, table[i].rgbRed});
    return bytes;
}

struct Readable {
    const char* name;
    HandMade data;           // read behind each header size
    std::size_t gap;         // bytes between a file's colour table and its rows
    std::vector<Bytes> top;  // blue, green, red of every pixel, top row first
};

std::vector<Readable> readableBitmaps() {
    std::vector<Readable> cases;
    // 9 bytes of pixels and 3 of padding a row; the top row is the last one stored.
    HandMade rgb{
        .width = 3, .height = 2, .rows = {1,  2,  3,  4,  5,  6,  7,  8,  9,  0xA1, 0xA2, 0xA3,
                                          11, 12, 13, 14, 15, 16, 17, 18, 19, 0xB1, 0xB2, 0xB3}};
    const std::vector<Bytes> rgbTop = {{11, 12, 13, 14, 15, 16, 17, 18, 19},
                                       {1, 2, 3, 4, 5, 6, 7, 8, 9}};
    cases.push_back({"Rgb24", rgb, 12, rgbTop});
    // A table in front of 24-bit rows is passed over.
    rgb.clrUsed = 3;
    rgb.table.assign(3, RGBQUAD{0xDD, 0xDD, 0xDD, 0xDD});
    cases.push_back({"Rgb24WithATable", rgb, 0, rgbTop});

    // No colour count: 256 entries; rows of 5 bytes padded to 8.
    const HandMade grey8{
        .width = 5,
        .height = 2,
        .bitCount = 8,
        .table = greyTable(),
        .rows = paddedRows({{0, 1, 127, 128, 255}, {9, 99, 199, 200, 254}}, 5, 8, 0xFF)};
    cases.push_back(
        {"Grey8", grey8, 3, {grey({9, 99, 199, 200, 254}), grey({0, 1, 127, 128, 255})}});

    // The reserved byte of an entry is not a colour.
    const HandMade colours8{.width = 3,
                            .bitCount = 8,
                            .clrUsed = 3,
                            .table = {{10, 20, 30, 99}, {40, 50, 60, 99}, {70, 80, 90, 99}},
                            .rows = paddedRows({{2, 0, 1}}, 3, 8)};
    cases.push_back({"Colours8", colours8, 7, {colours(colours8.table, {2, 0, 1})}});

    // One pixel a row: 3 bytes and 1 of padding in the image, which must be 0.
    const HandMade oneWide{.height = 3,
                           .bitCount = 8,
                           .clrUsed = 1,
                           .table = {{7, 8, 9, 0}},
                           .rows = paddedRows({{0}, {0}, {0}}, 1, 8, 0xFF)};
    cases.push_back({"OneWide8", oneWide, 0, {{7, 8, 9}, {7, 8, 9}, {7, 8, 9}}});

    // An odd width takes the last pixel from a high nibble; the low nibble after it is no
    // pixel, though 0xF lies beyond the table.
    HandMade oddWidth{.width = 5,
                      .height = 2,
                      .bitCount = 4,
                      .clrUsed = 6,
                      .rows = paddedRows({{0x01, 0x23, 0x4F}, {0x54, 0x32, 0x1F}}, 5, 4, 0xFF)};
    for (std::uint8_t i = 0; i < 6; ++i) oddWidth.table.push_back({i, std::uint8_t(i + 100), 0, 0});
    cases.push_back(
        {"OddWidth4",
         oddWidth,
         6,
         {colours(oddWidth.table, {5, 4, 3, 2, 1}), colours(oddWidth.table, {0, 1, 2, 3, 4})}});

    // No colour count: two entries; pixel 0 is bit 7 of the first byte.
    const HandMade bits1{.width = 10,
                         .bitCount = 1,
                         .table = {{1, 2, 3, 4}, {201, 202, 203, 204}},
                         .rows = paddedRows({{0b10110000, 0b01000000}}, 10, 1, 0xFF)};
    cases.push_back({"Bits1", bits1, 5, {colours(bits1.table, {1, 0, 1, 1, 0, 0, 0, 0, 0, 1})}});

    // More colours than the depth can name: the first ones are used, and the whole table
    // lies before the rows.
    HandMade many{.width = 4,
                  .bitCount = 1,
                  .clrUsed = 5,
                  .table = {{1, 1, 1, 0}, {2, 2, 2, 0}, {3, 3, 3, 0}, {4, 4, 4, 0}, {5, 5, 5, 0}},
                  .rows = paddedRows({{0b01100000}}, 4, 1)};
    cases.push_back({"ColourCountAboveDepth1", many, 0, {grey({1, 2, 2, 1})}});
    many.bitCount = 4;
    many.clrUsed = 300;
    many.table.assign(300, RGBQUAD{7, 7, 7, 0});
    many.table[15] = {15, 15, 15, 0};
    many.rows = paddedRows({{0xF0, 0x0F}}, 4, 4);
    cases.push_back({"ColourCountAboveDepth4", many, 2, {grey({15, 7, 7, 15})}});
    return cases;
}

class EveryReader : public testing::TestWithParam<Reader> {};

// Later header versions put the colour table after their longer header; their bytes past
// the first 40 are 0xA5 here, never a colour.
TEST_P(EveryReader, ReadsEveryDepthBehindEveryHeaderVersion) {
    const Reader& reader = GetParam();
    for (const std::uint32_t headerSize : {40u, 52u, 108u, 124u})
        for (Readable good : readableBitmaps()) {
            SCOPED_TRACE(testing::Message() << good.name << ", header of " << headerSize);
            good.data.headerSize = headerSize;
            // Non-zero bytes in the allocator's free memory, so that stale padding shows.
            for (int i = 0; i < 10; ++i) randomImage(1, 3, i);
            auto image = placeholder();
            BmpError why = BmpError::None;
            ASSERT_TRUE(reader.read(*image, reader.bytesOf(good.data, good.gap), &why))
                << describe(why);
            ASSERT_EQ(image->width, good.data.width);
            ASSERT_EQ(image->height, int(good.top.size()));
            for (int t = 0; t < image->height; ++t) {
                const std::uint8_t* row = image->row(t);
                EXPECT_EQ(Bytes(row, row + 3 * image->width), good.top[t]) << "row " << t;
                // 24-bit rows are copied whole; expanded palette rows get zero padding.
                const Bytes padding(row + 3 * image->width, row + image->stride);
                if (good.data.bitCount == 24) {
                    const std::size_t stored = std::size_t(row - image->bits);
                    EXPECT_EQ(padding, Bytes(good.data.rows.begin() + stored + 3 * image->width,
                                             good.data.rows.begin() + stored + image->stride));
                } else {
                    EXPECT_EQ(padding, Bytes(padding.size(), 0));
                }
            }
        }
}

// Refusals within the info header, table and rows, which every reader gives alike.
TEST_P(EveryReader, RefusesUnreadableDibsWithTheirReasonAndTheImageUntouched) {
    const Reader& reader = GetParam();
    const HandMade palette{.width = 2,
                           .height = 2,
                           .bitCount = 8,
                           .clrUsed = 2,
                           .table = {{1, 1, 1, 0}, {2, 2, 2, 0}},
                           .rows = paddedRows({{0, 1}, {1, 0}}, 2, 8)};
    const HandMade plain32{.width = 2, .height = 2, .bitCount = 32, .rows = Bytes(16, 0x80)};
    auto changed = [](HandMade d, auto edit) {
        edit(d);
        return d;
    };
    const std::tuple<const char*, HandMade, BmpError> cases[] = {
        {"ZeroWidth", changed(palette, [](HandMade& d) { d.width = 0; }), BmpError::BadSize},
        {"NegativeWidth", changed(palette, [](HandMade& d) { d.width = -1; }), BmpError::BadSize},
        {"TopDown", changed(palette, [](HandMade& d) { d.height = -2; }), BmpError::TopDown},
        {"RunLength", changed(palette, [](HandMade& d) { d.compression = 1; }),
         BmpError::Compressed},
        {"Bits16", changed(palette, [](HandMade& d) { d.bitCount = 16; }),
         BmpError::UnsupportedBitDepth},
        {"IndexBeyondTable", changed(palette, [](HandMade& d) { d.rows[5] = 2; }),
         BmpError::BadPaletteIndex},
        // A header shorter than 40 bytes, in data long enough for 40.
        {"Header12",
         changed(palette,
                 [](HandMade& d) {
                     d.headerSize = 12;
                     d.rows.resize(40, 0);
                 }),
         BmpError::BadHeader},
        {"Plain32", plain32, BmpError::UnsupportedBitDepth},
        // Bit fields: three masks after the header, or inside a header of 124 bytes.
        {"BitFields32",
         changed(plain32,
                 [](HandMade& d) {
                     d.compression = 3;
                     d.table = {{0, 0, 0xFF, 0}, {0, 0xFF, 0, 0}, {0xFF, 0, 0, 0}};
                 }),
         BmpError::Compressed},
        {"BitFields32InHeader",
         changed(plain32,
                 [](HandMade& d) {
                     d.compression = 3;
                     d.headerSize = 124;
                 }),
         BmpError::Compressed},
    };
    auto good = placeholder();
    ASSERT_TRUE(reader.read(*good, reader.bytesOf(palette, 0), nullptr));
    for (const auto& [name, data, error] : cases) {
        SCOPED_TRACE(name);
        auto image = placeholder();
        BmpError why = BmpError::None;
        EXPECT_FALSE(reader.read(*image, reader.bytesOf(data, 0), &why));
        EXPECT_EQ(why, error) << describe(why);
        expectUntouchedPlaceholder(*image);
    }
}

// Cuts valid data at every length, and expects the reason of the part it ends in: the
// file header, the info header and table, or the rows.
TEST_P(EveryReader, RefusesDataCutAtEveryLength) {
    const Reader& reader = GetParam();
    const HandMade rgb{.width = 3, .height = 3, .rows = Bytes(3 * 12, 0x44)};
    const HandMade grey8{.width = 3,
                         .height = 2,
                         .bitCount = 8,
                         .table = greyTable(),
                         .rows = paddedRows({{1, 2, 3}, {4, 5, 6}}, 3, 8)};
    const HandMade palette4{.width = 5,
                            .height = 2,
                            .bitCount = 4,
                            .headerSize = 108,
                            .table = std::vector<RGBQUAD>(16, RGBQUAD{1, 2, 3, 0}),
                            .rows = Bytes(2 * 4, 0x12)};
    const HandMade bits1{.width = 40,
                         .height = 2,
                         .bitCount = 1,
                         .headerSize = 124,
                         .table = {{0, 0, 0, 0}, {9, 9, 9, 0}},
                         .rows = Bytes(16, 0xAA)};
    const HandMade rgbWithTable{.width = 2,
                                .height = 2,
                                .clrUsed = 2,
                                .table = std::vector<RGBQUAD>(2),
                                .rows = Bytes(16, 0x10)};
    const std::pair<const HandMade*, std::size_t> cases[] = {
        {&rgb, 0}, {&grey8, 0}, {&palette4, 5}, {&bits1, 3}, {&rgbWithTable, 0}};
    for (const auto& [data, gap] : cases) {
        const Bytes whole = reader.bytesOf(*data, gap);
        const std::size_t rowsAt = whole.size() - data->rows.size();
        const std::size_t headerEnd = reader.fileHeader ? bmp::kFileHeaderSize : 0;
        for (std::size_t length = 0; length < whole.size(); ++length) {
            SCOPED_TRACE(testing::Message() << "cut at " << length << " of " << whole.size());
            const BmpError want = length < headerEnd ? BmpError::NotBitmap
                                  : length < rowsAt  ? BmpError::HeaderTruncated
                                                     : BmpError::PixelsTruncated;
            // A copy of exactly `length` bytes, so AddressSanitizer sees any read beyond it.
            const Bytes cut(whole.begin(), whole.begin() + std::ptrdiff_t(length));
            auto image = placeholder();
            BmpError why = BmpError::None;
            ASSERT_FALSE(reader.read(*image, cut, &why));
            ASSERT_EQ(why, want);
            expectUntouchedPlaceholder(*image);
        }
        auto image = placeholder();
        EXPECT_TRUE(reader.read(*image, whole, nullptr));
    }
}

INSTANTIATE_TEST_SUITE_P(DibDecode, EveryReader, testing::ValuesIn(kReaders),
                         [](const testing::TestParamInfo<Reader>& info) {
                             return std::string(info.param.name);
                         });

// Damaged or unsupported files, refused alike by every reader of files.
class EveryFileReader : public testing::TestWithParam<std::tuple<Reader, BadBitmap>> {};

TEST_P(EveryFileReader, RefusesTheFileWithItsReasonAndTheImageUntouched) {
    const auto& [reader, bad] = GetParam();
    if (reader.read == loadThroughPipe && bad.bytes.size() >= kPipeBytes)
        GTEST_SKIP() << "more than a pipe holds";
    auto image = placeholder();
    BmpError why = BmpError::None;
    const Bytes bytes = bad.bytes;  // exactly sized, for the sanitizer
    EXPECT_FALSE(reader.read(*image, bytes, &why));
    EXPECT_EQ(why, bad.error) << describe(why);
    expectUntouchedPlaceholder(*image);
}

INSTANTIATE_TEST_SUITE_P(DibDecode, EveryFileReader,
                         testing::Combine(testing::Values(kReaders[0], kReaders[1], kReaders[2]),
                                          testing::ValuesIn(badBitmapFiles())),
                         [](const testing::TestParamInfo<std::tuple<Reader, BadBitmap>>& info) {
                             return std::get<0>(info.param).name + std::get<1>(info.param).name;
                         });

}  // namespace
