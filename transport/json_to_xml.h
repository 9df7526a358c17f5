// The device's JSON as the intermediate XML text that the device reader walks.
#pragma once

#include "common/mvn_string.h"
#include "transport/json_parser.h"

namespace kestrel::transport {

// The framed document ("<json>", "<device>", the lines of the root's children), or an empty xml
// and why not; a failure's offset is into json as received, before the cleaning.
JsonParseResult ConvertJsonToXml(const char* json, CMvnString& xml,
                                 JsonPaths paths = JsonPaths::kFast);
// The detail text the provider gives for a conversion's result: empty for success.
const char* ConversionDetail(const JsonParseResult& result);

}  // namespace kestrel::transport
