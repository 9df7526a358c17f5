#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "provider/avtech_app.h"
#include "tests/support/fake_http_component.h"
#include "tests/support/test_support.h"

namespace {

using kestrel::testing::Answer;
using kestrel::testing::World;

std::u16string Fixture(const char* name) {
  const std::string bytes = kestrel::testing::ReadFileBytes(kestrel::testing::FixturePath(name));
  return std::u16string(bytes.begin(), bytes.end());  // the fixtures used here are ASCII
}

struct Files {
  bool json, raw_xml, config, data;
};

struct AcquisitionCase {
  const char* name;
  const char* host;
  const char* account;
  std::vector<Answer> answers;
  int creation_failures;
  bool config_named;
  int32_t result;
  std::string last_error;
  Files written;
  std::vector<const char*> trace_lines;
  // "Failed to load device config!" lines: one from each load operation that failed.
  int config_failures;
};

const char* kHttpFailed =
    "Failed to retrieve device data over HTTP. The GET request failed with error: [%s].";

std::string HttpFailed(const std::string& detail) {
  std::string text = kHttpFailed;
  return text.replace(text.find("%s"), 2, detail);
}

class AcquisitionTest : public ::testing::TestWithParam<AcquisitionCase> {
 protected:
  void SetUp() override {
    kestrel::testing::g_world = &world_;
    kestrel::platform::SetHttpComponentFactoryForTesting(&kestrel::testing::FakeFactory);
    kestrel::platform::SetClockForTesting(&kestrel::testing::FakeTick,
                                          &kestrel::testing::FakeSleep);
  }
  void TearDown() override {
    kestrel::platform::SetHttpComponentFactoryForTesting(nullptr);
    kestrel::platform::SetClockForTesting(nullptr, nullptr);
    kestrel::testing::g_world = nullptr;
  }
  bool Exists(const char* name) const { return std::filesystem::exists(dir_.File(name)); }

  World world_;
  kestrel::testing::TempDir dir_;
};

TEST_P(AcquisitionTest, ResultTextFilesAndTrace) {
  const AcquisitionCase& c = GetParam();
  world_.answers = c.answers;
  world_.creation_failures = c.creation_failures;
  {
    CAVTechApp app;
    app.SetTracingFile(dir_.File("trace.log").c_str());
    app.SetConfigWorkingFile(c.config_named ? dir_.File("device.xml").c_str() : "");
    app.SetDataFile(dir_.File("device-data.xml").c_str());
    app.SetHost(c.host);
    app.SetAccount(c.account);
    app.SetPassword("pa55-word");
    EXPECT_EQ(app.LoadDeviceData(), c.result);
    EXPECT_EQ(app.LastErrorText().Text(), c.last_error);
  }
  EXPECT_EQ(Exists("device.json"), c.written.json);
  EXPECT_EQ(Exists("device.raw.xml"), c.written.raw_xml);
  EXPECT_EQ(Exists("device.xml"), c.written.config);
  EXPECT_EQ(Exists("device-data.xml"), c.written.data);
  const std::string trace = kestrel::testing::ReadFileBytes(dir_.File("trace.log"));
  for (const char* line : c.trace_lines) {
    EXPECT_NE(trace.find(std::string(line) + "\r\n"), std::string::npos) << line << "\n" << trace;
  }
  EXPECT_EQ(trace.find("pa55-word"), std::string::npos);
  int failures = 0;
  for (std::size_t at = trace.find("Failed to load device config!"); at != std::string::npos;
       at = trace.find("Failed to load device config!", at + 1)) {
    ++failures;
  }
  EXPECT_EQ(failures, c.config_failures);
}

const std::u16string kTypical = Fixture("roomalert/3w-typical.json");
const std::u16string kNoSensors = Fixture("roomalert/3w-no-sensors.json");

INSTANTIATE_TEST_SUITE_P(
    Cases, AcquisitionTest,
    ::testing::Values(
        AcquisitionCase{"Success",
                        "ra3w.lan",
                        "",
                        {{0, 200, kTypical, 1}},
                        0,
                        true,
                        0,
                        "The operation completed successfully.",
                        {true, true, true, true},
                        {"AVTechApp: Successfully loaded and parsed device information, "
                         "configuration and capabilities."},
                        0},
        // Both load operations report the failed configuration load.
        AcquisitionCase{"EmptyHost",
                        "",
                        "",
                        {},
                        0,
                        true,
                        -1,
                        "The hostname or IP address for the device has not been set.",
                        {false, false, false, false},
                        {"AVTechApp: Failed to load device configuration, URL has not been set!",
                         "AVTechApp: Failed to load device config!"},
                        2},
        AcquisitionCase{"NotFound",
                        "ra3w.lan",
                        "",
                        {{0, 404, u"<html></html>", 1}},
                        0,
                        true,
                        -1,
                        HttpFailed("HTML Error [404]."),
                        {false, false, false, false},
                        {"AVTechApp: Failed to retrieve JSON via HTTP "
                         "(http://ra3w.lan/getData.json), result = HTML Error [404]."},
                        2},
        AcquisitionCase{"Refused",
                        "ra3w.lan",
                        "",
                        {{10061, -1, u"", 1}},
                        0,
                        true,
                        -1,
                        HttpFailed("No connection could be made because the target machine "
                                   "actively refused it"),
                        {false, false, false, false},
                        {},
                        2},
        // The component's own text is replaced; only the trace says what happened.
        AcquisitionCase{"NoComponent",
                        "ra3w.lan",
                        "admin",
                        {},
                        2,
                        true,
                        -1,
                        HttpFailed(""),
                        {false, false, false, false},
                        {"AVTechApp: Account name has been set, using HTTP authentication.",
                         "EnvProviderApp: Failed to read data over HTTP. Failed to initialize "
                         "HTTP library."},
                        2},
        // The device is read, but a document without interfaces counts as a failure.
        AcquisitionCase{"NoSensors",
                        "ra3w.lan",
                        "",
                        {{0, 200, kNoSensors, 1}},
                        0,
                        true,
                        -1,
                        "Failed to parse Json device data.",
                        {true, true, true, false},
                        {},
                        1},
        AcquisitionCase{"NoConfigurationFileName",
                        "ra3w.lan",
                        "",
                        {{0, 200, kTypical, 1}},
                        0,
                        false,
                        -1,
                        "Failed to parse Json device data.",
                        {false, false, false, false},
                        {"AVTechApp: Failed to parse json and save device configuration as XML "
                         "file ()!"},
                        1}),
    [](const ::testing::TestParamInfo<AcquisitionCase>& info) {
      return std::string(info.param.name);
    });

TEST(AcquisitionCredentialsTest, AccountAndPasswordReachTheComponentOnly) {
  World world;
  world.answers = {{0, 200, kTypical, 1}, {0, 200, kTypical, 1}};
  kestrel::testing::g_world = &world;
  kestrel::platform::SetHttpComponentFactoryForTesting(&kestrel::testing::FakeFactory);
  {
    CAVTechApp app;
    app.SetConfigWorkingFile("");
    app.SetHost("ra3w.lan");
    app.SetHttpPort(8080);
    app.SetAccount("admin");
    app.SetPassword("pa55-word");
    app.LoadDeviceConfig();
    EXPECT_EQ(world.user, u"admin");
    EXPECT_EQ(world.password, u"pa55-word");
    EXPECT_EQ(world.last_url, u"http://ra3w.lan:8080/getData.json");
    // An empty account sets nothing: the component keeps what it was given.
    app.SetAccount("");
    app.SetPassword("other");
    app.LoadDeviceConfig();
    EXPECT_EQ(world.password, u"pa55-word");
  }
  kestrel::platform::SetHttpComponentFactoryForTesting(nullptr);
  kestrel::testing::g_world = nullptr;
}

}  // namespace
