#include "programs/roomalert-sim/sim_options.h"

#include <strings.h>

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/listen_address.h"
#include "app/options.h"

namespace roomalert_sim {

bool ParseFault(const std::string& text, Faults& faults) {
  struct Flag {
    const char* name;
    bool Faults::*member;
  };
  static const Flag kFlags[] = {{"close", &Faults::close}, {"truncate", &Faults::truncate},
                                {"empty", &Faults::empty}, {"bom", &Faults::bom},
                                {"html", &Faults::html},   {"endless", &Faults::endless}};
  for (const Flag& flag : kFlags) {
    if (text == flag.name) {
      faults.*flag.member = true;
      return true;
    }
  }
  char* end = nullptr;
  struct Number {
    const char* prefix;
    long Faults::*member;
  };
  static const Number kNumbers[] = {{"delay:", &Faults::delay_ms},
                                    {"drip:", &Faults::drip_ms},
                                    {"size:", &Faults::size},
                                    {"sensors:", &Faults::sensor_bytes}};
  for (const Number& number : kNumbers) {
    const std::size_t length = std::strlen(number.prefix);
    if (text.compare(0, length, number.prefix) != 0) continue;
    faults.*number.member = std::strtol(text.c_str() + length, &end, 10);
    return *end == 0 && text.size() > length && faults.*number.member >= 0 &&
           faults.*number.member <= (1L << 30);
  }
  const long status = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != 0 || status < 100 || status > 599) return false;
  faults.status = static_cast<int>(status);
  return true;
}

namespace {

// ADDR:PORT, where ADDR may be a bracketed IPv6 literal. The simulator stays on the address it
// is given, loopback by default, so one must be given.
bool ParseListen(const std::string& text, std::string& address, int& port) {
  std::string parsed;
  int number = 0;
  if (!kestrel::app::ParseListenAddress(text, parsed, number) || parsed.empty()) return false;
  address = parsed;
  port = number;
  return true;
}

// LIST:FAULT, LIST being numbers and ranges such as 3,7 or 3-5,9. The fault keeps its own colons
// (delay:MS), so only the first one ends the list.
bool ParseDeviceFaults(const std::string& text, int devices, std::vector<Faults>& by_device) {
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  const std::string fault = text.substr(colon + 1);
  std::vector<int> chosen;
  std::size_t at = 0;
  while (at < colon) {
    std::size_t end = text.find(',', at);
    if (end == std::string::npos || end > colon) end = colon;
    const std::string item = text.substr(at, end - at);
    const std::size_t dash = item.find('-');
    char* stop = nullptr;
    const long first = std::strtol(item.c_str(), &stop, 10);
    if (item.empty() || stop != item.c_str() + (dash == std::string::npos ? item.size() : dash)) {
      return false;
    }
    long last = first;
    if (dash != std::string::npos) {
      last = std::strtol(item.c_str() + dash + 1, &stop, 10);
      if (dash + 1 == item.size() || *stop != 0) return false;
    }
    if (first < 1 || last < first || last > devices) return false;
    for (long k = first; k <= last; ++k) chosen.push_back(static_cast<int>(k));
    at = end + 1;
  }
  for (int k : chosen) {
    if (!ParseFault(fault, by_device[static_cast<std::size_t>(k)])) return false;
  }
  return true;
}

using kestrel::app::Check;

std::string FaultProblem(const std::string& text) {
  Faults ignored;
  return ParseFault(text, ignored) ? ""
                                   : text +
                                         " is not a status code, delay:MS, close, truncate, "
                                         "empty, bom, html, endless, drip:MS, size:BYTES or "
                                         "sensors:BYTES";
}

std::string DevicesProblem(const std::string& text) {
  char* end = nullptr;
  const long count = std::strtol(text.c_str(), &end, 10);
  return !text.empty() && *end == 0 && count >= 1 && count <= kMaxDevices
             ? ""
             : text + " is not a number of devices from 1 to " + std::to_string(kMaxDevices);
}

void AddOptions(CLI::App& app, Options& o, std::string& listen, std::vector<std::string>& faults) {
  app.add_option("--fixture", o.fixture,
                 "answer with this getData.json (default: a bundled 3W one)")
      ->type_name("FILE");
  app.add_flag("--live", o.live, "vary the readings over time");
  app.add_option("--listen", listen, "where to listen (default 127.0.0.1:8380; port 0 = any free)")
      ->type_name("ADDR:PORT")
      ->check(Check([](const std::string& text) {
        std::string address;
        int port = 0;
        return ParseListen(text, address, port) ? "" : text + " is not ADDR:PORT";
      }));
  app.add_option("--fault", faults,
                 "a status code (e.g. 404), delay:MS, close, truncate, empty, bom, html, endless "
                 "(a body without end), drip:MS (a byte every MS), size:BYTES (padded with "
                 "blanks) or sensors:BYTES (sensors up to that size); may be repeated")
      ->type_name("FAULT")
      ->check(Check(FaultProblem));
  app.add_option("--user", o.user, "require HTTP basic authentication with this user")
      ->type_name("NAME");
  app.add_option("--password", o.password, "and this password")->type_name("TEXT");
  app.add_option("--tls-cert", o.tls_cert, "serve HTTPS with this certificate (PEM)")
      ->type_name("FILE");
  app.add_option("--tls-key", o.tls_key, "and this key (PEM)")->type_name("FILE");
  app.add_option("--devices", o.devices,
                 "also serve N distinct devices, device K at "
                 "/dK/getData.json")
      ->type_name("N")
      ->check(Check(DevicesProblem));
  app.add_option("--fault-devices", o.device_faults,
                 "give those devices (e.g. 3,7 or 3-5,9) a --fault; may be repeated")
      ->type_name("LIST:FAULT");
}

}  // namespace

int ParseOptions(int argc, char** argv, Options& o) {
  CLI::App app{"A Room Alert 3W on loopback: answers GET /getData.json.", kProgram};
  app.footer("The first line on stdout names the address listened on.");
  kestrel::app::LaterValuesWin(app);
  std::string listen;
  std::vector<std::string> faults;
  AddOptions(app, o, listen, faults);
  // --fault and --fault-devices add up.
  for (const char* repeatable : {"--fault", "--fault-devices"}) {
    app.get_option(repeatable)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  }
  const int parsed = kestrel::app::ParseCommandLine(app, argc, argv);
  if (parsed >= 0) return parsed;
  if (!listen.empty()) ParseListen(listen, o.address, o.port);
  for (const std::string& fault : faults) ParseFault(fault, o.faults);
  if (o.tls_cert.empty() != o.tls_key.empty()) {
    return kestrel::app::UsageError(kProgram, "--tls-cert and --tls-key go together");
  }
  // Every device starts with the faults given to all; a group adds its own on top.
  o.faults_by_device.assign(static_cast<std::size_t>(o.devices) + 1, o.faults);
  for (const std::string& group : o.device_faults) {
    std::string why;
    if (o.devices == 0) {
      why = "needs --devices";
    } else if (!ParseDeviceFaults(group, o.devices, o.faults_by_device)) {
      why = "wants LIST:FAULT with devices 1.." + std::to_string(o.devices) +
            " (e.g. 3,7:404 or 3-5,9:delay:2000)";
    }
    if (!why.empty())
      return kestrel::app::UsageError(kProgram, "--fault-devices '" + group + "' " + why);
  }
  return -1;
}

}  // namespace roomalert_sim
