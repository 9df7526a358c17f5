#include <gtest/gtest.h>

#include "provider/avtech_app.h"

namespace {

struct DerivedNames {
  const char* config;
  const char* raw_xml;
  const char* json;
};

class WorkingFileNamesTest : public ::testing::TestWithParam<DerivedNames> {};

TEST_P(WorkingFileNamesTest, DerivesBothWorkingFiles) {
  CAVTechApp app;
  app.SetConfigWorkingFile(GetParam().config);
  EXPECT_STREQ(app.ConfigWorkingFile().Text(), GetParam().config);
  EXPECT_STREQ(app.RawXmlWorkingFile().Text(), GetParam().raw_xml);
  EXPECT_STREQ(app.JsonWorkingFile().Text(), GetParam().json);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WorkingFileNamesTest,
    ::testing::Values(DerivedNames{"D:\\Data\\dev01.xml", "D:\\Data\\dev01.raw.xml",
                                   "D:\\Data\\dev01.json"},
                      DerivedNames{"dev.XML", "dev.raw.xml", "dev.json"},
                      DerivedNames{"device", "device", "device"},
                      DerivedNames{"a.xml.xml", "a.raw.xml.raw.xml", "a.json.json"},
                      DerivedNames{"", "", ""}));

// The SNMP settings only pass through to the trace (see the module table test); a null text from
// the host is an empty one.
TEST(ProviderSettingsTest, NullHostIsEmpty) {
  CAVTechApp app;
  app.SetHost(nullptr);
  EXPECT_STREQ(app.Host().Text(), "");
}

}  // namespace
