// The device's JSON as the intermediate XML text: cleaned, parsed and rendered as indented lines
// inside the "json" and "device" frame.
#pragma once

#include <cstdint>

#include "common/mvn_string.h"

namespace kestrel::transport {

// 0 with the XML text, or -1 with the reason in detail and xml empty.
int32_t ConvertJsonToXml(const char* json, CMvnString& xml, CMvnString& detail);

}  // namespace kestrel::transport
