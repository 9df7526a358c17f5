#include "programs/kestrel-exporter/mqtt/discovery.h"

#include <cctype>
#include <cstdlib>

#include "host/session.h"
#include "host/value_format.h"
#include "programs/kestrel-exporter/config_mqtt.h"
#include "programs/kestrel-exporter/mqtt/sensors.h"
#include "programs/kestrel-exporter/mqtt/state.h"

namespace kestrel::exporter::mqtt {

namespace {

using host::JsonString;

constexpr const char* kComponents[] = {"sensor", "binary_sensor"};

std::string LowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// 0080a3000001 for 00:80:A3:00:00:01.
std::string MacDigits(const std::string& mac) {
  std::string digits;
  for (const char c : LowerCase(mac)) {
    if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
  }
  return digits;
}

// What the device is known by in unique ids and object ids: its serial, else its MAC, else the
// name it has in this exporter.
std::string Identity(const DeviceConfig& device, const host::DeviceView& view) {
  if (!view.serial.empty()) return TopicSafe(view.serial);
  const std::string mac = MacDigits(view.mac_address);
  return mac.empty() ? TopicSafe(device.name) : mac;
}

// The device's own web page: its status document's URL without the document.
std::string DevicePage(const DeviceConfig& device) {
  std::string url = host::DeviceUrl(device.host, device.secure, device.port);
  const std::string document = host::kStatusDocumentPath;
  if (url.size() > document.size() &&
      url.compare(url.size() - document.size(), document.size(), document) == 0) {
    url.erase(url.size() - document.size());
  }
  return url + "/";
}

std::string DeviceBlock(const DeviceConfig& device, const host::DeviceView& view,
                        const std::string& identity) {
  std::string identifiers = JsonString("roomalert_" + identity);
  std::string connections;
  const std::string mac = MacDigits(view.mac_address);
  if (!mac.empty()) {
    if (mac != identity) identifiers += "," + JsonString("roomalert_" + mac);
    connections = ",\"connections\":[[\"mac\"," + JsonString(LowerCase(view.mac_address)) + "]]";
  }
  return "{\"identifiers\":[" + identifiers + "]" + connections +
         ",\"name\":" + JsonString(device.name) + ",\"model\":" + JsonString(view.model) +
         ",\"manufacturer\":" + JsonString(view.vendor) +
         ",\"sw_version\":" + JsonString(view.firmware) +
         ",\"configuration_url\":" + JsonString(DevicePage(device)) + "}";
}

// The reading of one sensor in a template: None when the payload has none.
std::string ReadingTemplate(const std::string& key) {
  return "{% set v = value_json.sensors.get('" + key + "', {}).get('value') %}";
}

std::string ValueTemplate(const SensorEntry& entry, bool on_when_open) {
  const SensorKind& kind = *entry.kind;
  std::string shown = "v";
  if (kind.binary) {
    shown = std::string("('ON' if v == ") + (on_when_open ? "1" : "0") + " else 'OFF')";
  } else if (kind.ha_scale != 1) {
    // Rounded: 0.3939 * 100 is 39.390000000000001 in binary.
    char scaled[64];
    std::snprintf(scaled, sizeof scaled, "(v * %g) | round(6)", kind.ha_scale);
    shown = scaled;
  }
  return ReadingTemplate(entry.key) + "{{ 'None' if v is none else " + shown + " }}";
}

std::string EntityName(const SensorEntry& entry) {
  const std::string label = host::PortLabel(*entry.port, *entry.sensor);
  if (entry.alone && !label.empty()) return label;
  const std::string title = entry.kind->unit == nullptr && !entry.sensor->type_text.empty()
                                ? entry.sensor->type_text
                                : entry.kind->title;
  return label.empty() ? title : label + " " + title;
}

// The unit, class and precision of a sensor; a switch's class comes from the file.
std::string Measurement(const SensorEntry& entry, const MqttConfig& config, bool& on_when_open) {
  const SensorKind& kind = *entry.kind;
  std::string device_class = kind.device_class;
  on_when_open = true;
  if (std::string(kind.name) == "switch") {
    const auto found = config.switches.find(host::PortLabel(*entry.port, *entry.sensor));
    if (found != config.switches.end()) {
      device_class = found->second.device_class;
      on_when_open = found->second.on_when_open;
    }
  }
  std::string out = device_class.empty() ? "" : ",\"device_class\":" + JsonString(device_class);
  if (kind.binary) return out + ",\"payload_on\":\"ON\",\"payload_off\":\"OFF\"";
  const std::string unit = kind.unit == nullptr ? entry.sensor->uom_text : kind.ha_unit;
  out += ",\"state_class\":\"measurement\"";
  if (!unit.empty()) out += ",\"unit_of_measurement\":" + JsonString(unit);
  const std::string& digits = entry.sensor->digits;
  if (digits.size() == 1 && std::isdigit(static_cast<unsigned char>(digits[0]))) {
    out += ",\"suggested_display_precision\":" + digits;
  }
  return out;
}

}  // namespace

std::vector<DiscoveryConfig> DiscoveryConfigs(const MqttConfig& config, const DeviceConfig& device,
                                              const host::DeviceView& view,
                                              const std::string& version) {
  const std::string identity = Identity(device, view);
  const DeviceTopics topics = TopicsOf(config, device.name);
  const std::string shared =
      ",\"state_topic\":" + JsonString(topics.state) + ",\"availability_mode\":\"all\"" +
      ",\"device\":" + DeviceBlock(device, view, identity) +
      ",\"origin\":{\"name\":\"kestrel-exporter\",\"sw_version\":" + JsonString(version) + "}";
  const std::string availability =
      "\"availability\":[{\"topic\":" + JsonString(ExporterAvailabilityTopic(config)) +
      "},{\"topic\":" + JsonString(topics.availability) + "},";
  std::vector<DiscoveryConfig> configs;
  for (const SensorEntry& entry : SensorEntries(view)) {
    bool on_when_open = true;
    const std::string measurement = Measurement(entry, config, on_when_open);
    const std::string object = identity + "_" + entry.key;
    const std::string payload =
        "{\"name\":" + JsonString(EntityName(entry)) +
        ",\"unique_id\":" + JsonString("roomalert_" + object) + shared + "," + availability +
        "{\"topic\":" + JsonString(topics.state) + ",\"value_template\":" +
        JsonString(ReadingTemplate(entry.key) + "{{ 'offline' if v is none else 'online' }}") +
        "}],\"value_template\":" + JsonString(ValueTemplate(entry, on_when_open)) + measurement +
        "}";
    configs.push_back({config.discovery_prefix + "/" + kComponents[entry.kind->binary ? 1 : 0] +
                           "/" + config.node_id + "/" + object + "/config",
                       payload});
  }
  return configs;
}

std::string HomeAssistantStatusTopic(const MqttConfig& config) {
  return config.discovery_prefix + "/status";
}

std::vector<std::string> DiscoverySubscriptions(const MqttConfig& config) {
  std::vector<std::string> topics;
  for (const char* component : kComponents) {
    topics.push_back(config.discovery_prefix + "/" + component + "/" + config.node_id +
                     "/+/config");
  }
  return topics;
}

bool IsDiscoveryTopic(const MqttConfig& config, const std::string& topic) {
  const std::string tail = "/config";
  for (const char* component : kComponents) {
    const std::string head = config.discovery_prefix + "/" + component + "/" + config.node_id + "/";
    if (topic.size() > head.size() + tail.size() && topic.compare(0, head.size(), head) == 0 &&
        topic.compare(topic.size() - tail.size(), tail.size(), tail) == 0 &&
        topic.find('/', head.size()) == topic.size() - tail.size()) {
      return true;
    }
  }
  return false;
}

std::string StateTopicOf(const std::string& payload) {
  const std::string key = "\"state_topic\":\"";
  const std::size_t at = payload.find(key);
  if (at == std::string::npos) return std::string();
  const std::size_t from = at + key.size();
  const std::size_t end = payload.find('"', from);
  return end == std::string::npos ? std::string() : payload.substr(from, end - from);
}

}  // namespace kestrel::exporter::mqtt
