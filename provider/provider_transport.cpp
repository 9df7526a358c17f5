// The generic provider's steps over the transport layer, which every device provider's acquisition
// uses: the network component, kept for the provider's life, one GET through it, and the
// conversion of the device's JSON.
#include <cstdint>

#include "common/error_messages.h"
#include "netcomp/component_factory.h"
#include "platform/platform.h"
#include "provider/provider_app.h"
#include "transport/http_retrieval.h"
#include "transport/json_to_xml.h"
#include "transport/wide_text.h"

bool CEnvProviderApp::InitHttpComponent() {
  last_error_.Assign(LoadTextOf(LoadText::kGeneric));
  Trace(TRACE_TO_FILE, "Initializing HTTP library...\n");
  if (http_ != nullptr) {
    last_error_.Assign(LoadTextOf(LoadText::kSucceeded));
    return true;
  }
  kestrel::platform::ComInitialize();
  kestrel::platform::HttpComponent* component = nullptr;
  const int32_t created = kestrel::netcomp::CreateHttpComponent(&component);
  if (created < 0 || component == nullptr) {
    if (component != nullptr) component->Release();
    last_error_.Assign(LoadTextOf(LoadText::kComponentMissing));
    return false;
  }
  http_ = component;
  CMvnString trace_file;
  GetTraceFile(trace_file);
  http_->SetLogFile(kestrel::WideText(trace_file.Text()).get());
  last_error_.Assign(LoadTextOf(LoadText::kSucceeded));
  Trace(TRACE_TO_FILE, "EnvProviderApp: Initializing HTTP library...success\n");
  return true;
}

int32_t CEnvProviderApp::HttpGet(const char* url, CMvnString& body, CMvnString& detail) {
  body.Assign("");
  detail.Assign("");
  Trace(TRACE_TO_FILE, "EnvProviderApp: Using HTTP0.9: [%s].\n", "FALSE");
  if (!InitHttpComponent()) {
    Trace(TRACE_TO_FILE,
          "EnvProviderApp: Failed to read data over HTTP. Failed to initialize HTTP library.\n");
    return -1;
  }
  return kestrel::transport::GetDocument(*http_, url, body, detail);
}

int32_t CEnvProviderApp::ConvertJsonToXml(const char* json, CMvnString& xml, CMvnString& detail) {
  return kestrel::transport::ConvertJsonToXml(json, xml, detail);
}
