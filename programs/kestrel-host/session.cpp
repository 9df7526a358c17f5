#include "programs/kestrel-host/session.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "host/provider_text.h"
#include "host/readings.h"
#include "host/value_format.h"
#include "programs/kestrel-host/guidance.h"
#include "programs/kestrel-host/host_input.h"

namespace kestrel::host {

namespace {

// The module names its JSON working file after the configuration document.
std::string JsonWorkingFile(const std::string& config) {
  std::string out = config;
  for (std::size_t at = 0; (at = out.find_first_of(".", at)) != std::string::npos;) {
    std::string ext = out.substr(at, 4);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == ".xml") {
      out.replace(at, 4, ".json");
      at += 5;
    } else {
      ++at;
    }
  }
  return out;
}

}  // namespace

void ApplySettings(const Options& o, const Job& job, IEnvProvider* provider,
                   const std::string& config, const std::string& data, const std::string& trace) {
  provider->SetTracingFile(trace.c_str());
  provider->SetConfigWorkingFile(config.c_str());
  provider->SetDataFile(data.c_str());
  if (job.has_host) provider->SetHost(job.host.c_str());
  if (job.secure) provider->SetHttpSecure(1);
  if (job.port != 0) provider->SetHttpPort(job.port);
  if (!o.user.empty()) provider->SetAccount(o.user.c_str());
  if (!job.password.empty()) provider->SetPassword(job.password.c_str());
}

std::string HostText(const Job& job, IEnvProvider* provider) {
  return job.has_host
             ? job.host
             : Windows1252ToUtf8(ReadProviderText(provider, &IEnvProvider::GetDefaultHost));
}

std::string FileBytes(const std::string& path, std::size_t from, std::size_t limit) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  in.seekg(static_cast<std::streamoff>(from));
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (limit != 0 && bytes.size() > limit) bytes.resize(limit);
  return bytes;
}

std::size_t FileSize(const std::string& path) {
  std::error_code failed;
  const auto size = std::filesystem::file_size(path, failed);
  return failed ? 0 : static_cast<std::size_t>(size);
}

std::string Guidance(const Options& o, const Job& job, IEnvProvider* provider,
                     const std::string& config, const std::string& trace, std::size_t trace_start,
                     const std::string& last_error) {
  FailureFacts facts;
  facts.url = DeviceUrl(HostText(job, provider), job.secure, job.port);
  facts.last_error = Windows1252ToUtf8(last_error);
  facts.has_user = !o.user.empty();
  const std::string lines = FileBytes(trace, trace_start);
  const std::size_t at = lines.rfind("HttpComponent: ");
  if (at != std::string::npos) facts.component_line = lines.substr(at, lines.find('\n', at) - at);
  facts.body = FileBytes(JsonWorkingFile(config), 0, 256);
  return FailureGuidance(facts);
}

bool ReadLoad(const std::string& config, const std::string& data, bool config_only,
              DeviceView& device, std::string& error) {
  if (!ReadDeviceDocument(config, device, error)) return false;
  if (config_only) return true;
  DeviceView readings;
  if (!ReadDeviceDocument(data, readings, error)) return false;
  MergeDataForm(readings, device);
  MarkReadings(RawXmlWorkingFile(config), device);
  return true;
}

}  // namespace kestrel::host
