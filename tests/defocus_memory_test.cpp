// The renderer when memory runs out: every allocation it makes is made to fail in turn,
// and each time the image must come out unchanged, the failure must reach the caller,
// and no painting thread may outlive the call.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "defocus/defocus.h"
#include "defocus/maskman.h"
#include "image/dib24.h"
#include "tests/test_bitmaps.h"

// The replacements below hand out malloc memory for new and take it back with free, which
// GCC flags wherever it inlines one against the other.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
// After this many more allocations every operator new fails; negative: never.
std::atomic<long> allocationsLeft{-1};
}  // namespace

void* operator new(std::size_t size) {
    long left = allocationsLeft.load();
    while (left >= 0) {
        if (left == 0) throw std::bad_alloc();
        if (allocationsLeft.compare_exchange_weak(left, left - 1)) break;
    }
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using testing_support::makeImage;
using testing_support::samePixels;

class SilentNotifyer : public Notifyer {
public:
    void Notify(const char*) override { ++count; }
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
        allocationsLeft = allowed;
        try {
            DefocusImage(*image, masks, 0.3, 1.0, 9, 1, depthOfField ? &dof : nullptr, &notifyer,
                         3);
            allocationsLeft = -1;
            EXPECT_EQ(notifyer.count, 31);
            return failures;
        } catch (const std::bad_alloc&) {
        } catch (const MissingKernel&) {
            // A scaled kernel that cannot be allocated: the diaphragm set yields none.
            EXPECT_TRUE(depthOfField);
        }
        allocationsLeft = -1;
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
