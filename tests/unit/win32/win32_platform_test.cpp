// What the Windows platform layer takes from the system: the ANSI code page, the private-profile
// functions and the COM apartments that the XML reader meets.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "common/xml_reader.h"
#include "platform/platform.h"
#include "tests/support/test_support.h"

namespace {

using kestrel::platform::WChar;
using kestrel::testing::ReadFileBytes;
using kestrel::testing::TempDir;

TEST(Win32CodePageTest, TheAnsiCodePageIsWindows1252) {
  // Documents are compared byte for byte with the Linux build, whose code page is 1252.
  EXPECT_EQ(::GetACP(), 1252u);
}

struct CodePageCase {
  const char* name;
  std::string ansi;
  std::vector<WChar> wide;
  bool round_trip;
};

class Win32CodePageCaseTest : public ::testing::TestWithParam<CodePageCase> {};

TEST_P(Win32CodePageCaseTest, ConvertsThroughTheAnsiCodePage) {
  const CodePageCase& c = GetParam();
  const int32_t units = static_cast<int32_t>(c.wide.size());
  const int32_t bytes = static_cast<int32_t>(c.ansi.size());
  if (c.round_trip) {
    std::vector<WChar> wide(c.wide.size() + 1, 0);
    ASSERT_EQ(kestrel::platform::AnsiToWide(c.ansi.c_str(), bytes, nullptr, 0), units);
    ASSERT_EQ(kestrel::platform::AnsiToWide(c.ansi.c_str(), bytes, wide.data(), units), units);
    EXPECT_EQ(std::vector<WChar>(wide.begin(), wide.end() - 1), c.wide);
  }
  std::string ansi(c.ansi.size(), '\0');
  ASSERT_EQ(kestrel::platform::WideToAnsi(c.wide.data(), units, nullptr, 0), bytes);
  ASSERT_EQ(kestrel::platform::WideToAnsi(c.wide.data(), units, ansi.data(), bytes), bytes);
  EXPECT_EQ(ansi, c.ansi);
  if (bytes > 0) {
    // A destination one byte short is a failure, not a cut text.
    EXPECT_EQ(kestrel::platform::WideToAnsi(c.wide.data(), units, ansi.data(), bytes - 1), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Win32CodePageCaseTest,
    ::testing::Values(
        // The degree sign of every temperature unit reaches the documents as one 1252 byte.
        CodePageCase{"DegreeSign",
                     "21.5 \xB0"
                     "C",
                     {'2', '1', '.', '5', ' ', 0xB0, 'C'},
                     true},
        CodePageCase{"EuroAndUpperRange", "\x80\x9F\xE9\xFF", {0x20AC, 0x178, 0xE9, 0xFF}, true},
        CodePageCase{"UnmappableBecomesQuestionMark", "?a", {0x4E2D, 'a'}, false},
        CodePageCase{"Empty", "", {}, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Win32ProfileTest, KeysAndSectionsThroughThePrivateProfileFunctions) {
  TempDir dir;
  const std::string ini = dir.File("ring.ini");
  EXPECT_EQ(kestrel::platform::ReadProfileUInt("Init", "NextEntry", 7, ini.c_str()), 7u);
  EXPECT_NE(kestrel::platform::WriteProfileString("Init", "NextEntry", "12", ini.c_str()), 0);
  EXPECT_EQ(kestrel::platform::ReadProfileUInt("INIT", "nextentry", 7, ini.c_str()), 12u);

  EXPECT_NE(kestrel::platform::WriteProfileSection("Log", "a=1\0b=2\0", ini.c_str()), 0);
  char buffer[64];
  ASSERT_EQ(kestrel::platform::ReadProfileSection("log", buffer, sizeof buffer, ini.c_str()), 8u);
  EXPECT_EQ(std::string(buffer, 9), std::string("a=1\0b=2\0\0", 9));
  // A section that does not fit is cut: the answer is the size less two.
  EXPECT_EQ(kestrel::platform::ReadProfileSection("Log", buffer, 6, ini.c_str()), 4u);

  // A null list removes the section with its header; the other section stays.
  EXPECT_NE(kestrel::platform::WriteProfileSection("Log", nullptr, ini.c_str()), 0);
  EXPECT_EQ(kestrel::platform::ReadProfileSection("Log", buffer, sizeof buffer, ini.c_str()), 0u);
  const std::string bytes = ReadFileBytes(ini);
  EXPECT_EQ(bytes.find("[Log]"), std::string::npos) << bytes;
  EXPECT_NE(bytes.find("NextEntry=12"), std::string::npos) << bytes;
}

// The test thread is a single-threaded apartment, as the host's thread is once the network
// component exists: the reader's own multithreaded set-up is refused there, and allowed on a
// thread without COM.
TEST(Win32ApartmentTest, ReaderComSetUpDependsOnTheThreadsApartment) {
  TempDir dir;
  const std::string sta_trace = dir.File("sta.log");
  CMvnXmlDoc on_sta;
  EXPECT_EQ(on_sta.Initialize(1, sta_trace.c_str()), -1);
  EXPECT_NE(ReadFileBytes(sta_trace).find("] COM Interface failed to initialize\r\n"),
            std::string::npos);

  const std::string fresh_trace = dir.File("fresh.log");
  int32_t fresh_result = 0;
  int32_t loaded = -1;
  std::thread fresh([&] {
    CMvnXmlDoc document;
    fresh_result = document.Initialize(1, fresh_trace.c_str());
    loaded = document.LoadXml("<j><a>1</a></j>");
  });
  fresh.join();
  EXPECT_EQ(fresh_result, 0);
  EXPECT_EQ(loaded, 0);
  EXPECT_NE(ReadFileBytes(fresh_trace).find("] COM Interface initialized\r\n"), std::string::npos);
}

// MSXML empties the document when a load fails; the reader keeps the table of the previous one.
TEST(Win32DomTest, AFailedLoadEmptiesTheDocumentButTheReaderKeepsItsTable) {
  kestrel::platform::XmlDomDocument* document = nullptr;
  ASSERT_EQ(kestrel::platform::CreateXmlDomDocument(&document), 0);
  kestrel::platform::XmlNodeTable table;
  EXPECT_EQ(document->ReadXmlDocument("<j><a>1</a></j>", table), 0);
  EXPECT_EQ(table.Nodes().size(), 2u);
  EXPECT_EQ(document->ReadXmlDocument("<j><a>", table), 1);
  document->Release();

  CMvnXmlDoc reader;
  ASSERT_EQ(reader.Initialize(0, ""), 0);
  ASSERT_EQ(reader.LoadXml("<j><a>1</a></j>"), 0);
  EXPECT_EQ(reader.LoadXml("<j><a>"), -1);
  CMvnXmlElements elements;
  elements.SetPath("/a");
  ASSERT_EQ(reader.CollectElements(elements), 0);
  CMvnXmlElement* element = static_cast<CMvnXmlElement*>(elements.GetFirst());
  ASSERT_NE(element, nullptr);
  CMvnString value;
  EXPECT_EQ(element->GetValue("a", value), 1);
  EXPECT_STREQ(value.Text(), "1");
}

}  // namespace
