// The device document: the record written for the host, in its configuration form (full) or its
// data form (identifiers, status and values only).
#include <charconv>

#include "common/error_messages.h"
#include "common/mvn_list.h"
#include "common/xml_writer.h"
#include "device/code_tables.h"
#include "device/device_records.h"

namespace {

// Hosts parse these numbers with "." as the decimal point, whatever the locale of the process
// that loaded us, so they are formatted without printf.
void WriteFixed(CMvnXmlFile& writer, const char* name, double number) {
  // Room for the 309 integer digits of the largest double, the sign and three decimals.
  char text[330];
  const auto converted =
      std::to_chars(text, text + sizeof text - 1, number, std::chars_format::fixed, 3);
  *converted.ptr = '\0';
  writer.WriteElement(name, text);
}

void WriteUnsigned(CMvnXmlFile& writer, const char* name, uint32_t number) {
  char text[16];
  const auto converted = std::to_chars(text, text + sizeof text - 1, number);
  *converted.ptr = '\0';
  writer.WriteElement(name, text);
}

void WriteStatus(CMvnXmlFile& writer, uint32_t status, bool as_integer) {
  if (as_integer) {
    writer.WriteElement("status-id", static_cast<int32_t>(status));
  } else {
    WriteUnsigned(writer, "status-id", status);
  }
  writer.WriteElement("status-text", ErrorMessageText(static_cast<int32_t>(status)));
}

}  // namespace

int32_t CEnvDevInterfaceSensor::WriteXml(CMvnXmlFile* writer, bool full) const {
  if (writer == nullptr) return -1;
  writer->OpenElement("sensor");
  writer->WriteElement("sensor-id", static_cast<int32_t>(sensor_id));
  WriteStatus(*writer, status, true);
  if (full) {
    writer->WriteElement("description", description.Text());
    writer->WriteElement("type-id", static_cast<int32_t>(type_id));
    writer->WriteElement("type-text", SensorTypeDescription(type_id));
    writer->WriteElement("uom-id", static_cast<int32_t>(uom_id));
    writer->WriteElement("uom-text", UnitDescription(static_cast<int32_t>(uom_id)));
    writer->WriteElement("digits", static_cast<int32_t>(digits));
    // A range of exactly 0 to 0 means "no range known" and is written empty.
    if (rangemin == 0.0 && rangemax == 0.0) {
      writer->WriteElement("rangemin", "");
      writer->WriteElement("rangemax", "");
    } else {
      WriteFixed(*writer, "rangemin", rangemin);
      WriteFixed(*writer, "rangemax", rangemax);
    }
  }
  WriteFixed(*writer, "value", value);
  writer->CloseElement("sensor");
  return 0;
}

int32_t CEnvDevInterface::WriteXml(CMvnXmlFile* writer, bool full) const {
  if (writer == nullptr) return -1;
  writer->OpenElement("interface");
  WriteUnsigned(*writer, "interface-id", interface_id);
  if (full) writer->WriteElement("description", description.Text());
  for (const CMvnListNode* node = sensors_.Head(); node != nullptr; node = node->next) {
    if (node->item == nullptr) continue;
    static_cast<const CEnvDevInterfaceSensor*>(node->item)->WriteXml(writer, full);
  }
  writer->CloseElement("interface");
  return 0;
}

int32_t CEnvDevInfo::SaveXml(const char* file_name, bool full) {
  // On the stack, stream buffer included: a document is written twice per load.
  CMvnXmlFile file("CEnvDevInfo");
  CMvnXmlFile* writer = &file;
  if (!writer->Open(file_name)) return -1;
  // A device without interfaces is still written whole, but reported as a failure: the host
  // has nothing to monitor.
  int32_t result = -1;
  writer->WriteHeader();
  writer->OpenElement("device");
  WriteStatus(*writer, status, false);
  if (full) {
    CMvnString text;
    WriteUnsigned(*writer, "protocol-id", protocol_id);
    writer->WriteElement("protocol-text", ProtocolText(protocol_id, text).Text());
    writer->WriteElement("provider", provider.Text());
    writer->WriteElement("vendor", vendor.Text());
    writer->WriteElement("model", model.Text());
    writer->WriteElement("serial", serial.Text());
    writer->WriteElement("mac-address", mac_address.Text());
    writer->WriteElement("firmware", firmware.Text());
    writer->WriteElement("ip-address", ip_address.Text());
    writer->WriteElement("tracefile", tracefile.Text());
    writer->WriteElement("description", description.Text());
  }
  writer->OpenElement("sensors");
  for (const CMvnListNode* node = interfaces_.Head(); node != nullptr; node = node->next) {
    if (node->item == nullptr) continue;
    result = static_cast<const CEnvDevInterface*>(node->item)->WriteXml(writer, full);
  }
  writer->CloseElement("sensors");
  writer->CloseElement("device");
  writer->Close();
  return result;
}
