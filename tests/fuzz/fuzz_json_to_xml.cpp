// Arbitrary bytes through the cleaning, the parse and the rendering: no crash, no hang, and the
// result is always one of the two documented shapes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/mvn_string.h"
#include "provider/provider_app.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The device text is NUL-terminated: an embedded NUL simply ends it.
  std::string json(reinterpret_cast<const char*>(data), size);
  CMvnString xml;
  CMvnString detail;
  const int32_t result = CEnvProviderApp::ConvertJsonToXml(json.c_str(), xml, detail);
  static const char kOpen[] = "<json>\r\n<device>\r\n";
  static const char kClose[] = "\r\n</device>\r\n</json>";
  if (result == 0) {
    // Member names are written unchecked, so well-formedness is not a property of every input
    // (nor is a body free of CR: a "\r" escape puts one into a value); the frame is.
    const std::size_t n = xml.Length();
    const std::size_t open = sizeof kOpen - 1;
    const std::size_t close = sizeof kClose - 1;
    if (!detail.IsEmpty() || n < open + close || std::memcmp(xml.Text(), kOpen, open) != 0 ||
        std::memcmp(xml.Text() + n - close, kClose, close) != 0) {
      std::abort();
    }
  } else if (result != -1 || !xml.IsEmpty() || detail.IsEmpty()) {
    std::abort();
  }
  return 0;
}
