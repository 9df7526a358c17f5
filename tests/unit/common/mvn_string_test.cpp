#include "common/mvn_string.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct ReplaceCase {
  const char* text;
  const char* search;
  const char* replacement;
  const char* expected;
};

class ReplaceAllTest : public ::testing::TestWithParam<ReplaceCase> {};

TEST_P(ReplaceAllTest, ReplacesLeftToRightIgnoringCase) {
  const ReplaceCase& c = GetParam();
  CMvnString text(c.text);
  EXPECT_STREQ(text.ReplaceAll(c.search, c.replacement).Text(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReplaceAllTest,
    ::testing::Values(ReplaceCase{"{a:[],b:[]}", "[]", "null", "{a:null,b:null}"},
                      ReplaceCase{"aBcAB", "ab", "X", "XcX"}, ReplaceCase{"aaa", "aa", "b", "ba"},
                      // the inserted text is never searched again
                      ReplaceCase{"aa", "a", "aa", "aaaa"}, ReplaceCase{"abc", "", "X", "abc"},
                      ReplaceCase{"abc", "zz", "X", "abc"},
                      ReplaceCase{"a\r\nb\r\n", "\r\n", "", "ab"}, ReplaceCase{"", "a", "b", ""}));

struct EscapeCase {
  const char* text;
  const char* expected;
};

class XmlEscapeTest : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(XmlEscapeTest, EscapesMarkupAndKeepsReferences) {
  CMvnString text(GetParam().text);
  EXPECT_STREQ(text.XmlEscape().Text(), GetParam().expected);
  // Escaping an escaped text changes nothing.
  EXPECT_STREQ(text.XmlEscape().Text(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, XmlEscapeTest,
    ::testing::Values(EscapeCase{"a<b & c>d", "a&lt;b &amp; c&gt;d"},
                      EscapeCase{"\"'", "&quot;&apos;"},
                      EscapeCase{"&amp; &AMP; &#x41; &copy;", "&amp; &AMP; &#x41; &amp;copy;"},
                      EscapeCase{"AT&T", "AT&amp;T"}, EscapeCase{"&LT;", "&LT;"},
                      EscapeCase{"&", "&amp;"}, EscapeCase{"&#", "&#"},
                      EscapeCase{"\xB0"
                                 "C",
                                 "\xB0"
                                 "C"},
                      EscapeCase{"", ""}));

struct TrimCase {
  const char* text;
  const char* expected;
};

class TrimTest : public ::testing::TestWithParam<TrimCase> {};

TEST_P(TrimTest, RemovesSpaceTabCrLfAtBothEnds) {
  CMvnString text(GetParam().text);
  EXPECT_STREQ(text.Trim(static_cast<int32_t>(text.Length())).Text(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, TrimTest,
                         ::testing::Values(TrimCase{"  a b \r\n", "a b"}, TrimCase{"abc", "abc"},
                                           TrimCase{"\t\t", ""}, TrimCase{"\va\f", "\va\f"},
                                           TrimCase{" x", "x"}, TrimCase{"x\n", "x"}));

TEST(MvnStringTest, NeverNullAndNullAssignsEmpty) {
  CMvnString text;
  ASSERT_NE(text.Text(), nullptr);
  EXPECT_STREQ(text.Assign(static_cast<const char*>(nullptr)).Text(), "");
  EXPECT_STREQ(text.Assign("abc").Append("def").AppendChar('\0').Text(), "abcdef");
  EXPECT_STREQ(text.Append(text).Text(), "abcdefabcdef");
}

TEST(MvnStringTest, FormatLimits) {
  CMvnString text;
  EXPECT_STREQ(text.Format("%s-%d", "a", 7).Text(), "a-7");
  const std::string exact(2046, 'x');
  EXPECT_EQ(text.Format("%s", exact.c_str()).Length(), 2046u);
  const std::string longer(5000, 'y');
  EXPECT_EQ(text.Format("%s", longer.c_str()).Length(), 2046u);
  EXPECT_STREQ(text.FormatSized(10, "%s", "123456789").Text(), "123456789");
  EXPECT_STREQ(text.FormatSized(10, "%s", "1234567890").Text(), "123456789");
  EXPECT_EQ(
      text.FormatSized(static_cast<int32_t>(longer.size()) + 2048, "<%s>", longer.c_str()).Length(),
      longer.size() + 2);
}

TEST(MvnStringTest, ContainsNoCase) {
  EXPECT_EQ(CMvnString("xTrUeY").ContainsNoCase("TRUE"), 1);
  EXPECT_EQ(CMvnString("abc").ContainsNoCase(""), 0);
  EXPECT_EQ(CMvnString("/device/S_SEN/item").ContainsNoCase("/device/s_sen/item"), 1);
  EXPECT_EQ(CMvnString("abc").ContainsNoCase("abcd"), 0);
}

TEST(MvnStringTest, AssignWideConvertsThroughTheAnsiCodePage) {
  const kestrel::platform::WChar wide[] = {'2', '1', 0x00B0, 'C', 0x20AC, 0x4E2D, 0};
  CMvnString text;
  EXPECT_STREQ(text.AssignWide(wide).Text(),
               "21\xB0"
               "C\x80?");
  EXPECT_STREQ(text.AssignWide(nullptr).Text(), "");
}

// A cleaning pass over a large document with many line breaks must stay linear; a quadratic
// replace would take minutes here under the sanitizers.
TEST(MvnStringTest, ReplaceAllOnLargeTextWithManyHits) {
  std::string json;
  for (int i = 0; i < 50000; ++i) json += "{\"lab\":\"x\",\"tc\":\"21.50\"}\r\n";
  CMvnString text(json.c_str());
  text.ReplaceAll("\r\n", "").ReplaceAll("\r", "").ReplaceAll("\n", "");
  EXPECT_EQ(text.Length(), json.size() - 2 * 50000);
}

}  // namespace
