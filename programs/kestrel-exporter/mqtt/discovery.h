// Home Assistant's MQTT discovery: one Home Assistant device per Room Alert, one entity per
// sensor, each at PREFIX/sensor|binary_sensor/NODE/OBJECT/config. An entity is available while
// the exporter is connected (its will), the device's latest load read it, and the sensor has a
// reading: a sensor without one is unavailable, never a value.
#pragma once

#include <string>
#include <vector>

#include "host/device_view.h"
#include "programs/kestrel-exporter/config.h"

namespace kestrel::exporter::mqtt {

struct DiscoveryConfig {
  std::string topic;
  std::string payload;  // JSON
};

// The configurations of the sensors a load read, in the document's order. Their unique ids come
// from the device's serial (else its MAC), the port and the kind: they stay what they are across
// restarts, renames and a move of the device to another exporter.
std::vector<DiscoveryConfig> DiscoveryConfigs(const MqttConfig& config, const DeviceConfig& device,
                                              const host::DeviceView& view,
                                              const std::string& version);

// Where Home Assistant announces itself ("online" when it starts).
std::string HomeAssistantStatusTopic(const MqttConfig& config);
// The topics of this exporter's configurations, retained ones from an earlier run included.
std::vector<std::string> DiscoverySubscriptions(const MqttConfig& config);
bool IsDiscoveryTopic(const MqttConfig& config, const std::string& topic);
// The state topic a configuration of ours names; empty when there is none.
std::string StateTopicOf(const std::string& payload);

}  // namespace kestrel::exporter::mqtt
