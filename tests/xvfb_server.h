// A private X server for the tests that need a real X11 display.
#pragma once

#include <sys/types.h>

namespace gui_support {

// Starts Xvfb on a display number it picks itself and makes it this program's display
// (DISPLAY). The server ends with this program, even when it crashes. -1 when it cannot
// be started.
pid_t startXvfb();

// Ends the server and waits for it.
void stopXvfb(pid_t server);

}  // namespace gui_support
