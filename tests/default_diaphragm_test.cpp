#include "support/default_diaphragm.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>

#include "defocus/maskman.h"
#include "tests/test_bitmaps.h"

namespace {

namespace fs = std::filesystem;
using testing_support::InFolder;
using testing_support::makeImage;
using testing_support::saveBitmap;
using testing_support::TempDir;

void writeSquare(const fs::path& path, int side, std::uint8_t value) {
    auto image = makeImage(side, side, [&](int, int, int) { return value; });
    ASSERT_TRUE(saveBitmap(*image, path));
}

TEST(DefaultDiaphragm, CandidatesAreCurrentFolderProgramFolderThenDataFolder) {
    const auto candidates = defaultDiaphragmCandidates();
    ASSERT_EQ(candidates.size(), 3u);
    EXPECT_EQ(candidates[0], "lmask.bmp");
    const fs::path programFolder = fs::read_symlink("/proc/self/exe").parent_path();
    EXPECT_EQ(fs::path(candidates[1]), programFolder / "lmask.bmp");
    EXPECT_EQ(fs::path(candidates[2]),
              programFolder.parent_path() / "share" / "bokavo" / "lmask.bmp");
}

TEST(DefaultDiaphragm, FirstAcceptedCandidateWins) {
    TempDir dir;
    testing_support::writeFileBytes(dir / "text.bmp", {'h', 'e', 'l', 'l', 'o'});
    writeSquare(dir / "three.bmp", 3, 200);
    writeSquare(dir / "seven.bmp", 7, 100);

    MaskMan masks;
    std::string why = "untouched";
    ASSERT_TRUE(loadFirstDiaphragm(masks,
                                   {(dir / "missing.bmp").string(), (dir / "text.bmp").string(),
                                    (dir / "three.bmp").string(), (dir / "seven.bmp").string()},
                                   &why));
    ASSERT_TRUE(masks.shape);
    EXPECT_EQ(masks.shape->width, 3);
    EXPECT_EQ(why, "untouched");
}

TEST(DefaultDiaphragm, FailureNamesEveryPlaceAndKeepsTheShape) {
    TempDir dir;
    testing_support::writeFileBytes(dir / "text.bmp", {'h', 'e', 'l', 'l', 'o'});
    auto wide = makeImage(4, 2, [](int, int, int) { return 255; });
    ASSERT_TRUE(saveBitmap(*wide, dir / "wide.bmp"));
    writeSquare(dir / "five.bmp", 5, 50);

    MaskMan masks;
    ASSERT_TRUE(masks.Load((dir / "five.bmp").c_str()));
    const dib24* before = masks.shape.get();

    const std::string missing = (dir / "missing.bmp").string();
    const std::string text = (dir / "text.bmp").string();
    const std::string nonSquare = (dir / "wide.bmp").string();
    std::string why;
    EXPECT_FALSE(loadFirstDiaphragm(masks, {missing, text, nonSquare}, &why));
    EXPECT_EQ(masks.shape.get(), before);

    // Each place appears with its own reason, in the order tried.
    const auto missingAt = why.find(missing + ": ");
    const auto textAt = why.find(text + ": ");
    const auto squareAt = why.find(nonSquare + ": ");
    ASSERT_NE(missingAt, std::string::npos) << why;
    ASSERT_NE(textAt, std::string::npos) << why;
    ASSERT_NE(squareAt, std::string::npos) << why;
    EXPECT_LT(missingAt, textAt);
    EXPECT_LT(textAt, squareAt);
    EXPECT_NE(why.find("No such file"), std::string::npos) << why;
    EXPECT_NE(why.find("not a bitmap"), std::string::npos) << why;
    EXPECT_NE(why.find("square"), std::string::npos) << why;
}

TEST(DefaultDiaphragm, CurrentFolderComesBeforeTheProgramFolder) {
    TempDir dir;
    writeSquare(dir / "lmask.bmp", 5, 255);
    InFolder here(dir.path());
    MaskMan masks;
    ASSERT_TRUE(loadDefaultDiaphragm(masks));
    EXPECT_EQ(masks.shape->width, 5);
}

TEST(DefaultDiaphragm, FallsBackToTheProgramFolder) {
    // The build puts the delivered lmask.bmp beside every program, this test included.
    const fs::path besideProgram = fs::read_symlink("/proc/self/exe").parent_path() / "lmask.bmp";
    auto delivered = testing_support::loadBitmap(besideProgram);
    ASSERT_TRUE(delivered) << besideProgram;

    TempDir empty;
    InFolder here(empty.path());
    MaskMan masks;
    std::string why;
    ASSERT_TRUE(loadDefaultDiaphragm(masks, &why)) << why;
    EXPECT_TRUE(testing_support::samePixels(*masks.shape, *delivered));
}

TEST(DefaultDiaphragm, AnUnusableOneInTheCurrentFolderIsNotPassedOver) {
    // The build puts the delivered lmask.bmp beside every program, this test included.
    TempDir here;
    auto wide = makeImage(4, 2, [](int, int, int) { return 255; });
    ASSERT_TRUE(saveBitmap(*wide, here / "lmask.bmp"));
    InFolder inside(here.path());
    MaskMan masks;
    std::string why;
    EXPECT_FALSE(loadDefaultDiaphragm(masks, &why));
    EXPECT_EQ(why.rfind("lmask.bmp: not square; a file in the current folder is used before ", 0),
              0u)
        << why;
}

TEST(DiaphragmGallery, InstalledFolderBesideBinComesFirst) {
    TempDir root;
    fs::create_directories(root / "bin");
    fs::create_directories(root / "bin" / "diaphragms");
    EXPECT_EQ(fs::path(diaphragmGalleryFolderOf((root / "bin").string())),
              root / "bin" / "diaphragms");

    fs::create_directories(root / "share" / "bokavo" / "diaphragms");
    EXPECT_EQ(fs::path(diaphragmGalleryFolderOf((root / "bin").string())),
              root / "share" / "bokavo" / "diaphragms");
}

TEST(DiaphragmGallery, NoFolderOrAFileInItsPlaceGivesNothing) {
    TempDir root;
    fs::create_directories(root / "bin");
    EXPECT_EQ(diaphragmGalleryFolderOf((root / "bin").string()), "");
    testing_support::writeFileBytes(root / "bin" / "diaphragms", {'x'});
    EXPECT_EQ(diaphragmGalleryFolderOf((root / "bin").string()), "");
}

// The build copies the delivered gallery beside every program, this test included.
TEST(DiaphragmGallery, BuildTreeHasTheDeliveredShapesBesideTheProgram) {
    const fs::path programFolder = fs::read_symlink("/proc/self/exe").parent_path();
    ASSERT_EQ(fs::path(diaphragmGalleryFolder()), programFolder / "diaphragms");

    std::set<std::string> shapes;
    for (const auto& entry : fs::directory_iterator(programFolder / "diaphragms")) {
        const std::string name = entry.path().stem().string();
        shapes.insert(name.substr(0, name.rfind('_')));
    }
    const std::set<std::string> expected{"cats_eye", "circle",  "heart",     "hexagon",
                                         "iris5",    "octagon", "soft_ring", "star"};
    EXPECT_EQ(shapes, expected);
}

TEST(DiaphragmGallery, EveryShapeIsASquareOddSizedSoftEdgedDiaphragm) {
    const fs::path folder = diaphragmGalleryFolder();
    ASSERT_FALSE(folder.empty());
    int files = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        SCOPED_TRACE(entry.path().string());
        ++files;
        MaskMan masks;
        std::string why;
        ASSERT_TRUE(masks.Load(entry.path().c_str(), &why)) << why;
        const dib24& shape = *masks.shape;
        EXPECT_EQ(shape.width, shape.height);
        EXPECT_EQ(shape.width % 2, 1);
        // Stored with 24 bits per pixel (biBitCount at offset 28), so any editor shows
        // the same greys.
        const auto bytes = testing_support::readFileBytes(entry.path());
        ASSERT_GT(bytes.size(), 29u);
        EXPECT_EQ(bytes[28] | bytes[29] << 8, 24);

        // Grey, dark in the corners, with lit pixels and antialiased ones between.
        bool lit = false;
        bool between = false;
        for (int t = 0; t < shape.height; ++t) {
            for (int x = 0; x < shape.width; ++x) {
                const auto blue = testing_support::pixelFromTop(shape, x, t, 0);
                ASSERT_EQ(blue, testing_support::pixelFromTop(shape, x, t, 1));
                ASSERT_EQ(blue, testing_support::pixelFromTop(shape, x, t, 2));
                lit = lit || blue > 200;
                between = between || (blue > 20 && blue < 200);
            }
        }
        EXPECT_TRUE(lit);
        EXPECT_TRUE(between);
        const int last = shape.width - 1;
        for (const auto& [x, t] : {std::pair{0, 0}, {last, 0}, {0, last}, {last, last}})
            EXPECT_EQ(testing_support::pixelFromTop(shape, x, t, 0), 0);
    }
    EXPECT_EQ(files, 24);
}

TEST(DiaphragmGallery, RingIsDarkInTheMiddleAndCircleIsLit) {
    const fs::path folder = diaphragmGalleryFolder();
    for (const int side : {15, 25, 41}) {
        SCOPED_TRACE(side);
        auto ring =
            testing_support::loadBitmap(folder / ("soft_ring_" + std::to_string(side) + ".bmp"));
        auto circle =
            testing_support::loadBitmap(folder / ("circle_" + std::to_string(side) + ".bmp"));
        ASSERT_TRUE(ring && circle);
        EXPECT_EQ(ring->width, side);
        EXPECT_EQ(testing_support::pixelFromTop(*ring, side / 2, side / 2, 0), 0);
        EXPECT_EQ(testing_support::pixelFromTop(*circle, side / 2, side / 2, 0), 255);
    }
}

}  // namespace
