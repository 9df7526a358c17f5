// The provider hands texts out through caller-owned buffers; hosts want them as strings.
#pragma once

#include <cstdint>
#include <string>

#include "provider/env_provider.h"

namespace kestrel::host {

// The buffer is one larger than the module is told, so a text cut at the limit still ends.
inline std::string ReadProviderText(IEnvProvider* provider,
                                    char* (IEnvProvider::*getter)(char*, uint32_t)) {
  char buffer[1024] = {0};
  (provider->*getter)(buffer, sizeof buffer - 1);
  return buffer;
}

}  // namespace kestrel::host
