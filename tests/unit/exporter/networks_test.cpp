#include "programs/kestrel-exporter/networks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "web/address.h"

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

// Every spelling of an address names one target, so a caller cannot multiply providers by
// spelling one device many ways; names other than localhost's are left to the resolver.
TEST(NetworksTest, LiteralAddressesAndTheirOneName) {
  const struct {
    const char* host;
    const char* name;  // as the target is named with port 80; empty: not a literal address
  } kCases[] = {
      {"127.0.0.1", "127.0.0.1:80"},    {"127.1", "127.0.0.1:80"},
      {"2130706433", "127.0.0.1:80"},   {"0x7f.1", "127.0.0.1:80"},
      {"017700000001", "127.0.0.1:80"}, {"::ffff:127.0.0.1", "127.0.0.1:80"},
      {"localhost", "127.0.0.1:80"},    {"d3.LocalHost", "127.0.0.1:80"},
      {"fe80::0:1", "[fe80::1]:80"},    {"notlocalhost", ""},
      {"localhost.example", ""},        {"ra3w.lan", ""},
  };
  for (const auto& c : kCases) {
    kestrel::web::IpAddress address;
    const bool literal = LiteralAddress(c.host, address);
    EXPECT_EQ(literal ? AddressAndPort(address, 80) : "", c.name) << c.host;
  }
}

// Where an unlisted target may point. Rows marked "wide" are the faults that matter: a network
// listed to hold devices must not open this machine, its link-local neighbours (a cloud's
// metadata service) or the exporter itself.
TEST(NetworksTest, WhereUnlistedTargetsMayPoint) {
  const struct {
    const char* address;
    uint16_t port;
    std::vector<const char*> reachable;
    const char* refused;  // part of the reason; empty: reachable
  } kCases[] = {
      {"10.1.2.3", 80, {}, "in no network"},
      {"10.1.2.3", 80, {"192.168.0.0/16", "::/0"}, "in no network"},
      {"10.1.2.3", 80, {"10.0.0.0/8"}, ""},
      {"169.254.169.254", 80, {"0.0.0.0/0"}, "is link-local: only a network within 169.254.0.0/16"},
      {"169.254.169.254", 80, {"169.254.169.254/32"}, ""},
      {"fe80::1", 80, {"::/0"}, "link-local"},       // wide
      {"127.0.0.1", 22, {"0.0.0.0/0"}, "loopback"},  // wide
      {"127.0.0.1", 22, {"127.0.0.0/8"}, ""},
      {"::1", 80, {"::/0"}, "loopback"},                      // wide
      {"0.0.0.0", 80, {"0.0.0.0/0"}, "this machine"},         // wide
      {"192.0.2.10", 80, {"192.0.2.0/24"}, "own addresses"},  // wide
      {"192.0.2.10", 80, {"192.0.2.10/32"}, ""},
      {"127.0.0.1", 9876, {"127.0.0.0/8"}, "this exporter itself"},
      {"192.0.2.10", 9876, {"192.0.2.10/32"}, "this exporter itself"},
      {"192.0.2.11", 9876, {"192.0.2.0/24"}, ""},  // another machine's exporter
  };
  const std::vector<kestrel::web::IpAddress> own = {
      kestrel::web::IpAddress::FromText("192.0.2.10")};
  for (const auto& c : kCases) {
    std::vector<kestrel::web::Network> reachable(c.reachable.size());
    for (std::size_t i = 0; i < reachable.size(); ++i) {
      ASSERT_TRUE(kestrel::web::Network::Parse(c.reachable[i], reachable[i]));
    }
    const std::string why = UnreachableReason(kestrel::web::IpAddress::FromText(c.address), c.port,
                                              reachable, 9876, own);
    if (*c.refused == 0) {
      EXPECT_EQ(why, "") << c.address << ":" << c.port;
    } else {
      EXPECT_NE(why.find(c.refused), std::string::npos)
          << c.address << ":" << c.port << ": " << why;
    }
  }
}

}  // namespace
