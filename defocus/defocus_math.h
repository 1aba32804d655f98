// The scalar arithmetic of the defocus renderer, in one place, so that every renderer
// computes source powers, kernel sizes and output bytes in exactly the same way. Every
// function here is part of the renderer's byte-exact result; changing the order of an
// operation changes output bytes. It is the engine's own: callers outside defocus/ use
// defocus.h, whose limits the renderers apply.
#pragma once

#include <cmath>
#include <cstdint>

#include "defocus/defocus.h"

namespace defocus_math {

// Bytes scale to 0 ... 1 by multiplying with the reciprocal, never by dividing.
constexpr double kByteScale = 1.0 / 255;

// The largest kernel side depth of field may ask for; larger sizes count as this.
constexpr int kMaxDofSize = 4096;

// A source channel's painting intensity: (byte / 255) raised to the gamma.
inline double sourcePower(std::uint8_t byte, double gamma) {
    return std::pow(byte * kByteScale, gamma);
}

// A kernel byte's intensity, 0 ... 1.
inline double kernelIntensity(std::uint8_t byte) {
    return byte * kByteScale;
}

// The kernel size for a pixel of depth `depth`: the distance |depth - threshold| less the
// focus range (0 when that is negative), times distScaling / 255, times size, evaluated in
// that order, at least 1, at most kMaxDofSize, cut toward zero. With a focus range of 0
// the distance is |depth - threshold| itself, bit for bit. A size that is not a number
// (infinite scaling times zero distance) counts as 1.
inline int dofKernelSize(std::uint8_t depth, double threshold, int focusRange, double distScaling,
                         int size) {
    double distance = std::fabs(depth - threshold) - focusRange;
    if (distance < 0) distance = 0;
    double t = distance * (distScaling * kByteScale) * size;
    if (std::isnan(t) || t < 1.0) t = 1.0;
    if (t > kMaxDofSize) t = kMaxDofSize;
    return static_cast<int>(t);
}

// The same for the settings of `dof`, its focus range held to its limits.
inline int dofKernelSize(std::uint8_t depth, const DofSettings& dof, int size) {
    return dofKernelSize(depth, dof.threshold, DofSettings::kFocusRange.clamp(dof.focusRange),
                         dof.distScaling, size);
}

// How near the camera a pixel of depth `depth` lies, 0 ... 255, with occlusion on.
inline int nearness(std::uint8_t depth, Occlusion occlusion) {
    return occlusion == Occlusion::DarkNear ? 255 - depth : depth;
}

// Whether a source of nearness `source` paints a target of nearness `target`: only when the
// target lies at most `tolerance` nearer.
inline bool mayPaint(int target, int source, int tolerance) {
    return target <= source + tolerance;
}

// One stroke on one channel of one target pixel: the painted value e moves the fraction d
// of the way towards k x h, the source's intensity through the kernel; only when that
// raises it does the cover move the fraction d towards h. Arithmetic is in double, the
// planes store floats.
inline void stroke(float& paint, float& cover, double k, double h, double d) {
    const double e = paint;
    const double i = (1 - d) * e + d * (k * h);
    if (i > e) {
        paint = static_cast<float>(i);
        cover = static_cast<float>((1 - d) * cover + d * h);
    }
}

// A value limited to 0 ... 255 and cut toward zero. Anything that is not a number
// becomes 0, and anything too large for an integer 255. (Written without branches, so
// that loops over many values become vector code.)
inline std::uint8_t toByte(double v) {
    const double cut = v > 0.0 ? v : 0.0;
    return cut >= 255.0 ? std::uint8_t{255} : static_cast<std::uint8_t>(static_cast<int>(cut));
}

// x raised to p. x ^ 1 is x exactly (the result is representable), so the common gamma
// of 1 skips the power function without changing a single byte.
inline double raise(double x, double p) {
    return p == 1.0 ? x : std::pow(x, p);
}

// The finishing step for one channel of one pixel whose paint and cover are already
// raised to 1 / gamma: the cover limited to 0 ... 1 (1 without blending), and the painting
// laid over the source weighted by what the painting leaves uncovered.
inline std::uint8_t finishRaised(double paint, double cover, std::uint8_t source, bool blend) {
    double a = cover > 1.0 ? 1.0 : cover;
    a = a >= 0.0 ? a : 0.0;  // below zero, or no real result
    if (!blend) a = 1.0;
    const double v = paint * 255.0 + source * (1 - a);
    return toByte(v);
}

// The finishing step for one channel of one pixel: paint and cover raised to 1 / gamma,
// then finishRaised.
inline std::uint8_t finishChannel(float paint, float cover, std::uint8_t source,
                                  double inverseGamma, bool blend) {
    return finishRaised(raise(paint, inverseGamma), blend ? raise(cover, inverseGamma) : 1.0,
                        source, blend);
}

}  // namespace defocus_math
