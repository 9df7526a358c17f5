#include "provider/avtech_app.h"

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
  return CopyToBuffer(kProviderName, buffer, length);
}

char* CAVTechApp::GetDefaultHost(char* buffer, uint32_t length) {
  return CopyToBuffer(kDefaultHost, buffer, length);
}

char* CAVTechApp::GetProviderId(char* buffer, uint32_t length) {
  return CopyToBuffer(kProviderId, buffer, length);
}

uint32_t CAVTechApp::GetDeviceTypeId() {
  return kDeviceTypeId;
}

uint32_t CAVTechApp::GetSupportedProtocols() {
  return kSupportedProtocols;
}

void CAVTechApp::SetTracingFile(const char* path) {
  device_.tracefile.Assign(path);
  CEnvProviderApp::SetTracingFile(path);
}
