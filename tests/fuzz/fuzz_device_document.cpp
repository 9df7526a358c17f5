// Any bytes as a device document read back by a host: the reader must neither crash nor leak, a
// document it refuses says why, and one it takes reads the same a second time.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "host/device_view.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  kestrel::host::DeviceView device;
  std::string error;
  if (!kestrel::host::ParseDeviceDocument(text, device, error)) {
    if (error.empty() || !device.interfaces.empty()) std::abort();
    return 0;
  }
  kestrel::host::DeviceView again;
  if (!kestrel::host::ParseDeviceDocument(text, again, error) ||
      again.interfaces.size() != device.interfaces.size() || again.serial != device.serial) {
    std::abort();
  }
  return 0;
}
