#include "web/address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <charconv>
#include <cstring>

namespace kestrel::web {

namespace {

constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

IpAddress FromV6Bytes(const uint8_t* bytes) {
  IpAddress address;
  if (std::memcmp(bytes, kMappedPrefix, sizeof kMappedPrefix) == 0) {
    address.family = AF_INET;
    std::memcpy(address.bytes.data(), bytes + 12, 4);
  } else {
    address.family = AF_INET6;
    std::memcpy(address.bytes.data(), bytes, 16);
  }
  return address;
}

}  // namespace

IpAddress IpAddress::FromText(const std::string& text) {
  IpAddress address;
  in_addr v4{};
  in6_addr v6{};
  if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
    address.family = AF_INET;
    std::memcpy(address.bytes.data(), &v4, 4);
  } else if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
    address = FromV6Bytes(v6.s6_addr);
  }
  return address;
}

IpAddress IpAddress::FromSockaddr(const sockaddr* address) {
  IpAddress out;
  if (address == nullptr) return out;
  if (address->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    out.family = AF_INET;
    std::memcpy(out.bytes.data(), &v4->sin_addr, 4);
  } else if (address->sa_family == AF_INET6) {
    out = FromV6Bytes(reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr.s6_addr);
  }
  return out;
}

std::string IpAddress::Text() const {
  char text[INET6_ADDRSTRLEN] = {0};
  if (family == 0 || inet_ntop(family, bytes.data(), text, sizeof text) == nullptr) return "?";
  return text;
}

IpAddress IpAddress::Prefix(int ipv4_bits) const {
  IpAddress prefix = *this;
  const int bits = family == AF_INET ? ipv4_bits : family == AF_INET6 ? 64 : 128;
  for (int bit = std::max(bits, 0); bit < 128; ++bit) {
    prefix.bytes[static_cast<std::size_t>(bit / 8)] &= static_cast<uint8_t>(~(0x80 >> (bit % 8)));
  }
  return prefix;
}

bool Network::Parse(const std::string& text, Network& network) {
  const std::size_t slash = text.find('/');
  const IpAddress base = IpAddress::FromText(text.substr(0, slash));
  if (base.family == 0) return false;
  // A mapped IPv6 network would be held as IPv4 with an IPv6 prefix length: refuse it.
  if (base.family == AF_INET && text.find(':') != std::string::npos) return false;
  const int bits = base.family == AF_INET ? 32 : 128;
  int prefix = bits;
  if (slash != std::string::npos) {
    const char* first = text.data() + slash + 1;
    const char* last = text.data() + text.size();
    const auto [end, ec] = std::from_chars(first, last, prefix);
    if (first == last || ec != std::errc() || end != last || prefix < 0 || prefix > bits) {
      return false;
    }
  }
  network.base = base;
  network.prefix = prefix;
  return true;
}

bool Network::Contains(const IpAddress& address) const {
  if (address.family == 0 || address.family != base.family) return false;
  const int whole = prefix / 8;
  if (std::memcmp(address.bytes.data(), base.bytes.data(), static_cast<std::size_t>(whole)) != 0) {
    return false;
  }
  const int rest = prefix % 8;
  if (rest == 0) return true;
  const auto mask = static_cast<uint8_t>(0xFF << (8 - rest));
  return (address.bytes[whole] & mask) == (base.bytes[whole] & mask);
}

}  // namespace kestrel::web
