// Whether this build keeps memory of one load per thread for the next: not where the sanitizers
// must see every block's life, and not on Windows, where a thread's storage with a destructor is
// not reliable in a DLL.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KESTREL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KESTREL_SANITIZED 1
#endif
#endif

#if defined(__linux__) && !defined(KESTREL_SANITIZED)
#define KESTREL_KEEP_MEMORY 1
#endif
