// Where the provider gets its network component: our libcurl component on Linux, the registered
// COM class on Windows, or a test's fake.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace kestrel::netcomp {

// Creates the component; answers >= 0 and a non-null *component on success.
int32_t CreateHttpComponent(platform::HttpComponent** component);

using HttpComponentFactory = int32_t (*)(platform::HttpComponent** component);
// Tests install a fake component factory; null restores the real one.
void SetHttpComponentFactoryForTesting(HttpComponentFactory factory);

}  // namespace kestrel::netcomp
