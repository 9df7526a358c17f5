#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <cstring>
#include <string>

#include "host/device_view.h"

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

}  // namespace

bool ReadDeviceDocument(const std::string& path, DeviceView& device, std::string& error) {
  device = DeviceView{};
  // A broken document is this function's error to report, once, not libxml2's to print on stderr
  // of every program that hosts the module.
  xmlResetLastError();
  xmlDoc* doc =
      xmlReadFile(path.c_str(), nullptr,
                  XML_PARSE_NONET | XML_PARSE_NOBLANKS | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (doc == nullptr) {
    error = "cannot read the device document " + path;
    const xmlError* why = xmlGetLastError();
    if (why != nullptr && why->message != nullptr) {
      std::string message = why->message;
      while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
        message.pop_back();
      }
      error += " (line " + std::to_string(why->line) + ": " + message + ")";
    }
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
