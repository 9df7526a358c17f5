#include <map>
#include <utility>

#include "host/device_view.h"

namespace kestrel::host {

namespace {

using Key = std::pair<std::string, std::string>;

}  // namespace

void MergeDataForm(const DeviceView& data, DeviceView& config) {
  std::map<Key, const SensorView*> readings;
  for (const InterfaceView& itf : data.interfaces) {
    for (const SensorView& sensor : itf.sensors) {
      readings[{itf.leaves.Get("interface-id"), sensor.leaves.Get("sensor-id")}] = &sensor;
    }
  }
  for (const char* name : {"status-id", "status-text"}) {
    if (data.leaves.Has(name)) config.leaves.Set(name, data.leaves.Get(name));
  }
  for (InterfaceView& itf : config.interfaces) {
    for (SensorView& sensor : itf.sensors) {
      const auto found =
          readings.find({itf.leaves.Get("interface-id"), sensor.leaves.Get("sensor-id")});
      if (found == readings.end()) continue;
      for (const char* name : {"status-id", "status-text", "value"}) {
        sensor.leaves.Set(name, found->second->leaves.Get(name));
      }
    }
  }
}

}  // namespace kestrel::host
