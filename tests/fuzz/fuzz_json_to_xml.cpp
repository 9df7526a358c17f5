// Arbitrary bytes through the cleaning, the parse and the rendering: no crash, no hang, the result
// is always one of the two documented shapes, and the conversion (which writes XML as it reads)
// gives exactly what the parser's tree and its rendering give.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/mvn_string.h"
#include "provider/provider_app.h"
#include "transport/json_cleaning.h"
#include "transport/json_parser.h"

namespace {

constexpr const char kOpen[] = "<json>\r\n<device>\r\n";
constexpr const char kClose[] = "\r\n</device>\r\n</json>";

// The conversion by way of the tree: clean, parse, render the root's children, frame.
int32_t ConvertThroughTree(const char* json, std::string& xml, std::string& detail) {
  CMvnString text;
  kestrel::transport::CleanJson(json, text);
  CMvnJson parser;
  if (parser.Parse(text.Text()) != 0) {
    detail = "Failed to parse JSON data";
    return -1;
  }
  CMvnJsonObject* root = parser.GetRoot();
  if (root == nullptr) {
    detail = "Failed to find JSON root object.";
    return -1;
  }
  CMvnString body;
  if (root->AppendXml(body, 1) != 0) {
    detail = "Failed to parse JSON data";
    return -1;
  }
  xml = std::string(kOpen) + body.Text() + kClose;
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The device text is NUL-terminated: an embedded NUL simply ends it.
  std::string json(reinterpret_cast<const char*>(data), size);
  CMvnString xml;
  CMvnString detail;
  const int32_t result = CEnvProviderApp::ConvertJsonToXml(json.c_str(), xml, detail);
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
  std::string tree_xml;
  std::string tree_detail;
  if (ConvertThroughTree(json.c_str(), tree_xml, tree_detail) != result || tree_xml != xml.Text() ||
      tree_detail != detail.Text()) {
    std::abort();
  }
  return 0;
}
