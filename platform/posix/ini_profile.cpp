// A small INI layer with the semantics of the Windows private-profile functions that the trace log
// ring uses. Section and key names compare without regard to ASCII letter case; the file is read
// and rewritten whole on every change, with CR LF line ends as Windows writes it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kestrel::platform {

namespace {

struct Section {
  std::string name;
  std::vector<std::string> lines;
};

struct Profile {
  std::vector<std::string> preamble;  // lines before the first section
  std::vector<Section> sections;
};

bool EqualNoCase(const std::string& a, const char* b) {
  const std::size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

std::string Strip(const std::string& text) {
  const std::size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return std::string();
  const std::size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

Profile Load(const char* file) {
  Profile profile;
  std::ifstream in(file, std::ios::binary);
  std::string line;
  Section* current = nullptr;
  while (std::getline(in, line)) {
    const std::string text = Strip(line);
    if (text.size() >= 2 && text.front() == '[' && text.find(']') != std::string::npos) {
      profile.sections.push_back(Section{text.substr(1, text.find(']') - 1), {}});
      current = &profile.sections.back();
    } else if (!text.empty()) {
      (current != nullptr ? current->lines : profile.preamble).push_back(text);
    }
  }
  return profile;
}

bool Save(const Profile& profile, const char* file) {
  std::string text;
  for (const auto& line : profile.preamble) text += line + "\n";
  for (const auto& section : profile.sections) {
    text += "[" + section.name + "]\n";
    for (const auto& line : section.lines) text += line + "\n";
  }
  std::FILE* out = OpenTextFile(file, "wt");
  if (out == nullptr) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
  return std::fclose(out) == 0 && written;
}

Section* Find(Profile& profile, const char* name) {
  for (auto& section : profile.sections) {
    if (EqualNoCase(section.name, name)) return &section;
  }
  return nullptr;
}

// The key of a "key=value" line, or the whole line when it has no '='.
std::string KeyOf(const std::string& line) {
  return Strip(line.substr(0, line.find('=')));
}

}  // namespace

uint32_t ReadProfileSection(const char* section, char* buffer, uint32_t size, const char* file) {
  if (buffer == nullptr || size < 2) return 0;
  buffer[0] = buffer[1] = '\0';
  if (section == nullptr || file == nullptr) return 0;
  Profile profile = Load(file);
  const Section* found = Find(profile, section);
  if (found == nullptr) return 0;
  uint32_t used = 0;
  for (const auto& line : found->lines) {
    const uint32_t need = static_cast<uint32_t>(line.size()) + 1;
    if (used + need > size - 1) {
      // Cut as the platform cuts: what fits, then the double NUL at size - 2.
      const uint32_t room = size - 2 - used;
      std::memcpy(buffer + used, line.data(), room);
      buffer[size - 2] = '\0';
      buffer[size - 1] = '\0';
      return size - 2;
    }
    std::memcpy(buffer + used, line.c_str(), need);
    used += need;
  }
  buffer[used] = '\0';
  return used;
}

int32_t WriteProfileSection(const char* section, const char* lines, const char* file) {
  if (section == nullptr || file == nullptr || *file == '\0') return 0;
  Profile profile = Load(file);
  Section* found = Find(profile, section);
  if (lines == nullptr) {
    if (found == nullptr) return 1;
    profile.sections.erase(profile.sections.begin() + (found - profile.sections.data()));
    return Save(profile, file) ? 1 : 0;
  }
  if (found == nullptr) {
    profile.sections.push_back(Section{section, {}});
    found = &profile.sections.back();
  }
  found->lines.clear();
  for (const char* p = lines; *p != '\0'; p += std::strlen(p) + 1) found->lines.emplace_back(p);
  return Save(profile, file) ? 1 : 0;
}

uint32_t ReadProfileUInt(const char* section, const char* key, uint32_t fallback,
                         const char* file) {
  if (section == nullptr || key == nullptr || file == nullptr) return fallback;
  Profile profile = Load(file);
  const Section* found = Find(profile, section);
  if (found == nullptr) return fallback;
  for (const auto& line : found->lines) {
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos || !EqualNoCase(KeyOf(line), key)) continue;
    return static_cast<uint32_t>(std::strtoul(Strip(line.substr(equals + 1)).c_str(), nullptr, 10));
  }
  return fallback;
}

int32_t WriteProfileString(const char* section, const char* key, const char* value,
                           const char* file) {
  if (section == nullptr || key == nullptr || file == nullptr || *file == '\0') return 0;
  Profile profile = Load(file);
  Section* found = Find(profile, section);
  if (found == nullptr) {
    profile.sections.push_back(Section{section, {}});
    found = &profile.sections.back();
  }
  const std::string line = std::string(key) + "=" + (value != nullptr ? value : "");
  bool replaced = false;
  for (auto& existing : found->lines) {
    if (existing.find('=') != std::string::npos && EqualNoCase(KeyOf(existing), key)) {
      existing = line;
      replaced = true;
      break;
    }
  }
  if (!replaced) found->lines.push_back(line);
  return Save(profile, file) ? 1 : 0;
}

}  // namespace kestrel::platform
