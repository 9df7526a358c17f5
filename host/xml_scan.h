// A reader for the device documents the module writes: one pass over the text, each element and
// each run of character data handed on as it comes, nothing built. The documents are XML of a
// plain kind (elements, character data, the predefined and numeric references, a declaration),
// and a host reads one after every load, so this reads that kind fast, the same on every
// platform, and refuses anything else (a document type, an undefined reference, tags that do not
// nest) with the line where it stopped.
#pragma once

#include <cstddef>
#include <string>

namespace kestrel::host {

class XmlEvents {
 public:
  virtual void Start(const char* name, std::size_t length) = 0;
  virtual void End() = 0;
  // Character data of the element last started and not yet ended, references replaced; one
  // element's text may come in several pieces.
  virtual void Text(const char* text, std::size_t length) = 0;
  // Whether the text that follows is wanted at all (the blanks between elements seldom are): a
  // run that is not is checked, not decoded.
  virtual bool WantsText() const { return true; }

 protected:
  ~XmlEvents() = default;
};

// Reads text (UTF-8, NUL-terminated at its size). false with error ("line N: what") when it is no
// well-formed document of that kind; the events until then have been handed on.
bool ScanXml(const std::string& text, XmlEvents& events, std::string& error);

}  // namespace kestrel::host
