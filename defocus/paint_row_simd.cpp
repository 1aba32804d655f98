// The row painter, compiled once for each instruction set (see defocus/CMakeLists.txt):
// VECTOR_BYTES is the register width, PAINT_GROUPS how many registers of target pixels of
// each channel stay in flight, PAINT_ROW_FUNCTION the name of this build's entry point.
//
// Every arithmetic step is the straightforward painter's, in the same order and in the
// same precision; only the order in which independent target pixels are visited changes.
// A target pixel depends only on the strokes it receives, and it receives them here in
// the same order as there: source rows upwards, sources left to right, and for each
// source the one kernel pixel that lands on it. With occlusion it receives only the
// strokes of the sources it is not hidden from, decided for each stroke as there.
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
constexpr int kGroups = PAINT_GROUPS;     // registers per block and channel
constexpr int kChannels = 3;              // painted together, for more strokes in flight
constexpr int kBlock = kLanes * kGroups;  // target pixels painted together
constexpr int kSegment = 8;               // kernel columns tested for skipping at once
static_assert(kBlock <= kMaxBlock, "source rows are padded for kMaxBlock");
static_assert(kSegment <= kPeakWindow, "a peak must cover a lane's columns in a segment");
// A painted register holds lanes up to kLanes - 1 beyond the run's reach through a
// segment, and a segment's columns shift a lane's source by up to kSegment - 1.
static_assert((kLanes - 1) + (kSegment - 1) <= kStrayReach, "lanes stray beyond kStrayReach");

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
// vector conversions compile to piecewise sequences here, hence the intrinsics.)
inline Doubles convertThroughFloat(Doubles v) {
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

// The same rounding by Veltkamp's splitting: c = v (2^29 + 1) and c - (c - v) keep the
// upper 24 of the 53 significand bits, rounded to nearest with ties to even, exactly as
// the conversion does for values in the normal float range, and in three arithmetic
// steps that cost less here than the two conversions. Below that range the conversion
// rounds to fewer bits and above it to infinity, so only jobs whose values stay inside
// use it (Job::splitRounding).
inline Doubles splitThroughFloat(Doubles v) {
    const Doubles c = v * splat(0x1p29 + 1);
    return c - (c - v);
}

template <bool kSplit>
inline Doubles throughFloat(Doubles v) {
    return kSplit ? splitThroughFloat(v) : convertThroughFloat(v);
}

// The lanes of register g that a stroke term `strongest` may raise, as bits of the block's
// lanes: the stroke's own arithmetic, keep x e + strongest > e. (The bits come straight
// from the comparison: a generic vector comparison would be widened to a vector of lane
// masks and then tested again.)
inline std::uint64_t mayRise(Doubles e, Doubles strongest, Doubles keep, int g) {
    const Doubles i = keep * e + strongest;
#if VECTOR_BYTES == 64
    const unsigned bits = _mm512_cmp_pd_mask(__m512d(i), __m512d(e), _CMP_GT_OQ);
#elif VECTOR_BYTES == 32
    const unsigned bits =
        unsigned(_mm256_movemask_pd(_mm256_cmp_pd(__m256d(i), __m256d(e), _CMP_GT_OQ)));
#else
    const unsigned bits = unsigned(_mm_movemask_pd(_mm_cmpgt_pd(__m128d(i), __m128d(e))));
#endif
    return std::uint64_t(bits) << (g * kLanes);
}

// The lanes of register g where a <= b, as bits of the block's lanes.
inline std::uint64_t notAbove(Doubles a, Doubles b, int g) {
#if VECTOR_BYTES == 64
    const unsigned bits = _mm512_cmp_pd_mask(__m512d(a), __m512d(b), _CMP_LE_OQ);
#elif VECTOR_BYTES == 32
    const unsigned bits =
        unsigned(_mm256_movemask_pd(_mm256_cmp_pd(__m256d(a), __m256d(b), _CMP_LE_OQ)));
#else
    const unsigned bits = unsigned(_mm_movemask_pd(_mm_cmple_pd(__m128d(a), __m128d(b))));
#endif
    return std::uint64_t(bits) << (g * kLanes);
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
inline double minDouble(double a, double b) {
    return a < b ? a : b;
}

// Lanes lowest ... highest of a block as bits, cut to the block; at least one of them
// must lie in it.
inline std::uint64_t lanesBetween(int lowest, int highest) {
    static_assert(kBlock <= 64, "a block's lanes fit in 64 bits");
    const unsigned first = unsigned(maxInt(0, lowest));
    const unsigned last = unsigned(minInt(kBlock - 1, highest));
    return (~std::uint64_t{0} >> (63 - last)) & (~std::uint64_t{0} << first);
}

// Paint and cover of the three channels of kBlock consecutive target pixels.
struct BlockState {
    Doubles paint[kChannels][kGroups];
    Doubles cover[kChannels][kGroups];
};

// With occlusion, for each lane of a block the least nearness a source needs to paint that
// target (Job::leastNearness); lanes beyond the row's end take infinity and accept none.
struct BlockOcclusion {
    Doubles least[kGroups];
    double lowest, highest;  // the least and the largest of them over the lanes in the row
};

// The lanes of every register, numbered through the block.
constexpr struct LaneNumbers {
    std::int64_t at[kBlock];
    constexpr LaneNumbers() : at() {
        for (int j = 0; j < kBlock; ++j) at[j] = j;
    }
} kLaneNumbers;

// Where a run's strokes land, as the painter needs it for one block.
struct RunView {
    const double* power[kChannels];  // lane j reads power[c][j - kc] through column kc
    const double* nearness;          // with occlusion, lane j's source: nearness[j - kc]
    int low, high;  // with run edges: lanes low + kc ... high + kc hold the run's sources
};

// Lays kernel columns top ... bottom (of the row at kernelRow) onto registers
// kFirstGroup ... kLastGroup of every channel. Lane j of the block takes the source at
// run.power[channel][j - kc]. With kRunEdges, only lanes run.low + kc ... run.high + kc do,
// the others lie outside the run. With kOcclusion, only lanes whose source is near enough
// (BlockOcclusion) do, the others are hidden from it.
template <bool kSplit, bool kRunEdges, bool kOcclusion, int kFirstGroup, int kLastGroup>
__attribute__((always_inline)) inline void paintColumns(const Job& job, BlockState& state,
                                                        const RunView& run,
                                                        const BlockOcclusion& occlusion,
                                                        const std::uint8_t* kernelRow, int top,
                                                        int bottom) {
    const Doubles keep = splat(job.keep);
    const Doubles d = splat(job.density);
    for (int kc = top; kc >= bottom; --kc) {
        Mask within[kGroups];
        if (kRunEdges) {
            const Mask low = Mask{} + (run.low + kc);
            const Mask high = Mask{} + (run.high + kc);
#pragma GCC unroll 16
            for (int g = kFirstGroup; g <= kLastGroup; ++g) {
                Mask lane;
                std::memcpy(&lane, kLaneNumbers.at + g * kLanes, sizeof lane);
                within[g] = (lane >= low) & (lane <= high);
            }
        }
        if (kOcclusion) {
            const double* near = run.nearness - kc;
#pragma GCC unroll 16
            for (int g = kFirstGroup; g <= kLastGroup; ++g) {
                const Mask seen = loadDoubles(near + g * kLanes) >= occlusion.least[g];
                within[g] = kRunEdges ? within[g] & seen : seen;
            }
        }
        // The channels' strokes are independent, so they are interleaved to keep more of
        // them in flight. A zero kernel byte gives strokes that raise nothing.
#pragma GCC unroll 3
        for (int ci = 0; ci < kChannels; ++ci) {
            const std::uint8_t b = kernelRow[3 * kc + ci];
            const Doubles vh = splat(job.intensity[b]);
            const Doubles dh = splat(job.densityIntensity[b]);
            const double* k = run.power[ci] - kc;
#pragma GCC unroll 16
            for (int g = kFirstGroup; g <= kLastGroup; ++g) {
                const Doubles e = state.paint[ci][g];
                const Doubles i = keep * e + d * (loadDoubles(k + g * kLanes) * vh);
                Mask raised = i > e;
                if (kRunEdges || kOcclusion) raised &= within[g];
                state.paint[ci][g] = raised ? throughFloat<kSplit>(i) : e;
                state.cover[ci][g] = raised ? throughFloat<kSplit>(keep * state.cover[ci][g] + dh)
                                            : state.cover[ci][g];
            }
        }
    }
}

// paintColumns for the registers first ... last of the block, span = first * 8 + last.
template <bool kSplit, bool kRunEdges, bool kOcclusion>
__attribute__((always_inline)) inline void paintSpan(int span, const Job& job, BlockState& state,
                                                     const RunView& run,
                                                     const BlockOcclusion& occlusion,
                                                     const std::uint8_t* kernelRow, int top,
                                                     int bottom) {
#define PAINT_SPAN(first, last)                                           \
    case (first)*8 + (last):                                              \
        if constexpr ((last) < kGroups)                                   \
            paintColumns<kSplit, kRunEdges, kOcclusion, (first), (last)>( \
                job, state, run, occlusion, kernelRow, top, bottom);      \
        break;
    static_assert(kGroups <= 8, "every span of registers has its case below");
    switch (span) {
        // clang-format off
        PAINT_SPAN(0, 0) PAINT_SPAN(0, 1) PAINT_SPAN(0, 2) PAINT_SPAN(0, 3) PAINT_SPAN(0, 4)
        PAINT_SPAN(0, 5) PAINT_SPAN(0, 6) PAINT_SPAN(0, 7)
        PAINT_SPAN(1, 1) PAINT_SPAN(1, 2) PAINT_SPAN(1, 3) PAINT_SPAN(1, 4) PAINT_SPAN(1, 5)
        PAINT_SPAN(1, 6) PAINT_SPAN(1, 7)
        PAINT_SPAN(2, 2) PAINT_SPAN(2, 3) PAINT_SPAN(2, 4) PAINT_SPAN(2, 5) PAINT_SPAN(2, 6)
        PAINT_SPAN(2, 7)
        PAINT_SPAN(3, 3) PAINT_SPAN(3, 4) PAINT_SPAN(3, 5) PAINT_SPAN(3, 6) PAINT_SPAN(3, 7)
        PAINT_SPAN(4, 4) PAINT_SPAN(4, 5) PAINT_SPAN(4, 6) PAINT_SPAN(4, 7)
        PAINT_SPAN(5, 5) PAINT_SPAN(5, 6) PAINT_SPAN(5, 7)
        PAINT_SPAN(6, 6) PAINT_SPAN(6, 7)
        PAINT_SPAN(7, 7)
        // clang-format on
    }
#undef PAINT_SPAN
}

// Lays kernel row kr of `kernel`, every channel, from the sources x0 <= x < x1 of a run
// of parity `parity` in `source` onto the block of targets starting at column tx0. With
// kRunEdges, lanes whose source lies outside the run are held back; without, the run is
// alone and those lanes read 0. sourcePeak[c]: at least the largest power of channel c
// among those sources. With kOcclusion, each stroke lands only where the target accepts
// its source (BlockOcclusion); nearHigh is at least the largest nearness among the
// sources.
//
// Every test below bounds the strokes of the run as if each of them landed; with
// occlusion only some of them do, which can only leave more pixels unchanged, so a test
// that finds nothing to change stays right. A lane whose least nearness exceeds nearHigh
// accepts no source of the run and is left out of the tests.
template <bool kSplit, bool kRunEdges, bool kOcclusion>
__attribute__((always_inline)) inline void paintRun(const Job& job, BlockState& state,
                                                    const Kernel& kernel, int kr,
                                                    const SourceRow& source, int parity, int x0,
                                                    int x1, int tx0, const double* sourcePeak,
                                                    const BlockOcclusion& occlusion,
                                                    double nearHigh) {
    const int n = kernel.n;
    const int hw = n / 2;
    // Target tx receives kernel column kc from source tx - kc + hw: keep the columns
    // through which some source of the run reaches the block.
    const int kcFirst = maxInt(kernel.first[kr], tx0 + hw - (x1 - 1));
    const int kcLast = minInt(kernel.last[kr], tx0 + kBlock - 1 + hw - x0);
    if (kcFirst > kcLast) return;

    // Nothing can change in a channel when even the strongest stroke of the run, evaluated
    // with the stroke's own arithmetic, fails to raise any pixel: strokes rise
    // monotonically with k and h, and the paint only grows. Equality counts as "may
    // change".
    const Doubles keep = splat(job.keep);
    const Doubles d = splat(job.density);
    std::uint64_t accepting = ~std::uint64_t{0};  // lanes that accept some source of the run
    if (kOcclusion) {
        accepting = 0;
        const Doubles high = splat(nearHigh);
#pragma GCC unroll 16
        for (int g = 0; g < kGroups; ++g) accepting |= notAbove(occlusion.least[g], high, g);
    }
    unsigned channels = 0;  // the channels that may change
    {
        const std::uint64_t reached =
            lanesBetween(x0 + kcFirst - hw - tx0, x1 - 1 + kcLast - hw - tx0) & accepting;
#pragma GCC unroll 3
        for (int ci = 0; ci < kChannels; ++ci) {
            if (sourcePeak[ci] == 0.0) continue;  // black sources never raise anything
            const Doubles strongest =
                splat(job.density * (sourcePeak[ci] * kernel.rowPeak[kr * 3 + ci]));
            std::uint64_t mayChange = 0;
#pragma GCC unroll 16
            for (int g = 0; g < kGroups; ++g)
                mayChange |= mayRise(state.paint[ci][g], strongest, keep, g);
            if (mayChange & reached) channels |= 1u << ci;
        }
        if (!channels) return;
    }

    // Most strokes still raise nothing, so the kernel row is taken kSegment columns at a
    // time, and only the registers of targets that the strongest stroke those columns can
    // give might raise are painted: the span from the first to the last such register, in
    // every channel, since code with fixed registers and no branch per register is faster
    // than visiting exactly the registers that need it.
    const std::uint8_t* kernelRow = kernel.bits + kr * kernel.stride;
    RunView run;
#pragma GCC unroll 3
    for (int ci = 0; ci < kChannels; ++ci) run.power[ci] = source.power[parity][ci] + tx0 + hw;
    run.nearness = kOcclusion ? source.nearness + tx0 + hw : nullptr;
    run.low = x0 - hw - tx0;
    run.high = x1 - 1 - hw - tx0;
    for (int top = kcLast; top >= kcFirst; top -= kSegment) {
        const int bottom = maxInt(kcFirst, top - (kSegment - 1));
        // Lane j meets, through columns top ... bottom, the sources from
        // tx0 + j - top + hw on, at most kSegment of them: one peak bounds them all.
        std::uint64_t active = 0;  // lanes that may change
#pragma GCC unroll 3
        for (int ci = 0; ci < kChannels; ++ci) {
            if (!(channels >> ci & 1)) continue;
            const std::uint8_t columnPeak = kernel.columnPeak[(kr * 3 + ci) * n + top];
            const Doubles hPeak = splat(job.intensity[columnPeak]);
            const double* peak = source.peak[parity][ci] + tx0 - top + hw;
#pragma GCC unroll 16
            for (int g = 0; g < kGroups; ++g) {
                const Doubles strongest = d * (loadDoubles(peak + g * kLanes) * hPeak);
                active |= mayRise(state.paint[ci][g], strongest, keep, g);
            }
        }
        active &= lanesBetween(x0 + bottom - hw - tx0, x1 - 1 + top - hw - tx0) & accepting;
        if (!active) continue;
        const int firstGroup = __builtin_ctzll(active) / kLanes;
        const int lastGroup = (63 - __builtin_clzll(active)) / kLanes;
        paintSpan<kSplit, kRunEdges, kOcclusion>(firstGroup * 8 + lastGroup, job, state, run,
                                                 occlusion, kernelRow, top, bottom);
    }
}

template <bool kSplit>
void paintRowWith(const Job& job, int row, const SourceRow* const* sources, int firstSource,
                  int lastSource, bool resume, float* paint, float* cover) {
    const int width = job.width;
    for (int tx0 = 0; tx0 < width; tx0 += kBlock) {
        const int lanes = minInt(kBlock, width - tx0);
        // Source columns that any kernel of the job can reach this block from.
        const int xLow = maxInt(0, tx0 - job.reachHigh);
        const int xEnd = minInt(width, tx0 + kBlock + job.reachLow);

        BlockState state;
        for (int ci = 0; ci < kChannels; ++ci)
            for (int g = 0; g < kGroups; ++g) state.paint[ci][g] = state.cover[ci][g] = Doubles{};
        if (resume) {
            for (int ci = 0; ci < kChannels; ++ci)
                for (int j = 0; j < lanes; ++j) {
                    state.paint[ci][j / kLanes][j % kLanes] = paint[3 * (tx0 + j) + ci];
                    state.cover[ci][j / kLanes][j % kLanes] = cover[3 * (tx0 + j) + ci];
                }
        }
        BlockOcclusion occlusion{};
        if (job.occlusion) {
            const std::uint8_t* depth = job.depth + std::ptrdiff_t(row) * job.depthStride;
            double least[kBlock];
            occlusion.lowest = __builtin_inf();
            occlusion.highest = -__builtin_inf();
            for (int j = 0; j < lanes; ++j) {
                least[j] = job.leastNearness[depth[3 * (tx0 + j)]];
                occlusion.lowest = minDouble(occlusion.lowest, least[j]);
                occlusion.highest = maxDouble(occlusion.highest, least[j]);
            }
            for (int j = lanes; j < kBlock; ++j) least[j] = __builtin_inf();
            for (int g = 0; g < kGroups; ++g) occlusion.least[g] = loadDoubles(least + g * kLanes);
        }

        for (int r = firstSource; r <= lastSource; ++r) {
            const SourceRow& source = *sources[r - firstSource];
            if (!source.runAt) {
                const Kernel& kernel = *source.runs[0].kernel;
                const int kr = row - r + kernel.n / 2;
                if (kr < 0 || kr >= kernel.n) continue;
                // The row is one run: its strongest sources near the block bound the strokes.
                double sourcePeak[kChannels] = {};
                for (int ci = 0; ci < kChannels; ++ci)
                    for (int j = (xLow + job.margin) / kCoarseWindow;
                         j <= (xEnd - 1 + job.margin) / kCoarseWindow; ++j)
                        sourcePeak[ci] = maxDouble(sourcePeak[ci], source.coarsePeak[ci][j]);
                paintRun<kSplit, false, false>(job, state, kernel, kr, source, 0, xLow, xEnd, tx0,
                                               sourcePeak, occlusion, 0.0);
                continue;
            }
            // With depth of field, the runs are painted one after the other from left to
            // right. Rows whose kernels around this block are too small to reach the target
            // row are passed over.
            int largest = 0;
            for (int j = (xLow + job.margin) / kCoarseWindow;
                 j <= (xEnd - 1 + job.margin) / kCoarseWindow; ++j)
                largest = maxInt(largest, source.coarseLargest[j]);
            if (row - r > largest - 1 - largest / 2 || r - row > largest / 2) continue;
            for (int i = source.runAt[xLow]; i < source.runCount && source.runs[i].x0 < xEnd; ++i) {
                const Run& run = source.runs[i];
                const Kernel& kernel = *run.kernel;
                const int kr = row - r + kernel.n / 2;
                if (kr < 0 || kr >= kernel.n) continue;
                const int x0 = maxInt(run.x0, xLow), x1 = minInt(run.x1, xEnd);
                // With occlusion, a run whose nearest source lies too far for every target
                // of the block paints none of them, and one whose farthest source every
                // target accepts paints as without occlusion.
                const bool occluded = job.occlusion && run.nearLow < occlusion.highest;
                if (occluded && run.nearHigh < occlusion.lowest) continue;
                if (run.alone) {
                    if (occluded)
                        paintRun<kSplit, false, true>(job, state, kernel, kr, source, i & 1, x0, x1,
                                                      tx0, run.peak, occlusion, run.nearHigh);
                    else
                        paintRun<kSplit, false, false>(job, state, kernel, kr, source, i & 1, x0,
                                                       x1, tx0, run.peak, occlusion, 0.0);
                } else {
                    if (occluded)
                        paintRun<kSplit, true, true>(job, state, kernel, kr, source, i & 1, x0, x1,
                                                     tx0, run.peak, occlusion, run.nearHigh);
                    else
                        paintRun<kSplit, true, false>(job, state, kernel, kr, source, i & 1, x0, x1,
                                                      tx0, run.peak, occlusion, 0.0);
                }
            }
        }

        for (int ci = 0; ci < kChannels; ++ci)
            for (int j = 0; j < lanes; ++j) {
                paint[3 * (tx0 + j) + ci] =
                    static_cast<float>(state.paint[ci][j / kLanes][j % kLanes]);
                cover[3 * (tx0 + j) + ci] =
                    static_cast<float>(state.cover[ci][j / kLanes][j % kLanes]);
            }
    }
}

}  // namespace

void PAINT_ROW_FUNCTION(const Job& job, int row, const SourceRow* const* sources, int firstSource,
                        int lastSource, bool resume, float* paint, float* cover) {
    if (job.splitRounding)
        paintRowWith<true>(job, row, sources, firstSource, lastSource, resume, paint, cover);
    else
        paintRowWith<false>(job, row, sources, firstSource, lastSource, resume, paint, cover);
}

}  // namespace paint_row
