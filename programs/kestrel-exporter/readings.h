// The exporter reads validity through the rule every host shares.
#pragma once

#include "host/readings.h"

namespace kestrel::exporter {

using host::IsDeviceNumber;
using host::kReadingValidLeaf;
using host::MarkReadings;
using host::MarkReadingsFromText;

}  // namespace kestrel::exporter
