// Which readings the device actually took. The documents hold 0 where the device sent a text that
// is no number (or sent nothing), so the hosts look at the device's own answer, the raw XML
// working file, as the module read it: the same reader, walked by the same sensor table, item by
// item in the order the module numbers its ports. Every program that shows readings goes through
// this one rule, so none of them shows such a 0 as a value.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/device_view.h"

namespace kestrel::host {

// Per port in the module's numbering, per sensor in its order: whether the device took it. false
// when raw_xml (the raw XML working file's text, in the module's code page) is no XML the module
// could have read its sensors from.
bool TakenReadings(const std::string& raw_xml, std::vector<std::vector<bool>>& ports);

// Marks every sensor of device the device took no reading for (has_reading false). Sensors stay
// as they are when the text cannot be read or its ports do not match the document's.
void MarkReadings(const std::string& raw_xml, DeviceView& device);

}  // namespace kestrel::host
