// One LoadDeviceData against the device simulator on loopback, beside its floor: a plain program
// doing the same outside work (one libcurl GET of the same document, the four files written with
// stdio, as many trace lines each appended with an exists test, open, write and close). Both write
// to one folder. The program prints the load/floor ratio at the end; the load also reports the
// heap blocks and bytes that one load allocates.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench/alloc_counter.h"
#include "common/mvn_base.h"
#include "common/xml_reader.h"
#include "netcomp/curl_transfer.h"
#include "provider/avtech_app.h"
#include "tests/support/avtech_app_access.h"
#include "tests/support/test_support.h"

namespace {

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// roomalert-sim serving one fixture on a free loopback port, for the whole program run.
class Simulator {
 public:
  // With devices > 0, that many devices under /dK/, each connection answered once and closed.
  explicit Simulator(const std::string& fixture, int devices = 0) {
    int out[2];
    if (::pipe(out) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      // One line per request on stderr would drown the benchmark's table.
      std::FILE* null = std::freopen("/dev/null", "w", stderr);
      (void)null;
      ::close(out[0]);
      const std::string count = std::to_string(devices);
      if (devices > 0) {
        ::execl(KESTREL_SIMULATOR, "roomalert-sim", "--listen", "127.0.0.1:0", "--fixture",
                fixture.c_str(), "--devices", count.c_str(), static_cast<char*>(nullptr));
      }
      ::execl(KESTREL_SIMULATOR, "roomalert-sim", "--listen", "127.0.0.1:0", "--fixture",
              fixture.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(out[1]);
    std::FILE* lines = ::fdopen(out[0], "r");
    char line[256] = {0};
    if (lines != nullptr && std::fgets(line, sizeof line, lines) != nullptr) {
      // "roomalert-sim listening on 127.0.0.1:PORT (http)"
      const char* at = std::strstr(line, "listening on ");
      if (at != nullptr) {
        address_ = at + std::strlen("listening on ");
        address_ = address_.substr(0, address_.find(' '));
      }
    }
    if (lines != nullptr) std::fclose(lines);
  }
  ~Simulator() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // ADDR:PORT, empty when the simulator did not start.
  const std::string& Address() const { return address_; }

 private:
  pid_t pid_ = -1;
  std::string address_;
};

// The simulator, the shared folder, and what one load writes there.
struct Site {
  static Site& Get() {
    static Site site;
    return site;
  }

  Simulator simulator{std::string(KESTREL_FIXTURES_DIR) + "/roomalert/3w-typical.json"};
  kestrel::testing::TempDir folder;

  void SetUp(CAVTechApp& app) const {
    app.SetTracingFile(folder.File("load-trace.txt").c_str());
    app.SetConfigWorkingFile(folder.File("load.xml").c_str());
    app.SetDataFile(folder.File("load-data.xml").c_str());
    app.SetHost(simulator.Address().c_str());
  }
};

// The load's kept speed mechanisms, each turned off in turn to measure what it gains (the
// performance page's table).
enum class Off { kNothing, kKeptReaderMemory, kWalkStart, kTimeOfDayCache, kEasyHandlePool };

class Mechanisms {
 public:
  explicit Mechanisms(Off off) {
    kestrel::xml::ReaderMemory::UseKeptMemory(off != Off::kKeptReaderMemory);
    CMvnXmlDoc::UseFastReading(off != Off::kWalkStart);
    kestrel::UseTimeOfDayCache(off != Off::kTimeOfDayCache);
    kestrel::netcomp::UseEasyHandlePool(off != Off::kEasyHandlePool);
  }
  ~Mechanisms() {
    kestrel::xml::ReaderMemory::UseKeptMemory(true);
    CMvnXmlDoc::UseFastReading(true);
    kestrel::UseTimeOfDayCache(true);
    kestrel::netcomp::UseEasyHandlePool(true);
  }
  Mechanisms(const Mechanisms&) = delete;
  Mechanisms& operator=(const Mechanisms&) = delete;
};

bool IsFileNotDirectory(const char* path) {
  struct stat info {};
  return ::stat(path, &info) == 0 && !S_ISDIR(info.st_mode);
}

void Load(benchmark::State& state, Off off) {
  const Mechanisms mechanisms(off);
  Site& site = Site::Get();
  if (site.simulator.Address().empty()) {
    state.SkipWithError("the simulator did not start");
    return;
  }
  CAVTechApp app;
  site.SetUp(app);
  // The first load creates the network component, as a host's first load does.
  if (app.LoadDeviceData() != 0) {
    state.SkipWithError("load failed");
    return;
  }
  const kestrel::bench::AllocationCount before = kestrel::bench::Allocations();
  for (auto _ : state) {
    if (app.LoadDeviceData() != 0) {
      state.SkipWithError("load failed");
      break;
    }
  }
  const kestrel::bench::AllocationCount after = kestrel::bench::Allocations();
  const auto loads = static_cast<double>(state.iterations());
  state.counters["allocs_per_load"] = static_cast<double>(after.blocks - before.blocks) / loads;
  state.counters["bytes_per_load"] = static_cast<double>(after.bytes - before.bytes) / loads;
  state.counters["reader_kept_bytes"] =
      static_cast<double>(AVTechAppTestAccess::ReaderMemoryBytes(app));
}

int OpenDescriptors() {
  int count = 0;
  if (DIR* folder = ::opendir("/proc/self/fd")) {
    while (::readdir(folder) != nullptr) ++count;
    ::closedir(folder);
  }
  return count;
}

std::size_t HeapInUse() {
#if defined(__GLIBC__)
  const struct mallinfo2 info = ::mallinfo2();
  return info.uordblks + info.hblkhd;
#else
  return 0;
#endif
}

// What a host of many devices pays for each one between its loads: descriptors and heap bytes per
// provider after one load each. The devices close their connections after each answer (the
// simulator's site mode): a device that keeps its connection open keeps that descriptor, which
// the unit tests show, and the simulator's few threads would wait on each such connection.
void IdleProviders(benchmark::State& state) {
  static const Simulator closing_site(
      std::string(KESTREL_FIXTURES_DIR) + "/roomalert/3w-typical.json", 1);
  const Site& site = Site::Get();
  if (closing_site.Address().empty()) {
    state.SkipWithError("the simulator did not start");
    return;
  }
  const std::string host = closing_site.Address() + "/d1";
  const auto count = static_cast<std::size_t>(state.range(0));
  double descriptors = 0;
  double heap = 0;
  for (auto _ : state) {
    const int descriptors_before = OpenDescriptors();
    const std::size_t heap_before = HeapInUse();
    std::vector<std::unique_ptr<CAVTechApp>> providers;
    for (std::size_t i = 0; i < count; ++i) {
      providers.push_back(std::make_unique<CAVTechApp>());
      site.SetUp(*providers.back());
      providers.back()->SetHost(host.c_str());
      if (providers.back()->LoadDeviceData() != 0) {
        state.SkipWithError("load failed");
        return;
      }
    }
    descriptors = static_cast<double>(OpenDescriptors() - descriptors_before) / count;
    heap = static_cast<double>(HeapInUse() - heap_before) / count;
  }
  state.counters["descriptors_per_provider"] = descriptors;
  state.counters["heap_bytes_per_provider"] = heap;
}

size_t AppendBody(char* data, size_t size, size_t count, void* body) {
  static_cast<std::string*>(body)->append(data, size * count);
  return size * count;
}

// The floor's outside work for one load: what a load writes, taken from a load made once, and a
// libcurl handle kept from one pass to the next as the module keeps its own.
class FloorPass {
 public:
  // Empty error() when ready.
  explicit FloorPass(const Site& site) {
    {
      kestrel::testing::TempDir scratch;
      CAVTechApp app;
      app.SetTracingFile(scratch.File("trace.txt").c_str());
      app.SetConfigWorkingFile(scratch.File("load.xml").c_str());
      app.SetDataFile(scratch.File("load-data.xml").c_str());
      app.SetHost(site.simulator.Address().c_str());
      // The lines of a load like the ones measured: not the setters' lines, nor those of the
      // first load, which creates the network component.
      const bool loaded = app.LoadDeviceData() == 0;
      const std::size_t before = ReadBytes(scratch.File("trace.txt")).size();
      if (!loaded || app.LoadDeviceData() != 0) {
        error_ = "load failed";
        return;
      }
      for (const char* name : {"load.json", "load.raw.xml", "load.xml", "load-data.xml"}) {
        files_.emplace_back(site.folder.File(std::string("floor-") + name),
                            ReadBytes(scratch.File(name)));
      }
      const std::string trace = ReadBytes(scratch.File("trace.txt"));
      for (std::size_t at = before; at < trace.size();) {
        const std::size_t end = trace.find('\n', at);
        lines_.push_back(trace.substr(at, end == std::string::npos ? end : end + 1 - at));
        at = end == std::string::npos ? trace.size() : end + 1;
      }
    }
    trace_file_ = site.folder.File("floor-trace.txt");
    url_ = "http://" + site.simulator.Address() + "/getData.json";
    curl_ = curl_easy_init();
    if (curl_ == nullptr) {
      error_ = "no libcurl handle";
      return;
    }
    curl_easy_setopt(curl_, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, AppendBody);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &body_);
    curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT, 5L);
    curl_easy_setopt(curl_, CURLOPT_TIMEOUT, 10L);
  }
  ~FloorPass() {
    if (curl_ != nullptr) curl_easy_cleanup(curl_);
  }
  FloorPass(const FloorPass&) = delete;
  FloorPass& operator=(const FloorPass&) = delete;

  const std::string& error() const { return error_; }
  std::size_t TraceLines() const { return lines_.size(); }

  bool Run() {
    body_.clear();
    long status = 0;
    if (curl_easy_perform(curl_) != CURLE_OK ||
        curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status != 200) {
      return false;
    }
    for (const auto& [path, bytes] : files_) {
      std::FILE* out = std::fopen(path.c_str(), "wb");
      if (out == nullptr) continue;
      std::fwrite(bytes.data(), 1, bytes.size(), out);
      std::fclose(out);
    }
    for (const std::string& line : lines_) {
      std::FILE* out =
          std::fopen(trace_file_.c_str(), IsFileNotDirectory(trace_file_.c_str()) ? "ab" : "wb");
      if (out == nullptr) continue;
      std::fwrite(line.data(), 1, line.size(), out);
      std::fclose(out);
    }
    return true;
  }

 private:
  std::vector<std::pair<std::string, std::string>> files_;
  std::vector<std::string> lines_;
  std::string trace_file_;
  std::string url_;
  std::string body_;
  CURL* curl_ = nullptr;
  std::string error_;
};

void LoadFloor(benchmark::State& state) {
  Site& site = Site::Get();
  if (site.simulator.Address().empty()) {
    state.SkipWithError("the simulator did not start");
    return;
  }
  FloorPass floor(site);
  if (!floor.error().empty()) {
    state.SkipWithError(floor.error().c_str());
    return;
  }
  for (auto _ : state) {
    if (!floor.Run()) {
      state.SkipWithError("GET failed");
      break;
    }
  }
  state.counters["trace_lines"] = static_cast<double>(floor.TraceLines());
}

double Median(std::vector<double>& values) {
  if (values.empty()) return 0.0;
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

// A load and a floor pass one after the other in every iteration, each timed on its own: the
// shared machine's slow and quick moments fall on both alike, where two benchmarks run one after
// the other can meet different moments.
void LoadBesideFloor(benchmark::State& state, Off off) {
  const Mechanisms mechanisms(off);
  Site& site = Site::Get();
  if (site.simulator.Address().empty()) {
    state.SkipWithError("the simulator did not start");
    return;
  }
  FloorPass floor(site);
  CAVTechApp app;
  site.SetUp(app);
  if (!floor.error().empty() || app.LoadDeviceData() != 0 || !floor.Run()) {
    state.SkipWithError("the first load or floor pass failed");
    return;
  }
  using Clock = std::chrono::steady_clock;
  std::vector<double> load_us;
  std::vector<double> floor_us;
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    const bool loaded = app.LoadDeviceData() == 0;
    const Clock::time_point middle = Clock::now();
    const bool floored = floor.Run();
    const Clock::time_point end = Clock::now();
    if (!loaded || !floored) {
      state.SkipWithError("a load or a floor pass failed");
      break;
    }
    load_us.push_back(std::chrono::duration<double, std::micro>(middle - start).count());
    floor_us.push_back(std::chrono::duration<double, std::micro>(end - middle).count());
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
  }
  const double load = Median(load_us);
  const double base = Median(floor_us);
  state.counters["load_us"] = load;
  state.counters["floor_us"] = base;
  state.counters["load_per_floor"] = base > 0.0 ? load / base : 0.0;
}

// Repetitions, so that the comparison uses medians on a machine shared with other work.
BENCHMARK_CAPTURE(Load, all, Off::kNothing)->Name("Load/3w-typical")->UseRealTime()->Repetitions(5);
BENCHMARK(LoadFloor)->Name("LoadFloor/3w-typical")->UseRealTime()->Repetitions(5);
BENCHMARK_CAPTURE(LoadBesideFloor, all, Off::kNothing)
    ->Name("LoadBesideFloor/3w-typical")
    ->UseManualTime()
    ->Repetitions(5);
// The same without one mechanism each: "Mechanism/" keeps them out of the default filter.
BENCHMARK_CAPTURE(Load, no_kept_reader_memory, Off::kKeptReaderMemory)
    ->Name("Mechanism/Load/without-kept-reader-memory")
    ->UseRealTime()
    ->Repetitions(5);
BENCHMARK_CAPTURE(Load, no_walk_start, Off::kWalkStart)
    ->Name("Mechanism/Load/walks-from-the-first-node")
    ->UseRealTime()
    ->Repetitions(5);
BENCHMARK_CAPTURE(LoadBesideFloor, no_kept_reader_memory, Off::kKeptReaderMemory)
    ->Name("Mechanism/LoadBesideFloor/without-kept-reader-memory")
    ->UseManualTime()
    ->Repetitions(5);
BENCHMARK_CAPTURE(LoadBesideFloor, no_walk_start, Off::kWalkStart)
    ->Name("Mechanism/LoadBesideFloor/walks-from-the-first-node")
    ->UseManualTime()
    ->Repetitions(5);
BENCHMARK_CAPTURE(Load, no_time_of_day_cache, Off::kTimeOfDayCache)
    ->Name("Mechanism/Load/without-time-of-day-cache")
    ->UseRealTime()
    ->Repetitions(5);
BENCHMARK_CAPTURE(LoadBesideFloor, no_time_of_day_cache, Off::kTimeOfDayCache)
    ->Name("Mechanism/LoadBesideFloor/without-time-of-day-cache")
    ->UseManualTime()
    ->Repetitions(5);
BENCHMARK_CAPTURE(Load, no_easy_handle_pool, Off::kEasyHandlePool)
    ->Name("Mechanism/Load/without-easy-handle-pool")
    ->UseRealTime()
    ->Repetitions(5);
BENCHMARK_CAPTURE(LoadBesideFloor, no_easy_handle_pool, Off::kEasyHandlePool)
    ->Name("Mechanism/LoadBesideFloor/without-easy-handle-pool")
    ->UseManualTime()
    ->Repetitions(5);
BENCHMARK(IdleProviders)
    ->Name("IdleProviders/3w-typical")
    ->ArgName("providers")
    ->Arg(1000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
