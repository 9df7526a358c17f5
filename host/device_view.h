// What the host reads back from the device documents the module wrote.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kestrel::host {

// The leaf elements of one container, in document order, by element name.
class Leaves {
 public:
  void Set(std::string name, std::string text) {
    for (auto& leaf : leaves_) {
      if (leaf.first == name) {
        leaf.second = std::move(text);
        return;
      }
    }
    leaves_.emplace_back(std::move(name), std::move(text));
  }
  const std::string& Get(const std::string& name) const {
    static const std::string kNone;
    for (const auto& leaf : leaves_) {
      if (leaf.first == name) return leaf.second;
    }
    return kNone;
  }
  bool Has(const std::string& name) const {
    for (const auto& leaf : leaves_) {
      if (leaf.first == name) return true;
    }
    return false;
  }

 private:
  std::vector<std::pair<std::string, std::string>> leaves_;
};

struct SensorView {
  Leaves leaves;  // sensor-id, status-id, status-text, description, type-id, ... value
};

struct InterfaceView {
  Leaves leaves;  // interface-id, description
  std::vector<SensorView> sensors;
};

struct DeviceView {
  Leaves leaves;  // status-id, status-text, provider, vendor, model, serial, ...
  std::vector<InterfaceView> interfaces;
};

// Reads a device document (either form). On failure error names the file and the reason.
bool ReadDeviceDocument(const std::string& path, DeviceView& device, std::string& error);

// Takes status and value of every sensor of data (the data form) into config (the configuration
// form of the same load), matching interfaces and sensors by their ids.
void MergeDataForm(const DeviceView& data, DeviceView& config);

}  // namespace kestrel::host
