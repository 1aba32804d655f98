// The defocus renderer: paints every pixel of an image through the diaphragm, scaled to
// that pixel's blur size, and finishes with inverse gamma and blending, in place.
#pragma once

#include <bitset>
#include <cstdint>
#include <exception>
#include <limits>
#include <stop_token>

class dib24;
class MaskMan;

// One number the renderer takes: its value by default, and the range the renderer holds
// it to (a value outside counts as the nearer end). The command line and the settings
// window take their defaults and limits from here.
template <class T>
struct Parameter {
    T initial, least, most;
    constexpr T clamp(T value) const { return value < least ? least : most < value ? most : value; }
};

inline constexpr double kUnbounded = std::numeric_limits<double>::infinity();

// DefocusImage's paint density and gamma.
inline constexpr Parameter<double> kPaintDensity{0.1, 0.0, kUnbounded};
inline constexpr Parameter<double> kGammaScaling{1.0, 1e-8, kUnbounded};

// Which end of the depth scale lies near the camera, when near pixels hide what lies
// behind them.
enum class Occlusion {
    Off,         // every source paints every target its kernel reaches
    BrightNear,  // a pixel's nearness is its depth byte
    DarkNear,    // a pixel's nearness is 255 minus its depth byte
};

// Depth of field: each source pixel's kernel size follows the distance of its depth
// (the blue byte of depthMask at the same place) from the depth in focus.
struct DofSettings {
    const dib24* depthMask = nullptr;  // at least the image's size; not owned
    // The depth in focus.
    static constexpr Parameter<double> kThreshold{0.0, -kUnbounded, kUnbounded};
    double threshold = kThreshold.initial;
    // Blur growth with depth distance.
    static constexpr Parameter<double> kDistScaling{2.0, -kUnbounded, kUnbounded};
    double distScaling = kDistScaling.initial;
    // Depths within this distance of the threshold are all in focus; the size grows with
    // the distance beyond it.
    static constexpr Parameter<int> kFocusRange{0, 0, 255};
    int focusRange = kFocusRange.initial;
    // With occlusion on, a source paints a target only when the target is at most
    // occlusionTolerance nearer than the source, so that blurred far pixels no longer
    // spread over nearer ones. A source always paints itself, and a tolerance of 255 lets
    // every source paint everywhere.
    Occlusion occlusion = Occlusion::Off;
    static constexpr Parameter<int> kOcclusionTolerance{16, 0, 255};
    int occlusionTolerance = kOcclusionTolerance.initial;
};

// Receives a run's progress, on the thread that called the renderer.
class Notifyer {
public:
    // Rows 0 ... `row` of the image's `rows` are painted.
    virtual void Notify(int row, int rows) = 0;
    // The run has finished.
    virtual void Done() = 0;

protected:
    ~Notifyer() = default;
};

// Thrown by a run whose stop was requested; the image is unchanged.
class DefocusStopped : public std::exception {
public:
    const char* what() const noexcept override { return "the defocus was stopped"; }
};

// Defocuses `image` in place. Density, gamma and the depth of field settings are held to
// their limits above; `size` is the kernel size for every pixel, or the factor of the
// size formula with depth of field; blend non-zero lays the painting over the source. The
// notifier, when given, is told of every row r of H in order, then of the end, on the
// calling thread. `threads` 0 uses every hardware thread. Once `stop` is requested
// every thread ends after the row it paints, and the call throws DefocusStopped.
//
// Failures leave the image unchanged: std::bad_alloc when memory runs out,
// MissingKernel (defocus/maskman.h) when no kernel can be had.
void DefocusImage(dib24& image, MaskMan& masks, double density, double gamma, int size, int blend,
                  const DofSettings* dof, Notifyer* notifier, unsigned threads = 0,
                  std::stop_token stop = {});

// The depths (0 ... 255) whose pixels paint with a 1 x 1 kernel, that is stay sharp, with
// the threshold, focus range and distance scaling of `dof` and the factor `size` (the
// diaphragm's width); the depth mask is not read.
std::bitset<256> depthsInFocus(const DofSettings& dof, int size);

// The kernel side that a pixel of depth `depth` paints with, with the settings of `dof`
// and the factor `size`; the depth mask is not read.
int dofKernelSize(std::uint8_t depth, const DofSettings& dof, int size);
