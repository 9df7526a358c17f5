#include "bench/alloc_counter.h"

#include <atomic>
#include <cstddef>

namespace {

std::atomic<uint64_t> g_blocks{0};
std::atomic<uint64_t> g_bytes{0};

inline void Count(std::size_t bytes) {
  g_blocks.fetch_add(1, std::memory_order_relaxed);
  g_bytes.fetch_add(bytes, std::memory_order_relaxed);
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
