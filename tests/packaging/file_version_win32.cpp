// Prints files' version resources as Windows reads them (the fixed numbers and the string table of
// the first language), a "[FILE]" line and then one "name=value" line each, so that the installer
// checks compare what Explorer and inventory tools would show. Usage: kestrel-file-version FILE...
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string Narrow(const wchar_t* text) {
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string narrow(size > 0 ? size - 1 : 0, '\0');
  if (size > 1) ::WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), size, nullptr, nullptr);
  return narrow;
}

std::wstring Wide(const char* text) {
  const int size = ::MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  std::wstring wide(size > 0 ? size - 1 : 0, L'\0');
  if (size > 1) ::MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), size);
  return wide;
}

void PrintNumbers(const char* name, DWORD high, DWORD low) {
  std::printf("%s=%lu.%lu.%lu.%lu\n", name, static_cast<unsigned long>(HIWORD(high)),
              static_cast<unsigned long>(LOWORD(high)), static_cast<unsigned long>(HIWORD(low)),
              static_cast<unsigned long>(LOWORD(low)));
}

// Prints one file's version resource; false when it has none.
bool PrintVersion(const char* file) {
  std::printf("[%s]\n", file);
  const std::wstring path = Wide(file);
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
  std::vector<unsigned char> info(size);
  if (size == 0 || !::GetFileVersionInfoW(path.c_str(), 0, size, info.data())) {
    std::fprintf(stderr, "kestrel-file-version: %s has no version resource (error %lu)\n", file,
                 static_cast<unsigned long>(::GetLastError()));
    return false;
  }
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (::VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) &&
      length >= sizeof *fixed) {
    PrintNumbers("FILEVERSION", fixed->dwFileVersionMS, fixed->dwFileVersionLS);
    PrintNumbers("PRODUCTVERSION", fixed->dwProductVersionMS, fixed->dwProductVersionLS);
    std::printf("FILETYPE=%s\n", fixed->dwFileType == VFT_DLL   ? "DLL"
                                 : fixed->dwFileType == VFT_APP ? "APP"
                                                                : "OTHER");
  }
  WORD* translation = nullptr;
  if (!::VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                        reinterpret_cast<void**>(&translation), &length) ||
      length < 2 * sizeof(WORD)) {
    std::fprintf(stderr, "kestrel-file-version: %s has no string table\n", file);
    return false;
  }
  wchar_t block[64];
  std::swprintf(block, 64, L"\\StringFileInfo\\%04x%04x\\", translation[0], translation[1]);
  for (const wchar_t* name :
       {L"CompanyName", L"FileDescription", L"FileVersion", L"InternalName", L"LegalCopyright",
        L"OriginalFilename", L"ProductName", L"ProductVersion"}) {
    wchar_t* value = nullptr;
    const std::wstring query = std::wstring(block) + name;
    if (::VerQueryValueW(info.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) &&
        value != nullptr) {
      std::printf("%s=%s\n", Narrow(name).c_str(), Narrow(value).c_str());
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: kestrel-file-version FILE...\n");
    return 2;
  }
  bool all = true;
  for (int i = 1; i < argc; ++i) all = PrintVersion(argv[i]) && all;
  return all ? 0 : 1;
}
