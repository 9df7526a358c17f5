// How kestrel-host shows a load: a table for people, one JSON object for scripts.
#pragma once

#include <cstdint>
#include <string>

#include "tools/kestrel-host/device_view.h"

namespace kestrel::host {

// Identity block, then one row per sensor; fits 80 columns.
std::string FormatTable(const DeviceView& device);

// One JSON object on one line. device is null for a failed load ("result" and "lastError" only).
std::string FormatJson(int32_t result, const std::string& last_error, const DeviceView* device);

// Text as a JSON string literal, quotes included. The text is UTF-8.
std::string JsonString(const std::string& text);

// A number text of a document as a JSON value: the number itself, or null when it is none.
std::string JsonNumber(const std::string& text);

// The module's texts are in the Windows-1252 code page; terminals and JSON want UTF-8.
std::string Windows1252ToUtf8(const std::string& text);

// value printed with digits decimals ("-" when the document holds no value).
std::string FormatValue(const std::string& value, const std::string& digits);

}  // namespace kestrel::host
