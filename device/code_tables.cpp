#include "device/code_tables.h"

#include <cstddef>

namespace {

template <typename Code>
struct CodeText {
  Code code;
  const char* text;
};

constexpr CodeText<uint32_t> kSensorTypes[] = {
    {0, "n/a"},          {10, "temperature"}, {20, "humidity"}, {30, "dewpoint"},
    {40, "heatindex"},   {50, "activepower"}, {60, "voltage"},  {70, "switch"},
    {80, "powerstate"},  {90, "light"},       {100, "motion"},  {110, "smoke"},
    {120, "door"},       {130, "resistance"}, {140, "wetness"}, {150, "vibration"},
    {180, "airspeed"},   {190, "dust"},       {200, "sound"},   {220, "liquidlevel"},
    {230, "liquedflow"},  // spelling kept: documents already in the field carry it
    {240, "current"},    {250, "airquality"},
};

constexpr CodeText<int32_t> kUnits[] = {
    {1, "ppm"},
    {2, "ppb"},
    {1001, "C"},
    {1002, "F"},
    {1003, "K"},
    {2001, "%RH"},
    {5001, "W"},
    {5002, "VA"},
    {6001, "V"},
    {6002, "mV"},
    {6003, "kV"},
    {6004, "A"},
    {6005, "f/m"},
    {7001, "n/a"},
    {16001, "ppm"},
    {17001, "ppm"},
    {17003, "open/closed"},
    {17004, "active/inactive"},
    {20001, "dB"},
};

// One bit per protocol; a combination of bits has no text of its own.
constexpr CodeText<uint32_t> kProtocols[] = {
    {0, "unknown"},   {1, "snmpv1"},    {2, "snmpv2c"}, {4, "snmpv3"}, {8, "html/json"},
    {16, "html/xml"}, {32, "html/csv"}, {64, "modbus"}, {128, "s7"},
};

template <typename Code, std::size_t N>
const char* Lookup(const CodeText<Code> (&table)[N], Code code, const char* missing) {
  for (const auto& row : table) {
    if (row.code == code) return row.text;
  }
  return missing;
}

struct SensorDefaults {
  uint16_t digits;
  double rangemin;
  double rangemax;
  double band_low;
  double band_high;
};

// 9999.99 with either sign marks a limit that is in effect open.
constexpr SensorDefaults kTemperature{2, -253.0, 9999.99, 18.0, 27.0};
constexpr SensorDefaults kHumidity{2, 0.0, 100.0, 40.0, 60.0};
constexpr SensorDefaults kAnalog{3, -9999.99, 9999.99, 0.0, 100.0};
constexpr SensorDefaults kBinary{0, 0.0, 1.0, 1.0, 1.0};
constexpr SensorDefaults kVoltage{2, 0.0, 5.0, 1.0, 5.0};
constexpr SensorDefaults kAirSpeed{2, 0.0, 9999.99, 1.0, 200.0};
constexpr SensorDefaults kOther{1, -9999.99, 9999.99, -9999.99, 0.0};

struct TypeDefaults {
  uint32_t type_id;
  const SensorDefaults* defaults;
};

constexpr TypeDefaults kTypeDefaults[] = {
    {10, &kTemperature}, {30, &kTemperature},                                    //
    {20, &kHumidity},                                                            //
    {40, &kAnalog},      {90, &kAnalog},      {130, &kAnalog}, {200, &kAnalog},  //
    {240, &kAnalog},                                                             //
    {50, &kBinary},      {70, &kBinary},      {80, &kBinary},  {100, &kBinary},  //
    {110, &kBinary},     {120, &kBinary},     {150, &kBinary},                   //
    {60, &kVoltage},                                                             //
    {180, &kAirSpeed},
};

}  // namespace

const char* SensorTypeDescription(uint32_t type_id) {
  return Lookup(kSensorTypes, type_id, "description missing");
}

const char* UnitDescription(int32_t uom_id) {
  return Lookup(kUnits, uom_id, "units missing");
}

CMvnString& SensorTypeText(uint32_t type_id, CMvnString& out) {
  return out.Assign(SensorTypeDescription(type_id));
}

CMvnString& UnitText(int32_t uom_id, CMvnString& out) {
  return out.Assign(UnitDescription(uom_id));
}

CMvnString& ProtocolText(uint32_t protocol_id, CMvnString& out) {
  return out.Assign(Lookup(kProtocols, protocol_id, "protocol description missing"));
}

void ApplySensorTypeDefaults(uint32_t type_id, int32_t /*uom_id*/, uint16_t& digits,
                             double& rangemin, double& rangemax, double& band_low,
                             double& band_high) {
  const SensorDefaults* defaults = &kOther;
  for (const auto& row : kTypeDefaults) {
    if (row.type_id == type_id) {
      defaults = row.defaults;
      break;
    }
  }
  digits = defaults->digits;
  rangemin = defaults->rangemin;
  rangemax = defaults->rangemax;
  band_low = defaults->band_low;
  band_high = defaults->band_high;
}
