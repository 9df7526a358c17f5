#include "programs/kestrel-exporter/networks.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>

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

bool EndsWithNoCase(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         std::equal(tail.rbegin(), tail.rend(), text.rbegin(), [](char ours, char theirs) {
           return std::tolower(static_cast<unsigned char>(theirs)) == ours;
         });
}

// Ranges an unlisted target reaches only through a listed network inside them: a network wide
// enough to hold devices (10.0.0.0/8, 0.0.0.0/0) must not open the metadata service of a cloud
// machine or the services of this one.
struct Guarded {
  const char* network;
  const char* what;
  bool this_machine;
};
constexpr Guarded kGuarded[] = {
    {"169.254.0.0/16", "link-local", false},
    {"fe80::/10", "link-local", false},
    {"127.0.0.0/8", "loopback (this machine)", true},
    {"::1/128", "loopback (this machine)", true},
    {"0.0.0.0/8", "this machine (a connection to 0.0.0.0 reaches it)", true},
    {"::/128", "this machine (a connection to :: reaches it)", true},
};

bool Within(const web::Network& inner, const web::Network& outer) {
  return inner.base.family == outer.base.family && inner.prefix >= outer.prefix &&
         outer.Contains(inner.base);
}

bool SameAddress(const web::IpAddress& a, const web::IpAddress& b) {
  return a.family == b.family && a.bytes == b.bytes;
}

}  // namespace

bool SplitHostAndPort(const std::string& text, std::string& host, uint16_t& port) {
  std::string port_text;
  if (!text.empty() && text[0] == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    const std::string rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':') return false;
      port_text = rest.substr(1);
      if (port_text.empty()) return false;
    }
    in6_addr v6{};
    if (host.find('%') != std::string::npos || inet_pton(AF_INET6, host.c_str(), &v6) != 1) {
      return false;
    }
  } else {
    const std::size_t colon = text.find(':');
    host = text.substr(0, colon);
    if (colon != std::string::npos) {
      port_text = text.substr(colon + 1);
      if (port_text.empty()) return false;
    }
    if (!IsHostName(host)) return false;
  }
  port = 0;
  if (port_text.empty()) return true;
  unsigned value = 0;
  const auto [end, ec] =
      std::from_chars(port_text.data(), port_text.data() + port_text.size(), value);
  if (ec != std::errc() || end != port_text.data() + port_text.size() || value < 1 ||
      value > 65535 || port_text[0] == '0') {
    return false;
  }
  port = static_cast<uint16_t>(value);
  return true;
}

bool IsHostAndPort(const std::string& text) {
  std::string host;
  uint16_t port = 0;
  return SplitHostAndPort(text, host, port);
}

bool LiteralAddress(const std::string& host, web::IpAddress& address) {
  in_addr v4{};
  // inet_aton, not inet_pton: the shorthand forms are addresses to libcurl too.
  if (inet_aton(host.c_str(), &v4) != 0) {
    address = web::IpAddress();
    address.family = AF_INET;
    std::memcpy(address.bytes.data(), &v4, 4);
    return true;
  }
  if (host.find(':') != std::string::npos) {
    address = web::IpAddress::FromText(host);
    return address.family != 0;
  }
  if (EndsWithNoCase(host, "localhost") && (host.size() == 9 || host[host.size() - 10] == '.')) {
    address = web::IpAddress::FromText("127.0.0.1");
    return true;
  }
  return false;
}

std::vector<web::IpAddress> ResolveHost(const std::string& host, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_ADDRCONFIG;
  addrinfo* found = nullptr;
  const int status = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  std::vector<web::IpAddress> addresses;
  if (status != 0) {
    error = "cannot resolve " + host + ": " + ::gai_strerror(status);
    return addresses;
  }
  for (const addrinfo* at = found; at != nullptr; at = at->ai_next) {
    const web::IpAddress address = web::IpAddress::FromSockaddr(at->ai_addr);
    const bool seen = std::any_of(addresses.begin(), addresses.end(),
                                  [&](const web::IpAddress& a) { return SameAddress(a, address); });
    if (address.family != 0 && !seen) addresses.push_back(address);
  }
  ::freeaddrinfo(found);
  if (addresses.empty()) error = "cannot resolve " + host + ": no IPv4 or IPv6 address";
  return addresses;
}

std::string AddressAndPort(const web::IpAddress& address, uint16_t port) {
  const std::string text = address.Text();
  return (address.family == AF_INET6 ? "[" + text + "]" : text) + ":" + std::to_string(port);
}

std::vector<web::IpAddress> OwnAddresses() {
  std::vector<web::IpAddress> own;
  ifaddrs* interfaces = nullptr;
  if (::getifaddrs(&interfaces) != 0) return own;
  for (const ifaddrs* at = interfaces; at != nullptr; at = at->ifa_next) {
    const web::IpAddress address = web::IpAddress::FromSockaddr(at->ifa_addr);
    if (address.family != 0) own.push_back(address);
  }
  ::freeifaddrs(interfaces);
  return own;
}

std::string UnreachableReason(const web::IpAddress& address, uint16_t port,
                              const std::vector<web::Network>& reachable, uint16_t own_port,
                              const std::vector<web::IpAddress>& own_addresses) {
  const std::string text = address.Text();
  web::Network guard;
  const char* what = nullptr;
  bool this_machine = false;
  for (const Guarded& g : kGuarded) {
    web::Network network;
    if (web::Network::Parse(g.network, network) && network.Contains(address)) {
      guard = network;
      what = g.what;
      this_machine = g.this_machine;
    }
  }
  for (const web::IpAddress& own : own_addresses) {
    if (what == nullptr && SameAddress(own, address)) {
      guard = web::Network{own, own.family == AF_INET ? 32 : 128};
      what = "one of this machine's own addresses";
      this_machine = true;
    }
  }
  if (this_machine && port == own_port) {
    return AddressAndPort(address, port) + " is this exporter itself";
  }
  const auto listed = [&](const web::Network& network) {
    return network.Contains(address) && (what == nullptr || Within(network, guard));
  };
  if (std::any_of(reachable.begin(), reachable.end(), listed)) return std::string();
  if (what == nullptr) {
    return text + " is in no network of unlisted_targets_reachable_networks";
  }
  const std::string range = guard.base.Text() + "/" + std::to_string(guard.prefix);
  return text + " is " + what + ": only a network within " + range +
         " in unlisted_targets_reachable_networks reaches it";
}

}  // namespace kestrel::exporter
