// The device loader on the module: one provider per device, made once and kept, so its network
// component and connection are reused from load to load.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/module_loader.h"
#include "programs/kestrel-exporter/folder_writes.h"
#include "programs/kestrel-exporter/scheduler.h"

namespace kestrel::exporter {

// Where the devices' files go. Traces (appended line by line, kept, rotated) and TLS trust stay in
// the state directory; documents and working files, rewritten whole by every load and read once
// right after, may go to a folder of their own, best on tmpfs: on ext4 each rewrite of a file
// that had blocks makes the file system write it out at once (its replace-by-truncate rule): with
// 1,000 devices, 1,290 probes/s (p99 39-56 ms) all on ext4, 1,670-1,800 (p99 24-29 ms) with the
// documents on tmpfs, on an idle 2-core machine.
struct ExporterFolders {
  std::string state;
  std::string documents;  // the state directory unless given
};

// A device's folder under parent (either of the two). Configured names are folder names already.
// An unlisted target's folder is named by a hash of its text and instance, a number of this
// process: a caller chooses nothing of the name, and two providers of one target never share a
// folder that the older one removes when it goes.
std::string DeviceFolder(const std::string& parent, const DeviceConfig& device,
                         uint64_t instance = 0);

// Removes the folders unlisted targets of an earlier exporter on these folders left behind (one
// that did not end cleanly), and nothing else: a folder under .unlisted goes only when its name
// and every file in it are of the exporter's making. Call it only while holding both folders.
void RemoveUnlistedFolders(const ExporterFolders& folders);

// Loaders that create their provider through module and keep their files in folders. A loader
// whose provider cannot be made answers every load with the reason. writes (if given) hears of
// every load whether the folders took its files.
LoaderFactory ModuleLoaderFactory(const host::LoadedModule& module, const ExporterFolders& folders,
                                  FolderWrites* writes = nullptr);

}  // namespace kestrel::exporter
