// Benchmark of the renderer: the product's renderer against the straightforward reference
// on deterministic synthetic pictures, checking on the way that both give the same bytes.
//
//   defocus_bench [--quick] [--repeat N] [--threads N] [--painter NAME]
//                 [--render PATH [--jpeg] [--large] [--big-disc]] [--wide-dof]
//
// --quick runs small pictures once (a check that everything runs and agrees, used by the
// test script). With --render, the peak memory of bokavo-render on a 4000 x 3000 picture
// is measured too; --jpeg adds a 24-megapixel JPEG read, rendered with the default
// diaphragm and written as JPEG, by bokavo-render as a whole and stage by stage; --large
// renders a 100-megapixel picture with a 41-pixel disc (about 20 s on two cores, 620 MiB);
// --big-disc a 24-megapixel picture with a 151-pixel disc, the disc of a fast portrait lens
// at that size (bench/compare_opencv.py --big-disc times a convolution by FFT beside it).
// --wide-dof adds depth of field with a 128-pixel diaphragm beside the same with 31, the
// fast renderer only (the reference would take minutes), and the ratio of their times.
// --painter times the in-process cases with the row painter of that name (avx512, avx2,
// sse2: those this processor runs) instead of the fastest one.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/default_diaphragm.h"
#include "defocus/defocus.h"
#include "defocus/maskman.h"
#include "defocus/paint_row.h"
#include "defocus/reference_defocus.h"
#include "image/dib24.h"
#include "pictures/picture_file.h"

namespace {

// A small deterministic generator, so every run and machine sees the same pictures.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint32_t next() {
        state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<std::uint32_t>(state_ >> 33);
    }

private:
    std::uint64_t state_;
};

// Smooth colour gradients with light noise and about 1 % bright points: a dim scene with
// highlights, where every highlight turns into a disc.
std::unique_ptr<dib24> scene(int width, int height) {
    auto image = std::make_unique<dib24>(width, height);
    Random random(20261207);
    for (int r = 0; r < height; ++r) {
        std::uint8_t* row = image->bits + std::ptrdiff_t(r) * image->stride;
        for (int x = 0; x < width; ++x) {
            const double u = double(x) / width, v = double(r) / height;
            const double base[3] = {40 + 50 * u, 30 + 60 * v * u,
                                    60 + 40 * std::sin(6 * u + 3 * v)};
            const bool highlight = random.next() % 100 == 0;
            for (int c = 0; c < 3; ++c) {
                const int noise = int(random.next() % 9) - 4;
                row[3 * x + c] = highlight ? std::uint8_t(230 + random.next() % 26)
                                           : std::uint8_t(std::clamp(int(base[c]) + noise, 0, 255));
            }
        }
    }
    return image;
}

// An antialiased white disc filling an n x n square: each byte is the covered share of
// its pixel, from 8 x 8 samples.
std::unique_ptr<dib24> disc(int n) {
    auto image = std::make_unique<dib24>(n, n);
    const double radius = n / 2.0;
    for (int r = 0; r < n; ++r)
        for (int x = 0; x < n; ++x) {
            int inside = 0;
            for (int sy = 0; sy < 8; ++sy)
                for (int sx = 0; sx < 8; ++sx) {
                    const double dx = x + (sx + 0.5) / 8 - radius, dy = r + (sy + 0.5) / 8 - radius;
                    inside += dx * dx + dy * dy <= radius * radius;
                }
            for (int c = 0; c < 3; ++c)
                image->bits[std::ptrdiff_t(r) * image->stride + 3 * x + c] =
                    std::uint8_t(inside * 255 / 64);
        }
    return image;
}

// Depth rising from 0 at the left edge to 255 at the right edge.
std::unique_ptr<dib24> horizontalDepth(int width, int height) {
    auto image = std::make_unique<dib24>(width, height);
    for (int r = 0; r < height; ++r)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                image->bits[std::ptrdiff_t(r) * image->stride + 3 * x + c] =
                    std::uint8_t(width > 1 ? x * 255 / (width - 1) : 0);
    return image;
}

bool samePixels(const dib24& a, const dib24& b) {
    for (int r = 0; r < a.height; ++r)
        if (std::memcmp(a.bits + std::ptrdiff_t(r) * a.stride,
                        b.bits + std::ptrdiff_t(r) * b.stride, std::size_t(a.width) * 3) != 0)
            return false;
    return true;
}

double seconds(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct Case {
    std::string name;
    const dib24* picture;
    int kernelSize;          // the diaphragm's side
    const DofSettings* dof;  // null: every pixel uses the diaphragm's own size
};

// Nominal stroke updates of a case: n^2 per pixel and channel.
double nominalUpdates(const Case& c) {
    if (!c.dof) return 3.0 * c.picture->width * c.picture->height * c.kernelSize * c.kernelSize;
    double sum = 0;
    const dib24& depth = *c.dof->depthMask;
    for (int r = 0; r < c.picture->height; ++r)
        for (int x = 0; x < c.picture->width; ++x) {
            const int n = dofKernelSize(depth.bits[std::ptrdiff_t(r) * depth.stride + 3 * x],
                                        *c.dof, c.kernelSize);
            sum += 3.0 * n * n;
        }
    return sum;
}

struct Options {
    bool quick = false;
    int repeat = 3;
    unsigned threads = 0;
    std::string render;
    bool jpeg = false;     // with `render`: the 24-megapixel JPEG case
    bool large = false;    // with `render`: the 100-megapixel case
    bool bigDisc = false;  // with `render`: the 24-megapixel case with a 151-pixel disc
    bool wideDof = false;  // depth of field with a 128-pixel diaphragm beside 31
    std::string painter;   // the row painter of the in-process cases; empty: the fastest
};

struct Timing {
    double ratio;  // the reference's time over the product's median; negative when bytes differ
    double fast;   // the product's median time
};

// Runs one case: the reference once (it is slow and deterministic), the product `repeat`
// times.
Timing runCase(const Case& c, MaskMan& masks, const Options& options) {
    const double density = 0.1, gamma = 1.0;
    auto expected = c.picture->copy();
    const double referenceTime = seconds([&] {
        reference::DefocusImage(*expected, masks, density, gamma, c.kernelSize, 1, c.dof, nullptr);
    });
    std::vector<double> times;
    bool agree = true;
    for (int i = 0; i < options.repeat; ++i) {
        auto result = c.picture->copy();
        times.push_back(seconds([&] {
            DefocusImage(*result, masks, density, gamma, c.kernelSize, 1, c.dof, nullptr,
                         options.threads);
        }));
        agree = agree && samePixels(*expected, *result);
    }
    const double fastTime = median(times);
    const double updates = nominalUpdates(c);
    std::printf("%-26s reference %8.3f s   fast %7.3f s   ratio %6.1fx   %6.2f G updates/s   %s\n",
                c.name.c_str(), referenceTime, fastTime, referenceTime / fastTime,
                updates / fastTime * 1e-9, agree ? "same bytes" : "BYTES DIFFER");
    return {agree ? referenceTime / fastTime : -1.0, fastTime};
}

// bokavo-render as a whole process on a synthetic picture of width x height with a disc
// of side `discSide`: its wall time and peak resident memory in MiB, or a negative time
// when it fails. A child's peak counts the memory of the process it was forked from, so
// the files are written by a child of their own, and this runs before the benchmark holds
// any pictures.
struct ProcessRun {
    double seconds = -1;
    double peakMiB = -1;
};
ProcessRun renderProcess(const std::string& renderPath, int width, int height, int discSide,
                         unsigned threads) {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "bokavo-bench";
    std::filesystem::create_directories(dir);
    const std::string input = (dir / "large.bmp").string(),
                      output = (dir / "large-out.bmp").string(),
                      diaphragm = (dir / "disc.bmp").string(),
                      threadCount = std::to_string(threads);
    const auto save = [](const dib24& image, const std::string& path) {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        const bool saved = file && image.saveToFile(file);
        return file && std::fclose(file) == 0 && saved;
    };
    const auto waitFor = [](pid_t child, struct rusage* usage) {
        int status = 0;
        return wait4(child, &status, 0, usage) == child && WIFEXITED(status) &&
               WEXITSTATUS(status) == 0;
    };
    ProcessRun run;
    const pid_t writer = fork();
    if (writer == 0)
        _exit(save(*scene(width, height), input) && save(*disc(discSide), diaphragm) ? 0 : 1);
    if (writer > 0 && waitFor(writer, nullptr)) {
        const auto start = std::chrono::steady_clock::now();
        const pid_t child = fork();
        if (child == 0) {
            execl(renderPath.c_str(), renderPath.c_str(), "--quiet", "--threads",
                  threadCount.c_str(), "--diaphragm", diaphragm.c_str(), input.c_str(),
                  output.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        struct rusage usage {};
        if (child > 0 && waitFor(child, &usage)) {
            run.seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            run.peakMiB = usage.ru_maxrss / 1024.0;  // ru_maxrss is in KiB on Linux
        }
    }
    std::filesystem::remove_all(dir);
    return run;
}

// The optional large case: a 100-megapixel picture through the 41-pixel disc.
void largeCase(const std::string& renderPath, unsigned threads) {
    const int width = 12000, height = 8400;
    const ProcessRun run = renderProcess(renderPath, width, height, 41, threads);
    const double pictureMiB = 3.0 * width * height / (1 << 20);
    if (run.seconds < 0)
        std::printf("bokavo-render 12000 x 8400, disc 41: FAILED to run\n");
    else
        std::printf(
            "bokavo-render 12000 x 8400, disc 41: %.1f s (goal below 30 s), peak resident "
            "memory %.1f MiB = %.2f x the 24-bit picture (goal at most 2.2 x)\n",
            run.seconds, run.peakMiB, run.peakMiB / pictureMiB);
}

// The optional wide-disc case: a 24-megapixel picture through a 151-pixel disc.
void bigDiscCase(const std::string& renderPath, unsigned threads) {
    const ProcessRun run = renderProcess(renderPath, 6000, 4000, 151, threads);
    if (run.seconds < 0)
        std::printf("bokavo-render 6000 x 4000, disc 151: FAILED to run\n");
    else
        std::printf("bokavo-render 6000 x 4000, disc 151: %.1f s, peak resident memory %.1f MiB\n",
                    run.seconds, run.peakMiB);
}

// A 24-megapixel photo: the synthetic scene as a JPEG of quality 95, read, rendered with
// the default diaphragm and written as a JPEG again. bokavo-render does it as one process
// (its wall time and peak resident memory); then this process times each stage. Runs
// before the benchmark holds any pictures, like renderProcess.
void photoCase(const std::string& renderPath, unsigned threads) {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "bokavo-bench-jpeg";
    std::filesystem::create_directories(dir);
    const std::string photo = (dir / "photo.jpg").string(), output = (dir / "out.jpg").string();
    const int width = 6000, height = 4000;
    const auto waitFor = [](pid_t child, struct rusage* usage) {
        int status = 0;
        return wait4(child, &status, 0, usage) == child && WIFEXITED(status) &&
               WEXITSTATUS(status) == 0;
    };
    const pid_t writer = fork();
    if (writer == 0) _exit(writePicture(*scene(width, height), photo) ? 0 : 1);
    if (writer < 0 || !waitFor(writer, nullptr)) {
        std::printf("24-megapixel JPEG: FAILED to write the photo\n");
        return;
    }

    struct rusage usage {};
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        execl(renderPath.c_str(), renderPath.c_str(), "--quiet", photo.c_str(), output.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    const bool ran = child > 0 && waitFor(child, &usage);
    const double whole =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Goal: 2.5 times the 24-bit picture plus 64 MiB.
    const double limit = 2.5 * 3.0 * width * height / (1 << 20) + 64;
    if (ran)
        std::printf(
            "bokavo-render photo.jpg out.jpg, 6000 x 4000 (%.1f MB JPEG): %.2f s, peak "
            "resident memory %.1f MiB (goal below %.1f MiB)\n",
            std::filesystem::file_size(photo) / 1e6, whole, usage.ru_maxrss / 1024.0, limit);
    else
        std::printf("bokavo-render photo.jpg out.jpg: FAILED to run\n");

    std::string why;
    std::unique_ptr<dib24> image;
    MaskMan masks;
    const double read = seconds([&] { image = readPicture(photo, &why); });
    if (!image || !loadDefaultDiaphragm(masks, &why)) {
        std::printf("24-megapixel JPEG: FAILED: %s\n", why.c_str());
    } else {
        const double render = seconds([&] {
            DefocusImage(*image, masks, 0.1, 1.0, masks.shape->width, 1, nullptr, nullptr, threads);
        });
        bool written = false;
        const double write =
            seconds([&] { written = writePicture(*image, output, nullptr, 95, &why); });
        std::printf(
            "  stages: read %.3f s, render %.3f s (diaphragm %d), write %.3f s%s; read + "
            "write %.3f s (goal below 1.5 s)\n",
            read, render, masks.shape->width, write, written ? "" : " FAILED", read + write);
    }
    std::filesystem::remove_all(dir);
}

int usage() {
    std::fprintf(stderr,
                 "usage: defocus_bench [--quick] [--repeat N] [--threads N] [--painter NAME] "
                 "[--render PATH [--jpeg] [--large] [--big-disc]] [--wide-dof]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            options.quick = true;
            options.repeat = 1;
        } else if (arg == "--repeat" && i + 1 < argc) {
            options.repeat = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--threads" && i + 1 < argc) {
            options.threads = unsigned(std::max(0, std::atoi(argv[++i])));
        } else if (arg == "--render" && i + 1 < argc) {
            options.render = argv[++i];
        } else if (arg == "--jpeg") {
            options.jpeg = true;
        } else if (arg == "--large") {
            options.large = true;
        } else if (arg == "--big-disc") {
            options.bigDisc = true;
        } else if (arg == "--wide-dof") {
            options.wideDof = true;
        } else if (arg == "--painter" && i + 1 < argc) {
            options.painter = argv[++i];
        } else {
            return usage();
        }
    }

    if ((options.jpeg || options.large || options.bigDisc) && options.render.empty())
        return usage();
    paint_row::Painter painters[8];
    const int painterCount = std::min(paint_row::availablePainters(painters, 8), 8);
    const char* painterName = painters[0].name;
    if (!options.painter.empty()) {
        const auto chosen = std::find_if(painters, painters + painterCount, [&](const auto& p) {
            return options.painter == p.name;
        });
        if (chosen == painters + painterCount) {
            std::string names;
            for (int i = 0; i < painterCount; ++i) names += std::string(" ") + painters[i].name;
            std::fprintf(stderr, "defocus_bench: this processor has no painter %s; it has:%s\n",
                         options.painter.c_str(), names.c_str());
            return 2;
        }
        paint_row::usePainter(chosen->function);
        painterName = chosen->name;
    }
    const double renderPeak =
        options.render.empty()
            ? 0
            : renderProcess(options.render, 4000, 3000, 31, options.threads).peakMiB;
    if (options.large) largeCase(options.render, options.threads);
    if (options.bigDisc) bigDiscCase(options.render, options.threads);
    if (options.jpeg) photoCase(options.render, options.threads);

    const int width = options.quick ? 160 : 1600, height = options.quick ? 120 : 1200;
    const auto picture = scene(width, height);
    const auto depth = horizontalDepth(width, height);
    const DofSettings dof{depth.get(), 128.0, 2.0};
    // Near hides far. Across the reach of this depth ramp's kernels the depth changes by
    // less than 3, so the default tolerance of 16 would hide nothing; with 0 every target
    // is hidden from the sources on its farther side, the most work occlusion can ask.
    DofSettings occluded = dof;
    occluded.occlusion = Occlusion::BrightNear;
    occluded.occlusionTolerance = 0;
    DofSettings ranged = dof;
    ranged.focusRange = 20;

    std::printf(
        "Pictures %d x %d, density 0.1, gamma 1, blend on; fast renderer (%s) with %s threads\n",
        width, height, painterName, options.threads ? std::to_string(options.threads).c_str() : "all");
    bool allAgree = true;
    const struct {
        const char* name;
        int size;
        const DofSettings* dof;
    } cases[] = {
        {"disc 31", 31, nullptr},
        {"disc 64", 64, nullptr},
        {"depth of field, size 31", 31, &dof},
        {"dof, occlusion", 31, &occluded},
        {"dof, focus range 20", 31, &ranged},
    };
    constexpr int kCases = sizeof cases / sizeof cases[0];
    Timing timings[kCases];
    for (int i = 0; i < kCases; ++i) {
        MaskMan masks;
        masks.shape = disc(cases[i].size);
        timings[i] =
            runCase({cases[i].name, picture.get(), cases[i].size, cases[i].dof}, masks, options);
        allAgree = allAgree && timings[i].ratio > 0;
    }

    // The settings window's preview: the top-left 183 x 183 of the picture, 64-pixel disc.
    {
        MaskMan masks;
        masks.shape = disc(64);
        const auto crop = picture->cropped(183, 183, 0, 0);
        std::vector<double> times;
        for (int i = 0; i < std::max(options.repeat, 5); ++i) {
            auto region = crop->copy();
            times.push_back(seconds([&] {
                DefocusImage(*region, masks, 0.1, 1.0, 64, 1, nullptr, nullptr, options.threads);
            }));
        }
        std::printf("%-26s %.1f ms (median)\n", "preview 183 x 183, disc 64", median(times) * 1e3);
    }

    if (options.wideDof) {
        // Taking turns, so that both sizes see the same load.
        std::vector<double> times[2];
        const int sizes[2] = {31, 128};
        MaskMan masks[2];
        for (int s = 0; s < 2; ++s) masks[s].shape = disc(sizes[s]);
        for (int i = 0; i < options.repeat; ++i)
            for (int s = 0; s < 2; ++s) {
                auto result = picture->copy();
                times[s].push_back(seconds([&] {
                    DefocusImage(*result, masks[s], 0.1, 1.0, sizes[s], 1, &dof, nullptr,
                                 options.threads);
                }));
            }
        const double narrow = median(times[0]), wide = median(times[1]);
        std::printf(
            "depth of field, size 128: fast %.3f s, size 31: %.3f s, ratio %.2f (goal at "
            "most 4.5)\n",
            wide, narrow, wide / narrow);
    }

    if (!options.render.empty()) {
        if (renderPeak < 0)
            std::printf("bokavo-render 4000 x 3000: FAILED to run\n");
        else
            std::printf("bokavo-render 4000 x 3000, disc 31: peak resident memory %.1f MiB\n",
                        renderPeak);
    }

    std::printf(
        "Summary: disc 31 %.1fx, disc 64 %.1fx, depth of field %.1fx, with occlusion %.1fx, "
        "with focus range %.1fx; occlusion takes %.2f x the time of plain depth of field%s\n",
        timings[0].ratio, timings[1].ratio, timings[2].ratio, timings[3].ratio, timings[4].ratio,
        timings[3].fast / timings[2].fast, allAgree ? "" : "  (BYTES DIFFER)");
    return allAgree ? 0 : 1;
}
