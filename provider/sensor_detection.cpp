// Turns the sensor ports that the device lists into interfaces and sensors of the device record.
#include <cfloat>
#include <charconv>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <system_error>

#include "common/xml_reader.h"
#include "provider/avtech_app.h"
#include "provider/sensor_values.h"

namespace kestrel::provider {
namespace {

// ---------------------------------------------------------------- reading the device's texts
// The device writes numbers with "." whatever the host's locale is, so none of these readers
// consults the locale (strtod would, and would also accept inf, nan and hexadecimal forms).

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Skips leading white space and one sign; true when the sign was a minus.
const char* SkipSpaceAndSign(const char* text, bool& negative) {
  while (IsSpace(*text)) ++text;
  negative = *text == '-';
  if (*text == '+' || *text == '-') ++text;
  return text;
}

// End of a run of digits, optionally with one "." and an exponent, starting at text: the longest
// prefix that can be a number, so the standard reader never scans the rest of a long text.
const char* NumberEnd(const char* text) {
  while (IsDigit(*text)) ++text;
  if (*text == '.') {
    ++text;
    while (IsDigit(*text)) ++text;
  }
  if (*text == 'e' || *text == 'E') {
    const char* p = text + 1;
    if (*p == '+' || *p == '-') ++p;
    while (IsDigit(*p)) ++p;
    text = p;
  }
  return text;
}

// Whether the digits of a number text that the standard reader called out of range stand above 1
// (too large for a double) rather than below (too small).
bool IsAboveOne(const char* begin, const char* end) {
  long long magnitude = 0;
  bool seen_nonzero = false;
  const char* p = begin;
  for (; p < end && IsDigit(*p); ++p) {
    if (*p != '0') seen_nonzero = true;
    if (seen_nonzero) ++magnitude;
  }
  if (!seen_nonzero && p < end && *p == '.') {
    for (++p; p < end && *p == '0'; ++p) --magnitude;
  }
  while (p < end && *p != 'e' && *p != 'E') ++p;
  if (p < end) {
    ++p;
    const bool exponent_negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    long long exponent = 0;
    for (; p < end && IsDigit(*p); ++p) {
      if (exponent < 1000000000) exponent = exponent * 10 + (*p - '0');
    }
    magnitude += exponent_negative ? -exponent : exponent;
  }
  return magnitude > 0;
}

}  // namespace

// Leading white space and a sign are taken here; the digits go to the standard library, which
// reads them correctly rounded and without the locale.
int32_t ReadInteger(const char* text) {
  bool negative = false;
  const char* digits = SkipSpaceAndSign(text, negative);
  const char* end = digits;
  while (IsDigit(*end)) ++end;
  uint64_t magnitude = 0;
  if (std::from_chars(digits, end, magnitude).ec == std::errc::result_out_of_range) {
    magnitude = UINT64_MAX;
  }
  if (negative) {
    return magnitude >= uint64_t{1} << 31 ? INT32_MIN : -static_cast<int32_t>(magnitude);
  }
  return magnitude > uint64_t{INT32_MAX} ? INT32_MAX : static_cast<int32_t>(magnitude);
}

double ReadNumber(const char* text) {
  bool negative = false;
  const char* digits = SkipSpaceAndSign(text, negative);
  // The standard reader also takes inf and nan; the device's texts are numbers or nothing.
  if (!IsDigit(digits[0]) && !(digits[0] == '.' && IsDigit(digits[1]))) return 0.0;
  const char* end = NumberEnd(digits);
  double value = 0.0;
  if (std::from_chars(digits, end, value).ec == std::errc::result_out_of_range) {
    // Too large stops at the largest finite double, so the device document never carries an
    // infinity; too small is 0.
    value = IsAboveOne(digits, end) ? DBL_MAX : 0.0;
  }
  return negative ? -value : value;
}

namespace {

bool IsTrueText(const char* text) {
  if (text[0] == '1') return true;
  static constexpr char kTrue[] = "true";
  for (std::size_t i = 0; i < 4; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kTrue[i]) return false;
  }
  return text[4] == '\0';
}

// ---------------------------------------------------------------- what an item holds

// Member names tried in order; the first one present wins, even when its text is empty.
using MemberNames = const char* const*;
constexpr const char* kTypeMembers[] = {"t", "type", nullptr};
constexpr const char* kLabelMembers[] = {"lab", "label", nullptr};
constexpr const char* kTemperatureMembers[] = {"tc", "tempc", "temperature", nullptr};
constexpr const char* kHumidityMembers[] = {"h", "humid", "humidity", nullptr};
constexpr const char* kVoltageMembers[] = {"volts", nullptr};
constexpr const char* kPowerMembers[] = {"power_detected", "powerDetected", nullptr};
constexpr const char* kAirSpeedMembers[] = {"airSpeed", nullptr};
constexpr const char* kSwitchMembers[] = {"stat", "status", "state", nullptr};

constexpr const char* kNotConnected = "Not connected";

// True when one of the names is present; out holds its text, or is empty when none is.
bool ReadFirstMember(CMvnXmlElement& item, MemberNames names, CMvnString& out) {
  for (; *names != nullptr; ++names) {
    if (item.GetValue(*names, out) != 0) return true;
  }
  return false;
}

enum class Reading { kNone, kNumber, kState };

struct SensorRule {
  uint32_t type_id;
  uint32_t uom_id;
  Reading reading;
  MemberNames members;
};

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
// A port that reports nothing to read: shown, with no reading.
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

// The sensors an item of item_type yields on item_path; count 0 for none.
const SensorRule* SensorsFor(int32_t item_type, const CMvnString& item_path, std::size_t& count) {
  count = 0;
  if (item_type == 0) {
    for (const UnknownTypeRule& rule : kUnknownTypeRules) {
      for (const char* path : rule.paths) {
        if (path != nullptr && item_path.ContainsNoCase(path) != 0) {
          count = 1;
          return &rule.sensor;
        }
      }
    }
    return nullptr;
  }
  for (const ItemTypeRow& row : kItemTypes) {
    if (row.item_type == item_type) {
      count = row.count;
      return row.sensors;
    }
  }
  return nullptr;
}

double ReadValue(CMvnXmlElement& item, const SensorRule& rule, CMvnString& text) {
  if (rule.reading == Reading::kNone) return 0.0;
  ReadFirstMember(item, rule.members, text);
  if (rule.reading == Reading::kState) return IsTrueText(text.Text()) ? 1.0 : 0.0;
  return ReadNumber(text.Text());
}

}  // namespace
}  // namespace kestrel::provider

void CAVTechApp::DetectSensors(CMvnXmlDoc* document, const char* item_path) {
  using namespace kestrel::provider;  // NOLINT(google-build-using-namespace): this file's tables

  if (item_path == nullptr) item_path = "";
  Trace(TRACE_TO_FILE, "AVTechApp: Detecting sensors, JSON path = [%s]...\n", item_path);

  CMvnXmlElements elements;
  elements.SetPath(item_path);
  elements.RemoveAll();
  if (document == nullptr || document->CollectElements(elements) != 0) {
    Trace(TRACE_TO_FILE,
          "AVTechApp: The specified sensor path does not exist on this device model, "
          "skipping...\n");
    return;
  }

  CMvnString label;
  CMvnString type_text;
  CMvnString value_text;
  for (CMvnBase* entry = elements.GetFirst(); entry != nullptr; entry = elements.GetNext()) {
    auto& item = *static_cast<CMvnXmlElement*>(entry);

    ReadFirstMember(item, kTypeMembers, type_text);
    const int32_t item_type = ReadInteger(type_text.Text());
    if (!ReadFirstMember(item, kLabelMembers, label)) label.Assign(kNotConnected);
    Trace(TRACE_TO_FILE, "AVTechApp: New sensor found, type id= [%d], label = [%s].\n", item_type,
          label.Text());

    std::size_t count = 0;
    const SensorRule* rules = SensorsFor(item_type, elements.Path(), count);
    if (count == 0) continue;

    // Made where they are kept: the device owns the interface, the interface its sensors.
    auto port = std::make_unique<CEnvDevInterface>(ClassName());
    port->description.Assign(label);
    for (std::size_t i = 0; i < count; ++i) {
      auto sensor = std::make_unique<CEnvDevInterfaceSensor>(ClassName());
      sensor->description.Assign(label);
      sensor->type_id = rules[i].type_id;
      sensor->uom_id = rules[i].uom_id;
      sensor->value = ReadValue(item, rules[i], value_text);
      port->AddSensor(sensor.release());
    }
    device_.AddInterface(port.release());
  }
}
