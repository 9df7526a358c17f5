#include "programs/kestrel-host/check_mode.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdlib>

#include "host/value_format.h"

namespace kestrel::host {

namespace {

// Locale-independent, and the whole text must be the number.
bool ParseNumber(const std::string& text, double& value) {
  if (text.empty()) return false;
  const char* first = text.data();
  if (*first == '+') ++first;
  const char* last = text.data() + text.size();
  const auto [end, error] = std::from_chars(first, last, value);
  return error == std::errc() && end == last;
}

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
           return lower(x) == lower(y);
         });
}

// Two-state readings: a range on numbers means nothing for them unless asked for by name.
bool IsSwitch(const CheckSensor& sensor) {
  return !StateWord(sensor.unit, 0).empty();
}

// Perfdata, after the first "|", and status text must not hold another "|" or a line break.
std::string PlainText(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (c == '|') c = '/';
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  }
  return out;
}

// The guidelines' label: quoted, a quote doubled, no "=" at all.
std::string PerfLabel(const std::string& label) {
  std::string out = "'";
  for (const char c : PlainText(label)) {
    if (c == '\'')
      out += "''";
    else
      out += c == '=' ? '_' : c;
  }
  return out + "'";
}

// Units of measure the guidelines know; a temperature or a voltage is a plain number to them.
std::string PerfUnit(const std::string& unit) {
  return unit == "%RH" || unit == "%" ? "%" : "";
}

// Only humidity has bounds the device cannot leave; the type defaults of the others (a
// temperature of -253..9999.99) would squash every graph, so they are left out.
std::string PerfBounds(const CheckSensor& sensor) {
  return sensor.type == "humidity" ? "0;100" : ";";
}

// CRITICAL, WARNING, UNKNOWN, OK: the order in which an operator wants to read them.
int Severity(int status) {
  switch (status) {
    case kCheckCritical:
      return 3;
    case kCheckWarning:
      return 2;
    case kCheckUnknown:
      return 1;
    default:
      return 0;
  }
}

enum Specificity { kNone, kGeneral, kType, kLabel, kLabelAndType };

Specificity Matches(const std::string& what, const CheckSensor& sensor) {
  if (what.empty()) return sensor.type == "temperature" ? kGeneral : kNone;
  if (SameText(what, sensor.label + " " + sensor.type)) return kLabelAndType;
  if (SameText(what, sensor.label)) return kLabel;
  if (SameText(what, sensor.type)) return kType;
  return kNone;
}

// The most specific threshold for sensor; of equally specific ones the last given.
const Threshold* Select(const std::vector<Threshold>& thresholds, const CheckSensor& sensor) {
  const Threshold* chosen = nullptr;
  Specificity best = kNone;
  for (const Threshold& t : thresholds) {
    const Specificity s = Matches(t.what, sensor);
    if (s != kNone && s >= best) {
      best = s;
      chosen = &t;
    }
  }
  return chosen;
}

// The first WHAT of thresholds that names no sensor, or null.
const Threshold* Unmatched(const std::vector<Threshold>& thresholds,
                           const std::vector<CheckSensor>& sensors) {
  for (const Threshold& t : thresholds) {
    if (t.what.empty()) continue;
    const bool found = std::any_of(sensors.begin(), sensors.end(), [&](const CheckSensor& s) {
      return Matches(t.what, s) != kNone;
    });
    if (!found) return &t;
  }
  return nullptr;
}

// The sensors that are sensors: what thresholds and the device's labels are looked up in.
std::vector<CheckSensor> Connected(const std::vector<CheckSensor>& sensors) {
  std::vector<CheckSensor> connected;
  for (const CheckSensor& s : sensors) {
    if (!s.empty_port) connected.push_back(s);
  }
  return connected;
}

// Whether selector (LABEL, or LABEL/type for one sensor of a port) names sensor. Labels may hold
// "/" themselves, so the whole text is tried as a label first.
bool Selects(const std::string& selector, const CheckSensor& sensor,
             const std::vector<CheckSensor>& all) {
  const bool any_label = std::any_of(
      all.begin(), all.end(), [&](const CheckSensor& s) { return SameText(selector, s.label); });
  if (any_label) return SameText(selector, sensor.label);
  const std::size_t slash = selector.rfind('/');
  return slash != std::string::npos && SameText(selector.substr(0, slash), sensor.label) &&
         SameText(selector.substr(slash + 1), sensor.type);
}

// The labels of the device, once each, for a message about a name it does not have.
std::string LabelList(const std::vector<CheckSensor>& sensors) {
  std::vector<std::string> labels;
  for (const CheckSensor& s : sensors) {
    if (std::find(labels.begin(), labels.end(), s.label) == labels.end()) labels.push_back(s.label);
  }
  std::string out;
  for (const std::string& label : labels) out += (out.empty() ? "'" : ", '") + label + "'";
  return out.empty() ? "none" : out;
}

struct Judged {
  int status;
  std::string text;
  std::string perf;
};

Judged Judge(const CheckSensor& sensor, const CheckPolicy& policy) {
  // Nothing to measure, now or later: not a reading that failed.
  if (sensor.empty_port) return {kCheckUnknown, sensor.label + ": port is empty", ""};
  const Threshold* warn = Select(policy.warning, sensor);
  const Threshold* crit = Select(policy.critical, sensor);
  Judged j{kCheckOk, sensor.label + " " + sensor.type + ": ", ""};
  double value = 0;
  const bool has_value = sensor.has_reading && ParseNumber(sensor.value, value);
  const std::string shown = has_value ? FormatValue(sensor.value, sensor.digits) : "U";
  if (!has_value) {
    j.status = policy.no_reading;
    j.text += "no reading";
  } else {
    j.text += IsSwitch(sensor) ? StateWord(sensor.unit, value)
                               : shown + (sensor.unit.empty() ? "" : " " + sensor.unit);
    if (crit != nullptr && crit->range.Alerts(value)) {
      j.status = kCheckCritical;
      j.text += " (critical " + crit->range.text + ")";
    } else if (IsSwitch(sensor) && !policy.switch_alarm.empty() &&
               StateWord(sensor.unit, value) == policy.switch_alarm) {
      j.status = kCheckCritical;
      j.text += " (alarm when " + policy.switch_alarm + ")";
    } else if (warn != nullptr && warn->range.Alerts(value)) {
      j.status = kCheckWarning;
      j.text += " (warning " + warn->range.text + ")";
    }
  }
  j.perf = PerfLabel(sensor.label + " " + sensor.type) + "=" + shown +
           (has_value ? PerfUnit(sensor.unit) : "") + ";" +
           (warn != nullptr ? warn->range.text : "") + ";" +
           (crit != nullptr ? crit->range.text : "") + ";" + PerfBounds(sensor);
  return j;
}

// Worst first; one problem is named alone, several are counted before they are named.
std::string Summary(const std::vector<Judged>& judged) {
  std::vector<const Judged*> problems;
  for (const Judged& j : judged) {
    if (j.status != kCheckOk) problems.push_back(&j);
  }
  std::stable_sort(problems.begin(), problems.end(), [](const Judged* a, const Judged* b) {
    return Severity(a->status) > Severity(b->status);
  });
  if (problems.empty()) {
    if (judged.empty()) return "the device reports no connected sensors";
    if (judged.size() == 1) return judged.front().text;
    return std::to_string(judged.size()) + " sensors OK";
  }
  if (problems.size() == 1) return problems.front()->text;
  std::string counts;
  for (const int status : {kCheckCritical, kCheckWarning, kCheckUnknown}) {
    const auto n = std::count_if(problems.begin(), problems.end(),
                                 [&](const Judged* j) { return j->status == status; });
    if (n > 0) {
      counts += (counts.empty() ? "" : ", ") + std::to_string(n) + " " + CheckStateName(status);
    }
  }
  std::string names;
  for (const Judged* j : problems) names += (names.empty() ? "" : ", ") + j->text;
  return counts + ": " + names;
}

}  // namespace

bool Range::Alerts(double value) const {
  const bool within = (start_infinite || value >= start) && (end_infinite || value <= end);
  return inside ? within : !within;
}

bool ParseRange(const std::string& text, Range& range, std::string& error) {
  range = Range();
  range.text = text;
  std::string rest = text;
  if (!rest.empty() && rest[0] == '@') {
    range.inside = true;
    rest.erase(0, 1);
  }
  const std::size_t colon = rest.find(':');
  std::string start = colon == std::string::npos ? "" : rest.substr(0, colon);
  const std::string end = colon == std::string::npos ? rest : rest.substr(colon + 1);
  if (rest.empty() || rest == ":") {
    error = "'" + text + "' is not a range (10, 10:30, ~:30, 10:, @10:20)";
    return false;
  }
  if (start == "~") {
    range.start_infinite = true;
  } else if (!start.empty() && !ParseNumber(start, range.start)) {
    error = "'" + text + "' is not a range: '" + start + "' is not a number";
    return false;
  }
  if (end.empty() && colon != std::string::npos) {
    range.end_infinite = true;
  } else if (!ParseNumber(end, range.end)) {
    error = "'" + text + "' is not a range (10, 10:30, ~:30, 10:, @10:20)";
    return false;
  }
  if (!range.start_infinite && !range.end_infinite && range.start > range.end) {
    error = "'" + text + "' is not a range: its start is above its end";
    return false;
  }
  return true;
}

bool ParseThreshold(const std::string& text, Threshold& threshold, std::string& error) {
  const std::size_t equals = text.rfind('=');
  threshold.what = equals == std::string::npos ? "" : text.substr(0, equals);
  if (equals != std::string::npos && threshold.what.empty()) {
    error = "'" + text + "' names no sensor before '='";
    return false;
  }
  return ParseRange(equals == std::string::npos ? text : text.substr(equals + 1), threshold.range,
                    error);
}

std::vector<CheckSensor> CheckSensors(const DeviceView& device) {
  std::vector<CheckSensor> out;
  for (const InterfaceView& itf : device.interfaces) {
    for (const SensorView& s : itf.sensors) {
      CheckSensor c;
      c.label = PortLabel(itf, s);
      if (c.label.empty()) c.label = "port " + itf.interface_id;
      c.type = s.type_text;
      if (c.type.empty()) c.type = "type " + s.type_id;
      c.unit = s.uom_text;
      c.value = s.value;
      c.digits = s.digits;
      c.has_reading = s.has_reading;
      c.empty_port = s.empty_port;
      out.push_back(std::move(c));
    }
  }
  return out;
}

bool ParseCheckState(const std::string& text, int& state) {
  for (const int candidate : {kCheckOk, kCheckWarning, kCheckCritical, kCheckUnknown}) {
    if (SameText(text, CheckStateName(candidate))) {
      state = candidate;
      return true;
    }
  }
  return false;
}

const char* CheckStateName(int state) {
  switch (state) {
    case kCheckOk:
      return "OK";
    case kCheckWarning:
      return "WARNING";
    case kCheckCritical:
      return "CRITICAL";
    default:
      return "UNKNOWN";
  }
}

CheckOutcome EvaluateCheck(const std::vector<CheckSensor>& sensors, const CheckPolicy& policy) {
  const std::vector<CheckSensor> connected = Connected(sensors);
  auto selected = [&](const CheckSensor& sensor) {
    if (policy.sensors.empty()) return !sensor.empty_port;
    return std::any_of(
        policy.sensors.begin(), policy.sensors.end(),
        [&](const std::string& selector) { return Selects(selector, sensor, sensors); });
  };
  for (const std::string& selector : policy.sensors) {
    if (std::none_of(sensors.begin(), sensors.end(),
                     [&](const CheckSensor& s) { return Selects(selector, s, sensors); })) {
      return {kCheckUnknown, CheckUnknownLine("--sensor " + selector +
                                              ": the device has no such sensor; its labels are " +
                                              LabelList(connected))};
    }
  }
  std::vector<Judged> judged;
  CheckOutcome outcome;
  for (const CheckSensor& sensor : sensors) {
    if (!selected(sensor)) continue;
    judged.push_back(Judge(sensor, policy));
    if (Severity(judged.back().status) > Severity(outcome.status)) {
      outcome.status = judged.back().status;
    }
  }
  std::string summary = Summary(judged);
  for (const auto* list : {&policy.critical, &policy.warning}) {
    const Threshold* unmatched = Unmatched(*list, connected);
    if (unmatched == nullptr) continue;
    outcome.status = kCheckUnknown;
    summary = "--" + std::string(list == &policy.critical ? "critical" : "warning") + " " +
              unmatched->what + "=" + unmatched->range.text +
              " names no sensor type or port label of this device; " + summary;
    break;
  }
  std::string perfdata;
  std::string lines;
  for (const Judged& j : judged) {
    if (!j.perf.empty()) perfdata += (perfdata.empty() ? "" : " ") + j.perf;
    lines += "[" + std::string(CheckStateName(j.status)) + "] " + PlainText(j.text) + "\n";
  }
  outcome.output = "ROOMALERT " + std::string(CheckStateName(outcome.status)) + " - " +
                   PlainText(summary) + (perfdata.empty() ? "" : " | " + perfdata) + "\n" + lines;
  return outcome;
}

int LoadFailureState(const Failure& failure, int unreachable) {
  return failure.owner == FailureOwner::kOperator ? kCheckUnknown : unreachable;
}

std::string CheckProblemOutput(int status, const std::string& reason,
                               const std::vector<std::string>& details) {
  std::string out =
      "ROOMALERT " + std::string(CheckStateName(status)) + " - " + PlainText(reason) + "\n";
  for (const std::string& detail : details) out += PlainText(detail) + "\n";
  return out;
}

std::string CheckUnknownLine(const std::string& reason) {
  return CheckProblemOutput(kCheckUnknown, reason);
}

}  // namespace kestrel::host
