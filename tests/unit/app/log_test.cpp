#include "app/log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

using kestrel::app::Log;

std::string Drain(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
  return text;
}

// A device that stays down must not write a line per probe (Prometheus asks every few seconds).
TEST(LogTest, FailuresAreSaidOncePerSeriesAndOnChangeAndRecovery) {
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  Log log("kestrel-exporter", out, 3600);
  for (int i = 0; i < 5; ++i) log.Failed("a", "device a: load failed: refused");
  log.Failed("b", "device b: load failed: refused");
  log.Failed("a", "device a: load failed: time-out");
  log.Recovered("a", "device a answers again");
  log.Recovered("a", "device a answers again");
  log.Recovered("c", "device c answers again");
  log.Warning("w");
  EXPECT_EQ(Drain(out),
            "kestrel-exporter: device a: load failed: refused\n"
            "kestrel-exporter: device b: load failed: refused\n"
            "kestrel-exporter: device a: load failed: time-out\n"
            "kestrel-exporter: device a answers again\n"
            "kestrel-exporter: warning: w\n");
  std::fclose(out);
}

TEST(LogTest, AnUnchangedFailureIsSaidAgainAfterTheIntervalWithTheCountLeftOut) {
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  Log log("p", out, 0);
  log.Failed("a", "down");
  log.Failed("a", "down");
  EXPECT_EQ(Drain(out), "p: down\np: down (0 more failures since the last line)\n");
  std::fclose(out);
}

}  // namespace
