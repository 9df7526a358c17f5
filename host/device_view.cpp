#include "host/device_view.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "device/sensor_table.h"
#include "host/value_format.h"
#include "host/xml_scan.h"

namespace kestrel::host {

namespace {

template <typename Record>
struct Field {
  constexpr Field(const char* name, std::string Record::*field)
      : element(name), length(std::char_traits<char>::length(name)), member(field) {}
  const char* element;
  std::size_t length;
  std::string Record::*member;
};

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

constexpr Field<SensorView> kSensorFields[] = {
    {"sensor-id", &SensorView::sensor_id},     {"status-id", &SensorView::status_id},
    {"status-text", &SensorView::status_text}, {"description", &SensorView::description},
    {"type-id", &SensorView::type_id},         {"type-text", &SensorView::type_text},
    {"uom-id", &SensorView::uom_id},           {"uom-text", &SensorView::uom_text},
    {"digits", &SensorView::digits},           {"rangemin", &SensorView::rangemin},
    {"rangemax", &SensorView::rangemax},       {"value", &SensorView::value},
};

// The text the element fills in record; null for an element that fills none.
template <typename Record, std::size_t N>
std::string* FieldOf(Record& record, const Field<Record> (&fields)[N], const char* name,
                     std::size_t length) {
  for (const auto& field : fields) {
    if (field.length == length && std::memcmp(field.element, name, length) == 0) {
      return &(record.*field.member);
    }
  }
  return nullptr;
}

bool Is(const char* name, std::size_t length, const char* expected) {
  return std::strlen(expected) == length && std::memcmp(name, expected, length) == 0;
}

// Once a sensor's elements are read: whether its value can be a reading and its port is empty.
void TakeReading(SensorView& sensor) {
  uint32_t type = 0;
  const char* first = sensor.type_id.data();
  const char* last = first + sensor.type_id.size();
  const auto [end, error] = std::from_chars(first, last, type);
  sensor.empty_port =
      first != last && error == std::errc() && end == last && device::IsEmptyPort(type);
  sensor.has_reading = !sensor.empty_port && IsJsonNumber(sensor.value);
}

// The document's elements into the view: depth 0 the device, 1 its identity and <sensors>, 2 the
// interfaces, 3 their texts and sensors, 4 the sensors' texts. A leaf element fills its field; a
// field whose element repeats holds the last one's text.
class ViewFiller final : public XmlEvents {
 public:
  explicit ViewFiller(DeviceView& device) : device_(device) {}

  void Start(const char* name, std::size_t length) override {
    const int depth = depth_++;
    text_ = nullptr;
    if (depth == 0) {
      is_device_ = Is(name, length, "device");
    } else if (depth == 1) {
      in_sensors_ = Is(name, length, "sensors");
      if (is_device_) text_ = FieldOf(device_, kDeviceFields, name, length);
    } else if (depth == 2 && in_sensors_ && Is(name, length, "interface")) {
      device_.interfaces.emplace_back();
      in_interface_ = true;
    } else if (depth == 3 && in_interface_) {
      InterfaceView& itf = device_.interfaces.back();
      if (Is(name, length, "sensor")) {
        itf.sensors.emplace_back();
        in_sensor_ = true;
      } else {
        text_ = FieldOf(itf, kInterfaceFields, name, length);
      }
    } else if (depth == 4 && in_sensor_) {
      text_ = FieldOf(device_.interfaces.back().sensors.back(), kSensorFields, name, length);
    }
    if (text_ != nullptr) text_->clear();
  }

  void End() override {
    text_ = nullptr;
    const int depth = --depth_;
    if (depth == 1) in_sensors_ = false;
    if (depth == 2) in_interface_ = false;
    if (depth == 3 && in_sensor_) {
      in_sensor_ = false;
      TakeReading(device_.interfaces.back().sensors.back());
    }
  }

  void Text(const char* text, std::size_t length) override {
    if (text_ != nullptr) text_->append(text, length);
  }
  bool WantsText() const override { return text_ != nullptr; }

  bool IsDevice() const { return is_device_; }

 private:
  DeviceView& device_;
  std::string* text_ = nullptr;  // the field the open element fills; null: none
  int depth_ = 0;
  bool is_device_ = false;
  bool in_sensors_ = false;
  bool in_interface_ = false;
  bool in_sensor_ = false;
};

}  // namespace

bool ReadFileBytes(const std::string& path, std::string& bytes) {
  bytes.clear();
#if defined(_WIN32)
  const int file = ::_open(path.c_str(), _O_RDONLY | _O_BINARY);
#else
  const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
#endif
  if (file < 0) return false;
  // A host reads two files after every load, where each system call counts: a read that fills
  // less than it asked for has reached the end of a file, so a document takes one.
  char chunk[16384];
  bool ok = true;
  for (;;) {
#if defined(_WIN32)
    const int got = ::_read(file, chunk, static_cast<unsigned>(sizeof chunk));
#else
    const ssize_t got = ::read(file, chunk, sizeof chunk);
#endif
    if (got < 0 && errno == EINTR) continue;
    if (got > 0) bytes.append(chunk, static_cast<std::size_t>(got));
    ok = got >= 0;
    if (got <= 0 || static_cast<std::size_t>(got) < sizeof chunk) break;
  }
  const int saved = errno;
#if defined(_WIN32)
  ::_close(file);
#else
  ::close(file);
#endif
  errno = saved;
  return ok;
}

bool ParseDeviceDocument(const std::string& text, DeviceView& device, std::string& error) {
  device = DeviceView{};
  ViewFiller filler(device);
  if (ScanXml(text, filler, error) && filler.IsDevice()) return true;
  if (error.empty()) error = "no device document";
  device = DeviceView{};
  return false;
}

bool ReadDeviceDocument(const std::string& path, DeviceView& device, std::string& error) {
  std::string text;
  std::string why;
  if (!ReadFileBytes(path, text)) {
    device = DeviceView{};
    error = "cannot read the device document " + path + " (" + std::strerror(errno) + ")";
    return false;
  }
  if (ParseDeviceDocument(text, device, why)) return true;
  error = why == "no device document"
              ? "the document " + path + " is no device document"
              : "cannot read the device document " + path + " (" + why + ")";
  return false;
}

}  // namespace kestrel::host
