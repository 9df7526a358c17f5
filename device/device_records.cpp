#include "device/device_records.h"

#include <memory>

#include "device/code_tables.h"

namespace {

constexpr uint32_t kNoDeviceType = 0xFFFFFFFF;
constexpr int32_t kOwnsItems = 1;

}  // namespace

// ---------------------------------------------------------------- sensor

CEnvDevInterfaceSensor::CEnvDevInterfaceSensor(const char* class_name) : CMvnBase(class_name) {
  Reset();
}

void CEnvDevInterfaceSensor::Reset() {
  description.Assign("");
  sensor_id = 0;
  status = 0;
  type_id = 0;
  uom_id = 0;
  digits = 1;
  rangemin = -9999.99;
  rangemax = 9999.99;
  band_low = -9999.99;
  band_high = 9999.99;
  value = 0.0;
}

CMvnBase* CEnvDevInterfaceSensor::Clone() const {
  auto copy = std::make_unique<CEnvDevInterfaceSensor>(ClassName());
  copy->description.Assign(description);
  copy->sensor_id = sensor_id;
  copy->status = status;
  copy->type_id = type_id;
  copy->uom_id = uom_id;
  copy->digits = digits;
  copy->rangemin = rangemin;
  copy->rangemax = rangemax;
  copy->band_low = band_low;
  copy->band_high = band_high;
  copy->value = value;
  return copy.release();
}

// ---------------------------------------------------------------- interface

CEnvDevInterface::CEnvDevInterface(const char* class_name)
    : CMvnBase(class_name), interface_id(0), sensors_(kOwnsItems) {}

CEnvDevInterface::~CEnvDevInterface() {
  ClearSensors();
}

void CEnvDevInterface::ClearSensors() {
  sensors_.RemoveAll();
  description.Assign("");
}

void CEnvDevInterface::AddSensor(CEnvDevInterfaceSensor* sensor) {
  sensor->sensor_id = static_cast<uint16_t>(sensors_.GetCount());
  ApplySensorTypeDefaults(sensor->type_id, static_cast<int32_t>(sensor->uom_id), sensor->digits,
                          sensor->rangemin, sensor->rangemax, sensor->band_low, sensor->band_high);
  // Sensors never compare equal, so the list's equality scan would only make big lists quadratic.
  sensors_.Append(sensor);
}

CMvnBase* CEnvDevInterface::Clone() const {
  auto copy = std::make_unique<CEnvDevInterface>(ClassName());
  copy->interface_id = interface_id;
  copy->description.Assign(description);
  for (const CMvnListNode* node = sensors_.Head(); node != nullptr; node = node->next) {
    if (node->item == nullptr) continue;
    copy->AddSensor(static_cast<CEnvDevInterfaceSensor*>(node->item->Clone()));
  }
  return copy.release();
}

// ---------------------------------------------------------------- device

CEnvDevInfo::CEnvDevInfo(const char* class_name)
    : CMvnBase(class_name),
      device_type_id(kNoDeviceType),
      protocol_id(0),
      status(0),
      reserved_number1(0),
      reserved_number2(0),
      interfaces_(kOwnsItems) {
  Reset();
  reserved_value1 = 0;
  reserved_value2 = 0;
  reserved_value3 = 0;
}

CEnvDevInfo::~CEnvDevInfo() {
  Reset();
}

// Vendor, model, serial, MAC address, firmware and the SNMP settings survive a reset. So does the
// trace-file path: the host sets it once, before any load, and every load resets the record; if
// Reset emptied it, every document would name no trace file.
void CEnvDevInfo::Reset() {
  device_type_id = kNoDeviceType;
  protocol_id = 0;
  status = 0;
  provider.Assign("");
  ip_address.Assign("");
  reserved_text3.Assign("");
  reserved_text4.Assign("");
  reserved_number1 = 0;
  reserved_number2 = 0;
  description.Assign("");
  interfaces_.RemoveAll();
}

void CEnvDevInfo::AddInterface(CEnvDevInterface* device_interface) {
  if (device_interface == nullptr) return;
  device_interface->interface_id = static_cast<uint16_t>(interfaces_.GetCount());
  interfaces_.Append(device_interface);
}

CMvnBase* CEnvDevInfo::Clone() const {
  auto copy = std::make_unique<CEnvDevInfo>(ClassName());
  copy->device_type_id = device_type_id;
  copy->protocol_id = protocol_id;
  copy->status = status;
  copy->provider.Assign(provider);
  copy->vendor.Assign(vendor);
  copy->model.Assign(model);
  copy->serial.Assign(serial);
  copy->mac_address.Assign(mac_address);
  copy->firmware.Assign(firmware);
  copy->reserved_text1.Assign(reserved_text1);
  copy->reserved_text2.Assign(reserved_text2);
  copy->ip_address.Assign(ip_address);
  copy->reserved_text3.Assign(reserved_text3);
  copy->reserved_text4.Assign(reserved_text4);
  copy->reserved_number1 = reserved_number1;
  copy->reserved_number2 = reserved_number2;
  copy->snmp = snmp;
  copy->reserved_text5.Assign(reserved_text5);
  copy->reserved_text6.Assign(reserved_text6);
  copy->tracefile.Assign(tracefile);
  copy->description.Assign(description);
  copy->reserved_value1 = reserved_value1;
  copy->reserved_value2 = reserved_value2;
  copy->reserved_value3 = reserved_value3;
  for (const CMvnListNode* node = interfaces_.Head(); node != nullptr; node = node->next) {
    if (node->item == nullptr) continue;
    copy->AddInterface(static_cast<CEnvDevInterface*>(node->item->Clone()));
  }
  return copy.release();
}
