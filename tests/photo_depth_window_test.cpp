// A portrait photo's depth map in the windows: opened with the photo or through "Load
// ZMask", the reasons when it cannot be used, and "Save ZMask as".
#include <gtest/gtest.h>

#include <QStatusBar>
#include <filesystem>

#include "pictures/picture_file.h"
#include "tests/settings_support.h"

namespace {

using settings_support::BothWindows;
using testing_support::samePixels;

QString pictureNamed(const std::string& name) {
    return QString::fromStdString((std::filesystem::path(BOKAVO_PICTURES_DIR) / name).string());
}

// The rule's mask of a portrait (worked out by the fixture), resized to the photo.
std::unique_ptr<dib24> expectedMask(const std::string& portrait, const dib24& photo) {
    const auto mask = readPicture(pictureNamed(portrait + ".expected.png").toStdString());
    return mask ? mask->resized(photo.width, photo.height) : nullptr;
}

class PhotoDepthWindows : public BothWindows {};

TEST_F(PhotoDepthWindows, OpeningAPortraitLoadsItsDepthMapOrSaysWhyItCannot) {
    form1.openImageFile(&form1, pictureNamed("gdepth_main_linear.jpg"));
    ASSERT_TRUE(form1.currentImage);
    ASSERT_TRUE(form2.depthMask);
    EXPECT_TRUE(
        samePixels(*form2.depthMask, *expectedMask("gdepth_main_linear.jpg", *form1.currentImage)));
    EXPECT_TRUE(form2.maskThumbnail);
    EXPECT_EQ(form2.ComboBox1->currentText(), "Bright is near");
    EXPECT_EQ(form1.StatusBar1->currentMessage(),
              "Depth map of the photo loaded as ZMask (8 x 12)");

    // Only the map is damaged: the photo opens, without a mask, and the status says why.
    form1.openImageFile(&form1, pictureNamed("depth_bad_guid.jpg"));
    EXPECT_EQ(form1.currentImage->width, 24);
    EXPECT_FALSE(form2.depthMask);
    EXPECT_EQ(form1.StatusBar1->currentMessage(),
              "The photo's depth map cannot be used: no extended XMP segment carries the GUID " +
                  QString(32, '0'));
    EXPECT_TRUE(prompts.boxes.empty());
}

TEST_F(PhotoDepthWindows, LoadZMaskTakesAPortraitsDepthMapAndSaveZMaskWritesTheMask) {
    form1.openImageFile(&form1, pictureNamed("camera.jpg"));
    ASSERT_FALSE(form2.depthMask);
    form2.ComboBox1->setCurrentIndex(0);
    prompts.fileAnswers = {pictureNamed("dd_inverse.jpg")};
    form2.Button4->click();  // the depth map is 12 x 8, the photo 30 x 40: the size question
    ASSERT_EQ(prompts.boxes.size(), 1u);
    ASSERT_TRUE(form2.depthMask);
    EXPECT_TRUE(samePixels(*form2.depthMask, *expectedMask("dd_inverse.jpg", *form1.currentImage)));
    EXPECT_EQ(form2.ComboBox1->currentText(), "Bright is near");

    prompts.fileAnswers = {pictureNamed("depth_bad_units.jpg")};
    form2.Button4->click();
    ASSERT_EQ(prompts.boxes.size(), 2u);
    EXPECT_EQ(prompts.boxes[1].text, "Cannot open mask image");
    EXPECT_EQ(prompts.boxes[1].detail, "the depth map's units are Diopters, not metres");

    testing_support::TempDir dir;
    const QString saved = QString::fromStdString((dir / "zmask.png").string());
    prompts.fileAnswers = {saved};
    form1.SaveZMask1->trigger();
    ASSERT_EQ(prompts.dialogs.size(), 3u);
    EXPECT_EQ(prompts.dialogs[2].mode, QFileDialog::AcceptSave);
    EXPECT_EQ(prompts.dialogs[2].filters.size(), 5);
    EXPECT_TRUE(samePixels(*readPicture(saved.toStdString()), *form2.depthMask));

    form1.openImageFile(&form1, pictureNamed("camera.jpg"));
    form1.SaveZMask1->trigger();
    EXPECT_EQ(prompts.dialogs.size(), 3u);
    EXPECT_EQ(form1.StatusBar1->currentMessage(), "Load a depth mask (ZMask) to save it");
}

}  // namespace
