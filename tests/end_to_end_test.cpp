// The settings window's start: the default diaphragm and what happens without one; and
// the whole road of one defocus through both windows, checked against bokavo-render.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QCheckBox>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <exiv2/exiv2.hpp>

#include "pictures/picture_file.h"
#include "pictures/picture_resolution.h"
#include "tests/settings_support.h"

namespace {

namespace fs = std::filesystem;
using gui_support::AnsweredPrompts;
using testing_support::InFolder;
using testing_support::randomImage;
using testing_support::samePixels;
using testing_support::TempDir;

TEST(SettingsWindowStart, TakesTheDiaphragmFromTheCurrentFolderFirst) {
    TempDir dir;
    const auto own = randomImage(11, 11, 1);
    ASSERT_TRUE(testing_support::saveBitmap(*own, dir / "lmask.bmp"));
    {
        InFolder in(dir.path());
        TForm1 form1;
        TForm2 form2(form1);
        ASSERT_TRUE(form2.diaphragms.shape);
        EXPECT_TRUE(samePixels(*form2.diaphragms.shape, *own));
    }
    // Elsewhere the one beside the program serves.
    TempDir empty;
    InFolder in(empty.path());
    TForm1 form1;
    TForm2 form2(form1);
    const fs::path beside = fs::read_symlink("/proc/self/exe").parent_path() / "lmask.bmp";
    const auto delivered = testing_support::loadBitmap(beside);
    ASSERT_TRUE(delivered && form2.diaphragms.shape);
    EXPECT_TRUE(samePixels(*form2.diaphragms.shape, *delivered));
}

TEST(SettingsWindowStart, WithoutADiaphragmThereIsNoWindowAndTheUserIsTold) {
    TempDir dir;
    auto wide = randomImage(6, 3, 2);
    ASSERT_TRUE(testing_support::saveBitmap(*wide, dir / "wide.bmp"));
    const std::string missing = (dir / "lmask.bmp").string();
    const std::string notSquare = (dir / "wide.bmp").string();
    TForm1 form1;
    try {
        TForm2 form2(form1, {missing, notSquare});
        FAIL() << "a window without a diaphragm";
    } catch (const DefaultDiaphragmMissing& error) {
        const std::string what = error.what();
        EXPECT_NE(what.find(missing), std::string::npos) << what;
        EXPECT_NE(what.find(notSquare + ": not square"), std::string::npos) << what;
        EXPECT_EQ(form1.Form2, nullptr);

        AnsweredPrompts prompts;
        testing::internal::CaptureStderr();
        reportMissingDiaphragm(error);
        const std::string written = testing::internal::GetCapturedStderr();
        EXPECT_EQ(written, "bokavo: Cannot open diaphragm image: " + what + "\n");
        ASSERT_EQ(prompts.boxes.size(), 1u);
        EXPECT_EQ(prompts.boxes[0].text, "Cannot open diaphragm image");
        EXPECT_EQ(prompts.boxes[0].caption, "Error");
        EXPECT_EQ(prompts.boxes[0].icon, QMessageBox::Critical);
        EXPECT_EQ(prompts.boxes[0].owner, nullptr);
    }
}

// A picture with bright points on a dark ground, and a depth mask of another size.
std::unique_ptr<dib24> photograph() {
    return testing_support::makeImage(150, 100, [](int x, int r, int c) {
        return std::uint8_t((x * 7 + r * 13) % 29 == 0 ? 255 : (x + 2 * r + 40 * c) % 50);
    });
}

std::unique_ptr<dib24> depthMask() {
    return testing_support::makeImage(75, 50,
                                      [](int x, int r, int) { return std::uint8_t(3 * x + r); });
}

std::unique_ptr<dib24> diaphragm() {
    return testing_support::makeImage(9, 9, [](int x, int r, int) {
        const int dx = x - 4, dy = r - 4;
        return std::uint8_t(dx * dx + dy * dy <= 16 ? 255 : 0);
    });
}

class ThroughTheWindows : public settings_support::BothWindows {
protected:
    QString path(const std::string& name) { return QString::fromStdString((dir / name).string()); }
    TempDir dir;
};

TEST_F(ThroughTheWindows, SavedResultEqualsTheCommandLineRenderers) {
    ASSERT_TRUE(testing_support::saveBitmap(*photograph(), dir / "photo.bmp"));
    ASSERT_TRUE(testing_support::saveBitmap(*depthMask(), dir / "depth.bmp"));
    ASSERT_TRUE(testing_support::saveBitmap(*diaphragm(), dir / "aperture.bmp"));

    // Open the photograph, choose the diaphragm, set the parameters as a user types them.
    prompts.fileAnswers = {path("photo.bmp"), path("aperture.bmp"), path("depth.bmp"),
                           path("result.bmp")};
    form1.OpenO1->trigger();
    form2.Button1->click();
    focus(form2.Edit1);
    type(form2.Edit1, "0.35");
    QTest::keyClick(form2.Edit1, Qt::Key_Tab);
    type(form2.Edit4, "1.8");
    QTest::keyClick(form2.Edit4, Qt::Key_Tab);
    QTest::keyClick(form2.CheckBoxBlend, Qt::Key_Space);
    type(form2.Edit2, "40");
    type(form2.Edit3, "3.5");
    QTest::keyClick(form2.Edit3, Qt::Key_Return);
    EXPECT_EQ(form2.Edit1->text(), "0.350000");
    EXPECT_EQ(form2.Edit4->text(), "1.800000");
    EXPECT_FALSE(form2.CheckBoxBlend->isChecked());

    // The depth mask has half the size: resized after OK. Depth of field can be switched
    // on once it is there. Then Defocus, with OK to the blend question, and Save.
    form2.Button4->click();
    form2.CheckBoxDOF->click();
    EXPECT_TRUE(form2.CheckBoxDOF->isChecked());
    form1.Blur1->trigger();
    form1.Saveas1->trigger();
    ASSERT_EQ(prompts.boxes.size(), 2u);
    EXPECT_EQ(prompts.boxes[0].text, "Image & Mask size not match, continue?");
    EXPECT_EQ(prompts.boxes[1].text, "Blend switch not checked, coninue?");
    EXPECT_EQ(form1.StatusBar1->currentMessage(), "done");

    const std::string command =
        std::string("'") + BOKAVO_RENDER_PATH + "' '" + (dir / "photo.bmp").string() + "' '" +
        (dir / "expected.bmp").string() + "' --diaphragm '" + (dir / "aperture.bmp").string() +
        "' --zmask '" + (dir / "depth.bmp").string() +
        "' --fit-zmask --density 0.35 --gamma 1.8 --no-blend"
        " --threshold 40 --dist-scaling 3.5 --quiet";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;

    const auto saved = testing_support::loadBitmap(dir / "result.bmp");
    const auto expected = testing_support::loadBitmap(dir / "expected.bmp");
    ASSERT_TRUE(saved && expected);
    EXPECT_TRUE(samePixels(*saved, *expected));
    EXPECT_FALSE(samePixels(*saved, *photograph()));
    EXPECT_EQ(testing_support::readFileBytes(dir / "result.bmp"),
              testing_support::readFileBytes(dir / "expected.bmp"));
}

// The resolution a picture file states, in pixels per metre: its own field's (a bitmap's
// biXPelsPerMeter, which the reader ignores) and the EXIF's, 0 where there is none.
std::pair<std::uint32_t, long> statedResolution(const fs::path& file) {
    const std::vector<std::uint8_t> bytes = testing_support::readFileBytes(file);
    if (file.extension() == ".bmp") return {bytes[38] | bytes[39] << 8 | bytes[40] << 16, 0};
    PictureMetadata own;
    EXPECT_TRUE(readPicture(file.string(), nullptr, &own)) << file;
    Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(file.string());
    image->readMetadata();
    const Exiv2::ExifData& exif = image->exifData();
    const auto x = exif.findKey(Exiv2::ExifKey("Exif.Image.XResolution"));
    const auto unit = exif.findKey(Exiv2::ExifKey("Exif.Image.ResolutionUnit"));
    const bool perCm = unit != exif.end() && unit->toLong() == 3;
    return {picture_resolution::pixelsPerMetre(own.resolution, false),
            x == exif.end() ? 0 : std::lround(x->toFloat() * (perCm ? 100 : 1 / 0.0254))};
}

TEST_F(ThroughTheWindows, SavedFilesKeepTheResolutionAndEqualTheCommandLinesBytes) {
    ASSERT_TRUE(testing_support::saveBitmap(*form2.diaphragms.shape, dir / "aperture.bmp"));
    // 300 dpi is 11811 pixels per metre; a TIFF made from the PNG says 118.11 per cm.
    for (const std::string input : {"dpi300.jpg", "dpi300.png"}) {
        for (const std::string format : {"jpg", "png", "tif", "webp", "bmp"}) {
            SCOPED_TRACE(input + " as " + format);
            const std::string source = std::string(BOKAVO_PICTURES_DIR) + "/" + input;
            prompts.fileAnswers = {QString::fromStdString(source), path("window." + format)};
            form1.OpenO1->trigger();
            form1.Blur1->trigger();
            form1.Saveas1->trigger();
            ASSERT_TRUE(prompts.boxes.empty());
            const std::string command = "'" BOKAVO_RENDER_PATH "' -q '" + source + "' '" +
                                        (dir / ("cli." + format)).string() + "' --diaphragm '" +
                                        (dir / "aperture.bmp").string() + "'";
            ASSERT_EQ(std::system(command.c_str()), 0) << command;
            EXPECT_EQ(testing_support::readFileBytes(dir / ("window." + format)),
                      testing_support::readFileBytes(dir / ("cli." + format)));
            // WebP has no field of its own, and the PNG no EXIF to carry it.
            const auto [own, exif] = statedResolution(dir / ("cli." + format));
            EXPECT_EQ(own, format != "webp" || input == "dpi300.jpg" ? 11811u : 0u);
            EXPECT_EQ(exif,
                      format != "bmp" && (input == "dpi300.jpg" || format == "tif") ? 11811 : 0);
        }
    }
}

}  // namespace
