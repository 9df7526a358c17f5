#include "host/session.h"

#include <cstdio>
#include <filesystem>

#include "host/provider_text.h"
#include "host/readings.h"
#include "host/value_format.h"
#include "provider/device_url.h"
#include "provider/working_files.h"

namespace kestrel::host {

namespace {

std::string WorkingFile(const std::string& config, provider::WorkingFile file) {
  CMvnString name;
  return provider::WorkingFileName(config.c_str(), file, name).Text();
}

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// The module says the same when a device lists no sensor and when its document cannot be saved;
// the configuration document it wrote just before tells them apart.
Failure SaveFailure(const Failure& said, const LoadFiles& files) {
  if (said.failure_class != FailureClass::kNoSensors) return said;
  DeviceView written;
  std::string ignored;
  const bool none =
      ReadDeviceDocument(files.config, written, ignored) && written.interfaces.empty();
  return none ? said : HostFailure(FailureClass::kWrite);
}

}  // namespace

std::string LoadFiles::Json() const {
  return WorkingFile(config, provider::WorkingFile::kJson);
}

std::string LoadFiles::RawXml() const {
  return WorkingFile(config, provider::WorkingFile::kRawXml);
}

Session::Session(const LoadedModule& module) : destroy_(module.destroy) {
  provider_ = module.create != nullptr ? module.create() : nullptr;
  if (provider_ == nullptr) problem_ = "the module could not create a provider";
}

Session::Session(IEnvProvider* provider) : provider_(provider) {
  if (provider_ == nullptr) problem_ = "the module could not create a provider";
}

Session::~Session() {
  if (provider_ != nullptr && destroy_ != nullptr) destroy_(provider_);
}

void Session::Apply(const SessionSettings& settings) {
  settings_ = settings;
  url_ = Url();
  if (provider_ == nullptr) return;
  provider_->SetTracingFile(settings.files.trace.c_str());
  provider_->SetConfigWorkingFile(settings.files.config.c_str());
  provider_->SetDataFile(settings.files.data.c_str());
  if (settings.has_host) provider_->SetHost(settings.host.c_str());
  if (settings.secure) provider_->SetHttpSecure(1);
  if (settings.port != 0) provider_->SetHttpPort(settings.port);
  if (!settings.user.empty()) provider_->SetAccount(settings.user.c_str());
  if (!settings.password.empty()) provider_->SetPassword(settings.password.c_str());
}

std::string Session::HostText() const {
  if (settings_.has_host || provider_ == nullptr) return settings_.host;
  return Windows1252ToUtf8(ReadProviderText(provider_, &IEnvProvider::GetDefaultHost));
}

std::string Session::Url() const {
  return DeviceUrl(HostText(), settings_.secure, settings_.port);
}

LoadView Session::Load(LoadKind kind) {
  LoadView view;
  view.files = settings_.files;
  view.url = url_;
  if (provider_ == nullptr) {
    view.last_error = problem_;
    view.failure = HostFailure(FailureClass::kOther);
    return view;
  }
  if (settings_.guidance) view.trace_start = FileSize(settings_.files.trace);
  view.started = std::chrono::system_clock::now();
  const auto started = std::chrono::steady_clock::now();
  view.result =
      kind == LoadKind::kConfigOnly ? provider_->LoadDeviceConfig() : provider_->LoadDeviceData();
  view.load_ms = MillisecondsSince(started);
  view.last_error = Windows1252ToUtf8(ReadProviderText(provider_, &IEnvProvider::GetLastErrorText));
  const auto reading = std::chrono::steady_clock::now();
  if (view.result != 0) {
    view.failure = SaveFailure(ClassifyLastError(view.last_error), view.files);
  } else if (!ReadLoadView(view)) {
    view.failure = HostFailure(FailureClass::kWrite);
  }
  view.read_ms = MillisecondsSince(reading);
  return view;
}

std::string Session::Guidance(const LoadView& view) const {
  FailureFacts facts;
  facts.has_user = !settings_.user.empty();
  facts.password_source = settings_.password_source;
  const std::string lines = FileBytes(view.files.trace, view.trace_start);
  const std::size_t at = lines.rfind("HttpComponent: ");
  if (at != std::string::npos) facts.component_line = lines.substr(at, lines.find('\n', at) - at);
  facts.body = FileBytes(view.files.Json(), 0, 256);
  return view.url + ": " + view.failure.Advice(facts) + " (runbook: RUNBOOK.md#" +
         RunbookAnchor(view.failure.failure_class) + ")";
}

const char* const kStatusDocumentPath = provider::kStatusDocumentPath;

std::string DeviceUrl(const std::string& host, bool secure, uint32_t port) {
  CMvnString url;
  return provider::BuildDeviceUrl(host.c_str(), secure ? 1 : 0, port, url).Text();
}

bool ReadLoadView(LoadView& view) {
  if (!ReadDeviceDocument(view.files.config, view.device, view.read_error)) return false;
  std::string raw_xml;
  ReadFileBytes(view.files.RawXml(), raw_xml);
  view.raw_xml_bytes = raw_xml.size();
  MarkReadings(raw_xml, view.device);
  return true;
}

std::string FileBytes(const std::string& path, std::size_t from, std::size_t limit) {
  std::string bytes;
  if (from == 0 && limit == 0) {
    ReadFileBytes(path, bytes);
    return bytes;
  }
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return bytes;
  if (from == 0 || std::fseek(file, static_cast<long>(from), SEEK_SET) == 0) {
    char buffer[4096];
    std::size_t got;
    while ((limit == 0 || bytes.size() < limit) &&
           (got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
      bytes.append(buffer, got);
    }
  }
  std::fclose(file);
  if (limit != 0 && bytes.size() > limit) bytes.resize(limit);
  return bytes;
}

std::size_t FileSize(const std::string& path) {
  std::error_code failed;
  const auto size = std::filesystem::file_size(path, failed);
  return failed ? 0 : static_cast<std::size_t>(size);
}

}  // namespace kestrel::host
