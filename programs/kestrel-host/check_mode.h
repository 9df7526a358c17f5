// kestrel-host as a monitoring plug-in: thresholds in the monitoring-plugins range syntax, a status
// line with performance data, one line per sensor after it, and the plug-in exit codes.
#pragma once

#include <string>
#include <vector>

#include "host/device_view.h"
#include "host/failures.h"

namespace kestrel::host {

enum CheckStatus { kCheckOk = 0, kCheckWarning = 1, kCheckCritical = 2, kCheckUnknown = 3 };

// "ok", "warning", "critical" or "unknown" in any letter case; false for anything else.
bool ParseCheckState(const std::string& text, int& state);
const char* CheckStateName(int state);

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

// [WHAT=]RANGE. WHAT names a sensor type ("humidity"), a port label ("Rack 4 Intake") or both
// ("Rack 4 Intake humidity"); without WHAT the range is for temperatures, as check_temp users
// expect: a bare "-w 27" must not page on a humidity of 45 %.
struct Threshold {
  std::string what;
  Range range;
};

bool ParseThreshold(const std::string& text, Threshold& threshold, std::string& error);

// One reading as the check judges and reports it.
struct CheckSensor {
  std::string label;  // the port's label
  std::string type;   // type text: "temperature", "humidity", "switch", ...
  std::string unit;   // unit text: "C", "%RH", "open/closed", ...
  std::string value;  // number text of the document
  std::string digits;
  bool has_reading = true;  // false: the device sent no reading; value is then meaningless
  bool empty_port = false;  // nothing plugged in: no sensor, UNKNOWN when asked for by name
};

std::vector<CheckSensor> CheckSensors(const DeviceView& device);

// What the operator asked the check to judge and how.
struct CheckPolicy {
  std::vector<Threshold> warning;
  std::vector<Threshold> critical;
  std::vector<std::string> sensors;  // LABEL or LABEL/type; empty: every connected sensor
  int no_reading = kCheckCritical;
  std::string switch_alarm;  // "open" or "closed": a switch in that position is CRITICAL
};

struct CheckOutcome {
  int status = kCheckOk;
  std::string output;  // status line with performance data, then one line per sensor
};

// Judges the sensors (the most specific threshold wins: label and type, then label, then type,
// then one without WHAT). A WHAT or a --sensor that names nothing on the device is UNKNOWN: a
// misspelt name would otherwise never alert. Empty ports are no sensors: the output is the same
// with and without them, unless one is asked for by name, which is UNKNOWN.
CheckOutcome EvaluateCheck(const std::vector<CheckSensor>& sensors, const CheckPolicy& policy);

// The state of a failed load: the state chosen for an unreachable device (CRITICAL unless the
// operator chose otherwise, so a dead device pages like check_tcp's) when the device or the
// network failed, UNKNOWN when only the operator can fix it.
int LoadFailureState(const Failure& failure, int unreachable);

// "ROOMALERT STATE - reason" and a line feed, then each detail on a line of its own; for loads
// that failed, time-outs and usage errors.
std::string CheckProblemOutput(int status, const std::string& reason,
                               const std::vector<std::string>& details = {});

std::string CheckUnknownLine(const std::string& reason);

}  // namespace kestrel::host
