// Which readings the device actually took. The documents hold 0 where the device sent a text that
// is no number (or sent nothing), so that text is looked up in the raw XML working file that keeps
// the device's own answer, item by item in the order the module numbers its ports. Every program
// that shows readings goes through this one rule, so none of them shows such a 0 as a value.
#pragma once

#include <string>
#include <vector>

#include "host/device_view.h"

namespace kestrel::host {

// The leaf a checked sensor carries: "1" when its reading was a number, "0" when not.
constexpr const char* kReadingValidLeaf = "reading-valid";

// Whether text, as the device sent it, is a finite decimal number (blanks around it allowed).
bool IsDeviceNumber(const std::string& text);

// Marks every sensor of device from raw_xml_path (the module's raw XML working file). Sensors
// stay unmarked when the file cannot be read or does not match the document's ports.
void MarkReadings(const std::string& raw_xml_path, DeviceView& device);

// The same from the file's text (tests).
void MarkReadingsFromText(const std::string& raw_xml, DeviceView& device);

// Whether a sensor holds a reading the device took: a number that no mark calls absent.
bool HasReading(const Leaves& sensor);

// The raw XML working file the module names after the configuration document.
std::string RawXmlWorkingFile(const std::string& config);

// One element of an XML text with its element children; text only for a leaf (an element with
// element children would repeat the whole subtree's text, which made a 1 MB document quadratic).
struct XmlElement {
  std::string name;
  std::string text;
  std::vector<XmlElement> children;
};

// Parses xml, text in the module's code page (Windows-1252, as the module writes its working
// files, without a declaration), with the platform's parser; false when it is not well-formed.
bool ParseXmlElements(const std::string& xml, XmlElement& root);

}  // namespace kestrel::host
