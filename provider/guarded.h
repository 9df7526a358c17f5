// The host calls the table and the exports as C functions: an exception that reached it would end
// its process. Each of them runs its body through Guarded, which turns any exception (the
// allocator's out-of-memory, a COM error raised by the XML DOM) into the operation's failure
// answer.
#pragma once

namespace kestrel::provider {

template <typename Result, typename Body>
Result Guarded(Result failure, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return failure;
  }
}

// As above; recover puts the object's visible state in line with the failure answer, and an
// exception it throws in turn is dropped as well.
template <typename Result, typename Body, typename Recover>
Result Guarded(Result failure, Body&& body, Recover&& recover) noexcept {
  try {
    return body();
  } catch (...) {
    Guarded(0, [&] {
      recover();
      return 0;
    });
    return failure;
  }
}

template <typename Body>
void Guarded(Body&& body) noexcept {
  try {
    body();
  } catch (...) {
  }
}

}  // namespace kestrel::provider
