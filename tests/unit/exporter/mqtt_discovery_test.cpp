#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "programs/kestrel-exporter/mqtt/discovery.h"
#include "programs/kestrel-exporter/mqtt/state.h"
#include "tests/unit/exporter/mqtt_views.h"

namespace {

using namespace kestrel::exporter;
using namespace kestrel::exporter::mqtt;
using namespace kestrel::exporter::testing;
using nlohmann::json;

// What Home Assistant's MQTT discovery requires of every entity of a device, and what ours
// promise on top: availability from the will, the device and the reading.
void ExpectEntity(const json& entity, const std::string& topic) {
  for (const char* key : {"name", "unique_id", "state_topic", "value_template", "availability"}) {
    EXPECT_TRUE(entity.contains(key)) << key << " in " << entity;
  }
  EXPECT_EQ(topic, "homeassistant/" +
                       std::string(topic.find("/binary_sensor/") != topic.npos ? "binary_sensor"
                                                                               : "sensor") +
                       "/node/" + entity["unique_id"].get<std::string>().substr(10) + "/config");
  EXPECT_EQ(entity["availability_mode"], "all");
  ASSERT_EQ(entity["availability"].size(), 3u);
  EXPECT_EQ(entity["availability"][0]["topic"], "roomalert/node/availability");
  EXPECT_EQ(entity["availability"][1]["topic"], "roomalert/node/room-1/availability");
  EXPECT_EQ(entity["availability"][2]["topic"], entity["state_topic"]);
  const json& device = entity["device"];
  EXPECT_EQ(device["identifiers"],
            json::array({"roomalert_RA3W-000001", "roomalert_0080a3000001"}));
  EXPECT_EQ(device["connections"], json::parse(R"([["mac", "00:80:a3:00:00:01"]])"));
  EXPECT_EQ(device["name"], "room-1");
  EXPECT_EQ(device["sw_version"], "v4.0.2");
  EXPECT_EQ(device["configuration_url"], "http://10.0.0.5/");
  EXPECT_EQ(entity["origin"]["name"], "kestrel-exporter");
}

TEST(MqttDiscoveryTest, EachSensorKindAsHomeAssistantExpectsIt) {
  const struct {
    const char* why;
    kestrel::host::SensorView sensor;
    const char* component;
    const char* device_class;  // "" : none
    const char* unit;          // "" : none
    const char* value_template_end;
  } kCases[] = {
      {"Celsius", Sensor("10", "1001", "C", "21.5"), "sensor", "temperature", "°C", "else v }}"},
      // The device in Fahrenheit still reaches Home Assistant in the base unit.
      {"Fahrenheit", Sensor("10", "1002", "F", "70.7"), "sensor", "temperature", "°C", "v }}"},
      {"humidity", Sensor("20", "2001", "%RH", "41"), "sensor", "humidity", "%",
       "(v * 100) | round(6) }}"},
      {"dew point", Sensor("30", "1001", "C", "9"), "sensor", "temperature", "°C", "v }}"},
      {"air speed", Sensor("180", "6005", "fpm", "100"), "sensor", "wind_speed", "m/s", "v }}"},
      {"a switch of no class", Sensor("70", "17003", "open/closed", "0"), "binary_sensor", "", "",
       "('ON' if v == 1 else 'OFF') }}"},
      {"door", Sensor("120", "17003", "open/closed", "1"), "binary_sensor", "door", "",
       "('ON' if v == 1 else 'OFF') }}"},
      // A type of no family keeps the device's own unit and no class.
      {"unknown type", Sensor("999", "1", "lux", "3"), "sensor", "", "lux", "v }}"},
      // A temperature in a unit the exporter does not know is not passed off as Celsius.
      {"unknown unit", Sensor("10", "9999", "X", "3"), "sensor", "", "X", "v }}"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.why);
    const auto configs = DiscoveryConfigs(BrokerSettings(), Configured("room-1"),
                                          RoomAlert({Port("3", "Rack", {c.sensor})}), "1.2");
    ASSERT_EQ(configs.size(), 1u);
    const json entity = json::parse(configs[0].payload);
    ExpectEntity(entity, configs[0].topic);
    EXPECT_NE(configs[0].topic.find("/" + std::string(c.component) + "/"), std::string::npos);
    EXPECT_EQ(entity.value("device_class", ""), c.device_class);
    EXPECT_EQ(entity.value("unit_of_measurement", ""), c.unit);
    EXPECT_EQ(entity.value("state_class", ""),
              std::string(c.component) == "sensor" ? "measurement" : "");
    const std::string value_template = entity["value_template"];
    EXPECT_EQ(value_template.rfind(c.value_template_end),
              value_template.size() - std::string(c.value_template_end).size())
        << value_template;
    EXPECT_NE(value_template.find("'3_"), std::string::npos) << value_template;
  }
}

TEST(MqttDiscoveryTest, SwitchesTakeTheirClassAndOnPositionFromTheirLabel) {
  MqttConfig config = BrokerSettings();
  config.switches["Leak"] = {"moisture", false};
  const auto view =
      RoomAlert({Port("1", "Leak", {Sensor("70", "17003", "open/closed", "0")}),
                 Port("2", "Rack door", {Sensor("70", "17003", "open/closed", "0")})});
  const auto configs = DiscoveryConfigs(config, Configured("room-1"), view, "1.2");
  ASSERT_EQ(configs.size(), 2u);
  const json leak = json::parse(configs[0].payload);
  EXPECT_EQ(leak["device_class"], "moisture");
  EXPECT_NE(leak["value_template"].get<std::string>().find("'ON' if v == 0"), std::string::npos);
  EXPECT_FALSE(json::parse(configs[1].payload).contains("device_class"));
}

TEST(MqttDiscoveryTest, IdsComeFromTheDeviceAndSurviveItsName) {
  const auto view = RoomAlert(
      {Port("0", "Internal", {Sensor("10", "1001", "C", "20")}),
       Port("1", "Rack", {Sensor("10", "1001", "C", "20"), Sensor("20", "2001", "%", "1")}),
       Port("2", "", {Sensor("0", "0", "", "0")}),
       // A sensor that sent no reading is an entity still: one Home Assistant shows as
       // unavailable.
       Port("3", "Cold aisle", {Sensor("10", "1001", "C", "0", false)})});
  auto ids = [](const std::vector<DiscoveryConfig>& configs) {
    std::vector<std::string> out;
    for (const auto& c : configs) out.push_back(json::parse(c.payload)["unique_id"]);
    return out;
  };
  auto empty = view;
  empty.interfaces[2].sensors[0].empty_port = true;
  const auto configs = DiscoveryConfigs(BrokerSettings(), Configured("room-1"), empty, "1.2");
  const std::vector<std::string> expected = {
      "roomalert_RA3W-000001_0_temperature", "roomalert_RA3W-000001_1_temperature",
      "roomalert_RA3W-000001_1_humidity", "roomalert_RA3W-000001_3_temperature"};
  EXPECT_EQ(ids(configs), expected);
  EXPECT_EQ(json::parse(configs[0].payload)["name"], "Internal");
  EXPECT_EQ(json::parse(configs[2].payload)["name"], "Rack humidity");
  // Renamed, on another host, another version: the same entities.
  EXPECT_EQ(
      ids(DiscoveryConfigs(BrokerSettings(), Configured("renamed", "10.9.9.9"), empty, "1.3")),
      expected);
  // Without a serial the MAC names the device.
  EXPECT_EQ(ids(DiscoveryConfigs(BrokerSettings(), Configured("room-1"),
                                 RoomAlert(empty.interfaces, ""), "1.2"))[0],
            "roomalert_0080a3000001_0_temperature");
}

TEST(MqttStateTest, ReadingsInBaseUnitsAndNullForNone) {
  const auto load = Loaded(RoomAlert(
      {Port("1", "Rack",
            {Sensor("20", "2001", "%RH", "39.39"), Sensor("10", "1002", "F", "0", false)})}));
  const json state = json::parse(StatePayload("room-1", *load));
  EXPECT_EQ(state["ok"], true);
  EXPECT_EQ(state["time"], "2027-01-15T08:00:00.000Z");
  EXPECT_EQ(state["serial"], "RA3W-000001");
  EXPECT_EQ(state["sensors"]["1_humidity"]["value"], 0.3939);
  EXPECT_EQ(state["sensors"]["1_humidity"]["unit"], "ratio");
  EXPECT_TRUE(state["sensors"]["1_temperature"]["value"].is_null());
  EXPECT_EQ(state["sensors"]["1_temperature"]["unit"], "celsius");
  const json failed = json::parse(StatePayload("room-1", *Failed("refused")));
  EXPECT_EQ(failed["ok"], false);
  EXPECT_EQ(failed["error"], "refused");
  EXPECT_TRUE(failed["sensors"].empty());
  EXPECT_FALSE(failed.contains("serial"));
}

}  // namespace
