// Client addresses and the networks they belong to: what the server hands a handler of its peer,
// and what any rule about where clients come from is written in.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <string>

namespace kestrel::web {

// An IPv4 or IPv6 address; an IPv4-mapped IPv6 address (::ffff:a.b.c.d, what a dual-stack
// socket reports for an IPv4 client) is held as the IPv4 address it carries.
struct IpAddress {
  int family = 0;  // AF_INET, AF_INET6; 0: unknown (never inside any network)
  std::array<uint8_t, 16> bytes{};

  static IpAddress FromText(const std::string& text);
  // What the server calls with the connection's peer address; null gives an unknown one.
  static IpAddress FromSockaddr(const sockaddr* address);
  std::string Text() const;
  // The network a client's limits are counted in: an IPv4 address's first ipv4_bits, an IPv6
  // address's /64 (one host is handed a whole /64), as the address of that network.
  IpAddress Prefix(int ipv4_bits) const;

  bool operator==(const IpAddress& other) const {
    return family == other.family && bytes == other.bytes;
  }
  bool operator<(const IpAddress& other) const {
    return family != other.family ? family < other.family : bytes < other.bytes;
  }
};

struct Network {
  IpAddress base;
  int prefix = 0;  // bits

  // CIDR text (10.0.0.0/8, fd00::/8); a bare address is the network of that address alone.
  static bool Parse(const std::string& text, Network& network);
  bool Contains(const IpAddress& address) const;
};

}  // namespace kestrel::web
