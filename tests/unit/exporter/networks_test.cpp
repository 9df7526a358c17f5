#include <gtest/gtest.h>
#include <netinet/in.h>

#include <string>

#include "programs/kestrel-exporter/networks.h"

namespace {

using namespace kestrel::exporter;

// What a caller may name as an unlisted target: the module puts the text straight into its URL,
// so anything past host[:port] would reach another path, user or host than the one it names.
TEST(NetworksTest, UnlistedTargetShapes) {
  const struct {
    const char* text;
    bool accepted;
  } kCases[] = {
      {"10.0.0.9", true},
      {"10.0.0.9:8080", true},
      {"d3.localhost:65535", true},
      {"[fd00::1]:80", true},
      {"10.0.0.9:80/admin", false},         // a path of the device's own web server
      {"host:80/admin%3Fq%3D1%23", false},  // what a port scanner sent, decoded once already
      {"admin:pw@10.0.0.9", false},         // credentials of the caller's choosing
      {"10.0.0.9?x=1", false},
      {"10.0.0.9:0", false},
      {"10.0.0.9:65536", false},
      {"10.0.0.9:080", false},
      {"http://10.0.0.9", false},
      {"[fd00::1%eth0]", false},
      {"[not-v6]:80", false},
      {"fd00::1", false},  // unbracketed: the port would be ambiguous
      {"-bad.example", false},
      {"%31%30.0.0.9", false},
      {"", false},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(IsHostAndPort(c.text), c.accepted) << c.text;
  }
  EXPECT_FALSE(IsHostAndPort(std::string(64, 'a') + ".example"));  // a label over 63
}

TEST(NetworksTest, ClientsInsideAndOutsideNetworks) {
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

TEST(NetworksTest, SocketAddressesAsTheServerHandsThemOver) {
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
