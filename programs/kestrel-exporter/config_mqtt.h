// The mqtt: section of the configuration file, read apart from the rest (config.cpp hands it
// over from its table of keys), and the value readers the two files share.
#pragma once

#include <yaml-cpp/yaml.h>

#include <string>

#include "programs/kestrel-exporter/config.h"

namespace kestrel::exporter {

// Seconds as a number, or a number with the unit ms, s, m or h (defined in config.cpp).
double Duration(const YAML::Node& node, const std::string& key, double smallest, double largest);

// Why a CA file cannot be used (empty when it can): missing, a folder, unreadable, no PEM.
std::string CaFileProblem(const std::string& path);

// Reads the section into config.mqtt; files are relative to config_file's folder.
void ParseMqtt(const YAML::Node& node, const std::string& config_file,
               const PasswordReader& read_password, Config& config);

// What an MQTT topic level may hold where Home Assistant reads it back: letters, digits, '_'
// and '-'; anything else becomes '_'.
std::string TopicSafe(const std::string& text);

}  // namespace kestrel::exporter
