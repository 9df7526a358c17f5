// What a sensor of the Room Alert is: the groups its ports are listed in, the port types it knows
// and the sensors each yields, the members that hold a port's type, label and readings, and the
// empty port. The module's sensor detection builds the device record from this table, and hosts
// read the same table to tell which readings the device sent and which ports hold nothing, so a
// port type added here reaches both.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/mvn_string.h"
#include "common/xml_reader.h"

namespace kestrel::device {

// Member names tried in order; the first one present wins, even when its text is empty.
using MemberNames = const char* const*;

enum class Reading : uint8_t { kNone, kNumber, kState };

struct SensorRule {
  uint32_t type_id;
  uint32_t uom_id;
  Reading reading;
  MemberNames members;  // null for kNone
};

// The device's sensor groups, in the order their interfaces are numbered.
constexpr const char* kSensorGroupPaths[] = {
    "/device/internal_sen/item", "/device/sensor/item",     "/device/wireless_sen/item",
    "/device/s_sen/item",        "/device/switch_sen/item",
};

// A port that reports no label is shown with this one.
constexpr const char* kNotConnectedLabel = "Not connected";

// The sensors one item yields, in creation order; count 0 for none.
struct ItemSensors {
  const SensorRule* rules = nullptr;
  std::size_t count = 0;
};

// By the item's type and, for type 0, by the path it was collected at.
ItemSensors SensorsFor(int32_t item_type, const CMvnString& item_path);

// The item's type: its first type member as an integer, 0 without one. text is scratch.
int32_t ItemType(CMvnXmlElement& item, CMvnString& text);

// The item's label into out; false (out empty) when it has none.
bool ItemLabel(CMvnXmlElement& item, CMvnString& out);

// The reading of rule in item, as the document carries it (0.0 for a reading that is none);
// text receives the member's text.
double ReadingValue(CMvnXmlElement& item, const SensorRule& rule, CMvnString& text);

// Whether the device took the reading of rule in item: a number member whose whole text is a
// number (the document holds 0 for anything else), or any state (a state reads as off whatever
// the device sent). An empty port takes none.
bool ReadingTaken(CMvnXmlElement& item, const SensorRule& rule, CMvnString& text);

// An empty port: the placeholder the device lists for a connector with nothing plugged in. It is
// an interface of the documents, but no sensor: it has no reading and never will.
bool IsEmptyPort(uint32_t type_id);

}  // namespace kestrel::device
