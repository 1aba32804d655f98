// A progress bar on a terminal, driven by the renderer's progress.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

#include "defocus/defocus.h"

class ProgressBar final : public Notifyer {
public:
    // Draws on `terminal` (standard error), which the caller has found to be a terminal.
    explicit ProgressBar(std::FILE* terminal);
    ~ProgressBar();

    void Notify(int row, int rows) override;
    void Done() override;

    // The line drawn for `done` of `total` rows after `elapsed`, without the leading
    // carriage return: a bar, the per cent done, the time so far and an estimate of the
    // time left.
    static std::string line(long long done, long long total, std::chrono::milliseconds elapsed);

private:
    void draw(long long done, long long total, bool force);

    using Clock = std::chrono::steady_clock;
    std::FILE* terminal_;
    Clock::time_point start_ = Clock::now();
    Clock::time_point lastDrawn_{};
    int lastPercent_ = -1;
    long long total_ = 0;
    bool drawn_ = false;     // something is on the line
    bool finished_ = false;  // the final line has been drawn and ended
};
