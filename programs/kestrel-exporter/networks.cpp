#include "programs/kestrel-exporter/networks.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cctype>
#include <charconv>

namespace kestrel::exporter {

namespace {

bool IsHostName(const std::string& text) {
  if (text.empty() || text.size() > 253) return false;
  std::size_t label = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
      continue;
    }
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') return false;
    if (c == '-' && label == 0) return false;
    if (++label > 63) return false;
  }
  return label > 0;
}

}  // namespace

bool IsHostAndPort(const std::string& text) {
  std::string host = text;
  std::string port;
  if (!text.empty() && text[0] == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    const std::string rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':') return false;
      port = rest.substr(1);
      if (port.empty()) return false;
    }
    in6_addr v6{};
    if (host.find('%') != std::string::npos || inet_pton(AF_INET6, host.c_str(), &v6) != 1) {
      return false;
    }
  } else {
    const std::size_t colon = text.find(':');
    if (colon != std::string::npos) {
      host = text.substr(0, colon);
      port = text.substr(colon + 1);
      if (port.empty()) return false;
    }
    if (!IsHostName(host)) return false;
  }
  if (port.empty()) return true;
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
  return ec == std::errc() && end == port.data() + port.size() && value >= 1 && value <= 65535 &&
         port[0] != '0';
}

}  // namespace kestrel::exporter
