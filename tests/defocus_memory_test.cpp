// The renderer when memory runs out: every allocation it makes is made to fail in turn,
// and each time the image must come out unchanged, the failure must reach the caller,
// and no painting thread may outlive the call.
#include <gtest/gtest.h>

#include <cstring>
#include <new>

#include "defocus/defocus.h"
#include "defocus/maskman.h"
#include "image/dib24.h"
#include "tests/failing_allocator.h"
#include "tests/test_bitmaps.h"

namespace {

using testing_support::makeImage;
using testing_support::samePixels;

class SilentNotifyer : public Notifyer {
public:
    void Notify(int, int) override { ++count; }
    void Done() override { ++count; }
    int count = 0;
};

// Fails the first, second, third … allocation of one DefocusImage call until the call
// gets through; returns how many failures were provoked.
int failEachAllocation(bool depthOfField) {
    const auto source = makeImage(
        40, 30, [](int x, int r, int c) { return std::uint8_t((x * 13 + r * 7 + c * 50) % 256); });
    const auto depth = makeImage(40, 30, [](int x, int, int) { return std::uint8_t(x * 6); });
    const DofSettings dof{depth.get(), 100.0, 2.0};
    int failures = 0;
    for (long allowed = 0;; ++allowed) {
        MaskMan masks;
        masks.shape = makeImage(9, 9, [](int, int, int) { return std::uint8_t(255); });
        auto image = makeImage(40, 30, [&](int x, int r, int c) {
            return source->bits[std::size_t(r) * source->stride + 3 * x + c];
        });
        SilentNotifyer notifyer;
        failing_allocator::failAfter(allowed);
        try {
            DefocusImage(*image, masks, 0.3, 1.0, 9, 1, depthOfField ? &dof : nullptr, &notifyer,
                         3);
            failing_allocator::disarm();
            EXPECT_EQ(notifyer.count, 31);
            return failures;
        } catch (const std::bad_alloc&) {
        } catch (const MissingKernel&) {
            // A scaled kernel that cannot be allocated: the diaphragm set yields none.
            EXPECT_TRUE(depthOfField);
        }
        failing_allocator::disarm();
        ++failures;
        EXPECT_TRUE(samePixels(*source, *image)) << "after failing allocation " << allowed;
    }
}

TEST(RendererOutOfMemory, EveryFailedAllocationLeavesTheImageUnchanged) {
    EXPECT_GT(failEachAllocation(false), 0);
}

TEST(RendererOutOfMemory, DepthOfFieldKernelsAndBuffers) {
    EXPECT_GT(failEachAllocation(true), 0);
}

}  // namespace
