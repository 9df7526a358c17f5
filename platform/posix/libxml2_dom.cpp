// The XML DOM of the platform seam on libxml2, behaving as MSXML's DOMDocument does with its
// default properties, so that the reader sees the same nodes on both targets.
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>

#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "platform/kept_memory.h"
#include "platform/platform.h"

namespace kestrel::platform {
namespace {

constexpr int32_t kOk = 0;
constexpr int32_t kFalse = 1;
constexpr int32_t kPointer = static_cast<int32_t>(0x80004003u);
constexpr int32_t kOutOfMemory = static_cast<int32_t>(0x8007000Eu);

// A parser context kept from one load to the next: its dictionary, stacks and UTF-8 buffer are
// made once rather than for every document. A context serves one document at a time, because the
// document's names live in the context's dictionary and libxml2 does not lock a dictionary that
// one document reads while another parse adds to it.
class Recording;

struct Parser {
  xmlParserCtxtPtr context = nullptr;
  std::string utf8;
  bool refused = false;
  // Where a parse that builds no tree records what the reader needs.
  Recording* recording = nullptr;

  ~Parser() { xmlFreeParserCtxt(context); }
};

// A DOCTYPE ends the parse as soon as the parser meets it (see RefuseDocumentType).
void RefuseDocumentType(void* context, const xmlChar*, const xmlChar*, const xmlChar*);

// One spare parser for the next load. Loads of several providers at once make parsers of their
// own, and those go back to the heap when the spare place is taken.
class ParserPool {
 public:
  ~ParserPool() { delete spare_; }

  std::unique_ptr<Parser> Take() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (spare_ != nullptr) return std::unique_ptr<Parser>(std::exchange(spare_, nullptr));
    }
    auto parser = std::make_unique<Parser>();
    parser->context = xmlNewParserCtxt();
    if (parser->context == nullptr) return nullptr;
    return parser;
  }

  void Give(std::unique_ptr<Parser> parser) {
    // Names of ever new elements would grow the dictionary without end, and one huge document
    // should not keep its buffer for the small ones after it.
    if (xmlDictSize(parser->context->dict) > kMaxNames || parser->utf8.capacity() > kMaxBuffer) {
      return;
    }
    std::lock_guard<std::mutex> hold(lock_);
    if (spare_ == nullptr) spare_ = parser.release();
  }

 private:
  static constexpr int kMaxNames = 4096;
  static constexpr std::size_t kMaxBuffer = 256 * 1024;

  std::mutex lock_;
  Parser* spare_ = nullptr;
};

ParserPool& Parsers() {
  static ParserPool pool;
  return pool;
}

// The parsed tree, and the memory of the node wrappers handed out for it: a walk fetches a wrapper
// for every node it visits and releases it soon after, so a released one is kept for the next
// rather than going back to the heap. The parser that made the tree goes back to the pool with it.
class DocState {
 public:
  DocState(xmlDoc* doc, std::unique_ptr<Parser> parser) : doc_(doc), parser_(std::move(parser)) {}
  ~DocState() {
    while (free_ != nullptr) {
      FreeSlot* next = free_->next;
      ::operator delete(free_);
      free_ = next;
    }
    xmlFreeDoc(doc_);
    if (parser_ != nullptr) Parsers().Give(std::move(parser_));
  }
  DocState(const DocState&) = delete;
  DocState& operator=(const DocState&) = delete;

  xmlDoc* Doc() const { return doc_; }
  // Memory for one wrapper of `size` bytes (always the same size).
  void* TakeSlot(std::size_t size) {
    if (free_ == nullptr) return ::operator new(size);
    void* slot = free_;
    free_ = free_->next;
    return slot;
  }
  void GiveSlot(void* slot) { free_ = new (slot) FreeSlot{free_}; }

 private:
  struct FreeSlot {
    FreeSlot* next;
  };
  xmlDoc* doc_;
  std::unique_ptr<Parser> parser_;
  FreeSlot* free_ = nullptr;
};

using SharedDoc = std::shared_ptr<DocState>;

void InitLibxml2Once() {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
}

bool IsXmlSpace(xmlChar c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsBlank(const xmlChar* text) {
  if (text == nullptr) return true;
  for (; *text != 0; ++text) {
    if (!IsXmlSpace(*text)) return false;
  }
  return true;
}

// MSXML without preserveWhiteSpace drops white-space-only text between elements; such nodes are
// simply not there for the caller.
bool IsVisible(const xmlNode* node) {
  switch (node->type) {
    case XML_TEXT_NODE:
      return !IsBlank(node->content);
    case XML_DTD_NODE:
    case XML_XINCLUDE_START:
    case XML_XINCLUDE_END:
      return false;
    default:
      return true;
  }
}

const xmlNode* FirstVisible(const xmlNode* node) {
  while (node != nullptr && !IsVisible(node)) node = node->next;
  return node;
}

struct KindName {
  xmlElementType type;
  const char* kind;
};

// The kind strings are MSXML's nodeTypeString values.
constexpr KindName kKinds[] = {
    {XML_ELEMENT_NODE, "element"},
    {XML_ATTRIBUTE_NODE, "attribute"},
    {XML_TEXT_NODE, "text"},
    {XML_CDATA_SECTION_NODE, "cdatasection"},
    {XML_ENTITY_REF_NODE, "entityreference"},
    {XML_ENTITY_NODE, "entity"},
    {XML_PI_NODE, "processinginstruction"},
    {XML_COMMENT_NODE, "comment"},
    {XML_DOCUMENT_NODE, "document"},
    {XML_DOCUMENT_TYPE_NODE, "documenttype"},
    {XML_DOCUMENT_FRAG_NODE, "documentfragment"},
    {XML_NOTATION_NODE, "notation"},
};

// Decodes UTF-8 as libxml2 hands it out (always valid) into wide, replacing what it held. Sized
// for the worst case first (one unit per byte) and cut to what was written.
void Utf8ToUtf16(const char* text, std::size_t length, std::u16string& wide) {
  wide.resize(length);
  char16_t* out = &wide[0];
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  const unsigned char* end = p + length;
  while (p < end) {
    uint32_t c = *p++;
    if (c < 0x80) {
      *out++ = static_cast<char16_t>(c);
      continue;
    }
    int extra = 0;
    if (c >= 0xF0) {
      c &= 0x07;
      extra = 3;
    } else if (c >= 0xE0) {
      c &= 0x0F;
      extra = 2;
    } else if (c >= 0xC0) {
      c &= 0x1F;
      extra = 1;
    }
    for (; extra > 0 && p < end; --extra) c = (c << 6) | (*p++ & 0x3F);
    if (c >= 0x10000) {
      c -= 0x10000;
      *out++ = static_cast<char16_t>(0xD800 + (c >> 10));
      *out++ = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      *out++ = static_cast<char16_t>(c);
    }
  }
  wide.resize(static_cast<std::size_t>(out - wide.data()));
}

// The same into a COM string.
WChar* Utf8ToComString(const char* text, std::size_t length) {
  std::u16string wide;
  Utf8ToUtf16(text, length, wide);
  static_assert(sizeof(WChar) == sizeof(char16_t), "COM strings are UTF-16");
  return AllocWideString(reinterpret_cast<const WChar*>(wide.data()), wide.size());
}

// Leading and trailing white space goes, as MSXML trims text when white space is not preserved.
void TrimXmlSpace(const xmlChar*& begin, const xmlChar*& end);

// UTF-8 as libxml2 hands it out (always valid) in the ANSI code page, as the round through UTF-16
// and WideToAnsi gives it: a character the code page lacks is one '?', whatever its width. ASCII,
// nearly all of a device's text, is handed on where it lies, without a copy.
class AnsiText {
 public:
  void Set(const xmlChar* text, std::size_t length) {
    const auto* p = text != nullptr ? text : reinterpret_cast<const xmlChar*>("");
    const xmlChar* end = p + (text != nullptr ? length : 0);
    const xmlChar* wide =
        p + AsciiPrefix(reinterpret_cast<const char*>(p), static_cast<std::size_t>(end - p));
    if (wide == end) {
      data_ = reinterpret_cast<const char*>(p);
      length_ = static_cast<std::size_t>(end - p);
      return;
    }
    scratch_.assign(reinterpret_cast<const char*>(p), static_cast<std::size_t>(wide - p));
    for (p = wide; p < end;) {
      uint32_t c = *p++;
      if (c < 0x80) {
        scratch_ += static_cast<char>(c);
        continue;
      }
      int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
      c &= c >= 0xF0 ? 0x07 : c >= 0xE0 ? 0x0F : 0x1F;
      for (; extra > 0 && p < end; --extra) c = (c << 6) | (*p++ & 0x3F);
      char byte = '?';
      if (c < 0x10000) {
        const auto unit = static_cast<WChar>(c);
        WideToAnsi(&unit, 1, &byte, 1);
      }
      scratch_ += byte;
    }
    data_ = scratch_.data();
    length_ = scratch_.size();
  }
  void Set(const char* text) {
    Set(reinterpret_cast<const xmlChar*>(text), text != nullptr ? std::strlen(text) : 0);
  }

  const char* data() const { return data_; }
  std::size_t size() const { return length_; }

 private:
  std::string scratch_;
  const char* data_ = "";
  std::size_t length_ = 0;
};

int32_t GiveText(const char* text, std::size_t length, WChar** out) {
  *out = Utf8ToComString(text != nullptr ? text : "", text != nullptr ? length : 0);
  return *out != nullptr ? kOk : kOutOfMemory;
}

int32_t GiveText(const char* text, WChar** out) {
  return GiveText(text, text != nullptr ? std::strlen(text) : 0, out);
}

void TrimXmlSpace(const xmlChar*& begin, const xmlChar*& end) {
  while (begin < end && IsXmlSpace(*begin)) ++begin;
  while (end > begin && IsXmlSpace(end[-1])) --end;
}

int32_t GiveTrimmedText(const xmlChar* text, WChar** out) {
  if (text == nullptr) return GiveText("", 0, out);
  const xmlChar* begin = text;
  const xmlChar* end = text + std::strlen(reinterpret_cast<const char*>(text));
  TrimXmlSpace(begin, end);
  return GiveText(reinterpret_cast<const char*>(begin), static_cast<std::size_t>(end - begin), out);
}

std::string QualifiedName(const xmlChar* prefix, const xmlChar* name) {
  std::string result;
  if (prefix != nullptr) {
    result = reinterpret_cast<const char*>(prefix);
    result += ':';
  }
  if (name != nullptr) result += reinterpret_cast<const char*>(name);
  return result;
}

// Every node keeps the libxml2 tree alive, as a COM node keeps its document: a caller may release
// the document before the nodes it fetched.
class Libxml2Node final : public XmlDomNode {
 public:
  Libxml2Node(SharedDoc doc, const xmlNode* node) : doc_(std::move(doc)), node_(node) {}

  // A wrapper in memory kept by the document.
  static Libxml2Node* Make(const SharedDoc& doc, const xmlNode* node) {
    return new (doc->TakeSlot(sizeof(Libxml2Node))) Libxml2Node(doc, node);
  }

  int32_t GetFirstChild(XmlDomNode** child) override {
    if (child == nullptr) return kPointer;
    *child = nullptr;
    // Attribute values are read through GetText; their inner text nodes are not offered.
    if (node_->type == XML_ATTRIBUTE_NODE) return kFalse;
    return Give(FirstVisible(node_->children), child);
  }

  int32_t GetNextSibling(XmlDomNode** sibling) override {
    if (sibling == nullptr) return kPointer;
    *sibling = nullptr;
    if (node_->type == XML_ATTRIBUTE_NODE) return kFalse;
    return Give(FirstVisible(node_->next), sibling);
  }

  int32_t GetNodeTypeString(WChar** kind) override {
    if (kind == nullptr) return kPointer;
    for (const KindName& entry : kKinds) {
      if (entry.type == node_->type) return GiveText(entry.kind, kind);
    }
    return GiveText("", kind);
  }

  int32_t GetNodeKind(XmlNodeKind* kind) override {
    if (kind == nullptr) return kPointer;
    *kind = node_->type == XML_ELEMENT_NODE ? XmlNodeKind::kElement
            : node_->type == XML_TEXT_NODE  ? XmlNodeKind::kText
                                            : XmlNodeKind::kOther;
    return kOk;
  }

  int32_t GetNodeName(WChar** name) override {
    if (name == nullptr) return kPointer;
    switch (node_->type) {
      case XML_TEXT_NODE:
        return GiveText("#text", name);
      case XML_CDATA_SECTION_NODE:
        return GiveText("#cdata-section", name);
      case XML_COMMENT_NODE:
        return GiveText("#comment", name);
      case XML_ELEMENT_NODE:
      case XML_ATTRIBUTE_NODE: {
        const std::string qualified =
            QualifiedName(node_->ns != nullptr ? node_->ns->prefix : nullptr, node_->name);
        return GiveText(qualified.data(), qualified.size(), name);
      }
      default:
        return GiveText(reinterpret_cast<const char*>(node_->name), name);
    }
  }

  // An element's name and a text node's text straight into the caller's string; the rest as
  // GetNodeName and GetText give them.
  int32_t ReadNodeName(std::u16string& name) override {
    if (node_->type != XML_ELEMENT_NODE) return XmlDomNode::ReadNodeName(name);
    const xmlChar* prefix = node_->ns != nullptr ? node_->ns->prefix : nullptr;
    if (prefix != nullptr) return XmlDomNode::ReadNodeName(name);
    const char* local = node_->name != nullptr ? reinterpret_cast<const char*>(node_->name) : "";
    Utf8ToUtf16(local, std::strlen(local), name);
    return kOk;
  }
  int32_t ReadText(std::u16string& text) override {
    if (node_->type != XML_TEXT_NODE && node_->type != XML_CDATA_SECTION_NODE) {
      return XmlDomNode::ReadText(text);
    }
    if (node_->content == nullptr) {
      text.clear();
      return kOk;
    }
    const xmlChar* begin = node_->content;
    const xmlChar* end = begin + std::strlen(reinterpret_cast<const char*>(begin));
    TrimXmlSpace(begin, end);
    Utf8ToUtf16(reinterpret_cast<const char*>(begin), static_cast<std::size_t>(end - begin), text);
    return kOk;
  }

  int32_t GetText(WChar** text) override {
    if (text == nullptr) return kPointer;
    switch (node_->type) {
      case XML_TEXT_NODE:
      case XML_CDATA_SECTION_NODE:
        return GiveTrimmedText(node_->content, text);
      case XML_COMMENT_NODE:
      case XML_PI_NODE:
        return GiveText(reinterpret_cast<const char*>(node_->content), text);
      default: {
        xmlChar* content = xmlNodeGetContent(node_);
        // An attribute value is given as written (after the parser's normalisation), not trimmed.
        const int32_t result = node_->type == XML_ATTRIBUTE_NODE
                                   ? GiveText(reinterpret_cast<const char*>(content), text)
                                   : GiveTrimmedText(content, text);
        xmlFree(content);
        return result;
      }
    }
  }

  int32_t GetAttributeCount(int32_t* count) override {
    if (count == nullptr) return kPointer;
    *count = 0;
    if (node_->type != XML_ELEMENT_NODE) return kFalse;
    for (const xmlNs* ns = node_->nsDef; ns != nullptr; ns = ns->next) ++*count;
    for (const xmlAttr* attr = node_->properties; attr != nullptr; attr = attr->next) ++*count;
    return kOk;
  }

  // Namespace declarations count as attributes, as they do in MSXML's attribute map; they come
  // first because libxml2 keeps them apart from the other attributes.
  int32_t GetAttribute(int32_t index, XmlDomNode** attribute) override;

  int32_t ReadTree(XmlTreeReader& reader) override;

  void Release() override {
    // The document outlives the wrapper's own reference to it until the memory is back; the
    // reference moves out rather than being counted up and down again.
    const SharedDoc doc = std::move(doc_);
    this->~Libxml2Node();
    doc->GiveSlot(this);
  }

 private:
  int32_t Give(const xmlNode* node, XmlDomNode** out) {
    if (node == nullptr) return kFalse;
    *out = Make(doc_, node);
    return *out != nullptr ? kOk : kOutOfMemory;
  }

  SharedDoc doc_;
  const xmlNode* node_;
};

// A namespace declaration seen as an attribute node: xmlns or xmlns:prefix, the URI as its text.
class NamespaceAttribute final : public XmlDomNode {
 public:
  NamespaceAttribute(SharedDoc doc, const xmlNs* ns) : doc_(std::move(doc)), ns_(ns) {}

  int32_t GetFirstChild(XmlDomNode** child) override { return Nothing(child); }
  int32_t GetNextSibling(XmlDomNode** sibling) override { return Nothing(sibling); }
  int32_t GetNodeTypeString(WChar** kind) override {
    return kind != nullptr ? GiveText("attribute", kind) : kPointer;
  }
  int32_t GetNodeKind(XmlNodeKind* kind) override {
    if (kind == nullptr) return kPointer;
    *kind = XmlNodeKind::kOther;
    return kOk;
  }
  int32_t GetNodeName(WChar** name) override {
    if (name == nullptr) return kPointer;
    std::string qualified = "xmlns";
    if (ns_->prefix != nullptr) qualified = QualifiedName(BAD_CAST "xmlns", ns_->prefix);
    return GiveText(qualified.data(), qualified.size(), name);
  }
  int32_t GetText(WChar** text) override {
    return text != nullptr ? GiveText(reinterpret_cast<const char*>(ns_->href), text) : kPointer;
  }
  int32_t GetAttributeCount(int32_t* count) override {
    if (count == nullptr) return kPointer;
    *count = 0;
    return kFalse;
  }
  int32_t GetAttribute(int32_t, XmlDomNode** attribute) override { return Nothing(attribute); }
  void Release() override { delete this; }

 private:
  static int32_t Nothing(XmlDomNode** out) {
    if (out == nullptr) return kPointer;
    *out = nullptr;
    return kFalse;
  }

  SharedDoc doc_;
  const xmlNs* ns_;
};

int32_t Libxml2Node::GetAttribute(int32_t index, XmlDomNode** attribute) {
  if (attribute == nullptr) return kPointer;
  *attribute = nullptr;
  if (node_->type != XML_ELEMENT_NODE || index < 0) return kFalse;
  int32_t position = 0;
  for (const xmlNs* ns = node_->nsDef; ns != nullptr; ns = ns->next, ++position) {
    if (position == index) {
      *attribute = new NamespaceAttribute(doc_, ns);
      return kOk;
    }
  }
  for (const xmlAttr* attr = node_->properties; attr != nullptr; attr = attr->next, ++position) {
    if (position == index) return Give(reinterpret_cast<const xmlNode*>(attr), attribute);
  }
  return kFalse;
}

// The nodes that the node-by-node walk would visit, straight from the tree: no wrapper per node
// and no round through UTF-16 for every name and text.
int32_t Libxml2Node::ReadTree(XmlTreeReader& reader) {
  if (node_->type == XML_ATTRIBUTE_NODE) {
    reader.Other(0);
    return kOk;
  }
  AnsiText name;
  AnsiText value;
  std::string qualified;
  // The nodes whose children are being read, so the walk climbs back the way it came down.
  std::vector<const xmlNode*> open;
  const xmlNode* node = node_;
  while (node != nullptr) {
    const auto depth = static_cast<uint32_t>(open.size());
    if (node->type == XML_ELEMENT_NODE) {
      if (node->ns != nullptr && node->ns->prefix != nullptr) {
        qualified = QualifiedName(node->ns->prefix, node->name);
        name.Set(qualified.c_str());
      } else {
        name.Set(reinterpret_cast<const char*>(node->name));
      }
      reader.Element(depth, name.data(), name.size());
      for (const xmlNs* ns = node->nsDef; ns != nullptr; ns = ns->next) {
        qualified = ns->prefix != nullptr ? QualifiedName(BAD_CAST "xmlns", ns->prefix) : "xmlns";
        name.Set(qualified.c_str());
        value.Set(reinterpret_cast<const char*>(ns->href));
        reader.Attribute(name.data(), name.size(), value.data(), value.size());
      }
      for (const xmlAttr* attr = node->properties; attr != nullptr; attr = attr->next) {
        qualified = QualifiedName(attr->ns != nullptr ? attr->ns->prefix : nullptr, attr->name);
        name.Set(qualified.c_str());
        xmlChar* content = xmlNodeGetContent(reinterpret_cast<const xmlNode*>(attr));
        value.Set(reinterpret_cast<const char*>(content));
        reader.Attribute(name.data(), name.size(), value.data(), value.size());
        xmlFree(content);
      }
    } else if (node->type == XML_TEXT_NODE) {
      const xmlChar* begin = node->content;
      const xmlChar* end =
          begin != nullptr ? begin + std::strlen(reinterpret_cast<const char*>(begin)) : nullptr;
      if (begin != nullptr) TrimXmlSpace(begin, end);
      value.Set(begin, static_cast<std::size_t>(end - begin));
      reader.Text(depth, value.data(), value.size());
    } else {
      reader.Other(depth);
    }

    if (const xmlNode* child = FirstVisible(node->children)) {
      open.push_back(node);
      node = child;
      continue;
    }
    for (;;) {
      if (const xmlNode* sibling = FirstVisible(node->next)) {
        node = sibling;
        break;
      }
      if (open.empty()) {
        node = nullptr;
        break;
      }
      node = open.back();
      open.pop_back();
    }
  }
  return kOk;
}

// What the reader takes from a document whose nodes it reads whole, recorded while libxml2 parses
// it (its SAX interface), so that no tree is built and freed for it: the nodes below the root as
// Libxml2Node::ReadTree gives them. Character data is joined into texts as the tree joins it; a
// text of white space alone is left out, as the tree leaves it out.
class Recording {
 public:
  // Something the recording does not take the tree's way (an attribute value with a reference):
  // such a document is read from its tree.
  bool NeedsTree() const { return needs_tree_; }
  bool HasNodes() const { return !events_.empty(); }

  // Room for a document of length bytes at once, rather than a regrowth at every power of two.
  void Reserve(std::size_t length) {
    store_.reserve(length);
    events_.reserve(length / 16 + 16);
  }

  // Empty again, for the next document, keeping the room the buffers have.
  void Clear() {
    events_.clear();
    store_.clear();
    attributes_.clear();
    level_ = 0;
    text_.clear();
    needs_tree_ = false;
  }
  std::size_t Bytes() const {
    return events_.capacity() * sizeof(Event) + store_.capacity() + text_.capacity() +
           attributes_.capacity() * sizeof(uint32_t);
  }

  // A recording for the next document: the thread's kept one, or a new one.
  static std::unique_ptr<Recording> Take();
  // Back when its document is gone; kept for the thread's next document where the build keeps
  // memory and it is not too big.
  static void Give(std::unique_ptr<Recording> recording);

  void Replay(XmlTreeReader& reader) const {
    const char* store = store_.data();
    for (const Event& event : events_) {
      switch (event.kind) {
        case Event::kElement:
          reader.Element(event.depth, store + event.offset, event.length);
          for (uint32_t k = 0; k < event.attribute_count; ++k) {
            const uint32_t* at = &attributes_[(event.first_attribute + k) * 4];
            reader.Attribute(store + at[0], at[1], store + at[2], at[3]);
          }
          break;
        case Event::kText:
          reader.Text(event.depth, store + event.offset, event.length);
          break;
        case Event::kOther:
          reader.Other(event.depth);
          break;
      }
    }
  }

  // The SAX handler that records into the Recording of the parse's Parser.
  static const xmlSAXHandler& Handler() {
    static const xmlSAXHandler handler = [] {
      xmlSAXHandler h{};
      xmlSAXVersion(&h, 2);
      h.internalSubset = RefuseDocumentType;
      // No document node either: entities other than the predefined ones end the parse anyway.
      h.startDocument = nullptr;
      h.endDocument = nullptr;
      h.startElementNs = StartElement;
      h.endElementNs = EndElement;
      h.characters = Characters;
      // Without a tree the parser cannot tell white space between elements from text: all of it
      // comes here, and a text of white space alone is left out when it ends.
      h.ignorableWhitespace = Characters;
      h.cdataBlock = OtherWithText;
      h.comment = Comment;
      h.processingInstruction = Instruction;
      h.reference = Reference;
      return h;
    }();
    return handler;
  }

 private:
  struct Event {
    enum Kind : uint8_t { kElement, kText, kOther };
    Kind kind;
    uint32_t depth;
    uint32_t offset;
    uint32_t length;
    uint32_t first_attribute;
    uint32_t attribute_count;
  };

  static Recording& Of(void* context) {
    auto* parser = static_cast<Parser*>(static_cast<xmlParserCtxtPtr>(context)->_private);
    return *parser->recording;
  }

  uint32_t Store(const char* text, std::size_t length) {
    const auto offset = static_cast<uint32_t>(store_.size());
    store_.append(text, length);
    return offset;
  }

  // The character data since the last markup, as one text.
  void EndText() {
    if (text_.empty()) return;
    const auto* begin = reinterpret_cast<const xmlChar*>(text_.data());
    const xmlChar* end = begin + text_.size();
    TrimXmlSpace(begin, end);
    if (begin != end) {
      ansi_.Set(begin, static_cast<std::size_t>(end - begin));
      events_.push_back(Event{Event::kText, level_ - 1, Store(ansi_.data(), ansi_.size()),
                              static_cast<uint32_t>(ansi_.size()), 0, 0});
    }
    text_.clear();
  }

  void Other() {
    EndText();
    if (level_ > 0) events_.push_back(Event{Event::kOther, level_ - 1, 0, 0, 0, 0});
  }

  static void StartElement(void* context, const xmlChar* name, const xmlChar* prefix,
                           const xmlChar* /*uri*/, int namespace_count, const xmlChar** namespaces,
                           int attribute_count, int /*defaulted*/, const xmlChar** attributes) {
    Recording& r = Of(context);
    r.EndText();
    // The root's own name and attributes are not read.
    if (r.level_++ == 0) return;
    std::string& qualified = r.qualified_;
    if (prefix != nullptr) {
      qualified = QualifiedName(prefix, name);
      r.ansi_.Set(qualified.c_str());
    } else {
      r.ansi_.Set(reinterpret_cast<const char*>(name));
    }
    Event event{Event::kElement,
                r.level_ - 2,
                r.Store(r.ansi_.data(), r.ansi_.size()),
                static_cast<uint32_t>(r.ansi_.size()),
                static_cast<uint32_t>(r.attributes_.size() / 4),
                0};
    auto attribute = [&r, &event](const char* attribute_name, const xmlChar* value,
                                  std::size_t value_length) {
      r.ansi_.Set(attribute_name);
      r.attributes_.push_back(r.Store(r.ansi_.data(), r.ansi_.size()));
      r.attributes_.push_back(static_cast<uint32_t>(r.ansi_.size()));
      r.ansi_.Set(value, value_length);
      r.attributes_.push_back(r.Store(r.ansi_.data(), r.ansi_.size()));
      r.attributes_.push_back(static_cast<uint32_t>(r.ansi_.size()));
      ++event.attribute_count;
    };
    // Namespace declarations first, as the tree lists them.
    for (int i = 0; i < namespace_count; ++i) {
      const xmlChar* declared = namespaces[2 * i];
      const xmlChar* uri = namespaces[2 * i + 1];
      qualified = declared != nullptr ? QualifiedName(BAD_CAST "xmlns", declared) : "xmlns";
      attribute(qualified.c_str(), uri,
                uri != nullptr ? std::strlen(reinterpret_cast<const char*>(uri)) : 0);
    }
    for (int i = 0; i < attribute_count; ++i) {
      const xmlChar* const* at = attributes + 5 * i;
      const auto value_length = static_cast<std::size_t>(at[4] - at[3]);
      if (std::memchr(at[3], '&', value_length) != nullptr) r.needs_tree_ = true;
      qualified = QualifiedName(at[1], at[0]);
      attribute(qualified.c_str(), at[3], value_length);
    }
    r.events_.push_back(event);
  }

  static void EndElement(void* context, const xmlChar*, const xmlChar*, const xmlChar*) {
    Recording& r = Of(context);
    r.EndText();
    if (r.level_ > 0) --r.level_;
  }

  static void Characters(void* context, const xmlChar* text, int length) {
    Recording& r = Of(context);
    if (r.level_ > 0 && length > 0) {
      r.text_.append(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length));
    }
  }

  static void OtherWithText(void* context, const xmlChar*, int) { Of(context).Other(); }
  static void Comment(void* context, const xmlChar*) { Of(context).Other(); }
  static void Instruction(void* context, const xmlChar*, const xmlChar*) { Of(context).Other(); }
  static void Reference(void* context, const xmlChar*) { Of(context).needs_tree_ = true; }

  std::vector<Event> events_;
  std::string store_;
  std::vector<uint32_t> attributes_;  // name offset, name length, value offset, value length
  uint32_t level_ = 0;                // elements open, the root included
  std::string text_;                  // character data not yet made a text
  std::string qualified_;
  AnsiText ansi_;
  bool needs_tree_ = false;
};

#if defined(KESTREL_KEEP_MEMORY)
constexpr std::size_t kKeptRecordingBytes = 64 * 1024;

std::unique_ptr<Recording>& SpareRecording() {
  thread_local std::unique_ptr<Recording> spare;
  return spare;
}
#endif

std::unique_ptr<Recording> Recording::Take() {
#if defined(KESTREL_KEEP_MEMORY)
  if (std::unique_ptr<Recording> kept = std::move(SpareRecording())) return kept;
#endif
  return std::make_unique<Recording>();
}

void Recording::Give(std::unique_ptr<Recording> recording) {
#if defined(KESTREL_KEEP_MEMORY)
  if (recording == nullptr || recording->Bytes() > kKeptRecordingBytes) return;
  std::unique_ptr<Recording>& spare = SpareRecording();
  if (spare != nullptr) return;
  recording->Clear();
  spare = std::move(recording);
#else
  (void)recording;
#endif
}

// A document parsed without a tree: its recording, and its text for the tree that a caller asking
// for nodes one by one gets, made from the same text when first needed.
class RecordedDoc {
 public:
  RecordedDoc(std::unique_ptr<Recording> recording, std::string text)
      : recording_(std::move(recording)), text_(std::move(text)) {}
  ~RecordedDoc() { Recording::Give(std::move(recording_)); }
  RecordedDoc(const RecordedDoc&) = delete;
  RecordedDoc& operator=(const RecordedDoc&) = delete;

  const Recording& recording() const { return *recording_; }
  // The tree, or null when it cannot be made.
  const SharedDoc& Tree();

 private:
  std::unique_ptr<Recording> recording_;
  std::string text_;
  SharedDoc tree_;
};

using SharedRecordedDoc = std::shared_ptr<RecordedDoc>;

// The root of a recorded document and the root's first child, the two nodes a reader asks for
// before it reads the rest whole. Any other question goes to the same node of the tree.
class RecordedNode final : public XmlDomNode {
 public:
  enum class Place { kRoot, kFirstChild };
  RecordedNode(SharedRecordedDoc doc, Place place) : doc_(std::move(doc)), place_(place) {}

  int32_t GetFirstChild(XmlDomNode** child) override {
    if (place_ != Place::kRoot) return Forward(&XmlDomNode::GetFirstChild, child);
    if (child == nullptr) return kPointer;
    *child = nullptr;
    if (doc_->recording().NeedsTree()) return Forward(&XmlDomNode::GetFirstChild, child);
    if (!doc_->recording().HasNodes()) return kFalse;
    *child = new RecordedNode(doc_, Place::kFirstChild);
    return kOk;
  }
  int32_t ReadTree(XmlTreeReader& reader) override {
    if (place_ != Place::kFirstChild || doc_->recording().NeedsTree()) {
      XmlDomNode* tree = Tree();
      return tree != nullptr ? tree->ReadTree(reader) : kOutOfMemory;
    }
    doc_->recording().Replay(reader);
    return kOk;
  }

  int32_t GetNextSibling(XmlDomNode** sibling) override {
    return Forward(&XmlDomNode::GetNextSibling, sibling);
  }
  int32_t GetNodeTypeString(WChar** kind) override {
    return Forward(&XmlDomNode::GetNodeTypeString, kind);
  }
  int32_t GetNodeKind(XmlNodeKind* kind) override {
    return Forward(&XmlDomNode::GetNodeKind, kind);
  }
  int32_t GetNodeName(WChar** name) override { return Forward(&XmlDomNode::GetNodeName, name); }
  int32_t GetText(WChar** text) override { return Forward(&XmlDomNode::GetText, text); }
  int32_t ReadNodeName(std::u16string& name) override {
    XmlDomNode* tree = Tree();
    return tree != nullptr ? tree->ReadNodeName(name) : kOutOfMemory;
  }
  int32_t ReadText(std::u16string& text) override {
    XmlDomNode* tree = Tree();
    return tree != nullptr ? tree->ReadText(text) : kOutOfMemory;
  }
  int32_t GetAttributeCount(int32_t* count) override {
    return Forward(&XmlDomNode::GetAttributeCount, count);
  }
  int32_t GetAttribute(int32_t index, XmlDomNode** attribute) override {
    XmlDomNode* tree = Tree();
    return tree != nullptr ? tree->GetAttribute(index, attribute) : kOutOfMemory;
  }
  void Release() override { delete this; }

 private:
  ~RecordedNode() {
    if (tree_ != nullptr) tree_->Release();
  }

  // The same node of the tree, made on first use.
  XmlDomNode* Tree();

  template <typename Out>
  int32_t Forward(int32_t (XmlDomNode::*call)(Out), Out out) {
    XmlDomNode* tree = Tree();
    return tree != nullptr ? (tree->*call)(out) : kOutOfMemory;
  }

  SharedRecordedDoc doc_;
  Place place_;
  XmlDomNode* tree_ = nullptr;
};

// COM strings are UTF-16; libxml2 parses UTF-8. A lone surrogate is no character at all, so the
// text is refused as MSXML refuses it.
bool WideToUtf8(const WChar* text, std::string& out) {
  out.clear();
  if (text == nullptr) return true;
  const std::size_t length = WideLength(text);
  // Sized for the worst case first (three bytes per unit) and cut to what was written.
  out.resize(length * 3);
  char* o = &out[0];
  for (std::size_t i = 0; i < length; ++i) {
    uint32_t c = static_cast<char16_t>(text[i]);
    if (c < 0x80) {
      *o++ = static_cast<char>(c);
      continue;
    }
    if (c >= 0xD800 && c <= 0xDFFF) {
      const uint32_t low = i + 1 < length ? static_cast<char16_t>(text[i + 1]) : 0;
      if (c > 0xDBFF || low < 0xDC00 || low > 0xDFFF) {
        out.clear();
        return false;
      }
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      ++i;
    }
    if (c < 0x800) {
      *o++ = static_cast<char>(0xC0 | (c >> 6));
      *o++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      *o++ = static_cast<char>(0xE0 | (c >> 12));
      *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *o++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
      *o++ = static_cast<char>(0xF0 | (c >> 18));
      *o++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *o++ = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
  return true;
}

// A document type declaration is refused as soon as the parser meets it, before any of its
// declarations are read (MSXML 6 prohibits DTDs by default as well). The device never sends one,
// and it is the only way in for entity expansion ("billion laughs") and external entities.
void RefuseDocumentType(void* context, const xmlChar*, const xmlChar*, const xmlChar*) {
  auto* parser = static_cast<xmlParserCtxtPtr>(context);
  static_cast<Parser*>(parser->_private)->refused = true;
  xmlStopParser(parser);
}
// The handler that builds the tree: libxml2's own, with a document type refused.
const xmlSAXHandler& TreeHandler() {
  static const xmlSAXHandler handler = [] {
    xmlSAXHandler h{};
    xmlSAXVersion(&h, 2);
    h.internalSubset = RefuseDocumentType;
    return h;
  }();
  return handler;
}

// Parses text (UTF-8, NUL-terminated at length, alive until this returns) with parser: into
// recording when there is one, else into a tree (*doc). False when the text is refused.
bool ParseText(Parser& parser, const char* text, std::size_t length, Recording* recording,
               xmlDocPtr* doc) {
  *doc = nullptr;
  if (length == 0 || length > INT_MAX) return false;
  xmlParserCtxtPtr context = parser.context;
  parser.refused = false;
  parser.recording = recording;
  context->_private = &parser;
  // The text arrives as characters, so an encoding named in its declaration is meaningless; and
  // UTF-8 is what the parser reads without a converter (and the two buffers one would need).
  // Short texts live in their nodes.
  constexpr int kOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING |
                           XML_PARSE_IGNORE_ENC | XML_PARSE_COMPACT | XML_PARSE_NOBLANKS;
  // The parser reads the text in place, where a memory input would first copy it into a buffer
  // of its own (and ask that buffer for more at every chunk). The tree keeps no pointer into it.
  xmlCtxtReset(context);
  bool parsed = false;
  xmlParserInputPtr input = xmlNewStringInputStream(context, BAD_CAST text);
  if (input != nullptr && inputPush(context, input) >= 0) {
    // Before the options, which silence the handler's messages and have the tree leave out white
    // space between elements.
    *context->sax = recording != nullptr ? Recording::Handler() : TreeHandler();
    xmlCtxtUseOptions(context, kOptions);
    xmlParseDocument(context);
    *doc = context->myDoc;
    context->myDoc = nullptr;
    parsed = true;
  }
  // An undeclared namespace prefix is only a warning for libxml2, an error for MSXML.
  bool accepted =
      parsed && !parser.refused && context->wellFormed != 0 && context->nsWellFormed != 0;
  if (recording == nullptr) {
    accepted = accepted && *doc != nullptr && xmlDocGetRootElement(*doc) != nullptr;
  }
  if (recording != nullptr || !accepted) {
    if (*doc != nullptr) xmlFreeDoc(*doc);
    *doc = nullptr;
  }
  context->_private = nullptr;
  parser.recording = nullptr;
  return accepted;
}

const SharedDoc& RecordedDoc::Tree() {
  if (tree_ != nullptr) return tree_;
  std::unique_ptr<Parser> parser = Parsers().Take();
  if (parser == nullptr) return tree_;
  xmlDocPtr doc = nullptr;
  if (!ParseText(*parser, text_.c_str(), text_.size(), nullptr, &doc)) {
    Parsers().Give(std::move(parser));
    return tree_;
  }
  tree_ = std::make_shared<DocState>(doc, std::move(parser));
  return tree_;
}

XmlDomNode* RecordedNode::Tree() {
  if (tree_ != nullptr) return tree_;
  const SharedDoc& tree = doc_->Tree();
  if (tree == nullptr) return nullptr;
  const xmlNode* root = xmlDocGetRootElement(tree->Doc());
  const xmlNode* node = place_ == Place::kRoot ? root : FirstVisible(root->children);
  if (node != nullptr) tree_ = Libxml2Node::Make(tree, node);
  return tree_;
}

class Libxml2Document final : public XmlDomDocument {
 public:
  int32_t SetAsync(bool) override { return kOk; }  // loads are synchronous anyway

  int32_t LoadXml(const WChar* text, bool* well_formed) override {
    if (well_formed == nullptr) return kPointer;
    *well_formed = false;
    std::unique_ptr<Parser> parser = Parsers().Take();
    if (parser == nullptr) return kOutOfMemory;
    xmlDocPtr doc = nullptr;
    if (!WideToUtf8(text, parser->utf8) ||
        !ParseText(*parser, parser->utf8.c_str(), parser->utf8.size(), nullptr, &doc)) {
      Parsers().Give(std::move(parser));
      return kOk;
    }
    doc_ = std::make_shared<DocState>(doc, std::move(parser));
    recorded_.reset();
    *well_formed = true;
    return kOk;
  }

  // Straight from the code page to UTF-8 (ASCII, nearly every device document, is parsed where it
  // lies), and recorded for a reader that reads it whole rather than built into a tree.
  int32_t LoadAnsiXml(const char* text, bool* well_formed) override {
    if (well_formed == nullptr) return kPointer;
    *well_formed = false;
    std::unique_ptr<Parser> parser = Parsers().Take();
    if (parser == nullptr) return kOutOfMemory;
    if (text == nullptr) text = "";
    const std::size_t length = std::strlen(text);
    const std::size_t ascii = AsciiPrefix(text, length);
    const char* utf8 = text;
    std::size_t utf8_length = length;
    if (ascii != length) {
      std::string& converted = parser->utf8;
      converted.assign(text, ascii);
      AppendAnsiAsUtf8(text + ascii, length - ascii, converted);
      utf8 = converted.c_str();
      utf8_length = converted.size();
    }
    std::unique_ptr<Recording> recording = Recording::Take();
    if (recording != nullptr) recording->Reserve(utf8_length);
    xmlDocPtr doc = nullptr;
    const bool accepted =
        recording != nullptr && ParseText(*parser, utf8, utf8_length, recording.get(), &doc);
    std::string kept = accepted ? std::string(utf8, utf8_length) : std::string();
    // The recording keeps nothing of the parser's: it goes back at once.
    Parsers().Give(std::move(parser));
    if (!accepted) {
      Recording::Give(std::move(recording));
      return kOk;
    }
    recorded_ = std::make_shared<RecordedDoc>(std::move(recording), std::move(kept));
    doc_.reset();
    *well_formed = true;
    return kOk;
  }

  int32_t GetDocumentElement(XmlDomNode** root) override {
    if (root == nullptr) return kPointer;
    *root = nullptr;
    if (recorded_ != nullptr) {
      *root = new RecordedNode(recorded_, RecordedNode::Place::kRoot);
      return kOk;
    }
    if (!doc_) return kFalse;
    const xmlNode* element = xmlDocGetRootElement(doc_->Doc());
    if (element == nullptr) return kFalse;
    *root = Libxml2Node::Make(doc_, element);
    return *root != nullptr ? kOk : kOutOfMemory;
  }

  void Release() override { delete this; }

 private:
  // The loaded document: a tree, or a recording that makes its tree when asked for nodes.
  SharedDoc doc_;
  SharedRecordedDoc recorded_;
};

}  // namespace

int32_t CreateXmlDomDocument(XmlDomDocument** document) {
  if (document == nullptr) return kPointer;
  InitLibxml2Once();
  *document = new Libxml2Document();
  return kOk;
}

}  // namespace kestrel::platform
