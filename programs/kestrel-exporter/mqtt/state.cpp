#include "programs/kestrel-exporter/mqtt/state.h"

#include <chrono>

#include "host/value_format.h"
#include "programs/kestrel-exporter/mqtt/sensors.h"

namespace kestrel::exporter::mqtt {

namespace {

using host::JsonString;

std::string DeviceLevel(const MqttConfig& config) {
  return config.topic_prefix + "/" + config.node_id + "/";
}

std::string LoadTime(double unix_seconds) {
  return host::Rfc3339Utc(std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::duration<double>(unix_seconds))));
}

void AppendSensors(std::string& out, const host::DeviceView& device) {
  out += "\"sensors\":{";
  bool first = true;
  for (const SensorEntry& entry : SensorEntries(device)) {
    double value = 0;
    const bool valid = BaseReading(*entry.sensor, value);
    out += first ? "" : ",";
    first = false;
    out += JsonString(entry.key) +
           ":{\"port\":" + JsonString(host::PortLabel(*entry.port, *entry.sensor)) +
           ",\"port_id\":" + JsonString(entry.port->interface_id) +
           ",\"sensor_id\":" + JsonString(entry.sensor->sensor_id) +
           ",\"kind\":" + JsonString(entry.kind->name) +
           ",\"value\":" + (valid ? FormatSample(value) : "null") + ",\"unit\":" +
           JsonString(entry.kind->unit != nullptr ? entry.kind->unit : entry.sensor->uom_text) +
           "}";
  }
  out += "}";
}

}  // namespace

std::string ExporterAvailabilityTopic(const MqttConfig& config) {
  return DeviceLevel(config) + "availability";
}

DeviceTopics TopicsOf(const MqttConfig& config, const std::string& device) {
  const std::string base = DeviceLevel(config) + device + "/";
  return {base + "availability", base + "state"};
}

std::string DeviceOfStateTopic(const MqttConfig& config, const std::string& topic) {
  const std::string head = DeviceLevel(config);
  const std::string tail = "/state";
  if (topic.size() <= head.size() + tail.size() || topic.compare(0, head.size(), head) != 0 ||
      topic.compare(topic.size() - tail.size(), tail.size(), tail) != 0) {
    return std::string();
  }
  const std::string device = topic.substr(head.size(), topic.size() - head.size() - tail.size());
  return device.find('/') == std::string::npos ? device : std::string();
}

const char* Availability(const LoadResult* load) {
  return load != nullptr && load->finished && load->result == 0 ? "online" : "offline";
}

std::string StatePayload(const std::string& device, const LoadResult& load) {
  const bool ok = load.finished && load.result == 0;
  std::string out = "{\"device\":" + JsonString(device) +
                    ",\"time\":" + JsonString(LoadTime(load.finished_at)) +
                    ",\"ok\":" + (ok ? "true" : "false") +
                    ",\"error\":" + (ok ? std::string("null") : JsonString(load.error)) + ",";
  if (ok) {
    const host::DeviceView& d = load.device;
    out += "\"serial\":" + JsonString(d.serial) + ",\"mac\":" + JsonString(d.mac_address) +
           ",\"model\":" + JsonString(d.model) + ",\"firmware\":" + JsonString(d.firmware) +
           ",\"name\":" + JsonString(d.description) + ",";
    AppendSensors(out, d);
  } else {
    out += "\"sensors\":{}";
  }
  return out + "}";
}

}  // namespace kestrel::exporter::mqtt
