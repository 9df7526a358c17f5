// Reads an XML text through the platform's parser into one node table and collects from it, by
// absolute element path, the elements found there with their attributes and every text beneath
// them as name/value entries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/mvn_base.h"
#include "common/mvn_list.h"
#include "common/mvn_string.h"
#include "platform/platform.h"

class CMvnXmlDoc;

namespace kestrel::xml {

// Memory for the entries of one reader's elements, in blocks of an entry's size: a load makes and
// drops dozens of entries, and they go round here rather than through the heap each time. Every
// block remembers its pool, so an entry deleted through its list comes back here; a block that
// waits is poisoned. Entries must all be gone before the pool goes.
class EntryPool {
 public:
  EntryPool() = default;
  EntryPool(const EntryPool&) = delete;
  EntryPool& operator=(const EntryPool&) = delete;
  ~EntryPool();

  // A block of `bytes` bytes (an entry and its header), or null for any other size.
  void* Take(std::size_t bytes);
  void Give(void* block);
  // The blocks waiting here, in bytes.
  std::size_t KeptBytes() const;

 private:
  struct Free {
    Free* next;
  };
  Free* head_ = nullptr;
  std::size_t count_ = 0;
};

struct ReaderScratch;

// What a reader reuses from one document to the next: the node tables, the walk's buffers and
// the entry pool. It belongs to whoever runs the loads (a provider, whose loads never overlap) and
// is lent to one CMvnXmlDoc at a time; the elements collected through it must go before it does.
// While it waits, its buffers are poisoned. It keeps what a real device's document needs, whatever
// the last document was: a larger one's buffers go back to the heap when its reader is done.
class ReaderMemory {
 public:
  ReaderMemory();
  ReaderMemory(const ReaderMemory&) = delete;
  ReaderMemory& operator=(const ReaderMemory&) = delete;
  ~ReaderMemory();

  // Benchmarks compare a load with and without the kept memory: false makes the provider's
  // reader take fresh buffers for every document, as a reader of its own does.
  static void UseKeptMemory(bool use);
  static bool KeptMemoryInUse();

  // What it keeps for the next document, in bytes.
  std::size_t KeptBytes() const;

 private:
  friend class ::CMvnXmlDoc;
  void Lend();
  void Return();

  std::unique_ptr<ReaderScratch> scratch_;
  bool lent_ = false;
};

}  // namespace kestrel::xml

// One name and its text: the layout shared by attributes and text entries.
class CMvnXmlNamedText : public CMvnBase {
 public:
  CMvnXmlNamedText(const char* class_name, const char* name_in, const char* value_in)
      : CMvnBase(class_name), name(name_in), value(value_in) {}
  CMvnXmlNamedText(const char* class_name, const char* name_in, std::size_t name_length,
                   const char* value_in, std::size_t value_length)
      : CMvnBase(class_name) {
    name.Assign(name_in, name_length);
    value.Assign(value_in, value_length);
  }
  ~CMvnXmlNamedText() override = default;

  // From the heap, or from a reader's pool (see EntryPool); delete gives the memory back where it
  // came from.
  static void* operator new(std::size_t size);
  static void* operator new(std::size_t size, kestrel::xml::EntryPool* pool);
  static void operator delete(void* block);
  static void operator delete(void* block, kestrel::xml::EntryPool* pool);

  CMvnString name;
  CMvnString value;
  // This entry's link in its element's list, so that collecting costs no heap block per link.
  CMvnListNode cell{nullptr, nullptr};
};

class CMvnXmlAttribute : public CMvnXmlNamedText {
 public:
  CMvnXmlAttribute(const char* name_in, const char* value_in)
      : CMvnXmlNamedText("CMvnXmlAttribute", name_in, value_in) {}
};

class CMvnXmlTextElement : public CMvnXmlNamedText {
 public:
  CMvnXmlTextElement(const char* name_in, const char* value_in)
      : CMvnXmlNamedText("CMvnXmlTextElement", name_in, value_in) {}
  CMvnXmlTextElement(const char* name_in, std::size_t name_length, const char* value_in,
                     std::size_t value_length)
      : CMvnXmlNamedText("CMvnXmlTextElement", name_in, name_length, value_in, value_length) {}
};

class CMvnXmlAttributes : public CMvnList {
 public:
  CMvnXmlAttributes() : CMvnList(1) {}
  void AddAttribute(const char* name, const char* value);
};

// An element collected at a path: its attributes, and the texts found beneath it as entries
// named after the element that directly holds each text.
class CMvnXmlElement : public CMvnList {
 public:
  explicit CMvnXmlElement(const char* path);
  CMvnXmlElement(const char* path, std::size_t length);

  // Adds one text entry named after the last step of parent_path.
  void AddText(const char* parent_path, const char* text);
  // The same with the name given, the entry's memory from pool (the heap when null).
  void AddNamedText(const char* name, std::size_t name_length, const char* text,
                    std::size_t text_length, kestrel::xml::EntryPool* pool = nullptr);
  // The first entry named name (ASCII letter case ignored) into out: 1, or 0 and out empty.
  int32_t GetValue(const char* name, CMvnString& out);

  const CMvnString& Path() const { return path_; }
  CMvnXmlAttributes& Attributes() { return attributes_; }

  // This element's link in the collection's list.
  CMvnListNode cell{nullptr, nullptr};

 private:
  // Destroyed in reverse order: the attributes first, then the path, then the entries.
  CMvnString path_;
  CMvnXmlAttributes attributes_;
};

// The result of one collection: every element found at Path(), in document order.
class CMvnXmlElements : public CMvnList {
 public:
  CMvnXmlElements() : CMvnList(1) {}

  void SetPath(const char* path) { path_.Assign(path); }
  const CMvnString& Path() const { return path_; }

 private:
  CMvnString path_;
};

class CMvnXmlDoc : public CMvnBase {
 public:
  CMvnXmlDoc();
  // A reader that reads into memory's buffers and takes its entries from memory's pool: what it
  // collects lives as long as memory does.
  explicit CMvnXmlDoc(kestrel::xml::ReaderMemory& memory);
  ~CMvnXmlDoc() override;

  virtual int32_t Initialize(int32_t initialize_com, const char* trace_file);
  virtual void Uninitialize();

  // 0 when text was parsed and has a document element, else -1 (the previous document stays).
  int32_t LoadXml(const char* text);
  // Appends the elements at elements.Path() to elements; -1 when there is nothing to walk.
  int32_t CollectElements(CMvnXmlElements& elements);

  // Into an empty list a walk starts at the first element of its path, rather than at the first
  // node. Tests compare the two; false makes every walk start at the first node.
  static void UseFastReading(bool use);

 private:
  explicit CMvnXmlDoc(kestrel::xml::ReaderMemory* lent);

  void Walk(CMvnXmlElements& elements);
  // Each node's path length and hash, for the walks that start where their first element is.
  void IndexPaths();

  kestrel::platform::XmlDomDocument* document_;
  int32_t initialized_;
  int32_t com_initialized_;
  // A document is loaded (the table holds it).
  bool loaded_;
  // The memory lent by the caller, else this reader's own.
  kestrel::xml::ReaderMemory* lent_;
  std::unique_ptr<kestrel::xml::ReaderMemory> own_;
  kestrel::xml::ReaderScratch* scratch_;
  kestrel::xml::EntryPool* entries_;
};
