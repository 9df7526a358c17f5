#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "host/session.h"
#include "programs/kestrel-exporter/load_error.h"
#include "programs/kestrel-exporter/metrics.h"

namespace {

using namespace kestrel::exporter;
namespace fs = std::filesystem;

std::string FileText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// tests/fixtures/exporter/<case>/ holds the three files a load leaves and the metrics a probe
// answers for them. KESTREL_UPDATE_GOLDEN=1 rewrites expected.prom (review the diff).
TEST(MetricsGoldenTest, EveryFixtureRendersItsExpectedMetrics) {
  const fs::path root = fs::path(KESTREL_FIXTURES_DIR) / "exporter";
  const bool update = std::getenv("KESTREL_UPDATE_GOLDEN") != nullptr;
  int cases = 0;
  for (const auto& entry : fs::directory_iterator(root)) {
    if (!entry.is_directory()) continue;
    SCOPED_TRACE(entry.path().filename().string());
    LoadResult load;
    load.finished = true;
    load.result = 0;
    load.duration_seconds = 0.25;
    kestrel::host::LoadView view;
    view.files.config = (entry.path() / "device.xml").string();
    ASSERT_TRUE(kestrel::host::ReadLoadView(view)) << view.read_error;
    load.device = std::move(view.device);
    MetricSet set;
    AddDeviceMetrics(set, "room-" + entry.path().filename().string(), {{"site", "hq"}}, load);
    const fs::path expected = entry.path() / "expected.prom";
    if (update) std::ofstream(expected, std::ios::binary) << set.Text();
    EXPECT_EQ(set.Text(), FileText(expected));
    ++cases;
  }
  EXPECT_GE(cases, 5);
}

kestrel::host::DeviceView OneSensor(const std::string& type, const std::string& unit,
                                    const std::string& value) {
  kestrel::host::SensorView sensor;
  sensor.sensor_id = "0";
  sensor.type_id = type;
  sensor.type_text = "t" + type;
  sensor.uom_id = unit;
  sensor.uom_text = "u" + unit;
  sensor.value = value;
  kestrel::host::InterfaceView port;
  port.interface_id = "3";
  port.description = "Rack \"A\"\\1\n";
  port.sensors.push_back(sensor);
  kestrel::host::DeviceView device;
  device.interfaces.push_back(port);
  return device;
}

// Units the module does not write today but a document may carry: each reaches its base unit,
// and a unit a family does not know falls back to the generic family rather than being mislabelled.
TEST(MetricsTest, SensorValuesReachTheirFamilyInBaseUnits) {
  const struct {
    const char* type;
    const char* unit;
    const char* value;
    const char* sample;
  } kCases[] = {
      {"10", "1002", "77", "roomalert_temperature_celsius"},
      {"10", "1003", "273.15", "roomalert_temperature_celsius"},
      {"20", "2001", "45.5", "roomalert_humidity_ratio"},
      {"60", "6002", "1500", "roomalert_voltage_volts"},
      {"180", "6005", "100", "roomalert_air_speed_meters_per_second"},
      {"70", "17003", "5", "roomalert_switch_state"},
      {"10", "7001", "21", "roomalert_sensor_value"},
      {"90", "7001", "3", "roomalert_sensor_value"},
      // Scaled in binary these would print as 0.39390000000000003 and 21.111111111111111.
      {"20", "2001", "39.39", "roomalert_humidity_ratio"},
      {"10", "1002", "70", "roomalert_temperature_celsius"},
  };
  const char* kExpected[] = {"25", "0",  "0.455", "1.5",    "0.508",
                             "1",  "21", "3",     "0.3939", "21.1111111111111"};
  for (std::size_t i = 0; i < std::size(kCases); ++i) {
    SCOPED_TRACE(i);
    LoadResult load;
    load.finished = true;
    load.result = 0;
    load.device = OneSensor(kCases[i].type, kCases[i].unit, kCases[i].value);
    MetricSet set;
    AddDeviceMetrics(set, "d", {}, load);
    const std::string text = set.Text();
    std::string labels =
        "{device=\"d\",port=\"Rack \\\"A\\\"\\\\1\\n\",port_id=\"3\",sensor_id=\"0\"";
    if (std::string(kCases[i].sample) == "roomalert_sensor_value") {
      labels += ",unit=\"u" + std::string(kCases[i].unit) + "\"";
    }
    EXPECT_NE(text.find(std::string(kCases[i].sample) + labels + "} " + kExpected[i] + "\n"),
              std::string::npos)
        << text;
  }
}

TEST(MetricsTest, AFailedOrUnfinishedLoadIsDownWithItsReasonAndNoReadings) {
  for (const bool finished : {true, false}) {
    LoadResult load;
    load.finished = finished;
    load.result = -1;
    load.error = "refused \"x\" after 2.5 s";
    load.device = OneSensor("10", "1001", "20");
    MetricSet set;
    AddDeviceMetrics(set, "d", {{"site", "hq"}}, load);
    const std::string text = set.Text();
    EXPECT_NE(text.find("roomalert_up{device=\"d\",site=\"hq\"} 0\n"), std::string::npos);
    // An unfinished load is a time-out whatever its text says.
    EXPECT_NE(text.find(std::string("roomalert_last_error_info{device=\"d\",class=\"") +
                        (finished ? "other" : "timeout") +
                        "\",error=\"refused \\\"x\\\" after N s\",site=\"hq\"} 1\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("temperature"), std::string::npos);
    EXPECT_EQ(text.find("roomalert_load_duration_seconds") != std::string::npos, finished);
  }
}

// A device that keeps failing the same way keeps one series: the measured numbers go.
TEST(LoadErrorTest, TextsLoseTheirMeasuredNumbers) {
  const struct {
    std::string text;
    std::string stable;  // empty: the text itself
  } kCases[] = {
      {"Failed to retrieve device data over HTTP. The GET request failed with error: [HTML Error "
       "[503].].",
       ""},
      {"no result within 1.5 s; the load goes on and a later probe takes its result",
       "no result within N s; the load goes on and a later probe takes its result"},
      {"cut after 4096 bytes, 12,5 % of UTF-8 text at -3 dB",
       "cut after N bytes, N % of UTF-8 text at -N dB"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(StableErrorText(c.text), c.stable.empty() ? c.text : c.stable);
  }
}

TEST(LoadErrorTest, ALongTextIsCutAtACharacterBoundary) {
  for (std::size_t pad = 0; pad < 4; ++pad) {
    std::string text(pad, 'x');
    for (int i = 0; i < 200; ++i) text += "\xc3\xa9";  // e with an acute accent, two bytes
    const std::string stable = StableErrorText(text);
    EXPECT_LE(stable.size(), 320u);
    ASSERT_GE(stable.size(), 3u);
    EXPECT_EQ(stable.substr(stable.size() - 3), "...");
    const auto last = static_cast<unsigned char>(stable[stable.size() - 4]);
    EXPECT_TRUE(last == 'x' || last == 0xa9) << pad;
  }
}

}  // namespace
