#include "programs/kestrel-exporter/thresholds.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "web/yaml_walk.h"

namespace kestrel::exporter {

namespace {

using web::Fail;
using web::ForEachEntry;
using web::Key;
using web::KeyOrder;
using web::KindOf;
using web::Quoted;
using web::ReadKeys;

struct Quantity {
  const char* name;
  const char* expected;  // what a bound of it is, for messages
  double lowest;
  double highest;
  Bounds Thresholds::*bounds;
};

// Wide enough for any room and any sensor the device takes, narrow enough to catch a limit
// written in the wrong unit (a humidity as a ratio is still in range: the key's unit is
// documented as percent).
constexpr Quantity kTemperature = {"temperature",
                                   "a temperature in degrees Celsius from -100 to 200", -100, 200,
                                   &Thresholds::temperature};
constexpr Quantity kHumidity = {"humidity", "a relative humidity in percent from 0 to 100", 0, 100,
                                &Thresholds::humidity};

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

// Which bounds the layer being read sets (a value or null), and where: a layer below was checked
// already, so a conflict is always the fault of a bound this layer sets.
struct Placed {
  std::array<YAML::Node, kThresholdBoundCount> node;
  std::array<bool, kThresholdBoundCount> set{};
};

// Pairs of bounds in the order their values must keep (by index of kThresholdBounds): a critical
// limit lies beyond its warning one, and every low limit lies below every high one.
constexpr struct {
  std::size_t lower;
  std::size_t upper;
  bool strict;
} kOrder[] = {{2, 0, false}, {1, 3, false}, {0, 1, true}, {0, 3, true}, {2, 1, true}, {2, 3, true}};

void CheckOrder(const Quantity& quantity, const Bounds& bounds, const Placed& placed) {
  for (const auto& pair : kOrder) {
    const auto& low = bounds[pair.lower];
    const auto& high = bounds[pair.upper];
    if (!low || !high || *low < *high || (!pair.strict && *low == *high)) continue;
    const char* relation = pair.strict ? "above" : "at least";
    std::size_t blamed = pair.upper;
    std::size_t other = pair.lower;
    if (!placed.set[pair.upper]) {
      relation = pair.strict ? "below" : "at most";
      std::swap(blamed, other);
    }
    Fail(placed.node[blamed], std::string("expected ") + quantity.name + " " +
                                  kThresholdBounds[blamed].key + " to be " + relation + " " +
                                  kThresholdBounds[other].key + " (" + Number(*bounds[other]) +
                                  "), got " + Number(*bounds[blamed]));
  }
}

// One quantity's mapping of one layer as it is read.
struct BoundsRead {
  const Quantity& quantity;
  Bounds& bounds;
  Placed& placed;
};

void ReadBound(const char* key, const YAML::Node& value, BoundsRead& read) {
  std::size_t index = 0;
  while (std::strcmp(kThresholdBounds[index].key, key) != 0) ++index;
  read.placed.node[index] = value;
  read.placed.set[index] = true;
  if (value.IsNull()) {
    read.bounds[index].reset();
    return;
  }
  const std::string text = value.IsScalar() ? value.Scalar() : std::string();
  double number = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() ||
      !std::isfinite(number) || number < read.quantity.lowest || number > read.quantity.highest) {
    Fail(value, std::string("expected ") + read.quantity.expected + " for '" + key +
                    "' (or null: no such limit), got " +
                    (value.IsScalar() ? Quoted(text) : std::string(KindOf(value))));
  }
  read.bounds[index] = number;
}

constexpr Key<BoundsRead> kBoundKeys[] = {
    {kThresholdBounds[0].key, ReadBound},
    {kThresholdBounds[1].key, ReadBound},
    {kThresholdBounds[2].key, ReadBound},
    {kThresholdBounds[3].key, ReadBound},
};

// One layer (defaults, a device or a port) as it is read, over the limits of the layer below.
struct LayerRead {
  Thresholds thresholds;
  Placed temperature;
  Placed humidity;
  YAML::Node ports;  // a device's only
  bool has_ports = false;
};

void ReadQuantity(const Quantity& quantity, const YAML::Node& value, LayerRead& read,
                  Placed& placed) {
  BoundsRead bounds{quantity, read.thresholds.*quantity.bounds, placed};
  ReadKeys(value, (std::string(quantity.name) + " thresholds").c_str(), kBoundKeys, bounds);
}

void ReadTemperature(const char*, const YAML::Node& value, LayerRead& read) {
  ReadQuantity(kTemperature, value, read, read.temperature);
}

void ReadHumidity(const char*, const YAML::Node& value, LayerRead& read) {
  ReadQuantity(kHumidity, value, read, read.humidity);
}

void ReadPorts(const char*, const YAML::Node& value, LayerRead& read) {
  read.ports = value;
  read.has_ports = true;
}

constexpr Key<LayerRead> kRoomKeys[] = {{"temperature", ReadTemperature},
                                        {"humidity", ReadHumidity}};
constexpr Key<LayerRead> kDeviceKeys[] = {
    {"temperature", ReadTemperature}, {"humidity", ReadHumidity}, {"ports", ReadPorts}};

template <std::size_t N>
Thresholds ReadLayer(const YAML::Node& node, const char* where, const Key<LayerRead> (&keys)[N],
                     const Thresholds& below, LayerRead& read) {
  read.thresholds = below;
  ReadKeys(node, where, keys, read, KeyOrder::kTable);
  CheckOrder(kTemperature, read.thresholds.temperature, read.temperature);
  CheckOrder(kHumidity, read.thresholds.humidity, read.humidity);
  return read.thresholds;
}

}  // namespace

Thresholds BuiltInThresholds() {
  Thresholds built_in;
  built_in.temperature = {std::nullopt, 27.0, std::nullopt, 32.0};
  built_in.humidity = {20.0, 70.0, 10.0, 80.0};
  return built_in;
}

const Thresholds& DeviceThresholds::For(const std::string& port_label) const {
  for (const auto& [label, thresholds] : ports) {
    if (label == port_label) return thresholds;
  }
  return device;
}

Thresholds ParseDefaultThresholds(const YAML::Node& node) {
  LayerRead read;
  return ReadLayer(node, "thresholds", kRoomKeys, BuiltInThresholds(), read);
}

DeviceThresholds ParseDeviceThresholds(const YAML::Node& node, const Thresholds& defaults) {
  DeviceThresholds result;
  LayerRead read;
  result.device = ReadLayer(node, "thresholds", kDeviceKeys, defaults, read);
  if (!read.has_ports) return result;
  ForEachEntry(read.ports, "ports",
               [&](const std::string& label, const YAML::Node&, const YAML::Node& value) {
                 LayerRead port;
                 const std::string where = "the thresholds of port " + Quoted(label);
                 result.ports.emplace_back(
                     label, ReadLayer(value, where.c_str(), kRoomKeys, result.device, port));
               });
  return result;
}

}  // namespace kestrel::exporter
