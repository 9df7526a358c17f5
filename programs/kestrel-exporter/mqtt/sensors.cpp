#include "programs/kestrel-exporter/mqtt/sensors.h"

#include <cstring>
#include <set>

#include "programs/kestrel-exporter/config_mqtt.h"
#include "programs/kestrel-exporter/metrics.h"

namespace kestrel::exporter::mqtt {

namespace {

// Home Assistant has no dew point or heat index class: both are temperatures to it.
constexpr SensorKind kKinds[] = {
    {"roomalert_temperature_celsius", "temperature", "temperature", false, "temperature", "°C", 1,
     "celsius"},
    {"roomalert_humidity_ratio", "humidity", "humidity", false, "humidity", "%", 100, "ratio"},
    {"roomalert_dew_point_celsius", "dew_point", "dew point", false, "temperature", "°C", 1,
     "celsius"},
    {"roomalert_heat_index_celsius", "heat_index", "heat index", false, "temperature", "°C", 1,
     "celsius"},
    {"roomalert_voltage_volts", "voltage", "voltage", false, "voltage", "V", 1, "volts"},
    {"roomalert_current_amperes", "current", "current", false, "current", "A", 1, "amperes"},
    {"roomalert_air_speed_meters_per_second", "air_speed", "air speed", false, "wind_speed", "m/s",
     1, "meters_per_second"},
    {"roomalert_active_power_state", "active_power", "power", true, "power", "", 1, "state"},
    {"roomalert_power_state", "power", "power", true, "power", "", 1, "state"},
    {"roomalert_switch_state", "switch", "switch", true, "", "", 1, "state"},
    {"roomalert_door_state", "door", "door", true, "door", "", 1, "state"},
    {"roomalert_motion_state", "motion", "motion", true, "motion", "", 1, "state"},
    {"roomalert_smoke_state", "smoke", "smoke", true, "smoke", "", 1, "state"},
    {"roomalert_vibration_state", "vibration", "vibration", true, "vibration", "", 1, "state"},
};

// A type the exporter has no family for: its value in the device's unit, as the device names it.
constexpr SensorKind kOther = {
    "roomalert_sensor_value", "value", "value", false, "", "", 1, nullptr};

const SensorKind& KindOf(const host::SensorView& sensor) {
  const char* family = SensorFamilyName(sensor);
  for (const SensorKind& kind : kKinds) {
    if (std::strcmp(kind.family, family) == 0) return kind;
  }
  return kOther;
}

}  // namespace

std::vector<SensorEntry> SensorEntries(const host::DeviceView& device) {
  std::vector<SensorEntry> entries;
  std::set<std::string> keys;
  for (const host::InterfaceView& port : device.interfaces) {
    std::size_t sensors = 0;
    for (const host::SensorView& sensor : port.sensors) sensors += sensor.empty_port ? 0 : 1;
    for (const host::SensorView& sensor : port.sensors) {
      if (sensor.empty_port) continue;
      const SensorKind& kind = KindOf(sensor);
      std::string key = TopicSafe(port.interface_id) + "_" + kind.name;
      // Two sensors of one kind on a port (two generic values) keep apart by their ids.
      if (!keys.insert(key).second) {
        key += "_" + TopicSafe(sensor.sensor_id);
        keys.insert(key);
      }
      entries.push_back({key, &port, &sensor, &kind, sensors == 1});
    }
  }
  return entries;
}

}  // namespace kestrel::exporter::mqtt
