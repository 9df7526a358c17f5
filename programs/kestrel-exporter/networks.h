// The one shape an unlisted target may have. What a caller names goes into the module's URL as it
// is, so nothing past host[:port] may pass.
#pragma once

#include <string>

namespace kestrel::exporter {

// Whether text is host[:port]: a host name, an IPv4 address or a bracketed IPv6 address, and a
// port from 1 to 65535. Nothing else reaches the module from a caller: no user, path, query or
// fragment, no percent escapes.
bool IsHostAndPort(const std::string& text);

}  // namespace kestrel::exporter
