#include <atomic>

#include "netcomp/curl_component.h"
#include "platform/platform.h"

namespace kestrel::platform {

namespace {
std::atomic<HttpComponentFactory> g_factory{nullptr};
}  // namespace

int32_t CreateHttpComponent(HttpComponent** component) {
  if (component == nullptr) return -1;
  *component = nullptr;
  const HttpComponentFactory factory = g_factory.load();
  return factory != nullptr ? factory(component) : netcomp::CreateCurlComponent(component);
}

void SetHttpComponentFactoryForTesting(HttpComponentFactory factory) {
  g_factory.store(factory);
}

}  // namespace kestrel::platform
