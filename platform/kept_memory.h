// Memory kept from one load for the next is poisoned while it waits, so that AddressSanitizer
// reports a use after the load that owned it as it would report a use after free. Every build
// keeps the same memory; only a sanitized build checks it.
#pragma once

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#define KESTREL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESTREL_ASAN 1
#endif
#endif

#if defined(KESTREL_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace kestrel::platform {

inline void PoisonKeptMemory(const void* block, std::size_t size) {
#if defined(KESTREL_ASAN)
  if (block != nullptr) ASAN_POISON_MEMORY_REGION(block, size);
#else
  (void)block;
  (void)size;
#endif
}

inline void UnpoisonKeptMemory(const void* block, std::size_t size) {
#if defined(KESTREL_ASAN)
  if (block != nullptr) ASAN_UNPOISON_MEMORY_REGION(block, size);
#else
  (void)block;
  (void)size;
#endif
}

// Whether kept memory is checked in this build (tests that show the check skip themselves where
// it is not).
constexpr bool kKeptMemoryChecked =
#if defined(KESTREL_ASAN)
    true;
#else
    false;
#endif

}  // namespace kestrel::platform
