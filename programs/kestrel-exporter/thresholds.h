// Limits per room: the warning and critical bounds that alert rules hold temperature and humidity
// readings against. They come from the configuration (built in, then defaults, then the device,
// then a port by its label) and are exported beside the readings, so one set of packaged rules
// serves rooms with different limits.
//
//   defaults:
//     thresholds:
//       temperature: {warning_high: 27, critical_high: 32}   # degrees Celsius
//       humidity: {warning_low: 20, warning_high: 70}         # percent relative humidity
//   devices:
//     - name: lab
//       thresholds:
//         temperature: {warning_low: 18, critical_high: null}  # null: no such limit
//         ports:
//           Window: {temperature: {warning_low: 12}}
#pragma once

#include <yaml-cpp/yaml.h>

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestrel::exporter {

// A bound's key in the file and the labels of its series.
struct ThresholdBound {
  const char* key;
  const char* severity;
  const char* bound;
};
constexpr ThresholdBound kThresholdBounds[] = {
    {"warning_low", "warning", "low"},
    {"warning_high", "warning", "high"},
    {"critical_low", "critical", "low"},
    {"critical_high", "critical", "high"},
};
constexpr std::size_t kThresholdBoundCount = std::size(kThresholdBounds);

// One quantity's bounds in kThresholdBounds' order, as the file writes them (degrees Celsius,
// percent); no value: no such limit.
using Bounds = std::array<std::optional<double>, kThresholdBoundCount>;

// The limits of one room, or of one port in it.
struct Thresholds {
  Bounds temperature;
  Bounds humidity;
  bool operator==(const Thresholds& other) const {
    return temperature == other.temperature && humidity == other.humidity;
  }
};

// Temperature above 27 °C warns and above 32 °C is critical; humidity outside 20..70 % warns and
// outside 10..80 % is critical.
Thresholds BuiltInThresholds();

// A device's limits, and those of its ports that differ, by port label.
struct DeviceThresholds {
  Thresholds device = BuiltInThresholds();
  std::vector<std::pair<std::string, Thresholds>> ports;
  const Thresholds& For(const std::string& port_label) const;
  bool operator==(const DeviceThresholds& other) const {
    return device == other.device && ports == other.ports;
  }
};

// defaults.thresholds, over the built-in limits; fails (web::Fail) where the file is wrong.
Thresholds ParseDefaultThresholds(const YAML::Node& node);

// A device's thresholds, over the defaults.
DeviceThresholds ParseDeviceThresholds(const YAML::Node& node, const Thresholds& defaults);

}  // namespace kestrel::exporter
