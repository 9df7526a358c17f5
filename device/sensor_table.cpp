#include "device/sensor_table.h"

#include "device/reading_text.h"

namespace kestrel::device {
namespace {

constexpr const char* kTypeMembers[] = {"t", "type", nullptr};
constexpr const char* kLabelMembers[] = {"lab", "label", nullptr};
constexpr const char* kTemperatureMembers[] = {"tc", "tempc", "temperature", nullptr};
constexpr const char* kHumidityMembers[] = {"h", "humid", "humidity", nullptr};
constexpr const char* kVoltageMembers[] = {"volts", nullptr};
constexpr const char* kPowerMembers[] = {"power_detected", "powerDetected", nullptr};
constexpr const char* kAirSpeedMembers[] = {"airSpeed", nullptr};
constexpr const char* kSwitchMembers[] = {"stat", "status", "state", nullptr};

// Sensor type and unit codes of the device model.
constexpr SensorRule kTemperature = {10, 1001, Reading::kNumber, kTemperatureMembers};
constexpr SensorRule kHumidity = {20, 2001, Reading::kNumber, kHumidityMembers};
// The device also reports inputVoltageMinimum/inputVoltageMaximum, but the sensor keeps the
// voltage type's own 0-5 V range, which insertion applies anyway: hosts compare documents across
// devices and firmware, and only some firmware sends those limits.
constexpr SensorRule kVoltage = {60, 6001, Reading::kNumber, kVoltageMembers};
constexpr SensorRule kPowerDetected = {50, 17004, Reading::kState, kPowerMembers};
constexpr SensorRule kAirSpeed = {180, 6005, Reading::kNumber, kAirSpeedMembers};
constexpr SensorRule kSwitch = {70, 17003, Reading::kState, kSwitchMembers};
// The empty port: shown, with no reading.
constexpr SensorRule kPlaceholder = {0, 7001, Reading::kNone, nullptr};

struct ItemTypeRow {
  int32_t item_type;
  // The device's own name for the port kind, for readers of this table.
  const char* port;
  SensorRule sensors[2];
  std::size_t count;
};

// The device's sensor type numbers and the sensors each one yields, in creation order. Types not
// listed yield nothing; type 0 depends on the group (see kUnknownTypeRules).
constexpr ItemTypeRow kItemTypes[] = {
    {16, "temperature", {kTemperature, {}}, 1},
    {38, "temperature and humidity", {kTemperature, kHumidity}, 2},
    {40, "temperature and voltage", {kTemperature, kVoltage}, 2},
    {42, "power detection and temperature", {kPowerDetected, kTemperature}, 2},
    {43, "air speed and temperature", {kAirSpeed, kTemperature}, 2},
    {59, "temperature", {kTemperature, {}}, 1},
    {65, "analog voltage", {kVoltage, {}}, 1},
};

struct UnknownTypeRule {
  // The rule holds when the item path contains one of these, letter case ignored.
  const char* paths[3];
  SensorRule sensor;
};

// Items reporting type 0, tried in order: the first rule whose path matches decides; no match
// yields nothing (internal and wireless ports without a probe stay out of the document).
constexpr UnknownTypeRule kUnknownTypeRules[] = {
    {{"/device/digitalSensors/item", "/device/sensor/item", nullptr}, kPlaceholder},
    {{"/device/s_sen/item", "/device/switch_sen/item", "/device/switchSensors/item"}, kSwitch},
};

// True when one of the names is present; out holds its text, or is empty when none is.
bool ReadFirstMember(CMvnXmlElement& item, MemberNames names, CMvnString& out) {
  for (; *names != nullptr; ++names) {
    if (item.GetValue(*names, out) != 0) return true;
  }
  return false;
}

}  // namespace

ItemSensors SensorsFor(int32_t item_type, const CMvnString& item_path) {
  if (item_type == 0) {
    for (const UnknownTypeRule& rule : kUnknownTypeRules) {
      for (const char* path : rule.paths) {
        if (path != nullptr && item_path.ContainsNoCase(path) != 0) return {&rule.sensor, 1};
      }
    }
    return {};
  }
  for (const ItemTypeRow& row : kItemTypes) {
    if (row.item_type == item_type) return {row.sensors, row.count};
  }
  return {};
}

int32_t ItemType(CMvnXmlElement& item, CMvnString& text) {
  ReadFirstMember(item, kTypeMembers, text);
  return ReadInteger(text.Text());
}

bool ItemLabel(CMvnXmlElement& item, CMvnString& out) {
  return ReadFirstMember(item, kLabelMembers, out);
}

double ReadingValue(CMvnXmlElement& item, const SensorRule& rule, CMvnString& text) {
  if (rule.reading == Reading::kNone) return 0.0;
  ReadFirstMember(item, rule.members, text);
  if (rule.reading == Reading::kState) return IsTrueText(text.Text()) ? 1.0 : 0.0;
  return ReadNumber(text.Text());
}

bool ReadingTaken(CMvnXmlElement& item, const SensorRule& rule, CMvnString& text) {
  switch (rule.reading) {
    case Reading::kNone:
      return false;
    case Reading::kState:
      return true;
    case Reading::kNumber:
      return ReadFirstMember(item, rule.members, text) && IsDeviceNumber(text.Text());
  }
  return false;
}

bool IsEmptyPort(uint32_t type_id) {
  return type_id == kPlaceholder.type_id;
}

}  // namespace kestrel::device
