// An 8-bit text as a COM string for one call into a COM-shaped interface, freed afterwards.
#pragma once

#include <cstdint>

#include "common/text_codec.h"
#include "platform/platform.h"

namespace kestrel {

class WideText {
 public:
  explicit WideText(const char* text) {
    const char* source = text != nullptr ? text : "";
    const int32_t size = kestrel::text::AnsiToWide(source, -1, nullptr, 0);
    if (size <= 1) {
      text_ = platform::AllocWideString(nullptr, 0);
      return;
    }
    text_ = platform::AllocWideString(nullptr, static_cast<std::size_t>(size) - 1);
    if (text_ != nullptr) kestrel::text::AnsiToWide(source, -1, text_, size);
  }
  ~WideText() { platform::FreeWideString(text_); }
  WideText(const WideText&) = delete;
  WideText& operator=(const WideText&) = delete;

  const platform::WChar* get() const { return text_; }

 private:
  platform::WChar* text_;
};

// Takes over a COM string handed out by a callee and frees it when leaving scope.
class OwnedWideString {
 public:
  OwnedWideString() = default;
  ~OwnedWideString() { platform::FreeWideString(text_); }
  OwnedWideString(const OwnedWideString&) = delete;
  OwnedWideString& operator=(const OwnedWideString&) = delete;

  // The slot a callee fills; whatever it held before is freed first.
  platform::WChar** Slot() {
    platform::FreeWideString(text_);
    text_ = nullptr;
    return &text_;
  }
  const platform::WChar* get() const { return text_; }

 private:
  platform::WChar* text_ = nullptr;
};

}  // namespace kestrel
