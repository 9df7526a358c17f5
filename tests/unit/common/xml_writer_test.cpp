#include "common/xml_writer.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_support.h"

namespace {

using kestrel::testing::ReadFileBytes;
using kestrel::testing::TempDir;
using kestrel::testing::WriteFileBytes;

struct WriterCase {
  const char* name;
  void (*steps)(CMvnXmlFile& writer);
  const char* bytes;  // the file as it lands on disk
  int32_t depth;
};

std::string Repeated(const char* piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

const std::string kLongLine = "<d>\r\n  <t>" + Repeated("\xC2\xB0", 300) + "</t>\r\n";
// The writer hands the file 4 KB at a time: lines that end, start and straddle a handover, and a
// line longer than the handover itself.
const std::string kManyLines =
    Repeated("<v>0123456789</v>\r\n", 700) + "<w>" + std::string(9000, 'w') + "</w>\r\n";

class XmlWriterTest : public ::testing::TestWithParam<WriterCase> {};

TEST_P(XmlWriterTest, WritesExactBytes) {
  TempDir dir;
  const std::string path = dir.File("out.xml");
  CMvnXmlFile writer("CMvnXmlFile");
  ASSERT_TRUE(writer.Open(path.c_str()));
  GetParam().steps(writer);
  writer.Close();
  EXPECT_EQ(ReadFileBytes(path), GetParam().bytes);
  EXPECT_EQ(writer.Depth(), GetParam().depth);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, XmlWriterTest,
    ::testing::Values(
        // Declaration, indentation and markup escaping show in the golden device documents.
        WriterCase{"EmptyAndNullValues",
                   [](CMvnXmlFile& w) {
                     w.WriteElement("e", "");
                     w.WriteElement("n", static_cast<const char*>(nullptr));
                   },
                   "<e></e>\r\n<n></n>\r\n", 0},
        WriterCase{"Integers",
                   [](CMvnXmlFile& w) {
                     w.WriteElement("i", -5);
                     w.WriteElement("i", INT32_MIN);
                   },
                   "<i>-5</i>\r\n<i>-2147483648</i>\r\n", 0},
        // Windows-1252 bytes become UTF-8: degree sign (two bytes), euro sign (three bytes)
        WriterCase{"AnsiToUtf8", [](CMvnXmlFile& w) { w.WriteElement("t", "24\xB0 \x80"); },
                   "<t>24\xC2\xB0 \xE2\x82\xAC</t>\r\n", 0},
        // a value's own line feeds get CR LF too, as everything in text mode
        WriterCase{"LineFeedInValue", [](CMvnXmlFile& w) { w.WriteElement("t", "a\nb"); },
                   "<t>a\r\nb</t>\r\n", 0},
        // A line longer than the writer's stack buffers, indented, converted as a whole.
        WriterCase{"LongNonAsciiValue",
                   [](CMvnXmlFile& w) {
                     w.OpenElement("d");
                     w.WriteElement("t", std::string(300, '\xB0').c_str());
                   },
                   kLongLine.c_str(), 1},
        WriterCase{"LongerThanTheBuffer",
                   [](CMvnXmlFile& w) {
                     for (int i = 0; i < 700; ++i) w.WriteElement("v", "0123456789");
                     w.WriteElement("w", std::string(9000, 'w').c_str());
                   },
                   kManyLines.c_str(), 0},
        // Lines that need escaping or converting keep their place among the plain ones.
        WriterCase{
            "EscapedAmongPlainLines",
            [](CMvnXmlFile& w) {
              w.OpenElement("d");
              w.WriteElement("t", "x");
              w.WriteElement("u", "a<b&c");
              w.WriteElement("\xE9", "\xB0");
              w.CloseElement("d");
            },
            "<d>\r\n  <t>x</t>\r\n  <u>a&lt;b&amp;c</u>\r\n  <\xC3\xA9>\xC2\xB0</\xC3\xA9>\r\n"
            "</d>\r\n",
            0},
        WriterCase{"UnmatchedCloseGoesNegative", [](CMvnXmlFile& w) { w.CloseElement("x"); },
                   "</x>\r\n", -1},
        WriterCase{"WriteUtf8IgnoresEmptyText", [](CMvnXmlFile& w) { w.WriteUtf8("abc", 0); }, "",
                   0}),
    [](const ::testing::TestParamInfo<WriterCase>& info) { return info.param.name; });

TEST(WriteTextFileTest, WritesTheTextUnconvertedInTextMode) {
  TempDir dir;
  const std::string path = dir.File("device.json");
  WriteFileBytes(path, "a much longer previous content");
  EXPECT_EQ(WriteTextFile(path.c_str(), "{\"t\":\"24\xB0\"}\nx\r\n"), 0);
  EXPECT_EQ(ReadFileBytes(path), "{\"t\":\"24\xB0\"}\r\nx\r\r\n");
  EXPECT_EQ(WriteTextFile(dir.File("missing/device.json").c_str(), "x"), -1);
  EXPECT_EQ(WriteTextFile("", "x"), -1);
}

}  // namespace
