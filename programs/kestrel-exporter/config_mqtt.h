// The mqtt: section of the configuration file, read apart from the rest (config.cpp hands it
// over from its table of keys).
#pragma once

#include <yaml-cpp/yaml.h>

#include <string>

#include "programs/kestrel-exporter/config.h"
#include "programs/kestrel-exporter/config_values.h"

namespace kestrel::exporter {

// Reads the section into config.mqtt; files are relative to config_file's folder.
void ParseMqtt(const YAML::Node& node, const std::string& config_file,
               const PasswordReader& read_password, Config& config);

// What an MQTT topic level may hold where Home Assistant reads it back: letters, digits, '_'
// and '-'; anything else becomes '_'.
std::string TopicSafe(const std::string& text);

}  // namespace kestrel::exporter
