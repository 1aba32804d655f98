// Undo and redo of Defocus: the pictures as they were before the last runs, and the
// results that Undo took back, kept within a memory limit.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "image/dib24.h"

class DefocusHistory {
public:
    // Pictures kept for undoing and redoing, together, beyond the one step that is always
    // kept.
    static constexpr std::size_t kDefaultLimit = std::size_t{1} << 30;

    explicit DefocusHistory(std::size_t limit = kDefaultLimit) : limit_(limit) {}

    // A Defocus changed the picture; `before` holds its pixels from before the run. Steps
    // that Redo could have applied are gone, and the oldest steps go while the kept
    // pictures exceed the limit; the newest step always stays.
    void recordDefocus(std::unique_ptr<dib24> before);

    // Exchange `picture`'s pixels with those before the last Defocus that is not undone
    // (Undo) or with the result of the last undone one (Redo). Only the pixels change;
    // `picture` stays the same object. False when there is no such step.
    bool undo(dib24& picture);
    bool redo(dib24& picture);

    // Forgets every step (a new picture came in).
    void clear();

    std::size_t undoSteps() const { return undo_.size(); }
    std::size_t redoSteps() const { return redo_.size(); }
    std::size_t keptBytes() const;

private:
    std::vector<std::unique_ptr<dib24>> undo_;  // oldest first
    std::vector<std::unique_ptr<dib24>> redo_;  // the next one to redo last
    std::size_t limit_;
};
