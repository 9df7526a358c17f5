// Why a load failed, in a form whose series do not churn: a class from a fixed set, for alerts and
// dashboards to group by, and the module's text with every measured number taken out and its
// length bounded, so a device that keeps failing the same way keeps one series.
#pragma once

#include <string>

namespace kestrel::exporter {

struct LoadResult;

// The classes, in the order a reader would look for the cause: the network first, then the
// answer, then what the exporter does with it. "other" takes what fits none of them (a
// connection closed mid-answer, a component that could not be made).
constexpr const char* kErrorClasses[] = {"timeout",     "refused",  "dns",        "tls",   "auth",
                                         "http_status", "not_json", "no_sensors", "write", "other"};

// The class of a failed load: the loader's own when it set one, else read from the error text.
const char* LoadErrorClass(const LoadResult& load);

// The class that the module's last error text (or the exporter's reason) names.
const char* ErrorClassOfText(const std::string& text);

// text without numbers that change from one failure to the next (durations, byte counts), cut
// to a bounded length at a character boundary. Codes the module writes in brackets ("[404]")
// stay: they are part of what failed, not a measurement.
std::string StableErrorText(const std::string& text);

}  // namespace kestrel::exporter
