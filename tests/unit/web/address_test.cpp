#include <gtest/gtest.h>
#include <netinet/in.h>

#include <string>

#include "web/address.h"

namespace {

using namespace kestrel::web;

TEST(AddressTest, ClientsInsideAndOutsideNetworks) {
  const struct {
    const char* network;
    const char* client;
    bool inside;
  } kCases[] = {
      {"127.0.0.0/8", "127.1.2.3", true},
      {"10.1.0.0/16", "10.1.255.255", true},
      {"192.0.2.7", "192.0.2.7", true},  // a bare address is a /32
      {"192.0.2.0/25", "192.0.2.127", true},
      {"192.0.2.0/25", "192.0.2.128", false},
      {"0.0.0.0/0", "203.0.113.9", true},
      {"0.0.0.0/0", "::1", false},  // an IPv4 network holds no IPv6 client
      {"::1/128", "::1", true},
      {"fd00::/8", "fdab::9", true},
      {"::/0", "10.0.0.1", false},
      {"10.0.0.0/8", "::ffff:10.9.8.7", true},  // a dual-stack socket's view of an IPv4 client
      {"10.0.0.0/8", "not an address", false},
  };
  for (const auto& c : kCases) {
    Network network;
    ASSERT_TRUE(Network::Parse(c.network, network)) << c.network;
    EXPECT_EQ(network.Contains(IpAddress::FromText(c.client)), c.inside)
        << c.network << " " << c.client;
  }
  for (const char* bad : {"10.0.0.0/33", "::/129", "10.0.0.0/", "10.0.0/8", "localhost"}) {
    Network network;
    EXPECT_FALSE(Network::Parse(bad, network)) << bad;
  }
}

TEST(AddressTest, SocketAddressesAsTheServerHandsThemOver) {
  sockaddr_in6 mapped{};
  mapped.sin6_family = AF_INET6;
  mapped.sin6_addr.s6_addr[10] = 0xFF;
  mapped.sin6_addr.s6_addr[11] = 0xFF;
  mapped.sin6_addr.s6_addr[12] = 127;
  mapped.sin6_addr.s6_addr[15] = 1;
  EXPECT_EQ(IpAddress::FromSockaddr(reinterpret_cast<sockaddr*>(&mapped)).Text(), "127.0.0.1");
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_addr.s_addr = htonl(0x0A000001);
  EXPECT_EQ(IpAddress::FromSockaddr(reinterpret_cast<sockaddr*>(&v4)).Text(), "10.0.0.1");
  EXPECT_EQ(IpAddress::FromSockaddr(nullptr).family, 0);
}

}  // namespace
