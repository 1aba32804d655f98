#include "cli/progress_bar.h"

#include <cstdio>

namespace {

constexpr int kBarWidth = 30;
// Redrawing more often than this only costs time; a change of the per cent always shows.
constexpr auto kRedrawInterval = std::chrono::milliseconds(200);

std::string clockText(std::chrono::milliseconds time) {
    const long long seconds = time.count() / 1000;
    char text[32];
    if (seconds >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60,
                      seconds % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", seconds / 60, seconds % 60);
    return text;
}

}  // namespace

ProgressBar::ProgressBar(std::FILE* terminal) : terminal_(terminal) {}

ProgressBar::~ProgressBar() {
    // A render that ended early (an error) leaves the cursor on a fresh line.
    if (drawn_ && !finished_) std::fputc('\n', terminal_);
}

std::string ProgressBar::line(long long done, long long total, std::chrono::milliseconds elapsed) {
    const double fraction =
        total > 0 ? static_cast<double>(done) / static_cast<double>(total) : 1.0;
    const int filled = static_cast<int>(fraction * kBarWidth);
    std::string text = "[";
    text.append(filled, '#');
    text.append(kBarWidth - filled, '-');
    char percent[16];
    std::snprintf(percent, sizeof percent, "] %3d%%", static_cast<int>(fraction * 100));
    text += percent;
    text += "  elapsed " + clockText(elapsed);
    text += "  remaining ";
    if (done > 0) {
        const auto left = std::chrono::milliseconds(
            static_cast<long long>(static_cast<double>(elapsed.count()) *
                                   static_cast<double>(total - done) / static_cast<double>(done)));
        text += clockText(left);
    } else {
        text += "?";
    }
    return text;
}

void ProgressBar::Notify(int row, int rows) {
    if (rows <= 0) return;
    total_ = rows;
    draw(row + 1LL, rows, row + 1 == rows);
}

void ProgressBar::Done() {
    if (finished_) return;
    draw(total_, total_, true);
    std::fputc('\n', terminal_);
    std::fflush(terminal_);
    finished_ = true;
}

void ProgressBar::draw(long long done, long long total, bool force) {
    const auto now = Clock::now();
    const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
    if (!force && percent == lastPercent_ && now - lastDrawn_ < kRedrawInterval) return;
    lastPercent_ = percent;
    lastDrawn_ = now;
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - start_);
    // Back to the start of the line, draw, and erase what a longer earlier line left.
    std::fprintf(terminal_, "\r%s\x1b[K", line(done, total, elapsed).c_str());
    std::fflush(terminal_);
    drawn_ = true;
}
