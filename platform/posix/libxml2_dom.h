// The parts of the Linux XML parser: one SAX pass of libxml2 that fills the reader's node table.
#pragma once

#include <libxml/parser.h>

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "platform/posix/libxml2_text.h"

namespace kestrel::platform::libxml2 {

// What one parse writes into the table, from libxml2's SAX callbacks: the nodes below the
// document element as MSXML's DOM shows them. Without a tree the parser cannot tell white space
// between elements from text, so character data is gathered until the next markup and becomes a
// text only when something is left of it once trimmed.
class TableFiller {
 public:
  explicit TableFiller(XmlNodeTable& table) : table_(table) {}
  TableFiller(const TableFiller&) = delete;
  TableFiller& operator=(const TableFiller&) = delete;

  // The handler whose callbacks find this filler through the parser context's _private.
  static const xmlSAXHandler& Handler();

  // Something the parse must not accept (a document type); the parser is stopped.
  bool Refused() const { return refused_; }
  bool SawDocumentElement() const { return saw_root_; }

 private:
  static TableFiller& Of(void* context);
  static void Refuse(void* context);

  void EndText();
  void Other();
  void AddAttribute(const char* name, const char* value, std::size_t length);

  static void StartElement(void* context, const xmlChar* name, const xmlChar* prefix,
                           const xmlChar* uri, int namespace_count, const xmlChar** namespaces,
                           int attribute_count, int defaulted, const xmlChar** attributes);
  static void EndElement(void* context, const xmlChar* name, const xmlChar* prefix,
                         const xmlChar* uri);
  static void Characters(void* context, const xmlChar* text, int length);
  static void CData(void* context, const xmlChar* text, int length);
  static void Comment(void* context, const xmlChar* text);
  static void Instruction(void* context, const xmlChar* target, const xmlChar* data);
  static void DocumentType(void* context, const xmlChar* name, const xmlChar* public_id,
                           const xmlChar* system_id);
  static void Reference(void* context, const xmlChar* name);

  XmlNodeTable& table_;
  uint32_t level_ = 0;  // elements open, the document element included
  bool saw_root_ = false;
  bool refused_ = false;
  std::string text_;  // character data since the last markup
  std::string qualified_;
  std::string replaced_;
  AnsiText name_;
  AnsiText value_;
};

}  // namespace kestrel::platform::libxml2
