// The fixed vocabularies of the device model: sensor types, units of measure and protocols, each a
// numeric code with its text, plus the display digits and limits that a sensor type implies.
#pragma once

#include <cstdint>

#include "common/mvn_string.h"

// Each assigns the code's text (or the table's "missing" text) to out and answers out.
CMvnString& SensorTypeText(uint32_t type_id, CMvnString& out);
CMvnString& UnitText(int32_t uom_id, CMvnString& out);
// The same texts, for a caller that only reads them.
const char* SensorTypeDescription(uint32_t type_id);
const char* UnitDescription(int32_t uom_id);
CMvnString& ProtocolText(uint32_t protocol_id, CMvnString& out);

// Overwrites all five outputs with the defaults of type_id. The unit is accepted from callers
// that have it at hand; no default depends on it.
void ApplySensorTypeDefaults(uint32_t type_id, int32_t uom_id, uint16_t& digits, double& rangemin,
                             double& rangemax, double& band_low, double& band_high);
