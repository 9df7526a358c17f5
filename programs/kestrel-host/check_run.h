// --check: one load in a private folder, judged and printed as a monitoring plug-in.
#pragma once

#include "programs/kestrel-host/options.h"

namespace kestrel::host {

// Answers the plug-in exit code.
int RunCheck(const Options& o, const Job& job);

}  // namespace kestrel::host
