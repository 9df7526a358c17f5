// Result codes of the common library and their fixed English messages.
#pragma once

#include <cstdint>

#include "common/mvn_string.h"

// Assigns the message of code (or "Generic Error" for a code without a row) to out; answers out.
CMvnString& GetErrorMessage(int32_t code, CMvnString& out);
// The same message, for a caller that only reads it.
const char* ErrorMessageText(int32_t code);
