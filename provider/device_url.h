// The device's status URL from the host setting, the secure flag and the port setting. Hosts
// show the URL a load fetched, so they take it from here rather than from a rule of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/mvn_string.h"

namespace kestrel::provider {

// The document every Room Alert serves its status as.
constexpr const char* kStatusDocumentPath = "/getData.json";

// scheme + host text + "/getData.json". A non-zero port is added to the host text (host:port)
// unless the text already names one; a bare IPv6 literal gets the brackets a port needs.
inline CMvnString& BuildDeviceUrl(const char* host, int32_t secure, uint32_t port,
                                  CMvnString& url) {
  const char* text = host != nullptr ? host : "";
  url.Assign(secure != 0 ? "https://" : "http://");
  // The port setting exists because operators enter it apart from the address; without this the
  // device would only be reached on a port written into the host text itself.
  if (port == 0) return url.Append(text).Append(kStatusDocumentPath);

  const char* scheme_end = std::strstr(text, "://");
  const char* authority = scheme_end != nullptr ? scheme_end + 3 : text;
  const char* authority_end = authority + std::strcspn(authority, "/?#");
  const char* host_start = authority;
  for (const char* p = authority; p < authority_end; ++p) {
    if (*p == '@') host_start = p + 1;
  }
  bool has_port = false;
  bool bare_ipv6 = false;
  if (*host_start == '[') {
    const char* close = static_cast<const char*>(
        std::memchr(host_start, ']', static_cast<std::size_t>(authority_end - host_start)));
    has_port = close != nullptr && close + 1 < authority_end && close[1] == ':';
  } else {
    std::size_t colons = 0;
    for (const char* p = host_start; p < authority_end; ++p) colons += *p == ':' ? 1 : 0;
    has_port = colons == 1;
    bare_ipv6 = colons > 1;
  }
  if (has_port) return url.Append(text).Append(kStatusDocumentPath);

  url.Append(text, static_cast<std::size_t>(host_start - text));
  if (bare_ipv6) url.AppendChar('[');
  url.Append(host_start, static_cast<std::size_t>(authority_end - host_start));
  if (bare_ipv6) url.AppendChar(']');
  CMvnString port_text;
  port_text.Format(":%lu", static_cast<unsigned long>(port));
  return url.Append(port_text).Append(authority_end).Append(kStatusDocumentPath);
}

}  // namespace kestrel::provider
