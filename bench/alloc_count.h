// Counts the heap allocations of the whole process (malloc, calloc, realloc
// and, through them, operator new and Qt's containers) by replacing the
// allocator's entry points in the executable that links alloc_count.cpp.
// Link it only into benchmarks: it hides allocations from heaptrack and
// sanitizers.
#pragma once

#include <cstdint>

namespace tallyroot::bench {

std::uint64_t AllocationCount();

}  // namespace tallyroot::bench
