#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlreader.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/device_view.h"
#include "host/readings.h"
#include "host/value_format.h"

namespace kestrel::host {

namespace {

// Read as a stream rather than into a tree: a device with thousands of sensors writes documents
// of megabytes, whose tree would take several times the view built from them.
class Streamer {
 public:
  explicit Streamer(DeviceView& device) : device_(device) {}

  void Start(const char* name, bool empty) {
    if (!open_.empty()) open_.back().has_elements = true;
    Leaves* owner = nullptr;
    const std::size_t depth = open_.size();
    const Frame* parent = depth > 0 ? &open_.back() : nullptr;
    if (depth == 0) {
      is_device_ = std::strcmp(name, "device") == 0;
      owner = &device_.leaves;
    } else if (depth == 2 && parent->is_sensors && std::strcmp(name, "interface") == 0) {
      owner = &device_.interfaces.emplace_back().leaves;
    } else if (depth == 3 && parent->leaves != nullptr && std::strcmp(name, "sensor") == 0) {
      owner = &device_.interfaces.back().sensors.emplace_back().leaves;
    }
    open_.push_back(
        Frame{name, std::string(), owner, depth == 1 && !std::strcmp(name, "sensors"), false});
    if (empty) End();
  }

  void Text(const char* text) {
    if (!open_.empty()) open_.back().text += text;
  }

  void End() {
    if (open_.empty()) return;
    Frame frame = std::move(open_.back());
    open_.pop_back();
    if (frame.has_elements || open_.empty() || open_.back().leaves == nullptr) return;
    open_.back().leaves->Set(std::move(frame.name), std::move(frame.text));
  }

  bool IsDevice() const { return is_device_; }

 private:
  struct Frame {
    std::string name;
    std::string text;
    Leaves* leaves;  // where the leaves below go; null: nowhere
    bool is_sensors;
    bool has_elements;
  };
  DeviceView& device_;
  std::vector<Frame> open_;
  bool is_device_ = false;
};

std::string ParserMessage() {
  const xmlError* why = xmlGetLastError();
  if (why == nullptr || why->message == nullptr) return std::string();
  std::string message = why->message;
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  return " (line " + std::to_string(why->line) + ": " + message + ")";
}

// Builds the elements of a text as a stream, for the same reason as Streamer: the tree of a 1 MB
// raw file took 31 MB beside its copy, where the copy alone takes 8.
class ElementBuilder {
 public:
  explicit ElementBuilder(XmlElement& root) : root_(root) {}

  void Start(const char* name, bool empty) {
    XmlElement* element = &root_;
    if (!open_.empty()) element = &open_.back()->children.emplace_back();
    element->name = name;
    open_.push_back(element);
    if (empty) End();
  }
  void Text(const char* text) {
    if (!open_.empty()) open_.back()->text += text;
  }
  void End() {
    if (open_.empty()) return;
    // Only a leaf keeps its text: the blanks between an element's children are no value.
    if (!open_.back()->children.empty()) open_.back()->text.clear();
    open_.pop_back();
  }

 private:
  XmlElement& root_;
  // A parent's children stay put while its own are added: only the last child grows, and it is
  // the one on top of this stack.
  std::vector<XmlElement*> open_;
};

}  // namespace

bool ParseXmlElements(const std::string& xml, XmlElement& root) {
  root = XmlElement{};
  // Made UTF-8 with the module's own table: iconv's windows-1252 refuses the five bytes the code
  // page leaves unassigned, which the module writes as Windows maps them.
  const std::string utf8 = Windows1252ToUtf8(xml);
  xmlTextReaderPtr reader =
      xmlReaderForMemory(utf8.data(), static_cast<int>(utf8.size()), nullptr, "UTF-8",
                         XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (reader == nullptr) return false;
  ElementBuilder builder(root);
  bool any = false;
  int step;
  while ((step = xmlTextReaderRead(reader)) == 1) {
    switch (xmlTextReaderNodeType(reader)) {
      case XML_READER_TYPE_ELEMENT:
        any = true;
        builder.Start(reinterpret_cast<const char*>(xmlTextReaderConstName(reader)),
                      xmlTextReaderIsEmptyElement(reader) == 1);
        break;
      case XML_READER_TYPE_END_ELEMENT:
        builder.End();
        break;
      case XML_READER_TYPE_TEXT:
      case XML_READER_TYPE_CDATA:
      case XML_READER_TYPE_WHITESPACE:
      case XML_READER_TYPE_SIGNIFICANT_WHITESPACE: {
        const xmlChar* text = xmlTextReaderConstValue(reader);
        if (text != nullptr) builder.Text(reinterpret_cast<const char*>(text));
        break;
      }
      default:
        break;
    }
  }
  xmlFreeTextReader(reader);
  if (step != 0 || !any) {
    root = XmlElement{};
    return false;
  }
  return true;
}

bool ReadDeviceDocument(const std::string& path, DeviceView& device, std::string& error) {
  device = DeviceView{};
  // A broken document is this function's error to report, once, not libxml2's to print on stderr
  // of every program that hosts the module.
  xmlResetLastError();
  xmlTextReaderPtr reader = xmlReaderForFile(
      path.c_str(), nullptr,
      XML_PARSE_NONET | XML_PARSE_NOBLANKS | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (reader == nullptr) {
    error = "cannot read the device document " + path + ParserMessage();
    return false;
  }
  Streamer streamer(device);
  bool any = false;
  int step;
  while ((step = xmlTextReaderRead(reader)) == 1) {
    const int type = xmlTextReaderNodeType(reader);
    if (type == XML_READER_TYPE_ELEMENT) {
      any = true;
      streamer.Start(reinterpret_cast<const char*>(xmlTextReaderConstName(reader)),
                     xmlTextReaderIsEmptyElement(reader) == 1);
    } else if (type == XML_READER_TYPE_END_ELEMENT) {
      streamer.End();
    } else if (type == XML_READER_TYPE_TEXT || type == XML_READER_TYPE_CDATA) {
      const xmlChar* text = xmlTextReaderConstValue(reader);
      if (text != nullptr) streamer.Text(reinterpret_cast<const char*>(text));
    }
  }
  xmlFreeTextReader(reader);
  if (step != 0 || !any) {
    device = DeviceView{};
    error = "cannot read the device document " + path + ParserMessage();
    return false;
  }
  if (!streamer.IsDevice()) {
    device = DeviceView{};
    error = "the document " + path + " is no device document";
    return false;
  }
  return true;
}

}  // namespace kestrel::host
