#include "tools/kestrel-host/check_mode.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace kestrel::host;

TEST(RangeTest, AlertsAsTheGuidelinesSay) {
  const struct {
    const char* range;
    double value;
    bool alerts;
  } kCases[] = {
      {"10", -0.5, true},      {"10", 0, false},      {"10", 10, false},     {"10", 10.01, true},
      {"10:", 9.99, true},     {"10:", 1e9, false},   {"~:10", -1e9, false}, {"~:10", 11, true},
      {"10:20", 9, true},      {"10:20", 15, false},  {"10:20", 21, true},   {"@10:20", 10, true},
      {"@10:20", 20, true},    {"@10:20", 21, false}, {"-5:-1", -3, false},  {"0", 0.1, true},
      {"2.5:3.5", 3.4, false},
  };
  for (const auto& c : kCases) {
    Range range;
    std::string error;
    ASSERT_TRUE(ParseRange(c.range, range, error)) << c.range << ": " << error;
    EXPECT_EQ(range.Alerts(c.value), c.alerts) << c.range << " with " << c.value;
  }
}

TEST(RangeTest, RefusesWhatIsNoRange) {
  for (const char* text : {"", "abc", "30:10", "1,5", "~", "10:x", "@", "1e", ":"}) {
    Range range;
    std::string error;
    EXPECT_FALSE(ParseRange(text, range, error)) << text;
    EXPECT_NE(error.find(text), std::string::npos) << error;
  }
}

TEST(ThresholdTest, WhatIsEverythingBeforeTheLastEquals) {
  Threshold t;
  std::string error;
  ASSERT_TRUE(ParseThreshold("Rack=1 humidity=~:60", t, error)) << error;
  EXPECT_EQ(t.what, "Rack=1 humidity");
  EXPECT_EQ(t.range.text, "~:60");
}

std::vector<CheckSensor> Room() {
  return {{"Internal", "temperature", "C", "22.310", "2", "-253.000", "9999.990"},
          {"Rack 4", "temperature", "C", "31.000", "2", "-253.000", "9999.990"},
          {"Rack 4", "humidity", "%RH", "45.000", "2", "0.000", "100.000"},
          {"Door", "switch", "open/closed", "1.000", "0", "0.000", "1.000"}};
}

std::vector<Threshold> Thresholds(std::vector<const char*> texts) {
  std::vector<Threshold> out;
  for (const char* text : texts) {
    Threshold t;
    std::string error;
    EXPECT_TRUE(ParseThreshold(text, t, error)) << error;
    out.push_back(t);
  }
  return out;
}

TEST(EvaluateCheckTest, StatusAndFirstSensorByThresholds) {
  const struct {
    std::vector<const char*> warning;
    std::vector<const char*> critical;
    int status;
    const char* line_start;
  } kCases[] = {
      // Without WHAT every sensor but the switch is judged; the worst comes first.
      {{"40"}, {"50"}, kCheckWarning, "ROOMALERT WARNING - Rack 4 humidity 45.00 %RH (warning 40)"},
      // The most specific threshold wins over a general one, whatever the order.
      {{},
       {"Rack 4 humidity=~:40", "50"},
       kCheckCritical,
       "ROOMALERT CRITICAL - Rack 4 humidity 45.00 %RH (critical ~:40)"},
      {{"temperature=30"},
       {"rack 4=@30:32"},
       kCheckCritical,
       "ROOMALERT CRITICAL - Rack 4 temperature 31.00 C (critical @30:32), Internal"},
      // A switch alerts only when named.
      {{}, {"0"}, kCheckCritical, "ROOMALERT CRITICAL - Internal temperature"},
      {{}, {"switch=0"}, kCheckCritical, "ROOMALERT CRITICAL - Door switch 1 open/closed"},
      // A misspelt WHAT would never alert: the check says so.
      {{"tempreature=30"},
       {},
       kCheckUnknown,
       "ROOMALERT UNKNOWN - --warning tempreature=30 names no sensor"},
  };
  for (const auto& c : kCases) {
    const CheckOutcome outcome =
        EvaluateCheck(Room(), Thresholds(c.warning), Thresholds(c.critical));
    EXPECT_EQ(outcome.status, c.status) << outcome.output;
    EXPECT_EQ(outcome.output.rfind(c.line_start, 0), 0u) << outcome.output;
  }
}

TEST(EvaluateCheckTest, PerformanceDataInTheGuidelinesForm) {
  std::vector<CheckSensor> sensors = Room();
  sensors.push_back({"It's=odd|", "temperature", "C", "", "1", "", ""});
  const CheckOutcome outcome =
      EvaluateCheck(sensors, Thresholds({"temperature=30"}), Thresholds({"~:40"}));
  const std::string perf = outcome.output.substr(outcome.output.find(" | ") + 3);
  EXPECT_EQ(perf,
            "'Internal temperature'=22.31;30;~:40;-253.00;9999.99 "
            "'Rack 4 temperature'=31.00;30;~:40;-253.00;9999.99 "
            "'Rack 4 humidity'=45.00%;;~:40;0.00;100.00 'Door switch'=1;;;0;1 "
            "'It''s_odd/ temperature'=U;30;~:40;;\n");
  // A sensor without a reading under a threshold is UNKNOWN, listed after the alerts.
  EXPECT_EQ(outcome.status, kCheckCritical);
  EXPECT_LT(outcome.output.find("(warning 30)"),
            outcome.output.find("It's=odd/ temperature has no reading"));
}

}  // namespace
