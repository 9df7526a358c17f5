// Reads an XML text through the platform's DOM and collects, by absolute element path, the
// elements found there with their attributes and every text beneath them as name/value entries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/mvn_base.h"
#include "common/mvn_list.h"
#include "common/mvn_string.h"
#include "platform/platform.h"

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

  // A load makes and drops dozens of entries: their memory goes round a small per-thread store
  // rather than through the heap each time.
  static void* operator new(std::size_t size);
  static void operator delete(void* block, std::size_t size);

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
  void AddNamedText(const char* name, std::size_t name_length, const char* text,
                    std::size_t text_length);
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
  ~CMvnXmlDoc() override;

  virtual int32_t Initialize(int32_t initialize_com, const char* trace_file);
  virtual void Uninitialize();

  // 0 when text was parsed and has a document element, else -1 (the previous root stays).
  int32_t LoadXml(const char* text);
  // Appends the elements at elements.Path() to elements; -1 when there is nothing to walk.
  int32_t CollectElements(CMvnXmlElements& elements);

  // Tests compare the fast reading (the DOM's whole tree at once where it offers that, walks that
  // start where their first element is) with the plain one: every DOM node by node, every walk
  // from the first node. False makes every reading plain.
  static void UseFastReading(bool use);

 private:
  struct Snapshot;
  class SnapshotWriter;

  // A snapshot for a loaded document, and back when the document is done with it.
  static Snapshot* TakeSnapshot();
  static void GiveSnapshot(Snapshot* snapshot);
  // The thread's kept snapshot, where builds keep one.
  static std::unique_ptr<Snapshot>& SpareSnapshot();

  // Reads the nodes below start (which stays the caller's) into the snapshot.
  void Read(kestrel::platform::XmlDomNode* start);
  static void ReadNodeByNode(kestrel::platform::XmlDomNode* start,
                             kestrel::platform::XmlTreeReader& reader);
  void Walk(CMvnXmlElements& elements);
  void DropSnapshot();

  kestrel::platform::XmlDomDocument* document_;
  kestrel::platform::XmlDomNode* root_;
  int32_t initialized_;
  int32_t com_initialized_;
  Snapshot* snapshot_;
};
