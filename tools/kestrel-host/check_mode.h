// kestrel-host as a monitoring plug-in: thresholds in the monitoring-plugins range syntax, one
// status line with performance data, and the plug-in exit codes.
#pragma once

#include <string>
#include <vector>

#include "host/device_view.h"

namespace kestrel::host {

enum CheckStatus { kCheckOk = 0, kCheckWarning = 1, kCheckCritical = 2, kCheckUnknown = 3 };

// "10" (alert outside 0..10), "10:" (below 10), "~:10" (above 10), "10:20", "@10:20" (alert
// inside 10..20).
struct Range {
  double start = 0;
  double end = 0;
  bool start_infinite = false;
  bool end_infinite = false;
  bool inside = false;
  std::string text;  // as given: the performance data repeat it

  bool Alerts(double value) const;
};

// false with error saying what is wrong with text.
bool ParseRange(const std::string& text, Range& range, std::string& error);

// [WHAT=]RANGE. WHAT names a sensor type ("temperature"), a port label ("Rack 4 Intake") or both
// ("Rack 4 Intake humidity"); empty, the range is for every sensor except switches.
struct Threshold {
  std::string what;
  Range range;
};

bool ParseThreshold(const std::string& text, Threshold& threshold, std::string& error);

// One reading as the check judges and reports it.
struct CheckSensor {
  std::string label;  // the port's label
  std::string type;   // type text: "temperature", "humidity", "switch", ...
  std::string unit;   // unit text: "C", "%RH", ...
  std::string value;  // number text of the document; empty when the device took no reading
  std::string digits;
  std::string min;
  std::string max;
};

std::vector<CheckSensor> CheckSensors(const DeviceView& device);

struct CheckOutcome {
  int status = kCheckOk;
  std::string output;  // status line with performance data, ended by a line feed
};

// Judges every sensor (the most specific threshold wins: label and type, then label, then type,
// then one without WHAT) and writes the status line, worst sensors first. A WHAT that matches no
// sensor is UNKNOWN: a misspelt threshold would otherwise never alert.
CheckOutcome EvaluateCheck(const std::vector<CheckSensor>& sensors,
                           const std::vector<Threshold>& warning,
                           const std::vector<Threshold>& critical);

// "ROOMALERT UNKNOWN - reason" with a line feed; for loads that failed, time-outs, usage errors.
std::string CheckUnknownLine(const std::string& reason);

}  // namespace kestrel::host
