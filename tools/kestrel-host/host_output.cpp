#include "tools/kestrel-host/host_output.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <utility>

namespace kestrel::host {

namespace {

constexpr std::size_t kLabelColumn = 30;
constexpr std::size_t kTypeColumn = 22;

// Code points of 0x80..0x9F in Windows-1252 (0 where the code page has no character).
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void AppendUtf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

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

using Key = std::pair<std::string, std::string>;

}  // namespace

std::string Windows1252ToUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto b = static_cast<unsigned char>(ch);
    uint32_t c = b;
    if (b >= 0x80 && b <= 0x9F) c = kCp1252High[b - 0x80] != 0 ? kCp1252High[b - 0x80] : 0xFFFD;
    AppendUtf8(out, c);
  }
  return out;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char ch : text) {
    const auto b = static_cast<unsigned char>(ch);
    switch (ch) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (b < 0x20 || b == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", b);
          out += escaped;
        } else {
          out += ch;
        }
    }
  }
  return out + "\"";
}

std::string JsonNumber(const std::string& text) {
  // The JSON number grammar: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
  std::size_t i = 0;
  const std::size_t n = text.size();
  auto digits = [&]() {
    const std::size_t start = i;
    while (i < n && text[i] >= '0' && text[i] <= '9') ++i;
    return i - start;
  };
  if (i < n && text[i] == '-') ++i;
  if (i < n && text[i] == '0') {
    ++i;
  } else if (digits() == 0) {
    return "null";
  }
  if (i < n && text[i] == '.') {
    ++i;
    if (digits() == 0) return "null";
  }
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    if (digits() == 0) return "null";
  }
  return i == n ? text : "null";
}

std::string FormatValue(const std::string& value, const std::string& digits) {
  if (JsonNumber(value) == "null") return "-";
  const int places = std::clamp(std::atoi(digits.c_str()), 0, 6);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", places, std::strtod(value.c_str(), nullptr));
  return buffer;
}

void MergeDataForm(const DeviceView& data, DeviceView& config) {
  std::map<Key, const SensorView*> readings;
  for (const InterfaceView& itf : data.interfaces) {
    for (const SensorView& sensor : itf.sensors) {
      readings[{itf.leaves.Get("interface-id"), sensor.leaves.Get("sensor-id")}] = &sensor;
    }
  }
  for (const char* name : {"status-id", "status-text"}) {
    if (data.leaves.Has(name)) config.leaves.Set(name, data.leaves.Get(name));
  }
  for (InterfaceView& itf : config.interfaces) {
    for (SensorView& sensor : itf.sensors) {
      const auto found =
          readings.find({itf.leaves.Get("interface-id"), sensor.leaves.Get("sensor-id")});
      if (found == readings.end()) continue;
      for (const char* name : {"status-id", "status-text", "value"}) {
        sensor.leaves.Set(name, found->second->leaves.Get(name));
      }
    }
  }
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
      std::string label = itf.leaves.Get("description");
      if (label.empty()) label = s.Get("description");
      if (label.empty()) label = "port " + itf.leaves.Get("interface-id");
      std::string type = s.Get("type-text");
      if (type.empty()) type = "type " + s.Get("type-id");
      std::string value = FormatValue(s.Get("value"), s.Get("digits"));
      const std::string& unit = s.Get("uom-text");
      if (!unit.empty() && value != "-") value += " " + unit;
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
             ",\"value\":" + JsonNumber(s.Get("value")) +
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
