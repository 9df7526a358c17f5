#include "provider/avtech_app.h"

#include "provider/guarded.h"

CAVTechApp::CAVTechApp() : CEnvProviderApp("CAVTechApp") {
  host_.Assign(kDefaultHost);
  http_secure_ = 0;
  http_port_ = 0;
  device_.device_type_id = kDeviceTypeId;
}

CAVTechApp::~CAVTechApp() {
  ReleaseHttpComponent();
}

char* CAVTechApp::GetProviderName(char* buffer, uint32_t length) {
  return kestrel::provider::Guarded(buffer,
                                    [&] { return CopyToBuffer(kProviderName, buffer, length); });
}

char* CAVTechApp::GetDefaultHost(char* buffer, uint32_t length) {
  return kestrel::provider::Guarded(buffer,
                                    [&] { return CopyToBuffer(kDefaultHost, buffer, length); });
}

char* CAVTechApp::GetProviderId(char* buffer, uint32_t length) {
  return kestrel::provider::Guarded(buffer,
                                    [&] { return CopyToBuffer(kProviderId, buffer, length); });
}

// The two constants cannot fail; they are guarded all the same so that every slot of the table
// keeps exceptions in, whatever a later change puts behind it.
uint32_t CAVTechApp::GetDeviceTypeId() {
  return kestrel::provider::Guarded(kDeviceTypeId, [] { return kDeviceTypeId; });
}

uint32_t CAVTechApp::GetSupportedProtocols() {
  return kestrel::provider::Guarded(kSupportedProtocols, [] { return kSupportedProtocols; });
}

void CAVTechApp::SetTracingFile(const char* path) {
  kestrel::provider::Guarded([&] {
    device_.tracefile.Assign(path);
    CEnvProviderApp::SetTracingFile(path);
  });
}
