// The device documents read back with libxml2, in one SAX pass straight into the view: no tree,
// no element kept beyond the one being read.
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/xmlerror.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "host/device_view.h"
#include "host/view_fields.h"

namespace kestrel::host {

namespace {

// Where the SAX events of one document go. Depths count from the document element (0).
class ViewFiller {
 public:
  explicit ViewFiller(DeviceView& device) : device_(device) {}

  static const xmlSAXHandler& Handler() {
    static const xmlSAXHandler handler = [] {
      xmlSAXHandler h{};
      xmlSAXVersion(&h, 2);
      h.startDocument = nullptr;
      h.endDocument = nullptr;
      h.startElementNs = Start;
      h.endElementNs = End;
      h.characters = Characters;
      h.ignorableWhitespace = nullptr;
      h.cdataBlock = Characters;
      return h;
    }();
    return handler;
  }

  bool IsDevice() const { return is_device_; }

 private:
  static ViewFiller& Of(void* context) {
    return *static_cast<ViewFiller*>(static_cast<xmlParserCtxtPtr>(context)->_private);
  }

  static void Start(void* context, const xmlChar* name, const xmlChar*, const xmlChar*, int,
                    const xmlChar**, int, int, const xmlChar**) {
    ViewFiller& f = Of(context);
    const char* element = reinterpret_cast<const char*>(name);
    const int depth = f.depth_++;
    f.text_ = nullptr;
    if (depth == 0) {
      f.is_device_ = std::strcmp(element, "device") == 0;
    } else if (depth == 1) {
      f.in_sensors_ = std::strcmp(element, "sensors") == 0;
      if (f.is_device_) f.text_ = DeviceField(f.device_, element);
    } else if (depth == 2 && f.in_sensors_ && std::strcmp(element, "interface") == 0) {
      f.device_.interfaces.emplace_back();
      f.in_interface_ = true;
    } else if (depth == 3 && f.in_interface_) {
      InterfaceView& itf = f.device_.interfaces.back();
      if (std::strcmp(element, "sensor") == 0) {
        itf.sensors.emplace_back();
        f.in_sensor_ = true;
      } else {
        f.text_ = InterfaceField(itf, element);
      }
    } else if (depth == 4 && f.in_sensor_) {
      f.text_ = SensorField(f.device_.interfaces.back().sensors.back(), element);
    }
    // The last of two elements of one name holds, as a later value overwrites an earlier one.
    if (f.text_ != nullptr) f.text_->clear();
  }

  static void End(void* context, const xmlChar*, const xmlChar*, const xmlChar*) {
    ViewFiller& f = Of(context);
    f.text_ = nullptr;
    const int depth = --f.depth_;
    if (depth == 1) f.in_sensors_ = false;
    if (depth == 2) f.in_interface_ = false;
    if (depth == 3 && f.in_sensor_) {
      f.in_sensor_ = false;
      TakeReading(f.device_.interfaces.back().sensors.back());
    }
  }

  static void Characters(void* context, const xmlChar* text, int length) {
    ViewFiller& f = Of(context);
    if (f.text_ != nullptr && length > 0) {
      f.text_->append(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length));
    }
  }

  DeviceView& device_;
  std::string* text_ = nullptr;  // the field the open element fills; null: none
  int depth_ = 0;
  bool is_device_ = false;
  bool in_sensors_ = false;
  bool in_interface_ = false;
  bool in_sensor_ = false;
};

std::string ParserMessage(xmlParserCtxtPtr context) {
  const xmlError* why = xmlCtxtGetLastError(context);
  if (why == nullptr || why->message == nullptr) return std::string();
  std::string message = why->message;
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  return " (line " + std::to_string(why->line) + ": " + message + ")";
}

bool ReadWhole(const std::string& path, std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  char buffer[16384];
  std::size_t got;
  text.clear();
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
  const bool ok = std::ferror(file) == 0;
  std::fclose(file);
  return ok;
}

}  // namespace

bool ReadDeviceDocument(const std::string& path, DeviceView& device, std::string& error) {
  device = DeviceView{};
  std::string text;
  if (!ReadWhole(path, text)) {
    error = "cannot read the device document " + path + " (" + std::strerror(errno) + ")";
    return false;
  }
  if (text.empty() || text.size() > INT_MAX) {
    error = "cannot read the device document " + path + " (it is empty)";
    return false;
  }
  xmlParserCtxtPtr context = xmlNewParserCtxt();
  if (context == nullptr) {
    error = "cannot read the device document " + path + " (no memory for its parser)";
    return false;
  }
  ViewFiller filler(device);
  xmlParserInputPtr input = xmlNewStringInputStream(context, BAD_CAST text.c_str());
  bool parsed = input != nullptr && inputPush(context, input) >= 0;
  if (parsed) {
    // Before the options, which silence the handler's messages: a broken document is this
    // function's error to report, once, not libxml2's to print on every host's stderr.
    *context->sax = ViewFiller::Handler();
    xmlCtxtUseOptions(
        context, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOBLANKS);
    context->_private = &filler;
    xmlParseDocument(context);
    context->_private = nullptr;
    parsed = context->wellFormed != 0;
  }
  if (!parsed) error = "cannot read the device document " + path + ParserMessage(context);
  xmlFreeParserCtxt(context);
  if (parsed && !filler.IsDevice()) error = "the document " + path + " is no device document";
  if (!parsed || !filler.IsDevice()) {
    device = DeviceView{};
    return false;
  }
  return true;
}

}  // namespace kestrel::host
