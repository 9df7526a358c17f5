// The command line's settings as the hosting library's session takes them.
#pragma once

#include "host/session.h"
#include "programs/kestrel-host/options.h"

namespace kestrel::host {

// The provider's settings from the options, with the files a load writes.
SessionSettings SettingsFor(const Options& o, const Job& job, const LoadFiles& files);

}  // namespace kestrel::host
