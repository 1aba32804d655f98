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
#include <cstring>  // memcpy, which compiles to a plain load here

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
constexpr int kSegment = 8;               // kernel columns tested for skipping at once
static_assert(kBlock <= kMaxBlock, "source rows are padded for kMaxBlock");
static_assert(kSegment <= kPeakWindow, "a peak must cover a lane's columns in a segment");

constexpr double kByteScale = 1.0 / 255;  // as the straightforward painter scales bytes

typedef double Doubles __attribute__((vector_size(VECTOR_BYTES)));
typedef std::int64_t Mask __attribute__((vector_size(VECTOR_BYTES)));

inline Doubles splat(double v) {
#if VECTOR_BYTES == 64
    return Doubles(_mm512_set1_pd(v));
#elif VECTOR_BYTES == 32
    return Doubles(_mm256_set1_pd(v));
#else
    return Doubles(_mm_set1_pd(v));
#endif
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
#if VECTOR_BYTES == 64
    return _mm512_test_epi64_mask(__m512i(m), __m512i(m)) != 0;
#elif VECTOR_BYTES == 32
    return _mm256_movemask_pd(__m256d(m)) != 0;
#else
    return _mm_movemask_pd(__m128d(m)) != 0;
#endif
}

inline int minInt(int a, int b) {
    return a < b ? a : b;
}
inline int maxInt(int a, int b) {
    return a > b ? a : b;
}
inline double maxDouble(double a, double b) {
    return a > b ? a : b;
}

// The registers holding lanes lowest ... highest of a block, as bits of a group mask.
// The lanes are cut to the block; at least one of them must lie in it.
inline unsigned groupsOfLanes(int lowest, int highest) {
    const unsigned first = unsigned(maxInt(0, lowest)) / kLanes;
    const unsigned last = unsigned(minInt(kBlock - 1, highest)) / kLanes;
    return (2u << last) - (1u << first);
}

// Lanes lowest ... highest among the lanes of register g.
inline Mask lanesWithin(int g, int lowest, int highest) {
    Mask lane;
    for (int l = 0; l < kLanes; ++l) lane[l] = g * kLanes + l;
    return (lane >= lowest) & (lane <= highest);
}

// Paint and cover of one channel of kBlock consecutive target pixels.
struct BlockState {
    Doubles paint[kGroups];
    Doubles cover[kGroups];
};

// Lays kernel row kr of `kernel`, channel c, from the sources x0 <= x < x1 of `source`
// onto the block of targets starting at column tx0. With kRunEdges the run is part of a
// row whose other sources belong to other kernels, so lanes whose source lies outside
// the run are held back; otherwise every source the block can reach is in the run.
template <bool kRunEdges>
__attribute__((always_inline)) inline void paintRun(const Job& job, BlockState& state,
                                                    const Kernel& kernel, int kr, int c,
                                                    const SourceRow& source, int x0, int x1,
                                                    int tx0) {
    const int n = kernel.n;
    const int hw = n / 2;
    // Target tx receives kernel column kc from source tx - kc + hw: keep the columns
    // through which some source of the run reaches the block.
    const int kcFirst = maxInt(kernel.first[kr * 3 + c], tx0 + hw - (x1 - 1));
    const int kcLast = minInt(kernel.last[kr * 3 + c], tx0 + kBlock - 1 + hw - x0);
    if (kcFirst > kcLast) return;

    // Nothing can change when even the strongest stroke of the run, evaluated with the
    // stroke's own arithmetic, fails to raise any pixel: strokes rise monotonically with
    // k and h, and the paint only grows. Equality counts as "may change".
    const int lowest = maxInt(x0, tx0 - kcLast + hw);
    const int highest = minInt(x1 - 1, tx0 + kBlock - 1 - kcFirst + hw);
    const double* coarse = source.coarsePeak[c];
    double runPeak = 0.0;
    for (int j = (lowest + job.margin) / kCoarseWindow; j <= (highest + job.margin) / kCoarseWindow;
         ++j)
        runPeak = maxDouble(runPeak, coarse[j]);
    if (runPeak == 0.0) return;  // black sources never raise anything
    const Doubles keep = splat(job.keep);
    const Doubles d = splat(job.density);
    {
        const Doubles strongest = splat(job.density * (runPeak * kernel.rowPeak[kr * 3 + c]));
        const unsigned reached = groupsOfLanes(x0 + kcFirst - hw - tx0, x1 - 1 + kcLast - hw - tx0);
        Mask mayChange{};
#pragma GCC unroll 16
        for (int g = 0; g < kGroups; ++g)
            if (reached >> g & 1) mayChange |= (keep * state.paint[g] + strongest) > state.paint[g];
        if (!anyLane(mayChange)) return;
    }

    // Most strokes still raise nothing, so the kernel row is taken kSegment columns at a
    // time, and a register of targets is painted only when the strongest stroke those
    // columns can give it might raise one of its pixels.
    const double* power = source.power[c];
    const double* peak = source.peak[c];
    const std::uint8_t* kernelRow = kernel.bits + kr * kernel.stride + c;
    const std::uint8_t* columnPeak = kernel.columnPeak + (kr * 3 + c) * n;
    for (int top = kcLast; top >= kcFirst; top -= kSegment) {
        const int bottom = maxInt(kcFirst, top - (kSegment - 1));
        if (columnPeak[top] == 0) continue;
        const Doubles hPeak = splat(columnPeak[top] * kByteScale);

        // Lane j meets, through columns top ... bottom, the sources from
        // tx0 + j - top + hw on, at most kSegment of them: one peak bounds them all.
        const unsigned reached = groupsOfLanes(x0 + bottom - hw - tx0, x1 - 1 + top - hw - tx0);
        unsigned active = 0;
#pragma GCC unroll 16
        for (int g = 0; g < kGroups; ++g) {
            if (!(reached >> g & 1)) continue;
            const Doubles kPeak = loadDoubles(peak + tx0 + g * kLanes - top + hw);
            const Doubles strongest = d * (kPeak * hPeak);
            if (anyLane(keep * state.paint[g] + strongest > state.paint[g])) active |= 1u << g;
        }
        if (!active) continue;

        for (int kc = top; kc >= bottom; --kc) {
            const std::uint8_t b = kernelRow[3 * kc];
            if (b == 0) continue;  // a zero kernel byte never raises anything
            const double h = b * kByteScale;
            const Doubles vh = splat(h);
            const Doubles dh = splat(job.density * h);
            // Lane j takes the source at column tx0 + j - kc + hw; the lanes the run reaches
            // through this column are lowLane ... highLane.
            const double* k = power + (tx0 - kc + hw);
            const int lowLane = x0 + kc - hw - tx0;
            const int highLane = x1 - 1 + kc - hw - tx0;
            const auto stroke = [&](int g, Mask within) __attribute__((always_inline)) {
                const Doubles e = state.paint[g];
                const Doubles i = keep * e + d * (loadDoubles(k + g * kLanes) * vh);
                const Mask raised = (i > e) & within;
                state.paint[g] = raised ? throughFloat(i) : e;
                state.cover[g] = raised ? throughFloat(keep * state.cover[g] + dh) : state.cover[g];
            };
            if (!kRunEdges) {
                // Every lane's source is in the run, or beyond the image where powers are 0.
#pragma GCC unroll 16
                for (int g = 0; g < kGroups; ++g)
                    if (active >> g & 1) stroke(g, ~Mask{});
                continue;
            }
            const unsigned painted = active & groupsOfLanes(lowLane, highLane);
#pragma GCC unroll 16
            for (int g = 0; g < kGroups; ++g) {
                if (!(painted >> g & 1)) continue;
                if (lowLane <= g * kLanes && highLane >= g * kLanes + kLanes - 1)
                    stroke(g, ~Mask{});
                else
                    stroke(g, lanesWithin(g, lowLane, highLane));
            }
        }
    }
}

}  // namespace

void PAINT_ROW_FUNCTION(const Job& job, int row, const SourceRow* const* sources, int firstSource,
                        int lastSource, bool resume, float* paint, float* cover) {
    const int width = job.width;
    for (int tx0 = 0; tx0 < width; tx0 += kBlock) {
        const int lanes = minInt(kBlock, width - tx0);
        // Source columns that any kernel of the job can reach this block from.
        const int xLow = maxInt(0, tx0 - job.reachHigh);
        const int xEnd = minInt(width, tx0 + kBlock + job.reachLow);

        for (int c = 0; c < 3; ++c) {
            BlockState state;
            for (int g = 0; g < kGroups; ++g) state.paint[g] = state.cover[g] = Doubles{};
            if (resume) {
                for (int j = 0; j < lanes; ++j) {
                    state.paint[j / kLanes][j % kLanes] = paint[3 * (tx0 + j) + c];
                    state.cover[j / kLanes][j % kLanes] = cover[3 * (tx0 + j) + c];
                }
            }

            for (int r = firstSource; r <= lastSource; ++r) {
                const SourceRow& source = *sources[r - firstSource];
                if (!source.kernelAt) {
                    const Kernel& kernel = *job.fixed;
                    const int kr = row - r + kernel.n / 2;
                    if (kr >= 0 && kr < kernel.n)
                        paintRun<false>(job, state, kernel, kr, c, source, xLow, xEnd, tx0);
                    continue;
                }
                // With depth of field, runs of sources with the same kernel are painted
                // one after the other from left to right. Rows whose kernels around this
                // block are too small to reach the target row are passed over.
                int largest = 0;
                for (int j = (xLow + job.margin) / kCoarseWindow;
                     j <= (xEnd - 1 + job.margin) / kCoarseWindow; ++j)
                    largest = maxInt(largest, source.coarseLargest[j]);
                if (row - r > largest - 1 - largest / 2 || r - row > largest / 2) continue;
                for (int x0 = xLow; x0 < xEnd;) {
                    const Kernel& kernel = *source.kernelAt[x0];
                    const int x1 = minInt(source.runEnd[x0], xEnd);
                    const int kr = row - r + kernel.n / 2;
                    if (kr >= 0 && kr < kernel.n)
                        paintRun<true>(job, state, kernel, kr, c, source, x0, x1, tx0);
                    x0 = x1;
                }
            }

            for (int j = 0; j < lanes; ++j) {
                paint[3 * (tx0 + j) + c] = static_cast<float>(state.paint[j / kLanes][j % kLanes]);
                cover[3 * (tx0 + j) + c] = static_cast<float>(state.cover[j / kLanes][j % kLanes]);
            }
        }
    }
}

}  // namespace paint_row
