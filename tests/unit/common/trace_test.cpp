#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <regex>
#include <string>

#include "common/mvn_base.h"
#include "platform/platform.h"
#include "tests/support/test_support.h"

namespace {

using kestrel::testing::ReadFileBytes;
using kestrel::testing::TempDir;

const std::regex kStamp(R"(\[\d\d:\d\d:\d\d\] )");

// The trace file with every time stamp replaced by "[T] ".
std::string Unstamped(const std::string& path) {
  return std::regex_replace(ReadFileBytes(path), kStamp, "[T] ");
}

struct TraceCase {
  uint32_t flags;
  const char* message;
  const char* expected_file;
};

class TraceLineTest : public ::testing::TestWithParam<TraceCase> {};

// One line at a time; lines appended one after another show in every provider trace the other
// tests read.
TEST_P(TraceLineTest, WritesOneStampedLineWithCrLf) {
  TempDir dir;
  CMvnBase base("CTest");
  base.SetTraceFile(dir.File("trace.txt").c_str());
  base.Trace(GetParam().flags, "%s", GetParam().message);
  EXPECT_EQ(Unstamped(dir.File("trace.txt")), GetParam().expected_file);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TraceLineTest,
    ::testing::Values(TraceCase{TRACE_TO_FILE, "abc\r\n", "[T] abc\r\n"},
                      TraceCase{TRACE_TO_FILE, "a\r\nb\rc\nd", "[T] a <CRLF> b <CR> c <LF> d\r\n"},
                      TraceCase{TRACE_TO_FILE, "\r\n\n\r", "[T] \r\n"},
                      TraceCase{TRACE_MULTILINE, "a\r\nb\n", "[T] a\r\nb\r\n\r\n"},
                      // the ring flag alone does not reach the trace file
                      TraceCase{TRACE_TO_LOG, "quiet", ""}));

// No file, no flags, an empty format or a folder in the file's place: nothing is written, and
// nothing breaks.
TEST(TraceTest, NothingWithoutTargetFlagsFormatOrWritableFile) {
  TempDir dir;
  CMvnBase base("CTest");
  base.Trace(TRACE_TO_FILE, "no file");
  base.SetTraceFile(dir.path().string().c_str());
  base.Trace(TRACE_TO_FILE, "folder");
  base.SetTraceFile(dir.File("trace.txt").c_str());
  base.Trace(0, "no flags");
  const char* empty_format = "";
  base.Trace(TRACE_TO_FILE, empty_format, 0);
  EXPECT_FALSE(std::filesystem::exists(dir.File("trace.txt")));
  CMvnString out;
  EXPECT_STREQ(base.GetTraceFile(out).Text(), dir.File("trace.txt").c_str());
}

// Numbers, a missing text and a percent sign come out as printf writes them, also where a line
// uses more of printf than the trace lines do.
TEST(TraceTest, FormatsAsPrintfDoes) {
  TempDir dir;
  CMvnBase base("CTest");
  base.SetTraceFile(dir.File("trace.txt").c_str());
  // Out of the compiler's sight, which would refuse a null text for "%s".
  const char* volatile missing = nullptr;
  base.Trace(TRACE_TO_FILE, "%d|%ld|%u|%lu|%s|%%|%s", -7, LONG_MIN, 4000000000u, ULONG_MAX, "x",
             missing);
  base.Trace(TRACE_TO_FILE, "%5.1f|%-3s|%x", 2.5, "a", 255);
  EXPECT_EQ(Unstamped(dir.File("trace.txt")), "[T] -7|" + std::to_string(LONG_MIN) +
                                                  "|4000000000|" + std::to_string(ULONG_MAX) +
                                                  "|x|%|(null)\r\n[T]   2.5|a  |ff\r\n");
}

TEST(TraceTest, OverlongMessageIsCutNotOverrun) {
  TempDir dir;
  CMvnBase base("CTest");
  base.SetTraceFile(dir.File("trace.txt").c_str());
  const std::string huge(40000, 'x');
  base.Trace(TRACE_TO_FILE, "%s", huge.c_str());
  EXPECT_EQ(ReadFileBytes(dir.File("trace.txt")).size(), CMvnBase::kLineBufferSize - 1 + 2);
}

TEST(TraceLogRingTest, KeepsTheNewest100EntriesAndCountsOn) {
  TempDir dir;
  const std::string profile = dir.File("log.ini");
  CMvnBase base("CTest");
  base.SetLogProfileFile(profile.c_str());
  for (int i = 0; i < 101; ++i) base.Trace(TRACE_TO_LOG, "entry %d", i);

  char section[32768];
  const uint32_t size =
      kestrel::platform::ReadProfileSection("Log", section, sizeof section, profile.c_str());
  ASSERT_GT(size, 0u);
  MultiSzList ring;
  ring.SetFromMultiSz(section);
  ASSERT_EQ(ring.EntryCount(), 100u);
  EXPECT_EQ(std::regex_replace(std::string(section), kStamp, ""), "00000001|entry 1");
  const char* last = section;
  for (uint32_t k = 1; k < 100; ++k) last += std::strlen(last) + 1;
  EXPECT_EQ(std::regex_replace(std::string(last), kStamp, ""), "00000064|entry 100");
  EXPECT_EQ(kestrel::platform::ReadProfileUInt("Init", "NextEntry", 0, profile.c_str()), 101u);
}

TEST(TraceLogRingTest, LongMessageIsCutTo1020PlusEllipsis) {
  TempDir dir;
  const std::string profile = dir.File("log.ini");
  CMvnBase base("CTest");
  base.SetLogProfileFile(profile.c_str());
  base.SetTraceFile(dir.File("trace.txt").c_str());
  base.Trace(TRACE_TO_LOG | TRACE_TO_FILE, "%s", std::string(2000, 'm').c_str());
  char section[4096];
  kestrel::platform::ReadProfileSection("Log", section, sizeof section, profile.c_str());
  const std::string entry(section);
  EXPECT_EQ(entry.size(), 9u + 1023u);
  EXPECT_EQ(entry.substr(entry.size() - 4), "m...");
  // The trace file received the whole message.
  EXPECT_EQ(ReadFileBytes(dir.File("trace.txt")).size(), 11u + 2000u + 2u);
}

// The stamp is the local time of day, whether it was worked out for this line or taken from the
// second's first line (on any thread).
TEST(TimeStampTest, IsTheLocalTimeOfDayWithAndWithoutTheCache) {
  for (const bool cached : {true, false, true}) {
    kestrel::UseTimeOfDayCache(cached);
    std::string seen[2];
    std::string stamp;
    // The clock may pass a second between the readings; then the stamp is one of the two.
    for (std::string& expected : seen) {
      const std::time_t now = std::time(nullptr);
      std::tm local{};
#if defined(_WIN32)
      localtime_s(&local, &now);
#else
      localtime_r(&now, &local);
#endif
      char text[16];
      std::strftime(text, sizeof text, "[%H:%M:%S] ", &local);
      expected = text;
      if (stamp.empty()) {
        stamp.assign(kestrel::kTimeStampLength, '?');
        kestrel::WriteTimeStamp(&stamp[0]);
      }
    }
    EXPECT_TRUE(stamp == seen[0] || stamp == seen[1]) << stamp << " " << seen[0] << " " << seen[1];
  }
  kestrel::UseTimeOfDayCache(true);
}

}  // namespace
