#include "ui/defocus_jobs.h"

#include <new>
#include <utility>

#include "ui/Unit2.h"

RenderJob renderJobOf(const TForm2& settings, std::unique_ptr<dib24> image,
                      std::unique_ptr<dib24> depthMask) {
    RenderJob job;
    const dib24& shape = *settings.diaphragms.shape;
    job.shape = shape.cropped(shape.width, shape.height, 0, 0);
    if (!job.shape->bits) throw std::bad_alloc();
    const BaseParameters base = settings.readBaseParameters();
    job.density = base.density;
    job.gamma = base.gamma;
    job.blend = base.blend;
    job.size = shape.width;
    if (depthMask) job.dof = settings.readDofSettings(depthMask.get());
    job.image = std::move(image);
    job.depthMask = std::move(depthMask);
    return job;
}
