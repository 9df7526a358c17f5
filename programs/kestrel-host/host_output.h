// How kestrel-host shows a load: a table for people, one JSON object for scripts. Every text,
// the module's last error included, is UTF-8.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "host/device_view.h"

namespace kestrel::host {

// Identity block, then one row per sensor; fits 80 columns.
std::string FormatTable(const DeviceView& device);

// One JSON object on one line. device is null for a failed load ("result" and "lastError" only).
std::string FormatJson(int32_t result, const std::string& last_error, const DeviceView* device);

// When and where a load ran, for output that is read long after it was written.
struct LoadStamp {
  std::string time;   // RFC 3339, UTC: "2026-12-06T07:20:01.123Z"
  std::string clock;  // local "07:20:01", for people
  std::string host;   // the host text the module was given (UTF-8)
  double duration_ms = 0;
};

// The object of FormatJson with "time", "host" and "durationMs" in front.
std::string StampJson(const std::string& json_object, const LoadStamp& stamp);

// One line per load for a poll whose identity block the table already showed (device null: the
// load failed with last_error).
std::string FormatPollLine(const LoadStamp& stamp, const DeviceView* device,
                           const std::string& last_error);

// A poll in XML is one document: the head, one <load> per load (the data document inside, or the
// last error text), then the tail.
std::string XmlPollHead();
std::string XmlPollLoad(const LoadStamp& stamp, int32_t result, const std::string& last_error,
                        const std::string& document);
std::string XmlPollTail();

}  // namespace kestrel::host
