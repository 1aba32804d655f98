// The product renderer. It gives the straightforward per-source painter's bytes, but
// turns the work around: each target row gathers, in source order, the strokes that land
// on it (defocus/paint_row_simd.cpp), so rows are independent and run on every core,
// paint and cover of a block of pixels stay in registers, and no full-size float planes
// exist. Finished rows go to a byte buffer and replace the image only when every row is
// done, since each row is still a source for its neighbours until then.
#include "defocus/defocus.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <vector>

#include "defocus/defocus_math.h"
#include "defocus/maskman.h"
#include "defocus/paint_row.h"
#include "image/dib24.h"

namespace {

using namespace defocus_math;

// An uninitialised array for the renderer's large buffers. Each fresh page costs a fault
// on first touch, which on a virtual machine adds tens of milliseconds to one render;
// where the system hands out transparent huge pages on request, arrays of 2 MiB and more
// ask for them and take one fault per 2 MiB instead.
template <typename T>
class LargeBuffer {
    static_assert(std::is_trivially_default_constructible_v<T>);
    static constexpr std::size_t kHugePage = std::size_t{2} << 20;

public:
    explicit LargeBuffer(std::size_t count) : size_(count) {
        if (count > (SIZE_MAX - kHugePage) / sizeof(T)) throw std::bad_alloc();
        const std::size_t bytes = count * sizeof(T);
        if (bytes < kHugePage) {
            data_ = static_cast<T*>(::operator new(bytes));
            return;
        }
        aligned_ = true;
        const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        data_ = static_cast<T*>(::operator new (rounded, std::align_val_t{kHugePage}));
        madvise(data_, rounded, MADV_HUGEPAGE);  // only a hint: refused is fine
    }
    ~LargeBuffer() {
        if (aligned_)
            ::operator delete (data_, std::align_val_t{kHugePage});
        else
            ::operator delete(data_);
    }
    LargeBuffer(const LargeBuffer&) = delete;
    LargeBuffer& operator=(const LargeBuffer&) = delete;

    T* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    T* data_ = nullptr;
    std::size_t size_;
    bool aligned_ = false;
};

// Whether every value a stroke stores is 0 or lies in the normal float range
// (paint_row::Job::splitRounding), given the source powers and the density d.
// - Paint only grows, so a stored paint value is at least the weakest first stroke onto
//   0, d x (k x h) for the smallest non-zero power k and intensity h = 1 / 255.
// - Cover is at least d x h, which is larger, while d <= 1. For 1 < d <= 2 the factor
//   1 - d is negative and (1 - d) c + d h may cancel; but d h >= 1/255, so a sum that
//   is not 0 either has a first term too small to cancel much, or two terms whose last
//   bits are worth 2^-61 or more.
// - With d <= 2 paint and cover grow by at most 2 a stroke, far below the float maximum;
//   beyond that the cover can double with every stroke and overflow.
bool strokesStayNormal(const std::array<double, 256>& sourcePower, double density) {
    if (!(density > 0.0 && density <= 2.0)) return false;
    double weakest = 1.0;
    for (const double power : sourcePower)
        if (power > 0.0) weakest = std::min(weakest, power);
    return density * (weakest * kernelIntensity(1)) >= 0x1p-126;  // the smallest normal float
}

// How far below the least paint of a register, in the units of the skip test, a source's
// strongest stroke onto it must stay to be passed over (paint_row::Job::skipFactor).
//
// A stroke with term s = d (k h) raises nothing where keep e + s <= e, keep the double
// nearest 1 - d: with rounding to nearest that holds whenever s <= e (d - 3u), u = 2^-53,
// for every d above 0 and e >= 0. The painter passes a source over when, for its power K
// and the largest byte B that reaches the register, K B <= f e for the register's least
// paint e. With h <= B / 255 (1 + u), s <= d (k h) (1 + u) and each product rounded, that
// gives s <= e d (f / 255) (1 + u)^5, which stays below e (d - 3u) when f / 255 is
// 1 - 2^-29 and d at least 2^-20; subnormal results add less than 2^-1074, far below the
// margin of a paint that is not 0 (at least 2^-149, a float). Smaller or larger densities
// and ones that are not a number get 0: only sources whose strokes are 0 are passed over.
double skipFactorFor(double density) {
    if (!(density >= 0x1p-20 && density <= 0x1p20)) return 0.0;
    return 255.0 * (1.0 - 0x1p-29);
}

// The float nearest v, or the next one up where that lies below v: a bound kept in half
// the memory of a double. (v is a power, 0 ... 1.)
float floatAtLeast(double v) {
    const float f = static_cast<float>(v);
    return double(f) < v ? std::nextafter(f, 2.0f) : f;
}

// A kernel from the diaphragm set laid out for the painter (paint_row::Kernel).
class PreparedKernel {
public:
    explicit PreparedKernel(const dib24& kernel) {
        using paint_row::kKernelPad;
        using paint_row::kMaxLanes;
        const int n = kernel.width;
        const std::size_t line = std::size_t(n) + 2 * kKernelPad;
        plane_.assign(std::size_t(n) * 3 * line, 0);
        reversedPeak_.assign(plane_.size(), 0);
        rowPeak_.assign(std::size_t(n) * 3, 0);
        first_.assign(std::size_t(n), n);
        last_.assign(std::size_t(n), -1);
        for (int kr = 0; kr < n; ++kr) {
            const std::uint8_t* row = kernel.bits + std::ptrdiff_t(kr) * kernel.stride;
            for (int c = 0; c < 3; ++c) {
                const std::size_t at = std::size_t(kr) * 3 + c;
                std::uint8_t* plane = plane_.data() + at * line + kKernelPad;
                for (int kc = 0; kc < n; ++kc) {
                    const std::uint8_t b = row[3 * kc + c];
                    plane[kc] = b;
                    if (b == 0) continue;
                    rowPeak_[at] = std::max(rowPeak_[at], b);
                    first_[kr] = std::min(first_[kr], kc);
                    last_[kr] = std::max(last_[kr], kc);
                }
                // Entry i: the largest byte of columns n - 1 - i ... n - 1 - i + kMaxLanes - 1.
                std::uint8_t* peak = reversedPeak_.data() + at * line;
                for (int i = -kKernelPad; i < n + kKernelPad; ++i) {
                    std::uint8_t most = 0;
                    for (int kc = std::max(0, n - 1 - i);
                         kc <= std::min(n - 1, n - 2 - i + kMaxLanes); ++kc)
                        most = std::max(most, plane[kc]);
                    peak[kKernelPad + i] = most;
                }
            }
        }
        bool grey = true;
        for (int kr = 0; kr < n && grey; ++kr) {
            const std::uint8_t* red = plane_.data() + std::size_t(kr) * 3 * line;
            grey = std::equal(red, red + line, red + line) &&
                   std::equal(red, red + line, red + 2 * line);
        }
        view_ = {n,
                 std::ptrdiff_t(line),
                 plane_.data(),
                 reversedPeak_.data(),
                 rowPeak_.data(),
                 first_.data(),
                 last_.data(),
                 grey};
    }
    const paint_row::Kernel* view() const { return &view_; }

private:
    std::vector<std::uint8_t> plane_, reversedPeak_, rowPeak_;
    std::vector<std::int32_t> first_, last_;
    paint_row::Kernel view_;
};

// Every kernel one call needs, fetched on the calling thread before any painting (the
// diaphragm set's cache is not thread-safe) in the order the sources first ask for them.
class KernelSet {
public:
    KernelSet(MaskMan& masks, const dib24& image, int size, const DofSettings* dof) {
        if (!dof) {
            fixed_ = add(masks, size);
            return;
        }
        const dib24& depth = *dof->depthMask;
        std::array<bool, 256> seen{};
        int unseen = 256;
        for (int r = 0; r < image.height && unseen > 0; ++r) {
            const std::uint8_t* row = depth.bits + std::ptrdiff_t(r) * depth.stride;
            for (int x = 0; x < image.width && unseen > 0; ++x) {
                const std::uint8_t m = row[3 * x];
                if (seen[m]) continue;
                seen[m] = true;
                --unseen;
                ofDepth_[m] = add(masks, defocus_math::dofKernelSize(m, *dof, size));
            }
        }
    }

    const paint_row::Kernel* fixed() const { return fixed_; }
    const paint_row::Kernel* const* ofDepth() const { return ofDepth_.data(); }
    int reachLow() const { return largest_ / 2; }
    int reachHigh() const { return largest_ - 1 - largest_ / 2; }
    int largest() const { return largest_; }

private:
    const paint_row::Kernel* add(MaskMan& masks, int size) {
        const dib24* kernel = size >= 1 ? masks.GetMask(size) : nullptr;
        if (!kernel || !kernel->bits) throw MissingKernel(size);
        for (const auto& p : prepared_)
            if (p.first == kernel) return p.second->view();
        prepared_.emplace_back(kernel, std::make_unique<PreparedKernel>(*kernel));
        largest_ = std::max(largest_, kernel->width);
        return prepared_.back().second->view();
    }

    std::vector<std::pair<const dib24*, std::unique_ptr<PreparedKernel>>> prepared_;
    std::array<const paint_row::Kernel*, 256> ofDepth_{};
    const paint_row::Kernel* fixed_ = nullptr;
    int largest_ = 0;
};

// Source rows prepared for the painter by one thread: source powers with zeros around,
// the runs of sources that share a kernel with their peaks, and with occlusion each
// source's nearness. A thread paints consecutive target rows, which share most of their
// source rows, so rows are kept in a ring and prepared once while they stay in reach.
class SourceRows {
public:
    // nearnessOfDepth: with occlusion, the nearness of each depth byte; otherwise null.
    SourceRows(const dib24& image, const double* sourcePower, const KernelSet& kernels,
               const dib24* depth, const double* nearnessOfDepth, int capacity)
        : image_(image),
          sourcePower_(sourcePower),
          kernels_(kernels),
          depth_(depth),
          nearnessOfDepth_(nearnessOfDepth),
          width_(image.width),
          rowLength_(std::size_t(width_) + 2 * std::size_t(kMargin)),
          capacity_(capacity),
          exact_(3 * rowLength_),
          powerBound_(std::size_t(capacity) * 3 * rowLength_),
          reachPeak_(depth ? 0 : std::size_t(capacity) * 3 * reachLength(width_)),
          reachScratch_(depth ? 0 : 2 * reachLength(width_)),
          groupPeak_(kernels.largest() >= paint_row::kWideKernel
                         ? std::size_t(capacity) * 3 * groupLength(width_)
                         : 0),
          strong_(!nearnessOfDepth && kernels.largest() >= paint_row::kWideKernel
                      ? std::size_t(capacity) * strongRoom(width_)
                      : 0),
          strongFrom_(strong_.empty() ? 0 : std::size_t(capacity) * strongFromLength(width_)),
          runs_(depth ? std::size_t(capacity) * width_ : std::size_t(capacity)),
          runAt_(depth ? std::size_t(capacity) * width_ : 0),
          coarseLargest_(depth ? std::size_t(capacity) * coarseLength(width_) : 0),
          coarsePeak_(depth ? std::size_t(capacity) * 3 * coarseLength(width_) : 0),
          nearness_(nearnessOfDepth ? std::size_t(capacity) * rowLength_ : 0),
          stored_(std::size_t(capacity), -1),
          rows_(std::size_t(capacity)) {
        for (int b = 0; b < 256; ++b)
            powerBoundOfByte_[std::size_t(b)] = floatAtLeast(sourcePower[b]);
    }

    // Columns of zeros around each row: a register's lanes read up to kMaxLanes - 1
    // columns beyond the sources they test.
    static constexpr int kMargin = paint_row::kMaxLanes;

    // Bytes one ring slot takes.
    static std::size_t slotBytes(int width, bool depthOfField, bool occlusion, bool wide) {
        const std::size_t length = std::size_t(width) + 2 * std::size_t(kMargin);
        return 3 * length * sizeof(float) + (occlusion ? length * sizeof(double) : 0) +
               (wide ? 3 * groupLength(width) * sizeof(float) : 0) +
               (wide && !occlusion
                    ? (strongRoom(width) + strongFromLength(width)) * sizeof(std::int32_t)
                    : 0) +
               (depthOfField
                    ? std::size_t(width) * (sizeof(paint_row::Run) + sizeof(std::int32_t)) +
                          coarseLength(width) * (sizeof(std::int32_t) + 3 * sizeof(double))
                    : 3 * reachLength(width) * sizeof(double) + sizeof(paint_row::Run));
    }

    int capacity() const { return capacity_; }

    // Source row r; rows asked for since the last `capacity` requests stay valid.
    const paint_row::SourceRow* get(int r) {
        const std::size_t slot = std::size_t(r % capacity_);
        if (stored_[slot] != r) prepare(slot, r);
        return &rows_[slot];
    }

private:
    void prepare(std::size_t slot, int r) {
        paint_row::SourceRow& row = rows_[slot];
        paint_row::Run* runs = runs_.data() + (depth_ ? slot * width_ : slot);
        const std::uint8_t* source = image_.bits + std::ptrdiff_t(r) * image_.stride;
        row.pixels = source;
        // The exact powers, for the bounds below: one row's worth, reused.
        const double* exact[3];
        for (int c = 0; c < 3; ++c) {
            double* power = exact_.data() + std::size_t(c) * rowLength_;
            std::fill(power, power + kMargin, 0.0);
            std::fill(power + kMargin + width_, power + rowLength_, 0.0);
            power += kMargin;
            for (int x = 0; x < width_; ++x) power[x] = sourcePower_[source[3 * x + c]];
            exact[c] = power;
            float* bound = powerBound_.data() + (slot * 3 + c) * rowLength_;
            std::fill(bound, bound + kMargin, 0.0f);
            std::fill(bound + kMargin + width_, bound + rowLength_, 0.0f);
            bound += kMargin;
            for (int x = 0; x < width_; ++x) bound[x] = powerBoundOfByte_[source[3 * x + c]];
            row.power[c] = bound;
            row.groupPeak[c] = nullptr;
            if (groupPeak_.empty()) continue;
            // The powers beyond the row are 0 up to the margin's end, and so are the peaks
            // of the groups after it.
            float* groupPeak = groupPeak_.data() + (slot * 3 + c) * groupLength(width_);
            constexpr int kColumns = paint_row::kGroupColumns;
            static_assert(kColumns <= kMargin, "a row's last group ends within its margin");
            std::fill(groupPeak, groupPeak + groupLength(width_), 0.0f);
            for (int i = 0; i * kColumns < width_; ++i) {
                double largest = power[i * kColumns];
                for (int x = 1; x < kColumns; ++x)
                    largest = std::max(largest, power[i * kColumns + x]);
                groupPeak[i] = floatAtLeast(largest);
            }
            row.groupPeak[c] = groupPeak;
        }
        row.nearness = nullptr;
        row.strong = nullptr;
        row.strongCount = 0;
        row.strongFrom = nullptr;
        if (depth_) {
            const std::uint8_t* depth = depth_->bits + std::ptrdiff_t(r) * depth_->stride;
            std::int32_t* runAt = runAt_.data() + slot * width_;
            int count = 0;
            for (int x = 0; x < width_; ++x) {
                const paint_row::Kernel* kernel = kernels_.ofDepth()[depth[3 * x]];
                if (count == 0 || runs[count - 1].kernel != kernel)
                    runs[count++] = paint_row::Run{x, x, kernel, {}, 255.0, 0.0};
                paint_row::Run& run = runs[count - 1];
                run.x1 = x + 1;
                for (int c = 0; c < 3; ++c) run.peak[c] = std::max(run.peak[c], exact[c][x]);
                runAt[x] = count - 1;
            }
            if (nearnessOfDepth_) {
                double* nearness = nearness_.data() + slot * rowLength_;
                std::fill(nearness, nearness + rowLength_, 0.0);
                nearness += kMargin;
                for (int x = 0; x < width_; ++x) {
                    const double near = nearnessOfDepth_[depth[3 * x]];
                    nearness[x] = near;
                    paint_row::Run& run = runs[runAt[x]];
                    run.nearLow = std::min(run.nearLow, near);
                    run.nearHigh = std::max(run.nearHigh, near);
                }
                row.nearness = nearness;
            }
            std::int32_t* largest = coarseLargest_.data() + slot * coarseLength(width_);
            std::fill(largest, largest + coarseLength(width_), 0);
            for (int x = 0; x < width_; ++x) {
                std::int32_t& stretch = largest[x / paint_row::kCoarseWindow];
                stretch = std::max(stretch, runs[runAt[x]].kernel->n);
            }
            row.runCount = count;
            row.runAt = runAt;
            row.coarseLargest = largest;
            for (int c = 0; c < 3; ++c) {
                double* peak = coarsePeak_.data() + (slot * 3 + c) * coarseLength(width_);
                std::fill(peak, peak + coarseLength(width_), 0.0);
                for (int x = 0; x < width_; ++x) {
                    double& stretch = peak[x / paint_row::kCoarseWindow];
                    stretch = std::max(stretch, exact[c][x]);
                }
                row.coarsePeak[c] = peak;
            }
            for (int c = 0; c < 3; ++c) row.reachPeak[c] = nullptr;
        } else {
            // The row is one run, and the strongest source a register can meet is bounded
            // by the row's reach peaks instead.
            runs[0] = paint_row::Run{0, width_, kernels_.fixed(), {}, 0.0, 0.0};
            row.runCount = 1;
            row.runAt = nullptr;
            row.coarseLargest = nullptr;
            for (int c = 0; c < 3; ++c) row.coarsePeak[c] = nullptr;
            for (int c = 0; c < 3; ++c) {
                double* peak = reachPeak_.data() + (slot * 3 + c) * reachLength(width_);
                findReachPeaks(exact[c], peak);
                row.reachPeak[c] = peak;
            }
        }
        if (!strong_.empty()) listStrong(slot, source, exact, row);
        row.runs = runs;
        stored_[slot] = r;
    }

    // Lists the row's strongest sources, at most strongRoom of them: those whose largest
    // byte lies above the lowest level that leaves no more than that many above it. Where
    // a few highlights stand out, the sources around them bound the rest low enough that
    // a block whose registers are all brighter tests the highlights alone.
    void listStrong(std::size_t slot, const std::uint8_t* source, const double* const* exact,
                    paint_row::SourceRow& row) {
        const auto largestByte = [source](int x) {
            return std::max({source[3 * x], source[3 * x + 1], source[3 * x + 2]});
        };
        std::array<int, 256> count{};
        for (int x = 0; x < width_; ++x) ++count[largestByte(x)];
        const int room = int(strongRoom(width_));
        int level = 255, above = 0;
        while (level >= 0 && above + count[std::size_t(level)] <= room)
            above += count[std::size_t(level--)];
        std::int32_t* strong = strong_.data() + slot * strongRoom(width_);
        std::int32_t* from = strongFrom_.data() + slot * strongFromLength(width_);
        int listed = 0;
        for (int c = 0; c < 3; ++c) row.weakPeak[c] = 0.0;
        for (int x = 0; x < width_; ++x) {
            if (x % paint_row::kStrongStride == 0) from[x / paint_row::kStrongStride] = listed;
            if (largestByte(x) > level) {
                strong[listed++] = x;
                continue;
            }
            for (int c = 0; c < 3; ++c) row.weakPeak[c] = std::max(row.weakPeak[c], exact[c][x]);
        }
        row.strong = strong;
        row.strongCount = listed;
        row.strongFrom = from;
    }

    // At most this many of a row's sources are listed as strong. (One in 64 measured
    // faster than one in 16, 32, 48 or 128 on a scene with 1 % highlights: a longer list
    // costs more tests, a shorter one leaves a higher bound on the rest.)
    static std::size_t strongRoom(int width) { return std::size_t(width) / 64 + 1; }
    static std::size_t strongFromLength(int width) {
        return std::size_t(width) / paint_row::kStrongStride + 1;
    }

    // The largest of each window of `span` consecutive peaks of kReachStep columns, in
    // linear time whatever the span (van Herk and Gil-Werman): within aligned segments of
    // `span` steps, the largest from the segment's start and the largest to its end; a
    // window is the end of one segment and the start of the next.
    void findReachPeaks(const double* power, double* peak) {
        const int steps = int(reachLength(width_));
        const int span =
            (kernels_.fixed()->n - 2 + 2 * paint_row::kMaxLanes + paint_row::kReachStep - 1) /
            paint_row::kReachStep;
        double* fromStart = reachScratch_.data();
        double* toEnd = fromStart + steps;
        for (int m = 0; m < steps; ++m) {
            double largest = 0.0;
            const int x1 = std::min(width_, (m + 1) * paint_row::kReachStep);
            for (int x = m * paint_row::kReachStep; x < x1; ++x)
                largest = std::max(largest, power[x]);
            fromStart[m] = m % span == 0 ? largest : std::max(fromStart[m - 1], largest);
            toEnd[m] = largest;
        }
        for (int m = steps - 2; m >= 0; --m)
            if ((m + 1) % span != 0) toEnd[m] = std::max(toEnd[m], toEnd[m + 1]);
        for (int m = 0; m < steps; ++m) {
            const int last = std::min(m + span - 1, steps - 1);
            peak[m] = last / span == m / span ? toEnd[m] : std::max(toEnd[m], fromStart[last]);
        }
    }

    static std::size_t reachLength(int width) {
        return std::size_t(width) / paint_row::kReachStep + 1;
    }

    // Group peaks up to the end of a chunk that starts at the row's last group.
    static std::size_t groupLength(int width) {
        return std::size_t(width) / paint_row::kGroupColumns + paint_row::kGroupsPerChunk;
    }

    static std::size_t coarseLength(int width) {
        return std::size_t(width) / paint_row::kCoarseWindow + 1;
    }

    const dib24& image_;
    const double* sourcePower_;
    const KernelSet& kernels_;
    const dib24* depth_;
    const double* nearnessOfDepth_;
    const int width_;
    const std::size_t rowLength_;
    const int capacity_;
    std::vector<double> exact_;
    LargeBuffer<float> powerBound_;
    std::array<float, 256> powerBoundOfByte_;
    std::vector<double> reachPeak_;
    std::vector<double> reachScratch_;  // findReachPeaks' running peaks
    std::vector<float> groupPeak_;
    std::vector<std::int32_t> strong_, strongFrom_;
    LargeBuffer<paint_row::Run> runs_;
    LargeBuffer<std::int32_t> runAt_;
    std::vector<std::int32_t> coarseLargest_;
    std::vector<double> coarsePeak_;
    LargeBuffer<double> nearness_;
    std::vector<int> stored_;
    std::vector<paint_row::SourceRow> rows_;
};

// One thread's memory, all allocated before painting starts.
struct ThreadBuffers {
    ThreadBuffers(const dib24& image, const double* sourcePower, const KernelSet& kernels,
                  const dib24* depth, const double* nearnessOfDepth, int ringRows)
        : sources(image, sourcePower, kernels, depth, nearnessOfDepth, ringRows),
          paint(std::size_t(image.width) * 3),
          cover(paint.size()),
          window(std::size_t(ringRows)) {}
    SourceRows sources;
    std::vector<float> paint, cover;
    std::vector<const paint_row::SourceRow*> window;
};

class Renderer {
public:
    Renderer(dib24& image, MaskMan& masks, double density, double gamma, int size, bool blend,
             const DofSettings* dof)
        : image_(image),
          kernels_(masks, image, size, dof),
          depth_(dof ? dof->depthMask : nullptr),
          width_(image.width),
          height_(image.height),
          density_(kPaintDensity.clamp(density)),
          inverseGamma_(1.0 / kGammaScaling.clamp(gamma)),
          blend_(blend),
          rowBytes_(std::size_t(width_) * 3),
          result_(rowBytes_ * std::size_t(height_)),
          rowDone_(new std::atomic<bool>[std::size_t(height_)]()) {
        const double g = kGammaScaling.clamp(gamma);
        for (int b = 0; b < 256; ++b) {
            sourcePower_[b] = sourcePower(std::uint8_t(b), g);
        }
        // A tolerance of 255 lets every source paint every target: no occlusion at all.
        const int tolerance =
            dof ? DofSettings::kOcclusionTolerance.clamp(dof->occlusionTolerance) : 0;
        occlusion_ = dof && dof->occlusion != Occlusion::Off && tolerance < 255;
        if (occlusion_) {
            for (int m = 0; m < 256; ++m) {
                const int near = nearness(std::uint8_t(m), dof->occlusion);
                nearnessOfDepth_[m] = near;
                // mayPaint(target, source, tolerance) holds exactly when source >= this.
                leastNearness_[m] = near - tolerance;
            }
        }
        job_ = paint_row::Job{width_,
                              height_,
                              density_,
                              1 - density_,
                              skipFactorFor(density_),
                              kernels_.reachLow(),
                              kernels_.reachHigh(),
                              SourceRows::kMargin,
                              kernelIntensity(1),
                              sourcePower_.data(),
                              strokesStayNormal(sourcePower_, density_),
                              occlusion_,
                              depth_ ? depth_->bits : nullptr,
                              depth_ ? depth_->stride : 0,
                              leastNearness_.data()};
    }

    void run(unsigned threads, Notifyer* notifier, std::stop_token stop) {
        stop_ = std::move(stop);
        const unsigned count = std::min<unsigned>(
            threads ? threads : std::max(1u, std::thread::hardware_concurrency()),
            unsigned(height_));
        threadCount_ = int(count);
        // The ring holds every source row one target row reaches, unless that would take
        // more than kRingBudget; then target rows are painted in several passes.
        constexpr std::size_t kRingBudget = std::size_t{64} << 20;
        const int reachRows = kernels_.reachLow() + kernels_.reachHigh() + 1;
        const std::size_t slot = SourceRows::slotBytes(
            width_, depth_, occlusion_, kernels_.largest() >= paint_row::kWideKernel);
        const int ringRows =
            int(std::clamp<std::size_t>(kRingBudget / slot, 1, std::size_t(reachRows)));
        std::vector<std::unique_ptr<ThreadBuffers>> buffers;
        for (unsigned t = 0; t < count; ++t)
            buffers.push_back(std::make_unique<ThreadBuffers>(
                image_, sourcePower_.data(), kernels_, depth_,
                occlusion_ ? nearnessOfDepth_.data() : nullptr, ringRows));
        painter_ = paint_row::bestPainter();

        {
            // Helpers that cannot be started leave their share to the others. Every helper
            // is joined before this block ends, also when a notifier throws.
            std::vector<std::jthread> helpers;
            for (unsigned t = 1; t < count; ++t) {
                try {
                    helpers.emplace_back([this, &b = *buffers[t]] { paintChunks(b, nullptr); });
                } catch (const std::exception&) {
                    break;  // no thread or no memory for one: the others share its work
                }
            }
            std::size_t reported = 0;
            paintChunks(*buffers[0], [&] { report(reported, notifier); });
            if (notifier) {
                std::unique_lock lock(mutex_);
                while (reported < std::size_t(height_) && !stop_.stop_requested()) {
                    // A stop request wakes the wait: the rows it waits for may never come.
                    if (!rowFinished_.wait(lock, stop_, [&] { return rowDone_[reported].load(); }))
                        break;
                    lock.unlock();
                    report(reported, notifier);
                    lock.lock();
                }
            }
        }

        if (stop_.stop_requested()) throw DefocusStopped();
        // Every row is finished and no source is read any more: the result replaces the
        // image, row by row, leaving the padding bytes as they were.
        for (int r = 0; r < height_; ++r)
            std::memcpy(image_.bits + std::ptrdiff_t(r) * image_.stride,
                        result_.data() + std::size_t(r) * rowBytes_, rowBytes_);
    }

private:
    template <typename AfterChunk>
    void paintChunks(ThreadBuffers& buffers, AfterChunk afterChunk) {
        for (;;) {
            // Long chunks let a thread reuse its prepared source rows; they shrink towards
            // the end so that every thread finishes at about the same time.
            int first = nextRow_.load();
            int size = 0;
            do {
                if (first >= height_) return;
                size = std::clamp((height_ - first) / (2 * threadCount_), 4, 64);
            } while (!nextRow_.compare_exchange_weak(first, first + size));
            const int end = std::min(height_, first + size);
            for (int row = first; row < end; ++row) {
                if (stop_.stop_requested()) return;
                paintRow(row, buffers);
                rowDone_[row].store(true);
            }
            { std::lock_guard lock(mutex_); }
            rowFinished_.notify_one();
            if constexpr (!std::is_same_v<AfterChunk, std::nullptr_t>) afterChunk();
        }
    }

    void paintRow(int row, ThreadBuffers& buffers) {
        float* paint = buffers.paint.data();
        float* cover = buffers.cover.data();
        if (density_ > 0.0) {
            // The source rows that reach this row, in passes of as many as the ring holds.
            const int firstSource = std::max(0, row - kernels_.reachHigh());
            const int lastSource = std::min(height_ - 1, row + kernels_.reachLow());
            for (int from = firstSource; from <= lastSource; from += buffers.sources.capacity()) {
                const int to = std::min(lastSource, from + buffers.sources.capacity() - 1);
                for (int r = from; r <= to; ++r) buffers.window[r - from] = buffers.sources.get(r);
                painter_(job_, row, buffers.window.data(), from, to, from != firstSource, paint,
                         cover);
            }
        } else {
            // With no density (or one that is not a number) no stroke raises anything.
            std::fill(buffers.paint.begin(), buffers.paint.end(), 0.0f);
            std::fill(buffers.cover.begin(), buffers.cover.end(), 0.0f);
        }
        const std::uint8_t* source = image_.bits + std::ptrdiff_t(row) * image_.stride;
        std::uint8_t* out = result_.data() + std::size_t(row) * rowBytes_;
        if (inverseGamma_ == 1.0) {
            // Raising to 1 is nothing: the loop needs no power function and becomes vector code.
            for (std::size_t i = 0; i < rowBytes_; ++i)
                out[i] = finishRaised(paint[i], cover[i], source[i], blend_);
        } else {
            for (std::size_t i = 0; i < rowBytes_; ++i)
                out[i] = finishChannel(paint[i], cover[i], source[i], inverseGamma_, blend_);
        }
    }

    // Reports every row whose predecessors are all done.
    void report(std::size_t& reported, Notifyer* notifier) {
        if (!notifier) return;
        // A stopped run says nothing more: none of its rows will be kept.
        while (reported < std::size_t(height_) && rowDone_[reported].load() &&
               !stop_.stop_requested()) {
            notifier->Notify(int(reported), height_);
            ++reported;
        }
    }

    dib24& image_;
    KernelSet kernels_;
    const dib24* depth_;
    const int width_, height_;
    const double density_, inverseGamma_;
    const bool blend_;
    const std::size_t rowBytes_;
    LargeBuffer<std::uint8_t> result_;
    std::unique_ptr<std::atomic<bool>[]> rowDone_;
    std::array<double, 256> sourcePower_{};
    bool occlusion_ = false;
    std::array<double, 256> nearnessOfDepth_{}, leastNearness_{};
    paint_row::Job job_{};
    paint_row::PaintRowFunction painter_ = nullptr;
    int threadCount_ = 1;
    std::atomic<int> nextRow_{0};
    std::mutex mutex_;
    std::condition_variable_any rowFinished_;
    std::stop_token stop_;
};

}  // namespace

void DefocusImage(dib24& image, MaskMan& masks, double density, double gamma, int size, int blend,
                  const DofSettings* dof, Notifyer* notifier, unsigned threads,
                  std::stop_token stop) {
    if (image.bits && image.width > 0 && image.height > 0) {
        if (dof && (!dof->depthMask || !dof->depthMask->bits ||
                    dof->depthMask->width < image.width || dof->depthMask->height < image.height))
            throw std::invalid_argument("the depth mask does not cover the image");
        Renderer(image, masks, density, gamma, size, blend != 0, dof)
            .run(threads, notifier, std::move(stop));
    }
    if (notifier) notifier->Done();
}

std::bitset<256> depthsInFocus(const DofSettings& dof, int size) {
    std::bitset<256> inFocus;
    for (int m = 0; m < 256; ++m)
        inFocus[m] = defocus_math::dofKernelSize(std::uint8_t(m), dof, size) == 1;
    return inFocus;
}

int dofKernelSize(std::uint8_t depth, const DofSettings& dof, int size) {
    return defocus_math::dofKernelSize(depth, dof, size);
}
