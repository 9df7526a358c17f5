#include "platform/platform.h"

namespace kestrel::platform {

// Placeholder until the libxml2 DOM lands: creation fails.
int32_t CreateXmlDomDocument(XmlDomDocument** document) {
  if (document != nullptr) *document = nullptr;
  return -1;
}

}  // namespace kestrel::platform
