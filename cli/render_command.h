// What bokavo-render does once its command line is read.
#pragma once

#include "cli/options.h"

// Loads the image, the diaphragm and the depth mask, renders, and writes the result.
// Returns the exit status; every failure has been reported on standard error in one line
// that names the file and the reason.
int runRender(const RenderOptions& options);
