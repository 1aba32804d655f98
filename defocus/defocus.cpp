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
#include <condition_variable>
#include <cstdio>
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
        data_ = static_cast<T*>(::operator new(rounded, std::align_val_t{kHugePage}));
        madvise(data_, rounded, MADV_HUGEPAGE);  // only a hint: refused is fine
    }
    ~LargeBuffer() {
        if (aligned_)
            ::operator delete(data_, std::align_val_t{kHugePage});
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

// A kernel from the diaphragm set with the tables the painter uses to skip work.
class PreparedKernel {
public:
    explicit PreparedKernel(const dib24& kernel) {
        const int n = kernel.width;
        rowPeak_.assign(std::size_t(n) * 3, 0.0);
        first_.assign(std::size_t(n), n);
        last_.assign(std::size_t(n), -1);
        columnPeak_.assign(std::size_t(n) * n * 3, 0);
        for (int kr = 0; kr < n; ++kr) {
            const std::uint8_t* row = kernel.bits + std::ptrdiff_t(kr) * kernel.stride;
            for (int kc = 0; kc < n; ++kc)
                for (int c = 0; c < 3; ++c) {
                    const std::uint8_t b = row[3 * kc + c];
                    if (b == 0) continue;
                    const std::size_t at = std::size_t(kr) * 3 + c;
                    rowPeak_[at] = std::max(rowPeak_[at], kernelIntensity(b));
                    first_[kr] = std::min(first_[kr], kc);
                    last_[kr] = kc;
                }
            for (int c = 0; c < 3; ++c)
                for (int kc = 0; kc < n; ++kc) {
                    std::uint8_t peak = 0;
                    for (int back = std::max(0, kc - 7); back <= kc; ++back)
                        peak = std::max(peak, row[3 * back + c]);
                    columnPeak_[(std::size_t(kr) * 3 + c) * n + kc] = peak;
                }
        }
        view_ = {kernel.bits,  kernel.stride,     n, rowPeak_.data(), first_.data(),
                 last_.data(), columnPeak_.data()};
    }
    const paint_row::Kernel* view() const { return &view_; }

private:
    std::vector<double> rowPeak_;
    std::vector<std::int32_t> first_, last_;
    std::vector<std::uint8_t> columnPeak_;
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
                ofDepth_[m] = add(masks, dofKernelSize(m, *dof, size));
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
// their window peaks, the runs of sources that share a kernel, and with occlusion each
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
          margin_(marginFor(kernels.largest())),
          rowLength_(std::size_t(width_) + 2 * std::size_t(margin_)),
          parities_(depth ? 2 : 1),
          capacity_(capacity),
          power_(std::size_t(capacity) * parities_ * 3 * rowLength_),
          peak_(power_.size()),
          coarse_(depth ? 0 : std::size_t(capacity) * 3 * coarseLength()),
          runs_(depth ? std::size_t(capacity) * width_ : std::size_t(capacity)),
          runAt_(depth ? std::size_t(capacity) * width_ : 0),
          coarseLargest_(depth ? std::size_t(capacity) * coarseLength() : 0),
          nearness_(nearnessOfDepth ? std::size_t(capacity) * rowLength_ : 0),
          stored_(std::size_t(capacity), -1),
          rows_(std::size_t(capacity)),
          widened_(rowLength_) {}

    // Columns of zeros around each row: as far as a kernel and a block reach, and a peak
    // window beyond.
    static int marginFor(int largestKernel) {
        return largestKernel + paint_row::kMaxBlock + paint_row::kPeakWindow;
    }

    // Bytes one ring slot takes.
    static std::size_t slotBytes(int width, int largestKernel, bool depthOfField, bool occlusion) {
        const std::size_t length = std::size_t(width) + 2 * std::size_t(marginFor(largestKernel));
        const std::size_t coarse = length / paint_row::kCoarseWindow + 1;
        const std::size_t parities = depthOfField ? 2 : 1;
        return (parities * 3 * 2 + (occlusion ? 1 : 0)) * length * sizeof(double) +
               (depthOfField
                    ? std::size_t(width) * (sizeof(paint_row::Run) + sizeof(std::int32_t)) +
                          coarse * sizeof(std::int32_t)
                    : 3 * coarse * sizeof(double) + sizeof(paint_row::Run));
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
        if (depth_) {
            const std::uint8_t* depth = depth_->bits + std::ptrdiff_t(r) * depth_->stride;
            std::int32_t* runAt = runAt_.data() + slot * width_;
            int count = 0;
            for (int x = 0; x < width_; ++x) {
                const paint_row::Kernel* kernel = kernels_.ofDepth()[depth[3 * x]];
                if (count == 0 || runs[count - 1].kernel != kernel)
                    runs[count++] = paint_row::Run{x, x, kernel, {}, false, 255.0, 0.0};
                runs[count - 1].x1 = x + 1;
                runAt[x] = count - 1;
            }
            row.nearness = nullptr;
            if (nearnessOfDepth_) {
                double* nearness = nearness_.data() + slot * rowLength_;
                std::fill(nearness, nearness + rowLength_, 0.0);
                nearness += margin_;
                for (int x = 0; x < width_; ++x) {
                    const double near = nearnessOfDepth_[depth[3 * x]];
                    nearness[x] = near;
                    paint_row::Run& run = runs[runAt[x]];
                    run.nearLow = std::min(run.nearLow, near);
                    run.nearHigh = std::max(run.nearHigh, near);
                }
                row.nearness = nearness;
            }
            // A run's neighbours have the other parity; beyond them, runs of its own.
            const auto length = [&](int i) { return runs[i].x1 - runs[i].x0; };
            for (int i = 0; i < count; ++i)
                runs[i].alone = (i == 0 || length(i - 1) >= paint_row::kStrayReach) &&
                                (i == count - 1 || length(i + 1) >= paint_row::kStrayReach);
            std::int32_t* largest = coarseLargest_.data() + slot * coarseLength();
            std::fill(largest, largest + coarseLength(), 0);
            for (int x = 0; x < width_; ++x) {
                std::int32_t& stretch = largest[(x + margin_) / paint_row::kCoarseWindow];
                stretch = std::max(stretch, runs[runAt[x]].kernel->n);
            }
            row.runCount = count;
            row.runAt = runAt;
            row.coarseLargest = largest;
        } else {
            runs[0] = paint_row::Run{0, width_, kernels_.fixed(), {}, true, 0.0, 0.0};
            row.runCount = 1;
            row.runAt = nullptr;
            row.coarseLargest = nullptr;
            row.nearness = nullptr;
        }
        row.runs = runs;

        const std::uint8_t* source = image_.bits + std::ptrdiff_t(r) * image_.stride;
        for (int p = 0; p < 2; ++p)
            for (int c = 0; c < 3; ++c) {
                if (p >= parities_) {
                    row.power[p][c] = row.peak[p][c] = nullptr;
                    continue;
                }
                const std::size_t at = (slot * parities_ + p) * 3 + c;
                double* power = power_.data() + at * rowLength_;
                double* peak = peak_.data() + at * rowLength_;
                std::fill(power, power + rowLength_, 0.0);
                for (int i = p; i < row.runCount; i += 2) {
                    double most = 0.0;
                    for (int x = runs[i].x0; x < runs[i].x1; ++x) {
                        power[margin_ + x] = sourcePower_[source[3 * x + c]];
                        most = std::max(most, power[margin_ + x]);
                    }
                    runs[i].peak[c] = most;
                }
                windowPeaks(power, peak);
                row.power[p][c] = power + margin_;
                row.peak[p][c] = peak + margin_;
            }
        // Without depth of field the row is one run, and the strongest source a block can
        // meet is bounded by aligned stretches of the row instead.
        for (int c = 0; c < 3; ++c) {
            row.coarsePeak[c] = nullptr;
            if (depth_) continue;
            const double* peak = peak_.data() + (slot * 3 + c) * rowLength_;
            double* coarse = coarse_.data() + (slot * 3 + c) * coarseLength();
            // A stretch's largest power is the largest of the peaks of its windows.
            static_assert(paint_row::kCoarseWindow % paint_row::kPeakWindow == 0);
            for (std::size_t j = 0; j < coarseLength(); ++j) {
                const std::size_t begin = j * paint_row::kCoarseWindow;
                const std::size_t end = std::min(rowLength_, begin + paint_row::kCoarseWindow);
                double most = 0.0;
                for (std::size_t x = begin; x < end; x += paint_row::kPeakWindow)
                    most = std::max(most, peak[x]);
                coarse[j] = most;
            }
            row.coarsePeak[c] = coarse;
        }
        stored_[slot] = r;
    }

    // peak[x] = the largest of power[x ... x + 7], by doubling the window three times.
    // Windows are cut at the row's end, where only zeros lie anyway.
    void windowPeaks(const double* power, double* peak) {
        static_assert(paint_row::kPeakWindow == 8);
        const std::size_t n = rowLength_;
        const auto widen = [n](const double* in, double* out, std::size_t step) {
            const std::size_t inside = n > step ? n - step : 0;
            for (std::size_t x = 0; x < inside; ++x) out[x] = std::max(in[x], in[x + step]);
            for (std::size_t x = inside; x < n; ++x) out[x] = in[x];
        };
        double* tmp = widened_.data();
        widen(power, peak, 1);  // 2 wide
        widen(peak, tmp, 2);    // 4 wide
        widen(tmp, peak, 4);    // 8 wide
    }

    std::size_t coarseLength() const { return rowLength_ / paint_row::kCoarseWindow + 1; }

    const dib24& image_;
    const double* sourcePower_;
    const KernelSet& kernels_;
    const dib24* depth_;
    const double* nearnessOfDepth_;
    const int width_, margin_;
    const std::size_t rowLength_;
    const int parities_;  // copies of the powers: one per run parity
    const int capacity_;
    LargeBuffer<double> power_, peak_;
    std::vector<double> coarse_;
    LargeBuffer<paint_row::Run> runs_;
    LargeBuffer<std::int32_t> runAt_;
    std::vector<std::int32_t> coarseLargest_;
    LargeBuffer<double> nearness_;
    std::vector<int> stored_;
    std::vector<paint_row::SourceRow> rows_;
    std::vector<double> widened_;  // room for the peaks' intermediate widths
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
          density_(clampDensity(density)),
          inverseGamma_(1.0 / clampGamma(gamma)),
          blend_(blend),
          rowBytes_(std::size_t(width_) * 3),
          result_(rowBytes_ * std::size_t(height_)),
          rowDone_(new std::atomic<bool>[std::size_t(height_)]()) {
        const double g = clampGamma(gamma);
        for (int b = 0; b < 256; ++b) {
            sourcePower_[b] = sourcePower(std::uint8_t(b), g);
            intensity_[b] = kernelIntensity(std::uint8_t(b));
            densityIntensity_[b] = density_ * intensity_[b];
        }
        // A tolerance of 255 lets every source paint every target: no occlusion at all.
        occlusion_ = dof && dof->occlusion != Occlusion::Off && occlusionTolerance(*dof) < 255;
        if (occlusion_) {
            const int tolerance = occlusionTolerance(*dof);
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
                              kernels_.reachLow(),
                              kernels_.reachHigh(),
                              SourceRows::marginFor(kernels_.largest()),
                              intensity_.data(),
                              densityIntensity_.data(),
                              strokesStayNormal(sourcePower_, density_),
                              occlusion_,
                              depth_ ? depth_->bits : nullptr,
                              depth_ ? depth_->stride : 0,
                              leastNearness_.data()};
    }

    void run(unsigned threads, Notifyer* notifier) {
        const unsigned count = std::min<unsigned>(
            threads ? threads : std::max(1u, std::thread::hardware_concurrency()),
            unsigned(height_));
        threadCount_ = int(count);
        // The ring holds every source row one target row reaches, unless that would take
        // more than kRingBudget; then target rows are painted in several passes.
        constexpr std::size_t kRingBudget = std::size_t{64} << 20;
        const int reachRows = kernels_.reachLow() + kernels_.reachHigh() + 1;
        const std::size_t slot =
            SourceRows::slotBytes(width_, kernels_.largest(), depth_, occlusion_);
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
                while (reported < std::size_t(height_)) {
                    rowFinished_.wait(lock, [&] { return rowDone_[reported].load(); });
                    lock.unlock();
                    report(reported, notifier);
                    lock.lock();
                }
            }
        }

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

    // Sends "Processing line (r / H)" for every row whose predecessors are all done.
    void report(std::size_t& reported, Notifyer* notifier) {
        if (!notifier) return;
        while (reported < std::size_t(height_) && rowDone_[reported].load()) {
            char text[64];
            std::snprintf(text, sizeof text, "Processing line (%d / %d)", int(reported), height_);
            notifier->Notify(text);
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
    std::array<double, 256> sourcePower_{}, intensity_{}, densityIntensity_{};
    bool occlusion_ = false;
    std::array<double, 256> nearnessOfDepth_{}, leastNearness_{};
    paint_row::Job job_{};
    paint_row::PaintRowFunction painter_ = nullptr;
    int threadCount_ = 1;
    std::atomic<int> nextRow_{0};
    std::mutex mutex_;
    std::condition_variable rowFinished_;
};

}  // namespace

void DefocusImage(dib24& image, MaskMan& masks, double density, double gamma, int size, int blend,
                  const DofSettings* dof, Notifyer* notifier, unsigned threads) {
    if (image.bits && image.width > 0 && image.height > 0) {
        if (dof && (!dof->depthMask || !dof->depthMask->bits ||
                    dof->depthMask->width < image.width || dof->depthMask->height < image.height))
            throw std::invalid_argument("the depth mask does not cover the image");
        Renderer(image, masks, density, gamma, size, blend != 0, dof).run(threads, notifier);
    }
    if (notifier) notifier->Notify("done");
}

std::bitset<256> depthsInFocus(const DofSettings& dof, int size) {
    std::bitset<256> inFocus;
    for (int m = 0; m < 256; ++m) inFocus[m] = dofKernelSize(std::uint8_t(m), dof, size) == 1;
    return inFocus;
}
