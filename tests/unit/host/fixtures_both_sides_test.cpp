// Every recorded device of fixtures/devices/ loaded by the module and read back by the hosting
// library, and the two compared: the same ports and sensors in the same order, the same values,
// empty ports exactly where the module made its placeholder, the readings rule lined up with the
// module's own walk (a rule that drifted would leave the marks off and every 0 a reading), and
// every failure one the classification knows.
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <string>
#include <vector>

#include "common/text_codec.h"
#include "host/readings.h"
#include "host/session.h"
#include "provider/avtech_app.h"
#include "tests/support/avtech_app_access.h"
#include "tests/support/fake_http_component.h"
#include "tests/support/test_support.h"

namespace {

using namespace kestrel::testing;
namespace host = kestrel::host;

std::vector<std::string> DeviceCases() {
  std::vector<std::string> cases;
  for (const auto& entry : std::filesystem::directory_iterator(FixturePath("devices"))) {
    if (entry.is_directory()) cases.push_back(entry.path().filename().string());
  }
  std::sort(cases.begin(), cases.end());
  return cases;
}

// The body as the network component hands it on: UTF-8 when it is, else the code page.
std::u16string Body(const std::string& bytes) {
  kestrel::text::WideString wide;
  if (!kestrel::text::IsValidUtf8(bytes.data(), bytes.size()) ||
      !kestrel::text::Utf8ToUtf16(bytes.data(), bytes.size(), wide)) {
    kestrel::text::Windows1252ToUtf16(bytes.data(), bytes.size(), wide);
  }
  return std::u16string(wide.begin(), wide.end());
}

std::string Utf8(const CMvnString& text) {
  std::string out;
  kestrel::text::Windows1252ToUtf8(text.Text(), text.Length(), out);
  return out;
}

std::string Fixed(double value) {
  char text[400];
  const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 3).ptr;
  return std::string(text, end);
}

// One load of a recorded device through a session, as a host runs it, answered by the fixture.
struct Loaded {
  explicit Loaded(const std::string& fixture) {
    network.world.answers = {
        Reply(0, 200, Body(ReadFileBytes(FixturePath("devices/" + fixture + "/device.json"))))};
    host::Session session(&app);
    host::SessionSettings settings;
    settings.has_host = true;
    settings.host = "room-alert";
    settings.files = {dir.File("device.xml"), dir.File("device-data.xml"), dir.File("trace.log")};
    session.Apply(settings);
    view = session.Load();
  }
  // In this order: the provider gives its component back while the fake network stands.
  FakeNetwork network;
  TempDir dir;
  CAVTechApp app;
  host::LoadView view;
};

class BothSidesTest : public ::testing::TestWithParam<std::string> {};

TEST_P(BothSidesTest, TheHostSeesWhatTheModuleMade) {
  Loaded loaded(GetParam());
  const host::LoadView& view = loaded.view;

  if (view.result != 0) {
    EXPECT_TRUE(view.failure.known) << view.last_error;
    return;
  }
  ASSERT_TRUE(view.Ok()) << view.read_error;
  // A load lets go of its device record when it ends; the module's own parse of the load's raw
  // XML working file makes it again as the load had it.
  const std::string raw_xml = ReadFileBytes(view.files.RawXml());
  ASSERT_EQ(AVTechAppTestAccess::ParseDeviceInformation(loaded.app, raw_xml.c_str()), 0);
  const CEnvDevInfo& record = loaded.app.Device();
  EXPECT_EQ(view.device.serial, Utf8(record.serial));
  std::vector<std::vector<bool>> taken;
  ASSERT_TRUE(host::TakenReadings(raw_xml, taken));
  ASSERT_EQ(taken.size(), record.Interfaces().GetCount());
  ASSERT_EQ(view.device.interfaces.size(), record.Interfaces().GetCount());
  std::size_t p = 0;
  for (const CMvnListNode* i = record.Interfaces().Head(); i != nullptr; i = i->next, ++p) {
    const auto* port = static_cast<const CEnvDevInterface*>(i->item);
    const host::InterfaceView& itf = view.device.interfaces[p];
    SCOPED_TRACE("interface " + itf.interface_id + " " + itf.description);
    EXPECT_EQ(itf.interface_id, std::to_string(port->interface_id));
    EXPECT_EQ(itf.description, Utf8(port->description));
    ASSERT_EQ(itf.sensors.size(), port->Sensors().GetCount());
    ASSERT_EQ(taken[p].size(), port->Sensors().GetCount());
    std::size_t s = 0;
    for (const CMvnListNode* n = port->Sensors().Head(); n != nullptr; n = n->next, ++s) {
      const auto* sensor = static_cast<const CEnvDevInterfaceSensor*>(n->item);
      const host::SensorView& seen = itf.sensors[s];
      EXPECT_EQ(seen.type_id, std::to_string(sensor->type_id));
      EXPECT_EQ(seen.value, Fixed(sensor->value));
      EXPECT_EQ(seen.empty_port, sensor->type_id == 0);
      // The marks reached the document: a sensor has its reading exactly when the walk says so.
      EXPECT_EQ(seen.has_reading, taken[p][s] && !seen.empty_port);
      // A two-state reading is one whatever the device sent.
      if (seen.uom_text == "open/closed" || seen.uom_text == "active/inactive") {
        EXPECT_TRUE(seen.has_reading);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Devices, BothSidesTest, ::testing::ValuesIn(DeviceCases()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param;
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

// What the readings rule says of the forms a device writes its numbers in, label by label.
TEST(ReadingsRuleTest, NumberFormsAndEmptyPorts) {
  const struct {
    const char* fixture;
    std::vector<std::string> without_reading;  // labels of ports whose reading is absent
  } kCases[] = {
      {"number-forms",
       {"(12abc)", "(1e)", "(1e+)", "(-)", "()", "(abc)", "(inf)", "(nan)", "(0x1A)", "(1,5)",
        "(1e400)", "(-1e400)"}},
      {"type-0-by-path", {"Sensor empty", "Not connected"}},
  };
  for (const auto& c : kCases) {
    const Loaded loaded(c.fixture);
    const host::LoadView& view = loaded.view;
    ASSERT_TRUE(view.Ok()) << c.fixture << ": " << view.last_error;
    std::vector<std::string> without;
    for (const host::InterfaceView& itf : view.device.interfaces) {
      for (const host::SensorView& s : itf.sensors) {
        if (!s.has_reading) without.push_back(itf.description);
      }
    }
    EXPECT_EQ(without, c.without_reading) << c.fixture;
  }
}

}  // namespace
