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

// The most doubles any painter keeps in one register.
constexpr int kMaxLanes = 8;
// Zero columns on either side of each row of a kernel's tables, so that a register's
// lanes may read beyond the kernel's edge, and a block's registers, up to kMaxBlock
// targets, may read the peaks of a source they do not reach.
constexpr int kMaxBlock = 40;
constexpr int kKernelPad = kMaxBlock + kMaxLanes;
// With depth of field, the largest kernel side is kept for aligned stretches of this many
// columns of a source row.
constexpr int kCoarseWindow = 64;
// Without depth of field, a source row keeps for each column m * kReachStep the largest
// power among the columns from there that can reach one register: see SourceRow::reachPeak.
constexpr int kReachStep = kMaxLanes;
// For kernels at least kWideKernel wide, every source row keeps the largest power of each
// aligned group of kGroupColumns columns, and the painter takes sources in chunks of
// kGroupsPerChunk groups: one register of group peaks per chunk tells which groups hold
// a source strong enough to be tested one by one.
constexpr int kWideKernel = 64;
constexpr int kGroupColumns = kMaxLanes;
constexpr int kGroupsPerChunk = 8;
// When the job has a kernel at least kWideKernel wide and no occlusion, a source row lists
// its few strongest sources (SourceRow::strong), and strongFrom[x / kStrongStride] is the
// first of them at or after column x rounded down to a multiple of kStrongStride.
constexpr int kStrongStride = 64;

// One diaphragm kernel, n x n, laid out for the painter. Each row kr and channel c of the
// tables below is a line of `lineLength` bytes starting at (kr * 3 + c) * lineLength,
// whose entries kKernelPad ... kKernelPad + n - 1 describe the kernel and whose padding
// holds zeros.
struct Kernel {
    std::int32_t n;             // width and height
    std::ptrdiff_t lineLength;  // n + 2 * kKernelPad
    // Entry kc: the byte of column kc.
    const std::uint8_t* plane;
    // Entry i: the largest byte of the columns n - 1 - i ... n - 1 - i + kMaxLanes - 1 that
    // lie in the kernel. As a source moves right by one, the kernel columns that reach a
    // register move left by one, so consecutive sources read consecutive entries.
    const std::uint8_t* reversedPeak;
    const std::uint8_t* rowPeak;  // [kr * 3 + c]: the largest byte of row kr, channel c
    const std::int32_t* first;    // [kr]: first column with a non-zero byte (any channel), or n
    const std::int32_t* last;     // [kr]: last column with a non-zero byte (any channel), or -1
    // Whether the three channels' bytes are the same everywhere, as in a grey diaphragm:
    // then the painter derives each lane's intensity once for all three channels.
    bool grey;
};

// Consecutive sources of one row that use the same kernel.
struct Run {
    std::int32_t x0, x1;  // columns x0 ... x1 - 1
    const struct Kernel* kernel;
    double peak[3];  // the largest power of each channel in the run
    // With occlusion: the smallest and the largest nearness of the run's sources.
    double nearLow, nearHigh;
};

// One source row as the painter reads it, prepared once per thread and row.
struct SourceRow {
    // power[c][x]: at least the power (byte / 255) ^ gamma of channel c at column x, the
    // float nearest it or the next one up (a bound for the tests in half the memory of
    // the exact double), and 0 for Job::margin columns on either side.
    const float* power[3];
    // The row's pixels, three bytes each as in the image: their exact powers are
    // Job::powerOfByte of these bytes.
    const std::uint8_t* pixels;
    // Without depth of field, reachPeak[c][m]: the largest power of channel c in at least
    // the columns m * kReachStep ... m * kReachStep + reachSpan - 1 of the row (whole steps
    // of kReachStep columns), reachSpan being n - 2 + 2 * kMaxLanes for the job's n x n
    // kernel. The sources that reach a register
    // of up to kMaxLanes targets lie within n - 1 + kMaxLanes columns from the first, so
    // they all lie in the stretch of the step at or before that first column.
    const double* reachPeak[3];
    // When the job has a kernel at least kWideKernel wide, groupPeak[c][i]: at least the
    // largest power of channel c in the columns i * kGroupColumns ... (i + 1) * kGroupColumns
    // - 1 (that power rounded up to a float: half the memory, and as good a bound), 0 beyond
    // the row, up to kGroupsPerChunk - 1 groups after the row's last; otherwise null.
    const float* groupPeak[3];
    // Without depth of field one run covers the row. With it, runAt[x] is the number of
    // the run of column x, and coarseLargest[x / kCoarseWindow] the largest kernel side of
    // the aligned stretch of columns that x lies in.
    const Run* runs;
    std::int32_t runCount;
    const std::int32_t* runAt;
    const std::int32_t* coarseLargest;
    // With depth of field, coarsePeak[c][x / kCoarseWindow]: the largest power of channel c
    // in that stretch; otherwise null.
    const double* coarsePeak[3];
    // With a wide kernel and without occlusion, the columns of the row's strongest
    // sources in ascending order (strongCount of them, null when none are listed), and
    // weakPeak[c]: at least the largest power of channel c among the sources not listed.
    // Where weakPeak through the kernel row's largest byte cannot raise any register of a
    // block, only the listed sources need testing.
    const std::int32_t* strong;
    std::int32_t strongCount;
    const std::int32_t* strongFrom;
    double weakPeak[3];
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
    // Skipping: a source's strokes onto a register of targets are passed over when the
    // source's power times the largest kernel byte that reaches the register is at most
    // the register's least paint times this factor (0: only when the product is 0). The
    // renderer derives it from d so that such strokes provably raise nothing.
    double skipFactor;
    // How far any kernel of this job reaches from its source pixel: towards lower rows
    // or columns (n / 2) and towards higher ones (n - 1 - n / 2).
    std::int32_t reachLow;
    std::int32_t reachHigh;
    // The columns of zeros on either side of a source row's powers and nearness.
    std::int32_t margin;
    // A kernel byte b has the intensity h = b x byteIntensity (kernelIntensity).
    double byteIntensity;
    // The power (byte / 255) ^ gamma of each source byte.
    const double* powerOfByte;
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
