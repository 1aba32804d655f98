// The row painter, compiled once for each instruction set (see defocus/CMakeLists.txt):
// VECTOR_BYTES is the register width, PAINT_GROUPS how many registers of target pixels of
// each channel one block holds, PAINT_ROW_FUNCTION the name of this build's entry point.
//
// Every arithmetic step is the straightforward painter's, in the same order and in the
// same precision; only the order in which independent target pixels are visited changes.
// A target pixel depends only on the strokes it receives, and it receives them here in
// the same order as there: source rows upwards, sources left to right, and for each
// source the one kernel pixel that lands on it. With occlusion it receives only the
// strokes of the sources it is not hidden from, decided for each stroke as there.
//
// The work is organised source by source for each register of target pixels: a source's
// kernel row lays kLanes consecutive kernel bytes onto a register's kLanes targets. Few
// of those strokes raise anything, so for a batch of kLanes sources at a time one
// comparison per channel tells which sources may raise some lane of the register (their
// power times the largest kernel byte that reaches it, against the register's least
// paint), and only those are painted.
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

#if VECTOR_BYTES == 64
// GCC 12's 512-bit conversions and reductions start from an "undefined" register and warn
// about it.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace paint_row {
namespace {

constexpr int kLanes = VECTOR_BYTES / 8;  // doubles per register
constexpr int kGroups = PAINT_GROUPS;     // registers per block and channel
constexpr int kChannels = 3;              // painted together, for more strokes in flight
constexpr int kBlock = kLanes * kGroups;  // target pixels painted together
static_assert(kLanes <= kMaxLanes, "kernel tables are padded and peaked for kMaxLanes");
static_assert(kGroups <= 8, "a source's registers are bits of a byte");
static_assert(kGroups <= kLanes, "a block's registers are the lanes of one register");
static_assert(kBlock <= kMaxBlock, "kernel tables are padded for kMaxBlock targets");
// Sources whose strokes are tested before any of them is painted, as bits.
typedef std::uint64_t ChunkBits;
// (64 measured faster than 32 or 16: fewer rounds of tests and threshold updates outweigh
// the thresholds' staying older within a chunk.)
constexpr int kChunk = kGroupColumns * kGroupsPerChunk;
static_assert(kGroupColumns == 8 && kGroupsPerChunk == 8,
              "a chunk's sources are the bits of a ChunkBits, a group's those of one byte");
constexpr int kGroupVectors = kGroupsPerChunk / kLanes;  // registers of one chunk's group peaks

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

// kLanes floats from p on, as doubles (exactly).
inline Doubles loadFloats(const float* p) {
#if VECTOR_BYTES == 64
    return Doubles(_mm512_cvtps_pd(_mm256_loadu_ps(p)));
#elif VECTOR_BYTES == 32
    return Doubles(_mm256_cvtps_pd(_mm_loadu_ps(p)));
#else
    return Doubles(
        _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)))));
#endif
}

// kLanes bytes from p on, as doubles 0 ... 255 (exactly).
inline Doubles loadBytes(const std::uint8_t* p) {
#if VECTOR_BYTES == 64
    return Doubles(_mm512_cvtepi32_pd(
        _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)))));
#elif VECTOR_BYTES == 32
    std::int32_t four;
    std::memcpy(&four, p, sizeof four);
    return Doubles(_mm256_cvtepi32_pd(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(four))));
#else
    return Doubles{double(p[0]), double(p[1])};
#endif
}

// The low kLanes bytes of `bytes`, lowest first, as doubles 0 ... 255 (exactly).
inline Doubles bytesOf(std::uint64_t bytes) {
#if VECTOR_BYTES == 64
    return Doubles(
        _mm512_cvtepi32_pd(_mm256_cvtepu8_epi32(_mm_cvtsi64_si128(std::int64_t(bytes)))));
#elif VECTOR_BYTES == 32
    return Doubles(_mm256_cvtepi32_pd(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(int(bytes)))));
#else
    return Doubles{double(bytes & 0xff), double(bytes >> 8 & 0xff)};
#endif
}

// The planes store floats: every stored value passes through float precision. (Generic
// vector conversions compile to piecewise sequences here, hence the intrinsics.)
inline Doubles convertThroughFloat(Doubles v) {
#if VECTOR_BYTES == 64
    return Doubles(_mm512_cvtps_pd(_mm512_cvtpd_ps(__m512d(v))));
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

// The lanes where a > b, as bits. (Straight from the comparison: a generic vector
// comparison would be widened to a vector of lane masks and then tested again.)
inline unsigned above(Doubles a, Doubles b) {
#if VECTOR_BYTES == 64
    return _mm512_cmp_pd_mask(__m512d(a), __m512d(b), _CMP_GT_OQ);
#elif VECTOR_BYTES == 32
    return unsigned(_mm256_movemask_pd(_mm256_cmp_pd(__m256d(a), __m256d(b), _CMP_GT_OQ)));
#else
    return unsigned(_mm_movemask_pd(_mm_cmpgt_pd(__m128d(a), __m128d(b))));
#endif
}

// The smallest lane.
inline double lowest(Doubles v) {
#if VECTOR_BYTES == 64
    return _mm512_reduce_min_pd(__m512d(v));
#elif VECTOR_BYTES == 32
    const __m128d half =
        _mm_min_pd(_mm256_castpd256_pd128(__m256d(v)), _mm256_extractf128_pd(__m256d(v), 1));
    return _mm_cvtsd_f64(_mm_min_sd(half, _mm_unpackhi_pd(half, half)));
#else
    return _mm_cvtsd_f64(_mm_min_sd(__m128d(v), _mm_unpackhi_pd(__m128d(v), __m128d(v))));
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
inline double minDouble(double a, double b) {
    return a < b ? a : b;
}

// Paint and cover of the three channels of kBlock consecutive target pixels, and what
// decides which strokes may be passed over.
struct BlockState {
    Doubles paint[kChannels][kGroups];
    Doubles cover[kChannels][kGroups];
    // At most the least paint of the register's lanes in the row, times Job::skipFactor.
    // Paint only grows, so a value computed earlier stays a valid bound.
    double threshold[kChannels][kGroups];
    // 0 in lanes of the row, infinity beyond its end, which keeps those lanes out of the
    // thresholds (what they receive is never stored).
    Doubles beyondRow[kGroups];
    // With occlusion, for each lane the least nearness a source needs to paint that target
    // (Job::leastNearness), infinity beyond the row's end; and the smallest of them in each
    // register and in the block.
    Doubles least[kGroups];
    double leastOfRegister[kGroups];
    double lowestLeast, highestLeast;
};

__attribute__((always_inline)) inline void updateThreshold(const Job& job, BlockState& state,
                                                           int g) {
#pragma GCC unroll 3
    for (int ci = 0; ci < kChannels; ++ci) {
        const Doubles paint = state.paint[ci][g];
        const Doubles counted = paint > state.beyondRow[g] ? paint : state.beyondRow[g];
        state.threshold[ci][g] = lowest(counted) * job.skipFactor;
    }
}

// Where one run's strokes come from and land, for one kernel row.
struct RunView {
    const std::uint8_t* plane[kChannels];         // the kernel row's bytes, entry kc at [kc]
    const std::uint8_t* reversedPeak[kChannels];  // see Kernel
    const float* power[kChannels];                // see SourceRow
    const std::uint8_t* pixels;
    const double* nearness;
    int n, hw;
};

// Kernel row `kr` and the source row as the run painters read them, and the row's largest
// byte of each channel in `rowPeak`.
__attribute__((always_inline)) inline RunView viewOfRun(const Kernel& kernel, int kr,
                                                        const SourceRow& source, double* rowPeak) {
    RunView run;
    run.n = kernel.n;
    run.hw = kernel.n / 2;
#pragma GCC unroll 3
    for (int ci = 0; ci < kChannels; ++ci) {
        const std::ptrdiff_t line = (std::ptrdiff_t(kr) * 3 + ci) * kernel.lineLength + kKernelPad;
        run.plane[ci] = kernel.plane + line;
        run.reversedPeak[ci] = kernel.reversedPeak + line;
        run.power[ci] = source.power[ci];
        rowPeak[ci] = double(kernel.rowPeak[kr * 3 + ci]);
    }
    run.pixels = source.pixels;
    run.nearness = source.nearness;
    return run;
}

// The strokes of the source at column x onto register g, whose lane 0 lies at kernel
// column laneZero - x: lane j takes kernel column laneZero - x + j of each channel. A lane
// whose column lies outside the kernel reads a zero byte from the padding, and a zero
// stroke raises nothing, as in the straightforward painter. With kGrey the three channels'
// kernel bytes are the same, and so are their intensities h and cover terms d x h.
template <bool kSplit, bool kOcclusion, bool kGrey>
__attribute__((always_inline)) inline void paintSource(const Job& job, BlockState& state, int g,
                                                       const RunView& run, int laneZero, int x) {
    const Doubles keep = splat(job.keep);
    const Doubles d = splat(job.density);
    const Doubles byteScale = splat(job.byteIntensity);
    Mask seen{};
    if (kOcclusion) seen = splat(run.nearness[x]) >= state.least[g];
    const int kc = laneZero - x;
    const Doubles greyH = kGrey ? loadBytes(run.plane[0] + kc) * byteScale : Doubles{};
    const Doubles greyCoverTerm = kGrey ? d * greyH : Doubles{};
#pragma GCC unroll 3
    for (int ci = 0; ci < kChannels; ++ci) {
        const Doubles h = kGrey ? greyH : loadBytes(run.plane[ci] + kc) * byteScale;
        const Doubles k = splat(job.powerOfByte[run.pixels[3 * x + ci]]);
        const Doubles e = state.paint[ci][g];
        const Doubles i = keep * e + d * (k * h);
        Mask raised = i > e;
        if (kOcclusion) raised &= seen;
        const Doubles coverTerm = kGrey ? greyCoverTerm : d * h;
        state.paint[ci][g] = raised ? throughFloat<kSplit>(i) : e;
        state.cover[ci][g] = raised ? throughFloat<kSplit>(keep * state.cover[ci][g] + coverTerm)
                                    : state.cover[ci][g];
    }
}

// paintRun for kernels narrower than kWideKernel: chunks from the first source on, and
// each register's sources tested a register's width at a time. Where a register reaches
// a few groups only, skipping groups gains nothing, and this form measured about 10 %
// faster there.
template <bool kSplit, bool kOcclusion, bool kGrey>
__attribute__((always_inline)) inline void paintRunNarrow(const Job& job, BlockState& state,
                                                          const Kernel& kernel, int kr,
                                                          const SourceRow& source, int x0, int x1,
                                                          int tx0, const double* runPeak,
                                                          const double* const* reachPeak,
                                                          double nearHigh) {
    const int first = kernel.first[kr], last = kernel.last[kr];
    if (first > last) return;   // a row of zeros
    double rowPeak[kChannels];  // the largest byte of the kernel row
    const RunView run = viewOfRun(kernel, kr, source, rowPeak);

    // Sources are taken kChunk at a time, as in paintRun.
    const int xFirst = maxInt(x0, tx0 + run.hw - last);
    const int xLast = minInt(x1 - 1, tx0 + kBlock - 1 + run.hw - first);
    for (int xc = xFirst; xc <= xLast; xc += kChunk) {
        const int xcLast = minInt(xLast, xc + kChunk - 1);
        ChunkBits mayRaise[kGroups] = {};  // also for the registers beyond the row
        ChunkBits anyRegister = 0;
        for (int g = 0; g < kGroups; ++g) {
            const int laneZero = tx0 + g * kLanes + run.hw;  // lane 0's column plus hw
            if (laneZero - run.hw >= job.width) break;       // registers beyond the row
            // Source x reaches lane j through column laneZero - x + j: the sources whose
            // non-zero columns reach some lane.
            const int xa = maxInt(xc, laneZero - last);
            const int xb = minInt(xcLast, laneZero + kLanes - 1 - first);
            if (xa > xb) continue;
            if (kOcclusion && nearHigh < state.leastOfRegister[g]) continue;
            // First the strongest source that can reach the register, as a product of the
            // test below.
            const int step = maxInt(laneZero - last, 0) / kReachStep;
            bool any = false;
#pragma GCC unroll 3
            for (int ci = 0; ci < kChannels; ++ci) {
                const double peak = runPeak ? runPeak[ci] : reachPeak[ci][step];
                any |= peak * rowPeak[ci] > state.threshold[ci][g];
            }
            if (!any) continue;
            // The largest byte that reaches the register from source x is entry
            // n - 1 - laneZero + x of the reversed peaks.
            const int peakOffset = run.n - 1 - laneZero;
            for (int xs = xa; xs <= xb; xs += kLanes) {
                unsigned bits = 0;
                const Doubles greyPeak =
                    kGrey ? loadBytes(run.reversedPeak[0] + peakOffset + xs) : Doubles{};
#pragma GCC unroll 3
                for (int ci = 0; ci < kChannels; ++ci) {
                    const Doubles peak =
                        kGrey ? greyPeak : loadBytes(run.reversedPeak[ci] + peakOffset + xs);
                    const Doubles product = loadFloats(run.power[ci] + xs) * peak;
                    bits |= above(product, splat(state.threshold[ci][g]));
                }
                if (xb - xs + 1 < kLanes) bits &= (1u << (xb - xs + 1)) - 1;
                // A source less near than every lane of the register requires paints none of them.
                if (kOcclusion)
                    bits &= ~above(splat(state.leastOfRegister[g]), loadDoubles(run.nearness + xs));
                mayRaise[g] |= ChunkBits(bits) << (xs - xc);
            }
            anyRegister |= mayRaise[g];
        }
        if (!anyRegister) continue;

        for (ChunkBits bits = anyRegister; bits; bits &= bits - 1) {
            const int j = __builtin_ctzll(bits);
            const int x = xc + j;
            // Unrolled, so that every register index is a constant and paint and cover stay
            // in registers of the processor.
#pragma GCC unroll 8
            for (int g = 0; g < kGroups; ++g)
                if (mayRaise[g] >> j & 1)
                    paintSource<kSplit, kOcclusion, kGrey>(job, state, g, run,
                                                           tx0 + g * kLanes + run.hw, x);
        }
#pragma GCC unroll 8
        for (int g = 0; g < kGroups; ++g)
            if (mayRaise[g]) updateThreshold(job, state, g);
    }
}

// Lays kernel row kr of `kernel`, every channel, from the sources x0 <= x < x1 of one run
// onto the block of targets starting at column tx0. The sources are bounded either by
// runPeak[c], at least the largest power of channel c among them, or, when the row is one
// run and runPeak is null, by the row's reach peaks (SourceRow::reachPeak). With
// kOcclusion, each stroke lands only where the target accepts its source; nearHigh is at
// least the largest nearness among them.
//
// The tests below bound the strokes as if each of them landed; with occlusion only some
// of them do, which can only leave more pixels unchanged, so a test that finds nothing to
// change stays right.
template <bool kSplit, bool kOcclusion, bool kGrey>
__attribute__((always_inline)) inline void paintRun(const Job& job, BlockState& state,
                                                    const Kernel& kernel, int kr,
                                                    const SourceRow& source, int x0, int x1,
                                                    int tx0, const double* runPeak,
                                                    const double* const* reachPeak,
                                                    double nearHigh) {
    const int first = kernel.first[kr], last = kernel.last[kr];
    if (first > last) return;   // a row of zeros
    double rowPeak[kChannels];  // the largest byte of the kernel row
    const RunView run = viewOfRun(kernel, kr, source, rowPeak);

    // The registers that some source of the row may raise: the strongest source that can
    // reach a register, against the register's least paint; and the least threshold among
    // them, which a group of sources must exceed to raise any of them.
    unsigned active = 0;
    double blockThreshold[kChannels];
    const auto findActive = [&](unsigned candidates) {
        active = 0;
        for (int ci = 0; ci < kChannels; ++ci) blockThreshold[ci] = __builtin_inf();
        for (int g = 0; g < kGroups; ++g) {
            if (!(candidates >> g & 1)) continue;
            const int laneZero = tx0 + g * kLanes + run.hw;  // lane 0's column plus hw
            if (laneZero - run.hw >= job.width) break;       // registers beyond the row
            if (kOcclusion && nearHigh < state.leastOfRegister[g]) continue;
            const int step = maxInt(laneZero - last, 0) / kReachStep;
            bool any = false;
#pragma GCC unroll 3
            for (int ci = 0; ci < kChannels; ++ci) {
                const double peak = runPeak ? runPeak[ci] : reachPeak[ci][step];
                any |= peak * rowPeak[ci] > state.threshold[ci][g];
            }
            if (!any) continue;
            active |= 1u << g;
#pragma GCC unroll 3
            for (int ci = 0; ci < kChannels; ++ci)
                blockThreshold[ci] = minDouble(blockThreshold[ci], state.threshold[ci][g]);
        }
    };
    findActive(~0u);
    if (!active) return;

    // Sources are taken kChunk at a time, from the group of the first one on. First, for each
    // register, the sources that may raise some lane of it; then those sources in order, each onto
    // its registers. A register's paint depends on the stroke before, so painting one source onto
    // several registers in a row keeps independent strokes in flight, where painting a register
    // source after source would wait for each result.
    const int xFirst = maxInt(x0, tx0 + run.hw - last);
    const int xLast = minInt(x1 - 1, tx0 + kBlock - 1 + run.hw - first);
    for (int xc = xFirst / kGroupColumns * kGroupColumns; xc <= xLast; xc += kChunk) {
        const int xcFirst = maxInt(xc, xFirst), xcLast = minInt(xLast, xc + kChunk - 1);
        // The chunk's group peaks times the kernel row's largest byte: a group whose
        // product stays at or below a register's threshold holds no source to test.
        Doubles groupBound[kChannels][kGroupVectors];
#pragma GCC unroll 3
        for (int ci = 0; ci < kChannels; ++ci)
            for (int v = 0; v < kGroupVectors; ++v)
                groupBound[ci][v] =
                    loadFloats(source.groupPeak[ci] + xc / kGroupColumns + v * kLanes) *
                    splat(rowPeak[ci]);
        unsigned blockGroups = 0;
        for (int v = 0; v < kGroupVectors; ++v) {
            unsigned bits = 0;
#pragma GCC unroll 3
            for (int ci = 0; ci < kChannels; ++ci)
                bits |= above(groupBound[ci][v], splat(blockThreshold[ci]));
            blockGroups |= bits << (v * kLanes);
        }
        if (!blockGroups) continue;
        // Each group's bit spread over its kGroupColumns sources: the byte of each group
        // first holds its own bit, then becomes 0xff where that is set.
        const ChunkBits groupBytes = (blockGroups * 0x0101010101010101ull) & 0x8040201008040201ull;
        const ChunkBits strongSources =
            (((groupBytes + 0x7f7f7f7f7f7f7f7full) | groupBytes) >> 7 & 0x0101010101010101ull) *
            0xff;
        ChunkBits mayRaise[kGroups] = {};  // also for the registers beyond the row
        ChunkBits anyRegister = 0;
        for (int g = 0; g < kGroups; ++g) {
            if (!(active >> g & 1)) continue;
            const int laneZero = tx0 + g * kLanes + run.hw;
            // Source x reaches lane j through column laneZero - x + j: the sources whose
            // non-zero columns reach some lane.
            const int xa = maxInt(xcFirst, laneZero - last);
            const int xb = minInt(xcLast, laneZero + kLanes - 1 - first);
            if (xa > xb) continue;
            const ChunkBits inReach =
                (~ChunkBits(0) >> (kChunk - 1 - (xb - xc))) & (~ChunkBits(0) << (xa - xc));
            // The largest byte that reaches the register from source x is entry
            // n - 1 - laneZero + x of the reversed peaks.
            const int peakOffset = run.n - 1 - laneZero;
            // The sources xs ... xs + kLanes - 1 that may raise some lane, as bits.
            const auto test = [&](int xs) {
                unsigned bits = 0;
                const Doubles greyPeak =
                    kGrey ? loadBytes(run.reversedPeak[0] + peakOffset + xs) : Doubles{};
#pragma GCC unroll 3
                for (int ci = 0; ci < kChannels; ++ci) {
                    const Doubles peak =
                        kGrey ? greyPeak : loadBytes(run.reversedPeak[ci] + peakOffset + xs);
                    const Doubles product = loadFloats(run.power[ci] + xs) * peak;
                    bits |= above(product, splat(state.threshold[ci][g]));
                }
                // A source less near than every lane of the register requires paints none
                // of them.
                if (kOcclusion)
                    bits &= ~above(splat(state.leastOfRegister[g]), loadDoubles(run.nearness + xs));
                return ChunkBits(bits) << (xs - xc);
            };
            ChunkBits found = 0;
            const ChunkBits pending = strongSources & inReach;
            if (pending == inReach) {
                // Every group in reach is strong: a plain loop, whose tests overlap.
                for (int xs = xa; xs <= xb; xs += kLanes) found |= test(xs);
            } else {
                // A register's width of sources from the first one still untested on.
                for (ChunkBits rest = pending; rest;) {
                    const int at = __builtin_ctzll(rest);
                    found |= test(xc + at);
                    rest &= ~(ChunkBits((1u << kLanes) - 1) << at);
                }
            }
            mayRaise[g] = found & inReach;
            anyRegister |= mayRaise[g];
        }
        if (!anyRegister) continue;

        for (ChunkBits bits = anyRegister; bits; bits &= bits - 1) {
            const int j = __builtin_ctzll(bits);
            const int x = xc + j;
            // Unrolled, so that every register index is a constant and paint and cover stay
            // in registers of the processor.
#pragma GCC unroll 8
            for (int g = 0; g < kGroups; ++g)
                if (mayRaise[g] >> j & 1)
                    paintSource<kSplit, kOcclusion, kGrey>(job, state, g, run,
                                                           tx0 + g * kLanes + run.hw, x);
        }
#pragma GCC unroll 8
        for (int g = 0; g < kGroups; ++g)
            if (mayRaise[g]) updateThreshold(job, state, g);
    }
}

// The thresholds of the block's registers, register g's in lane g; infinity for lanes
// beyond the block's registers and for registers beyond the row. (Built in registers:
// stored lanes read back as one register would wait for the stores.)
__attribute__((always_inline)) inline void registerThresholds(const Job& job,
                                                              const BlockState& state, int tx0,
                                                              Doubles* threshold) {
    Doubles laneIndex;
    for (int j = 0; j < kLanes; ++j) laneIndex[j] = j;
#pragma GCC unroll 3
    for (int ci = 0; ci < kChannels; ++ci) {
        threshold[ci] = splat(__builtin_inf());
#pragma GCC unroll 8
        for (int g = 0; g < kGroups; ++g)
            if (tx0 + g * kLanes < job.width)
                threshold[ci] =
                    laneIndex == splat(g) ? splat(state.threshold[ci][g]) : threshold[ci];
    }
}

// The thresholds of the registers whose bits are set in `registers`, after strokes on them.
__attribute__((always_inline)) inline void updateThresholds(const Job& job, BlockState& state,
                                                            unsigned registers) {
#pragma GCC unroll 8
    for (int g = 0; g < kGroups; ++g)
        if (registers >> g & 1) updateThreshold(job, state, g);
}

// Lane g: entry peakAt - g * kLanes of a kernel row's reversed peaks, for the block's
// registers g, and 0 in the lanes beyond them.
inline Doubles registerPeaks(const std::uint8_t* reversedPeak, int peakAt) {
#if VECTOR_BYTES == 64
    // With eight lanes the entries lie eight bytes apart: the low bytes of kGroups
    // consecutive 64-bit words, the last word's at peakAt. One masked load (which reads
    // nothing beyond those words, all within the padded line: a source that reaches the
    // block has peakAt <= n + kBlock - 2) and a reversal put them in their lanes.
    static_assert(kLanes == 8, "one entry in each 64-bit word");
    const std::uint8_t* lowest = reversedPeak + peakAt - (kGroups - 1) * kLanes;
    const __m512i words = _mm512_maskz_loadu_epi64((1u << kGroups) - 1, lowest);
    __m512i order;
    for (int g = 0; g < kLanes; ++g) order[g] = g < kGroups ? kGroups - 1 - g : kGroups;
    const __m512i reversed = _mm512_permutexvar_epi64(order, words);
    return Doubles(_mm512_cvtepi64_pd(_mm512_and_si512(reversed, _mm512_set1_epi64(0xff))));
#else
    std::uint64_t peaks = 0;
#pragma GCC unroll 8
    for (int g = 0; g < kGroups; ++g)
        peaks |= std::uint64_t(reversedPeak[peakAt - g * kLanes]) << (8 * g);
    return bytesOf(peaks);
#endif
}

// A listed strong source x through kernel row `run` onto the block at tx0, which it
// reaches: tested against all registers at once, one lane for each (against the
// registerThresholds), and painted onto those it may raise. Returns those registers.
template <bool kSplit, bool kGrey>
__attribute__((always_inline)) inline unsigned paintStrongSource(const Job& job, BlockState& state,
                                                                 const RunView& run,
                                                                 const Doubles* threshold, int tx0,
                                                                 int x) {
    // Register g's lane 0 lies at kernel column laneZero - x, g * kLanes after register 0's,
    // so the largest byte that reaches it from source x is entry n - 1 - laneZero + x of
    // the reversed peaks (see Kernel), 0 where the source does not reach it.
    const int peakAt = run.n - 1 - (tx0 + run.hw) + x;
    // The exact powers: as good a bound as any, and paintSource reads them anyway.
    const std::uint8_t* pixel = run.pixels + 3 * x;
    unsigned bits = 0;
#pragma GCC unroll 3
    for (int ci = 0; ci < (kGrey ? 1 : kChannels); ++ci) {
        const Doubles peak = registerPeaks(run.reversedPeak[ci], peakAt);
        if (kGrey) {
#pragma GCC unroll 3
            for (int cj = 0; cj < kChannels; ++cj)
                bits |= above(splat(job.powerOfByte[pixel[cj]]) * peak, threshold[cj]);
        } else {
            bits |= above(splat(job.powerOfByte[pixel[ci]]) * peak, threshold[ci]);
        }
    }
#pragma GCC unroll 8
    for (int g = 0; g < kGroups; ++g)
        if (bits >> g & 1)
            paintSource<kSplit, false, kGrey>(job, state, g, run, tx0 + g * kLanes + run.hw, x);
    return bits;
}

// The first listed strong source of the row at or after column x, or strongCount.
inline int firstStrong(const SourceRow& source, int x) {
    int i = source.strongFrom[x / kStrongStride];
    while (i < source.strongCount && source.strong[i] < x) ++i;
    return i;
}

// Kernel row `kr` of a wide kernel from the listed strong sources of a row without depth
// of field onto the block at tx0, where the caller found that no other source of the row
// can raise any register (SourceRow::weakPeak).
template <bool kSplit, bool kGrey>
__attribute__((always_inline)) inline void paintStrong(const Job& job, BlockState& state,
                                                       const Kernel& kernel, int kr,
                                                       const SourceRow& source, int x0, int x1,
                                                       int tx0) {
    const int first = kernel.first[kr], last = kernel.last[kr];
    if (first > last) return;  // a row of zeros
    double rowPeak[kChannels];
    const RunView run = viewOfRun(kernel, kr, source, rowPeak);
    const int xFirst = maxInt(x0, tx0 + run.hw - last);
    const int xLast = minInt(x1 - 1, tx0 + kBlock - 1 + run.hw - first);
    if (xFirst > xLast) return;
    int i = firstStrong(source, xFirst);
    if (i == source.strongCount || source.strong[i] > xLast) return;
    Doubles threshold[kChannels];
    registerThresholds(job, state, tx0, threshold);
    unsigned painted = 0;
    for (; i < source.strongCount && source.strong[i] <= xLast; ++i)
        painted |=
            paintStrongSource<kSplit, kGrey>(job, state, run, threshold, tx0, source.strong[i]);
    updateThresholds(job, state, painted);
}

// The same with depth of field, without occlusion: each listed source of the columns x0
// ... x1 - 1 through its own kernel's row for target row `row`, where the caller found
// that no other source of the row can raise any register through any kernel byte.
template <bool kSplit>
__attribute__((always_inline)) inline void paintStrongOfRuns(const Job& job, BlockState& state,
                                                             const SourceRow& source, int row,
                                                             int r, int x0, int x1, int tx0) {
    if (x0 >= x1) return;
    int i = firstStrong(source, x0);
    if (i == source.strongCount || source.strong[i] >= x1) return;
    Doubles threshold[kChannels];
    registerThresholds(job, state, tx0, threshold);
    unsigned painted = 0;
    for (; i < source.strongCount && source.strong[i] < x1; ++i) {
        const int x = source.strong[i];
        const Kernel& kernel = *source.runs[source.runAt[x]].kernel;
        const int kr = row - r + kernel.n / 2;
        if (kr < 0 || kr >= kernel.n) continue;
        // Sources whose kernel row reaches no target of the block with a non-zero byte.
        const int hw = kernel.n / 2;
        if (x < tx0 + hw - kernel.last[kr] || x > tx0 + kBlock - 1 + hw - kernel.first[kr])
            continue;
        double rowPeak[kChannels];
        const RunView run = viewOfRun(kernel, kr, source, rowPeak);
        painted |= kernel.grey
                       ? paintStrongSource<kSplit, true>(job, state, run, threshold, tx0, x)
                       : paintStrongSource<kSplit, false>(job, state, run, threshold, tx0, x);
    }
    updateThresholds(job, state, painted);
}

// paintRun for a kernel whose channels may differ, or the cheaper one for a grey kernel;
// paintRunNarrow for narrow kernels.
template <bool kSplit, bool kOcclusion>
inline void paintRunOf(const Job& job, BlockState& state, const Kernel& kernel, int kr,
                       const SourceRow& source, int x0, int x1, int tx0, const double* runPeak,
                       const double* const* reachPeak, double nearHigh) {
    if (kernel.n < kWideKernel) {
        if (kernel.grey)
            paintRunNarrow<kSplit, kOcclusion, true>(job, state, kernel, kr, source, x0, x1, tx0,
                                                     runPeak, reachPeak, nearHigh);
        else
            paintRunNarrow<kSplit, kOcclusion, false>(job, state, kernel, kr, source, x0, x1, tx0,
                                                      runPeak, reachPeak, nearHigh);
    } else if (kernel.grey) {
        paintRun<kSplit, kOcclusion, true>(job, state, kernel, kr, source, x0, x1, tx0, runPeak,
                                           reachPeak, nearHigh);
    } else {
        paintRun<kSplit, kOcclusion, false>(job, state, kernel, kr, source, x0, x1, tx0, runPeak,
                                            reachPeak, nearHigh);
    }
}

// The least threshold of each channel among the block's registers that lie in the row: a
// source whose bound stays at or below it raises none of them. (A threshold that is not a
// number makes no register active, and counts here as +infinity.)
__attribute__((always_inline)) inline void leastThresholds(const BlockState& state, int tx0,
                                                           int width, double* least) {
#pragma GCC unroll 3
    for (int ci = 0; ci < kChannels; ++ci) {
        least[ci] = __builtin_inf();
        for (int g = 0; g < kGroups && tx0 + g * kLanes < width; ++g)
            least[ci] = minDouble(state.threshold[ci][g], least[ci]);
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

        BlockState state{};
        {
            // Through arrays: paint and cover are only ever indexed by constants.
            double paintLanes[kChannels][kBlock] = {}, coverLanes[kChannels][kBlock] = {};
            if (resume) {
                for (int ci = 0; ci < kChannels; ++ci)
                    for (int j = 0; j < lanes; ++j) {
                        paintLanes[ci][j] = paint[3 * (tx0 + j) + ci];
                        coverLanes[ci][j] = cover[3 * (tx0 + j) + ci];
                    }
            }
#pragma GCC unroll 3
            for (int ci = 0; ci < kChannels; ++ci)
#pragma GCC unroll 8
                for (int g = 0; g < kGroups; ++g) {
                    state.paint[ci][g] = loadDoubles(paintLanes[ci] + g * kLanes);
                    state.cover[ci][g] = loadDoubles(coverLanes[ci] + g * kLanes);
                }
        }
        for (int j = 0; j < kBlock; ++j)
            state.beyondRow[j / kLanes][j % kLanes] = j < lanes ? 0.0 : __builtin_inf();
#pragma GCC unroll 8
        for (int g = 0; g < kGroups; ++g) updateThreshold(job, state, g);
        if (job.occlusion) {
            const std::uint8_t* depth = job.depth + std::ptrdiff_t(row) * job.depthStride;
            state.lowestLeast = __builtin_inf();
            state.highestLeast = -__builtin_inf();
            for (int g = 0; g < kGroups; ++g) state.leastOfRegister[g] = __builtin_inf();
            for (int j = 0; j < kBlock; ++j) {
                const double least =
                    j < lanes ? job.leastNearness[depth[3 * (tx0 + j)]] : __builtin_inf();
                state.least[j / kLanes][j % kLanes] = least;
                if (j >= lanes) continue;
                state.leastOfRegister[j / kLanes] =
                    minDouble(state.leastOfRegister[j / kLanes], least);
                state.lowestLeast = minDouble(state.lowestLeast, least);
                state.highestLeast = maxDouble(state.highestLeast, least);
            }
        }

        for (int r = firstSource; r <= lastSource; ++r) {
            const SourceRow& source = *sources[r - firstSource];
            if (!source.runAt) {
                const Kernel& kernel = *source.runs[0].kernel;
                const int kr = row - r + kernel.n / 2;
                if (kr < 0 || kr >= kernel.n) continue;
                // Where every source of the row but the listed strong ones stays at or
                // below the least threshold of the block through the kernel row's largest
                // byte, only those are tested.
                if (source.strong) {
                    double least[kChannels];
                    leastThresholds(state, tx0, width, least);
                    bool weak = true;
#pragma GCC unroll 3
                    for (int ci = 0; ci < kChannels; ++ci)
                        weak &=
                            source.weakPeak[ci] * double(kernel.rowPeak[kr * 3 + ci]) <= least[ci];
                    if (weak) {
                        if (kernel.grey)
                            paintStrong<kSplit, true>(job, state, kernel, kr, source, xLow, xEnd,
                                                      tx0);
                        else
                            paintStrong<kSplit, false>(job, state, kernel, kr, source, xLow, xEnd,
                                                       tx0);
                        continue;
                    }
                }
                // The row is one run, and its reach peaks bound the strokes.
                paintRunOf<kSplit, false>(job, state, kernel, kr, source, xLow, xEnd, tx0, nullptr,
                                          source.reachPeak, 0.0);
                continue;
            }
            // With depth of field, the runs are painted one after the other from left to
            // right. Rows whose kernels around this block are too small to reach the target
            // row are passed over.
            int largest = 0;
            for (int j = xLow / kCoarseWindow; j <= (xEnd - 1) / kCoarseWindow; ++j)
                largest = maxInt(largest, source.coarseLargest[j]);
            if (row - r > largest - 1 - largest / 2 || r - row > largest / 2) continue;
            // The least threshold of the block's registers: a run whose strongest source
            // through its kernel row's largest byte stays at or below it raises no register.
            // Runs are a few columns long where the depth changes smoothly, so this one test
            // per run passes over most of them before any register is looked at. (A
            // threshold that is not a number makes no register active, as +infinity.)
            double blockLeast[kChannels];
            leastThresholds(state, tx0, width, blockLeast);
            // Where every source of the row but the listed strong ones stays at or below
            // the block's least threshold through any kernel byte, only those are tested.
            if (source.strong && !job.occlusion) {
                bool weak = true;
#pragma GCC unroll 3
                for (int ci = 0; ci < kChannels; ++ci)
                    weak &= source.weakPeak[ci] * 255.0 <= blockLeast[ci];
                if (weak) {
                    paintStrongOfRuns<kSplit>(job, state, source, row, r, xLow, xEnd, tx0);
                    continue;
                }
            }
            int strongStretch = -1;
            for (int i = source.runAt[xLow]; i < source.runCount && source.runs[i].x0 < xEnd; ++i) {
                // A stretch whose strongest source through any kernel byte stays at or below
                // the block's least threshold holds no run that could raise it: the runs
                // from this one to the last that ends within the stretch are passed over
                // with one test.
                // (A stretch found strong is not tested again for its other runs.)
                if (const int stretch = source.runs[i].x0 / kCoarseWindow;
                    stretch != strongStretch) {
                    bool strong = false;
#pragma GCC unroll 3
                    for (int ci = 0; ci < kChannels; ++ci)
                        strong |= source.coarsePeak[ci][stretch] * 255.0 > blockLeast[ci];
                    if (strong) {
                        strongStretch = stretch;
                    } else {
                        const int end = minInt(width, (stretch + 1) * kCoarseWindow);
                        const int lastRun = source.runAt[end - 1];
                        if (source.runs[lastRun].x1 <= end) {
                            i = lastRun;
                            continue;
                        }
                        if (lastRun > i) {
                            i = lastRun - 1;  // the run that reaches beyond is tested on its own
                            continue;
                        }
                    }
                }
                const Run& run = source.runs[i];
                const Kernel& kernel = *run.kernel;
                const int kr = row - r + kernel.n / 2;
                if (kr < 0 || kr >= kernel.n) continue;
                bool mayRaise = false;
#pragma GCC unroll 3
                for (int ci = 0; ci < kChannels; ++ci)
                    mayRaise |= run.peak[ci] * double(kernel.rowPeak[kr * 3 + ci]) > blockLeast[ci];
                if (!mayRaise) continue;
                const int x0 = maxInt(run.x0, xLow), x1 = minInt(run.x1, xEnd);
                // With occlusion, a run whose nearest source lies too far for every target
                // of the block paints none of them, and one whose farthest source every
                // target accepts paints as without occlusion.
                const bool occluded = job.occlusion && run.nearLow < state.highestLeast;
                if (occluded && run.nearHigh < state.lowestLeast) continue;
                if (occluded)
                    paintRunOf<kSplit, true>(job, state, kernel, kr, source, x0, x1, tx0, run.peak,
                                             nullptr, run.nearHigh);
                else
                    paintRunOf<kSplit, false>(job, state, kernel, kr, source, x0, x1, tx0, run.peak,
                                              nullptr, 0.0);
                leastThresholds(state, tx0, width, blockLeast);
            }
        }

        double paintLanes[kChannels][kBlock], coverLanes[kChannels][kBlock];
#pragma GCC unroll 3
        for (int ci = 0; ci < kChannels; ++ci)
#pragma GCC unroll 8
            for (int g = 0; g < kGroups; ++g) {
                std::memcpy(paintLanes[ci] + g * kLanes, &state.paint[ci][g], sizeof(Doubles));
                std::memcpy(coverLanes[ci] + g * kLanes, &state.cover[ci][g], sizeof(Doubles));
            }
        for (int ci = 0; ci < kChannels; ++ci)
            for (int j = 0; j < lanes; ++j) {
                paint[3 * (tx0 + j) + ci] = static_cast<float>(paintLanes[ci][j]);
                cover[3 * (tx0 + j) + ci] = static_cast<float>(coverLanes[ci][j]);
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
