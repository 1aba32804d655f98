// Picks the row painter for the running processor.
#include "defocus/paint_row.h"

#include <atomic>

namespace paint_row {
namespace {
std::atomic<PaintRowFunction> chosen{nullptr};
}

// The painter built for each instruction set (paint_row_simd.cpp).
#define PAINTER_ARGUMENTS const Job&, int, const SourceRow* const*, int, int, bool, float*, float*
void paintRowAvx512(PAINTER_ARGUMENTS);
void paintRowAvx2(PAINTER_ARGUMENTS);
void paintRowSse2(PAINTER_ARGUMENTS);
#undef PAINTER_ARGUMENTS

int availablePainters(Painter* out, int capacity) {
    int count = 0;
    const auto add = [&](const char* name, PaintRowFunction function) {
        if (count < capacity) out[count] = Painter{name, function};
        ++count;
    };
    __builtin_cpu_init();
    // The AVX-512 painter is built with the F, DQ, VL and BW extensions (see
    // defocus/CMakeLists.txt), so the compiler may use any of them: all four must be there.
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw"))
        add("avx512", paintRowAvx512);
    if (__builtin_cpu_supports("avx2")) add("avx2", paintRowAvx2);
    add("sse2", paintRowSse2);  // every x86-64 processor has SSE2
    return count;
}

void usePainter(PaintRowFunction painter) {
    chosen.store(painter);
}

PaintRowFunction bestPainter() {
    if (PaintRowFunction painter = chosen.load()) return painter;
    Painter best[1];
    availablePainters(best, 1);
    return best[0].function;
}

}  // namespace paint_row
