// A replacement operator new for test programs that check what happens when memory runs
// out. Linking failing_allocator.cpp into a test program replaces new and delete for the
// whole program; they behave normally until a test arms one of the failures below.
#pragma once

#include <cstddef>

namespace failing_allocator {

// After `count` more allocations every operator new throws std::bad_alloc; a negative
// count never fails.
void failAfter(long count);

// Every allocation of at least `bytes` throws std::bad_alloc.
void failFrom(std::size_t bytes);

// Back to normal allocation.
void disarm();

}  // namespace failing_allocator
