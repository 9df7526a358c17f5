// The device's status URL from the host setting, the secure flag and the port setting.
#pragma once

#include <cstdint>

#include "common/mvn_string.h"

namespace kestrel::provider {

// scheme + host text + "/getData.json". A non-zero port is added to the host text (host:port)
// unless the text already names one; a bare IPv6 literal gets the brackets a port needs.
CMvnString& BuildDeviceUrl(const char* host, int32_t secure, uint32_t port, CMvnString& url);

}  // namespace kestrel::provider
