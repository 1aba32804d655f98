#include "defocus/reference_defocus.h"

#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <vector>

#include "defocus/defocus_math.h"
#include "image/dib24.h"

namespace reference {
namespace {

// One value per pixel and channel, rows without padding: channel c of pixel (r, x) is at
// (r * W + x) * 3 + c. Created filled with 0.
using Plane = std::vector<float>;

Plane makePlane(const dib24& image) {
    const std::size_t width = static_cast<std::size_t>(image.width);
    const std::size_t height = static_cast<std::size_t>(image.height);
    // W x H x 3 floats must be addressable; a larger request is an exhausted memory.
    const std::size_t maxValues = static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(float);
    if (width != 0 && height > maxValues / 3 / width) throw std::bad_alloc();
    return Plane(width * height * 3, 0.0f);
}

std::size_t planeIndex(const dib24& image, std::int64_t r, std::int64_t x) {
    return static_cast<std::size_t>((r * image.width + x) * 3);
}

const dib24& kernelOf(MaskMan& masks, int size) {
    const dib24* kernel = masks.GetMask(size);
    if (!kernel) throw MissingKernel(size);
    return *kernel;
}

// Paints the source pixel at storage row r, column x onto its neighbourhood; with
// occlusion, only onto the targets that do not lie too far in front of it. `fixedKernel`
// is the kernel for every pixel without depth of field, null with it.
void PaintPixel(const dib24& image, MaskMan& masks, Plane& paint, const DofSettings* dof,
                const dib24* fixedKernel, int size, double gamma, Plane& cover, double density,
                std::int64_t r, std::int64_t x) {
    const std::uint8_t* source = image.bits + r * image.stride + 3 * x;
    double k[3];
    for (int c = 0; c < 3; ++c) k[c] = defocus_math::sourcePower(source[c], gamma);

    const dib24* kernel = fixedKernel;
    // With occlusion, the depth mask decides which targets this source may paint.
    const dib24* occluder = nullptr;
    int sourceNearness = 0, tolerance = 0;
    if (dof) {
        const dib24& mask = *dof->depthMask;
        const std::uint8_t depth = mask.bits[r * mask.stride + 3 * x];  // blue byte
        kernel = &kernelOf(masks, defocus_math::dofKernelSize(depth, *dof, size));
        if (dof->occlusion != Occlusion::Off) {
            occluder = &mask;
            sourceNearness = defocus_math::nearness(depth, dof->occlusion);
            tolerance = DofSettings::kOcclusionTolerance.clamp(dof->occlusionTolerance);
        }
    }

    const std::int64_t kw = kernel->width;
    const std::int64_t kh = kernel->height;
    const std::int64_t hw = kw / 2;
    const std::int64_t hh = kh / 2;
    for (std::int64_t kr = 0; kr < kh; ++kr) {
        const std::int64_t tr = r + kr - hh;
        if (tr < 0 || tr >= image.height) continue;
        const std::uint8_t* kernelRow = kernel->bits + kr * kernel->stride;
        for (std::int64_t kc = 0; kc < kw; ++kc) {
            const std::int64_t tx = x + kc - hw;
            if (tx < 0 || tx >= image.width) continue;
            if (occluder) {
                const std::uint8_t depth = occluder->bits[tr * occluder->stride + 3 * tx];
                if (!defocus_math::mayPaint(defocus_math::nearness(depth, dof->occlusion),
                                            sourceNearness, tolerance))
                    continue;  // the target lies nearer: hidden from this source
            }
            const std::size_t target = planeIndex(image, tr, tx);
            for (int c = 0; c < 3; ++c) {
                const double h = defocus_math::kernelIntensity(kernelRow[3 * kc + c]);
                defocus_math::stroke(paint[target + c], cover[target + c], k[c], h, density);
            }
        }
    }
}

void checkDepthMask(const dib24& image, const DofSettings& dof) {
    const dib24* mask = dof.depthMask;
    if (!mask || !mask->bits || mask->width < image.width || mask->height < image.height) {
        if (image.width > 0 && image.height > 0)
            throw std::invalid_argument("the depth mask does not cover the image");
    }
}

// Paints every pixel and finishes the image; the planes live only within this call.
void paintAndFinish(dib24& image, MaskMan& masks, double density, double gamma, int size, int blend,
                    const DofSettings* dof, Notifyer* notifier) {
    Plane paint = makePlane(image);
    Plane cover = makePlane(image);
    const double d = kPaintDensity.clamp(density);
    const double g = kGammaScaling.clamp(gamma);
    const std::int64_t width = image.width;
    const std::int64_t height = image.height;

    // Without depth of field every pixel uses the kernel of `size`, asked for once.
    const dib24* fixedKernel = nullptr;
    if (!dof && width > 0 && height > 0) fixedKernel = &kernelOf(masks, size);

    for (std::int64_t r = 0; r < height; ++r) {
        for (std::int64_t x = 0; x < width; ++x)
            PaintPixel(image, masks, paint, dof, fixedKernel, size, g, cover, d, r, x);
        if (notifier) notifier->Notify(static_cast<int>(r), static_cast<int>(height));
    }

    // The image is written only from here on, so every failure above left it unchanged.
    const double inverseGamma = 1 / g;
    for (std::int64_t r = 0; r < height; ++r) {
        std::uint8_t* row = image.bits + r * image.stride;
        for (std::int64_t x = 0; x < width; ++x) {
            const std::size_t i = planeIndex(image, r, x);
            for (int c = 0; c < 3; ++c)
                row[3 * x + c] = defocus_math::finishChannel(
                    paint[i + c], cover[i + c], row[3 * x + c], inverseGamma, blend != 0);
        }
    }
}

}  // namespace

void DefocusImage(dib24& image, MaskMan& masks, double density, double gamma, int size, int blend,
                  const DofSettings* dof, Notifyer* notifier) {
    if (dof) checkDepthMask(image, *dof);
    paintAndFinish(image, masks, density, gamma, size, blend, dof, notifier);
    if (notifier) notifier->Done();
}

}  // namespace reference
