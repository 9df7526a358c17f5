#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "programs/kestrel-exporter/config.h"
#include "programs/kestrel-exporter/metrics.h"

namespace {

using namespace kestrel::exporter;

bool NoPasswords(const std::string&, std::string&) {
  return false;
}

kestrel::host::SensorView Sensor(const char* id, const char* type, const char* unit,
                                 const char* value) {
  kestrel::host::SensorView sensor;
  sensor.sensor_id = id;
  sensor.type_id = type;
  sensor.uom_id = unit;
  sensor.value = value;
  return sensor;
}

kestrel::host::InterfaceView Port(const char* id, const char* label,
                                  std::vector<kestrel::host::SensorView> sensors) {
  kestrel::host::InterfaceView port;
  port.interface_id = id;
  port.description = label;
  port.sensors = std::move(sensors);
  return port;
}

// A 3W as the exporter sees it after a load: the internal sensor (with a second temperature, as
// a digital sensor may report), a temperature and humidity sensor, a switch and an empty port.
LoadResult SiteLoad() {
  LoadResult load;
  load.finished = true;
  load.result = 0;
  kestrel::host::SensorView empty = Sensor("0", "0", "0", "0");
  empty.empty_port = true;
  load.device.interfaces = {
      Port("0", "Internal Sensor",
           {Sensor("0", "10", "1001", "22.3"), Sensor("1", "10", "1002", "72")}),
      Port("1", "Rack 4 Intake",
           {Sensor("0", "10", "1001", "21.5"), Sensor("1", "20", "2001", "45")}),
      Port("2", "Door", {Sensor("0", "70", "7001", "0")}),
      Port("3", "Empty port", {empty}),
  };
  return load;
}

// "PORT KIND SEVERITY BOUND" (KIND C or RH) and its value, for every threshold line; a line
// that names another device or lacks the configured label fails the test.
std::map<std::string, std::string> Limits(const std::string& text) {
  static const std::regex kLine(
      R"re(roomalert_threshold_(celsius|humidity_ratio)\{device="lab",port="([^"]*)",)re"
      R"re(port_id="\d+",severity="(\w+)",bound="(\w+)",site="hq"\} (\S+))re");
  std::map<std::string, std::string> found;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("roomalert_threshold_", 0) != 0) continue;
    std::smatch m;
    EXPECT_TRUE(std::regex_match(line, m, kLine)) << line;
    if (m.empty()) continue;
    const std::string key =
        m[2].str() + (m[1] == "celsius" ? " C " : " RH ") + m[3].str() + " " + m[4].str();
    EXPECT_EQ(found.count(key), 0u) << "twice: " << key;
    found[key] = m[5];
  }
  return found;
}

// The layers, each over the one below, and what each exports for the site's ports; "" is a
// limit that has no series.
TEST(ThresholdsTest, EachLayerOverridesTheOneBelow) {
  const struct {
    const char* config;
    std::vector<std::pair<const char*, const char*>> limits;
  } kCases[] = {
      {"devices: [{name: lab, host: x, labels: {site: hq}}]\n",
       {{"Internal Sensor C warning high", "27"},
        {"Internal Sensor C critical high", "32"},
        {"Internal Sensor C warning low", ""},
        {"Internal Sensor RH warning high", ""},
        {"Rack 4 Intake RH warning low", "0.2"},
        {"Rack 4 Intake RH critical high", "0.8"},
        {"Door C warning high", ""},
        {"Empty port C warning high", ""}}},
      // written in percent, exported as the ratio the readings use, without binary noise
      {"defaults: {thresholds: {temperature: {warning_high: 25.5}, humidity: {warning_high: "
       "70.1, critical_high: null}}}\n"
       "devices: [{name: lab, host: x, labels: {site: hq}}]\n",
       {{"Internal Sensor C warning high", "25.5"},
        {"Internal Sensor C critical high", "32"},
        {"Rack 4 Intake RH warning high", "0.701"},
        {"Rack 4 Intake RH critical high", ""}}},
      {"defaults: {thresholds: {temperature: {warning_high: 25}}}\n"
       "devices: [{name: lab, host: x, labels: {site: hq}, thresholds: {temperature: "
       "{warning_high: 24, warning_low: 18}}}]\n",
       {{"Internal Sensor C warning high", "24"},
        {"Internal Sensor C warning low", "18"},
        {"Rack 4 Intake RH warning high", "0.7"}}},
      // a port over its device; a label the device does not have changes nothing
      {"devices: [{name: lab, host: x, labels: {site: hq}, thresholds: {temperature: "
       "{warning_low: 18}, ports: {'Rack 4 Intake': {temperature: {critical_high: 30}}, "
       "'Rack 5': {temperature: {warning_high: 20}}}}}]\n",
       {{"Rack 4 Intake C critical high", "30"},
        {"Rack 4 Intake C warning low", "18"},
        {"Rack 4 Intake RH warning low", "0.2"},
        {"Internal Sensor C critical high", "32"},
        {"Internal Sensor C warning high", "27"}}},
      {"devices: [{name: lab, host: x, labels: {site: hq}, thresholds: {ports: {'Rack 4 "
       "Intake': {temperature: {warning_high: null, critical_high: null}}}}}]\n",
       {{"Rack 4 Intake C warning high", ""},
        {"Rack 4 Intake C critical high", ""},
        {"Internal Sensor C warning high", "27"}}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.config);
    Config config;
    std::string error;
    ASSERT_TRUE(ParseConfig(c.config, "f.yml", NoPasswords, config, error)) << error;
    MetricSet set;
    AddThresholdMetrics(set, config.devices.at(0), SiteLoad());
    const auto found = Limits(set.Text());
    for (const auto& [key, value] : c.limits) {
      const auto at = found.find(key);
      EXPECT_EQ(at == found.end() ? "" : at->second, value) << key;
    }
  }
}

TEST(ThresholdsTest, ALoadThatFailedKnowsNoPortsAndExportsNoLimits) {
  LoadResult load = SiteLoad();
  load.result = -1;
  MetricSet set;
  AddThresholdMetrics(set, DeviceConfig{"lab", "x", "", false, 0, {}, false, {}, {}}, load);
  EXPECT_EQ(set.Text(), "");
}

TEST(ThresholdsTest, BadThresholdsAndReservedLabelsAreRefusedWhereTheyStand) {
  const struct {
    const char* text;
    const char* message;
  } kCases[] = {
      {"defaults: {thresholds: {temperature: {warning_high: hot}}}\n",
       "f.yml:1:53: expected a temperature in degrees Celsius from -100 to 200 for "
       "'warning_high' (or null: no such limit), got 'hot'"},
      {"defaults: {thresholds: {humidity: {critical_high: 101}}}\n",
       "f.yml:1:51: expected a relative humidity in percent from 0 to 100"},
      {"defaults: {thresholds: {temperature: {warning_hi: 30}}}\n",
       "f.yml:1:39: unknown key 'warning_hi' in temperature thresholds (expected warning_low, "
       "warning_high, critical_low or critical_high)"},
      // a port's label means nothing to every device at once
      {"defaults: {thresholds: {ports: {}}}\n", "f.yml:1:25: unknown key 'ports' in thresholds"},
      // the critical limit beyond the warning one, whichever layer set each
      {"defaults: {thresholds: {temperature: {critical_high: 26}}}\n",
       "f.yml:1:54: expected temperature critical_high to be at least warning_high (27), got 26"},
      {"devices:\n  - {name: a, host: x, thresholds: {temperature: {warning_high: 33}}}\n",
       "f.yml:2:65: expected temperature warning_high to be at most critical_high (32), got 33"},
      {"devices:\n  - {name: a, host: x, thresholds: {ports: {P: {humidity: {warning_low: "
       "75}}}}}\n",
       "f.yml:2:73: expected humidity warning_low to be below warning_high (70), got 75"},
      {"devices:\n  - {name: a, host: x, thresholds: {ports: {P: {}, P: {}}}}\n",
       "f.yml:2:52: key 'P' given twice in ports"},
      {"devices:\n  - {name: a, host: x, labels: {severity: page}}\n",
       "f.yml:2:33: expected a label"},
      {"devices:\n  - {name: a, host: x, labels: {bound: x}}\n", "f.yml:2:33: expected a label"},
      {"devices:\n  - {name: a, host: x, labels: {kestrel_exporter: x}}\n",
       "f.yml:2:33: expected a label"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    Config config;
    std::string error;
    EXPECT_FALSE(ParseConfig(c.text, "f.yml", NoPasswords, config, error));
    EXPECT_EQ(error.rfind(c.message, 0), 0u) << error;
  }
}

}  // namespace
