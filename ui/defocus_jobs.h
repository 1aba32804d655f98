// The jobs the worker renders, made from the settings window's parameters at the moment
// of use.
#pragma once

#include <memory>

#include "ui/render_worker.h"

class TForm2;

// A job that renders `image` with the settings' parameters and a copy of their diaphragm,
// and with depth of field when `depthMask` (covering the image) is given. Throws
// std::bad_alloc when the diaphragm cannot be copied.
RenderJob renderJobOf(const TForm2& settings, std::unique_ptr<dib24> image,
                      std::unique_ptr<dib24> depthMask);
