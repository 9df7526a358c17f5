#include "programs/kestrel-host/host_output.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "host/readings.h"
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

std::string Identity(const Leaves& leaves, const char* label, const char* name) {
  const std::string& text = leaves.Get(name);
  return std::string("  ") + Column(label, 10) + (text.empty() ? "-" : text) + "\n";
}

std::string Milliseconds(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", ms);
  return text;
}

std::string SensorLabel(const InterfaceView& itf, const SensorView& sensor) {
  std::string label = itf.leaves.Get("description");
  if (label.empty()) label = sensor.leaves.Get("description");
  if (label.empty()) label = "port " + itf.leaves.Get("interface-id");
  return label;
}

std::string ValueWithUnit(const SensorView& sensor) {
  const Leaves& s = sensor.leaves;
  if (!s.Has("value")) return "-";
  if (!HasReading(s)) return "no reading";
  const std::string word =
      StateWord(s.Get("uom-text"), std::strtod(s.Get("value").c_str(), nullptr));
  if (!word.empty()) return word;
  std::string value = FormatValue(s.Get("value"), s.Get("digits"));
  const std::string& unit = s.Get("uom-text");
  if (!unit.empty() && value != "-") value += " " + unit;
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
  if (device == nullptr) return out + "failed: " + Windows1252ToUtf8(last_error) + "\n";
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
    return out + " last-error=\"" + MarkupEscape(Windows1252ToUtf8(last_error)) + "\"/>\n";
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
  const Leaves& d = device.leaves;
  std::string out;
  std::string title = d.Get("description");
  if (title.empty()) title = d.Get("provider");
  out += title.empty() ? std::string("device") : title;
  out += "\n";
  out += Identity(d, "provider", "provider");
  out += "  " + Column("model", 10) + d.Get("vendor") + " " + d.Get("model") + "\n";
  out += Identity(d, "serial", "serial");
  out += Identity(d, "mac", "mac-address");
  out += Identity(d, "firmware", "firmware");
  out += Identity(d, "ip", "ip-address");
  out += Identity(d, "status", "status-text");
  out += "\n  " + Column("PORT", kLabelColumn) + Column("TYPE", kTypeColumn) + "VALUE\n";
  std::size_t rows = 0;
  for (const InterfaceView& itf : device.interfaces) {
    for (const SensorView& sensor : itf.sensors) {
      const Leaves& s = sensor.leaves;
      const std::string label = SensorLabel(itf, sensor);
      std::string type = s.Get("type-text");
      if (type.empty()) type = "type " + s.Get("type-id");
      std::string value = ValueWithUnit(sensor);
      const std::string& status = s.Get("status-id");
      if (!status.empty() && status != "0") value += "  (" + s.Get("status-text") + ")";
      out += "  " + Column(label, kLabelColumn) + Column(type, kTypeColumn) + value + "\n";
      ++rows;
    }
  }
  if (rows == 0) out += "  (no sensors)\n";
  return out;
}

std::string FormatJson(int32_t result, const std::string& last_error, const DeviceView* device) {
  std::string out = "{\"result\":" + std::to_string(result) +
                    ",\"lastError\":" + JsonString(Windows1252ToUtf8(last_error));
  if (device == nullptr) return out + "}";
  static const std::pair<const char*, const char*> kDeviceText[] = {
      {"provider", "provider"},
      {"vendor", "vendor"},
      {"model", "model"},
      {"serial", "serial"},
      {"macAddress", "mac-address"},
      {"firmware", "firmware"},
      {"ipAddress", "ip-address"},
      {"description", "description"},
      {"statusText", "status-text"},
      {"protocolText", "protocol-text"}};
  const Leaves& d = device->leaves;
  out += ",\"device\":{\"status\":" + JsonNumber(d.Get("status-id")) +
         ",\"protocol\":" + JsonNumber(d.Get("protocol-id"));
  for (const auto& [key, element] : kDeviceText) {
    out += ",\"" + std::string(key) + "\":" + JsonString(d.Get(element));
  }
  out += "},\"interfaces\":[";
  bool first_interface = true;
  for (const InterfaceView& itf : device->interfaces) {
    out += first_interface ? "{" : ",{";
    first_interface = false;
    out += "\"id\":" + JsonNumber(itf.leaves.Get("interface-id")) +
           ",\"description\":" + JsonString(itf.leaves.Get("description")) + ",\"sensors\":[";
    bool first_sensor = true;
    for (const SensorView& sensor : itf.sensors) {
      const Leaves& s = sensor.leaves;
      out += first_sensor ? "{" : ",{";
      first_sensor = false;
      out += "\"id\":" + JsonNumber(s.Get("sensor-id")) +
             ",\"description\":" + JsonString(s.Get("description")) +
             ",\"type\":" + JsonNumber(s.Get("type-id")) +
             ",\"typeText\":" + JsonString(s.Get("type-text")) +
             ",\"unit\":" + JsonNumber(s.Get("uom-id")) +
             ",\"unitText\":" + JsonString(s.Get("uom-text")) +
             ",\"value\":" + (HasReading(s) ? JsonNumber(s.Get("value")) : "null") +
             ",\"digits\":" + JsonNumber(s.Get("digits")) +
             ",\"rangeMin\":" + JsonNumber(s.Get("rangemin")) +
             ",\"rangeMax\":" + JsonNumber(s.Get("rangemax")) +
             ",\"status\":" + JsonNumber(s.Get("status-id")) +
             ",\"statusText\":" + JsonString(s.Get("status-text")) + "}";
    }
    out += "]}";
  }
  return out + "]}";
}

}  // namespace kestrel::host
