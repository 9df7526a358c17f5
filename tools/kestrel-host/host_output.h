// How kestrel-host shows a load: a table for people, one JSON object for scripts.
#pragma once

#include <cstdint>
#include <string>

#include "host/device_view.h"

namespace kestrel::host {

// Identity block, then one row per sensor; fits 80 columns.
std::string FormatTable(const DeviceView& device);

// One JSON object on one line. device is null for a failed load ("result" and "lastError" only).
std::string FormatJson(int32_t result, const std::string& last_error, const DeviceView* device);

}  // namespace kestrel::host
