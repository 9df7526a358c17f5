// What a sensor is to MQTT consumers: its key in a device's state payload, its kind and base unit,
// and how Home Assistant shows it. The kinds follow the exporter's metric families, so a reading
// is the same number on /probe and on the broker.
#pragma once

#include <string>
#include <vector>

#include "host/device_view.h"

namespace kestrel::exporter::mqtt {

struct SensorKind {
  const char* family;        // the metric family its readings go to
  const char* name;          // in keys and unique ids: temperature, humidity, switch, ...
  const char* title;         // in entity names, after the port's label when it has several
  bool binary;               // a two-state reading: Home Assistant's binary_sensor
  const char* device_class;  // Home Assistant's; "" for none
  const char* ha_unit;       // the unit Home Assistant expects; "" for none (binary)
  double ha_scale;           // from the base unit to ha_unit
  const char* unit;          // the base unit in the state payload; null: the device's own
};

// One sensor of a load, as the state and the discovery payloads name it.
struct SensorEntry {
  std::string key;  // PORTID_KIND, unique in the device: 1_temperature, 2_switch
  const host::InterfaceView* port;
  const host::SensorView* sensor;
  const SensorKind* kind;
  bool alone;  // the only sensor of its port
};

// Every sensor of the device, in the document's order; empty ports are no sensors.
std::vector<SensorEntry> SensorEntries(const host::DeviceView& device);

}  // namespace kestrel::exporter::mqtt
