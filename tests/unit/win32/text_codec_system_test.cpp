// The codec writes what Windows writes: its table of best fits was taken from the system, and the
// Linux build's documents are only the Windows build's if every unit agrees.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/text_codec.h"

namespace {

TEST(TextCodecSystemTest, EveryUnitToWindows1252AsWideCharToMultiByte) {
  int differences = 0;
  for (unsigned u = 0; u < 0x10000; ++u) {
    const auto unit = static_cast<wchar_t>(u);
    char system = 0;
    ASSERT_EQ(::WideCharToMultiByte(1252, 0, &unit, 1, &system, 1, nullptr, nullptr), 1);
    const char codec = kestrel::text::UnitToWindows1252(static_cast<char16_t>(u));
    if (codec != system && ++differences <= 10) {
      ADD_FAILURE() << "U+" << std::hex << u << ": system 0x"
                    << static_cast<int>(static_cast<unsigned char>(system)) << ", codec 0x"
                    << static_cast<int>(static_cast<unsigned char>(codec));
    }
  }
  EXPECT_EQ(differences, 0);
}

TEST(TextCodecSystemTest, EveryWindows1252ByteAsMultiByteToWideChar) {
  for (int b = 0; b < 256; ++b) {
    const char byte = static_cast<char>(b);
    wchar_t system = 0;
    ASSERT_EQ(::MultiByteToWideChar(1252, MB_ERR_INVALID_CHARS, &byte, 1, &system, 1), 1);
    EXPECT_EQ(
        static_cast<unsigned>(kestrel::text::Windows1252ToUnit(static_cast<unsigned char>(b))),
        static_cast<unsigned>(system))
        << "byte 0x" << std::hex << b;
  }
}

// UTF-8 out as the system encodes it, lone surrogates included.
TEST(TextCodecSystemTest, Utf16ToUtf8AsTheSystem) {
  const std::wstring texts[] = {L"Rack \u00B0C",
                                L"\xD83D\xDE00",
                                L"\xD800"
                                L"a",
                                L"b\xDC00",
                                L"\xDC00\xD800",
                                L"\u0141\u00F3d\u017A",
                                L"\xFFFF"};
  for (const std::wstring& text : texts) {
    const auto units = static_cast<int>(text.size());
    std::string system(text.size() * 4, '\0');
    system.resize(static_cast<std::size_t>(
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), units, system.data(),
                              static_cast<int>(system.size()), nullptr, nullptr)));
    std::string codec;
    kestrel::text::Utf16ToUtf8(text.data(), text.size(), codec);
    EXPECT_EQ(codec, system) << "text of " << units << " units starting U+" << std::hex
                             << static_cast<unsigned>(text[0]);
  }
}

// What counts as UTF-8 decides whether a device's body is read as UTF-8 or as Windows-1252.
TEST(TextCodecSystemTest, Utf8ValidityAsTheSystem) {
  const std::string texts[] = {"abc",          "\xC5\x81",     "\xF0\x9F\x98\x80", "\xC0\xAF",
                               "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82",
                               "\x80",         "21\xB0",       "\xF4\x8F\xBF\xBF"};
  for (const std::string& text : texts) {
    std::vector<wchar_t> wide(text.size() + 1);
    const bool system = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                              static_cast<int>(text.size()), wide.data(),
                                              static_cast<int>(wide.size())) > 0;
    EXPECT_EQ(kestrel::text::IsValidUtf8(text.data(), text.size()), system)
        << "bytes starting 0x" << std::hex << static_cast<int>(static_cast<unsigned char>(text[0]));
  }
}

}  // namespace
