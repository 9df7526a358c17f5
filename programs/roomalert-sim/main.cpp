// roomalert-sim: answers GET /getData.json like a Room Alert 3W, on loopback by default, with
// faults on request so the provider's failure paths can be driven end to end.
#ifndef CPPHTTPLIB_OPENSSL_SUPPORT
#define CPPHTTPLIB_OPENSSL_SUPPORT
#endif
#include <httplib.h>
#include <strings.h>
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
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/exit_codes.h"
#include "app/files.h"
#include "app/log.h"
#include "app/signals.h"
#include "programs/roomalert-sim/sim_options.h"

extern const unsigned char kBundledFixture[];
extern const std::size_t kBundledFixtureSize;

namespace {

using kestrel::app::kExitFailure;
using kestrel::app::kExitUsage;
using roomalert_sim::Faults;
using roomalert_sim::Options;

constexpr int kBacklog = 4096;
// Beyond this many devices, connections take turns for a worker.
constexpr std::size_t kMaxWorkers = 1024;

std::atomic<bool> g_stopping{false};

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

// Device K of a site is also dK.localhost[:PORT]/getData.json, for clients that take only
// host[:port] (libcurl resolves every *.localhost name to loopback itself); 0 for any other host.
int SiteDeviceOfHost(const std::string& host) {
  const std::string suffix = ".localhost";
  const std::string name = host.substr(0, host.find(':'));
  if (name.size() <= suffix.size() + 1 || (name[0] != 'd' && name[0] != 'D') ||
      strcasecmp(name.c_str() + name.size() - suffix.size(), suffix.c_str()) != 0) {
    return 0;
  }
  const std::string digits = name.substr(1, name.size() - suffix.size() - 1);
  if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
  return std::atoi(digits.c_str());
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
        started_(std::chrono::steady_clock::now()),
        loads_(static_cast<std::size_t>(options.devices) + 1) {
    documents_.reserve(static_cast<std::size_t>(options.devices) + 1);
    for (int k = 1; k <= options.devices; ++k) {
      documents_.push_back(SiteDeviceDocument(document, k));
    }
    documents_.insert(documents_.begin(), std::move(document));
  }

  int devices() const { return options_.devices; }

  // {"loads": all, "devices": [device 0, 1, ...]}: how often each document was asked for, so a
  // test can tell how hard its clients worked a device.
  std::string Statistics() const {
    uint64_t all = 0;
    std::string each;
    for (const auto& count : loads_) {
      all += count;
      each += (each.empty() ? "" : ",") + std::to_string(count.load());
    }
    return "{\"loads\":" + std::to_string(all) + ",\"devices\":[" + each + "]}\n";
  }

  // device 0 is the one at /getData.json, K (1..devices) the one at /dK/getData.json.
  void Answer(const httplib::Request& request, httplib::Response& response, int device) const {
    ++loads_[static_cast<std::size_t>(device)];
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
    if (f.sensor_bytes > 0) RepeatFirstSensor(body, static_cast<std::size_t>(f.sensor_bytes));
    if (static_cast<long>(body.size()) < f.size) body.append(f.size - body.size(), ' ');
    const char* type = f.html ? "text/html" : "application/json";
    if (f.endless || f.drip_ms > 0) {
      Stream(response, std::move(body), type, f);
      return;
    }
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
  // A hostile device: a sensor list as long as a large document allows.
  static void RepeatFirstSensor(std::string& json, std::size_t bytes) {
    const std::size_t list = json.find("\"sensor\":[{");
    if (list == std::string::npos) return;
    const std::size_t first = list + 10;
    const std::size_t last = json.find('}', first);
    const std::string item = json.substr(first, last + 1 - first) + ",";
    std::string items;
    while (json.size() + items.size() + item.size() <= bytes) items += item;
    json.insert(first, items);
  }

  // Endless: blanks after the document for as long as the client reads. Drip: the document one
  // byte at a time.
  static void Stream(httplib::Response& response, std::string body, const char* type,
                     const Faults& f) {
    auto shared = std::make_shared<std::string>(std::move(body));
    const long drip_ms = f.drip_ms;
    if (f.endless) {
      response.set_chunked_content_provider(type, [shared](size_t offset, httplib::DataSink& sink) {
        static const std::string kBlanks(64 * 1024, ' ');
        if (g_stopping) return false;
        if (offset == 0) return sink.write(shared->data(), shared->size());
        return sink.write(kBlanks.data(), kBlanks.size());
      });
      return;
    }
    response.set_content_provider(
        shared->size(), type, [shared, drip_ms](size_t offset, size_t, httplib::DataSink& sink) {
          SleepUnlessStopping(drip_ms);
          return !g_stopping && sink.write(shared->data() + offset, 1);
        });
  }

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
  mutable std::vector<std::atomic<uint64_t>> loads_;  // requests for each device's document
};

// The server for o, TLS or not, tuned for a site; null (with the reason said) when the
// certificate cannot serve.
std::unique_ptr<httplib::Server> MakeServer(const Options& o, kestrel::app::Log& log) {
  std::unique_ptr<httplib::Server> server;
  if (!o.tls_cert.empty()) {
    server = std::make_unique<httplib::SSLServer>(o.tls_cert.c_str(), o.tls_key.c_str());
  } else {
    server = std::make_unique<httplib::Server>();
  }
  if (!server->is_valid()) {
    log.Line("cannot use the certificate " + o.tls_cert + " with the key " + o.tls_key);
    return nullptr;
  }
  // Headers and body leave in separate writes; with Nagle on, every reused connection would wait
  // for the client's delayed acknowledgement (about 40 ms) before the body.
  server->set_tcp_nodelay(true);
  if (o.devices > 0) {
    // A slow device's answer holds a worker for its whole delay, so a site keeps a worker per
    // device, or the ninth device of a polling exporter would wait seconds for its answer.
    const std::size_t workers =
        std::min<std::size_t>(static_cast<std::size_t>(o.devices) + 8, kMaxWorkers);
    server->new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
    // The library's idle keep-alive connection polls every 10 ms (fixed when it was compiled):
    // with 1,000 devices' connections kept open, those wake-ups alone took both cores and capped
    // an exporter at 211 probes/s. A site answers each connection once and closes it.
    server->set_keep_alive_max_count(1);
  }
  server->set_logger([&log](const httplib::Request& request, const httplib::Response& response) {
    log.Line(request.method + " " + request.path + " " + std::to_string(response.status));
  });
  return server;
}

void AddRoutes(httplib::Server& server, Simulator& simulator, bool site) {
  server.Get("/getData.json",
             [&simulator](const httplib::Request& request, httplib::Response& response) {
               const int device = SiteDeviceOfHost(request.get_header_value("Host"));
               if (device > simulator.devices()) {
                 response.status = 404;
                 return;
               }
               simulator.Answer(request, response, device);
             });
  server.Get("/stats", [&simulator](const httplib::Request&, httplib::Response& response) {
    response.set_content(simulator.Statistics(), "application/json");
  });
  if (!site) return;
  server.Get(R"(/d([0-9]{1,9})/getData\.json)",
             [&simulator](const httplib::Request& request, httplib::Response& response) {
               const long device = std::strtol(request.matches[1].str().c_str(), nullptr, 10);
               if (device < 1 || device > simulator.devices()) {
                 response.status = 404;
                 return;
               }
               simulator.Answer(request, response, static_cast<int>(device));
             });
}

// Binds and listens as o says; the port and the listening socket, or the exit status (negated)
// when it cannot.
int Bind(httplib::Server& server, const Options& o, kestrel::app::Log& log, int& listening) {
  // cpp-httplib also sets SO_REUSEPORT, which lets a second simulator share a port that another
  // process holds: requests would then go to either one. Address reuse alone still allows a quick
  // restart on a port whose old connections linger in TIME_WAIT.
  // The library listens with a backlog of 5, fixed when it was compiled: a burst of connections
  // would wait for SYN retries. The socket is kept here and listened on again with a real
  // backlog (Linux takes a second listen() as a new backlog).
  listening = INVALID_SOCKET;
  server.set_socket_options([&listening](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    listening = sock;
  });
  int port = o.port;
  errno = 0;
  if (port == 0) {
    port = server.bind_to_any_port(o.address);
  } else if (!server.bind_to_port(o.address, port)) {
    port = -1;
  }
  if (port <= 0) {
    const int bind_errno = errno;
    const std::string where = o.address + ":" + std::to_string(o.port);
    if (bind_errno == EADDRINUSE) {
      log.Line("port " + std::to_string(o.port) + " on " + o.address +
               " is already in use by another process; stop it or choose another port with "
               "--listen");
      return -kExitUsage;
    }
    log.Line("cannot listen on " + where +
             (bind_errno != 0 ? std::string(": ") + std::strerror(bind_errno) : ""));
    return -kExitFailure;
  }
  if (::listen(listening, kBacklog) != 0) {
    log.Line("cannot listen on " + o.address + ":" + std::to_string(port) + ": " +
             std::strerror(errno));
    return -kExitFailure;
  }
  return port;
}

// Serves until SIGINT or SIGTERM, or until the server ends on its own. A stop can come before the
// library's accept loop runs, and its stop() does nothing then: the loop would start afterwards
// and serve for ever. Shutting the listening socket down ends the loop whenever it runs, also
// before it starts; stop() as well, once it runs, also ends the kept-alive connections.
int Serve(httplib::Server& server, int listening, kestrel::app::Log& log) {
  // A descriptor of our own for the socket: shutdown acts on the socket, and this descriptor is
  // never closed (and its number never reused) while the signal thread may use it.
  const int ours = ::dup(listening);
  auto stop = [&server, ours](int, int) {
    g_stopping = true;
    if (server.is_running()) server.stop();
    ::shutdown(ours, SHUT_RDWR);
  };
  bool listened = false;
  {
    kestrel::app::SignalThread signals(kestrel::app::Signals::kStop, {stop, {}});
    listened = server.listen_after_bind();
  }
  if (ours >= 0) ::close(ours);
  log.Line("stopped");
  return listened || g_stopping ? 0 : kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
  kestrel::app::BlockSignals(kestrel::app::Signals::kStop);
  kestrel::app::IgnoreBrokenPipes();
  Options o;
  const int parsed = roomalert_sim::ParseOptions(argc, argv, o);
  if (parsed >= 0) return parsed;
  kestrel::app::Log log(roomalert_sim::kProgram);

  std::string document(reinterpret_cast<const char*>(kBundledFixture), kBundledFixtureSize);
  std::string why;
  if (!o.fixture.empty() && !kestrel::app::ReadWholeFile(o.fixture, document, why)) {
    log.Line("cannot read the fixture " + o.fixture + ": " + why);
    return kExitUsage;
  }
  const std::unique_ptr<httplib::Server> server = MakeServer(o, log);
  if (server == nullptr) return kExitFailure;
  Simulator simulator(o, document);
  AddRoutes(*server, simulator, o.devices > 0);
  int listening = -1;
  const int port = Bind(*server, o, log, listening);
  if (port < 0) return -port;
  const bool v6 = o.address.find(':') != std::string::npos;
  std::printf("roomalert-sim listening on %s%s%s:%d (%s)\n", v6 ? "[" : "", o.address.c_str(),
              v6 ? "]" : "", port, o.tls_cert.empty() ? "http" : "https");
  std::fflush(stdout);
  return Serve(*server, listening, log);
}
