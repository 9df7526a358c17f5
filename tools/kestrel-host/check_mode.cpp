#include "tools/kestrel-host/check_mode.h"

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
  return sensor.type == "switch" || sensor.unit == "open/closed" ||
         sensor.unit == "active/inactive";
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

const char* StatusName(int status) {
  switch (status) {
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
  if (what.empty()) return IsSwitch(sensor) ? kNone : kGeneral;
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

struct Judged {
  const CheckSensor* sensor;
  int status;
  std::string text;
};

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
    for (const SensorView& sensor : itf.sensors) {
      const Leaves& s = sensor.leaves;
      CheckSensor c;
      c.label = itf.leaves.Get("description");
      if (c.label.empty()) c.label = s.Get("description");
      if (c.label.empty()) c.label = "port " + itf.leaves.Get("interface-id");
      c.type = s.Get("type-text");
      if (c.type.empty()) c.type = "type " + s.Get("type-id");
      c.unit = s.Get("uom-text");
      c.value = JsonNumber(s.Get("value")) == "null" ? "" : s.Get("value");
      c.digits = s.Get("digits");
      c.min = s.Get("rangemin");
      c.max = s.Get("rangemax");
      out.push_back(std::move(c));
    }
  }
  return out;
}

CheckOutcome EvaluateCheck(const std::vector<CheckSensor>& sensors,
                           const std::vector<Threshold>& warning,
                           const std::vector<Threshold>& critical) {
  std::vector<Judged> judged;
  std::string perfdata;
  for (const CheckSensor& sensor : sensors) {
    const Threshold* warn = Select(warning, sensor);
    const Threshold* crit = Select(critical, sensor);
    Judged j{&sensor, kCheckOk, sensor.label + " " + sensor.type};
    double value = 0;
    const bool has_value = ParseNumber(sensor.value, value);
    const std::string shown = has_value ? FormatValue(sensor.value, sensor.digits) : "U";
    if (!has_value) {
      j.text += " has no reading";
      if (warn != nullptr || crit != nullptr) j.status = kCheckUnknown;
    } else {
      j.text += " " + shown + (sensor.unit.empty() ? "" : " " + sensor.unit);
      if (crit != nullptr && crit->range.Alerts(value)) {
        j.status = kCheckCritical;
        j.text += " (critical " + crit->range.text + ")";
      } else if (warn != nullptr && warn->range.Alerts(value)) {
        j.status = kCheckWarning;
        j.text += " (warning " + warn->range.text + ")";
      }
    }
    judged.push_back(std::move(j));

    if (!perfdata.empty()) perfdata += " ";
    perfdata +=
        PerfLabel(sensor.label + " " + sensor.type) + "=" + shown +
        (has_value ? PerfUnit(sensor.unit) : "") + ";" + (warn != nullptr ? warn->range.text : "") +
        ";" + (crit != nullptr ? crit->range.text : "") + ";" +
        (JsonNumber(sensor.min) != "null" ? FormatValue(sensor.min, sensor.digits) : "") + ";" +
        (JsonNumber(sensor.max) != "null" ? FormatValue(sensor.max, sensor.digits) : "");
  }
  std::stable_sort(judged.begin(), judged.end(), [](const Judged& a, const Judged& b) {
    return Severity(a.status) > Severity(b.status);
  });

  CheckOutcome outcome;
  std::string summary;
  for (const Judged& j : judged) {
    if (Severity(j.status) > Severity(outcome.status)) outcome.status = j.status;
    summary += (summary.empty() ? "" : ", ") + j.text;
  }
  if (judged.empty()) summary = "the device reports no sensors";
  for (const auto* list : {&critical, &warning}) {
    const Threshold* unmatched = Unmatched(*list, sensors);
    if (unmatched == nullptr) continue;
    outcome.status = kCheckUnknown;
    summary = "--" + std::string(list == &critical ? "critical" : "warning") + " " +
              unmatched->what + "=" + unmatched->range.text +
              " names no sensor type or port label of this device; " + summary;
    break;
  }
  outcome.output = "ROOMALERT " + std::string(StatusName(outcome.status)) + " - " +
                   PlainText(summary) + (perfdata.empty() ? "" : " | " + perfdata) + "\n";
  return outcome;
}

std::string CheckUnknownLine(const std::string& reason) {
  return "ROOMALERT UNKNOWN - " + PlainText(reason) + "\n";
}

}  // namespace kestrel::host
