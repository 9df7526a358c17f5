// Any bytes as the intermediate XML text: the reader's walk and the device parsing must neither
// crash nor leak, whatever the document holds.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/xml_reader.h"
#include "provider/avtech_app.h"
#include "tests/support/avtech_app_access.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The text reaches the reader NUL-terminated; bytes after a NUL are never seen.
  const std::string text(reinterpret_cast<const char*>(data), size);

  CMvnXmlDoc document;
  if (document.Initialize(0, "") == 0 && document.LoadXml(text.c_str()) == 0) {
    static const char* const kPaths[] = {"/device", "/device/sensor/item", "", "/", "/a"};
    CMvnXmlElements elements;
    CMvnString value;
    for (const char* path : kPaths) {
      elements.SetPath(path);
      elements.RemoveAll();
      if (document.CollectElements(elements) != 0) continue;
      for (CMvnBase* item = elements.GetFirst(); item != nullptr; item = elements.GetNext()) {
        static_cast<CMvnXmlElement*>(item)->GetValue("t", value);
      }
    }
  }

  CAVTechApp app;
  AVTechAppTestAccess::ParseDeviceInformation(app, text.c_str());
  return 0;
}
