#include "tests/failing_allocator.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

// The replacements below hand out malloc memory for new and take it back with free, which
// GCC flags wherever it inlines one against the other.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
std::atomic<long> allocationsLeft{-1};
std::atomic<std::size_t> failingSize{SIZE_MAX};
}  // namespace

namespace failing_allocator {

void failAfter(long count) {
    allocationsLeft = count;
}
void failFrom(std::size_t bytes) {
    failingSize = bytes;
}
void disarm() {
    allocationsLeft = -1;
    failingSize = SIZE_MAX;
}

}  // namespace failing_allocator

void* operator new(std::size_t size) {
    if (size >= failingSize.load()) throw std::bad_alloc();
    long left = allocationsLeft.load();
    while (left >= 0) {
        if (left == 0) throw std::bad_alloc();
        if (allocationsLeft.compare_exchange_weak(left, left - 1)) break;
    }
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
