// The straightforward defocus renderer: every source pixel painted through its kernel
// into two full-size float planes, then one finishing pass. It is kept as the reference
// whose bytes any faster renderer must reproduce exactly.
#pragma once

#include "defocus/defocus.h"
#include "defocus/maskman.h"

namespace reference {

// Defocuses `image` in place; the arguments are those of ::DefocusImage. The notifier,
// when given, is told of each row r after it, then of the end.
//
// Failures leave the image unchanged: std::bad_alloc when the planes cannot be allocated,
// MissingKernel when `masks` yields no kernel for a size the image needs, and
// std::invalid_argument when a depth mask is missing or smaller than the image.
void DefocusImage(dib24& image, MaskMan& masks, double density, double gamma, int size, int blend,
                  const DofSettings* dof, Notifyer* notifier);

}  // namespace reference
