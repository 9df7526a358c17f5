// Why a load failed, in a form whose series do not churn: a class from a fixed set, for alerts and
// dashboards to group by, and the module's text with every measured number taken out and its
// length bounded, so a device that keeps failing the same way keeps one series.
#pragma once

#include <string>

namespace kestrel::exporter {

struct LoadResult;

// The class of a load: its failure's (host/failures.h), or timeout for a load the probe stopped
// waiting for.
const char* LoadErrorClass(const LoadResult& load);

// text without numbers that change from one failure to the next (durations, byte counts), cut
// to a bounded length at a character boundary. Codes the module writes in brackets ("[404]")
// stay: they are part of what failed, not a measurement.
std::string StableErrorText(const std::string& text);

}  // namespace kestrel::exporter
