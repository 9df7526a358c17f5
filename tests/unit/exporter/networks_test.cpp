#include "programs/kestrel-exporter/networks.h"

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
