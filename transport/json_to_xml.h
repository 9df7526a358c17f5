// The device's JSON as the intermediate XML text: cleaned, parsed and rendered as indented lines
// inside the "json" and "device" frame.
#pragma once

#include <cstdint>

#include "common/mvn_string.h"
#include "transport/json_parser.h"

namespace kestrel::transport {

// 0 with the XML text, or -1 with the reason in detail and xml empty.
int32_t ConvertJsonToXml(const char* json, CMvnString& xml, CMvnString& detail);

// The same conversion, saying what went wrong and where (an offset into json as received, before
// the cleaning) rather than in the provider's words; xml is empty on failure.
JsonParseResult ConvertJsonToXml(const char* json, CMvnString& xml,
                                 JsonPaths paths = JsonPaths::kFast);
// The detail text the provider gives for a conversion's result: empty for success.
const char* ConversionDetail(const JsonParseResult& result);

}  // namespace kestrel::transport
