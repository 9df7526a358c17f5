#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "host/device_view.h"

namespace {

// A broken document is reported once, by the caller, with where it broke; the parser itself
// prints nothing on the stderr of the program hosting the module.
TEST(DeviceDocumentReadTest, BrokenDocumentsSayWhereAndPrintNothing) {
  const struct {
    const char* text;
    const char* says;
  } kCases[] = {
      {"<device><name>a</name>\n<sensors>", "(line 2: "},
      {"<device>\n<a>&undefined;</a></device>", "(line 2: '&' starts no reference"},
      {"", "cannot read the device document"},
  };
  const std::string path = ::testing::TempDir() + "broken-device.xml";
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    std::ofstream(path, std::ios::binary) << c.text;
    kestrel::host::DeviceView device;
    std::string error;
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(kestrel::host::ReadDeviceDocument(path, device, error));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
  }
  std::remove(path.c_str());
}

}  // namespace
