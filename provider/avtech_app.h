// The Room Alert 3W provider: identity values and the acquisition of the device.
#pragma once

#include <cstdint>

#include "common/xml_reader.h"
#include "device/device_records.h"
#include "provider/provider_app.h"

class CAVTechApp : public CEnvProviderApp {
 public:
  static constexpr const char* kProviderName = "AVTech Room Alert 3W";
  static constexpr const char* kProviderId = "kestrel-probe";
  // Where the bundled device simulator listens by default, so a demonstration needs no settings.
  static constexpr const char* kDefaultHost = "localhost:8380";
  static constexpr uint32_t kDeviceTypeId = 0x20020;
  static constexpr uint32_t kSupportedProtocols = 8;  // html/json

  CAVTechApp();
  ~CAVTechApp() override;

  int32_t LoadDeviceConfig() override;
  int32_t LoadDeviceData() override;
  char* GetProviderName(char* buffer, uint32_t length) override;
  char* GetDefaultHost(char* buffer, uint32_t length) override;
  char* GetProviderId(char* buffer, uint32_t length) override;
  uint32_t GetDeviceTypeId() override;
  uint32_t GetSupportedProtocols() override;
  // Also keeps the path in the device record, so that documents name the trace file.
  void SetTracingFile(const char* path) override;

  CEnvDevInfo& Device() { return device_; }
  const CEnvDevInfo& Device() const { return device_; }

 private:
  // Lets the device-case tests and the fuzz target drive the parsing steps without a network.
  friend class AVTechAppTestAccess;

  // One acquisition: fetch, keep the working files, convert and parse into the device record.
  // 0, or -1 with the outcome's text as last error text.
  int32_t FetchDeviceDocument(const char* host, int32_t secure, uint32_t port);

  // Resets the device record and fills it from the intermediate XML text: identity, then the
  // interfaces of every sensor group. 0, or -1 when the text or its device section is unusable.
  int32_t ParseDeviceInformation(const char* xml);
  // Appends one interface per mapped item found at item_path in the loaded document.
  void DetectSensors(CMvnXmlDoc* document, const char* item_path);

  // Marks a load operation for its whole run. LoadDeviceData runs LoadDeviceConfig inside itself;
  // when the outermost load ends, its documents are written and the record lets go of what it
  // read (ReleaseLoadResult).
  class LoadScope {
   public:
    explicit LoadScope(CAVTechApp& app) : app_(app) { ++app_.loads_running_; }
    ~LoadScope() {
      if (--app_.loads_running_ == 0) app_.ReleaseLoadResult();
    }
    LoadScope(const LoadScope&) = delete;
    LoadScope& operator=(const LoadScope&) = delete;

   private:
    CAVTechApp& app_;
  };
  // Nothing needs memory here: it runs while a failed allocation unwinds.
  void ReleaseLoadResult() noexcept;

  CEnvDevInfo device_{"CAVTechApp"};
  // The XML reader's buffers and entries, kept from one load to the next.
  kestrel::xml::ReaderMemory reader_memory_;
  int32_t loads_running_ = 0;
};
