// The cleaning that the conversion applies to the device's JSON before reading it.
#pragma once

#include <cstddef>

#include "common/mvn_string.h"

namespace kestrel::transport {

// Trims space, TAB, CR and LF at both ends, removes every CR and LF (inside strings too) and makes
// every "[]" the literal null, as if done one after the other over the whole text. A null json
// gives the empty text.
void CleanJson(const char* json, CMvnString& text);
// Where the byte at offset in the cleaned text came from in json (a "null" made of "[]": the
// "["); the end of the trimmed text for an offset past the cleaned one.
std::size_t SourceOffset(const char* json, std::size_t offset);

}  // namespace kestrel::transport
