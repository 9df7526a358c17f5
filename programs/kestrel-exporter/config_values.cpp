#include "programs/kestrel-exporter/config_values.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <set>

#include "app/files.h"
#include "web/yaml_walk.h"

namespace kestrel::exporter {

using web::Fail;
using web::KindOf;
using web::Quoted;

uint32_t Port(const YAML::Node& node, const std::string& key) {
  const std::string text = node.IsScalar() ? node.Scalar() : std::string();
  uint32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value > 65535) {
    Fail(node, "expected a port number from 0 to 65535 for '" + key + "', got " +
                   (node.IsScalar() ? Quoted(text) : std::string(KindOf(node))));
  }
  return value;
}

// As Prometheus writes durations.
double Duration(const YAML::Node& node, const std::string& key, double smallest, double largest) {
  const std::string text = node.IsScalar() ? node.Scalar() : std::string();
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  const std::string unit(end, text.data() + text.size());
  static constexpr struct {
    const char* unit;
    double seconds;
  } kUnits[] = {{"", 1}, {"s", 1}, {"ms", 0.001}, {"m", 60}, {"h", 3600}};
  double scale = 0;
  for (const auto& known : kUnits) {
    if (unit == known.unit) scale = known.seconds;
  }
  value *= scale;
  if (text.empty() || ec != std::errc() || scale == 0 || !std::isfinite(value) ||
      value < smallest || value > largest) {
    char range[96];
    std::snprintf(range, sizeof range, " from %gs to %gs", smallest, largest);
    Fail(node, "expected a duration" + std::string(range) + " (e.g. 10s or 500ms) for '" + key +
                   "', got " + (node.IsScalar() ? Quoted(text) : std::string(KindOf(node))));
  }
  return value;
}

bool IsLabelName(const std::string& text) {
  if (text.empty() || text.size() > 64 || std::isdigit(static_cast<unsigned char>(text[0]))) {
    return false;
  }
  for (const char c : text) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  }
  return text.compare(0, 2, "__") != 0;
}

// The labels the exporter sets itself; a configured one of these names would clash.
bool IsReservedLabel(const std::string& name) {
  static const std::set<std::string> kReserved = {
      "device", "port",    "port_id", "sensor_id", "type",     "unit",
      "error",  "class",   "serial",  "mac",       "firmware", "model",
      "name",   "address", "le",      "quantile",  "version"};
  // The threshold series' own, and the one the scrape configuration gives every sample so that
  // the Alertmanager can tell which exporter a device alert came through.
  static const std::set<std::string> kThresholdsAndScrape = {"severity", "bound",
                                                             "kestrel_exporter"};
  return kReserved.count(name) != 0 || kThresholdsAndScrape.count(name) != 0;
}

// The CA file must be there when the file is checked: a device that only fails at its first
// load, with a TLS error, hides a typing error in the path.
std::string CaFileProblem(const std::string& path) {
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (!std::filesystem::exists(status)) return "no such file";
  if (std::filesystem::is_directory(status)) return "a folder, not a file";
  std::string text;
  std::string why;
  if (!app::ReadWholeFile(path, text, why)) return why;
  if (text.find("-----BEGIN CERTIFICATE-----") == std::string::npos) {
    return "no PEM certificate in it (-----BEGIN CERTIFICATE-----)";
  }
  return std::string();
}

}  // namespace kestrel::exporter
