// The plain MQTT face, for any system that reads a broker: the topics of the exporter and of each
// device, and a device's latest load as one JSON document with its readings in base units.
//
//   PREFIX/NODE/availability          online while the exporter is connected, else offline (will)
//   PREFIX/NODE/DEVICE/availability   online when the device's latest load read it, else offline
//   PREFIX/NODE/DEVICE/state          the latest load (StatePayload)
#pragma once

#include <string>

#include "programs/kestrel-exporter/config.h"
#include "programs/kestrel-exporter/metrics.h"

namespace kestrel::exporter::mqtt {

struct DeviceTopics {
  std::string availability;
  std::string state;
};

std::string ExporterAvailabilityTopic(const MqttConfig& config);
DeviceTopics TopicsOf(const MqttConfig& config, const std::string& device);
// The device a state topic of this exporter belongs to; empty for any other topic.
std::string DeviceOfStateTopic(const MqttConfig& config, const std::string& topic);

// "online" when the load read the device, else "offline" (null: no load yet).
const char* Availability(const LoadResult* load);

// {"device", "time" (when the load ended), "ok", "error", the identity, "sensors": {KEY: {"port",
// "port_id", "sensor_id", "kind", "value" (null: no reading), "unit"}}}; a failed load has no
// identity and no sensors.
std::string StatePayload(const std::string& device, const LoadResult& load);

}  // namespace kestrel::exporter::mqtt
