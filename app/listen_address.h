// Where a server listens, as operators write it on a command line or in a configuration.
#pragma once

#include <string>

namespace kestrel::app {

// "ADDRESS:PORT", "[V6]:PORT" or ":PORT" (every interface) into its parts, the port 0..65535
// (0: any free one); false, leaving both alone, when text is none of these.
bool ParseListenAddress(const std::string& text, std::string& address, int& port);

}  // namespace kestrel::app
