// What one-shot loads, polls and checks share: handing the options to a provider, reading back
// what a load wrote, and the guidance for a load that failed.
#pragma once

#include <cstddef>
#include <string>

#include "host/device_view.h"
#include "programs/kestrel-host/options.h"
#include "provider/env_provider.h"

namespace kestrel::host {

void ApplySettings(const Options& o, const Job& job, IEnvProvider* provider,
                   const std::string& config, const std::string& data, const std::string& trace);

// The host text the provider works with: the one given, else the provider's own default.
std::string HostText(const Job& job, IEnvProvider* provider);

// The bytes of path from offset from, at most limit of them (0: all); empty when unreadable.
std::string FileBytes(const std::string& path, std::size_t from = 0, std::size_t limit = 0);
std::size_t FileSize(const std::string& path);

// The guidance for a failed load, from what this load left in the trace and the working files.
std::string Guidance(const Options& o, const Job& job, IEnvProvider* provider,
                     const std::string& config, const std::string& trace, std::size_t trace_start,
                     const std::string& last_error);

// Reads the documents of a load back, with the readings the device did not take marked absent.
bool ReadLoad(const std::string& config, const std::string& data, bool config_only,
              DeviceView& device, std::string& error);

}  // namespace kestrel::host
