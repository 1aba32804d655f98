#include "defocus/default_diaphragm.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "defocus/maskman.h"
#include "tests/test_bitmaps.h"

namespace {

namespace fs = std::filesystem;
using testing_support::makeImage;
using testing_support::saveBitmap;
using testing_support::TempDir;

void writeSquare(const fs::path& path, int side, std::uint8_t value) {
    auto image = makeImage(side, side, [&](int, int, int) { return value; });
    ASSERT_TRUE(saveBitmap(*image, path));
}

// Runs the test body in another current folder and returns to the old one afterwards.
class InFolder {
public:
    explicit InFolder(const fs::path& folder) : previous_(fs::current_path()) {
        fs::current_path(folder);
    }
    ~InFolder() { fs::current_path(previous_); }

private:
    fs::path previous_;
};

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

}  // namespace
