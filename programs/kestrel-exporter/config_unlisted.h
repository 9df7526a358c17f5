// The configuration keys about unlisted targets, read into Config by the file's key table.
#pragma once

#include <yaml-cpp/yaml.h>

#include <cstddef>
#include <vector>

#include "web/address.h"

namespace kestrel::exporter {

// A list of networks as ADDRESS/BITS (a bare address: that address alone); null is an empty list.
void ParseNetworkList(const YAML::Node& node, const char* key, std::vector<web::Network>& networks);

// unlisted_targets_per_client: how many unlisted targets one client may have at once.
std::size_t ParseUnlistedPerClient(const YAML::Node& node, const char* key);

}  // namespace kestrel::exporter
