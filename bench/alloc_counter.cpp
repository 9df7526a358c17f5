#include "bench/alloc_counter.h"

#include <cstddef>

namespace {

// Per thread and plain: an atomic add on every allocation would slow the load being measured (by
// some microseconds a load) more than the floor beside it, which allocates less.
thread_local uint64_t t_blocks = 0;
thread_local uint64_t t_bytes = 0;

inline void Count(std::size_t bytes) {
  ++t_blocks;
  t_bytes += bytes;
}

}  // namespace

namespace kestrel::bench {

AllocationCount Allocations() {
  return {t_blocks, t_bytes};
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
