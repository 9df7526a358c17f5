// Which readings the device actually took. The documents hold 0 where the device sent a text that
// is no number (or sent nothing), so that text is looked up in the working file that keeps the
// device's own answer, item by item in the order the module numbers its ports.
#pragma once

#include <string>

#include "host/device_view.h"

namespace kestrel::exporter {

// The leaf a checked sensor carries: "1" when its reading was a number, "0" when not.
constexpr const char* kReadingValidLeaf = "reading-valid";

// Whether text, as the device sent it, is a finite decimal number (blanks around it allowed).
bool IsDeviceNumber(const std::string& text);

// Marks every sensor of device from raw_xml_path (the module's raw XML working file). Sensors
// stay unmarked when the file cannot be read or does not match the document's ports.
void MarkReadings(const std::string& raw_xml_path, host::DeviceView& device);

// The same from the file's text (tests).
void MarkReadingsFromText(const std::string& raw_xml, host::DeviceView& device);

}  // namespace kestrel::exporter
