// The memory of the reader's entries (attributes and text entries), kept apart from the reader so
// that the compiler sees the class's own operator new and delete as the pair they are.
#include <cstddef>
#include <new>
#include <utility>

#include "common/xml_reader.h"
#include "platform/kept_memory.h"

namespace kestrel::xml {
namespace {

// Every entry's block starts with the pool it came from (null: the heap), kept aligned for the
// entry behind it.
struct alignas(std::max_align_t) BlockHeader {
  EntryPool* pool;
};
constexpr std::size_t kEntryBytes = sizeof(BlockHeader) + sizeof(CMvnXmlNamedText);
// A pool keeps at most this many blocks (56 KB; a 3W's document takes about 40 at once): a huge
// document's entries go back to the heap.
constexpr std::size_t kKeptBlocks = 256;

void* Place(void* block, EntryPool* pool) {
  auto* header = static_cast<BlockHeader*>(block);
  header->pool = pool;
  return header + 1;
}

}  // namespace

EntryPool::~EntryPool() {
  while (head_ != nullptr) {
    platform::UnpoisonKeptMemory(head_, kEntryBytes);
    ::operator delete(std::exchange(head_, head_->next));
  }
}

void* EntryPool::Take(std::size_t bytes) {
  if (bytes != kEntryBytes) return nullptr;
  if (head_ == nullptr) return ::operator new(kEntryBytes);
  platform::UnpoisonKeptMemory(head_, kEntryBytes);
  --count_;
  return std::exchange(head_, head_->next);
}

std::size_t EntryPool::KeptBytes() const {
  return count_ * kEntryBytes;
}

void EntryPool::Give(void* block) {
  if (count_ == kKeptBlocks) {
    ::operator delete(block);
    return;
  }
  head_ = new (block) Free{head_};
  ++count_;
  platform::PoisonKeptMemory(block, kEntryBytes);
}

}  // namespace kestrel::xml

using kestrel::xml::BlockHeader;
using kestrel::xml::Place;

void* CMvnXmlNamedText::operator new(std::size_t size) {
  return Place(::operator new(sizeof(BlockHeader) + size), nullptr);
}

void* CMvnXmlNamedText::operator new(std::size_t size, kestrel::xml::EntryPool* pool) {
  if (pool != nullptr) {
    if (void* block = pool->Take(sizeof(BlockHeader) + size)) return Place(block, pool);
  }
  return CMvnXmlNamedText::operator new(size);
}

void CMvnXmlNamedText::operator delete(void* entry) {
  if (entry == nullptr) return;
  BlockHeader* block = static_cast<BlockHeader*>(entry) - 1;
  if (block->pool != nullptr) {
    block->pool->Give(block);
  } else {
    ::operator delete(block);
  }
}

void CMvnXmlNamedText::operator delete(void* entry, kestrel::xml::EntryPool*) {
  CMvnXmlNamedText::operator delete(entry);
}
