// The memory of the reader's entries (attributes and text entries), kept apart from the reader so
// that the compiler sees the class's own operator new and delete as the pair they are.
#include <cstddef>
#include <new>
#include <utility>

#include "common/xml_reader.h"
#include "platform/kept_memory.h"

namespace {

// The store behind CMvnXmlNamedText's memory: blocks of its exact size, at most kKeptBlocks of them
// per thread, given back to the heap when the thread ends.
#if defined(KESTREL_KEEP_MEMORY)
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
#if defined(KESTREL_KEEP_MEMORY)
  if (size == sizeof(CMvnXmlNamedText)) {
    if (void* block = Blocks().Take()) return block;
  }
#endif
  return ::operator new(size);
}

void CMvnXmlNamedText::operator delete(void* block, std::size_t size) {
  if (block == nullptr) return;
#if defined(KESTREL_KEEP_MEMORY)
  if (size == sizeof(CMvnXmlNamedText) && Blocks().Keep(block)) return;
#else
  (void)size;
#endif
  ::operator delete(block);
}
