// Host texts and URLs as the trace shows them.
#pragma once

#include <string>

namespace kestrel {

// text with the password of a "user:password@host" authority shown as "********"; every other
// byte stays as it was. Operators paste whole URLs into the host setting, credentials included,
// and the trace file is read by far more people than the device's password is meant for.
std::string MaskPassword(const char* text);

}  // namespace kestrel
