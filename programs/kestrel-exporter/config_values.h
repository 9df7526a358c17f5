// Values of the configuration file that more than one of its sections reads: durations, ports,
// label names, CA files. A bad value fails the read with its place in the file (web::Fail).
#pragma once

#include <yaml-cpp/yaml.h>

#include <cstdint>
#include <string>

namespace kestrel::exporter {

// Seconds as a number, or a number with the unit ms, s, m or h, from smallest to largest.
double Duration(const YAML::Node& node, const std::string& key, double smallest, double largest);

// A port number from 0 to 65535.
uint32_t Port(const YAML::Node& node, const std::string& key);

// Prometheus's label name rule, without the names it keeps for itself (__*).
bool IsLabelName(const std::string& text);

// Whether the exporter sets a label of this name itself, so that a configured one would clash.
bool IsReservedLabel(const std::string& name);

// Why a CA file cannot be used (empty when it can): missing, a folder, unreadable, no PEM.
std::string CaFileProblem(const std::string& path);

}  // namespace kestrel::exporter
