// kestrel-exporter as Prometheus uses it: many concurrent /probe requests over kept-alive
// connections, each loading one device through the module from one simulated site on loopback.
// The site is one `roomalert-sim --devices N`.
//
//   BM_ProbeThroughput/N      probes per second over N devices (items_per_second)
//   BM_ProbeLatencyWithHangs  1,000 devices, every tenth answers only after the probe's
//                             time-out; 100 probes of those stay open while 16 clients probe
//                             the healthy ones: p50/p99 of the healthy probes, in ms
//   BM_ProbeCost/N            the exporter's CPU per probe over N devices, against the CPU of
//                             the module's own load of the same device in this process
//                             (cpu_per_probe_ms, load_cpu_ms, probe_per_load)
//   BM_DevicesAtRest/N        an exporter of N devices, each probed once, then at rest: resident
//                             memory and descriptors per device beyond an exporter of none
//   BM_ReadBack               what a probe adds to a load in the exporter's process: the view read
//                             back from one load's files and the metrics text made of it
//
// KESTREL_BENCH_BINARY_DIR runs another build's exporter and simulator (a figure from before a
// change); TMPDIR=/dev/shm keeps ext4's flush on rewriting a file out of every figure.
#ifndef CPPHTTPLIB_OPENSSL_SUPPORT
#define CPPHTTPLIB_OPENSSL_SUPPORT
#endif
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/session.h"
#include "programs/kestrel-exporter/metrics.h"
#include "provider/avtech_app.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string Program(const char* name) {
  const char* other = std::getenv("KESTREL_BENCH_BINARY_DIR");
  return std::string(other != nullptr ? other : KESTREL_BINARY_DIR) + "/" + name;
}

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
    std::vector<std::string> sim = {Program("roomalert-sim"), "--listen", "127.0.0.1:0",
                                    "--devices", std::to_string(devices)};
    if (!slow_list.empty()) {
      sim.push_back("--fault-devices");
      sim.push_back(slow_list + ":delay:" + std::to_string(kHang.count()));
    }
    // An exporter of no devices needs no site: what it holds is what every device adds to.
    if (devices > 0 && !simulator_.Start(sim, false)) return;
    const std::string& site = simulator_.address;
    const std::string port = site.substr(site.rfind(':') + 1);
    std::ofstream config(folder_ / "exporter.yml");
    // Every probe a load of its own (min_interval 0): a probe answered from the last load would
    // measure the exporter without the module.
    config << "listen: 127.0.0.1:0\ndefaults: {timeout: 10s, min_interval: 0}\ndevices:"
           << (devices > 0 ? "\n" : " []\n");
    for (int k = 1; k <= devices; ++k) {
      config << "  - {name: room-" << k << ", host: \"d" << k << ".localhost:" << port << "\"}\n";
    }
    config.close();
    std::vector<std::string> exporter = {Program("kestrel-exporter"), "--config",
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
  pid_t ExporterPid() const { return exporter_.pid; }
  // The port the simulated site listens on.
  std::string SitePort() const {
    return simulator_.address.substr(simulator_.address.rfind(':') + 1);
  }

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

namespace {

constexpr int kCostClients = 4;

// What the kernel tells of a process.
struct ProcessFigures {
  double cpu_seconds = 0;  // user and system
  double rss_bytes = 0;
  int descriptors = 0;
};

ProcessFigures Figures(pid_t pid) {
  ProcessFigures figures;
  const std::string proc = "/proc/" + std::to_string(pid);
  std::ifstream stat(proc + "/stat");
  const std::string line((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // Fields after the command's closing parenthesis, the state (field 3) first.
  std::size_t at = line.rfind(')');
  std::vector<double> fields;
  for (at = at == std::string::npos ? line.size() : at + 2; at < line.size();) {
    const std::size_t blank = std::min(line.find(' ', at), line.size());
    fields.push_back(std::strtod(line.substr(at, blank - at).c_str(), nullptr));
    at = blank + 1;
  }
  const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
  if (fields.size() > 12) figures.cpu_seconds = (fields[11] + fields[12]) / ticks;
  if (fields.size() > 21) {
    figures.rss_bytes = fields[21] * static_cast<double>(::sysconf(_SC_PAGESIZE));
  }
  std::error_code ignored;
  for (auto it = fs::directory_iterator(proc + "/fd", ignored); it != fs::directory_iterator();
       it.increment(ignored)) {
    ++figures.descriptors;
  }
  return figures;
}

double ThreadCpuSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The module's own loads of the site's devices, in this process and in folders of TMPDIR as the
// exporter's, on as many threads at once as the probes run: CPU per load, in ms; negative when a
// load failed. Each thread keeps a provider for each of its share of devices and loads them in
// turn, as the exporter's probes reach them; with devices equal to threads each thread loads one
// device again and again, its memory and connection always warm (the figure taken before).
double ModuleLoadCpuMs(const std::string& site_port, int threads, int devices, int loads_each) {
  std::vector<double> cpu(static_cast<std::size_t>(threads), -1);
  std::vector<std::thread> running;
  for (int t = 0; t < threads; ++t) {
    running.emplace_back([&, t] {
      kestrel::testing::TempDir folder;
      std::vector<std::unique_ptr<CAVTechApp>> apps;
      for (int device = t + 1; device <= devices; device += threads) {
        const std::string name = std::to_string(device);
        auto app = std::make_unique<CAVTechApp>();
        app->SetTracingFile(folder.File("trace-" + name + ".log").c_str());
        app->SetConfigWorkingFile(folder.File("device-" + name + ".xml").c_str());
        app->SetDataFile(folder.File("device-data-" + name + ".xml").c_str());
        app->SetHost(("d" + name + ".localhost:" + site_port).c_str());
        // The first load makes the network component, as a provider's first in the exporter does.
        if (app->LoadDeviceData() != 0) return;
        apps.push_back(std::move(app));
      }
      const double start = ThreadCpuSeconds();
      for (int n = 0; n < loads_each; ++n) {
        if (apps[static_cast<std::size_t>(n) % apps.size()]->LoadDeviceData() != 0) return;
      }
      cpu[static_cast<std::size_t>(t)] = ThreadCpuSeconds() - start;
    });
  }
  for (auto& thread : running) thread.join();
  double total = 0;
  for (const double seconds : cpu) {
    if (seconds < 0) return -1;
    total += seconds;
  }
  return total * 1000.0 / (threads * loads_each);
}

void BM_ProbeCost(benchmark::State& state) {
  const int devices = static_cast<int>(state.range(0));
  Setup setup(devices, 0);
  if (!setup.ok()) {
    state.SkipWithError("the exporter did not start");
    return;
  }
  ProbeAll(setup.Exporter(), devices, std::max(devices, kClients), 0);  // every provider made
  const int batch = 2000;
  int offset = 0;
  int64_t failed = 0;
  double cpu = 0;
  for (auto _ : state) {
    const ProcessFigures before = Figures(setup.ExporterPid());
    const auto samples = ProbeAll(setup.Exporter(), kCostClients, batch,
                                  [&](int n) { return (n + offset) % devices + 1; });
    cpu += Figures(setup.ExporterPid()).cpu_seconds - before.cpu_seconds;
    for (const Sample& sample : samples) failed += sample.ms < 0 ? 1 : 0;
    offset += batch;
  }
  const double per_probe_ms = cpu * 1000.0 / static_cast<double>(state.iterations() * batch);
  const double load_ms = ModuleLoadCpuMs(setup.SitePort(), kCostClients, devices, 500);
  const double warm_load_ms = ModuleLoadCpuMs(setup.SitePort(), kCostClients, kCostClients, 500);
  state.counters["cpu_per_probe_ms"] = per_probe_ms;
  state.counters["load_cpu_ms"] = load_ms;
  state.counters["probe_per_load"] = load_ms > 0 ? per_probe_ms / load_ms : 0;
  state.counters["warm_load_cpu_ms"] = warm_load_ms;
  state.counters["probe_per_warm_load"] = warm_load_ms > 0 ? per_probe_ms / warm_load_ms : 0;
  state.counters["failed"] = static_cast<double>(failed);
}
BENCHMARK(BM_ProbeCost)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// Waits until the process has used no CPU for a while (its loads and their clean-up are over).
void UntilIdle(pid_t pid) {
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  double last = Figures(pid).cpu_seconds;
  while (Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double now = Figures(pid).cpu_seconds;
    if (now - last < 0.02) return;
    last = now;
  }
}

void BM_DevicesAtRest(benchmark::State& state) {
  const int devices = static_cast<int>(state.range(0));
  ProcessFigures empty;
  {
    Setup none(0, 0);
    if (!none.ok()) {
      state.SkipWithError("the exporter of no devices did not start");
      return;
    }
    UntilIdle(none.ExporterPid());
    empty = Figures(none.ExporterPid());
  }
  Setup setup(devices, 0);
  if (!setup.ok()) {
    state.SkipWithError("the exporter did not start");
    return;
  }
  int64_t failed = 0;
  ProcessFigures at_rest;
  for (auto _ : state) {
    for (const Sample& sample : ProbeAll(setup.Exporter(), devices, devices, 0)) {
      failed += sample.ms < 0 ? 1 : 0;
    }
    UntilIdle(setup.ExporterPid());
    at_rest = Figures(setup.ExporterPid());
  }
  state.counters["rss_per_device_kb"] = (at_rest.rss_bytes - empty.rss_bytes) / 1024.0 / devices;
  state.counters["fds_per_device"] =
      static_cast<double>(at_rest.descriptors - empty.descriptors) / devices;
  state.counters["failed"] = static_cast<double>(failed);
}
BENCHMARK(BM_DevicesAtRest)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

// The files of one load of the bundled 3W document, read back and made into the probe's answer.
void BM_ReadBack(benchmark::State& state) {
  const std::string folder = std::string(KESTREL_FIXTURES_DIR) + "/exporter/3w-typical";
  kestrel::exporter::LoadResult load;
  load.finished = true;
  load.result = 0;
  std::size_t bytes = 0;
  for (auto _ : state) {
    kestrel::host::LoadView view;
    view.files.config = folder + "/device.xml";
    if (!kestrel::host::ReadLoadView(view)) {
      state.SkipWithError(view.read_error.c_str());
      return;
    }
    load.device = std::move(view.device);
    kestrel::exporter::MetricSet set;
    kestrel::exporter::AddDeviceMetrics(set, "room-1", {{"site", "hq"}}, load);
    bytes += set.Text().size();
  }
  benchmark::DoNotOptimize(bytes);
}
BENCHMARK(BM_ReadBack)->Unit(benchmark::kMicrosecond);

}  // namespace
