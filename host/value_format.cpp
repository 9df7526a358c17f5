#include "host/value_format.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/utf8.h"
#include "platform/windows1252.h"

namespace kestrel::host {

std::string Windows1252ToUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto b = static_cast<unsigned char>(ch);
    char32_t c = platform::windows1252::ToUnit(b);
    // People read these texts: a byte the code page leaves unassigned shows as U+FFFD rather than
    // as an invisible C1 control.
    if (c == b && b >= 0x80 && b <= 0x9F) c = 0xFFFD;
    platform::utf8::Append(c, out);
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

bool IsJsonNumber(const std::string& text) {
  // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
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
    return false;
  }
  if (i < n && text[i] == '.') {
    ++i;
    if (digits() == 0) return false;
  }
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    if (digits() == 0) return false;
  }
  return i == n;
}

std::string JsonNumber(const std::string& text) {
  return IsJsonNumber(text) ? text : "null";
}

std::string FormatValue(const std::string& value, const std::string& digits) {
  if (!IsJsonNumber(value)) return "-";
  const int places = std::clamp(std::atoi(digits.c_str()), 0, 6);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", places, std::strtod(value.c_str(), nullptr));
  return buffer;
}

std::string MarkupEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string Rfc3339Utc(std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() % 1000;
  std::tm utc{};
#if defined(_WIN32)
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  char out[48];
  std::snprintf(out, sizeof out, "%s.%03dZ", text, static_cast<int>(millis < 0 ? 0 : millis));
  return out;
}

std::string StateWord(const std::string& unit, double value) {
  if (unit == "open/closed") return value != 0 ? "open" : "closed";
  if (unit == "active/inactive") return value != 0 ? "active" : "inactive";
  return "";
}

}  // namespace kestrel::host
