#include <libxml/parserInternals.h>

#include <cstring>

#include "platform/posix/libxml2_dom.h"

namespace kestrel::platform::libxml2 {

const xmlSAXHandler& TableFiller::Handler() {
  static const xmlSAXHandler handler = [] {
    xmlSAXHandler h{};
    xmlSAXVersion(&h, 2);
    // No document node: nothing is built.
    h.startDocument = nullptr;
    h.endDocument = nullptr;
    h.internalSubset = DocumentType;
    h.startElementNs = StartElement;
    h.endElementNs = EndElement;
    h.characters = Characters;
    h.ignorableWhitespace = Characters;
    h.cdataBlock = CData;
    h.comment = Comment;
    h.processingInstruction = Instruction;
    h.reference = Reference;
    return h;
  }();
  return handler;
}

TableFiller& TableFiller::Of(void* context) {
  return *static_cast<TableFiller*>(static_cast<xmlParserCtxtPtr>(context)->_private);
}

void TableFiller::Refuse(void* context) {
  Of(context).refused_ = true;
  xmlStopParser(static_cast<xmlParserCtxtPtr>(context));
}

// A document type declaration is refused as soon as the parser meets it, before any of its
// declarations are read (MSXML 6 prohibits DTDs by default as well). The device never sends one,
// and it is the only way in for entity expansion ("billion laughs") and external entities.
void TableFiller::DocumentType(void* context, const xmlChar*, const xmlChar*, const xmlChar*) {
  Refuse(context);
}

// Only an entity declared in a document type comes here as a reference, and there is none; were
// one to come, its text could not be given as MSXML gives it.
void TableFiller::Reference(void* context, const xmlChar*) {
  Refuse(context);
}

void TableFiller::EndText() {
  if (text_.empty()) return;
  const char* begin = text_.data();
  const char* end = begin + text_.size();
  TrimXmlSpace(begin, end);
  if (begin != end) {
    value_.Set(begin, static_cast<std::size_t>(end - begin));
    table_.AddText(level_ - 1, value_.data(), value_.size());
  }
  text_.clear();
}

void TableFiller::Other() {
  EndText();
  if (level_ > 0) table_.AddOther(level_ - 1);
}

void TableFiller::AddAttribute(const char* name, const char* value, std::size_t length) {
  name_.Set(name, std::strlen(name));
  value_.Set(value, length);
  table_.AddAttribute(name_.data(), name_.size(), value_.data(), value_.size());
}

void TableFiller::StartElement(void* context, const xmlChar* name, const xmlChar* prefix,
                               const xmlChar* /*uri*/, int namespace_count,
                               const xmlChar** namespaces, int attribute_count, int /*defaulted*/,
                               const xmlChar** attributes) {
  TableFiller& f = Of(context);
  f.EndText();
  f.saw_root_ = true;
  // The document element's own name and attributes are not read.
  if (f.level_++ == 0) return;
  QualifiedName(reinterpret_cast<const char*>(prefix), reinterpret_cast<const char*>(name),
                f.qualified_);
  f.name_.Set(f.qualified_.data(), f.qualified_.size());
  f.table_.AddElement(f.level_ - 2, f.name_.data(), f.name_.size());
  // Namespace declarations first, as MSXML's attribute map lists them.
  for (int i = 0; i < namespace_count; ++i) {
    const auto* declared = reinterpret_cast<const char*>(namespaces[2 * i]);
    const auto* uri = reinterpret_cast<const char*>(namespaces[2 * i + 1]);
    QualifiedName(declared != nullptr ? "xmlns" : nullptr, declared != nullptr ? declared : "xmlns",
                  f.qualified_);
    f.AddAttribute(f.qualified_.c_str(), uri != nullptr ? uri : "",
                   uri != nullptr ? std::strlen(uri) : 0);
  }
  for (int i = 0; i < attribute_count; ++i) {
    const xmlChar* const* at = attributes + 5 * i;
    const auto* value = reinterpret_cast<const char*>(at[3]);
    auto length = static_cast<std::size_t>(at[4] - at[3]);
    if (std::memchr(value, '&', length) != nullptr) {
      ReplaceReferences(value, length, f.replaced_);
      value = f.replaced_.data();
      length = f.replaced_.size();
    }
    QualifiedName(reinterpret_cast<const char*>(at[1]), reinterpret_cast<const char*>(at[0]),
                  f.qualified_);
    f.AddAttribute(f.qualified_.c_str(), value, length);
  }
}

void TableFiller::EndElement(void* context, const xmlChar*, const xmlChar*, const xmlChar*) {
  TableFiller& f = Of(context);
  f.EndText();
  if (f.level_ > 0) --f.level_;
}

void TableFiller::Characters(void* context, const xmlChar* text, int length) {
  TableFiller& f = Of(context);
  if (f.level_ > 0 && length > 0) {
    f.text_.append(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length));
  }
}

void TableFiller::CData(void* context, const xmlChar*, int) {
  Of(context).Other();
}
void TableFiller::Comment(void* context, const xmlChar*) {
  Of(context).Other();
}
void TableFiller::Instruction(void* context, const xmlChar*, const xmlChar*) {
  Of(context).Other();
}

}  // namespace kestrel::platform::libxml2
