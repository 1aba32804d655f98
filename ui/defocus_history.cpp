#include "ui/defocus_history.h"

#include <utility>

void DefocusHistory::recordDefocus(std::unique_ptr<dib24> before) {
    redo_.clear();
    undo_.push_back(std::move(before));
    while (undo_.size() > 1 && keptBytes() > limit_) undo_.erase(undo_.begin());
}

bool DefocusHistory::undo(dib24& picture) {
    if (undo_.empty()) return false;
    // Moved first, so that nothing has changed if making room in the list fails.
    redo_.push_back(std::move(undo_.back()));
    undo_.pop_back();
    picture.swap(*redo_.back());
    return true;
}

bool DefocusHistory::redo(dib24& picture) {
    if (redo_.empty()) return false;
    undo_.push_back(std::move(redo_.back()));
    redo_.pop_back();
    picture.swap(*undo_.back());
    return true;
}

void DefocusHistory::clear() {
    undo_.clear();
    redo_.clear();
}

std::size_t DefocusHistory::keptBytes() const {
    std::size_t total = 0;
    for (const auto& step : undo_) total += step->pixelBytes();
    for (const auto& step : redo_) total += step->pixelBytes();
    return total;
}
