// Every folder under fixtures/devices/ is one device: its device.json goes through the JSON
// conversion, the XML reader, the identity and the sensor detection, and the outcome, rendered as
// text, must equal the folder's expected.txt. Adding a case is adding a folder.
//
// KESTREL_WRITE_DEVICE_CASES=1 writes expected.txt from the current outcome instead (review the
// diff before committing it).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "device/device_records.h"
#include "provider/avtech_app.h"
#include "tests/support/avtech_app_access.h"
#include "tests/support/test_support.h"

namespace {

using kestrel::testing::FixturePath;
using kestrel::testing::ReadFileBytes;
using kestrel::testing::TempDir;
using kestrel::testing::WriteFileBytes;

std::vector<std::string> DeviceCases() {
  std::vector<std::string> cases;
  for (const auto& entry : std::filesystem::directory_iterator(FixturePath("devices"))) {
    if (entry.is_directory()) cases.push_back(entry.path().filename().string());
  }
  std::sort(cases.begin(), cases.end());
  return cases;
}

// Bytes outside printable ASCII are shown as \xNN, so expected files stay plain ASCII.
std::string Shown(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string shown;
  for (const unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      shown.push_back(static_cast<char>(c));
    } else {
      shown += "\\x";
      shown.push_back(kHex[c >> 4]);
      shown.push_back(kHex[c & 15]);
    }
  }
  return shown;
}

// Shortest text that reads back as the same double, independent of the locale.
std::string Number(double value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

// The provider's own trace lines without their time stamps.
std::string ProviderTrace(const std::string& trace_file) {
  std::istringstream lines(ReadFileBytes(trace_file));
  std::string line;
  std::string out;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t at = line.find("AVTechApp: ");
    if (at == std::string::npos || line.compare(at - 1, 1, " ") != 0) continue;
    out += "trace: " + Shown(line.substr(at)) + "\n";
  }
  return out;
}

std::string Outcome(const std::string& json) {
  std::ostringstream out;
  CMvnString xml;
  CMvnString detail;
  if (CEnvProviderApp::ConvertJsonToXml(json.c_str(), xml, detail) != 0) {
    out << "conversion failed: " << detail.Text() << "\n";
    return out.str();
  }

  TempDir dir;
  CAVTechApp app;
  app.SetTracingFile(dir.File("trace.log").c_str());
  const int32_t result = AVTechAppTestAccess::ParseDeviceInformation(app, xml.Text());
  const CEnvDevInfo& device = app.Device();
  out << "result: " << result << "\n"
      << "provider: " << Shown(device.provider.Text()) << "\n"
      << "vendor: " << Shown(device.vendor.Text()) << "\n"
      << "model: " << Shown(device.model.Text()) << "\n"
      << "protocol: " << device.protocol_id << "\n"
      << "device-type: 0x" << std::hex << device.device_type_id << std::dec << "\n"
      << "mac-address: " << Shown(device.mac_address.Text()) << "\n"
      << "serial: " << Shown(device.serial.Text()) << "\n"
      << "firmware: " << Shown(device.firmware.Text()) << "\n"
      << "description: " << Shown(device.description.Text()) << "\n"
      << "ip-address: " << Shown(device.ip_address.Text()) << "\n";
  for (const CMvnListNode* i = device.Interfaces().Head(); i != nullptr; i = i->next) {
    const auto* port = static_cast<const CEnvDevInterface*>(i->item);
    out << "interface " << port->interface_id << " \"" << Shown(port->description.Text()) << "\"\n";
    for (const CMvnListNode* s = port->Sensors().Head(); s != nullptr; s = s->next) {
      const auto* sensor = static_cast<const CEnvDevInterfaceSensor*>(s->item);
      // Every sensor carries its port's label and a success status; only the differences show.
      if (std::string(sensor->description.Text()) != port->description.Text()) {
        out << "  (sensor description \"" << Shown(sensor->description.Text()) << "\")\n";
      }
      if (sensor->status != 0) out << "  (sensor status " << sensor->status << ")\n";
      out << "  sensor " << sensor->sensor_id << ": type " << sensor->type_id << " uom "
          << sensor->uom_id << " value " << Number(sensor->value) << " digits " << sensor->digits
          << " range " << Number(sensor->rangemin) << ".." << Number(sensor->rangemax) << "\n";
    }
  }
  out << ProviderTrace(dir.File("trace.log"));
  return out.str();
}

class DeviceCaseTest : public ::testing::TestWithParam<std::string> {};

TEST_P(DeviceCaseTest, ReadsAsExpected) {
  const std::string folder = FixturePath("devices/" + GetParam());
  const std::string json = ReadFileBytes(folder + "/device.json");
  ASSERT_FALSE(json.empty()) << folder << "/device.json is missing or empty";
  const std::string actual = Outcome(json);
  const char* write = std::getenv("KESTREL_WRITE_DEVICE_CASES");
  if (write != nullptr && std::string(write) == "1") {
    WriteFileBytes(folder + "/expected.txt", actual);
    return;
  }
  EXPECT_EQ(ReadFileBytes(folder + "/expected.txt"), actual);
}

INSTANTIATE_TEST_SUITE_P(Devices, DeviceCaseTest, ::testing::ValuesIn(DeviceCases()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param;
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

// Loads run again and again on one provider: each parse starts from a reset record.
TEST(DeviceParseTest, InterfacesDoNotAccumulateAndFailedParseKeepsNoInterfaces) {
  CMvnString xml;
  CMvnString detail;
  ASSERT_EQ(CEnvProviderApp::ConvertJsonToXml(
                ReadFileBytes(FixturePath("devices/3w-typical/device.json")).c_str(), xml, detail),
            0);
  CAVTechApp app;
  ASSERT_EQ(AVTechAppTestAccess::ParseDeviceInformation(app, xml.Text()), 0);
  ASSERT_EQ(AVTechAppTestAccess::ParseDeviceInformation(app, xml.Text()), 0);
  EXPECT_EQ(app.Device().Interfaces().GetCount(), 3u);

  EXPECT_EQ(AVTechAppTestAccess::ParseDeviceInformation(app, "not xml"), -1);
  EXPECT_EQ(app.Device().Interfaces().GetCount(), 0u);
  EXPECT_STREQ(app.Device().description.Text(), "");
  EXPECT_STREQ(app.Device().vendor.Text(), "AVTech");
  // What the record keeps from the last good parse until the next one.
  EXPECT_STREQ(app.Device().serial.Text(), "RA3W-D41B7E");

  // A device that stopped reporting its serial shows none, not the previous one.
  ASSERT_EQ(AVTechAppTestAccess::ParseDeviceInformation(
                app, "<json><device><name>x</name></device></json>"),
            0);
  EXPECT_STREQ(app.Device().serial.Text(), "");

  EXPECT_EQ(AVTechAppTestAccess::ParseDeviceInformation(app, "<json/>"), -1);
  EXPECT_EQ(AVTechAppTestAccess::ParseDeviceInformation(app, "<json><other/></json>"), -1);
  EXPECT_EQ(AVTechAppTestAccess::ParseDeviceInformation(app, nullptr), -1);
}

}  // namespace
