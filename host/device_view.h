// What a load wrote, as every host shows it: the device's identity and its interfaces and
// sensors with their texts as the configuration document holds them (UTF-8), each sensor with
// whether the device took its reading and whether its port is empty.
#pragma once

#include <string>
#include <vector>

namespace kestrel::host {

struct SensorView {
  std::string sensor_id;
  std::string status_id;
  std::string status_text;
  std::string description;
  std::string type_id;
  std::string type_text;
  std::string uom_id;
  std::string uom_text;
  std::string digits;
  std::string rangemin;
  std::string rangemax;
  std::string value;
  // The document holds 0 for a reading the device did not take; this says which it was.
  bool has_reading = true;
  // A port with nothing plugged in: no sensor at all, whatever the document lists for it.
  bool empty_port = false;
};

struct InterfaceView {
  std::string interface_id;
  std::string description;
  std::vector<SensorView> sensors;
};

struct DeviceView {
  std::string status_id;
  std::string status_text;
  std::string protocol_id;
  std::string protocol_text;
  std::string provider;
  std::string vendor;
  std::string model;
  std::string serial;
  std::string mac_address;
  std::string firmware;
  std::string ip_address;
  std::string tracefile;
  std::string description;
  std::vector<InterfaceView> interfaces;
};

// The port's label: the interface's description, else the sensor's (the module gives both the
// item's label).
inline const std::string& PortLabel(const InterfaceView& itf, const SensorView& sensor) {
  return itf.description.empty() ? sensor.description : itf.description;
}

// The whole file; false when it cannot be read (errno says why).
bool ReadFileBytes(const std::string& path, std::string& bytes);

// The same from the document's text (UTF-8, as the module writes it).
bool ParseDeviceDocument(const std::string& text, DeviceView& device, std::string& error);

// Reads a device document of either form (the data form leaves the descriptions and codes empty).
// Sensors are taken as having their readings, and empty ports are known by their type; on
// failure error names the file and the reason.
bool ReadDeviceDocument(const std::string& path, DeviceView& device, std::string& error);

}  // namespace kestrel::host
