#include "bench/alloc_counter.h"

#include <atomic>
#include <cstddef>

namespace {

// For the whole process, and without a locked add: one would slow the load being measured (by
// some microseconds a load) more than the floor beside it, which allocates less. Two threads
// allocating at once may lose a count; the load's benchmark allocates on one thread.
std::atomic<uint64_t> g_blocks{0};
std::atomic<uint64_t> g_bytes{0};

inline void Count(std::size_t bytes) {
  g_blocks.store(g_blocks.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  g_bytes.store(g_bytes.load(std::memory_order_relaxed) + bytes, std::memory_order_relaxed);
}

}  // namespace

namespace kestrel::bench {

AllocationCount Allocations() {
  return {g_blocks.load(std::memory_order_relaxed), g_bytes.load(std::memory_order_relaxed)};
}

}  // namespace kestrel::bench

#if defined(__GLIBC__)
// The program's own malloc family takes precedence over the C library's for every library of the
// process (libcurl, libxml2, the C++ runtime's operator new), and forwards to glibc's.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void __libc_free(void* block);

void* malloc(std::size_t size) {
  Count(size);
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
  Count(count * size);
  return __libc_calloc(count, size);
}
void* realloc(void* block, std::size_t size) {
  Count(size);
  return __libc_realloc(block, size);
}
void free(void* block) {
  __libc_free(block);
}
}
#endif
