// Readings as Prometheus metrics (text exposition format 0.0.4), in base units.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/device_view.h"
#include "host/failures.h"
#include "programs/kestrel-exporter/config.h"

namespace kestrel::exporter {

// What one load left behind.
struct LoadResult {
  bool finished = false;     // false: the probe stopped waiting before the load ended
  int32_t result = -1;       // LoadDeviceData's answer
  std::string error;         // UTF-8; the module's last error text, or why there is no result
  bool unreachable = false;  // the device timed out or refused: it is left alone for a while
  host::FailureClass failure_class = host::FailureClass::kOther;  // why, when result is not 0
  host::DeviceView device;
  double duration_seconds = 0;
  double finished_at = 0;  // Unix time
};

// Samples grouped by family, so that a family's lines stay together whatever order they come in.
class MetricSet {
 public:
  void Add(const std::string& family, const char* type, const char* help, const Labels& labels,
           double value);
  // A histogram: bounds are the buckets' upper bounds, counts cumulative and as many.
  void AddHistogram(const std::string& family, const char* help, const Labels& labels,
                    const std::vector<double>& bounds, const std::vector<uint64_t>& counts,
                    double sum);
  std::string Text() const;

 private:
  struct Family {
    std::string name;
    std::string type;
    std::string help;
    std::string lines;
  };
  Family& Take(const std::string& family, const char* type, const char* help);
  // In the order they were first added; a probe's answer has a dozen.
  std::vector<Family> families_;
};

// Every family of one device: up, info, last error, load duration and one sample per sensor.
void AddDeviceMetrics(MetricSet& set, const std::string& device, const Labels& extra,
                      const LoadResult& load);

// The limits the configuration sets for the device's temperature and humidity ports: one series
// per port, severity and bound that has a limit, while the load tells which ports there are.
void AddThresholdMetrics(MetricSet& set, const DeviceConfig& device, const LoadResult& load);
// roomalert_load_age_seconds of a finished load, at now (Unix time).
void AddLoadAge(MetricSet& set, const std::string& device, const Labels& extra,
                const LoadResult& load, double now_unix_seconds);
double LoadAgeSeconds(const LoadResult& load, double now_unix_seconds);

// The family a sensor's readings go to, by its type and unit, whether or not it has a reading
// now: roomalert_temperature_celsius, ..., or roomalert_sensor_value for a type without one.
const char* SensorFamilyName(const host::SensorView& sensor);
// The sensor's reading in its family's base unit (the device's own for the generic family);
// false when the device took none.
bool BaseReading(const host::SensorView& sensor, double& value);

// Samples of the exporter process itself (CPU, memory, descriptors and their limits, start time).
void AddProcessMetrics(MetricSet& set);

// Loads whose files the state folder (traces, TLS trust) or the documents folder refused.
void AddWriteErrors(MetricSet& set, uint64_t state, uint64_t documents);

// roomalert_exporter_build_info's labels: version, the source revision the build was configured
// from ("unknown" outside a git checkout) and the compiler.
Labels BuildInfoLabels(const std::string& version);

// A number as Prometheus reads it: shortest round-trip form, NaN, +Inf, -Inf.
std::string FormatSample(double value);

// A label value with backslash, quote and line feed escaped.
std::string EscapeLabelValue(const std::string& text);

}  // namespace kestrel::exporter
