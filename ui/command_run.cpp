#include "ui/command_run.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QKeySequence>
#include <QPointer>
#include <QShortcut>
#include <QStatusBar>
#include <optional>
#include <utility>

#include "ui/Unit1.h"

RenderResult CommandRun::run(RenderJob job, const std::vector<QObject*>& controls,
                             QStatusBar* statusBar) {
    std::vector<std::pair<QPointer<QObject>, bool>> greyed;
    for (QObject* control : controls) {
        greyed.emplace_back(control, control->property("enabled").toBool());
        control->setProperty("enabled", false);
    }
    // Esc means stop only while a run goes on; otherwise the windows' controls have it.
    QShortcut escape(QKeySequence(Qt::Key_Escape), statusBar->window());
    escape.setContext(Qt::ApplicationShortcut);
    QObject::connect(&escape, &QShortcut::activated, [this] { stop(); });

    std::optional<RenderResult> outcome;
    SBNotifyer notifyer(statusBar);
    worker_.progress = &notifyer;
    worker_.onFinished = [&](RenderResult result) { outcome = std::move(result); };
    if (onRunning) onRunning(true);
    worker_.start(std::move(job));
    // Events are handled as they come until the run reports. (A nested QEventLoop would
    // not run at all once the application has been told to quit.)
    while (!outcome) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    worker_.progress = nullptr;
    worker_.onFinished = nullptr;
    for (const auto& [control, enabled] : greyed)
        if (control) control->setProperty("enabled", enabled);
    if (onRunning) onRunning(false);
    return std::move(*outcome);
}
