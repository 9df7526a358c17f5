// The device loader on the module: one provider per device, made once and kept, so its network
// component and connection are reused from load to load.
#pragma once

#include <memory>
#include <string>

#include "host/module_loader.h"
#include "tools/kestrel-exporter/scheduler.h"

namespace kestrel::exporter {

// The folder of the state directory that holds a device's documents, working files and trace.
// Configured names are folder names already; unlisted host texts are made into one that no
// configured name can take.
std::string DeviceFolder(const std::string& state_dir, const DeviceConfig& device);

// Loaders that create their provider through module and keep their files in state_dir. A loader
// whose provider cannot be made answers every load with the reason.
LoaderFactory ModuleLoaderFactory(const host::LoadedModule& module, const std::string& state_dir);

}  // namespace kestrel::exporter
