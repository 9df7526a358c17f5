// Any bytes as the intermediate XML text: the reader's walk and the device parsing must neither
// crash nor leak, whatever the document holds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/xml_reader.h"
#include "provider/avtech_app.h"
#include "tests/support/avtech_app_access.h"

namespace {

// Every collection of a few paths, written out whole.
std::string CollectAll(const std::string& text, bool fast) {
  CMvnXmlDoc::UseFastReading(fast);
  std::string out;
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
        auto* element = static_cast<CMvnXmlElement*>(item);
        element->GetValue("t", value);
        out.append(element->Path().Text()).append("{");
        CMvnXmlAttributes& attributes = element->Attributes();
        for (CMvnBase* a = attributes.GetFirst(); a != nullptr; a = attributes.GetNext()) {
          auto* attribute = static_cast<CMvnXmlAttribute*>(a);
          out.append(attribute->name.Text()).append("=").append(attribute->value.Text());
          out.append(";");
        }
        out.append("}[");
        for (CMvnBase* t = element->GetFirst(); t != nullptr; t = element->GetNext()) {
          auto* entry = static_cast<CMvnXmlTextElement*>(t);
          out.append(entry->name.Text()).append("=").append(entry->value.Text()).append(";");
        }
        out.append("]\n");
      }
    }
  }
  CMvnXmlDoc::UseFastReading(true);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The text reaches the reader NUL-terminated; bytes after a NUL are never seen.
  const std::string text(reinterpret_cast<const char*>(data), size);

  // Walks that start at their first match must give what walks from the first node give.
  if (CollectAll(text, true) != CollectAll(text, false)) std::abort();

  CAVTechApp app;
  AVTechAppTestAccess::ParseDeviceInformation(app, text.c_str());
  return 0;
}
