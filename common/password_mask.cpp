#include "common/password_mask.h"

#include <algorithm>

namespace kestrel {

std::string MaskPassword(const char* text) {
  std::string out = text != nullptr ? text : "";
  const std::size_t scheme = out.find("://");
  const std::size_t authority = scheme == std::string::npos ? 0 : scheme + 3;
  const std::size_t end = std::min(out.find_first_of("/?#", authority), out.size());
  // The last "@" ends the user information: a password may hold "@" itself, a host name never.
  const std::size_t at = out.rfind('@', end == 0 ? 0 : end - 1);
  if (at == std::string::npos || at < authority) return out;
  const std::size_t colon = out.find(':', authority);
  if (colon == std::string::npos || colon > at) return out;
  return out.replace(colon + 1, at - colon - 1, "********");
}

}  // namespace kestrel
