#include "programs/kestrel-exporter/discovery.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace kestrel::exporter;

DeviceConfig Device(const std::string& name, const std::string& host, Labels labels = {}) {
  DeviceConfig device;
  device.name = name;
  device.host = host;
  device.labels = std::move(labels);
  return device;
}

TEST(DiscoveryTest, EveryConfiguredDeviceIsOneTargetGroupWithItsLabels) {
  DeviceConfig unlisted = Device("10.0.0.9", "10.0.0.9");
  unlisted.unlisted = true;
  DeviceConfig with_account = Device("c", "c.example:8443");
  with_account.auth = "site";
  const struct {
    const char* what;
    std::vector<DeviceConfig> devices;
    const char* body;
  } kCases[] = {
      // Prometheus refuses an empty body: no devices is an empty list
      {"no devices", {}, "[]\n"},
      {"labels in file order",
       {Device("a", "10.0.0.1", {{"site", "berlin"}, {"rack", "r2"}}), Device("b", "b.local")},
       "[\n"
       "  {\"targets\": [\"a\"], \"labels\": {\"__meta_roomalert_device_name\": \"a\", "
       "\"__meta_roomalert_device_host\": \"10.0.0.1\", \"site\": \"berlin\", \"rack\": \"r2\"}},\n"
       "  {\"targets\": [\"b\"], \"labels\": {\"__meta_roomalert_device_name\": \"b\", "
       "\"__meta_roomalert_device_host\": \"b.local\"}}\n"
       "]\n"},
      // a target some client asked for is not the site's to list; an account stays unnamed
      {"unlisted and account",
       {unlisted, with_account},
       "[\n"
       "  {\"targets\": [\"c\"], \"labels\": {\"__meta_roomalert_device_name\": \"c\", "
       "\"__meta_roomalert_device_host\": \"c.example:8443\"}}\n"
       "]\n"},
      {"quotes, backslash, controls, DEL",
       {Device("q", "h", {{"note", "say \"hi\" C:\\dir\n\t\x01\x1f\x7f"}})},
       "[\n"
       "  {\"targets\": [\"q\"], \"labels\": {\"__meta_roomalert_device_name\": \"q\", "
       "\"__meta_roomalert_device_host\": \"h\", "
       "\"note\": \"say \\\"hi\\\" C:\\\\dir\\u000a\\u0009\\u0001\\u001f\\u007f\"}}\n"
       "]\n"},
      // characters pass as they are; bytes that start none become U+FFFD (cut, overlong,
      // surrogate, above U+10FFFF, stray continuation)
      {"UTF-8",
       {Device("u", "h",
               {{"city",
                 "K\xC3\xB8"
                 "benhavn \xE2\x82\xAC \xF0\x9F\x8C\xA1"},
                {"bad", "\xC3|\xC0\xAF|\xED\xA0\x80|\xF4\x90\x80\x80|\x80"}})},
       "[\n"
       "  {\"targets\": [\"u\"], \"labels\": {\"__meta_roomalert_device_name\": \"u\", "
       "\"__meta_roomalert_device_host\": \"h\", "
       "\"city\": \"K\xC3\xB8"
       "benhavn \xE2\x82\xAC \xF0\x9F\x8C\xA1\", "
       "\"bad\": \"\xEF\xBF\xBD|\xEF\xBF\xBD\xEF\xBF\xBD|\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD|"
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD|\xEF\xBF\xBD\"}}\n"
       "]\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    Config config;
    config.devices = c.devices;
    const kestrel::web::Response response = DiscoveryTargets(config);
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.content_type, "application/json; charset=utf-8");
    EXPECT_EQ(response.body, c.body);
  }
}

}  // namespace
