// kestrel-exporter as Prometheus uses it: many concurrent /probe requests over kept-alive
// connections, each loading one device through the module from one simulated site on loopback.
// The site is one `roomalert-sim --devices N`.
//
//   BM_ProbeThroughput/N      probes per second over N devices (items_per_second)
//   BM_ProbeLatencyWithHangs  1,000 devices, every tenth answers only after the probe's
//                             time-out; 100 probes of those stay open while 16 clients probe
//                             the healthy ones: p50/p99 of the healthy probes, in ms
#ifndef CPPHTTPLIB_OPENSSL_SUPPORT
#define CPPHTTPLIB_OPENSSL_SUPPORT
#endif
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kClients = 32;
constexpr auto kHang = std::chrono::milliseconds(3000);  // past the probe's wait below
constexpr const char* kScrapeTimeout = "1";              // the exporter waits 0.5 s of it

// A child process whose first line on a pipe (stdout or stderr) holds "listening on".
struct Child {
  pid_t pid = -1;
  std::string address;

  bool Start(std::vector<std::string> args, bool from_stderr) {
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) return false;
    pid = ::fork();
    if (pid == 0) {
      ::dup2(pipe_fds[1], from_stderr ? 2 : 1);
      const int nothing = ::open("/dev/null", O_WRONLY);
      ::dup2(nothing, from_stderr ? 1 : 2);
      ::close(pipe_fds[0]);
      std::vector<char*> argv;
      for (auto& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(pipe_fds[1]);
    std::string text;
    char c;
    while (text.find("listening on") == std::string::npos ||
           text.find('\n', text.find("listening on")) == std::string::npos) {
      if (::read(pipe_fds[0], &c, 1) != 1) break;
      text += c;
    }
    // The rest of the output is not read: keep the pipe from filling by handing it to a drain.
    std::thread([fd = pipe_fds[0]] {
      char buffer[4096];
      while (::read(fd, buffer, sizeof buffer) > 0) {
      }
      ::close(fd);
    }).detach();
    const std::size_t at = text.find("listening on ");
    if (at == std::string::npos) return false;
    address = text.substr(at + 13);
    address = address.substr(0, address.find_first_of(" \n"));
    return true;
  }

  void Stop() {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    pid = -1;
  }
};

// A site, an exporter configured for all its devices, and nothing else running.
class Setup {
 public:
  Setup(int devices, int slow_every)
      : folder_(fs::temp_directory_path() / "kestrel-exporter-bench") {
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    std::string slow_list;
    for (int k = 1; slow_every > 0 && k <= devices; ++k) {
      if (k % slow_every != 0) continue;
      slow_list += (slow_list.empty() ? "" : ",") + std::to_string(k);
    }
    std::vector<std::string> sim = {KESTREL_BINARY_DIR "/roomalert-sim", "--listen", "127.0.0.1:0",
                                    "--devices", std::to_string(devices)};
    if (!slow_list.empty()) {
      sim.push_back("--fault-devices");
      sim.push_back(slow_list + ":delay:" + std::to_string(kHang.count()));
    }
    if (!simulator_.Start(sim, false)) return;
    const std::string& site = simulator_.address;
    const std::string port = site.substr(site.rfind(':') + 1);
    std::ofstream config(folder_ / "exporter.yml");
    config << "listen: 127.0.0.1:0\ndefaults: {timeout: 10s}\ndevices:\n";
    for (int k = 1; k <= devices; ++k) {
      config << "  - {name: room-" << k << ", host: \"d" << k << ".localhost:" << port << "\"}\n";
    }
    config.close();
    std::vector<std::string> exporter = {KESTREL_BINARY_DIR "/kestrel-exporter", "--config",
                                         (folder_ / "exporter.yml").string(), "--state-dir",
                                         (folder_ / "state").string()};
    // The service's layout: traces in the state folder (TMPDIR), documents on a tmpfs of their own.
    if (const char* documents = std::getenv("KESTREL_BENCH_DOCUMENTS_DIR")) {
      documents_ = fs::path(documents) / "kestrel-exporter-bench";
      fs::remove_all(documents_);
      exporter.insert(exporter.end(), {"--documents-dir", documents_.string()});
    }
    ok_ = exporter_.Start(exporter, true);
  }
  ~Setup() {
    exporter_.Stop();
    simulator_.Stop();
    fs::remove_all(folder_);
    if (!documents_.empty()) fs::remove_all(documents_);
  }
  bool ok() const { return ok_; }
  const std::string& Exporter() const { return exporter_.address; }

 private:
  fs::path folder_;
  fs::path documents_;
  Child simulator_;
  Child exporter_;
  bool ok_ = false;
};

struct Client {
  explicit Client(const std::string& address)
      : http(address.substr(0, address.rfind(':')),
             std::stoi(address.substr(address.rfind(':') + 1))) {
    http.set_keep_alive(true);
    http.set_tcp_nodelay(true);
    http.set_read_timeout(30, 0);
  }
  // Milliseconds the probe took, negative when it failed.
  double Probe(int device) {
    const auto started = Clock::now();
    const auto result = http.Get(("/probe?target=room-" + std::to_string(device)).c_str(),
                                 {{"X-Prometheus-Scrape-Timeout-Seconds", kScrapeTimeout}});
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
    return result && result->status == 200 ? ms : -1;
  }
  httplib::Client http;
};

struct Sample {
  int device;
  double ms;  // negative: the probe failed
};

// clients threads share probes number 0 .. count - 1, of device pick(n) each.
template <typename Pick>
std::vector<Sample> ProbeAll(const std::string& exporter, int clients, int count, Pick pick) {
  std::vector<std::vector<Sample>> per_client(clients);
  std::vector<std::thread> threads;
  std::atomic<int> next{0};
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      Client client(exporter);
      for (int n = next++; n < count; n = next++) {
        const int device = pick(n);
        per_client[c].push_back({device, client.Probe(device)});
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::vector<Sample> all;
  for (const auto& samples : per_client) all.insert(all.end(), samples.begin(), samples.end());
  return all;
}

std::vector<Sample> ProbeAll(const std::string& exporter, int devices, int count, int offset) {
  return ProbeAll(exporter, kClients, count, [&](int n) { return (n + offset) % devices + 1; });
}

void BM_ProbeThroughput(benchmark::State& state) {
  const int devices = static_cast<int>(state.range(0));
  Setup setup(devices, 0);
  if (!setup.ok()) {
    state.SkipWithError("the exporter did not start");
    return;
  }
  ProbeAll(setup.Exporter(), devices, std::max(devices, kClients), 0);  // every provider made
  const int batch = std::max(2000, devices);
  int offset = 0;
  int64_t failed = 0;
  for (auto _ : state) {
    for (const Sample& sample : ProbeAll(setup.Exporter(), devices, batch, offset)) {
      failed += sample.ms < 0 ? 1 : 0;
    }
    offset += batch;
  }
  state.SetItemsProcessed(state.iterations() * batch);
  state.counters["failed"] = static_cast<double>(failed);
}
BENCHMARK(BM_ProbeThroughput)
    ->Arg(1)
    ->Arg(10)
    ->Arg(100)
    ->Arg(1000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

void BM_ProbeLatencyWithHangs(benchmark::State& state) {
  constexpr int kDevices = 1000;
  constexpr int kSlowEvery = 10;
  constexpr int kHangingProbes = 100;
  constexpr int kHealthyClients = 16;
  constexpr int kHealthyProbes = 4000;
  Setup setup(kDevices, kSlowEvery);
  if (!setup.ok()) {
    state.SkipWithError("the exporter did not start");
    return;
  }
  // Each of these keeps one probe of a hanging device open, the next as soon as one answers.
  std::atomic<bool> stopping{false};
  std::vector<std::thread> hanging;
  for (int h = 0; h < kHangingProbes; ++h) {
    hanging.emplace_back([&, h] {
      Client client(setup.Exporter());
      for (int n = h; !stopping; n += kHangingProbes) {
        client.Probe((n % (kDevices / kSlowEvery) + 1) * kSlowEvery);
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const auto healthy_device = [](int n) { return n + n / (kSlowEvery - 1) + 1; };
  std::vector<double> healthy;
  int64_t failed = 0;
  int offset = 0;
  for (auto _ : state) {
    const auto samples = ProbeAll(setup.Exporter(), kHealthyClients, kHealthyProbes, [&](int n) {
      return healthy_device((n + offset) % (kDevices - kDevices / kSlowEvery));
    });
    for (const Sample& sample : samples) {
      if (sample.ms < 0) ++failed;
      if (sample.ms >= 0) healthy.push_back(sample.ms);
    }
    offset += kHealthyProbes;
  }
  stopping = true;
  for (auto& thread : hanging) thread.join();
  if (healthy.empty()) {
    state.SkipWithError("no healthy probe answered");
    return;
  }
  std::sort(healthy.begin(), healthy.end());
  state.counters["healthy_probes"] = static_cast<double>(healthy.size());
  state.counters["healthy_failed"] = static_cast<double>(failed);
  state.counters["p50_ms"] = healthy[healthy.size() / 2];
  state.counters["p99_ms"] = healthy[healthy.size() * 99 / 100];
}
BENCHMARK(BM_ProbeLatencyWithHangs)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

}  // namespace
