#include "tools/kestrel-exporter/readings.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <vector>

namespace kestrel::exporter {

namespace {

// What feeds one sensor of a port.
enum class Source { kTemperature, kHumidity, kVolts, kAirSpeed, kState, kNothing };

struct PortRule {
  int device_type;
  std::vector<Source> sensors;
};

// The device's port types and the sensors the module makes of them, in the module's order.
const std::vector<PortRule>& PortRules() {
  static const std::vector<PortRule> kRules = {
      {16, {Source::kTemperature}},
      {38, {Source::kTemperature, Source::kHumidity}},
      {40, {Source::kTemperature, Source::kVolts}},
      {42, {Source::kState, Source::kTemperature}},
      {43, {Source::kAirSpeed, Source::kTemperature}},
      {59, {Source::kTemperature}},
      {65, {Source::kVolts}},
  };
  return kRules;
}

// The port lists in the order the module walks them.
constexpr const char* kPortLists[] = {"internal_sen", "sensor", "wireless_sen", "s_sen",
                                      "switch_sen"};

std::vector<const char*> MemberNames(Source source) {
  switch (source) {
    case Source::kTemperature:
      return {"tc", "tempc", "temperature"};
    case Source::kHumidity:
      return {"h", "humid", "humidity"};
    case Source::kVolts:
      return {"volts"};
    case Source::kAirSpeed:
      return {"airSpeed"};
    case Source::kState:
      return {"stat", "status", "state"};
    case Source::kNothing:
      return {};
  }
  return {};
}

bool SameLetters(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i] != 0; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return i == a.size() && b[i] == 0;
}

using Members = std::vector<std::pair<std::string, std::string>>;

// The first member of the first name that the item has, as the module looks members up.
const std::string* Lookup(const Members& members, const std::vector<const char*>& names) {
  for (const char* name : names) {
    for (const auto& member : members) {
      if (SameLetters(member.first, name)) return &member.second;
    }
  }
  return nullptr;
}

std::string Text(xmlNode* node) {
  xmlChar* content = xmlNodeGetContent(node);
  std::string text = content != nullptr ? reinterpret_cast<const char*>(content) : "";
  xmlFree(content);
  return text;
}

xmlNode* Child(xmlNode* parent, const char* name) {
  for (xmlNode* child = parent != nullptr ? parent->children : nullptr; child != nullptr;
       child = child->next) {
    if (child->type == XML_ELEMENT_NODE &&
        std::string(reinterpret_cast<const char*>(child->name)) == name) {
      return child;
    }
  }
  return nullptr;
}

// Leading blanks, a sign and digits, as the module reads a port's type.
int DeviceType(const std::string* text) {
  return text == nullptr ? 0 : std::atoi(text->c_str());
}

// Whether each sensor's reading was taken, port by port in the module's numbering.
std::vector<std::vector<bool>> PortReadings(xmlNode* device) {
  std::vector<std::vector<bool>> ports;
  for (const char* list : kPortLists) {
    xmlNode* container = Child(device, list);
    for (xmlNode* item = container != nullptr ? container->children : nullptr; item != nullptr;
         item = item->next) {
      if (item->type != XML_ELEMENT_NODE ||
          std::string(reinterpret_cast<const char*>(item->name)) != "item") {
        continue;
      }
      Members members;
      for (xmlNode* member = item->children; member != nullptr; member = member->next) {
        if (member->type == XML_ELEMENT_NODE) {
          members.emplace_back(reinterpret_cast<const char*>(member->name), Text(member));
        }
      }
      const int type = DeviceType(Lookup(members, {"t", "type"}));
      std::vector<Source> sources;
      for (const PortRule& rule : PortRules()) {
        if (rule.device_type == type) sources = rule.sensors;
      }
      if (type == 0) {
        const std::string where = list;
        // An unconnected placeholder port holds no reading at all.
        if (where == "sensor") sources = {Source::kNothing};
        if (where == "s_sen" || where == "switch_sen") sources = {Source::kState};
      }
      if (sources.empty()) continue;
      std::vector<bool> taken;
      for (const Source source : sources) {
        const std::string* text = Lookup(members, MemberNames(source));
        // A state reads as off whatever the device sent, so any text of it is a reading.
        taken.push_back(source == Source::kState || (text != nullptr && IsDeviceNumber(*text)));
      }
      ports.push_back(std::move(taken));
    }
  }
  return ports;
}

}  // namespace

bool IsDeviceNumber(const std::string& text) {
  std::size_t at = 0;
  auto blank = [&](std::size_t i) {
    return text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n';
  };
  while (at < text.size() && blank(at)) ++at;
  std::size_t end = text.size();
  while (end > at && blank(end - 1)) --end;
  std::size_t i = at;
  if (i < end && (text[i] == '+' || text[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < end && std::isdigit(static_cast<unsigned char>(text[i]))) ++i, ++digits;
  if (i < end && text[i] == '.') {
    ++i;
    while (i < end && std::isdigit(static_cast<unsigned char>(text[i]))) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < end && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < end && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t exponent_digits = 0;
    while (i < end && std::isdigit(static_cast<unsigned char>(text[i]))) ++i, ++exponent_digits;
    if (exponent_digits == 0) return false;
  }
  if (i != end) return false;
  return std::isfinite(std::strtod(text.substr(at, end - at).c_str(), nullptr));
}

void MarkReadingsFromText(const std::string& raw_xml, host::DeviceView& device) {
  xmlDoc* doc = xmlReadMemory(raw_xml.data(), static_cast<int>(raw_xml.size()), nullptr, nullptr,
                              XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (doc == nullptr) return;
  const auto ports = PortReadings(Child(xmlDocGetRootElement(doc), "device"));
  xmlFreeDoc(doc);
  if (ports.size() != device.interfaces.size()) return;
  for (std::size_t p = 0; p < ports.size(); ++p) {
    auto& sensors = device.interfaces[p].sensors;
    if (sensors.size() != ports[p].size()) return;
  }
  for (std::size_t p = 0; p < ports.size(); ++p) {
    for (std::size_t s = 0; s < ports[p].size(); ++s) {
      device.interfaces[p].sensors[s].leaves.Set(kReadingValidLeaf, ports[p][s] ? "1" : "0");
    }
  }
}

void MarkReadings(const std::string& raw_xml_path, host::DeviceView& device) {
  std::ifstream in(raw_xml_path, std::ios::binary);
  if (!in) return;
  MarkReadingsFromText(
      std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), device);
}

}  // namespace kestrel::exporter
