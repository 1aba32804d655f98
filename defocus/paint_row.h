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

// The widest block of target pixels any painter keeps in registers at once.
constexpr int kMaxBlock = 64;
// Source-power peaks cover this many consecutive columns.
constexpr int kPeakWindow = 8;
constexpr int kCoarseWindow = 64;

// One diaphragm kernel, n x n, with what the painter precomputes about it.
struct Kernel {
    const std::uint8_t* bits;   // the kernel image's pixels, bottom-up rows
    std::ptrdiff_t stride;      // bytes per kernel row
    std::int32_t n;             // width and height
    const double* rowPeak;      // [kr * 3 + c]: the largest intensity of row kr, channel c
    const std::int32_t* first;  // [kr]: first column with a non-zero byte (any channel), or n
    const std::int32_t* last;   // [kr]: last column with a non-zero byte (any channel), or -1
    // [(kr * 3 + c) * n + kc]: the largest byte of columns kc - 7 ... kc of row kr.
    const std::uint8_t* columnPeak;
};

// Painted lanes read sources up to this many columns beyond the run they paint (a
// register's lanes beyond the run's reach, and a segment's columns).
constexpr int kStrayReach = 14;

// Consecutive sources of one row that use the same kernel.
struct Run {
    std::int32_t x0, x1;  // columns x0 ... x1 - 1
    const struct Kernel* kernel;
    double peak[3];  // the largest power of each channel in the run
    // Whether every source within kStrayReach columns of the run either belongs to it or
    // lies in a run of the other parity (see SourceRow), so that what a painted lane reads
    // from outside the run is always 0.
    bool alone;
    // With occlusion: the smallest and the largest nearness of the run's sources.
    double nearLow, nearHigh;
};

// One source row as the painter reads it, prepared once per thread and row. Its runs
// are numbered from the left; a run's parity is its number & 1. Each parity has its own
// copy of the powers, holding only the sources of its runs and 0 elsewhere, so that
// painting a run through its parity's copy cannot pick up a neighbouring run's sources,
// and the peaks of that copy bound the run's sources alone.
struct SourceRow {
    // power[p][c][x]: (byte / 255) ^ gamma of channel c at column x where x lies in a run
    // of parity p, otherwise 0, also for Job::margin columns on either side.
    const double* power[2][3];
    // peak[p][c][x]: at least the largest of power[p][c][x ... x + kPeakWindow - 1].
    const double* peak[2][3];
    // Without depth of field, coarsePeak[c][(x + margin) / kCoarseWindow]: the largest
    // power[0][c] of the aligned stretch of kCoarseWindow columns that x lies in (margin:
    // see Job).
    const double* coarsePeak[3];
    // Without depth of field one run covers the row and parity 1 is absent. With it,
    // runAt[x] is the number of the run of column x, and coarseLargest the largest kernel
    // side of each aligned stretch of kCoarseWindow columns (indexed like coarsePeak).
    const Run* runs;
    std::int32_t runCount;
    const std::int32_t* runAt;
    const std::int32_t* coarseLargest;
    // With occlusion, nearness[x]: how near the camera the source at column x lies, 0 ...
    // 255, for every column of the row and 0 in the margins; otherwise null.
    const double* nearness;
};

// Everything a row painter reads besides the source rows.
struct Job {
    std::int32_t width;
    std::int32_t height;
    double density;  // d, above 0
    double keep;     // 1 - d
    // How far any kernel of this job reaches from its source pixel: towards lower rows
    // or columns (n / 2) and towards higher ones (n - 1 - n / 2).
    std::int32_t reachLow;
    std::int32_t reachHigh;
    // The columns of zeros on either side of a source row's powers.
    std::int32_t margin;
    // For every kernel byte b: its intensity h = b / 255, and d x h.
    const double* intensity;
    const double* densityIntensity;
    // Whether every paint and cover value a stroke stores is 0 or in the normal float
    // range, so that rounding to float precision may be done by arithmetic instead of
    // conversion.
    bool splitRounding;
    // Occlusion: a source paints a target only when the source's nearness is at least
    // leastNearness[m], m the target's depth byte (the blue byte of depth, rows of
    // depthStride bytes): the target's nearness less the tolerance. Off: every source
    // paints every target its kernel reaches, and the three are unused.
    bool occlusion;
    const std::uint8_t* depth;
    std::ptrdiff_t depthStride;
    const double* leastNearness;
};

// Paints source rows firstSource ... lastSource (all of them, or a consecutive part, in
// ascending order) onto target row `row`. sources[i] is source row firstSource + i.
// Paint and cover (3 x width floats each, channel-interleaved like the image) start at 0,
// or with `resume` from what an earlier call for the rows below left in them.
using PaintRowFunction = void (*)(const Job& job, int row, const SourceRow* const* sources,
                                  int firstSource, int lastSource, bool resume, float* paint,
                                  float* cover);

// The fastest painter this processor runs, unless one was chosen with usePainter;
// every one gives the same bytes.
PaintRowFunction bestPainter();
// Makes bestPainter return `painter` (null: the fastest again). For tests and the
// benchmark, which run every painter the processor has.
void usePainter(PaintRowFunction painter);
// Every painter this processor runs, fastest first, with a short name each.
struct Painter {
    const char* name;
    PaintRowFunction function;
};
int availablePainters(Painter* out, int capacity);

}  // namespace paint_row
