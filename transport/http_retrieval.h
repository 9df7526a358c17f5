// One GET through the network component: up to three attempts within the retry deadline, then the
// checks that turn the component's answers into a result and a detail text.
#pragma once

#include <cstdint>

#include "common/mvn_string.h"
#include "platform/platform.h"

namespace kestrel::transport {

// 0 with the JSON text in body, or -1 with the reason in detail; neither is emptied first.
int32_t GetDocument(platform::HttpComponent& component, const char* url, CMvnString& body,
                    CMvnString& detail);

}  // namespace kestrel::transport
