// The one-shot and polling modes: loads on one provider, shown as a table, JSON or XML.
#pragma once

#include "programs/kestrel-host/options.h"
#include "provider/env_provider.h"

namespace kestrel::host {

int PrintInfo(IEnvProvider* provider);

// Runs o.count loads (0: until interrupted); answers the exit status.
int RunLoads(const Options& o, const Job& job, IEnvProvider* provider);

}  // namespace kestrel::host
