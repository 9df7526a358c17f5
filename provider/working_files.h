// The two working files a load keeps beside the configuration document, the device's JSON and
// the intermediate XML made of it, are named after that document. Hosts that read them back take
// the names from here.
#pragma once

#include "common/mvn_string.h"

namespace kestrel::provider {

enum class WorkingFile { kJson, kRawXml };

// Every ".xml" of the configuration document's path, in any letter case, becomes ".json" or
// ".raw.xml".
inline CMvnString& WorkingFileName(const char* config, WorkingFile file, CMvnString& out) {
  return out.Assign(config).ReplaceAll(".xml", file == WorkingFile::kJson ? ".json" : ".raw.xml");
}

}  // namespace kestrel::provider
