// roomalert-sim's command line: what to serve, where, and which faults to inject.
#pragma once

#include <string>
#include <vector>

namespace roomalert_sim {

constexpr const char* kProgram = "roomalert-sim";
// Enough for a large site; each device costs one copy of the document.
constexpr long kMaxDevices = 100000;

struct Faults {
  int status = 0;     // answer this status instead of the document
  long delay_ms = 0;  // wait before answering
  bool close = false;
  bool truncate = false;
  bool empty = false;
  bool bom = false;
  bool html = false;
  bool endless = false;   // a chunked body that never ends
  long drip_ms = 0;       // the document one byte at a time, this long apart
  long size = 0;          // the document padded with blanks to this many bytes
  long sensor_bytes = 0;  // the first sensor repeated until the document is about this large
};

struct Options {
  std::string fixture;
  bool live = false;
  std::string address = "127.0.0.1";
  int port = 8380;
  Faults faults;
  int devices = 0;                         // 0: one device, at /getData.json only
  std::vector<std::string> device_faults;  // LIST:FAULT, resolved once the count is known
  std::vector<Faults> faults_by_device;    // index K for /dK; index 0 unused
  std::string user;
  std::string password;
  std::string tls_cert;
  std::string tls_key;
};

bool ParseFault(const std::string& text, Faults& faults);
// Answers -1 to go on, else the exit status (help and usage errors are printed already).
int ParseOptions(int argc, char** argv, Options& o);

}  // namespace roomalert_sim
