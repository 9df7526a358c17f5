// What every YAML file of the exporter shares: errors that carry their place in the file, and a
// walk over a mapping that refuses unknown and repeated keys, so a typing error never passes as
// an ignored setting.
#pragma once

#include <yaml-cpp/yaml.h>

#include <initializer_list>
#include <set>
#include <string>

namespace kestrel::exporter {

struct YamlProblem {
  YAML::Mark mark;
  std::string what;
};

[[noreturn]] void Fail(const YAML::Node& node, std::string what);

// A message stays one line whatever bytes the file holds.
std::string Printable(const std::string& text);
std::string Quoted(const std::string& text);
const char* KindOf(const YAML::Node& node);
std::string Text(const YAML::Node& node, const std::string& key);
bool Boolean(const YAML::Node& node, const std::string& key);
// "FILE:LINE:COLUMN: " (lines and columns counted from 1), or "FILE: " without a place.
std::string WhereIn(const std::string& file_name, const YAML::Mark& mark);
// The folder part of path with its '/', or "" for a bare name.
std::string Folder(const std::string& path);
// path as written, or relative to the folder of the file that names it.
std::string Relative(const std::string& path, const std::string& naming_file);

// Walks the keys of a mapping once, refusing keys it does not know (an empty list knows every
// key) and keys given twice.
template <typename Visit>
void ForEachKey(const YAML::Node& map, const char* where, std::initializer_list<const char*> known,
                Visit visit) {
  if (!map.IsMap())
    Fail(map, std::string("expected a mapping for ") + where + ", got " + KindOf(map));
  std::set<std::string> seen;
  for (const auto& entry : map) {
    if (!entry.first.IsScalar()) Fail(entry.first, std::string("expected a key name in ") + where);
    const std::string key = entry.first.Scalar();
    bool is_known = known.size() == 0;
    for (const char* name : known) is_known = is_known || key == name;
    if (!is_known) {
      std::string expected;
      std::size_t i = 0;
      for (const char* name : known) {
        if (i > 0) expected += i + 1 == known.size() ? " or " : ", ";
        expected += name;
        ++i;
      }
      Fail(entry.first,
           "unknown key " + Quoted(key) + " in " + where + " (expected " + expected + ")");
    }
    if (!seen.insert(key).second)
      Fail(entry.first, "key " + Quoted(key) + " given twice in " + where);
    visit(key, entry.first, entry.second);
  }
}

}  // namespace kestrel::exporter
