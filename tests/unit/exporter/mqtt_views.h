// Loads as the MQTT tests need them: a Room Alert's view built port by port, and its load.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/device_view.h"
#include "programs/kestrel-exporter/config.h"
#include "programs/kestrel-exporter/metrics.h"

namespace kestrel::exporter::testing {

inline host::SensorView Sensor(const char* type, const char* unit, const char* unit_text,
                               const char* value, bool reading = true) {
  host::SensorView sensor;
  sensor.sensor_id = "0";
  sensor.type_id = type;
  sensor.uom_id = unit;
  sensor.uom_text = unit_text;
  sensor.value = value;
  sensor.digits = "2";
  sensor.has_reading = reading;
  return sensor;
}

inline host::InterfaceView Port(const char* id, const char* label,
                                std::vector<host::SensorView> sensors) {
  for (std::size_t i = 0; i < sensors.size(); ++i) sensors[i].sensor_id = std::to_string(i);
  return {id, label, std::move(sensors)};
}

inline host::DeviceView RoomAlert(std::vector<host::InterfaceView> ports,
                                  const char* serial = "RA3W-000001") {
  host::DeviceView view;
  view.vendor = "AVTech";
  view.model = "RoomAlert";
  view.serial = serial;
  view.mac_address = "00:80:A3:00:00:01";
  view.firmware = "v4.0.2";
  view.description = "Site Room 1";
  view.interfaces = std::move(ports);
  return view;
}

inline std::shared_ptr<const LoadResult> Loaded(host::DeviceView view, double at = 1.8e9) {
  auto load = std::make_shared<LoadResult>();
  load->finished = true;
  load->result = 0;
  load->device = std::move(view);
  load->finished_at = at;
  return load;
}

inline std::shared_ptr<const LoadResult> Failed(const char* error) {
  auto load = std::make_shared<LoadResult>();
  load->finished = true;
  load->error = error;
  load->finished_at = 1.8e9;
  return load;
}

inline MqttConfig BrokerSettings() {
  MqttConfig config;
  config.enabled = true;
  config.broker = "mqtt://127.0.0.1";
  config.host = "127.0.0.1";
  config.client_id = config.node_id = "node";
  return config;
}

inline DeviceConfig Configured(const char* name, const char* host = "10.0.0.5") {
  DeviceConfig device;
  device.name = name;
  device.host = host;
  return device;
}

}  // namespace kestrel::exporter::testing
