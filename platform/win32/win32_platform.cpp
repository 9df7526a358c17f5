// Lock, profile files, files, time, code page, COM strings and the COM apartment on Windows: each
// function is the kernel or COM call that the Linux layer imitates.
#include <windows.h>

#include <objbase.h>
#include <oleauto.h>

#include <atomic>
#include <cstring>
#include <cwchar>

#include "platform/platform.h"

namespace kestrel::platform {

// ------------------------------------------------------------------ lock

Lock::Lock() : impl_(new CRITICAL_SECTION) {
  ::InitializeCriticalSection(static_cast<CRITICAL_SECTION*>(impl_));
}
Lock::~Lock() {
  ::DeleteCriticalSection(static_cast<CRITICAL_SECTION*>(impl_));
  delete static_cast<CRITICAL_SECTION*>(impl_);
}
void Lock::Enter() {
  ::EnterCriticalSection(static_cast<CRITICAL_SECTION*>(impl_));
}
void Lock::Leave() {
  ::LeaveCriticalSection(static_cast<CRITICAL_SECTION*>(impl_));
}

// ------------------------------------------------------------------ profile files

uint32_t ReadProfileSection(const char* section, char* buffer, uint32_t size, const char* file) {
  return ::GetPrivateProfileSectionA(section, buffer, size, file);
}

int32_t WriteProfileSection(const char* section, const char* lines, const char* file) {
  // A null list removes the section with its header, which the section call itself does not
  // promise on every Windows version.
  if (lines == nullptr) return ::WritePrivateProfileStringA(section, nullptr, nullptr, file);
  return ::WritePrivateProfileSectionA(section, lines, file);
}

uint32_t ReadProfileUInt(const char* section, const char* key, uint32_t fallback,
                         const char* file) {
  return ::GetPrivateProfileIntA(section, key, static_cast<INT>(fallback), file);
}

int32_t WriteProfileString(const char* section, const char* key, const char* value,
                           const char* file) {
  return ::WritePrivateProfileStringA(section, key, value, file);
}

// ------------------------------------------------------------------ files

int32_t FileExistsNotDirectory(const char* path) {
  if (path == nullptr || *path == '\0') return 0;
  WIN32_FIND_DATAA found;
  const HANDLE handle = ::FindFirstFileA(path, &found);
  if (handle == INVALID_HANDLE_VALUE) return 0;
  ::FindClose(handle);
  return (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? 0 : 1;
}

std::FILE* OpenTextFile(const char* path, const char* mode) {
  if (path == nullptr || *path == '\0' || mode == nullptr) return nullptr;
  if (mode[0] != 'w' && mode[0] != 'a') return nullptr;
  // Always the explicit text flag, whatever the process's default file mode is.
  const char text_mode[] = {mode[0], 't', '\0'};
  return std::fopen(path, text_mode);
}

int32_t WriteTextAtOnce(const char* path, const char* mode, const char* data, std::size_t size) {
  std::FILE* file = OpenTextFile(path, mode);
  if (file == nullptr) return -1;
  // Unbuffered: the C runtime translates the line feeds and writes the text without a stream
  // buffer of its own.
  std::setvbuf(file, nullptr, _IONBF, 0);
  if (data != nullptr && size > 0) std::fwrite(data, 1, size, file);
  std::fclose(file);
  return 0;
}

uint32_t ExecutableFileName(char* buffer, uint32_t size) {
  if (buffer == nullptr || size == 0) return 0;
  DWORD length = ::GetModuleFileNameA(nullptr, buffer, size);
  if (length >= size) length = size - 1;
  buffer[length] = '\0';
  return length;
}

const char* AssertionLogPath() {
  return "c:\\mvdebug\\assert.txt";
}

// ------------------------------------------------------------------ time

namespace {
std::atomic<TickFunction> g_tick{nullptr};
std::atomic<SleepFunction> g_sleep{nullptr};
}  // namespace

uint32_t TickCount() {
  const TickFunction tick = g_tick.load();
  return tick != nullptr ? tick() : ::GetTickCount();
}

void SleepMs(uint32_t milliseconds) {
  const SleepFunction sleep = g_sleep.load();
  if (sleep != nullptr) {
    sleep(milliseconds);
  } else {
    ::Sleep(milliseconds);
  }
}

void SetClockForTesting(TickFunction tick, SleepFunction sleep) {
  g_tick.store(tick);
  g_sleep.store(sleep);
}

// ------------------------------------------------------------------ ANSI code page <-> UTF-16

uint32_t AnsiCodePage() {
  return ::GetACP();
}

int32_t AnsiToWide(const char* source, int32_t length, WChar* destination, int32_t size) {
  return ::MultiByteToWideChar(CP_ACP, 0, source, length, destination, size);
}

int32_t WideToAnsi(const WChar* source, int32_t length, char* destination, int32_t size) {
  return ::WideCharToMultiByte(CP_ACP, 0, source, length, destination, size, nullptr, nullptr);
}

// ------------------------------------------------------------------ COM strings and apartment

std::size_t WideLength(const WChar* text) {
  return text == nullptr ? 0 : std::wcslen(text);
}

WChar* AllocWideString(const WChar* text, std::size_t length) {
  return ::SysAllocStringLen(text, static_cast<UINT>(length));
}

void FreeWideString(WChar* text) {
  ::SysFreeString(text);
}

int32_t ComInitialize() {
  return ::CoInitialize(nullptr);
}

int32_t ComInitializeMultithreaded() {
  return ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
}

void ComUninitialize() {
  ::CoUninitialize();
}

}  // namespace kestrel::platform
