#include "web/yaml_walk.h"

namespace kestrel::web {

void Fail(const YAML::Node& node, std::string what) {
  throw YamlProblem{node.Mark(), std::move(what)};
}

std::string Printable(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    out += b < 0x20 || b == 0x7F ? '?' : c;
  }
  return out;
}

std::string Quoted(const std::string& text) {
  constexpr std::size_t kLongest = 60;
  return "'" + Printable(text.substr(0, kLongest)) + (text.size() > kLongest ? "...'" : "'");
}

const char* KindOf(const YAML::Node& node) {
  if (node.IsMap()) return "a mapping";
  if (node.IsSequence()) return "a list";
  if (node.IsNull()) return "nothing";
  return "a value";
}

std::string Text(const YAML::Node& node, const std::string& key) {
  if (!node.IsScalar()) Fail(node, "expected a text for '" + key + "', got " + KindOf(node));
  return node.Scalar();
}

bool Boolean(const YAML::Node& node, const std::string& key) {
  const std::string text = node.IsScalar() ? node.Scalar() : std::string();
  if (text == "true") return true;
  if (text == "false") return false;
  Fail(node, "expected true or false for '" + key + "', got " +
                 (node.IsScalar() ? Quoted(text) : std::string(KindOf(node))));
}

std::string WhereIn(const std::string& file_name, const YAML::Mark& mark) {
  if (mark.is_null()) return file_name + ": ";
  return file_name + ":" + std::to_string(mark.line + 1) + ":" + std::to_string(mark.column + 1) +
         ": ";
}

std::string Folder(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string Relative(const std::string& path, const std::string& naming_file) {
  return path.empty() || path[0] == '/' ? path : Folder(naming_file) + path;
}

void ExpectMapping(const YAML::Node& node, const char* where) {
  if (!node.IsMap()) {
    Fail(node, std::string("expected a mapping for ") + where + ", got " + KindOf(node));
  }
}

std::string KeyName(const YAML::Node& key, const char* where, std::set<std::string>& seen) {
  if (!key.IsScalar()) Fail(key, std::string("expected a key name in ") + where);
  const std::string name = key.Scalar();
  if (!seen.insert(name).second) Fail(key, "key " + Quoted(name) + " given twice in " + where);
  return name;
}

void FailUnknownKey(const YAML::Node& key, const char* where, const char* const* names,
                    std::size_t count) {
  std::string expected;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) expected += i + 1 == count ? " or " : ", ";
    expected += names[i];
  }
  Fail(key,
       "unknown key " + Quoted(key.Scalar()) + " in " + where + " (expected " + expected + ")");
}

}  // namespace kestrel::web
