#include "programs/kestrel-exporter/load_error.h"

#include <cctype>

#include "programs/kestrel-exporter/metrics.h"

namespace kestrel::exporter {

namespace {

// Long enough for the longest of the module's texts, so only a text of the exporter's own that
// carries a long path is ever cut.
constexpr std::size_t kLongestText = 320;

bool IsWordByte(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ||
         static_cast<unsigned char>(c) >= 0x80;
}

bool IsDigit(char c) {
  return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

const char* LoadErrorClass(const LoadResult& load) {
  if (!load.finished) return host::FailureClassName(host::FailureClass::kTimeout);
  return host::FailureClassName(load.failure_class);
}

std::string StableErrorText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    // A number that stands as a word of its own, a sign allowed; digits inside a word ("UTF-8")
    // are its name.
    const bool signed_number = i >= 1 && text[i - 1] == '-' && (i < 2 || !IsWordByte(text[i - 2]));
    if (!IsDigit(text[i]) || (i > 0 && IsWordByte(text[i - 1]) && !signed_number)) {
      out += text[i++];
      continue;
    }
    std::size_t end = i;
    while (end < text.size() &&
           (IsDigit(text[end]) || ((text[end] == '.' || text[end] == ',') &&
                                   end + 1 < text.size() && IsDigit(text[end + 1])))) {
      ++end;
    }
    const bool code = i > 0 && text[i - 1] == '[' && end < text.size() && text[end] == ']';
    out += code ? text.substr(i, end - i) : "N";
    i = end;
  }
  if (out.size() <= kLongestText) return out;
  std::size_t cut = kLongestText - 3;
  // Never in the middle of a UTF-8 sequence: back up to the byte that starts a character.
  while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
  return out.substr(0, cut) + "...";
}

}  // namespace kestrel::exporter
