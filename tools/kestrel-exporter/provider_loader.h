// The device loader on the module: one provider per device, made once and kept, so its network
// component and connection are reused from load to load.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/module_loader.h"
#include "tools/kestrel-exporter/scheduler.h"

namespace kestrel::exporter {

// The folder of the state directory that holds a device's documents, working files and trace.
// Configured names are folder names already. An unlisted target's folder is named by a hash of
// its text and instance, a number of this process: a caller chooses nothing of the name, and two
// providers of one target never share a folder that the older one removes when it goes.
std::string DeviceFolder(const std::string& state_dir, const DeviceConfig& device,
                         uint64_t instance = 0);

// Removes the folders unlisted targets left behind (a process that did not end cleanly).
void RemoveUnlistedFolders(const std::string& state_dir);

// Whether a load's error text says the device timed out or refused the connection.
bool IsUnreachableError(const std::string& error);

// Loaders that create their provider through module and keep their files in state_dir. A loader
// whose provider cannot be made answers every load with the reason.
LoaderFactory ModuleLoaderFactory(const host::LoadedModule& module, const std::string& state_dir);

}  // namespace kestrel::exporter
