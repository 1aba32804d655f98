// A private X server for the tests that need a real X11 display.
#pragma once

#include <functional>

namespace gui_support {

// Starts Xvfb on a display number it picks itself, makes it this program's display
// (DISPLAY), runs `tests` and returns what they return. The server ends with the tests, or
// with this program if it crashes. When no server can be started, says so on stderr
// (naming `what`) and returns 1.
int runOnXvfb(const char* what, const std::function<int()>& tests);

}  // namespace gui_support
