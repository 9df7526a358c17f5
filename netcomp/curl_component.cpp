#include "netcomp/curl_component.h"

namespace kestrel::netcomp {

// Placeholder until the libcurl component lands: creation fails.
int32_t CreateCurlComponent(kestrel::platform::HttpComponent** component) {
  if (component != nullptr) *component = nullptr;
  return -1;
}

}  // namespace kestrel::netcomp
