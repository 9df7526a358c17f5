// Every edge of the codec in one table per direction. The suite runs on both builds, so a row
// that held on one build only would fail on the other.
#include "common/text_codec.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using kestrel::text::WChar;
using kestrel::text::WideString;

WideString Wide(std::u16string units) {
  return WideString(units.begin(), units.end());
}

struct WideCase {
  const char* name;
  std::u16string wide;
  std::string ansi;  // UTF-16 to Windows-1252
  std::string utf8;  // UTF-16 to UTF-8
};

class FromUtf16Test : public ::testing::TestWithParam<WideCase> {};

TEST_P(FromUtf16Test, ToWindows1252AndUtf8) {
  const WideCase& c = GetParam();
  const WideString wide = Wide(c.wide);
  std::string ansi = "<";
  kestrel::text::Utf16ToWindows1252(wide.data(), wide.size(), ansi);
  EXPECT_EQ(ansi, "<" + c.ansi);
  std::string utf8;
  kestrel::text::Utf16ToUtf8(wide.data(), wide.size(), utf8);
  EXPECT_EQ(utf8, c.utf8);
  // The ANSI code page of both builds is 1252: the MultiByte contract gives the same bytes.
  const auto units = static_cast<int32_t>(wide.size());
  const auto bytes = static_cast<int32_t>(c.ansi.size());
  ASSERT_EQ(kestrel::text::WideToAnsi(wide.data(), units, nullptr, 0), bytes);
  std::string out(c.ansi.size() + 1, '\0');
  ASSERT_EQ(kestrel::text::WideToAnsi(wide.data(), units, out.data(), bytes), bytes);
  EXPECT_EQ(out.substr(0, c.ansi.size()), c.ansi);
  if (bytes > 1) {
    // A destination one byte short is a failure, not a cut text (a size of 0 asks for the size).
    EXPECT_EQ(kestrel::text::WideToAnsi(wide.data(), units, out.data(), bytes - 1), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Edges, FromUtf16Test,
    ::testing::Values(
        WideCase{"Ascii", u"Rack 1", "Rack 1", "Rack 1"},
        // A label from a Polish site: Windows writes its best fit, not '?'.
        WideCase{"BestFit", u"\u0141\u00F3d\u017A",
                 "L\xF3"
                 "dz",
                 "\xC5\x81\xC3\xB3\x64\xC5\xBA"},
        WideCase{"BestFitFullWidthAndPrime", u"\uFF21\u2032", "A'", "\xEF\xBC\xA1\xE2\x80\xB2"},
        WideCase{"CodePageUpperHalf", u"\u20AC\u0178\u00B0", "\x80\x9F\xB0",
                 "\xE2\x82\xAC\xC5\xB8\xC2\xB0"},
        // The five bytes 1252 leaves unassigned are their C1 controls; U+0080 has no byte.
        WideCase{"C1Controls", u"\u0081\u008D\u008F\u0090\u009D\u0080", "\x81\x8D\x8F\x90\x9D?",
                 "\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D\xC2\x80"},
        WideCase{"NoCodeNoFit", u"\u4E2D\u2033", "??", "\xE4\xB8\xAD\xE2\x80\xB3"},
        // One character beyond the BMP is one '?', whatever its width in units.
        WideCase{"SurrogatePair", u"\xD83D\xDE00", "?", "\xF0\x9F\x98\x80"},
        WideCase{"LoneSurrogates",
                 u"\xD800"
                 u"a\xDC00\xDC00\xD800",
                 "?a???",
                 "\xEF\xBF\xBD"
                 "a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        WideCase{"Nul", std::u16string(u"a\0b", 3), std::string("a\0b", 3), std::string("a\0b", 3)},
        WideCase{"Empty", u"", "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

struct Utf8Case {
  const char* name;
  std::string utf8;
  bool valid;
  std::u16string wide;  // UTF-8 to UTF-16
  std::string ansi;     // UTF-8 to Windows-1252
};

class FromUtf8Test : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(FromUtf8Test, ToUtf16AndWindows1252) {
  const Utf8Case& c = GetParam();
  EXPECT_EQ(kestrel::text::IsValidUtf8(c.utf8.data(), c.utf8.size()), c.valid);
  WideString wide;
  EXPECT_EQ(kestrel::text::Utf8ToUtf16(c.utf8.data(), c.utf8.size(), wide), c.valid);
  EXPECT_EQ(wide, Wide(c.wide));
  std::string ansi;
  kestrel::text::Utf8ToAnsi(c.utf8.data(), c.utf8.size(), ansi);
  EXPECT_EQ(ansi, c.ansi);
  // Through UTF-16 the bytes are the same.
  std::string through;
  kestrel::text::Utf16ToWindows1252(wide.data(), wide.size(), through);
  EXPECT_EQ(through, c.ansi);
}

INSTANTIATE_TEST_SUITE_P(
    Edges, FromUtf8Test,
    ::testing::Values(
        Utf8Case{"BestFit",
                 "\xC5\x81\xC3\xB3"
                 "d\xC5\xBA",
                 true, u"\u0141\u00F3d\u017A",
                 "L\xF3"
                 "dz"},
        Utf8Case{"C1Control", "\xC2\x81", true, u"\u0081", "\x81"},
        Utf8Case{"BeyondTheBmp", "x\xF0\x9F\x98\x80", true, u"x\xD83D\xDE00", "x?"},
        Utf8Case{"HighestCodePoint", "\xF4\x8F\xBF\xBF", true, u"\xDBFF\xDFFF", "?"},
        // Each byte that starts no valid sequence is one U+FFFD, so one '?'.
        Utf8Case{"OverlongSlash", "\xC0\xAF", false, u"\xFFFD\xFFFD", "??"},
        Utf8Case{"OverlongThreeBytes", "\xE0\x80\xAF", false, u"\xFFFD\xFFFD\xFFFD", "???"},
        Utf8Case{"EncodedSurrogate", "\xED\xA0\x80", false, u"\xFFFD\xFFFD\xFFFD", "???"},
        Utf8Case{"AboveU10FFFF", "\xF4\x90\x80\x80", false, u"\xFFFD\xFFFD\xFFFD\xFFFD", "????"},
        Utf8Case{"CutBeforeAscii",
                 "\xE2\x82"
                 "A",
                 false,
                 u"\xFFFD\xFFFD"
                 u"A",
                 "??A"},
        Utf8Case{"CutAtTheEnd", "ab\xE2\x82", false, u"ab\xFFFD\xFFFD", "ab??"},
        Utf8Case{"LoneContinuation", "\x80", false, u"\xFFFD", "?"},
        Utf8Case{"Windows1252Byte",
                 "21\xB0"
                 "C",
                 false,
                 u"21\xFFFD"
                 u"C",
                 "21?C"},
        Utf8Case{"Nul", std::string("a\0b", 3), true, std::u16string(u"a\0b", 3),
                 std::string("a\0b", 3)}),
    [](const auto& info) { return std::string(info.param.name); });

// Every byte is a character and comes back as itself: the five unassigned ones included, which
// iconv would refuse.
TEST(TextCodecTest, EveryWindows1252ByteRoundTrips) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  WideString wide;
  kestrel::text::Windows1252ToUtf16(all.data(), all.size(), wide);
  ASSERT_EQ(wide.size(), 256u);
  EXPECT_EQ(wide[0x80], 0x20AC);
  EXPECT_EQ(wide[0x8D], 0x008D);
  std::string back;
  kestrel::text::Utf16ToWindows1252(wide.data(), wide.size(), back);
  EXPECT_EQ(back, all);
  std::string utf8;
  kestrel::text::AnsiToUtf8(all.data(), all.size(), utf8);
  std::string expected;
  kestrel::text::Utf16ToUtf8(wide.data(), wide.size(), expected);
  EXPECT_EQ(utf8, expected);
  std::string again;
  kestrel::text::Utf8ToAnsi(utf8.data(), utf8.size(), again);
  EXPECT_EQ(again, all);
}

TEST(TextCodecTest, MultiByteContracts) {
  const WChar wide[] = {'a', 0xD83D, 0xDE00, 'b', 0};
  char out[8] = {};
  // -1: up to and including the terminator; a pair takes one byte.
  EXPECT_EQ(kestrel::text::WideToAnsi(wide, -1, nullptr, 0), 4);
  EXPECT_EQ(kestrel::text::WideToAnsi(wide, -1, out, 3), 0);
  EXPECT_EQ(kestrel::text::WideToAnsi(wide, -1, out, 4), 4);
  EXPECT_EQ(std::string(out), "a?b");
  EXPECT_EQ(kestrel::text::WideToAnsi(nullptr, -1, out, 4), 0);
  EXPECT_EQ(kestrel::text::WideToAnsi(wide, 0, out, 4), 0);

  WChar units[4] = {};
  EXPECT_EQ(kestrel::text::AnsiToWide("\x80z", -1, nullptr, 0), 3);
  EXPECT_EQ(kestrel::text::AnsiToWide("\x80z", -1, units, 2), 0);
  ASSERT_EQ(kestrel::text::AnsiToWide("\x80z", -1, units, 4), 3);
  EXPECT_EQ(units[0], 0x20AC);
  EXPECT_EQ(units[2], 0);
  EXPECT_EQ(kestrel::text::AnsiToWide(nullptr, -1, units, 4), 0);
}

}  // namespace
