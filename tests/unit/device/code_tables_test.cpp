#include "device/code_tables.h"

#include <gtest/gtest.h>

#include <climits>

#include "common/error_messages.h"

namespace {

using Lookup = CMvnString& (*)(uint32_t code, CMvnString& out);

CMvnString& Type(uint32_t code, CMvnString& out) {
  return SensorTypeText(code, out);
}
CMvnString& Unit(uint32_t code, CMvnString& out) {
  return UnitText(static_cast<int32_t>(code), out);
}
CMvnString& Protocol(uint32_t code, CMvnString& out) {
  return ProtocolText(code, out);
}
CMvnString& Error(uint32_t code, CMvnString& out) {
  return GetErrorMessage(static_cast<int32_t>(code), out);
}

struct TextCase {
  Lookup lookup;
  uint32_t code;
  const char* text;
};

class CodeTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(CodeTextTest, ReplacesTheCallersText) {
  CMvnString out("stale");
  EXPECT_STREQ(GetParam().lookup(GetParam().code, out).Text(), GetParam().text);
}

// First and last rows, gaps inside each table, and codes beyond it; a code without a row takes
// the table's fallback text.
INSTANTIATE_TEST_SUITE_P(
    Edges, CodeTextTest,
    ::testing::Values(TextCase{Type, 0, "n/a"}, TextCase{Type, 230, "liquedflow"},
                      TextCase{Type, 250, "airquality"}, TextCase{Type, 15, "description missing"},
                      TextCase{Type, 160, "description missing"},
                      TextCase{Type, 260, "description missing"}, TextCase{Unit, 1, "ppm"},
                      TextCase{Unit, 7001, "n/a"}, TextCase{Unit, 16001, "ppm"},
                      TextCase{Unit, 20001, "dB"}, TextCase{Unit, 17002, "units missing"},
                      TextCase{Unit, 0xFFFFFFFF, "units missing"}, TextCase{Protocol, 0, "unknown"},
                      TextCase{Protocol, 8, "html/json"}, TextCase{Protocol, 128, "s7"},
                      // a combination of bits has no text of its own
                      TextCase{Protocol, 12, "protocol description missing"},
                      TextCase{Protocol, UINT32_MAX, "protocol description missing"},
                      // Error codes the retrieval tests and the end-to-end suite show (10060,
                      // 10061, 11001, 22449, 22450) are left to them.
                      TextCase{Error, 0, "Success"},
                      TextCase{Error, 1010, "Creation of a new thread failed"},
                      TextCase{Error, 1102, "Invalid or no password entered"},
                      TextCase{Error, 11999, "General WSA error"},
                      TextCase{Error, 22416, "Page not found (HTTP error 404)"},
                      TextCase{Error, 22428, "Generic Error"}, TextCase{Error, 1, "Generic Error"},
                      TextCase{Error, 10005, "Generic Error"},
                      TextCase{Error, static_cast<uint32_t>(-1), "Generic Error"},
                      TextCase{Error, static_cast<uint32_t>(INT32_MIN), "Generic Error"}));

struct DefaultsCase {
  uint32_t type_id;
  uint16_t digits;
  double rangemin, rangemax, band_low, band_high;
};

class SensorDefaultsTest : public ::testing::TestWithParam<DefaultsCase> {};

TEST_P(SensorDefaultsTest, OverwritesEveryOutputWhateverTheUnit) {
  const DefaultsCase& want = GetParam();
  for (int32_t uom_id : {0, 1001, 17002}) {
    uint16_t digits = 77;
    double rangemin = 1.5, rangemax = 2.5, band_low = 3.5, band_high = 4.5;
    ApplySensorTypeDefaults(want.type_id, uom_id, digits, rangemin, rangemax, band_low, band_high);
    EXPECT_EQ(digits, want.digits) << "unit " << uom_id;
    EXPECT_EQ(rangemin, want.rangemin);
    EXPECT_EQ(rangemax, want.rangemax);
    EXPECT_EQ(band_low, want.band_low);
    EXPECT_EQ(band_high, want.band_high);
  }
}

// Types the provider detects show their digits and ranges in the device cases; bands show
// nowhere, so one row with defaults of its own guards the lookup and the rest is the fallback.
INSTANTIATE_TEST_SUITE_P(Rows, SensorDefaultsTest,
                         ::testing::Values(DefaultsCase{240, 3, -9999.99, 9999.99, 0.0, 100.0},
                                           // a text of its own but no row, and no code at all
                                           DefaultsCase{140, 1, -9999.99, 9999.99, -9999.99, 0},
                                           DefaultsCase{11, 1, -9999.99, 9999.99, -9999.99, 0}));

}  // namespace
