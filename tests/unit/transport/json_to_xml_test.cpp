#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "provider/provider_app.h"
#include "tests/support/test_support.h"
#include "tests/support/xml_check.h"
#include "transport/json_parser.h"
#include "transport/json_to_xml.h"

namespace {

const std::string kOpen = "<json>\r\n<device>\r\n";
const std::string kClose = "\r\n</device>\r\n</json>";
constexpr const char* kParseFailed = "Failed to parse JSON data";
constexpr const char* kNoRoot = "Failed to find JSON root object.";

using kestrel::transport::JsonParseResult;
using kestrel::transport::JsonPaths;
using kestrel::transport::JsonStatus;

struct Conversion {
  int32_t result;
  std::string xml;
  std::string detail;
};

Conversion Convert(const char* json) {
  CMvnString xml("left over");
  CMvnString detail("left over");
  const int32_t result = CEnvProviderApp::ConvertJsonToXml(json, xml, detail);
  // Every conversion of these tests also holds the fast paths against the state table read
  // character by character.
  CMvnString plain;
  const JsonParseResult plain_result =
      kestrel::transport::ConvertJsonToXml(json, plain, JsonPaths::kPlain);
  EXPECT_EQ(plain_result.Ok(), result == 0);
  EXPECT_EQ(std::string(plain.Text()), xml.Text());
  return {result, xml.Text(), detail.Text()};
}

// body: the lines between the frame's halves; failure: the detail of a failed conversion.
struct ConversionCase {
  const char* json;
  const char* body;
  const char* failure;
};

class ConvertJsonToXmlTest : public ::testing::TestWithParam<ConversionCase> {};

TEST_P(ConvertJsonToXmlTest, RendersBodyOrFails) {
  const ConversionCase& c = GetParam();
  const Conversion got = Convert(c.json);
  if (c.failure != nullptr) {
    EXPECT_EQ(got.result, -1);
    EXPECT_EQ(got.detail, c.failure);
    EXPECT_EQ(got.xml, "");
  } else {
    EXPECT_EQ(got.result, 0);
    EXPECT_EQ(got.detail, "");
    EXPECT_EQ(got.xml, kOpen + c.body + kClose);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConvertJsonToXmlTest,
    ::testing::Values(
        ConversionCase{"{}", "", nullptr}, ConversionCase{"[]", "", nullptr},
        ConversionCase{"{'a':1}", "<a>1</a>\n", nullptr},
        ConversionCase{"{'a':[]}", "<a>null</a>\n", nullptr},
        ConversionCase{"{'a':[ ]}", "<a></a>\n", nullptr},
        ConversionCase{"{'a':{}}", "<a></a>\n", nullptr},
        // the cleaning reaches string contents too
        ConversionCase{"{'x':'[]'}", "<x>null</x>\n", nullptr},
        ConversionCase{"{'x':'a\r\nb\nc\rd'}", "<x>abcd</x>\n", nullptr},
        ConversionCase{"{'2nd value':5}", "<_2nd_value>5</_2nd_value>\n", nullptr},
        ConversionCase{"{'a b c':5}", "<a_b_c>5</a_b_c>\n", nullptr},
        ConversionCase{"{'a':'x<y & z'}", "<a>x&lt;y &amp; z</a>\n", nullptr},
        ConversionCase{"{'a':'&amp;'}", "<a>&amp;</a>\n", nullptr},
        ConversionCase{"{\"q\":\"it's \\\"ok\\\"\"}", "<q>it&apos;s &quot;ok&quot;</q>\n", nullptr},
        ConversionCase{"{'s':'x\\u00b0y'}", "<s>x&#x00b0;y</s>\n", nullptr},
        ConversionCase{"{'t':true,'n':NULL}", "<t>true</t>\n<n>NULL</n>\n", nullptr},
        ConversionCase{"[1,2]", "<item>1</item>\n<item>2</item>\n", nullptr},
        ConversionCase{"{'a':{'b':{'c':1}}}", "<a>\n <b>\n  <c>1</c>\n </b>\n</a>\n", nullptr},
        ConversionCase{"{'s':[{'t':1},{'t':2}],'n':'x'}",
                       "<s>\n <item>\n  <t>1</t>\n </item>\n <item>\n  <t>2</t>\n </item>\n</s>\n"
                       "<n>x</n>\n",
                       nullptr},
        ConversionCase{"{'a':'x','a':'y'}", "<a>x</a>\n<a>y</a>\n", nullptr},
        // line ends between tokens go without a trace
        ConversionCase{"\r\n{\r\n  'a': 1,\r\n  'b': 'x'\r\n}\r\n", "<a>1</a>\n<b>x</b>\n",
                       nullptr},
        ConversionCase{"{'a':1}xyz", "<a>1</a>\n", nullptr},
        // partial trees are rendered as far as they were built
        ConversionCase{"{'a':1,'b':{'c':2", "<a>1</a>\n", nullptr},
        ConversionCase{" \t\r\n ", nullptr, kParseFailed},
        ConversionCase{"", nullptr, kParseFailed}, ConversionCase{nullptr, nullptr, kParseFailed},
        ConversionCase{"{'a' 1}", nullptr, kParseFailed},
        ConversionCase{"{'a':1 'b':2}", nullptr, kParseFailed},
        ConversionCase{"xyz", nullptr, kNoRoot}, ConversionCase{"\v\f", nullptr, kNoRoot},
        // a lone number never sees its end once the trailing space is trimmed
        ConversionCase{"42 ", nullptr, kNoRoot}));

struct FailureCase {
  std::string json;
  JsonStatus status;
  // Into the text as received: line ends, trimmed space and "[]" count as they stand there.
  std::size_t offset;
};

class ConversionFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(ConversionFailureTest, SaysWhatWentWrongAndWhere) {
  const FailureCase& c = GetParam();
  for (const JsonPaths paths : {JsonPaths::kFast, JsonPaths::kPlain}) {
    CMvnString xml;
    const JsonParseResult got = kestrel::transport::ConvertJsonToXml(c.json.c_str(), xml, paths);
    EXPECT_EQ(got.status, c.status) << c.json << ": " << got.Description();
    EXPECT_EQ(got.offset, c.offset) << c.json;
    EXPECT_STREQ(xml.Text(), "");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConversionFailureTest,
    ::testing::Values(
        FailureCase{"", JsonStatus::kEmptyText, 0},
        FailureCase{" \r\n ", JsonStatus::kEmptyText, 0},
        FailureCase{"{'a' 1}", JsonStatus::kExpectedColon, 5},
        FailureCase{"{1:2}", JsonStatus::kExpectedMemberName, 1},
        FailureCase{"[1 2]", JsonStatus::kExpectedElementEnd, 3},
        // the offset is where the device's bytes have it, before the cleaning drops line ends...
        FailureCase{"\r\n  {'a':\r\n1 'b':2}", JsonStatus::kExpectedMemberEnd, 13},
        // ...and widens an empty array to null
        FailureCase{"{'a':[],'b' 2}", JsonStatus::kExpectedColon, 12},
        FailureCase{"{'a':[\r\n],'b' 2}", JsonStatus::kExpectedColon, 14},
        // a login page: nothing in it begins a value, and the text ends where the trim stops
        FailureCase{"<html><body>login</body></html>\n", JsonStatus::kNoRoot, 31},
        FailureCase{" {'" + std::string(1021, 'n') + "':1}", JsonStatus::kNameTooLong, 3},
        FailureCase{"{'ok':{'" + std::string(1021, 'n') + "':{}}}", JsonStatus::kNameTooLong, 8}));

TEST(ConvertJsonToXmlTest, WorkedExampleByteForByte) {
  const Conversion got =
      Convert("{'name':'Lab-Unit','sensor':[{'lab':'Rack 1','tc':21.5}],'1wire':[]}");
  ASSERT_EQ(got.result, 0);
  EXPECT_EQ(got.xml,
            "<json>\r\n<device>\r\n"
            "<name>Lab-Unit</name>\n<sensor>\n <item>\n  <lab>Rack 1</lab>\n  <tc>21.5</tc>\n"
            " </item>\n</sensor>\n<_1wire>null</_1wire>\n"
            "\r\n</device>\r\n</json>");
}

struct NameLimitCase {
  std::string name;
  // The element name the JSON name becomes.
  std::string written;
  bool fits;
};

class ElementNameLimitTest : public ::testing::TestWithParam<NameLimitCase> {};

// The limit counts the name as written into the element (digit prefix and escapes included), and
// holds only where start and end tag share a line: a scalar or a childless container.
TEST_P(ElementNameLimitTest, LongNamesFailOnlyTheOneLineForm) {
  const NameLimitCase& c = GetParam();
  for (const std::string value : {"1", "{}", "[ ]"}) {
    const std::string json = "{'" + c.name + "':" + value + "}";
    const Conversion got = Convert(json.c_str());
    EXPECT_EQ(got.result, c.fits ? 0 : -1) << c.name.size() << " " << value;
    if (!c.fits) {
      EXPECT_EQ(got.detail, kParseFailed);
    }
  }
  // A container with children keeps any name whole, at any depth.
  const Conversion got = Convert(("{'a':{'" + c.name + "':{'b':1}}}").c_str());
  EXPECT_EQ(got.result, 0) << c.name.size();
  EXPECT_EQ(got.xml, kOpen + "<a>\n <" + c.written + ">\n  <b>1</b>\n </" + c.written +
                         ">\n</a>\n" + kClose);
}

const std::string kLong(5000, 'n');

INSTANTIATE_TEST_SUITE_P(
    Cases, ElementNameLimitTest,
    ::testing::Values(
        NameLimitCase{kLong.substr(0, 1020), kLong.substr(0, 1020), true},
        NameLimitCase{kLong.substr(0, 1021), kLong.substr(0, 1021), false},
        NameLimitCase{kLong, kLong, false},
        NameLimitCase{"1" + kLong.substr(0, 1019), "_1" + kLong.substr(0, 1019), false},
        NameLimitCase{"<" + kLong.substr(0, 1016), "&lt;" + kLong.substr(0, 1016), true},
        NameLimitCase{"<" + kLong.substr(0, 1017), "&lt;" + kLong.substr(0, 1017), false}));

TEST(ConvertJsonToXmlTest, ToXmlReplacesItsOutput) {
  CMvnJson parser;
  ASSERT_EQ(parser.Parse("{'a':{'b':1}}"), 0);
  CMvnString out("old text");
  EXPECT_STREQ(parser.GetRoot()->ToXml(out).Text(), "<a>\n <b>1</b>\n</a>\n");
}

// Each conversion keeps its own nesting depth, so simultaneous loads indent correctly.
TEST(ConvertJsonToXmlTest, ConversionsOnSeveralThreadsAgree) {
  const char* json = "{'a':{'b':{'c':[1,{'d':2}]}},'e':3}";
  const std::string expected = Convert(json).xml;
  ASSERT_NE(expected, "");
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int k = 0; k < 300; ++k) {
        if (Convert(json).xml != expected) ++mismatches[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int count : mismatches) EXPECT_EQ(count, 0);
}

class FixtureConversionTest : public ::testing::TestWithParam<const char*> {};

TEST_P(FixtureConversionTest, ConvertsToWellFormedXml) {
  const std::string json =
      kestrel::testing::ReadFileBytes(kestrel::testing::FixturePath(GetParam()));
  ASSERT_FALSE(json.empty());
  const Conversion got = Convert(json.c_str());
  ASSERT_EQ(got.result, 0) << got.detail;
  EXPECT_TRUE(kestrel::testing::IsWellFormedXml(got.xml, "ISO-8859-1"));
}

INSTANTIATE_TEST_SUITE_P(Fixtures, FixtureConversionTest,
                         ::testing::Values("roomalert/3e-v1.2.1-serverdensity-plugin.json",
                                           "roomalert/12e-v3.2.5-python-script.json",
                                           "roomalert/3w-typical.json",
                                           "roomalert/3w-power-airflow.json",
                                           "roomalert/3w-quirks-crlf.json",
                                           "roomalert/3w-no-sensors.json"));

// The CR LF fixture pins what the device reader later relies on: escapes and markup in labels.
TEST(FixtureConversionTest, QuirksSurviveAsReferences) {
  const std::string json = kestrel::testing::ReadFileBytes(
      kestrel::testing::FixturePath("roomalert/3w-quirks-crlf.json"));
  const Conversion got = Convert(json.c_str());
  ASSERT_EQ(got.result, 0);
  EXPECT_NE(got.xml.find("<name>Lab R&amp;D &lt;West&gt;</name>\n"), std::string::npos);
  EXPECT_NE(got.xml.find("Internal &#x00b0;C probe"), std::string::npos);
  EXPECT_EQ(got.xml.find('\r', kOpen.size()), got.xml.size() - kClose.size());
}

}  // namespace
