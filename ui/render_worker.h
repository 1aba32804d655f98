// Defocus on a thread of its own, so that the windows go on while it runs. The thread reads
// only what its job owns; its progress and its result come back to the window's thread as
// queued calls.
#pragma once

#include <QObject>
#include <exception>
#include <functional>
#include <memory>
#include <stop_token>
#include <thread>
#include <vector>

#include "defocus/defocus.h"
#include "image/dib24.h"

// Everything one render reads, owned by it.
struct RenderJob {
    std::unique_ptr<dib24> image;      // rendered in place
    std::unique_ptr<dib24> shape;      // the diaphragm's shape, scaled for the kernels
    // Covers the image; null without depth of field. Read only, so renders may share it.
    std::shared_ptr<const dib24> depthMask;
    // When given, gives the depth mask on the worker before the render, from what it owns.
    std::function<std::shared_ptr<const dib24>()> makeDepthMask;
    double density = 0.0;
    double gamma = 1.0;
    int size = 1;  // the renderer's size argument
    int blend = 1;
    DofSettings dof;  // read with depth of field; its mask is the job's own
    bool reportProgress = false;
};

struct RenderResult {
    std::unique_ptr<dib24> image;  // the rendered image; null when stopped or failed
    bool stopped = false;
    std::exception_ptr failure;  // what the renderer threw, other than a stop
};

class RenderWorker : public QObject {
public:
    // Called on the window's thread, for the newest job only. The notifier is not owned.
    Notifyer* progress = nullptr;
    std::function<void(RenderResult result)> onFinished;

    // Stops every run and waits for its thread.
    ~RenderWorker() override;

    // Starts `job` on a new thread. A run still going is stopped and abandoned: nothing of
    // it is reported any more, and its thread ends after the row it paints.
    void start(RenderJob job);
    // Abandons the newest run as well: it reports at once as stopped, and its thread ends
    // after the row it paints.
    void stop();
    bool running() const { return running_; }

private:
    struct Mailbox;
    struct Run {
        std::jthread thread;
        unsigned generation;
        std::shared_ptr<Mailbox> mail;
    };
    // On the worker thread: reads the job alone, and posts its progress and result.
    void work(RenderJob job, unsigned generation, Mailbox& mail, std::stop_token stop);
    // On the window's thread: takes what the run of `generation` posted.
    void collect(unsigned generation);

    std::vector<Run> runs_;    // the newest last; older ones are stopped
    unsigned generation_ = 0;  // of the newest run
    bool running_ = false;     // the newest run has not reported yet
};
