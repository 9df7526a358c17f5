#include "app/listen_address.h"

#include <charconv>
#include <system_error>

namespace kestrel::app {

bool ParseListenAddress(const std::string& text, std::string& address, int& port) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  int number = -1;
  const char* first = text.data() + colon + 1;
  const char* last = text.data() + text.size();
  const auto [end, ec] = std::from_chars(first, last, number);
  if (first == last || ec != std::errc() || end != last) number = -1;
  if (number < 0 || number > 65535 || host.find_first_of(" \t[]") != std::string::npos) {
    return false;
  }
  address = host;
  port = number;
  return true;
}

}  // namespace kestrel::app
