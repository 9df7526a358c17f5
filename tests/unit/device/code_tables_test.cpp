#include "device/code_tables.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

template <typename Code>
struct TextCase {
  Code code;
  const char* text;
};

using TypeCase = TextCase<uint32_t>;
using UnitCase = TextCase<int32_t>;
using ProtocolCase = TextCase<uint32_t>;

class SensorTypeTextTest : public ::testing::TestWithParam<TypeCase> {};
class UnitTextTest : public ::testing::TestWithParam<UnitCase> {};
class ProtocolTextTest : public ::testing::TestWithParam<ProtocolCase> {};

TEST_P(SensorTypeTextTest, ReplacesTheCallersText) {
  CMvnString out("stale");
  EXPECT_STREQ(SensorTypeText(GetParam().code, out).Text(), GetParam().text);
}

TEST_P(UnitTextTest, ReplacesTheCallersText) {
  CMvnString out("stale");
  EXPECT_STREQ(UnitText(GetParam().code, out).Text(), GetParam().text);
}

TEST_P(ProtocolTextTest, ReplacesTheCallersText) {
  CMvnString out("stale");
  EXPECT_STREQ(ProtocolText(GetParam().code, out).Text(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Edges, SensorTypeTextTest,
    ::testing::Values(TypeCase{0, "n/a"}, TypeCase{10, "temperature"}, TypeCase{180, "airspeed"},
                      TypeCase{230, "liquedflow"}, TypeCase{250, "airquality"},
                      // gaps inside the table and codes that are not multiples of ten
                      TypeCase{15, "description missing"}, TypeCase{160, "description missing"},
                      TypeCase{170, "description missing"}, TypeCase{210, "description missing"},
                      TypeCase{260, "description missing"},
                      TypeCase{UINT32_MAX, "description missing"}));

INSTANTIATE_TEST_SUITE_P(
    Edges, UnitTextTest,
    ::testing::Values(UnitCase{1, "ppm"}, UnitCase{1001, "C"}, UnitCase{1003, "K"},
                      UnitCase{2001, "%RH"}, UnitCase{6005, "f/m"}, UnitCase{7001, "n/a"},
                      UnitCase{16001, "ppm"}, UnitCase{17003, "open/closed"},
                      UnitCase{17004, "active/inactive"}, UnitCase{20001, "dB"},
                      UnitCase{0, "units missing"}, UnitCase{17002, "units missing"},
                      UnitCase{-1001, "units missing"}, UnitCase{INT32_MAX, "units missing"}));

INSTANTIATE_TEST_SUITE_P(
    Edges, ProtocolTextTest,
    ::testing::Values(ProtocolCase{0, "unknown"}, ProtocolCase{1, "snmpv1"},
                      ProtocolCase{8, "html/json"}, ProtocolCase{128, "s7"},
                      // combinations of bits and the bits above the table have no text
                      ProtocolCase{12, "protocol description missing"},
                      ProtocolCase{3, "protocol description missing"},
                      ProtocolCase{256, "protocol description missing"},
                      ProtocolCase{UINT32_MAX, "protocol description missing"}));

struct DefaultsCase {
  uint32_t type_id;
  uint16_t digits;
  double rangemin;
  double rangemax;
  double band_low;
  double band_high;
};

class SensorDefaultsTest : public ::testing::TestWithParam<DefaultsCase> {};

TEST_P(SensorDefaultsTest, OverwritesEveryOutputWhateverTheUnit) {
  const DefaultsCase& expected = GetParam();
  for (int32_t uom_id : {0, 1001, 2001, 17002}) {
    uint16_t digits = 77;
    double rangemin = 1.5, rangemax = 2.5, band_low = 3.5, band_high = 4.5;
    ApplySensorTypeDefaults(expected.type_id, uom_id, digits, rangemin, rangemax, band_low,
                            band_high);
    EXPECT_EQ(digits, expected.digits) << "unit " << uom_id;
    EXPECT_DOUBLE_EQ(rangemin, expected.rangemin);
    EXPECT_DOUBLE_EQ(rangemax, expected.rangemax);
    EXPECT_DOUBLE_EQ(band_low, expected.band_low);
    EXPECT_DOUBLE_EQ(band_high, expected.band_high);
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryRow, SensorDefaultsTest,
    ::testing::Values(DefaultsCase{10, 2, -253.0, 9999.99, 18.0, 27.0},
                      DefaultsCase{30, 2, -253.0, 9999.99, 18.0, 27.0},
                      DefaultsCase{20, 2, 0.0, 100.0, 40.0, 60.0},
                      DefaultsCase{40, 3, -9999.99, 9999.99, 0.0, 100.0},
                      DefaultsCase{240, 3, -9999.99, 9999.99, 0.0, 100.0},
                      DefaultsCase{50, 0, 0.0, 1.0, 1.0, 1.0},
                      DefaultsCase{70, 0, 0.0, 1.0, 1.0, 1.0},
                      DefaultsCase{150, 0, 0.0, 1.0, 1.0, 1.0},
                      DefaultsCase{60, 2, 0.0, 5.0, 1.0, 5.0},
                      DefaultsCase{180, 2, 0.0, 9999.99, 1.0, 200.0},
                      // types with a text but no row of their own, and unknown codes
                      DefaultsCase{0, 1, -9999.99, 9999.99, -9999.99, 0.0},
                      DefaultsCase{140, 1, -9999.99, 9999.99, -9999.99, 0.0},
                      DefaultsCase{250, 1, -9999.99, 9999.99, -9999.99, 0.0},
                      DefaultsCase{11, 1, -9999.99, 9999.99, -9999.99, 0.0}));

}  // namespace
