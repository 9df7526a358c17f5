// The elements of a device document and the fields of the view they fill, for the readers of
// both platforms.
#pragma once

#include <cstring>
#include <string>

#include "host/device_view.h"

namespace kestrel::host {

template <typename Record>
struct Field {
  const char* element;
  std::string Record::*member;
};

template <typename Record, std::size_t N>
std::string* FieldOf(Record& record, const Field<Record> (&fields)[N], const char* element) {
  for (const auto& field : fields) {
    if (std::strcmp(field.element, element) == 0) return &(record.*field.member);
  }
  return nullptr;
}

// The text the element fills in the device's identity; null for an element that fills none.
std::string* DeviceField(DeviceView& device, const char* element);
std::string* InterfaceField(InterfaceView& itf, const char* element);
std::string* SensorField(SensorView& sensor, const char* element);

// Once a sensor's elements are read: whether its value can be a reading and its port is empty.
void TakeReading(SensorView& sensor);

}  // namespace kestrel::host
