// Whether the exporter's two folders take what loads write there. A folder that refuses (read
// only, full, its permissions changed) would otherwise go unseen: the module writes its trace
// itself and says nothing when it cannot, and a device whose documents cannot be written looks
// like one of many failing devices.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "app/log.h"

namespace kestrel::exporter {

enum class ExporterFolder { kState, kDocuments };

class FolderWrites {
 public:
  FolderWrites(app::Log& log, std::string state, std::string documents);

  // What one load found: written, or refused with the reason. A folder that starts refusing is
  // said once, and again once it takes writes again; every refused load is counted.
  void Written(ExporterFolder folder);
  void Refused(ExporterFolder folder, const std::string& reason);
  uint64_t Errors(ExporterFolder folder) const;

 private:
  struct State {
    std::string path;
    bool refusing = false;
    uint64_t errors = 0;
  };
  State& Of(ExporterFolder folder) {
    return folder == ExporterFolder::kState ? state_ : documents_;
  }
  app::Log& log_;
  mutable std::mutex mutex_;
  State state_;
  State documents_;
};

}  // namespace kestrel::exporter
