// The device's identity and its sensor groups, read from the XML text that the device's JSON
// status was converted into.
#include "common/xml_reader.h"
#include "device/sensor_table.h"
#include "provider/avtech_app.h"

namespace kestrel::provider {
namespace {

constexpr uint32_t kProtocolHtmlJson = 8;
constexpr const char* kVendor = "AVTech";
constexpr const char* kModel = "RoomAlert";

struct IdentityMember {
  const char* name;
  CMvnString CEnvDevInfo::*field;
};

// Read in this order from every text beneath the device element, so a member the device itself
// lacks may be found in one of its sensor items instead.
constexpr IdentityMember kIdentityMembers[] = {
    {"macaddr", &CEnvDevInfo::mac_address}, {"serial", &CEnvDevInfo::serial},
    {"version", &CEnvDevInfo::firmware},    {"name", &CEnvDevInfo::description},
    {"ip", &CEnvDevInfo::ip_address},
};

// A real device's identity texts are a few dozen bytes; a longer one's memory is not kept from one
// load for the next.
constexpr std::size_t kKeptTextBytes = 256;

}  // namespace
}  // namespace kestrel::provider

int32_t CAVTechApp::ParseDeviceInformation(const char* xml) {
  using namespace kestrel::provider;  // NOLINT(google-build-using-namespace): this file's tables

  device_.Reset();
  device_.protocol_id = kProtocolHtmlJson;
  device_.provider.Assign(kProviderName);
  device_.device_type_id = kDeviceTypeId;
  device_.vendor.Assign(kVendor);
  device_.model.Assign(kModel);

  CMvnXmlDoc document(reader_memory_);
  CMvnXmlElements elements;
  // A failed set-up shows as a failed load just below.
  document.Initialize(0, "");
  if (document.LoadXml(xml) != 0) {
    Trace(TRACE_TO_FILE,
          "AVTechApp: Error parsing device configuration, failed to load XML data, parser "
          "error.\n");
    return -1;
  }

  elements.SetPath("/device");
  elements.RemoveAll();
  if (document.CollectElements(elements) != 0 || elements.GetCount() == 0) {
    Trace(TRACE_TO_FILE,
          "AVTechApp: Error parsing device configuration, the device section seems to be "
          "missing.\n");
    return -1;
  }

  auto* device_element = static_cast<CMvnXmlElement*>(elements.GetFirst());
  for (const IdentityMember& member : kIdentityMembers) {
    device_element->GetValue(member.name, device_.*member.field);
  }
  // Every text of the document sits under /device: its collection goes before the sensors' own
  // is made, or a 1 MB document would hold both at once (twice 18 MB of entries).
  elements.RemoveAll();
  for (const char* path : kestrel::device::kSensorGroupPaths) DetectSensors(&document, path);

  Trace(TRACE_TO_FILE, "AVTechApp: Finished parsing device configuration.\n");
  return 0;
}

// The host reads the documents, never the record, and the next parse fills the record anew:
// between loads it holds nothing of the last one (4,500 interfaces after a 1 MB document).
void CAVTechApp::ReleaseLoadResult() noexcept {
  using kestrel::provider::IdentityMember;
  device_.Interfaces().RemoveAll();
  for (const IdentityMember& member : kestrel::provider::kIdentityMembers) {
    CMvnString& text = device_.*member.field;
    if (text.Length() > kestrel::provider::kKeptTextBytes) text = CMvnString();
  }
}
