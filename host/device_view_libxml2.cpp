#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstring>

#include "host/device_view.h"
#include "host/readings.h"

namespace kestrel::host {

namespace {

bool IsElement(const xmlNode* node, const char* name) {
  return node->type == XML_ELEMENT_NODE &&
         std::strcmp(reinterpret_cast<const char*>(node->name), name) == 0;
}

std::string TextOf(xmlNode* node) {
  xmlChar* text = xmlNodeGetContent(node);
  std::string out = text != nullptr ? reinterpret_cast<const char*>(text) : "";
  xmlFree(text);
  return out;
}

bool HasElementChildren(const xmlNode* node) {
  for (const xmlNode* child = node->children; child != nullptr; child = child->next) {
    if (child->type == XML_ELEMENT_NODE) return true;
  }
  return false;
}

void ReadLeaves(xmlNode* parent, Leaves& leaves) {
  for (xmlNode* child = parent->children; child != nullptr; child = child->next) {
    if (child->type == XML_ELEMENT_NODE && !HasElementChildren(child)) {
      leaves.Set(reinterpret_cast<const char*>(child->name), TextOf(child));
    }
  }
}

void CopyElements(xmlNode* node, XmlElement& into) {
  into.name = reinterpret_cast<const char*>(node->name);
  into.text = TextOf(node);
  for (xmlNode* child = node->children; child != nullptr; child = child->next) {
    if (child->type == XML_ELEMENT_NODE) CopyElements(child, into.children.emplace_back());
  }
}

}  // namespace

bool ParseXmlElements(const std::string& xml, XmlElement& root) {
  root = XmlElement{};
  xmlDoc* doc = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, "windows-1252",
                              XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (doc == nullptr) return false;
  xmlNode* top = xmlDocGetRootElement(doc);
  if (top != nullptr) CopyElements(top, root);
  xmlFreeDoc(doc);
  return top != nullptr;
}

bool ReadDeviceDocument(const std::string& path, DeviceView& device, std::string& error) {
  device = DeviceView{};
  xmlDoc* doc = xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET | XML_PARSE_NOBLANKS);
  if (doc == nullptr) {
    error = "cannot read the device document " + path;
    return false;
  }
  xmlNode* root = xmlDocGetRootElement(doc);
  if (root == nullptr || !IsElement(root, "device")) {
    xmlFreeDoc(doc);
    error = "the document " + path + " is no device document";
    return false;
  }
  ReadLeaves(root, device.leaves);
  for (xmlNode* sensors = root->children; sensors != nullptr; sensors = sensors->next) {
    if (!IsElement(sensors, "sensors")) continue;
    for (xmlNode* itf = sensors->children; itf != nullptr; itf = itf->next) {
      if (!IsElement(itf, "interface")) continue;
      InterfaceView& view = device.interfaces.emplace_back();
      ReadLeaves(itf, view.leaves);
      for (xmlNode* sensor = itf->children; sensor != nullptr; sensor = sensor->next) {
        if (IsElement(sensor, "sensor")) ReadLeaves(sensor, view.sensors.emplace_back().leaves);
      }
    }
  }
  xmlFreeDoc(doc);
  return true;
}

}  // namespace kestrel::host
