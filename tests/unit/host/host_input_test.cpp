#include "programs/kestrel-host/host_input.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "host/session.h"
#include "tests/support/test_support.h"

namespace {

using namespace kestrel::host;
using kestrel::testing::TempDir;

TEST(DeviceAddressTest, UrlsAreTakenApart) {
  const struct {
    const char* text;
    const char* host;  // null: refused
    bool secure;
    bool names_port;
  } kCases[] = {
      {"10.0.0.5", "10.0.0.5", false, false},
      {"http://dev/", "dev", false, false},  // once became http://http://dev/
      {"https://dev:8443/", "dev:8443", true, true},
      {"HTTPS://dev/getData.json", "dev", true, false},
      {"sim:8380/d2/", "sim:8380/d2", false, true},
      {"[::1]:8443", "[::1]:8443", false, true},
      {"fe80::1", "fe80::1", false, false},
      {"", "", false, false},  // the module's own text says what is missing
      {"admin:Pa55@dev", nullptr, false, false},
      {"https://admin@dev/", nullptr, false, false},
      {"ftp://dev/", nullptr, false, false},
      {"http:///getData.json", nullptr, false, false},
      {"dev:70000", nullptr, false, false},
      {"dev:", nullptr, false, false},
      {"dev/?x=1", nullptr, false, false},
  };
  for (const auto& c : kCases) {
    DeviceAddress address;
    std::string error;
    const bool parsed = ParseDeviceAddress(c.text, address, error);
    ASSERT_EQ(parsed, c.host != nullptr) << c.text << ": " << error;
    if (!parsed) {
      EXPECT_EQ(error.find("Pa55"), std::string::npos) << error;
      continue;
    }
    EXPECT_EQ(address.host, c.host) << c.text;
    EXPECT_EQ(address.secure, c.secure) << c.text;
    EXPECT_EQ(address.names_port, c.names_port) << c.text;
  }
}

TEST(DeviceAddressTest, UrlAsTheModuleBuildsIt) {
  EXPECT_EQ(DeviceUrl("dev", false, 0), "http://dev/getData.json");
  EXPECT_EQ(DeviceUrl("dev", true, 8443), "https://dev:8443/getData.json");
  EXPECT_EQ(DeviceUrl("dev:81", false, 8443), "http://dev:81/getData.json");
  EXPECT_EQ(DeviceUrl("sim/d2", false, 8380), "http://sim:8380/d2/getData.json");
  EXPECT_EQ(DeviceUrl("fe80::1", false, 80), "http://[fe80::1]:80/getData.json");
}

TEST(OutputFileTest, CreatesFoldersAndRefusesWhatCannotBeWritten) {
  TempDir dir;
  std::ofstream(dir.File("plain")) << "x";
  std::string error;
  EXPECT_TRUE(PrepareOutputFile(dir.File("new/deeper/device.xml"), error)) << error;
  EXPECT_TRUE(std::filesystem::is_directory(dir.File("new/deeper")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("new/deeper/device.xml")));
  EXPECT_TRUE(PrepareOutputFile(dir.File("plain"), error)) << error;
  EXPECT_FALSE(PrepareOutputFile(dir.File("new"), error));
  EXPECT_NE(error.find("is a folder"), std::string::npos) << error;
  EXPECT_FALSE(PrepareOutputFile(dir.File("plain/device.xml"), error));
  EXPECT_NE(error.find("cannot create the folder"), std::string::npos) << error;
}

}  // namespace
