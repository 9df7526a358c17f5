#include <atomic>

#include "netcomp/component_factory.h"
#include "netcomp/curl_component.h"

namespace kestrel::netcomp {

namespace {
std::atomic<HttpComponentFactory> g_factory{nullptr};
}  // namespace

int32_t CreateHttpComponent(platform::HttpComponent** component) {
  if (component == nullptr) return -1;
  *component = nullptr;
  const HttpComponentFactory factory = g_factory.load();
  return factory != nullptr ? factory(component) : CreateCurlComponent(component);
}

void SetHttpComponentFactoryForTesting(HttpComponentFactory factory) {
  g_factory.store(factory);
}

}  // namespace kestrel::netcomp
