// What the YAML files of an endpoint share (the web configuration and the program's own): errors
// that carry their place in the file, and walks over mappings that refuse unknown and repeated
// keys, so a typing error never passes as an ignored setting.
#pragma once

#include <yaml-cpp/yaml.h>

#include <cstddef>
#include <set>
#include <string>

namespace kestrel::web {

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

// Fails unless node is a mapping.
void ExpectMapping(const YAML::Node& node, const char* where);
// The name of a key; fails when it is no scalar or was seen before.
std::string KeyName(const YAML::Node& key, const char* where, std::set<std::string>& seen);
// Fails naming the expected keys: "unknown key 'x' in WHERE (expected a, b or c)".
[[noreturn]] void FailUnknownKey(const YAML::Node& key, const char* where, const char* const* names,
                                 std::size_t count);

// Walks the entries of a mapping whose keys are names of the file's own choosing (users, labels),
// refusing keys given twice.
template <typename Visit>
void ForEachEntry(const YAML::Node& map, const char* where, Visit visit) {
  ExpectMapping(map, where);
  std::set<std::string> seen;
  for (const auto& entry : map) visit(KeyName(entry.first, where, seen), entry.first, entry.second);
}

// One key a mapping may hold and what reads its value into the parse's state.
template <typename Into>
struct Key {
  const char* name;
  void (*read)(const char* key, const YAML::Node& value, Into& into);
};

// Whether the keys are read in the file's order or in the table's, for a mapping whose later keys
// refer to earlier ones wherever they stand in the file.
enum class KeyOrder { kFile, kTable };

// Reads a mapping through its table of keys: a key the table does not hold, or one given twice,
// is refused (in the file's order, before anything is read when the table's order is asked for).
template <typename Into, std::size_t N>
void ReadKeys(const YAML::Node& map, const char* where, const Key<Into> (&keys)[N], Into& into,
              KeyOrder order = KeyOrder::kFile) {
  const char* names[N];
  for (std::size_t i = 0; i < N; ++i) names[i] = keys[i].name;
  ExpectMapping(map, where);
  std::set<std::string> seen;
  for (const auto& entry : map) {
    const std::string name = KeyName(entry.first, where, seen);
    std::size_t found = 0;
    while (found < N && name != names[found]) ++found;
    if (found == N) FailUnknownKey(entry.first, where, names, N);
    if (order == KeyOrder::kFile) keys[found].read(keys[found].name, entry.second, into);
  }
  if (order == KeyOrder::kFile) return;
  for (const Key<Into>& key : keys) {
    if (const YAML::Node value = map[key.name]) key.read(key.name, value, into);
  }
}

}  // namespace kestrel::web
