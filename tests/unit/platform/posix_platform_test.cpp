#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "tests/support/test_support.h"

namespace {

using kestrel::platform::WChar;
using kestrel::testing::ReadFileBytes;
using kestrel::testing::TempDir;

// Text files (append, unopenable paths) show through the trace, the XML writer and the
// working-file tests.
TEST(CodePageTest, Windows1252RoundTripsEveryByte) {
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  WChar wide[256];
  ASSERT_EQ(kestrel::platform::AnsiToWide(all.c_str(), -1, wide, 256), 256);
  EXPECT_EQ(wide[0x80 - 1], 0x20AC);
  EXPECT_EQ(wide[0xB0 - 1], 0x00B0);
  EXPECT_EQ(wide[0x9F - 1], 0x0178);
  char back[256];
  ASSERT_EQ(kestrel::platform::WideToAnsi(wide, -1, back, 256), 256);
  EXPECT_EQ(std::string(back), all);
}

TEST(CodePageTest, UnmappableBecomesQuestionMarkAndSizesHold) {
  const WChar text[] = {0x4E2D, 'a', 0xD83D, 0xDE00, 0xDC00, 0};
  EXPECT_EQ(kestrel::platform::WideToAnsi(text, 5, nullptr, 0), 4);
  char out[8] = {0};
  EXPECT_EQ(kestrel::platform::WideToAnsi(text, 5, out, 3), 0);  // too small
  EXPECT_EQ(kestrel::platform::WideToAnsi(text, 5, out, 8), 4);
  EXPECT_EQ(std::string(out, 4), "?a??");
}

// Whole texts reach the text-mode writer in one call when the stream is unbuffered or there is
// none; line feeds near and on the edge of its 8 KB chunk must not be lost or split.
TEST(TextFileTest, EveryLineFeedBecomesCrLfWhateverTheRunLengths) {
  const std::string cases[] = {
      std::string(20000, 'a'),
      std::string(10000, '\n'),
      std::string(8191, 'a') + "\n" + "b",
      std::string(8190, 'a') + "\n\n" + std::string(9000, 'c') + "\n",
      "\nfirst\r\nsecond\n\n",
  };
  TempDir dir;
  const std::string path = dir.File("text.txt");
  for (const std::string& text : cases) {
    std::string expected;
    for (char c : text) {
      if (c == '\n') expected += '\r';
      expected += c;
    }
    for (const char* way : {"unbuffered", "buffered", "at once"}) {
      if (way[0] == 'a') {
        ASSERT_EQ(kestrel::platform::WriteTextAtOnce(path.c_str(), "wt", text.data(), text.size()),
                  0);
      } else {
        std::FILE* file = kestrel::platform::OpenTextFile(path.c_str(), "wt");
        ASSERT_NE(file, nullptr);
        if (way[0] == 'u') std::setvbuf(file, nullptr, _IONBF, 0);
        ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), file), text.size());
        std::fclose(file);
      }
      EXPECT_TRUE(ReadFileBytes(path) == expected) << text.size() << " bytes, " << way;
    }
  }
}

TEST(ProfileTest, SectionsAndKeys) {
  TempDir dir;
  const std::string ini = dir.File("p.ini");
  EXPECT_EQ(kestrel::platform::ReadProfileUInt("Init", "NextEntry", 7, ini.c_str()), 7u);
  EXPECT_NE(kestrel::platform::WriteProfileString("Init", "NextEntry", "12", ini.c_str()), 0);
  EXPECT_NE(kestrel::platform::WriteProfileSection("Log", "a|1\0b|2\0", ini.c_str()), 0);
  EXPECT_EQ(kestrel::platform::ReadProfileUInt("init", "nextentry", 7, ini.c_str()), 12u);
  char buffer[64];
  EXPECT_EQ(kestrel::platform::ReadProfileSection("LOG", buffer, sizeof buffer, ini.c_str()), 8u);
  EXPECT_EQ(std::string(buffer, 9), std::string("a|1\0b|2\0\0", 9));
  EXPECT_EQ(kestrel::platform::ReadProfileSection("Log", buffer, 6, ini.c_str()), 4u);
  EXPECT_NE(kestrel::platform::WriteProfileSection("Log", nullptr, ini.c_str()), 0);
  EXPECT_EQ(kestrel::platform::ReadProfileSection("Log", buffer, sizeof buffer, ini.c_str()), 0u);
  EXPECT_EQ(ReadFileBytes(ini), "[Init]\r\nNextEntry=12\r\n");
}

}  // namespace
