// A HEIC portrait in the windows: it opens upright with its depth image as the ZMask.
#include <gtest/gtest.h>

#include <QStatusBar>

#include "image/picture_file.h"
#include "tests/heif_samples.h"
#include "tests/settings_support.h"

namespace {

class HeicWindows : public settings_support::BothWindows {};

TEST_F(HeicWindows, OpeningAHeicPortraitLoadsItsDepthImageAsTheZMask) {
    const heif_samples::Source portrait{.alpha = true, .orientation = 6};
    const heif_samples::Bytes file = heif_samples::withDepth(heif_samples::encode(portrait));
    testing_support::TempDir dir;
    testing_support::writeFileBytes(dir / "portrait.heic", file);
    form1.openImageFile(&form1, QString::fromStdString((dir / "portrait.heic").string()));
    ASSERT_TRUE(form1.currentImage);
    EXPECT_EQ(form1.currentImage->width, portrait.height);
    ASSERT_TRUE(form2.depthMask);
    const PhotoDepth depth = decodePhotoDepth(file.data(), file.size());
    ASSERT_TRUE(depth.mask);
    EXPECT_TRUE(testing_support::samePixels(*form2.depthMask, *depth.mask));
    EXPECT_EQ(form2.ComboBox1->currentText(), "Bright is near");
    EXPECT_EQ(form1.StatusBar1->currentMessage(),
              "Depth map of the photo loaded as ZMask (16 x 24)");
    EXPECT_TRUE(prompts.boxes.empty());
}

}  // namespace
