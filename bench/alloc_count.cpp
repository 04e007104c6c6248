#include "bench/alloc_count.h"

#include <atomic>
#include <cstddef>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void __libc_free(void* block);
}

namespace {
std::atomic<std::uint64_t> gAllocations{0};
}

extern "C" {

void* malloc(std::size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(count, size);
}

void* realloc(void* block, std::size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(block, size);
}

void free(void* block) { __libc_free(block); }

}  // extern "C"

namespace tallyroot::bench {

std::uint64_t AllocationCount() { return gAllocations.load(std::memory_order_relaxed); }

}  // namespace tallyroot::bench
