#include "cli/render_command.h"

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <utility>

#include "cli/progress_bar.h"
#include "support/default_diaphragm.h"
#include "defocus/defocus.h"
#include "defocus/maskman.h"
#include "image/dib24.h"
#include "pictures/picture_file.h"
#include "image/save_file.h"

namespace {

int fail(const std::string& message) {
    std::fprintf(stderr, "bokavo-render: %s\n", message.c_str());
    return kExitFileError;
}

std::string sizeText(const dib24& image) {
    return std::to_string(image.width) + " x " + std::to_string(image.height);
}

// A depth mask of another size than the image, resized to it (--fit-zmask).
std::unique_ptr<dib24> fitDepthMask(const dib24& mask, const dib24& image, const std::string& name,
                                    std::string& message) {
    auto fitted = mask.resized(image.width, image.height);
    if (!fitted) message = "cannot resize depth mask " + name + ": out of memory";
    return fitted;
}

// The depth map that INPUT carries, turned with it and resized to it.
std::unique_ptr<dib24> loadEmbeddedDepth(const RenderOptions& options, const dib24& image,
                                         std::string& message) {
    PhotoDepth depth = readPhotoDepth(options.input);
    switch (depth.status) {
        case PhotoDepth::Status::None:
            message = options.input + " carries no depth map";
            return nullptr;
        case PhotoDepth::Status::Unusable:
            message = "cannot use the depth map of " + options.input + ": " + depth.why;
            return nullptr;
        case PhotoDepth::Status::Read:
            break;
    }
    if (depth.mask->width == image.width && depth.mask->height == image.height)
        return std::move(depth.mask);
    return fitDepthMask(*depth.mask, image, "of " + options.input, message);
}

// The depth mask at the image's size: as read, or resized when that is asked for.
std::unique_ptr<dib24> loadDepthMask(const RenderOptions& options, const dib24& image,
                                     std::string& message) {
    if (options.embeddedDepth) return loadEmbeddedDepth(options, image, message);
    std::string why;
    auto mask = readPicture(options.zmask, &why);
    if (!mask) {
        message = "cannot read depth mask " + options.zmask + ": " + why;
        return nullptr;
    }
    if (mask->width == image.width && mask->height == image.height) return mask;
    if (!options.fitZmask) {
        message = "depth mask " + options.zmask + " is " + sizeText(*mask) + " pixels, the image " +
                  sizeText(image) + " (--fit-zmask resizes the mask to the image)";
        return nullptr;
    }
    return fitDepthMask(*mask, image, options.zmask, message);
}

}  // namespace

int runRender(const RenderOptions& options) {
    try {
        std::string why;
        PictureMetadata metadata;
        auto image = readPicture(options.input, &why, &metadata);
        if (!image) return fail("cannot read image " + options.input + ": " + why);

        MaskMan masks;
        if (!options.diaphragm.empty()) {
            std::unique_ptr<dib24> shape = readPicture(options.diaphragm, &why);
            if (!shape || !masks.Install(std::move(shape), &why))
                return fail("cannot read diaphragm " + options.diaphragm + ": " + why);
        } else if (!loadDefaultDiaphragm(masks, &why)) {
            return fail("cannot load the default diaphragm lmask.bmp: " + why);
        }

        std::unique_ptr<dib24> depthMask;
        DofSettings dof = options.dof;
        if (!options.zmask.empty() || options.embeddedDepth) {
            depthMask = loadDepthMask(options, *image, why);
            if (!depthMask) return fail(why);
            if (!options.saveDepth.empty()) {
                const SaveSignalGuard undoOnSignal;
                if (!writeGreyPicture(*depthMask, options.saveDepth, options.quality, &why))
                    return fail(why);
            }
            dof.depthMask = depthMask.get();
        }

        std::unique_ptr<ProgressBar> progress;
        if (!options.quiet && isatty(STDERR_FILENO))
            progress = std::make_unique<ProgressBar>(stderr);

        DefocusImage(*image, masks, options.density, options.gamma, masks.shape->width,
                     options.blend ? 1 : 0, depthMask ? &dof : nullptr, progress.get(),
                     options.threads);
        progress.reset();

        // Ctrl+C, a hang-up or a termination request while the result is written removes
        // the temporary file (or puts the old bytes back) before the program ends.
        const SaveSignalGuard undoOnSignal;
        // The camera's metadata goes on into every format but bitmaps.
        if (!writePicture(*image, options.output, &metadata, options.quality, &why))
            return fail(why);
        return kExitSuccess;
    } catch (const std::bad_alloc&) {
        return fail("not enough memory to defocus " + options.input);
    } catch (const MissingKernel& error) {
        return fail("cannot defocus " + options.input + ": " + error.what());
    } catch (const std::system_error& error) {
        return fail("cannot defocus " + options.input + ": " + error.what());
    }
}
