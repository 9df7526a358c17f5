// The memory of the reader's entries (attributes and text entries), kept apart from the reader so
// that the compiler sees the class's own operator new and delete as the pair they are.
#include <cstddef>
#include <new>
#include <utility>

#include "common/xml_reader.h"

namespace {

// The store behind CMvnXmlNamedText's memory: blocks of its exact size, at most kKeptBlocks of them
// per thread, given back to the heap when the thread ends. Left out where the sanitizers must see
// every block's life, and on Windows, where a thread's storage with a destructor is not reliable in
// a DLL.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KESTREL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KESTREL_SANITIZED 1
#endif
#endif
#if defined(__linux__) && !defined(KESTREL_SANITIZED)
#define KESTREL_KEEP_BLOCKS 1
constexpr std::size_t kKeptBlocks = 1024;

class BlockStore {
 public:
  BlockStore() = default;
  BlockStore(const BlockStore&) = delete;
  BlockStore& operator=(const BlockStore&) = delete;
  ~BlockStore() {
    while (head_ != nullptr) ::operator delete(std::exchange(head_, head_->next));
  }

  void* Take() {
    if (head_ == nullptr) return nullptr;
    --count_;
    return std::exchange(head_, head_->next);
  }
  bool Keep(void* block) {
    if (count_ == kKeptBlocks) return false;
    head_ = new (block) Free{head_};
    ++count_;
    return true;
  }

 private:
  struct Free {
    Free* next;
  };
  Free* head_ = nullptr;
  std::size_t count_ = 0;
};

BlockStore& Blocks() {
  thread_local BlockStore store;
  return store;
}
#endif

}  // namespace

void* CMvnXmlNamedText::operator new(std::size_t size) {
#if defined(KESTREL_KEEP_BLOCKS)
  if (size == sizeof(CMvnXmlNamedText)) {
    if (void* block = Blocks().Take()) return block;
  }
#endif
  return ::operator new(size);
}

void CMvnXmlNamedText::operator delete(void* block, std::size_t size) {
  if (block == nullptr) return;
#if defined(KESTREL_KEEP_BLOCKS)
  if (size == sizeof(CMvnXmlNamedText) && Blocks().Keep(block)) return;
#else
  (void)size;
#endif
  ::operator delete(block);
}
