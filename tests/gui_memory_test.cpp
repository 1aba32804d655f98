// The Defocus command and the preview when memory runs out: the failure reaches the
// application's exception box, the image stays as it was and the program goes on. This
// program replaces operator new, so it stays separate from the other window tests.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "tests/failing_allocator.h"
#include "tests/settings_support.h"

namespace {

using testing_support::samePixels;

class OutOfMemory : public settings_support::BothWindows {
protected:
    // Runs `method` of `target` from the event loop, as a click does, with every
    // allocation of `size` bytes or more failing.
    void runStarved(QObject* target, const char* method, std::size_t size) {
        QMetaObject::invokeMethod(target, method, Qt::QueuedConnection);
        failing_allocator::failFrom(size);
        QCoreApplication::processEvents();
        failing_allocator::disarm();
    }

    void expectOutOfMemoryBox() {
        ASSERT_EQ(prompts.boxes.size(), 1u);
        EXPECT_EQ(prompts.boxes[0].text, "Out of memory");
        EXPECT_EQ(prompts.boxes[0].caption, "Bokavo");
        prompts.boxes.clear();
    }
};

TEST_F(OutOfMemory, DefocusLeavesTheImageAndTheStatusBarsLastText) {
    form1.installImage(testing_support::randomImage(300, 200, 1));
    const auto source = form1.currentImage->copy();
    // The result rows alone take 300 x 200 x 3 bytes.
    runStarved(form1.Blur1, "trigger", 150000);
    expectOutOfMemoryBox();
    EXPECT_TRUE(samePixels(*form1.currentImage, *source));
    EXPECT_NE(form1.StatusBar1->currentMessage(), "done");

    // With memory back, the same command runs.
    QMetaObject::invokeMethod(form1.Blur1, "trigger", Qt::QueuedConnection);
    QCoreApplication::processEvents();
    EXPECT_TRUE(prompts.boxes.empty());
    EXPECT_EQ(form1.StatusBar1->currentMessage(), "done");
    EXPECT_FALSE(samePixels(*form1.currentImage, *source));
}

TEST_F(OutOfMemory, PreviewLeavesNoHalfMadePreview) {
    form1.installImage(testing_support::randomImage(400, 300, 2));
    const auto source = form1.currentImage->copy();
    form2.Button2->click();
    ASSERT_NE(form2.previewImage, nullptr);
    // The region alone takes 183 x 183 x 3 bytes and more.
    runStarved(form2.Button2, "click", 90000);
    expectOutOfMemoryBox();
    EXPECT_EQ(form2.previewImage, nullptr);
    EXPECT_TRUE(samePixels(*form1.currentImage, *source));
}

}  // namespace
