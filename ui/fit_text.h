// Fitting a window laid out at fixed pixel positions to the desktop's font. The layout was
// drawn for a small font; in a wider or taller one a caption would be cut off. Each control
// that needs more room grows just enough, the controls beside or below it move along, and
// the containers (group boxes and the window) grow with them, so the arrangement stays:
// rows stay rows, columns that shared an edge still share it, and a layout that already
// fits keeps every position and size.
#pragma once

class QWidget;

// Fits every control of `window` (group boxes included, innermost first) and then the
// window itself, whose size becomes fixed. Labels take exactly their text's size.
void growToFitText(QWidget* window);
