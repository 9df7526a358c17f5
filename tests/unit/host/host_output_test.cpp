#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "host/value_format.h"
#include "programs/kestrel-host/host_output.h"

namespace {

using namespace kestrel::host;

struct TextCase {
  std::string (*convert)(const std::string& text);
  std::string in;
  std::string out;
};

class TextConversionTest : public ::testing::TestWithParam<TextCase> {};
TEST_P(TextConversionTest, Converts) {
  EXPECT_EQ(GetParam().convert(GetParam().in), GetParam().out);
}
INSTANTIATE_TEST_SUITE_P(
    Cases, TextConversionTest,
    ::testing::Values(TextCase{JsonString, "", "\"\""},
                      TextCase{JsonString, "R&D \"rack\" \\2", "\"R&D \\\"rack\\\" \\\\2\""},
                      TextCase{JsonString, "a\r\nb\tc\x01", "\"a\\r\\nb\\tc\\u0001\""},
                      TextCase{JsonString, "21\xC2\xB0", "\"21\xC2\xB0\""},
                      TextCase{JsonNumber, "-253.000", "-253.000"},
                      TextCase{JsonNumber, "1e5", "1e5"}, TextCase{JsonNumber, "", "null"},
                      // Texts a device could put in a value slot that JSON has no number for.
                      TextCase{JsonNumber, "nan", "null"}, TextCase{JsonNumber, "inf", "null"},
                      TextCase{JsonNumber, "01", "null"}, TextCase{JsonNumber, "1.", "null"},
                      TextCase{JsonNumber, ".5", "null"}, TextCase{JsonNumber, "+1", "null"},
                      TextCase{JsonNumber, "1,5", "null"}, TextCase{JsonNumber, "1e", "null"},
                      TextCase{Windows1252ToUtf8, "21\xB0", "21\xC2\xB0"},
                      TextCase{Windows1252ToUtf8, "\x80", "\xE2\x82\xAC"},
                      // a byte Windows-1252 leaves undefined
                      TextCase{Windows1252ToUtf8, "\x81", "\xEF\xBF\xBD"}));

TEST(FormatValueTest, UsesTheSensorsDigits) {
  EXPECT_EQ(FormatValue("21.500", "2"), "21.50");
  EXPECT_EQ(FormatValue("1.000", "0"), "1");
  EXPECT_EQ(FormatValue("-3.25", "1"), "-3.2");
  EXPECT_EQ(FormatValue("", "2"), "-");
  EXPECT_EQ(FormatValue("12.5", "99"), "12.500000");
}

DeviceView TwoSensors(const std::string& first_value, const std::string& status) {
  DeviceView device;
  device.description = "Server room";
  device.vendor = "AVTech";
  device.model = "RoomAlert";
  InterfaceView& itf = device.interfaces.emplace_back();
  itf.interface_id = "0";
  itf.description = "A label much longer than the port column can hold";
  for (const char* id : {"0", "1"}) {
    SensorView& s = itf.sensors.emplace_back();
    s.sensor_id = id;
    s.status_id = status;
    s.status_text = status == "0" ? "Success" : "Generic Error";
    s.type_text = "temperature";
    s.uom_text = "C";
    s.digits = "2";
    s.value = first_value;
  }
  return device;
}

TEST(FormatTableTest, RowsFitEightyColumns) {
  const std::string table = FormatTable(TwoSensors("21.500", "1"));
  std::size_t start = 0;
  while (start < table.size()) {
    const std::size_t end = table.find('\n', start);
    EXPECT_LE(end - start, 80u) << table.substr(start, end - start);
    start = end + 1;
  }
  EXPECT_NE(table.find("21.50 C  (Generic Error)"), std::string::npos) << table;
  EXPECT_NE(table.find("A label much longer than the~ temperature"), std::string::npos) << table;
}

// A reading the device did not take and a port with nothing in it are different things to say.
TEST(FormatTableTest, NoReadingAndEmptyPort) {
  DeviceView device = TwoSensors("0.000", "0");
  device.interfaces[0].sensors[0].has_reading = false;
  device.interfaces[0].sensors[1].has_reading = false;
  device.interfaces[0].sensors[1].empty_port = true;
  const std::string table = FormatTable(device);
  EXPECT_NE(table.find("temperature           no reading\n"), std::string::npos) << table;
  EXPECT_NE(table.find("temperature           empty port\n"), std::string::npos) << table;
  const std::string json = FormatJson(0, "", &device);
  EXPECT_EQ(json.find("\"value\":0.000"), std::string::npos) << json;
}

TEST(FormatJsonTest, EmptyRangeBecomesNull) {
  const std::string json = FormatJson(0, "The operation completed successfully.",
                                      &static_cast<const DeviceView&>(TwoSensors("21.500", "0")));
  EXPECT_NE(json.find("\"value\":21.500,\"digits\":2,\"rangeMin\":null"), std::string::npos)
      << json;
  EXPECT_EQ(json.find('\n'), std::string::npos);
}

TEST(PollOutputTest, StampsAndXmlDocumentOfAPoll) {
  LoadStamp stamp{
      Rfc3339Utc(std::chrono::system_clock::time_point(std::chrono::milliseconds(1765005601123))),
      "07:20:01", "dev:8080 \"&\"", 0.4123};
  EXPECT_EQ(stamp.time, "2025-12-06T07:20:01.123Z");
  EXPECT_EQ(StampJson("{\"result\":0}", stamp),
            "{\"time\":\"2025-12-06T07:20:01.123Z\",\"host\":\"dev:8080 \\\"&\\\"\","
            "\"durationMs\":0.412,\"result\":0}");
  // Each load's document without its declaration, so that the whole poll is one document.
  EXPECT_EQ(
      XmlPollLoad(stamp, 0, "", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<device/>\r\n"),
      "<load time=\"2025-12-06T07:20:01.123Z\" host=\"dev:8080 &quot;&amp;&quot;\" "
      "duration-ms=\"0.412\" result=\"0\">\n<device/>\r\n</load>\n");
  EXPECT_NE(
      XmlPollLoad(stamp, -1, "A <b> \xC2\xB0", "").find("last-error=\"A &lt;b&gt; \xC2\xB0\"/>"),
      std::string::npos);
  EXPECT_EQ(FormatPollLine(stamp, &static_cast<const DeviceView&>(TwoSensors("21.500", "0")), ""),
            "07:20:01  0.412 ms  A label much longer than the port column can hold 21.50 C, "
            "21.50 C\n");
  EXPECT_EQ(FormatPollLine(stamp, nullptr, "Generic Error."),
            "07:20:01  0.412 ms  failed: Generic Error.\n");
}

}  // namespace
