// roomalert-sim: answers GET /getData.json like a Room Alert 3W, on loopback by default, with
// faults on request so the provider's failure paths can be driven end to end.
#ifndef CPPHTTPLIB_OPENSSL_SUPPORT
#define CPPHTTPLIB_OPENSSL_SUPPORT
#endif
#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern const unsigned char kBundledFixture[];
extern const std::size_t kBundledFixtureSize;

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;
constexpr int kBacklog = 4096;
// Enough for a large site; each device costs one copy of the document.
constexpr long kMaxDevices = 100000;
// Beyond this many devices, connections take turns for a worker.
constexpr std::size_t kMaxWorkers = 1024;

std::atomic<bool> g_stopping{false};

struct Faults {
  int status = 0;     // answer this status instead of the document
  long delay_ms = 0;  // wait before answering
  bool close = false;
  bool truncate = false;
  bool empty = false;
  bool bom = false;
  bool html = false;
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

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "usage: roomalert-sim [--fixture FILE] [--live] [--listen ADDR:PORT]\n"
               "                     [--fault FAULT]... [--user NAME --password TEXT]\n"
               "                     [--tls-cert FILE --tls-key FILE]\n"
               "                     [--devices N [--fault-devices LIST:FAULT]...]\n"
               "  --fixture FILE     answer with this getData.json (default: a bundled 3W one)\n"
               "  --live             vary the readings over time\n"
               "  --listen ADDR:PORT where to listen (default 127.0.0.1:8380; port 0 = any free)\n"
               "  --fault FAULT      a status code (e.g. 404), delay:MS, close, truncate, empty,\n"
               "                     bom or html; may be given more than once\n"
               "  --user/--password  require HTTP basic authentication\n"
               "  --tls-cert/--tls-key  serve HTTPS with this certificate and key (PEM)\n"
               "  --devices N        also serve N distinct devices, device K at /dK/getData.json\n"
               "  --fault-devices LIST:FAULT  give those devices (e.g. 3,7 or 3-5,9) a --fault\n"
               "The first line on stdout names the address listened on.\n");
}

bool ParseFault(const std::string& text, Faults& faults) {
  struct Flag {
    const char* name;
    bool Faults::*member;
  };
  static const Flag kFlags[] = {{"close", &Faults::close},
                                {"truncate", &Faults::truncate},
                                {"empty", &Faults::empty},
                                {"bom", &Faults::bom},
                                {"html", &Faults::html}};
  for (const Flag& flag : kFlags) {
    if (text == flag.name) {
      faults.*flag.member = true;
      return true;
    }
  }
  char* end = nullptr;
  if (text.rfind("delay:", 0) == 0) {
    faults.delay_ms = std::strtol(text.c_str() + 6, &end, 10);
    return *end == 0 && text.size() > 6 && faults.delay_ms >= 0;
  }
  const long status = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != 0 || status < 100 || status > 599) return false;
  faults.status = static_cast<int>(status);
  return true;
}

// ADDR:PORT, where ADDR may be a bracketed IPv6 literal.
bool ParseListen(const std::string& text, std::string& address, int& port) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  address = text.substr(0, colon);
  if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
    address = address.substr(1, address.size() - 2);
  }
  char* end = nullptr;
  const long value = std::strtol(text.c_str() + colon + 1, &end, 10);
  if (*end != 0 || colon + 1 == text.size() || value < 0 || value > 65535) return false;
  port = static_cast<int>(value);
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

int ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    const std::string value = has_value ? argv[i + 1] : "";
    bool ok = true;
    if (arg == "--help" || arg == "-h") {
      PrintUsage(stdout);
      return -1;
    } else if (arg == "--live") {
      o.live = true;
      continue;
    } else if (!has_value) {
      ok = false;
    } else if (arg == "--fixture") {
      o.fixture = value;
    } else if (arg == "--listen") {
      ok = ParseListen(value, o.address, o.port);
    } else if (arg == "--fault") {
      ok = ParseFault(value, o.faults);
    } else if (arg == "--user") {
      o.user = value;
    } else if (arg == "--password") {
      o.password = value;
    } else if (arg == "--tls-cert") {
      o.tls_cert = value;
    } else if (arg == "--tls-key") {
      o.tls_key = value;
    } else if (arg == "--devices") {
      char* end = nullptr;
      const long count = std::strtol(value.c_str(), &end, 10);
      ok = !value.empty() && *end == 0 && count >= 1 && count <= kMaxDevices;
      o.devices = static_cast<int>(count);
    } else if (arg == "--fault-devices") {
      o.device_faults.push_back(value);
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr, "roomalert-sim: unknown, incomplete or invalid option '%s'\n",
                   arg.c_str());
      PrintUsage(stderr);
      return kExitUsage;
    }
    ++i;
  }
  if (o.tls_cert.empty() != o.tls_key.empty()) {
    std::fprintf(stderr, "roomalert-sim: --tls-cert and --tls-key go together\n");
    return kExitUsage;
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
    if (!why.empty()) {
      std::fprintf(stderr, "roomalert-sim: --fault-devices '%s' %s\n", group.c_str(), why.c_str());
      return kExitUsage;
    }
  }
  return 0;
}

std::string Base64(const std::string& in) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    const uint32_t n = (static_cast<unsigned char>(in[i]) << 16) |
                       (static_cast<unsigned char>(in[i + 1]) << 8) |
                       static_cast<unsigned char>(in[i + 2]);
    out += kDigits[(n >> 18) & 63];
    out += kDigits[(n >> 12) & 63];
    out += kDigits[(n >> 6) & 63];
    out += kDigits[n & 63];
  }
  if (i + 1 == in.size()) {
    const uint32_t n = static_cast<unsigned char>(in[i]) << 16;
    out += kDigits[(n >> 18) & 63];
    out += kDigits[(n >> 12) & 63];
    out += "==";
  } else if (i + 2 == in.size()) {
    const uint32_t n =
        (static_cast<unsigned char>(in[i]) << 16) | (static_cast<unsigned char>(in[i + 1]) << 8);
    out += kDigits[(n >> 18) & 63];
    out += kDigits[(n >> 12) & 63];
    out += kDigits[(n >> 6) & 63];
    out += '=';
  }
  return out;
}

struct LiveReading {
  const char* key;
  double amplitude;
};

// The readings --live moves, and how far: enough to see a change, never out of range.
constexpr LiveReading kLiveReadings[] = {{"tc", 1.5},       {"tf", 2.7},  {"h", 4.0},
                                         {"hic", 1.5},      {"dpc", 0.8}, {"volts", 0.15},
                                         {"airSpeed", 25.0}};

// Moves every reading of the document by shift(reading, its occurrence counted from 1), keeping
// the number of decimal places the document gave it.
std::string ShiftReadings(const std::string& base,
                          const std::function<double(const LiveReading&, int)>& shift) {
  std::string out = base;
  int occurrence = 0;
  for (const LiveReading& reading : kLiveReadings) {
    const std::string key = std::string("\"") + reading.key + "\":";
    for (std::size_t at = out.find(key); at != std::string::npos; at = out.find(key, at + 1)) {
      std::size_t start = at + key.size();
      while (start < out.size() && (out[start] == ' ' || out[start] == '"')) ++start;
      std::size_t end = start;
      while (end < out.size() && (std::isdigit(static_cast<unsigned char>(out[end])) ||
                                  out[end] == '.' || out[end] == '-')) {
        ++end;
      }
      if (end == start) continue;
      const std::string number = out.substr(start, end - start);
      const std::size_t dot = number.find('.');
      const int places = dot == std::string::npos ? 0 : static_cast<int>(number.size() - dot - 1);
      const double value = std::strtod(number.c_str(), nullptr) + shift(reading, ++occurrence);
      char text[64];
      std::snprintf(text, sizeof text, "%.*f", places, value);
      out.replace(start, end - start, text);
    }
  }
  return out;
}

// Each reading of the document swings around its recorded value, with its own phase.
std::string LiveDocument(const std::string& base, double seconds) {
  return ShiftReadings(base, [seconds](const LiveReading& reading, int occurrence) {
    return reading.amplitude * std::sin(seconds / 60.0 * 2 * 3.14159265358979 + 0.7 * occurrence);
  });
}

// Where the first string value of "key" lies in a JSON text: [first, second); npos when the
// key is absent or its value is not a string. Space around the colon is allowed: some fixtures
// are laid out by hand.
std::pair<std::size_t, std::size_t> FindStringValue(const std::string& json, const char* key) {
  const std::string quoted = std::string("\"") + key + "\"";
  for (std::size_t at = json.find(quoted); at != std::string::npos;
       at = json.find(quoted, at + 1)) {
    std::size_t from = json.find_first_not_of(" \t\r\n", at + quoted.size());
    if (from == std::string::npos || json[from] != ':') continue;
    from = json.find_first_not_of(" \t\r\n", from + 1);
    if (from == std::string::npos || json[from] != '"') continue;
    return {from + 1, json.find('"', from + 1)};
  }
  return {std::string::npos, std::string::npos};
}

std::string StringValue(const std::string& json, const char* key) {
  const auto [from, to] = FindStringValue(json, key);
  return to == std::string::npos ? std::string() : json.substr(from, to - from);
}

void ReplaceStringValue(std::string& json, const char* key, const std::string& value) {
  const auto [from, to] = FindStringValue(json, key);
  if (to != std::string::npos) json.replace(from, to - from, value);
}

// Device K of a site: the base document under its own name, address (10.x.y.z), MAC and serial
// (the base's maker prefix with K in the low three bytes), its readings moved by a step of K so
// that neighbouring devices differ while every reading stays plausible.
std::string SiteDeviceDocument(const std::string& base, int k) {
  std::string out = ShiftReadings(base, [k](const LiveReading& reading, int) {
    return reading.amplitude * (((k - 1) % 21) - 10) / 10.0;
  });
  char low[16];
  std::snprintf(low, sizeof low, "%02X:%02X:%02X", (k >> 16) & 0xFF, (k >> 8) & 0xFF, k & 0xFF);
  std::string mac = StringValue(base, "macaddr");
  mac = mac.size() == 17 ? mac.substr(0, 8) : "00:80:A3";
  std::string serial = StringValue(base, "serial");
  serial = serial.empty() ? "RA3W" : serial.substr(0, serial.rfind('-'));
  ReplaceStringValue(out, "macaddr", mac + ":" + low);
  std::string hex = low;
  hex.erase(std::remove(hex.begin(), hex.end(), ':'), hex.end());
  ReplaceStringValue(out, "serial", serial + "-" + hex);
  ReplaceStringValue(out, "name", "Site Room " + std::to_string(k));
  ReplaceStringValue(out, "ip",
                     "10." + std::to_string((k >> 16) & 0xFF) + "." +
                         std::to_string((k >> 8) & 0xFF) + "." + std::to_string(k & 0xFF));
  return out;
}

bool ReadFile(const std::string& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// cpp-httplib gives handlers no access to the connection, so the socket is found by its peer
// address; shutting it down makes the client see a connection closed without any answer.
void DropConnection(const httplib::Request& request) {
  for (int fd = 3; fd < 4096; ++fd) {
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0) continue;
    char host[INET6_ADDRSTRLEN] = {0};
    int port = 0;
    if (peer.ss_family == AF_INET) {
      const auto* v4 = reinterpret_cast<const sockaddr_in*>(&peer);
      ::inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
      port = ntohs(v4->sin_port);
    } else if (peer.ss_family == AF_INET6) {
      const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&peer);
      ::inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
      port = ntohs(v6->sin6_port);
    }
    if (port == request.remote_port && request.remote_addr == host) {
      ::shutdown(fd, SHUT_RDWR);
      return;
    }
  }
}

void SleepUnlessStopping(long ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!g_stopping && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

class Simulator {
 public:
  Simulator(const Options& options, std::string document)
      : options_(options),
        expected_authorization_("Basic " + Base64(options.user + ":" + options.password)),
        started_(std::chrono::steady_clock::now()) {
    documents_.reserve(static_cast<std::size_t>(options.devices) + 1);
    for (int k = 1; k <= options.devices; ++k) {
      documents_.push_back(SiteDeviceDocument(document, k));
    }
    documents_.insert(documents_.begin(), std::move(document));
  }

  int devices() const { return options_.devices; }

  // device 0 is the one at /getData.json, K (1..devices) the one at /dK/getData.json.
  void Answer(const httplib::Request& request, httplib::Response& response, int device) const {
    const Faults& f =
        device == 0 ? options_.faults : options_.faults_by_device[static_cast<std::size_t>(device)];
    if (f.delay_ms > 0) SleepUnlessStopping(f.delay_ms);
    if (!options_.user.empty() &&
        request.get_header_value("Authorization") != expected_authorization_) {
      response.status = 401;
      response.set_header("WWW-Authenticate", "Basic realm=\"Room Alert\"");
      response.set_content("<html><body>401 Unauthorized</body></html>", "text/html");
      return;
    }
    if (f.close) {
      DropConnection(request);
      return;
    }
    if (f.status != 0) {
      response.status = f.status;
      response.set_content("<html><body>" + std::to_string(f.status) + "</body></html>",
                           "text/html");
      return;
    }
    std::string body = f.empty ? std::string() : Document(device);
    if (f.html) body = "<html><head><title>Room Alert 3W</title></head><body>Login</body></html>";
    if (f.bom) body.insert(0, "\xEF\xBB\xBF");
    const char* type = f.html ? "text/html" : "application/json";
    if (f.truncate) {
      // The full length is announced but only half the bytes come before the connection ends.
      auto shared = std::make_shared<std::string>(std::move(body));
      response.set_content_provider(shared->size(), type,
                                    [shared](size_t offset, size_t, httplib::DataSink& sink) {
                                      if (offset == 0 && shared->size() > 1)
                                        sink.write(shared->data(), shared->size() / 2);
                                      return false;
                                    });
      return;
    }
    response.set_content(body, type);
  }

 private:
  std::string Document(int device) const {
    const std::string& document = documents_[static_cast<std::size_t>(device)];
    if (!options_.live) return document;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    return LiveDocument(document, seconds);
  }

  const Options& options_;
  std::vector<std::string> documents_;
  std::string expected_authorization_;
  std::chrono::steady_clock::time_point started_;
};

}  // namespace

int main(int argc, char** argv) {
  Options o;
  const int parsed = ParseOptions(argc, argv, o);
  if (parsed != 0) return parsed < 0 ? 0 : parsed;

  std::string document(reinterpret_cast<const char*>(kBundledFixture), kBundledFixtureSize);
  if (!o.fixture.empty() && !ReadFile(o.fixture, document)) {
    std::fprintf(stderr, "roomalert-sim: cannot read the fixture %s\n", o.fixture.c_str());
    return kExitUsage;
  }

  // Signals are taken by one thread that stops the server; the worker threads never see them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  const bool tls = !o.tls_cert.empty();
  std::unique_ptr<httplib::Server> server;
  if (tls) {
    server = std::make_unique<httplib::SSLServer>(o.tls_cert.c_str(), o.tls_key.c_str());
  } else {
    server = std::make_unique<httplib::Server>();
  }
  if (!server->is_valid()) {
    std::fprintf(stderr, "roomalert-sim: cannot use the certificate %s with the key %s\n",
                 o.tls_cert.c_str(), o.tls_key.c_str());
    return kExitFailure;
  }
  // Headers and body leave in separate writes; with Nagle on, every reused connection would wait
  // for the client's delayed acknowledgement (about 40 ms) before the body.
  server->set_tcp_nodelay(true);
  if (o.devices > 0) {
    // A client keeps one connection per device open, and each open connection holds a worker
    // until it goes idle for the keep-alive time (5 s): a site needs a worker per device, or the
    // ninth device of a polling exporter would wait seconds for its answer.
    const std::size_t workers =
        std::min<std::size_t>(static_cast<std::size_t>(o.devices) + 8, kMaxWorkers);
    server->new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
  }
  Simulator simulator(o, document);
  server->Get("/getData.json",
              [&simulator](const httplib::Request& request, httplib::Response& response) {
                simulator.Answer(request, response, 0);
              });
  if (o.devices > 0) {
    server->Get(R"(/d([0-9]{1,9})/getData\.json)",
                [&simulator](const httplib::Request& request, httplib::Response& response) {
                  const long device = std::strtol(request.matches[1].str().c_str(), nullptr, 10);
                  if (device < 1 || device > simulator.devices()) {
                    response.status = 404;
                    return;
                  }
                  simulator.Answer(request, response, static_cast<int>(device));
                });
  }
  server->set_logger([](const httplib::Request& request, const httplib::Response& response) {
    std::fprintf(stderr, "roomalert-sim: %s %s %d\n", request.method.c_str(), request.path.c_str(),
                 response.status);
  });

  // cpp-httplib also sets SO_REUSEPORT, which lets a second simulator share a port that another
  // process holds: requests would then go to either one. Address reuse alone still allows a quick
  // restart on a port whose old connections linger in TIME_WAIT.
  // The library listens with a backlog of 5, fixed when it was compiled: a burst of connections
  // would wait for SYN retries. The socket is kept here and listened on again with a real
  // backlog (Linux takes a second listen() as a new backlog).
  socket_t listening = INVALID_SOCKET;
  server->set_socket_options([&listening](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    listening = sock;
  });
  int port = o.port;
  errno = 0;
  if (port == 0) {
    port = server->bind_to_any_port(o.address);
  } else if (!server->bind_to_port(o.address, port)) {
    port = -1;
  }
  if (port <= 0) {
    const int bind_errno = errno;
    if (bind_errno == EADDRINUSE) {
      std::fprintf(stderr,
                   "roomalert-sim: port %d on %s is already in use by another process; stop it "
                   "or choose another port with --listen\n",
                   o.port, o.address.c_str());
      return kExitUsage;
    }
    std::fprintf(stderr, "roomalert-sim: cannot listen on %s:%d%s%s\n", o.address.c_str(), o.port,
                 bind_errno != 0 ? ": " : "", bind_errno != 0 ? std::strerror(bind_errno) : "");
    return kExitFailure;
  }
  if (::listen(listening, kBacklog) != 0) {
    std::fprintf(stderr, "roomalert-sim: cannot listen on %s:%d: %s\n", o.address.c_str(), port,
                 std::strerror(errno));
    return kExitFailure;
  }
  const bool v6 = o.address.find(':') != std::string::npos;
  std::printf("roomalert-sim listening on %s%s%s:%d (%s)\n", v6 ? "[" : "", o.address.c_str(),
              v6 ? "]" : "", port, tls ? "https" : "http");
  std::fflush(stdout);

  std::thread waiter([&] {
    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    g_stopping = true;
    server->stop();
  });
  const bool listened = server->listen_after_bind();
  if (!g_stopping) {
    // The server ended on its own: release the waiting thread.
    pthread_kill(waiter.native_handle(), SIGTERM);
  }
  waiter.join();
  std::fprintf(stderr, "roomalert-sim: stopped\n");
  return listened || g_stopping ? 0 : kExitFailure;
}
