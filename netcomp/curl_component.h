// The network component on Linux: the maker's HTTP component's operations over libcurl.
#pragma once

#include "platform/platform.h"

namespace kestrel::netcomp {

// Creates a component; answers 0 and a non-null *component, or a negative value.
int32_t CreateCurlComponent(kestrel::platform::HttpComponent** component);

}  // namespace kestrel::netcomp
