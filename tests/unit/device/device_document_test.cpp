#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>

#include "common/xml_writer.h"
#include "device/device_records.h"
#include "tests/support/test_support.h"
#include "tests/support/xml_check.h"

namespace {

using kestrel::testing::FixturePath;
using kestrel::testing::ReadFileBytes;
using kestrel::testing::TempDir;
using kestrel::testing::WriteFileBytes;

void FillIdentity(CEnvDevInfo& device) {
  device.protocol_id = 8;
  device.provider.Assign("AVTech Room Alert 3W");
  device.vendor.Assign("AVTech");
  device.model.Assign("RoomAlert");
  device.serial.Assign("RA3W-D41B7E");
  device.mac_address.Assign("00:80:A3:D4:1B:7E");
  device.firmware.Assign("v4.0.2");
  device.ip_address.Assign("192.168.10.48");
}

// One port as detection builds it: the interface and each sensor carry the port's label.
void AddPort(CEnvDevInfo& device, const char* label,
             std::initializer_list<std::tuple<uint32_t, uint32_t, double>> sensors) {
  auto* device_interface = new CEnvDevInterface("CEnvDevInterface");
  device_interface->description.Assign(label);
  for (const auto& [type_id, uom_id, value] : sensors) {
    auto* sensor = new CEnvDevInterfaceSensor("CEnvDevInterfaceSensor");
    sensor->description.Assign(label);
    sensor->type_id = type_id;
    sensor->uom_id = uom_id;
    sensor->value = value;
    device_interface->AddSensor(sensor);
  }
  device.AddInterface(device_interface);
}

void BuildRack(CEnvDevInfo& device) {
  FillIdentity(device);
  device.tracefile.Assign("/var/log/kestrel/probe.trace");
  device.description.Assign("Server Room 2");
  AddPort(device, "Rack", {{10, 1001, 21.5}});
}

// Every sensor kind the provider maps, with labels that need escaping and a Windows-1252 byte.
void BuildEveryType(CEnvDevInfo& device) {
  FillIdentity(device);
  device.description.Assign("Lab & Test");
  AddPort(device, "R&D <lab>", {{10, 1001, 21.5}, {20, 2001, 45.0}});
  AddPort(device, "UPS \"A\"", {{50, 17004, 1.0}, {60, 6001, 4.87}});
  AddPort(device, "Duct 'B' 24\260C", {{180, 6005, 312.4}});
  AddPort(device, "Door", {{70, 17003, 0.0}});
  AddPort(device, "Not connected", {{0, 7001, 0.0}});
}

bool IsWellFormed(const std::string& bytes) {
  return kestrel::testing::IsWellFormedXml(bytes);
}

// Saves the device and answers the file's bytes, checking that libxml2 accepts them.
std::string Save(CEnvDevInfo& device, bool full, int32_t expected_result = 0) {
  TempDir dir;
  const std::string path = dir.File("device.xml");
  EXPECT_EQ(device.SaveXml(path.c_str(), full), expected_result);
  std::string bytes = ReadFileBytes(path);
  EXPECT_TRUE(IsWellFormed(bytes)) << bytes;
  return bytes;
}

struct GoldenCase {
  const char* name;
  void (*build)(CEnvDevInfo& device);
  bool full;
  const char* golden;
};

class GoldenDocumentTest : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(GoldenDocumentTest, MatchesByteForByte) {
  CEnvDevInfo device("CAVTechApp");
  GetParam().build(device);
  const std::string expected = ReadFileBytes(FixturePath(GetParam().golden));
  ASSERT_FALSE(expected.empty()) << GetParam().golden;
  EXPECT_EQ(Save(device, GetParam().full), expected);
}

// A clone must be indistinguishable from its original in the host's eyes.
TEST_P(GoldenDocumentTest, CloneWritesTheSameDocument) {
  CEnvDevInfo device("CAVTechApp");
  GetParam().build(device);
  CMvnBase* copy = device.Clone();
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(Save(*static_cast<CEnvDevInfo*>(copy), GetParam().full), Save(device, GetParam().full));
  delete copy;
}

INSTANTIATE_TEST_SUITE_P(
    Documents, GoldenDocumentTest,
    ::testing::Values(GoldenCase{"RackConfig", BuildRack, true, "documents/rack-config.xml"},
                      GoldenCase{"RackData", BuildRack, false, "documents/rack-data.xml"},
                      GoldenCase{"EveryTypeConfig", BuildEveryType, true,
                                 "documents/every-type-config.xml"}),
    [](const ::testing::TestParamInfo<GoldenCase>& info) { return info.param.name; });

// Limits are set after insertion here, to reach range forms that no type's defaults have; only
// exactly 0 to 0 means "no range".
TEST(SensorElementTest, FormatsCodesAndNumbers) {
  const struct {
    uint32_t type_id, uom_id;
    double rangemin, rangemax, value;
    const char* lines;  // a block the sensor's element must contain
  } cases[] = {
      {10, 1001, 0.0, -0.0, 21.5,
       "<rangemin></rangemin>\r\n  <rangemax></rangemax>\r\n  <value>21.500</value>"},
      // unknown codes, and rounding away from zero
      {160, 17002, -0.0004, 1e6, 2.0005,
       "<type-text>description missing</type-text>\r\n  <uom-id>17002</uom-id>\r\n"
       "  <uom-text>units missing</uom-text>\r\n  <digits>1</digits>\r\n"
       "  <rangemin>-0.000</rangemin>\r\n  <rangemax>1000000.000</rangemax>\r\n"
       "  <value>2.001</value>"},
  };
  for (const auto& c : cases) {
    CEnvDevInterfaceSensor sensor("CEnvDevInterfaceSensor");
    sensor.type_id = c.type_id;
    sensor.uom_id = c.uom_id;
    sensor.rangemin = c.rangemin;
    sensor.rangemax = c.rangemax;
    sensor.value = c.value;
    TempDir dir;
    const std::string path = dir.File("sensor.xml");
    CMvnXmlFile writer("CEnvDevInfo");
    ASSERT_TRUE(writer.Open(path.c_str()));
    ASSERT_EQ(sensor.WriteXml(&writer, true), 0);
    writer.Close();
    const std::string bytes = ReadFileBytes(path);
    EXPECT_TRUE(IsWellFormed(bytes));
    EXPECT_NE(bytes.find(c.lines), std::string::npos) << bytes;
  }
}

// A missing folder, a file in a folder's place, a folder in the file's place, no name at all.
TEST(DeviceDocumentTest, UnopenablePathFailsAndLeavesFilesAlone) {
  for (const char* relative : {"missing/device.xml", "taken/device.xml", "folder", ""}) {
    SCOPED_TRACE(relative);
    TempDir dir;
    WriteFileBytes(dir.File("taken"), "previous document");
    std::filesystem::create_directory(dir.File("folder"));
    CEnvDevInfo device("CAVTechApp");
    BuildRack(device);
    const std::string path = relative[0] == '\0' ? std::string() : dir.File(relative);
    EXPECT_EQ(device.SaveXml(path.c_str(), true), -1);
    EXPECT_EQ(ReadFileBytes(dir.File("taken")), "previous document");
    const std::filesystem::recursive_directory_iterator walk(dir.path()), end;
    EXPECT_EQ(std::distance(walk, end), 2);  // "taken" and "folder": nothing was created
  }
}

// Whether the numeric locale is now the named one and writes a decimal comma.
bool CommaLocale(const char* name) {
  char text[16];
  return std::setlocale(LC_NUMERIC, name) != nullptr &&
         std::snprintf(text, sizeof text, "%.1f", 1.5) > 0 && std::string(text) == "1,5";
}

// Hosts may run with a locale whose decimal separator is a comma; the document must not follow
// it. When no such locale is installed, one is compiled into a scratch folder.
TEST(DeviceDocumentTest, NumbersIgnoreTheProcessLocale) {
  TempDir dir;
  const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
#if defined(_WIN32)
  // The Windows C runtime has every locale built in, named by language and country.
  const bool comma = CommaLocale("German_Germany.1252") || CommaLocale("de-DE");
#else
  const std::string make =
      "localedef -i de_DE -f UTF-8 '" + dir.File("de_DE.UTF-8") + "' >/dev/null 2>&1";
  const bool comma =
      CommaLocale("de_DE.UTF-8") || CommaLocale("de_DE.utf8") ||
      (std::system(make.c_str()) != -1 && ::setenv("LOCPATH", dir.path().c_str(), 1) == 0 &&
       CommaLocale("de_DE.UTF-8"));
#endif
  std::string written;
  if (comma) {
    CEnvDevInfo device("CAVTechApp");
    BuildEveryType(device);
    written = Save(device, true);
  }
  std::setlocale(LC_NUMERIC, saved.c_str());
#if !defined(_WIN32)
  ::unsetenv("LOCPATH");
#endif
  if (!comma) GTEST_SKIP() << "no locale with a decimal comma can be made here";
  EXPECT_EQ(written, ReadFileBytes(FixturePath("documents/every-type-config.xml")));
}

}  // namespace
