#include "ui/render_worker.h"

#include <QMetaObject>
#include <algorithm>
#include <stop_token>
#include <utility>

#include "defocus/maskman.h"

namespace {

// Hands each progress text to the window's thread, where `deliver` shows it.
class PostingNotifyer : public Notifyer {
public:
    PostingNotifyer(QObject* receiver, std::function<void(QString)> deliver)
        : receiver_(receiver), deliver_(std::move(deliver)) {}
    void Notify(const char* text) override {
        QMetaObject::invokeMethod(
            receiver_, [deliver = deliver_, text = QString::fromUtf8(text)] { deliver(text); },
            Qt::QueuedConnection);
    }

private:
    QObject* receiver_;
    std::function<void(QString)> deliver_;
};

// Runs on the worker thread and touches nothing but the job.
RenderResult render(RenderJob& job, Notifyer* notifier, std::stop_token stop) {
    RenderResult result;
    try {
        MaskMan masks;
        masks.Install(std::move(job.shape));
        DofSettings dof = job.dof;
        dof.depthMask = job.depthMask.get();
        DefocusImage(*job.image, masks, job.density, job.gamma, job.size, job.blend,
                     job.depthMask ? &dof : nullptr, notifier, 0, std::move(stop));
        result.image = std::move(job.image);
    } catch (const DefocusStopped&) {
        result.stopped = true;
    } catch (...) {
        result.failure = std::current_exception();
    }
    return result;
}

}  // namespace

RenderWorker::~RenderWorker() {
    for (Run& run : runs_) run.thread.request_stop();
    runs_.clear();  // joins
}

void RenderWorker::start(RenderJob job) {
    if (running_) runs_.back().thread.request_stop();
    const unsigned generation = ++generation_;
    running_ = true;
    runs_.push_back({std::jthread(
                         [this, generation](std::stop_token stop, RenderJob job) {
                             work(std::move(job), generation, std::move(stop));
                         },
                         std::move(job)),
                     generation});
}

void RenderWorker::work(RenderJob job, unsigned generation, std::stop_token stop) {
    PostingNotifyer notifyer(this, [this, generation](const QString& text) {
        if (generation == generation_ && running_ && onProgress) onProgress(text);
    });
    // Queued calls take copyable functions, so the result travels in a shared pointer.
    auto result = std::make_shared<RenderResult>(
        render(job, job.reportProgress ? &notifyer : nullptr, std::move(stop)));
    job = RenderJob();  // its memory goes before the report
    QMetaObject::invokeMethod(
        this, [this, generation, result] { finish(generation, std::move(*result)); },
        Qt::QueuedConnection);
}

void RenderWorker::stop() {
    if (!running_) return;
    runs_.back().thread.request_stop();
    running_ = false;
    RenderResult stopped;
    stopped.stopped = true;
    if (onFinished) onFinished(std::move(stopped));
}

void RenderWorker::finish(unsigned generation, RenderResult result) {
    // The run's last act was to send this, so its thread ends at once.
    const auto run = std::find_if(runs_.begin(), runs_.end(), [generation](const Run& r) {
        return r.generation == generation;
    });
    if (run != runs_.end()) runs_.erase(run);
    if (generation != generation_ || !running_) return;
    running_ = false;
    if (onFinished) onFinished(std::move(result));
}
