#include "ui/render_worker.h"

#include <QMetaObject>
#include <algorithm>
#include <mutex>
#include <optional>
#include <stop_token>
#include <utility>

#include "defocus/maskman.h"

namespace {

// Runs on the worker thread and touches nothing but the job.
RenderResult render(RenderJob& job, Notifyer* notifier, std::stop_token stop) {
    RenderResult result;
    try {
        if (job.makeDepthMask) job.depthMask = job.makeDepthMask();
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

// One progress report of a run: row `row` of `rows` painted, or the end.
struct Report {
    int row, rows;
    bool done;
};

// Hands each progress report to `post`.
class PostingNotifyer : public Notifyer {
public:
    explicit PostingNotifyer(std::function<void(Report)> post) : post_(std::move(post)) {}
    void Notify(int row, int rows) override { post_({row, rows, false}); }
    void Done() override { post_({0, 0, true}); }

private:
    std::function<void(Report)> post_;
};

}  // namespace

// What a run hands to the window's thread. It passes under a mutex of its own, which
// orders the hand-over for every reader of the code and for the thread checker; the
// queued call that follows only says that mail came.
struct RenderWorker::Mailbox {
    std::mutex mutex;
    std::vector<Report> reports;
    std::optional<RenderResult> result;
};

RenderWorker::~RenderWorker() {
    for (Run& run : runs_) run.thread.request_stop();
    runs_.clear();  // joins
}

void RenderWorker::start(RenderJob job) {
    if (running_) runs_.back().thread.request_stop();
    const unsigned generation = ++generation_;
    running_ = true;
    auto mail = std::make_shared<Mailbox>();
    runs_.push_back({std::jthread(
                         [this, generation, mail](std::stop_token stop, RenderJob job) {
                             work(std::move(job), generation, *mail, std::move(stop));
                         },
                         std::move(job)),
                     generation, mail});
}

void RenderWorker::work(RenderJob job, unsigned generation, Mailbox& mail, std::stop_token stop) {
    auto post = [this, generation, &mail](auto put) {
        {
            std::lock_guard lock(mail.mutex);
            put();
        }
        QMetaObject::invokeMethod(
            this, [this, generation] { collect(generation); }, Qt::QueuedConnection);
    };
    PostingNotifyer notifyer([&](Report report) { post([&] { mail.reports.push_back(report); }); });
    RenderResult result = render(job, job.reportProgress ? &notifyer : nullptr, std::move(stop));
    job = RenderJob();  // its memory goes before the report
    post([&] { mail.result = std::move(result); });
}

void RenderWorker::stop() {
    if (!running_) return;
    runs_.back().thread.request_stop();
    running_ = false;
    RenderResult stopped;
    stopped.stopped = true;
    if (onFinished) onFinished(std::move(stopped));
}

void RenderWorker::collect(unsigned generation) {
    const auto run = std::find_if(runs_.begin(), runs_.end(), [generation](const Run& r) {
        return r.generation == generation;
    });
    if (run == runs_.end()) return;  // its result came with an earlier call
    std::vector<Report> reports;
    std::optional<RenderResult> result;
    {
        std::lock_guard lock(run->mail->mutex);
        reports.swap(run->mail->reports);
        result.swap(run->mail->result);
    }
    // The run's last act was to post its result, so its thread ends at once.
    if (result) runs_.erase(run);
    const bool current = generation == generation_ && running_;
    if (!current) return;
    for (const Report& report : reports) {
        if (progress) report.done ? progress->Done() : progress->Notify(report.row, report.rows);
        // A handler may have stopped the run.
        if (!running_ || generation != generation_) return;
    }
    if (!result) return;
    running_ = false;
    if (onFinished) onFinished(std::move(*result));
}
