#include "programs/kestrel-exporter/metrics.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "app/files.h"
#include "programs/kestrel-exporter/load_error.h"

#ifndef KESTREL_REVISION
#define KESTREL_REVISION "unknown"
#endif
#ifndef KESTREL_COMPILER
#define KESTREL_COMPILER "unknown"
#endif

namespace kestrel::exporter {

namespace {

// How a sensor's value becomes a base unit.
enum class Scale { kTemperature, kPercent, kVoltage, kCurrent, kFeetPerMinute, kState };

struct SensorFamily {
  uint32_t type_id;
  const char* family;
  const char* help;
  Scale scale;
};

// Sensor types with a family of their own; every other type goes to roomalert_sensor_value.
constexpr SensorFamily kSensorFamilies[] = {
    {10, "roomalert_temperature_celsius", "Temperature in degrees Celsius.", Scale::kTemperature},
    {20, "roomalert_humidity_ratio", "Relative humidity, 0 to 1.", Scale::kPercent},
    {30, "roomalert_dew_point_celsius", "Dew point in degrees Celsius.", Scale::kTemperature},
    {40, "roomalert_heat_index_celsius", "Heat index in degrees Celsius.", Scale::kTemperature},
    {50, "roomalert_active_power_state", "1 when power is present.", Scale::kState},
    {60, "roomalert_voltage_volts", "Voltage in volts.", Scale::kVoltage},
    {70, "roomalert_switch_state", "Switch sensor: 1 open or active, 0 closed.", Scale::kState},
    {80, "roomalert_power_state", "Power state: 1 on, 0 off.", Scale::kState},
    {100, "roomalert_motion_state", "1 while motion is detected.", Scale::kState},
    {110, "roomalert_smoke_state", "1 while smoke is detected.", Scale::kState},
    {120, "roomalert_door_state", "Door contact: 1 open, 0 closed.", Scale::kState},
    {150, "roomalert_vibration_state", "1 while vibration is detected.", Scale::kState},
    {180, "roomalert_air_speed_meters_per_second", "Air speed in metres per second.",
     Scale::kFeetPerMinute},
    {240, "roomalert_current_amperes", "Electric current in amperes.", Scale::kCurrent},
};

constexpr const char* kGenericFamily = "roomalert_sensor_value";

bool ParseNumber(const std::string& text, double& value) {
  const char* first = text.data();
  const char* last = first + text.size();
  if (first != last && *first == '+') ++first;
  const auto [end, ec] = std::from_chars(first, last, value);
  return first != last && ec == std::errc() && end == last && std::isfinite(value);
}

uint32_t Code(const std::string& text) {
  double value = 0;
  return ParseNumber(text, value) && value >= 0 ? static_cast<uint32_t>(value) : 0;
}

// A reading scaled in binary lands beside the decimal the device meant (39.39 / 100 is
// 0.39390000000000003): 15 significant digits, all a double holds exactly, give that decimal back.
double Decimal(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.15g", value);
  return std::strtod(text, nullptr);
}

bool ScaleToBaseUnit(Scale scale, uint32_t unit, double value, double& out) {
  switch (scale) {
    case Scale::kTemperature:
      if (unit == 1001) out = value;
      if (unit == 1002) out = (value - 32.0) * 5.0 / 9.0;
      if (unit == 1003) out = value - 273.15;
      return unit >= 1001 && unit <= 1003;
    case Scale::kPercent:
      out = value / 100.0;
      return unit == 2001;
    case Scale::kVoltage:
      if (unit == 6001) out = value;
      if (unit == 6002) out = value / 1000.0;
      if (unit == 6003) out = value * 1000.0;
      return unit >= 6001 && unit <= 6003;
    case Scale::kCurrent:
      out = value;
      return unit == 6004;
    case Scale::kFeetPerMinute:
      out = value * 0.00508;
      return unit == 6005;
    case Scale::kState:
      out = value != 0 ? 1 : 0;
      return true;
  }
  return false;
}

// The value in the family's base unit; false when the unit is not one the family knows.
bool ToBaseUnit(Scale scale, uint32_t unit, double value, double& out) {
  const bool known = ScaleToBaseUnit(scale, unit, value, out);
  // A value that went through unchanged keeps every digit the device sent.
  if (out != value) out = Decimal(out);
  return known;
}

Labels With(Labels labels, const Labels& extra) {
  labels.insert(labels.end(), extra.begin(), extra.end());
  return labels;
}

// The family of the sensor's type when the family knows its unit; null: the generic one.
const SensorFamily* FamilyOf(const host::SensorView& s) {
  const uint32_t type = Code(s.type_id);
  const uint32_t unit = Code(s.uom_id);
  for (const SensorFamily& family : kSensorFamilies) {
    double ignored = 0;
    if (family.type_id == type && ScaleToBaseUnit(family.scale, unit, 0, ignored)) return &family;
  }
  return nullptr;
}

// labels holds the sensor's own labels after the device's; the generic family adds its unit.
void AddSensor(MetricSet& set, Labels& labels, const host::SensorView& s) {
  double value = 0;
  const bool valid = BaseReading(s, value);
  set.Add("roomalert_sensor_valid", "gauge",
          "1 when the device took the reading, 0 when it reported none (the sample is then left "
          "out).",
          labels, valid ? 1 : 0);
  if (!valid) return;
  if (const SensorFamily* family = FamilyOf(s)) {
    set.Add(family->family, "gauge", family->help, labels, value);
    return;
  }
  // port_id and sensor_id name the sensor already; its type would only split its series when a
  // firmware renames the type.
  labels.emplace_back("unit", s.uom_text);
  set.Add(kGenericFamily, "gauge",
          "Reading of a sensor type without a family of its own, in the device's unit.", labels,
          value);
  labels.pop_back();
}

void AppendSample(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
  } else if (std::isinf(value)) {
    out += value > 0 ? "+Inf" : "-Inf";
  } else {
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    out.append(text, ec == std::errc() ? end : text);
  }
}

void AppendEscaped(std::string& out, const std::string& text) {
  for (const char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
}

// {name="value",...}, nothing when there are no labels; more_name adds one label at the end.
void AppendLabels(std::string& out, const Labels& labels, const char* more_name = nullptr,
                  const std::string& more_value = std::string()) {
  bool first = true;
  auto one = [&](const char* name, std::size_t length, const std::string& value) {
    out += first ? '{' : ',';
    first = false;
    out.append(name, length).append("=\"");
    AppendEscaped(out, value);
    out += '"';
  };
  for (const auto& [name, value] : labels) one(name.data(), name.size(), value);
  if (more_name != nullptr) one(more_name, std::strlen(more_name), more_value);
  if (!first) out += '}';
}

// The quantities that have limits: the sensor type, its family of limits and how a limit written
// in the configuration's unit becomes the family's.
struct ThresholdFamily {
  uint32_t type_id;
  const char* family;
  const char* help;
  Bounds Thresholds::*bounds;
  Scale scale;
  uint32_t unit;  // the configuration's
};

constexpr ThresholdFamily kThresholdFamilies[] = {
    {10, "roomalert_threshold_celsius",
     "Temperature limit in degrees Celsius from the exporter's configuration.",
     &Thresholds::temperature, Scale::kTemperature, 1001},
    {20, "roomalert_threshold_humidity_ratio",
     "Relative humidity limit, 0 to 1, from the exporter's configuration.", &Thresholds::humidity,
     Scale::kPercent, 2001},
};

void AddPortThresholds(MetricSet& set, const ThresholdFamily& family, const Bounds& bounds,
                       Labels& labels) {
  for (std::size_t i = 0; i < kThresholdBoundCount; ++i) {
    if (!bounds[i]) continue;
    double value = 0;
    ToBaseUnit(family.scale, family.unit, *bounds[i], value);
    labels[3].second = kThresholdBounds[i].severity;
    labels[4].second = kThresholdBounds[i].bound;
    set.Add(family.family, "gauge", family.help, labels, value);
  }
}

}  // namespace

const char* SensorFamilyName(const host::SensorView& sensor) {
  const SensorFamily* family = FamilyOf(sensor);
  return family != nullptr ? family->family : kGenericFamily;
}

bool BaseReading(const host::SensorView& sensor, double& value) {
  double raw = 0;
  if (!sensor.has_reading || !ParseNumber(sensor.value, raw)) return false;
  const SensorFamily* family = FamilyOf(sensor);
  value = raw;
  if (family != nullptr) ToBaseUnit(family->scale, Code(sensor.uom_id), raw, value);
  return true;
}

double LoadAgeSeconds(const LoadResult& load, double now_unix_seconds) {
  return std::max(0.0, now_unix_seconds - load.finished_at);
}

void AddLoadAge(MetricSet& set, const std::string& device, const Labels& extra,
                const LoadResult& load, double now_unix_seconds) {
  if (!load.finished) return;
  set.Add("roomalert_load_age_seconds", "gauge",
          "How long ago the load these readings come from ended; within the device's "
          "min_interval a probe shares the last load instead of loading again.",
          With({{"device", device}}, extra), LoadAgeSeconds(load, now_unix_seconds));
}

std::string FormatSample(double value) {
  std::string out;
  AppendSample(out, value);
  return out.empty() ? "NaN" : out;
}

std::string EscapeLabelValue(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  AppendEscaped(out, text);
  return out;
}

MetricSet::Family& MetricSet::Take(const std::string& family, const char* type, const char* help) {
  for (Family& f : families_) {
    if (f.name == family) return f;
  }
  Family& f = families_.emplace_back();
  f.name = family;
  f.type = type;
  f.help = help;
  return f;
}

void MetricSet::Add(const std::string& family, const char* type, const char* help,
                    const Labels& labels, double value) {
  std::string& lines = Take(family, type, help).lines;
  lines += family;
  AppendLabels(lines, labels);
  lines += ' ';
  AppendSample(lines, value);
  lines += '\n';
}

void MetricSet::AddHistogram(const std::string& family, const char* help, const Labels& labels,
                             const std::vector<double>& bounds, const std::vector<uint64_t>& counts,
                             double sum) {
  std::string& lines = Take(family, "histogram", help).lines;
  uint64_t total = 0;
  auto line = [&](const char* suffix, const char* more_name, const std::string& more_value,
                  const std::string& sample) {
    lines.append(family).append(suffix);
    AppendLabels(lines, labels, more_name, more_value);
    lines.append(" ").append(sample).append("\n");
  };
  for (std::size_t i = 0; i < bounds.size() && i < counts.size(); ++i) {
    line("_bucket", "le", FormatSample(bounds[i]), std::to_string(counts[i]));
    total = counts[i];
  }
  if (counts.size() > bounds.size()) total = counts.back();
  line("_bucket", "le", "+Inf", std::to_string(total));
  line("_sum", nullptr, std::string(), FormatSample(sum));
  line("_count", nullptr, std::string(), std::to_string(total));
}

std::string MetricSet::Text() const {
  std::size_t size = 0;
  for (const Family& f : families_) size += 2 * f.name.size() + f.help.size() + f.lines.size() + 24;
  std::string out;
  out.reserve(size);
  for (const Family& f : families_) {
    out.append("# HELP ").append(f.name).append(" ").append(f.help).append("\n# TYPE ");
    out.append(f.name).append(" ").append(f.type).append("\n").append(f.lines);
  }
  return out;
}

void AddDeviceMetrics(MetricSet& set, const std::string& device, const Labels& extra,
                      const LoadResult& load) {
  const Labels base = With({{"device", device}}, extra);
  const bool up = load.finished && load.result == 0;
  set.Add("roomalert_up", "gauge", "1 when the device's last load succeeded.", base, up ? 1 : 0);
  if (load.finished) {
    set.Add("roomalert_load_duration_seconds", "gauge", "How long the device's last load took.",
            base, load.duration_seconds);
  }
  if (!up) {
    set.Add("roomalert_last_error_info", "gauge",
            "Why the device's last load failed: a fixed class and the module's text without "
            "measured numbers.",
            With({{"device", device},
                  {"class", LoadErrorClass(load)},
                  {"error", StableErrorText(load.error)}},
                 extra),
            1);
    return;
  }
  const host::DeviceView& d = load.device;
  set.Add("roomalert_device_info", "gauge", "Identity of the device, as it reports it.",
          With({{"device", device},
                {"serial", d.serial},
                {"mac", d.mac_address},
                {"firmware", d.firmware},
                {"model", d.model},
                {"name", d.description},
                {"address", d.ip_address}},
               extra),
          1);
  // One label set, its sensor's values put in place for each sensor.
  Labels labels =
      With({{"device", device}, {"port", ""}, {"port_id", ""}, {"sensor_id", ""}}, extra);
  for (const host::InterfaceView& itf : d.interfaces) {
    for (const host::SensorView& sensor : itf.sensors) {
      // No series at all: an empty port's reading is not missing, there is none to take.
      if (sensor.empty_port) continue;
      labels[1].second = host::PortLabel(itf, sensor);
      labels[2].second = itf.interface_id;
      labels[3].second = sensor.sensor_id;
      AddSensor(set, labels, sensor);
    }
  }
}

void AddThresholdMetrics(MetricSet& set, const DeviceConfig& device, const LoadResult& load) {
  if (!load.finished || load.result != 0) return;
  Labels labels = With(
      {{"device", device.name}, {"port", ""}, {"port_id", ""}, {"severity", ""}, {"bound", ""}},
      device.labels);
  // A port's sensors share its limits: one series per port even where it has two of a kind.
  std::vector<std::pair<const ThresholdFamily*, std::string>> done;
  for (const host::InterfaceView& itf : load.device.interfaces) {
    for (const host::SensorView& sensor : itf.sensors) {
      if (sensor.empty_port) continue;
      const uint32_t type = Code(sensor.type_id);
      for (const ThresholdFamily& family : kThresholdFamilies) {
        if (family.type_id != type) continue;
        const std::pair<const ThresholdFamily*, std::string> port{&family, itf.interface_id};
        if (std::find(done.begin(), done.end(), port) != done.end()) continue;
        done.push_back(port);
        labels[1].second = host::PortLabel(itf, sensor);
        labels[2].second = itf.interface_id;
        AddPortThresholds(set, family, device.thresholds.For(labels[1].second).*family.bounds,
                          labels);
      }
    }
  }
}

void AddProcessMetrics(MetricSet& set) {
  std::string stat;
  std::string why;
  if (!app::ReadWholeFile("/proc/self/stat", stat, why)) return;
  // The fields after the command's closing parenthesis, which may itself hold blanks.
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return;
  std::vector<std::string> fields;
  for (std::size_t at = close + 2; at < stat.size();) {
    const std::size_t blank = stat.find(' ', at);
    fields.push_back(stat.substr(at, blank == std::string::npos ? std::string::npos : blank - at));
    if (blank == std::string::npos) break;
    at = blank + 1;
  }
  // Field numbers of proc(5), counted from the state (field 3) at index 0.
  auto field = [&fields](std::size_t number) {
    return number - 3 < fields.size() ? std::strtod(fields[number - 3].c_str(), nullptr) : 0.0;
  };
  const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
  const double page = static_cast<double>(::sysconf(_SC_PAGESIZE));
  double boot_time = 0;
  std::ifstream proc_stat("/proc/stat");
  for (std::string line; std::getline(proc_stat, line);) {
    if (line.rfind("btime ", 0) == 0) boot_time = std::strtod(line.c_str() + 6, nullptr);
  }
  std::size_t open_fds = 0;
  std::error_code ignored;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ignored);
       it != std::filesystem::directory_iterator(); it.increment(ignored)) {
    ++open_fds;
  }
  set.Add("process_cpu_seconds_total", "counter", "Total user and system CPU time in seconds.", {},
          (field(14) + field(15)) / ticks);
  set.Add("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.", {},
          field(24) * page);
  set.Add("process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.", {}, field(23));
  set.Add("process_start_time_seconds", "gauge",
          "Start time of the process since the Unix epoch in seconds.", {},
          boot_time + field(22) / ticks);
  set.Add("process_open_fds", "gauge", "Number of open file descriptors.", {},
          static_cast<double>(open_fds));
  // As other exporters report them: the soft limits, "unlimited" as the largest 64-bit count.
  auto limit = [](int resource) {
    rlimit value{};
    if (::getrlimit(resource, &value) != 0 || value.rlim_cur == RLIM_INFINITY) {
      return 18446744073709551615.0;
    }
    return static_cast<double>(value.rlim_cur);
  };
  set.Add("process_max_fds", "gauge", "Maximum number of open file descriptors.", {},
          limit(RLIMIT_NOFILE));
  set.Add("process_virtual_memory_max_bytes", "gauge",
          "Maximum amount of virtual memory available in bytes.", {}, limit(RLIMIT_AS));
}

void AddWriteErrors(MetricSet& set, uint64_t state, uint64_t documents) {
  const char* help =
      "Loads whose files a folder of the exporter refused (state: traces and TLS "
      "trust; documents: documents and working files).";
  for (const auto& [folder, count] : {std::pair{"state", state}, {"documents", documents}}) {
    set.Add("roomalert_exporter_write_errors_total", "counter", help, {{"folder", folder}},
            static_cast<double>(count));
  }
}

Labels BuildInfoLabels(const std::string& version) {
  return {{"version", version}, {"revision", KESTREL_REVISION}, {"compiler", KESTREL_COMPILER}};
}

}  // namespace kestrel::exporter
