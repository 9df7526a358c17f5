#include "programs/kestrel-host/check_mode.h"

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
  return {{"Internal", "temperature", "C", "22.310", "2"},
          {"Rack 4", "temperature", "C", "31.000", "2"},
          {"Rack 4", "humidity", "%RH", "45.000", "2"},
          {"Door", "switch", "open/closed", "1.000", "0"},
          // A dead probe: the module wrote 0 for it, the raw document showed no reading.
          {"Rack 9", "temperature", "C", "0.000", "2", false},
          // An empty port: left out unless asked for.
          {"port 5", "n/a", "n/a", "0.000", "1", false, true}};
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

struct PolicyCase {
  const char* name;
  std::vector<const char*> warning;
  std::vector<const char*> critical;
  std::vector<std::string> sensors;
  int no_reading;
  std::string switch_alarm;
  int status;
  const char* first_line_start;
  const char* long_line;  // one of the lines after the status line
};

TEST(EvaluateCheckTest, StatusSummaryAndSensorLines) {
  const PolicyCase kCases[] = {
      {"a dead sensor is critical by default",
       {},
       {},
       {},
       kCheckCritical,
       "",
       kCheckCritical,
       "ROOMALERT CRITICAL - Rack 9 temperature: no reading |",
       "[CRITICAL] Rack 9 temperature: "
       "no reading"},
      {"--no-reading warning",
       {},
       {},
       {},
       kCheckWarning,
       "",
       kCheckWarning,
       "ROOMALERT WARNING - Rack 9 temperature: no reading",
       "[OK] Door switch: open"},
      // The check_temp habit: a bare range is for temperatures, never the humidity of 45 %.
      {"bare range",
       {"40"},
       {},
       {"Rack 4"},
       kCheckCritical,
       "",
       kCheckOk,
       "ROOMALERT OK - 2 sensors OK |",
       "[OK] Rack 4 humidity: 45.00 %RH"},
      {"several problems are counted, worst first",
       {"30"},
       {"humidity=~:40"},
       {"Rack 4", "Door"},
       kCheckCritical,
       "",
       kCheckCritical,
       "ROOMALERT CRITICAL - 1 CRITICAL, 1 WARNING: Rack 4 humidity: 45.00 %RH (critical ~:40), "
       "Rack 4 temperature: 31.00 C (warning 30) |",
       "[WARNING] Rack 4 temperature: 31.00 C (warning 30)"},
      // The most specific threshold wins over a general one, whatever the order.
      {"label beats type",
       {"temperature=30"},
       {"rack 4=@30:32"},
       {"Rack 4/temperature"},
       kCheckCritical,
       "",
       kCheckCritical,
       "ROOMALERT CRITICAL - Rack 4 temperature: 31.00 C (critical @30:32) |",
       ""},
      {"switch alarm",
       {},
       {},
       {"Door"},
       kCheckCritical,
       "open",
       kCheckCritical,
       "ROOMALERT CRITICAL - Door switch: open (alarm when open) |",
       ""},
      {"switch in the other position",
       {},
       {},
       {"Door"},
       kCheckCritical,
       "closed",
       kCheckOk,
       "ROOMALERT OK - Door switch: open |",
       ""},
      {"an empty port only by name",
       {},
       {},
       {"port 5"},
       kCheckUnknown,
       "",
       kCheckUnknown,
       "ROOMALERT UNKNOWN - port 5: port is empty\n",
       ""},
      {"unknown --sensor",
       {},
       {},
       {"Rack 44"},
       kCheckCritical,
       "",
       kCheckUnknown,
       "ROOMALERT UNKNOWN - --sensor Rack 44: the device has no such sensor; its labels are "
       "'Internal', 'Rack 4', 'Door', 'Rack 9'\n",
       ""},
      // A misspelt WHAT would never alert: the check says so.
      {"misspelt threshold",
       {"tempreature=30"},
       {},
       {"Internal"},
       kCheckCritical,
       "",
       kCheckUnknown,
       "ROOMALERT UNKNOWN - --warning tempreature=30 names no sensor",
       ""},
  };
  for (const PolicyCase& c : kCases) {
    CheckPolicy policy;
    policy.warning = Thresholds(c.warning);
    policy.critical = Thresholds(c.critical);
    policy.sensors = c.sensors;
    policy.no_reading = c.no_reading;
    policy.switch_alarm = c.switch_alarm;
    const CheckOutcome outcome = EvaluateCheck(Room(), policy);
    EXPECT_EQ(outcome.status, c.status) << c.name << "\n" << outcome.output;
    EXPECT_EQ(outcome.output.rfind(c.first_line_start, 0), 0u) << c.name << "\n" << outcome.output;
    EXPECT_NE(outcome.output.find("\n" + std::string(c.long_line)), std::string::npos)
        << c.name << "\n"
        << outcome.output;
  }
}

TEST(EvaluateCheckTest, PerformanceDataInTheGuidelinesForm) {
  std::vector<CheckSensor> sensors = Room();
  sensors.push_back({"It's=odd|", "temperature", "C", "", "1"});
  CheckPolicy policy;
  policy.warning = Thresholds({"temperature=30"});
  policy.critical = Thresholds({"~:40"});
  const CheckOutcome outcome = EvaluateCheck(sensors, policy);
  const std::string first = outcome.output.substr(0, outcome.output.find('\n'));
  // Absent readings are U; only humidity has bounds; no unit the guidelines do not know.
  EXPECT_EQ(first.substr(first.find(" | ") + 3),
            "'Internal temperature'=22.31;30;~:40;; 'Rack 4 temperature'=31.00;30;~:40;; "
            "'Rack 4 humidity'=45.00%;;;0;100 'Door switch'=1;;;; "
            "'Rack 9 temperature'=U;30;~:40;; 'It''s_odd/ temperature'=U;30;~:40;;");
  EXPECT_EQ(outcome.status, kCheckCritical);
}

// Empty ports are no sensors: whatever the check is asked, they change nothing in its answer.
TEST(EvaluateCheckTest, EmptyPortsChangeNothing) {
  std::vector<CheckSensor> without = Room();
  without.pop_back();
  const std::vector<std::vector<std::string>> kSelections = {{}, {"Rack 4"}, {"Rack 44"}};
  const std::vector<std::vector<const char*>> kThresholds = {{}, {"30"}, {"port 5=1"}};
  for (const auto& sensors : kSelections) {
    for (const auto& warning : kThresholds) {
      CheckPolicy policy;
      policy.sensors = sensors;
      policy.warning = Thresholds(warning);
      const CheckOutcome with = EvaluateCheck(Room(), policy);
      const CheckOutcome alone = EvaluateCheck(without, policy);
      EXPECT_EQ(with.status, alone.status) << with.output;
      EXPECT_EQ(with.output, alone.output);
    }
  }
}

TEST(LoadFailureStateTest, TheDeviceOrTheNetworkElseTheOperator) {
  const struct {
    const char* last_error;
    int state;
  } kCases[] = {
      {"Failed to retrieve device data over HTTP. The GET request failed with error: [No "
       "connection could be made because the target machine actively refused it].",
       kCheckWarning},
      {"Failed to convert Json data to XML data.", kCheckWarning},
      {"Failed to retrieve device data over HTTP. The GET request failed with error: [HTML "
       "Error [401].].",
       kCheckUnknown},
      {"The hostname or IP address for the device has not been set.", kCheckUnknown},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(LoadFailureState(ClassifyLastError(c.last_error), kCheckWarning), c.state)
        << c.last_error;
  }
}

}  // namespace
