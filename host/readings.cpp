#include "host/readings.h"

#include "common/xml_reader.h"
#include "device/sensor_table.h"
#include "platform/platform.h"

namespace kestrel::host {

namespace {

// The reader needs COM on Windows, which the module's load has set up on this thread already;
// taking it once more and giving it back keeps the count as it was.
class ComScope {
 public:
  ComScope() : result_(platform::ComInitialize()) {}
  ~ComScope() {
    if (result_ >= 0) platform::ComUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

 private:
  int32_t result_;
};

// The module's walk over one group (see its sensor detection), keeping only what was taken.
void TakeGroup(CMvnXmlDoc& document, const char* path, std::vector<std::vector<bool>>& ports) {
  CMvnXmlElements items;
  items.SetPath(path);
  if (document.CollectElements(items) != 0) return;
  CMvnString text;
  for (CMvnBase* entry = items.GetFirst(); entry != nullptr; entry = items.GetNext()) {
    auto& item = *static_cast<CMvnXmlElement*>(entry);
    const device::ItemSensors sensors =
        device::SensorsFor(device::ItemType(item, text), items.Path());
    if (sensors.count == 0) continue;
    std::vector<bool>& taken = ports.emplace_back();
    for (std::size_t i = 0; i < sensors.count; ++i) {
      taken.push_back(device::ReadingTaken(item, sensors.rules[i], text));
    }
  }
}

}  // namespace

bool TakenReadings(const std::string& raw_xml, std::vector<std::vector<bool>>& ports) {
  ports.clear();
  ComScope com;
  CMvnXmlDoc document;
  if (document.Initialize(0, "") != 0 || document.LoadXml(raw_xml.c_str()) != 0) return false;
  for (const char* path : device::kSensorGroupPaths) TakeGroup(document, path, ports);
  return true;
}

void MarkReadings(const std::string& raw_xml, DeviceView& device) {
  std::vector<std::vector<bool>> ports;
  if (!TakenReadings(raw_xml, ports) || ports.size() != device.interfaces.size()) return;
  for (std::size_t p = 0; p < ports.size(); ++p) {
    if (ports[p].size() != device.interfaces[p].sensors.size()) return;
  }
  for (std::size_t p = 0; p < ports.size(); ++p) {
    for (std::size_t s = 0; s < ports[p].size(); ++s) {
      SensorView& sensor = device.interfaces[p].sensors[s];
      sensor.has_reading = sensor.has_reading && ports[p][s];
    }
  }
}

}  // namespace kestrel::host
