#include "host/device_view.h"

#include <charconv>
#include <cstdint>

#include "device/sensor_table.h"
#include "host/value_format.h"
#include "host/view_fields.h"

namespace kestrel::host {

namespace {

constexpr Field<DeviceView> kDeviceFields[] = {
    {"status-id", &DeviceView::status_id},
    {"status-text", &DeviceView::status_text},
    {"protocol-id", &DeviceView::protocol_id},
    {"protocol-text", &DeviceView::protocol_text},
    {"provider", &DeviceView::provider},
    {"vendor", &DeviceView::vendor},
    {"model", &DeviceView::model},
    {"serial", &DeviceView::serial},
    {"mac-address", &DeviceView::mac_address},
    {"firmware", &DeviceView::firmware},
    {"ip-address", &DeviceView::ip_address},
    {"tracefile", &DeviceView::tracefile},
    {"description", &DeviceView::description},
};

constexpr Field<InterfaceView> kInterfaceFields[] = {
    {"interface-id", &InterfaceView::interface_id},
    {"description", &InterfaceView::description},
};

// In the order the module writes them, the most frequent first.
constexpr Field<SensorView> kSensorFields[] = {
    {"sensor-id", &SensorView::sensor_id},     {"status-id", &SensorView::status_id},
    {"status-text", &SensorView::status_text}, {"description", &SensorView::description},
    {"type-id", &SensorView::type_id},         {"type-text", &SensorView::type_text},
    {"uom-id", &SensorView::uom_id},           {"uom-text", &SensorView::uom_text},
    {"digits", &SensorView::digits},           {"rangemin", &SensorView::rangemin},
    {"rangemax", &SensorView::rangemax},       {"value", &SensorView::value},
};

}  // namespace

std::string* DeviceField(DeviceView& device, const char* element) {
  return FieldOf(device, kDeviceFields, element);
}

std::string* InterfaceField(InterfaceView& itf, const char* element) {
  return FieldOf(itf, kInterfaceFields, element);
}

std::string* SensorField(SensorView& sensor, const char* element) {
  return FieldOf(sensor, kSensorFields, element);
}

void TakeReading(SensorView& sensor) {
  uint32_t type = 0;
  const char* first = sensor.type_id.data();
  const char* last = first + sensor.type_id.size();
  const auto [end, error] = std::from_chars(first, last, type);
  sensor.empty_port =
      first != last && error == std::errc() && end == last && device::IsEmptyPort(type);
  sensor.has_reading = !sensor.empty_port && IsJsonNumber(sensor.value);
}

}  // namespace kestrel::host
