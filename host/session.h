// How a program drives the module: one provider made through the module's factory, its settings,
// loads, and one merged view of what each load wrote (identity, every sensor with its reading or
// its absence, the load's time, the files' paths) or why it failed.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "host/device_view.h"
#include "host/failures.h"
#include "host/module_loader.h"
#include "provider/env_provider.h"

namespace kestrel::host {

// The files of one provider. The module keeps two working files beside the configuration
// document, named after it.
struct LoadFiles {
  std::string config;  // the configuration form
  std::string data;    // the data form
  std::string trace;

  std::string Json() const;    // the device's answer
  std::string RawXml() const;  // the intermediate XML the module read its sensors from
};

struct SessionSettings {
  bool has_host = false;  // false: the provider's own default host
  std::string host;
  bool secure = false;
  uint32_t port = 0;  // 0: the scheme's port, or the one in the host text
  std::string user;
  std::string password;
  std::string password_source;  // for the advice on a refused login (FailureFacts)
  LoadFiles files;
  // Notes where each load's trace lines begin, for Guidance(); a host that gives none saves the
  // look at the trace's size before every load.
  bool guidance = true;
};

enum class LoadKind { kData, kConfigOnly };

struct LoadView {
  int32_t result = -1;     // the module's answer
  std::string last_error;  // the module's last error text, UTF-8
  // Why the load failed (the module's answer, or documents that could not be read back).
  Failure failure;
  std::string read_error;  // the documents of a load that answered 0 could not be read: why
  DeviceView device;       // what the load wrote, when Ok()
  std::string url;         // what the module fetched
  LoadFiles files;
  std::chrono::system_clock::time_point started;
  double load_ms = 0;  // the module's own time
  double read_ms = 0;  // reading its documents back
  // The trace's size before the load: the load's own lines follow.
  std::size_t trace_start = 0;
  std::size_t raw_xml_bytes = 0;  // the intermediate XML's size, when the view was read

  bool Ok() const { return result == 0 && read_error.empty(); }
};

class Session {
 public:
  // A provider of its own, made through the module's factory and destroyed with the session.
  explicit Session(const LoadedModule& module);
  // A provider made by the caller, who keeps it.
  explicit Session(IEnvProvider* provider);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Why there is no provider (the module could not make one); empty when there is.
  const std::string& Problem() const { return problem_; }
  IEnvProvider* Provider() const { return provider_; }

  // Hands the settings to the provider (every setter traces a line, so only those given are set).
  void Apply(const SessionSettings& settings);
  const SessionSettings& Settings() const { return settings_; }
  // The host text the provider works with: the one set, else its own default (UTF-8).
  std::string HostText() const;
  std::string Url() const;

  // One load, and its documents read back.
  LoadView Load(LoadKind kind = LoadKind::kData);

  // "URL: likely cause; next step (runbook: RUNBOOK.md#class-...)" for a load that failed, from
  // the load's trace lines and the start of the device's answer.
  std::string Guidance(const LoadView& view) const;

 private:
  DeletePluginInstanceFunction destroy_ = nullptr;
  IEnvProvider* provider_ = nullptr;
  std::string problem_;
  SessionSettings settings_;
  std::string url_;  // of the settings, made once
};

// Reads what a load wrote into view.device: the configuration form, which carries the data form's
// status and values from the same record, with its readings marked from the raw XML working file.
// false with view.read_error when the document cannot be read.
bool ReadLoadView(LoadView& view);

// The path the module asks a device for, after the host text.
extern const char* const kStatusDocumentPath;

// The URL the module fetches for a host text, secure flag and port setting.
std::string DeviceUrl(const std::string& host, bool secure, uint32_t port);

// The bytes of path from offset from, at most limit of them (0: all); empty when unreadable.
std::string FileBytes(const std::string& path, std::size_t from = 0, std::size_t limit = 0);
std::size_t FileSize(const std::string& path);

}  // namespace kestrel::host
