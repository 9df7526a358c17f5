#include <gtest/gtest.h>

#include <string>

#include "tools/kestrel-exporter/config.h"

namespace {

using namespace kestrel::exporter;

bool FakePasswords(const std::string& path, std::string& password) {
  if (path == "missing.pass") return false;
  password = "pw-of-" + path;
  return true;
}

TEST(ConfigTest, AFullFileAndItsDefaults) {
  const std::string text =
      "listen: 127.0.0.1:9876\n"
      "defaults: {secure: true, port: 8443, timeout: 500ms, poll_interval: 1m, backoff: 5s,\n"
      "           backoff_max: 1h}\n"
      "auth_modules:\n"
      "  site: {user: admin, password_file: site.pass}\n"
      "allow_unlisted_targets: true\n"
      "unlisted_targets_allowed_networks: [10.1.0.0/16, 'fd00::/8', 192.0.2.7]\n"
      "devices:\n"
      "  - name: a\n"
      "    host: 10.0.0.1\n"
      "    auth: site\n"
      "    labels: {room: \"2\", rack: r4}\n"
      "  - {name: b, host: '[fd00::1]:8080', secure: false, port: 80}\n";
  Config config;
  std::string error;
  ASSERT_TRUE(ParseConfig(text, "f.yml", FakePasswords, config, error)) << error;
  EXPECT_EQ(config.listen_address, "127.0.0.1");
  EXPECT_EQ(config.listen_port, 9876);
  EXPECT_DOUBLE_EQ(config.timeout_seconds, 0.5);
  EXPECT_DOUBLE_EQ(config.poll_interval_seconds, 60);
  EXPECT_TRUE(config.allow_unlisted_targets);
  EXPECT_DOUBLE_EQ(config.backoff_seconds, 5);
  EXPECT_DOUBLE_EQ(config.backoff_max_seconds, 3600);
  EXPECT_EQ(config.unlisted_targets_allowed_networks.size(), 3u);
  EXPECT_TRUE(config.MayAskForUnlisted(IpAddress::FromText("192.0.2.7")));
  EXPECT_FALSE(config.MayAskForUnlisted(IpAddress::FromText("192.0.2.8")));
  ASSERT_EQ(config.devices.size(), 2u);
  const DeviceConfig& a = config.devices[0];
  EXPECT_TRUE(a.secure);
  EXPECT_EQ(a.port, 8443u);
  EXPECT_EQ(config.FindAuth(a.auth)->password, "pw-of-site.pass");
  EXPECT_EQ(a.labels, (Labels{{"room", "2"}, {"rack", "r4"}}));
  EXPECT_FALSE(config.devices[1].secure);
  EXPECT_EQ(config.devices[1].port, 80u);

  Config empty_listen;
  ASSERT_TRUE(ParseConfig("devices: []\n", "f.yml", FakePasswords, empty_listen, error)) << error;
  EXPECT_EQ(empty_listen.listen_address, "");
  EXPECT_EQ(empty_listen.listen_port, 9876);
}

// Each bad file is refused with the place and what was expected; the configuration the caller
// holds stays as it was.
TEST(ConfigTest, BadFilesAreRefusedWithFileLineAndColumn) {
  const struct {
    const char* text;
    const char* message;  // the whole "file:line:column: ..." prefix and a telling part
  } kCases[] = {
      {"devices:\n  - name: a\n    hots: x\n", "f.yml:3:5: unknown key 'hots' in a device"},
      {"listen: :1\nlisten: :2\ndevices: []\n", "f.yml:2:1: key 'listen' given twice"},
      {"defaults: {tls: true}\n",
       "f.yml:1:12: unknown key 'tls' in defaults (expected secure, port, timeout, poll_interval, "
       "backoff or backoff_max)"},
      {"devices:\n  - {name: a, host: x}\n  - {name: a, host: y}\n",
       "f.yml:3:5: device name 'a' given twice (first at line 2)"},
      {"devices:\n  - name: a\n", "f.yml:2:5: device 'a' has no host"},
      {"devices:\n  - host: x\n", "f.yml:2:5: device without a name"},
      {"devices:\n  - {name: a, host: x, port: 70000}\n",
       "f.yml:2:30: expected a port number from 0 to 65535 for 'port', got '70000'"},
      {"devices:\n  - {name: a, host: x, secure: yes}\n",
       "f.yml:2:32: expected true or false for 'secure', got 'yes'"},
      {"defaults: {timeout: 0s}\n", "f.yml:1:21: expected a duration from 0.1s to 600s"},
      {"defaults: {timeout: 10x}\n", "f.yml:1:21: expected a duration"},
      {"listen: localhost\n", "f.yml:1:9: expected ADDRESS:PORT or :PORT for 'listen'"},
      {"devices:\n  - {name: ../etc, host: x}\n", "f.yml:2:12: expected a device name"},
      {"devices:\n  - {name: a, host: 'a b'}\n", "f.yml:2:21: expected a host name or address"},
      // A password in the host would be shown on the status page and in this very message.
      {"devices:\n  - {name: a, host: 'admin:s3cret@dev'}\n",
       "f.yml:2:21: 'host' holds '@': a user or password goes in auth_modules"},
      {"devices:\n  - {name: a, host: 'admin:s 3cret@dev'}\n", "f.yml:2:21: 'host' holds '@'"},
      {"devices:\n  - {name: a, host: 10.0.0.9/admin}\n",
       "f.yml:2:21: 'host' holds '/': the device's document has a fixed path, so a host is only "
       "host[:port], got '10.0.0.9/admin'"},
      {"devices:\n  - {name: a, host: 'dev?x=1'}\n", "f.yml:2:21: 'host' holds '?'"},
      {"devices:\n  - {name: a, host: 'dev:80#top'}\n", "f.yml:2:21: 'host' holds '#'"},
      {"defaults: {backoff: 1m, backoff_max: 10s}\n",
       "f.yml:1:38: expected 'backoff_max' to be at least 'backoff'"},
      {"defaults: {backoff: -1s}\n", "f.yml:1:21: expected a duration from 0s to 3600s"},
      {"unlisted_targets_allowed_networks: [10.0.0.0/33]\n",
       "f.yml:1:37: expected a network as ADDRESS/BITS (e.g. 10.0.0.0/8 or fd00::/8) in "
       "'unlisted_targets_allowed_networks', got '10.0.0.0/33'"},
      {"unlisted_targets_allowed_networks: ['::ffff:10.0.0.0/104']\n",
       "f.yml:1:37: expected a network as ADDRESS/BITS"},
      {"unlisted_targets_allowed_networks: [localhost]\n", "f.yml:1:37: expected a network"},
      {"unlisted_targets_allowed_networks: 10.0.0.0/8\n",
       "f.yml:1:36: expected a list for 'unlisted_targets_allowed_networks', got a value"},
      {"devices:\n  - {name: a, host: x, auth: nope}\n",
       "f.yml:2:5: device 'a' names the auth module 'nope', which auth_modules does not define"},
      {"devices:\n  - {name: a, host: x, labels: {device: y}}\n",
       "f.yml:2:33: expected a label "
       "name"},
      {"auth_modules:\n  s: {user: u, password: secret}\n",
       "f.yml:2:16: unknown key 'password' in auth module 's'"},
      {"auth_modules:\n  s: {user: u, password_file: missing.pass}\n",
       "f.yml:2:31: cannot read the password file 'missing.pass' of auth module 's'"},
      {"auth_modules:\n  s: {password_file: x}\n", "f.yml:2:6: auth module 's' has no user"},
      {"devices: {name: a}\n", "f.yml:1:10: expected a list for 'devices', got a mapping"},
      {"devices:\n  - [a, b]\n", "f.yml:2:5: expected a mapping for a device, got a list"},
      {"devices: [\n", "f.yml:2:1: expected YAML: "},
      {"- a\n", "f.yml:1:1: expected a mapping for the file, got a list"},
      {"", "f.yml:1:1: expected a mapping with the key devices, got an empty file"},
      {"deviсes: []\n", "f.yml:1:1: unknown key 'devi"},  // a Cyrillic letter that looks Latin
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    Config config;
    config.listen_port = 1234;
    std::string error;
    EXPECT_FALSE(ParseConfig(c.text, "f.yml", FakePasswords, config, error));
    EXPECT_EQ(error.rfind(c.message, 0), 0u) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos);
    EXPECT_EQ(error.find("3cret"), std::string::npos);
    EXPECT_EQ(config.listen_port, 1234);
  }
}

}  // namespace
