#include "programs/kestrel-host/host_output.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "host/value_format.h"

namespace kestrel::host {

namespace {

constexpr std::size_t kLabelColumn = 30;
constexpr std::size_t kTypeColumn = 22;

// Cuts or pads text (UTF-8) to width characters, always leaving one blank after it.
std::string Column(const std::string& text, std::size_t width) {
  std::string out;
  std::size_t chars = 0;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t len = 1;
    const auto b = static_cast<unsigned char>(text[i]);
    if (b >= 0xF0) {
      len = 4;
    } else if (b >= 0xE0) {
      len = 3;
    } else if (b >= 0xC0) {
      len = 2;
    }
    if (chars + 2 == width && i + len < text.size()) {
      out += "~";
      ++chars;
      break;
    }
    out.append(text, i, len);
    ++chars;
    i += len;
  }
  out.append(width > chars ? width - chars : 0, ' ');
  return out;
}

std::string Identity(const char* label, const std::string& text) {
  return std::string("  ") + Column(label, 10) + (text.empty() ? "-" : text) + "\n";
}

std::string Milliseconds(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", ms);
  return text;
}

std::string SensorLabel(const InterfaceView& itf, const SensorView& sensor) {
  const std::string& label = PortLabel(itf, sensor);
  return label.empty() ? "port " + itf.interface_id : label;
}

std::string ValueWithUnit(const SensorView& s) {
  if (s.empty_port) return "empty port";
  if (!s.has_reading) return "no reading";
  const std::string word = StateWord(s.uom_text, std::strtod(s.value.c_str(), nullptr));
  if (!word.empty()) return word;
  std::string value = FormatValue(s.value, s.digits);
  if (!s.uom_text.empty() && value != "-") value += " " + s.uom_text;
  return value;
}

}  // namespace

std::string StampJson(const std::string& json_object, const LoadStamp& stamp) {
  return "{\"time\":" + JsonString(stamp.time) + ",\"host\":" + JsonString(stamp.host) +
         ",\"durationMs\":" + Milliseconds(stamp.duration_ms) + "," + json_object.substr(1);
}

std::string FormatPollLine(const LoadStamp& stamp, const DeviceView* device,
                           const std::string& last_error) {
  std::string out = stamp.clock + "  " + Milliseconds(stamp.duration_ms) + " ms  ";
  if (device == nullptr) return out + "failed: " + last_error + "\n";
  bool first_port = true;
  for (const InterfaceView& itf : device->interfaces) {
    if (itf.sensors.empty()) continue;
    out += first_port ? "" : "; ";
    first_port = false;
    out += SensorLabel(itf, itf.sensors.front());
    bool first_value = true;
    for (const SensorView& sensor : itf.sensors) {
      out += first_value ? " " : ", ";
      first_value = false;
      out += ValueWithUnit(sensor);
    }
  }
  return out + (first_port ? "(no sensors)\n" : "\n");
}

std::string XmlPollHead() {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<poll>\n";
}

std::string XmlPollLoad(const LoadStamp& stamp, int32_t result, const std::string& last_error,
                        const std::string& document) {
  std::string out = "<load time=\"" + stamp.time + "\" host=\"" + MarkupEscape(stamp.host) +
                    "\" duration-ms=\"" + Milliseconds(stamp.duration_ms) + "\" result=\"" +
                    std::to_string(result) + "\"";
  if (result != 0) {
    return out + " last-error=\"" + MarkupEscape(last_error) + "\"/>\n";
  }
  // The document's own declaration cannot stand inside another element.
  std::size_t body = 0;
  if (document.compare(0, 5, "<?xml") == 0) {
    body = document.find("?>");
    body = body == std::string::npos ? 0 : document.find_first_not_of("\r\n", body + 2);
    if (body == std::string::npos) body = document.size();
  }
  out += ">\n" + document.substr(body);
  if (!out.empty() && out.back() != '\n') out += "\n";
  return out + "</load>\n";
}

std::string XmlPollTail() {
  return "</poll>\n";
}

std::string FormatTable(const DeviceView& device) {
  const DeviceView& d = device;
  std::string out;
  std::string title = d.description;
  if (title.empty()) title = d.provider;
  out += title.empty() ? std::string("device") : title;
  out += "\n";
  out += Identity("provider", d.provider);
  out += "  " + Column("model", 10) + d.vendor + " " + d.model + "\n";
  out += Identity("serial", d.serial);
  out += Identity("mac", d.mac_address);
  out += Identity("firmware", d.firmware);
  out += Identity("ip", d.ip_address);
  out += Identity("status", d.status_text);
  out += "\n  " + Column("PORT", kLabelColumn) + Column("TYPE", kTypeColumn) + "VALUE\n";
  std::size_t rows = 0;
  for (const InterfaceView& itf : device.interfaces) {
    for (const SensorView& s : itf.sensors) {
      const std::string label = SensorLabel(itf, s);
      std::string type = s.type_text;
      if (type.empty()) type = "type " + s.type_id;
      std::string value = ValueWithUnit(s);
      if (!s.status_id.empty() && s.status_id != "0") value += "  (" + s.status_text + ")";
      out += "  " + Column(label, kLabelColumn) + Column(type, kTypeColumn) + value + "\n";
      ++rows;
    }
  }
  if (rows == 0) out += "  (no sensors)\n";
  return out;
}

std::string FormatJson(int32_t result, const std::string& last_error, const DeviceView* device) {
  std::string out =
      "{\"result\":" + std::to_string(result) + ",\"lastError\":" + JsonString(last_error);
  if (device == nullptr) return out + "}";
  static const std::pair<const char*, std::string DeviceView::*> kDeviceText[] = {
      {"provider", &DeviceView::provider},
      {"vendor", &DeviceView::vendor},
      {"model", &DeviceView::model},
      {"serial", &DeviceView::serial},
      {"macAddress", &DeviceView::mac_address},
      {"firmware", &DeviceView::firmware},
      {"ipAddress", &DeviceView::ip_address},
      {"description", &DeviceView::description},
      {"statusText", &DeviceView::status_text},
      {"protocolText", &DeviceView::protocol_text}};
  out += ",\"device\":{\"status\":" + JsonNumber(device->status_id) +
         ",\"protocol\":" + JsonNumber(device->protocol_id);
  for (const auto& [key, member] : kDeviceText) {
    out += ",\"" + std::string(key) + "\":" + JsonString(device->*member);
  }
  out += "},\"interfaces\":[";
  bool first_interface = true;
  for (const InterfaceView& itf : device->interfaces) {
    out += first_interface ? "{" : ",{";
    first_interface = false;
    out += "\"id\":" + JsonNumber(itf.interface_id) +
           ",\"description\":" + JsonString(itf.description) + ",\"sensors\":[";
    bool first_sensor = true;
    for (const SensorView& s : itf.sensors) {
      out += first_sensor ? "{" : ",{";
      first_sensor = false;
      out += "\"id\":" + JsonNumber(s.sensor_id) + ",\"description\":" + JsonString(s.description) +
             ",\"type\":" + JsonNumber(s.type_id) + ",\"typeText\":" + JsonString(s.type_text) +
             ",\"unit\":" + JsonNumber(s.uom_id) + ",\"unitText\":" + JsonString(s.uom_text) +
             ",\"value\":" + (s.has_reading ? JsonNumber(s.value) : "null") +
             ",\"digits\":" + JsonNumber(s.digits) + ",\"rangeMin\":" + JsonNumber(s.rangemin) +
             ",\"rangeMax\":" + JsonNumber(s.rangemax) + ",\"status\":" + JsonNumber(s.status_id) +
             ",\"statusText\":" + JsonString(s.status_text) + "}";
    }
    out += "]}";
  }
  return out + "]}";
}

}  // namespace kestrel::host
