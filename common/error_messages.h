// Result codes of the common library and their fixed English messages, and every other text a
// load can leave as the provider's last error: one table, which the module writes from and hosts
// read failures by.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/mvn_string.h"

// Assigns the message of code (or "Generic Error" for a code without a row) to out; answers out.
CMvnString& GetErrorMessage(int32_t code, CMvnString& out);
// The same message, for a caller that only reads it.
const char* ErrorMessageText(int32_t code);

// The code of the first row whose message is message; false when no row has it (the fallback
// text included).
bool ErrorCodeOfMessage(const char* message, int32_t& code);
// The table's rows, for whoever must know every message (hosts' classification tests).
std::size_t ErrorRowCount();
int32_t ErrorRowCode(std::size_t row);

// The texts of a load's steps. Two are formats: a failed retrieval carries the retrieval's
// detail (%s: a result code's message, an HTTP status text or the unusable-body text), an HTTP
// status text its status (%ld).
enum class LoadText : uint8_t {
  kGeneric,
  kSucceeded,
  kHostNotSet,
  kComponentMissing,
  kRetrievalFailed,
  kHttpStatus,
  kBodyUnusable,
  kConversionFailed,
  kXmlUnusable,
  kSaveFailed,
};
constexpr LoadText kLoadTexts[] = {
    LoadText::kGeneric,          LoadText::kSucceeded,        LoadText::kHostNotSet,
    LoadText::kComponentMissing, LoadText::kRetrievalFailed,  LoadText::kHttpStatus,
    LoadText::kBodyUnusable,     LoadText::kConversionFailed, LoadText::kXmlUnusable,
    LoadText::kSaveFailed,
};
const char* LoadTextOf(LoadText text);

// A last error text taken apart the way the module puts it together.
struct LoadErrorParts {
  LoadText text = LoadText::kGeneric;
  // Inside a failed retrieval: what its detail is.
  enum class Detail : uint8_t { kNone, kEmpty, kCode, kUnknownCode, kHttpStatus, kBodyUnusable };
  Detail detail = Detail::kNone;
  int32_t code = 0;  // the result code (kCode) or the HTTP status (kHttpStatus)
};

// false when text is none of the module's texts.
bool SplitLoadError(const char* text, LoadErrorParts& parts);
