// The contract between the host monitoring service and this module: the 22 operations of
// IEnvProvider in table order (the host calls them by slot) and the two exports; the SNMP settings
// record that slot 20 takes lives with the device record, which embeds it too. No destructor in
// the table: the object is destroyed through DeletePluginInstance.
#pragma once

#include <cstdint>

#include "device/snmp_config.h"

#if defined(_WIN32)
#define KESTREL_EXPORT __declspec(dllexport)
#else
#define KESTREL_EXPORT __attribute__((visibility("default")))
#endif

class IEnvProvider {
 public:
  virtual int32_t LoadDeviceConfig() = 0;                             // slot 0
  virtual int32_t LoadDeviceData() = 0;                               // slot 1
  virtual char* GetProviderName(char* buffer, uint32_t length) = 0;   // slot 2
  virtual char* GetDefaultHost(char* buffer, uint32_t length) = 0;    // slot 3
  virtual char* GetProviderId(char* buffer, uint32_t length) = 0;     // slot 4
  virtual uint32_t GetDeviceTypeId() = 0;                             // slot 5
  virtual uint32_t GetSupportedProtocols() = 0;                       // slot 6
  virtual void SetProgramFilesFolder(const char* folder) = 0;         // slot 7
  virtual void SetProgramDataFolder(const char* folder) = 0;          // slot 8
  virtual void SetTracingFile(const char* path) = 0;                  // slot 9
  virtual void SetConfigWorkingFile(const char* path) = 0;            // slot 10
  virtual void SetDataFile(const char* path) = 0;                     // slot 11
  virtual void SetHost(const char* host) = 0;                         // slot 12
  virtual void SetCommunity(const char* community) = 0;               // slot 13
  virtual void SetAccount(const char* account) = 0;                   // slot 14
  virtual void SetPassword(const char* password) = 0;                 // slot 15
  virtual void SetHttpSecure(int32_t secure) = 0;                     // slot 16
  virtual void SetHttpPort(uint32_t port) = 0;                        // slot 17
  virtual void SetMibFile(const char* path) = 0;                      // slot 18
  virtual void SetProtocol(uint32_t protocol) = 0;                    // slot 19
  virtual void SetSnmpConfig(const CEnvSnmpConfig* config) = 0;       // slot 20
  virtual char* GetLastErrorText(char* buffer, uint32_t length) = 0;  // slot 21
};

extern "C" {
// A new provider for one device, or null when it cannot be allocated.
KESTREL_EXPORT IEnvProvider* CreatePluginInstance();
// Destroys a provider made by CreatePluginInstance; null is ignored.
KESTREL_EXPORT void DeletePluginInstance(IEnvProvider* provider);
}

using CreatePluginInstanceFunction = IEnvProvider* (*)();
using DeletePluginInstanceFunction = void (*)(IEnvProvider*);
