// The XML parser of the platform seam on libxml2, reading as MSXML's DOMDocument does with its
// default properties, so that the reader sees the same nodes on both targets.
#include "platform/posix/libxml2_dom.h"

#include <libxml/parserInternals.h>

#include <climits>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "platform/platform.h"

namespace kestrel::platform {
namespace {

constexpr int32_t kOk = 0;
constexpr int32_t kFalse = 1;
constexpr int32_t kPointer = static_cast<int32_t>(0x80004003u);

void InitLibxml2Once() {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
}

class Libxml2Document final : public XmlDomDocument {
 public:
  int32_t ReadXmlDocument(const char* text, XmlNodeTable& table) override;
  void Release() override { delete this; }

 private:
  ~Libxml2Document() { xmlFreeParserCtxt(context_); }

  // Text in the code page as the parser reads it: UTF-8 (ASCII, nearly every device document, is
  // read where it lies).
  const char* Utf8(const char* text, std::size_t& length);
  bool Parse(const char* utf8, std::size_t length, XmlNodeTable& table);

  // Made at the first document and kept for the next ones this document reads.
  xmlParserCtxtPtr context_ = nullptr;
  std::string utf8_;
};

const char* Libxml2Document::Utf8(const char* text, std::size_t& length) {
  length = std::strlen(text);
  const std::size_t ascii = AsciiPrefix(text, length);
  if (ascii == length) return text;
  utf8_.assign(text, ascii);
  AppendAnsiAsUtf8(text + ascii, length - ascii, utf8_);
  length = utf8_.size();
  return utf8_.c_str();
}

// utf8 is NUL-terminated at length and stays alive until this returns.
bool Libxml2Document::Parse(const char* utf8, std::size_t length, XmlNodeTable& table) {
  if (length == 0 || length > INT_MAX) return false;
  if (context_ == nullptr) context_ = xmlNewParserCtxt();
  if (context_ == nullptr) return false;
  // The text arrives as characters, so an encoding named in its declaration is meaningless, and
  // UTF-8 is what the parser reads without a converter.
  constexpr int kOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING |
                           XML_PARSE_IGNORE_ENC | XML_PARSE_NOBLANKS;
  libxml2::TableFiller filler(table);
  xmlCtxtReset(context_);
  // The parser reads the text in place, where a memory input would first copy it.
  xmlParserInputPtr input = xmlNewStringInputStream(context_, BAD_CAST utf8);
  if (input == nullptr || inputPush(context_, input) < 0) return false;
  // Before the options, which silence the handler's messages.
  *context_->sax = libxml2::TableFiller::Handler();
  xmlCtxtUseOptions(context_, kOptions);
  context_->_private = &filler;
  xmlParseDocument(context_);
  context_->_private = nullptr;
  // An undeclared namespace prefix is only a warning for libxml2, an error for MSXML.
  return !filler.Refused() && context_->wellFormed != 0 && context_->nsWellFormed != 0 &&
         filler.SawDocumentElement();
}

int32_t Libxml2Document::ReadXmlDocument(const char* text, XmlNodeTable& table) {
  table.Clear();
  if (text == nullptr) return kFalse;
  std::size_t length = 0;
  const char* utf8 = Utf8(text, length);
  return Parse(utf8, length, table) ? kOk : kFalse;
}

}  // namespace

int32_t CreateXmlDomDocument(XmlDomDocument** document) {
  if (document == nullptr) return kPointer;
  InitLibxml2Once();
  *document = new Libxml2Document();
  return kOk;
}

}  // namespace kestrel::platform
