#include "host/readings.h"

#include <memory>
#include <mutex>
#include <utility>

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

// The reader's memory (its node tables, walk buffers and entries) kept from one read to the next,
// as a provider keeps its own between loads: a host reads the raw document after every load. Kept
// per read that runs at once, never per device; ReaderMemory::UseKeptMemory turns it off with the
// provider's.
class KeptReaderMemory {
 public:
  std::unique_ptr<xml::ReaderMemory> Take() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (free_.empty()) return std::make_unique<xml::ReaderMemory>();
    std::unique_ptr<xml::ReaderMemory> memory = std::move(free_.back());
    free_.pop_back();
    return memory;
  }
  void Give(std::unique_ptr<xml::ReaderMemory> memory) {
    std::lock_guard<std::mutex> hold(mutex_);
    free_.push_back(std::move(memory));
  }

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<xml::ReaderMemory>> free_;
};

// A real 3W's intermediate XML is a few KB; a body at the network component's cap makes 10 MB.
constexpr std::size_t kKeptDocumentBytes = 256 * 1024;

KeptReaderMemory& ReaderMemories() {
  static KeptReaderMemory memories;
  return memories;
}

bool Take(const std::string& raw_xml, xml::ReaderMemory& memory,
          std::vector<std::vector<bool>>& ports) {
  CMvnXmlDoc document(memory);
  if (document.Initialize(0, "") != 0 || document.LoadXml(raw_xml.c_str()) != 0) return false;
  for (const char* path : device::kSensorGroupPaths) TakeGroup(document, path, ports);
  return true;
}

}  // namespace

bool TakenReadings(const std::string& raw_xml, std::vector<std::vector<bool>>& ports) {
  ports.clear();
  ComScope com;
  std::unique_ptr<xml::ReaderMemory> memory = ReaderMemories().Take();
  const bool read = Take(raw_xml, *memory, ports);
  // Memory sized for a hostile device's megabytes goes with its read; a real 3W's is kept.
  if (raw_xml.size() <= kKeptDocumentBytes) ReaderMemories().Give(std::move(memory));
  return read;
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
