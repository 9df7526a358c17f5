#include "programs/kestrel-exporter/config_unlisted.h"

#include <charconv>
#include <string>

#include "web/yaml_walk.h"

namespace kestrel::exporter {

namespace {

// Past the exporter's own bound on all unlisted targets a client's share means nothing.
constexpr std::size_t kMostPerClient = 1000;

}  // namespace

void ParseNetworkList(const YAML::Node& node, const char* key,
                      std::vector<web::Network>& networks) {
  if (node.IsNull()) return;
  if (!node.IsSequence()) {
    web::Fail(node, std::string("expected a list for '") + key + "', got " + web::KindOf(node));
  }
  for (const YAML::Node& item : node) {
    web::Network network;
    if (!item.IsScalar() || !web::Network::Parse(item.Scalar(), network)) {
      web::Fail(
          item,
          std::string("expected a network as ADDRESS/BITS (e.g. 10.0.0.0/8 or fd00::/8) in '") +
              key + "', got " +
              (item.IsScalar() ? web::Quoted(item.Scalar()) : std::string(web::KindOf(item))));
    }
    networks.push_back(network);
  }
}

std::size_t ParseUnlistedPerClient(const YAML::Node& node, const char* key) {
  const std::string text = node.IsScalar() ? node.Scalar() : std::string();
  std::size_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < 1 ||
      value > kMostPerClient) {
    web::Fail(node, std::string("expected a number from 1 to ") + std::to_string(kMostPerClient) +
                        " for '" + key + "', got " +
                        (node.IsScalar() ? web::Quoted(text) : std::string(web::KindOf(node))));
  }
  return value;
}

}  // namespace kestrel::exporter
