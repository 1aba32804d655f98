// The product renderer. It gives the straightforward per-source painter's bytes, but
// turns the work around: each target row gathers, in source order, the strokes that land
// on it (defocus/paint_row_simd.cpp), so rows are independent and run on every core,
// paint and cover of a block of pixels stay in registers, and no full-size float planes
// exist. Finished rows go to a byte buffer and replace the image only when every row is
// done, since each row is still a source for its neighbours until then.
#include "defocus/defocus.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
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

// A kernel from the diaphragm set with the tables the painter uses to skip work.
class PreparedKernel {
public:
    explicit PreparedKernel(const dib24& kernel) {
        const int n = kernel.width;
        rowPeak_.assign(std::size_t(n) * 3, 0.0);
        first_.assign(std::size_t(n) * 3, n);
        last_.assign(std::size_t(n) * 3, -1);
        for (int kr = 0; kr < n; ++kr) {
            const std::uint8_t* row = kernel.bits + std::ptrdiff_t(kr) * kernel.stride;
            for (int kc = 0; kc < n; ++kc)
                for (int c = 0; c < 3; ++c) {
                    const std::uint8_t b = row[3 * kc + c];
                    if (b == 0) continue;
                    const std::size_t at = std::size_t(kr) * 3 + c;
                    rowPeak_[at] = std::max(rowPeak_[at], kernelIntensity(b));
                    first_[at] = std::min(first_[at], kc);
                    last_[at] = kc;
                }
        }
        view_ = {kernel.bits, kernel.stride, n, rowPeak_.data(), first_.data(), last_.data()};
    }
    const paint_row::Kernel* view() const { return &view_; }

private:
    std::vector<double> rowPeak_;
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
                ofDepth_[m] = add(masks, dofKernelSize(m, dof->threshold, dof->distScaling, size));
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

// One thread's memory, allocated before painting starts.
struct ThreadBuffers {
    ThreadBuffers(int width, int largestKernel)
        : paint(std::size_t(width) * 3),
          cover(std::size_t(width) * 3),
          line(std::size_t(largestKernel) + paint_row::kMaxBlock) {}
    std::vector<float> paint, cover;
    std::vector<double> line;
};

class Renderer {
public:
    Renderer(dib24& image, MaskMan& masks, double density, double gamma, int size, bool blend,
             const DofSettings* dof)
        : image_(image),
          kernels_(masks, image, size, dof),
          width_(image.width),
          height_(image.height),
          density_(clampDensity(density)),
          inverseGamma_(1.0 / clampGamma(gamma)),
          blend_(blend),
          rowBytes_(std::size_t(width_) * 3),
          result_(new std::uint8_t[rowBytes_ * std::size_t(height_)]),
          rowDone_(new std::atomic<bool>[std::size_t(height_)]()) {
        const double g = clampGamma(gamma);
        for (int b = 0; b < 256; ++b) sourcePower_[b] = sourcePower(std::uint8_t(b), g);
        job_ = paint_row::Job{image.bits,
                              image.stride,
                              width_,
                              height_,
                              sourcePower_.data(),
                              density_,
                              1 - density_,
                              kernels_.fixed(),
                              dof ? dof->depthMask->bits : nullptr,
                              dof ? dof->depthMask->stride : 0,
                              kernels_.ofDepth(),
                              kernels_.reachLow(),
                              kernels_.reachHigh()};
    }

    void run(unsigned threads, Notifyer* notifier) {
        const unsigned count = std::min<unsigned>(
            threads ? threads : std::max(1u, std::thread::hardware_concurrency()),
            unsigned(height_));
        chunkRows_ = std::clamp(height_ / int(count * 16), 1, 16);
        std::vector<ThreadBuffers> buffers;
        buffers.reserve(count);
        for (unsigned t = 0; t < count; ++t) buffers.emplace_back(width_, kernels_.largest());
        painter_ = paint_row::bestPainter();

        {
            // Helpers that cannot be started leave their share to the others. Every helper
            // is joined before this block ends, also when a notifier throws.
            std::vector<std::jthread> helpers;
            for (unsigned t = 1; t < count; ++t) {
                try {
                    helpers.emplace_back([this, &b = buffers[t]] { paintChunks(b, nullptr); });
                } catch (const std::exception&) {
                    break;  // no thread or no memory for one: the others share its work
                }
            }
            std::size_t reported = 0;
            paintChunks(buffers[0], [&] { report(reported, notifier); });
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
                        result_.get() + std::size_t(r) * rowBytes_, rowBytes_);
    }

private:
    template <typename AfterChunk>
    void paintChunks(ThreadBuffers& buffers, AfterChunk afterChunk) {
        const paint_row::Scratch scratch{buffers.line.data()};
        for (;;) {
            const int first = nextChunk_.fetch_add(1) * chunkRows_;
            if (first >= height_) return;
            const int end = std::min(height_, first + chunkRows_);
            for (int row = first; row < end; ++row) {
                paintRow(row, buffers, scratch);
                rowDone_[row].store(true);
            }
            { std::lock_guard lock(mutex_); }
            rowFinished_.notify_one();
            if constexpr (!std::is_same_v<AfterChunk, std::nullptr_t>) afterChunk();
        }
    }

    void paintRow(int row, ThreadBuffers& buffers, const paint_row::Scratch& scratch) {
        float* paint = buffers.paint.data();
        float* cover = buffers.cover.data();
        if (density_ > 0.0) {
            painter_(job_, row, paint, cover, scratch);
        } else {
            // With no density (or one that is not a number) no stroke raises anything.
            std::fill(buffers.paint.begin(), buffers.paint.end(), 0.0f);
            std::fill(buffers.cover.begin(), buffers.cover.end(), 0.0f);
        }
        const std::uint8_t* source = image_.bits + std::ptrdiff_t(row) * image_.stride;
        std::uint8_t* out = result_.get() + std::size_t(row) * rowBytes_;
        for (std::size_t i = 0; i < rowBytes_; ++i)
            out[i] = finishChannel(paint[i], cover[i], source[i], inverseGamma_, blend_);
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
    const int width_, height_;
    const double density_, inverseGamma_;
    const bool blend_;
    const std::size_t rowBytes_;
    std::unique_ptr<std::uint8_t[]> result_;
    std::unique_ptr<std::atomic<bool>[]> rowDone_;
    std::array<double, 256> sourcePower_{};
    paint_row::Job job_{};
    paint_row::PaintRowFunction painter_ = nullptr;
    int chunkRows_ = 1;
    std::atomic<int> nextChunk_{0};
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
