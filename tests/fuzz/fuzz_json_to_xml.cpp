// Arbitrary bytes through the cleaning, the parse and the rendering: no crash, no hang, the result
// is always one of the two documented shapes, and three ways to the same document agree byte for
// byte: the conversion with its fast paths (what ships), the same conversion reading the state
// table character by character, and the plain parser's tree rendered afterwards. Failures agree
// on what went wrong and where.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/mvn_string.h"
#include "provider/provider_app.h"
#include "transport/json_cleaning.h"
#include "transport/json_parser.h"
#include "transport/json_to_xml.h"

namespace {

using kestrel::transport::JsonParseResult;
using kestrel::transport::JsonPaths;
using kestrel::transport::JsonStatus;

constexpr const char kOpen[] = "<json>\r\n<device>\r\n";
constexpr const char kClose[] = "\r\n</device>\r\n</json>";

void Require(bool holds) {
  if (!holds) std::abort();
}

// The conversion by way of the tree: clean, parse, render the root's children, frame. A syntax
// failure's offset is mapped back to the text as received, as the conversion does.
JsonParseResult ConvertThroughTree(const char* json, std::string& xml) {
  CMvnString text;
  kestrel::transport::CleanJson(json, text);
  CMvnJson parser;
  if (parser.Parse(text.Text(), JsonPaths::kPlain) != 0) {
    JsonParseResult result = parser.Result();
    if (result.status != JsonStatus::kEmptyText) {
      // The byte found wrong is the same byte in the text as received (or the "[" of a "[]"
      // that the cleaning made into null).
      const std::size_t at = result.offset;
      Require(at < text.Length());
      result.offset = kestrel::transport::SourceOffset(json, at);
      Require(json[result.offset] == text.Text()[at] || json[result.offset] == '[');
    }
    return result;
  }
  CMvnJsonObject* root = parser.GetRoot();
  if (root == nullptr) return {JsonStatus::kNoRoot, 0};
  CMvnString body;
  if (root->AppendXml(body, 1) != 0) return {JsonStatus::kNameTooLong, 0};
  xml = std::string(kOpen) + body.Text() + kClose;
  return {};
}

void CheckShape(int32_t result, const CMvnString& xml, const CMvnString& detail) {
  if (result == 0) {
    // Member names are written unchecked, so well-formedness is not a property of every input
    // (nor is a body free of CR: a "\r" escape puts one into a value); the frame is.
    const std::size_t n = xml.Length();
    const std::size_t open = sizeof kOpen - 1;
    const std::size_t close = sizeof kClose - 1;
    Require(detail.IsEmpty() && n >= open + close && std::memcmp(xml.Text(), kOpen, open) == 0 &&
            std::memcmp(xml.Text() + n - close, kClose, close) == 0);
  } else {
    Require(result == -1 && xml.IsEmpty() && !detail.IsEmpty());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The device text is NUL-terminated: an embedded NUL simply ends it.
  std::string json(reinterpret_cast<const char*>(data), size);
  CMvnString xml;
  CMvnString detail;
  const int32_t result = CEnvProviderApp::ConvertJsonToXml(json.c_str(), xml, detail);
  CheckShape(result, xml, detail);

  CMvnString fast_xml;
  const JsonParseResult fast =
      kestrel::transport::ConvertJsonToXml(json.c_str(), fast_xml, JsonPaths::kFast);
  Require(fast.Ok() == (result == 0) && std::strcmp(fast_xml.Text(), xml.Text()) == 0 &&
          std::strcmp(kestrel::transport::ConversionDetail(fast), detail.Text()) == 0);
  Require(fast.Ok() || fast.offset <= std::strlen(json.c_str()));

  CMvnString plain_xml;
  const JsonParseResult plain =
      kestrel::transport::ConvertJsonToXml(json.c_str(), plain_xml, JsonPaths::kPlain);
  Require(plain.status == fast.status && plain.offset == fast.offset &&
          std::strcmp(plain_xml.Text(), fast_xml.Text()) == 0);

  // The tree knows no offset for the two failures found after the parse.
  std::string tree_xml;
  const JsonParseResult tree = ConvertThroughTree(json.c_str(), tree_xml);
  const bool after_parse =
      fast.status == JsonStatus::kNoRoot || fast.status == JsonStatus::kNameTooLong;
  Require(tree.status == fast.status && (after_parse || tree.offset == fast.offset) &&
          tree_xml == xml.Text());
  return 0;
}
