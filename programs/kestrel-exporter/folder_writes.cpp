#include "programs/kestrel-exporter/folder_writes.h"

namespace kestrel::exporter {

namespace {

const char* Name(ExporterFolder folder) {
  return folder == ExporterFolder::kState ? "state" : "documents";
}

}  // namespace

FolderWrites::FolderWrites(app::Log& log, std::string state, std::string documents) : log_(log) {
  state_.path = std::move(state);
  documents_.path = std::move(documents);
}

void FolderWrites::Written(ExporterFolder folder) {
  std::string said;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    State& state = Of(folder);
    if (!state.refusing) return;
    state.refusing = false;
    said = std::string("the ") + Name(folder) + " directory " + state.path + " takes writes again";
  }
  log_.Line(said);
}

void FolderWrites::Refused(ExporterFolder folder, const std::string& reason) {
  std::string said;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    State& state = Of(folder);
    ++state.errors;
    if (state.refusing) return;
    state.refusing = true;
    said = std::string("the ") + Name(folder) + " directory " + state.path + " refuses writes (" +
           reason +
           "): " + (folder == ExporterFolder::kState ? "device traces are lost" : "loads fail") +
           " until it takes them again; roomalert_exporter_write_errors_total{folder=\"" +
           Name(folder) + "\"} counts the loads";
  }
  log_.Line(said);
}

uint64_t FolderWrites::Errors(ExporterFolder folder) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return folder == ExporterFolder::kState ? state_.errors : documents_.errors;
}

}  // namespace kestrel::exporter
