#include "host/readings.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <vector>

#include "host/value_format.h"

namespace kestrel::host {

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

const XmlElement* Child(const XmlElement* parent, const char* name) {
  if (parent == nullptr) return nullptr;
  for (const XmlElement& child : parent->children) {
    if (child.name == name) return &child;
  }
  return nullptr;
}

// Leading blanks, a sign and digits, as the module reads a port's type.
int DeviceType(const std::string* text) {
  return text == nullptr ? 0 : std::atoi(text->c_str());
}

// Whether each sensor's reading was taken, port by port in the module's numbering.
std::vector<std::vector<bool>> PortReadings(const XmlElement* device) {
  std::vector<std::vector<bool>> ports;
  for (const char* list : kPortLists) {
    const XmlElement* container = Child(device, list);
    if (container == nullptr) continue;
    for (const XmlElement& item : container->children) {
      if (item.name != "item") continue;
      Members members;
      for (const XmlElement& member : item.children) members.emplace_back(member.name, member.text);
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

void MarkReadingsFromText(const std::string& raw_xml, DeviceView& device) {
  XmlElement root;
  if (!ParseXmlElements(raw_xml, root)) return;
  const auto ports = PortReadings(Child(&root, "device"));
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

void MarkReadings(const std::string& raw_xml_path, DeviceView& device) {
  std::ifstream in(raw_xml_path, std::ios::binary);
  if (!in) return;
  MarkReadingsFromText(
      std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), device);
}

}  // namespace kestrel::host

namespace kestrel::host {

bool HasReading(const Leaves& sensor) {
  return JsonNumber(sensor.Get("value")) != "null" && sensor.Get(kReadingValidLeaf) != "0";
}

std::string RawXmlWorkingFile(const std::string& config) {
  std::string out = config;
  for (std::size_t at = 0; at + 4 <= out.size();) {
    std::string ext = out.substr(at, 4);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == ".xml") {
      out.replace(at, 4, ".raw.xml");
      at += 8;
    } else {
      ++at;
    }
  }
  return out;
}

}  // namespace kestrel::host
