#include "provider/provider_app.h"

#include <cstring>

#include "common/password_mask.h"
#include "provider/guarded.h"
#include "provider/working_files.h"

CEnvProviderApp::CEnvProviderApp(const char* class_name) : CMvnBase(class_name) {}

CEnvProviderApp::~CEnvProviderApp() {
  ReleaseHttpComponent();
}

void CEnvProviderApp::ReleaseHttpComponent() {
  if (http_ != nullptr) {
    http_->Release();
    http_ = nullptr;
  }
}

char* CEnvProviderApp::CopyToBuffer(const char* text, char* buffer, uint32_t length) {
  if (buffer == nullptr) return buffer;
  std::strncpy(buffer, text != nullptr ? text : "", length);
  return buffer;
}

void CEnvProviderApp::SetProgramFilesFolder(const char* folder) {
  kestrel::provider::Guarded([&] {
    program_files_folder_.Assign(folder);
    Trace(TRACE_TO_FILE, "EnvProviderApp: Setting program files folder: [%s]\n",
          program_files_folder_.Text());
  });
}

void CEnvProviderApp::SetProgramDataFolder(const char* folder) {
  kestrel::provider::Guarded([&] {
    program_data_folder_.Assign(folder);
    Trace(TRACE_TO_FILE, "EnvProviderApp: Setting program data folder: [%s]\n",
          program_data_folder_.Text());
  });
}

void CEnvProviderApp::SetTracingFile(const char* path) {
  kestrel::provider::Guarded([&] {
    SetTraceFile(path);
    Trace(TRACE_TO_FILE, "EnvProviderApp: Setting tracing file: [%s]\n",
          path != nullptr ? path : "");
  });
}

void CEnvProviderApp::SetConfigWorkingFile(const char* path) {
  using kestrel::provider::WorkingFile;
  using kestrel::provider::WorkingFileName;
  kestrel::provider::Guarded([&] {
    config_working_file_.Assign(path);
    WorkingFileName(config_working_file_.Text(), WorkingFile::kRawXml, raw_xml_working_file_);
    WorkingFileName(config_working_file_.Text(), WorkingFile::kJson, json_working_file_);
    Trace(TRACE_TO_FILE, "EnvProviderApp: Setting XML config working file: [%s]\n",
          path != nullptr ? path : "");
  });
}

void CEnvProviderApp::SetDataFile(const char* path) {
  kestrel::provider::Guarded([&] {
    data_file_.Assign(path);
    Trace(TRACE_TO_FILE, "EnvProviderApp: Setting data XML file: [%s]\n",
          path != nullptr ? path : "");
  });
}

void CEnvProviderApp::SetHost(const char* host) {
  kestrel::provider::Guarded([&] {
    host_.Assign(host);
    Trace(TRACE_TO_FILE, "EnvProviderApp: Setting device hostname or URL: [%s]\n",
          kestrel::MaskPassword(host).c_str());
  });
}

void CEnvProviderApp::SetCommunity(const char* community) {
  kestrel::provider::Guarded([&] {
    community_.Assign(community);
    Trace(TRACE_TO_FILE, "EnvProviderApp: Setting device community (SNMP only!): [%s]\n",
          community != nullptr ? community : "");
  });
}

void CEnvProviderApp::SetAccount(const char* account) {
  kestrel::provider::Guarded([&] {
    account_.Assign(account);
    Trace(TRACE_TO_FILE, "EnvProviderApp: Setting credentials (account): [%s]\n",
          account != nullptr ? account : "");
  });
}

void CEnvProviderApp::SetPassword(const char* password) {
  kestrel::provider::Guarded([&] {
    password_.Assign(password);
    Trace(TRACE_TO_FILE, "EnvProviderApp: Setting credentials (password): [********]\n");
  });
}

void CEnvProviderApp::SetHttpSecure(int32_t secure) {
  kestrel::provider::Guarded([&] {
    http_secure_ = secure;
    Trace(TRACE_TO_FILE, "EnvProviderApp: Setting HttpSecure: [%s]\n",
          secure != 0 ? "TRUE" : "FALSE");
  });
}

void CEnvProviderApp::SetHttpPort(uint32_t port) {
  kestrel::provider::Guarded([&] {
    http_port_ = port;
    Trace(TRACE_TO_FILE, "EnvProviderApp: Setting HTTP port: [%ld]\n", static_cast<long>(port));
  });
}

void CEnvProviderApp::SetMibFile(const char* path) {
  kestrel::provider::Guarded([&] {
    mib_file_.Assign(path);
    Trace(TRACE_TO_FILE, "EnvProviderApp: Setting SNMP MIB file: [%s]\n", mib_file_.Text());
  });
}

void CEnvProviderApp::SetProtocol(uint32_t protocol) {
  kestrel::provider::Guarded([&] {
    protocol_ = protocol;
    Trace(TRACE_TO_FILE, "EnvProviderApp: Setting communications protocol: [%ld]\n",
          static_cast<long>(protocol));
  });
}

void CEnvProviderApp::SetSnmpConfig(const CEnvSnmpConfig* config) {
  kestrel::provider::Guarded([&] {
    // The host always passes a record; a null one changes nothing but is still traced.
    if (config != nullptr) {
      snmp_config_.CopyFrom(*config);
      community_.Assign(config->community);
    }
    Trace(TRACE_TO_FILE, "EnvProviderApp: Setting SNMP configuration, SNMP version: [%ld]\n",
          static_cast<long>(snmp_config_.snmp_version));
  });
}

char* CEnvProviderApp::GetLastErrorText(char* buffer, uint32_t length) {
  return kestrel::provider::Guarded(
      buffer, [&] { return CopyToBuffer(last_error_.Text(), buffer, length); });
}
