// The generic provider: every setting the host gives, the derived working-file names, the last
// error text, the network component and the steps shared by device providers.
#pragma once

#include <cstdint>

#include "common/mvn_base.h"
#include "common/mvn_string.h"
#include "platform/platform.h"
#include "provider/env_provider.h"

class CEnvProviderApp : public IEnvProvider, public CMvnBase {
 public:
  explicit CEnvProviderApp(const char* class_name);
  ~CEnvProviderApp() override;

  void SetProgramFilesFolder(const char* folder) override;
  void SetProgramDataFolder(const char* folder) override;
  void SetTracingFile(const char* path) override;
  void SetConfigWorkingFile(const char* path) override;
  void SetDataFile(const char* path) override;
  void SetHost(const char* host) override;
  void SetCommunity(const char* community) override;
  void SetAccount(const char* account) override;
  void SetPassword(const char* password) override;
  void SetHttpSecure(int32_t secure) override;
  void SetHttpPort(uint32_t port) override;
  void SetMibFile(const char* path) override;
  void SetProtocol(uint32_t protocol) override;
  void SetSnmpConfig(const CEnvSnmpConfig* config) override;
  char* GetLastErrorText(char* buffer, uint32_t length) override;

  // Creates the network component on first use; true when it is ready.
  bool InitHttpComponent();
  // One GET of url with up to three attempts; 0, or -1 with the reason in detail.
  int32_t HttpGet(const char* url, CMvnString& body, CMvnString& detail);
  // The device's JSON as the intermediate XML text; 0, or -1 with the reason in detail.
  static int32_t ConvertJsonToXml(const char* json, CMvnString& xml, CMvnString& detail);

  // Read access for the host-side tools and tests.
  const CMvnString& DataFile() const { return data_file_; }
  const CMvnString& JsonWorkingFile() const { return json_working_file_; }
  const CMvnString& RawXmlWorkingFile() const { return raw_xml_working_file_; }
  const CMvnString& ConfigWorkingFile() const { return config_working_file_; }
  const CEnvSnmpConfig& SnmpConfig() const { return snmp_config_; }
  uint32_t Protocol() const { return protocol_; }
  const CMvnString& LastErrorText() const { return last_error_; }
  const CMvnString& Host() const { return host_; }
  const CMvnString& Account() const { return account_; }
  int32_t HttpSecure() const { return http_secure_; }
  uint32_t HttpPort() const { return http_port_; }
  const CMvnString& Community() const { return community_; }
  const CMvnString& MibFile() const { return mib_file_; }
  const CMvnString& ProgramFilesFolder() const { return program_files_folder_; }
  const CMvnString& ProgramDataFolder() const { return program_data_folder_; }

 protected:
  // Drops the network component; a device provider does so before its device record goes.
  void ReleaseHttpComponent();
  // strncpy semantics: at most length bytes, the rest zero-filled, no terminator when full.
  static char* CopyToBuffer(const char* text, char* buffer, uint32_t length);

  CMvnString data_file_;
  CMvnString json_working_file_;
  CMvnString raw_xml_working_file_;
  CMvnString config_working_file_;
  CEnvSnmpConfig snmp_config_;
  uint32_t protocol_ = 0;
  CMvnString last_error_;
  CMvnString host_;
  CMvnString account_;
  CMvnString password_;
  int32_t http_secure_ = 0;
  uint32_t http_port_ = 0;
  CMvnString community_{"quorin"};
  CMvnString mib_file_;
  CMvnString program_files_folder_;
  CMvnString program_data_folder_;
  kestrel::platform::HttpComponent* http_ = nullptr;
};
