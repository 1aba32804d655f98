// The row painter, compiled once for each instruction set (see defocus/CMakeLists.txt):
// VECTOR_BYTES is the register width, PAINT_GROUPS how many registers of target pixels
// stay in flight, PAINT_ROW_FUNCTION the name of this build's entry point.
//
// Every arithmetic step is the straightforward painter's, in the same order and in the
// same precision; only the order in which independent target pixels are visited changes.
// A target pixel depends only on the strokes it receives, and it receives them here in
// the same order as there: source rows upwards, sources left to right, and for each
// source the one kernel pixel that lands on it.
//
// This file must not use anything the linker could share with code built for another
// instruction set (templates or inline functions from headers): everything here has
// internal linkage except the entry point.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <immintrin.h>  // its functions are always inlined and never emitted on their own

#include "defocus/paint_row.h"

#if !defined(PAINT_ROW_FUNCTION) || !defined(VECTOR_BYTES) || !defined(PAINT_GROUPS)
#error "build this file through defocus/CMakeLists.txt"
#endif

namespace paint_row {
namespace {

constexpr int kLanes = VECTOR_BYTES / 8;  // doubles per register
constexpr int kGroups = PAINT_GROUPS;     // registers per block
constexpr int kBlock = kLanes * kGroups;  // target pixels painted together
static_assert(kBlock <= kMaxBlock, "scratch lines are sized for kMaxBlock");

constexpr double kByteScale = 1.0 / 255;  // as the straightforward painter scales bytes

typedef double Doubles __attribute__((vector_size(VECTOR_BYTES)));
typedef std::int64_t Mask __attribute__((vector_size(VECTOR_BYTES)));

inline Doubles splat(double v) {
    return Doubles{} + v;
}

inline Doubles loadDoubles(const double* p) {
    Doubles v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The planes store floats: every stored value passes through float precision. (Generic
// vector conversions compile to split sequences here, hence the intrinsics.)
inline Doubles throughFloat(Doubles v) {
#if VECTOR_BYTES == 64
    // GCC 12's 512-bit conversions start from an "undefined" register and warn about it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
    return Doubles(_mm512_cvtps_pd(_mm512_cvtpd_ps(__m512d(v))));
#pragma GCC diagnostic pop
#elif VECTOR_BYTES == 32
    return Doubles(_mm256_cvtps_pd(_mm256_cvtpd_ps(__m256d(v))));
#else
    return Doubles(_mm_cvtps_pd(_mm_cvtpd_ps(__m128d(v))));
#endif
}

inline bool anyLane(Mask m) {
    std::int64_t any = 0;
    for (int l = 0; l < kLanes; ++l) any |= m[l];
    return any != 0;
}

inline int minInt(int a, int b) {
    return a < b ? a : b;
}
inline int maxInt(int a, int b) {
    return a > b ? a : b;
}

// Paint and cover of one channel of kBlock consecutive target pixels.
struct BlockState {
    Doubles paint[kGroups];
    Doubles cover[kGroups];
};

// Lays kernel row kr of `kernel`, channel c, from the sources x0 <= x < x1 of source row
// `src` onto the block of targets starting at column tx0.
__attribute__((always_inline)) inline void paintRun(const Job& job, BlockState& state,
                                                    const Kernel& kernel, int kr, int c,
                                                    const std::uint8_t* src, int x0, int x1,
                                                    int tx0, double* line) {
    const int n = kernel.n;
    const int hw = n / 2;
    // Target tx receives kernel column kc from source tx - kc + hw: keep the columns
    // through which some source of the run reaches the block.
    const int kcFirst = maxInt(kernel.first[kr * 3 + c], tx0 + hw - (x1 - 1));
    const int kcLast = minInt(kernel.last[kr * 3 + c], tx0 + kBlock - 1 + hw - x0);
    if (kcFirst > kcLast) return;

    // line[i] is the source power of column base + i, or 0 where that column is not a
    // source of this run; lane j takes column kc from line[(kcLast - kc) + j].
    const int base = tx0 - kcLast + hw;
    const int span = kcLast - kcFirst + kBlock;
    const int from = maxInt(x0, base);
    const int to = minInt(x1, base + span);
    double peak = 0.0;
    for (int i = 0; i < from - base; ++i) line[i] = 0.0;
    for (int x = from; x < to; ++x) {
        const double k = job.sourcePower[src[3 * x + c]];
        line[x - base] = k;
        peak = k > peak ? k : peak;
    }
    for (int i = maxInt(to - base, 0); i < span; ++i) line[i] = 0.0;
    if (peak == 0.0) return;  // black sources never raise anything

    // Nothing can change when even the strongest stroke of the run, evaluated with the
    // stroke's own arithmetic, fails to raise any pixel: strokes rise monotonically with
    // k and h, and the paint only grows. Equality counts as "may change".
    const Doubles keep = splat(job.keep);
    const Doubles strongest = splat(job.density * (peak * kernel.rowPeak[kr * 3 + c]));
    Mask mayChange{};
    for (int g = 0; g < kGroups; ++g)
        mayChange |= (keep * state.paint[g] + strongest) > state.paint[g];
    if (!anyLane(mayChange)) return;

    const Doubles d = splat(job.density);
    const std::uint8_t* kernelRow = kernel.bits + kr * kernel.stride + c;
    for (int kc = kcLast; kc >= kcFirst; --kc) {
        const std::uint8_t b = kernelRow[3 * kc];
        if (b == 0) continue;  // a zero kernel byte never raises anything
        const double h = b * kByteScale;
        const Doubles vh = splat(h);
        const Doubles dh = splat(job.density * h);
        const double* k = line + (kcLast - kc);
#pragma GCC unroll 16
        for (int g = 0; g < kGroups; ++g) {
            const Doubles e = state.paint[g];
            const Doubles i = keep * e + d * (loadDoubles(k + g * kLanes) * vh);
            const Mask raised = i > e;
            state.paint[g] = raised ? throughFloat(i) : e;
            state.cover[g] = raised ? throughFloat(keep * state.cover[g] + dh) : state.cover[g];
        }
    }
}

}  // namespace

void PAINT_ROW_FUNCTION(const Job& job, int row, float* paint, float* cover,
                        const Scratch& scratch) {
    const int width = job.width;
    const int firstSource = maxInt(0, row - job.reachHigh);
    const int lastSource = minInt(job.height - 1, row + job.reachLow);

    for (int tx0 = 0; tx0 < width; tx0 += kBlock) {
        // Source columns that any kernel of the job can reach this block from.
        const int xLow = maxInt(0, tx0 - job.reachHigh);
        const int xEnd = minInt(width, tx0 + kBlock + job.reachLow);

        for (int c = 0; c < 3; ++c) {
            BlockState state;
            for (int g = 0; g < kGroups; ++g) state.paint[g] = state.cover[g] = Doubles{};

            for (int r = firstSource; r <= lastSource; ++r) {
                const std::uint8_t* src = job.image + r * job.imageStride;
                if (!job.depthMask) {
                    const int kr = row - r + job.fixed->n / 2;
                    paintRun(job, state, *job.fixed, kr, c, src, xLow, xEnd, tx0, scratch.line);
                    continue;
                }
                // With depth of field, runs of sources with the same kernel are painted
                // like the fixed case, one run after the other from left to right.
                const std::uint8_t* depth = job.depthMask + r * job.depthStride;
                for (int x0 = xLow; x0 < xEnd;) {
                    const Kernel* kernel = job.kernelOfDepth[depth[3 * x0]];
                    int x1 = x0 + 1;
                    while (x1 < xEnd && job.kernelOfDepth[depth[3 * x1]] == kernel) ++x1;
                    const int kr = row - r + kernel->n / 2;
                    if (kr >= 0 && kr < kernel->n)
                        paintRun(job, state, *kernel, kr, c, src, x0, x1, tx0, scratch.line);
                    x0 = x1;
                }
            }

            const int lanes = minInt(kBlock, width - tx0);
            for (int j = 0; j < lanes; ++j) {
                const int g = j / kLanes;
                const int l = j % kLanes;
                paint[3 * (tx0 + j) + c] = static_cast<float>(state.paint[g][l]);
                cover[3 * (tx0 + j) + c] = static_cast<float>(state.cover[g][l]);
            }
        }
    }
}

}  // namespace paint_row
