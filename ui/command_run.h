// A render that a command waits for while the windows go on: the controls that would
// change the picture, the settings or the files are greyed, the progress texts are shown
// in the status bar as they come, and Esc stops it.
#pragma once

#include <QObject>
#include <functional>
#include <vector>

#include "ui/render_worker.h"

class QStatusBar;

class CommandRun {
public:
    // Told when a run starts (true) and when it is over (false).
    std::function<void(bool running)> onRunning;

    // Renders `job` on the worker and returns when it is over; meanwhile the windows take
    // events (they repaint, scroll and zoom), every one of `controls` (actions and
    // widgets) is greyed and then gets back the state it had, each progress text is
    // painted in `statusBar` at once, and Esc in any of the program's windows stops the
    // run.
    RenderResult run(RenderJob job, const std::vector<QObject*>& controls, QStatusBar* statusBar);
    bool running() const { return worker_.running(); }
    // Ends the run at once: it returns as stopped. Nothing happens while none runs.
    void stop() { worker_.stop(); }

private:
    RenderWorker worker_;
};
