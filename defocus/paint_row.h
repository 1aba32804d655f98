// The inner loop of the fast renderer: everything that reaches one target row, painted
// in the order the strokes would arrive if the image were painted source by source.
//
// This header is shared by code compiled for different instruction sets, so it holds
// plain data only: no inline functions, no templates, nothing the linker could merge
// across those builds.
#pragma once

#include <cstddef>
#include <cstdint>

namespace paint_row {

// One diaphragm kernel, n x n, with what the painter precomputes about it.
struct Kernel {
    const std::uint8_t* bits;   // the kernel image's pixels, bottom-up rows
    std::ptrdiff_t stride;      // bytes per kernel row
    std::int32_t n;             // width and height
    const double* rowPeak;      // [kr * 3 + c]: the largest intensity of row kr, channel c
    const std::int32_t* first;  // [kr * 3 + c]: first column with a non-zero byte, or n
    const std::int32_t* last;   // [kr * 3 + c]: last column with a non-zero byte, or -1
};

// Everything a row painter reads. The image is the unchanged source throughout.
struct Job {
    const std::uint8_t* image;
    std::ptrdiff_t imageStride;
    std::int32_t width;
    std::int32_t height;
    const double* sourcePower;  // [256]: (byte / 255) ^ gamma
    double density;             // d, above 0
    double keep;                // 1 - d

    // Without depth of field every source pixel uses `fixed`. With it, the kernel of a
    // source pixel is kernelOfDepth[blue byte of the depth mask at the same place].
    const Kernel* fixed;
    const std::uint8_t* depthMask;  // null without depth of field
    std::ptrdiff_t depthStride;
    const Kernel* const* kernelOfDepth;  // [256]

    // How far any kernel of this job reaches from its source pixel: towards lower rows
    // or columns (n / 2) and towards higher ones (n - 1 - n / 2).
    std::int32_t reachLow;
    std::int32_t reachHigh;
};

// The widest block of target pixels any painter keeps in registers at once.
constexpr int kMaxBlock = 64;

// Scratch memory of one thread, allocated before painting starts.
struct Scratch {
    double* line;  // at least the largest kernel side + kMaxBlock doubles
};

// Paints target row `row` into paint and cover (3 x width floats each, channel-interleaved
// like the image), as the straightforward per-source painter would leave them.
using PaintRowFunction = void (*)(const Job& job, int row, float* paint, float* cover,
                                  const Scratch& scratch);

// The fastest painter this processor runs, unless one was chosen with usePainter;
// every one gives the same bytes.
PaintRowFunction bestPainter();
// Makes bestPainter return `painter` (null: the fastest again). For tests and the
// benchmark, which run every painter the processor has.
void usePainter(PaintRowFunction painter);
// Every painter this processor runs, fastest first, with a short name each; for tests
// and the benchmark.
struct Painter {
    const char* name;
    PaintRowFunction function;
};
int availablePainters(Painter* out, int capacity);

}  // namespace paint_row
