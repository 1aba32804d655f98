// bokavo-render: defocuses a bitmap file from the command line.
#include "cli/options.h"
#include "cli/render_command.h"

int main(int argc, char** argv) {
    RenderOptions options;
    if (const auto exitNow = parseCommandLine(argc, argv, options)) return *exitNow;
    return runRender(options);
}
