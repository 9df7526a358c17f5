#include "programs/kestrel-exporter/discovery.h"

#include <cstdio>
#include <utility>

namespace kestrel::exporter {

namespace {

// The length of the well-formed UTF-8 sequence at text[i], 0 when there is none: no overlong
// form, no surrogate, nothing above U+10FFFF, no cut sequence.
std::size_t Utf8SequenceLength(const std::string& text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;  // the range of the byte after the lead; the rest are 80..BF
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + length > text.size() || byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return length;
}

// A JSON string of UTF-8 text. Label values come from a YAML file that may hold any bytes; a
// byte that starts no character becomes U+FFFD so the answer stays the UTF-8 it says it is.
void AppendJsonString(const std::string& text, std::string& out) {
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      const std::size_t length = Utf8SequenceLength(text, i);
      if (length == 0) {
        out += "\xEF\xBF\xBD";
        ++i;
      } else {
        out.append(text, i, length);
        i += length;
      }
      continue;
    }
    ++i;
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

void AppendLabel(const std::string& name, const std::string& value, std::string& out) {
  AppendJsonString(name, out);
  out += ": ";
  AppendJsonString(value, out);
}

}  // namespace

web::Response DiscoveryTargets(const Config& config) {
  std::string body = "[";
  const char* separator = "\n  ";
  for (const DeviceConfig& device : config.devices) {
    if (device.unlisted) continue;
    body += separator;
    separator = ",\n  ";
    body += "{\"targets\": [";
    AppendJsonString(device.name, body);
    body += "], \"labels\": {";
    AppendLabel("__meta_roomalert_device_name", device.name, body);
    body += ", ";
    AppendLabel("__meta_roomalert_device_host", device.host, body);
    for (const auto& [name, value] : device.labels) {
      body += ", ";
      AppendLabel(name, value, body);
    }
    body += "}}";
  }
  body += body.size() > 1 ? "\n]\n" : "]\n";
  web::Response response;
  response.content_type = "application/json; charset=utf-8";
  response.body = std::move(body);
  return response;
}

}  // namespace kestrel::exporter
