// Reaches the parsing steps of the provider that a load runs after its fetch, so that tests and
// fuzz targets can feed them documents without a network.
#pragma once

#include <cstddef>
#include <cstdint>

#include "provider/avtech_app.h"

class AVTechAppTestAccess {
 public:
  static int32_t ParseDeviceInformation(CAVTechApp& app, const char* xml) {
    return app.ParseDeviceInformation(xml);
  }
  static std::size_t ReaderMemoryBytes(const CAVTechApp& app) {
    return app.reader_memory_.KeptBytes();
  }
};
