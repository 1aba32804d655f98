// The command line of bokavo-render.
#pragma once

#include <optional>
#include <string>

#include "defocus/defocus.h"

struct RenderOptions {
    std::string input;      // the picture to defocus
    std::string output;     // where the result goes; its extension names the format
    std::string diaphragm;  // the aperture picture; empty: the default diaphragm
    double density = kPaintDensity.initial;
    double gamma = kGammaScaling.initial;
    bool blend = true;
    std::string zmask;  // the depth mask; empty: no depth of field
    DofSettings dof;    // with a depth mask only; without its mask, which is read later
    bool fitZmask = false;
    bool embeddedDepth = false;  // INPUT's own depth map is the depth mask
    std::string saveDepth;       // where the depth mask in use is written; empty: nowhere
    bool quiet = false;
    unsigned threads = 0;  // 0: every hardware thread
    int quality = 95;      // of JPEG and WebP output, 1 ... 100
};

// Exit statuses of the command.
constexpr int kExitSuccess = 0;
constexpr int kExitFileError = 1;
constexpr int kExitUsage = 2;

// Reads the arguments into `options`. Returns an exit status when the program ends at
// once: 0 after --help or --version (printed on standard output), kExitUsage after a
// usage error (explained on standard error). Returns nothing when rendering goes ahead.
std::optional<int> parseCommandLine(int argc, const char* const* argv, RenderOptions& options);
