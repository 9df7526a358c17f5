// The benchmark program's main: Google Benchmark's usual output, followed by the ratios that the
// speed goals are stated in, computed from the runs of this one process.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

// Benchmarks named "<numerator>/<input>" and "<denominator>/<input>" are compared per input.
struct Comparison {
  const char* numerator;
  const char* denominator;
  // Throughput ratio (denominator's time over numerator's) or time ratio (the other way round).
  bool throughput;
  const char* heading;
};

constexpr Comparison kComparisons[] = {
    {"ConvertJsonToXml", "RapidJsonParse", true,
     "conversion throughput / RapidJSON parse throughput (CPU time; goal >= 0.5)"},
    {"Load", "LoadFloor", false, "load time / floor time (median wall time; goal <= 1.2)"},
};

// "3w-typical/repeats:5/real_time" -> "3w-typical".
std::string ShownInput(std::string input) {
  for (const char* suffix : {"/repeats:", "/real_time", "/manual_time", "/min_time:"}) {
    input = input.substr(0, input.find(suffix));
  }
  return input;
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  explicit RatioReporter(OutputOptions options) : ConsoleReporter(options) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type == Run::RT_Aggregate && !median) continue;
      std::string name = run.benchmark_name();
      if (median) name = name.substr(0, name.size() - std::string("_median").size());
      // A median, once there is one, stands for all repetitions of the benchmark.
      if (!median && medians_.count(name) != 0) continue;
      if (median) medians_[name] = true;
      const auto paired = run.counters.find("load_per_floor");
      if (paired != run.counters.end()) paired_[name] = paired->second.value;
      if (times_.count(name) == 0) order_.push_back(name);
      const double unit = benchmark::GetTimeUnitMultiplier(run.time_unit);
      times_[name] = {run.GetAdjustedRealTime() / unit, run.GetAdjustedCPUTime() / unit};
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const Comparison& comparison : kComparisons) {
      bool heading = false;
      const std::string prefix = std::string(comparison.numerator) + "/";
      for (const std::string& name : order_) {
        if (name.rfind(prefix, 0) != 0) continue;
        const Times& time = times_[name];
        const std::string input = name.substr(prefix.size());
        const auto other = times_.find(std::string(comparison.denominator) + "/" + input);
        if (other == times_.end()) continue;
        const std::string shown = ShownInput(input);
        if (!heading) std::printf("\n%s\n", comparison.heading);
        heading = true;
        const double ratio =
            comparison.throughput ? other->second.cpu / time.cpu : time.real / other->second.real;
        std::printf("  %-28s %6.2f\n", shown.c_str(), ratio);
      }
    }
    if (!paired_.empty()) {
      std::printf("\nload time / floor time, interleaved (medians per pass; goal <= 1.2)\n");
      for (const auto& [name, ratio] : paired_) {
        std::printf("  %-28s %6.2f\n", ShownInput(name.substr(name.find('/') + 1)).c_str(), ratio);
      }
    }
    std::fflush(stdout);
  }

 private:
  struct Times {
    double real;
    double cpu;
  };
  std::map<std::string, Times> times_;
  // Names in the order they ran, so the ratios come out by size.
  std::vector<std::string> order_;
  std::map<std::string, bool> medians_;
  // Ratios that one benchmark measured itself, pass beside pass.
  std::map<std::string, double> paired_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // Colours only on a terminal, so that saved output stays plain text.
  RatioReporter reporter(isatty(STDOUT_FILENO) != 0 ? benchmark::ConsoleReporter::OO_Defaults
                                                    : benchmark::ConsoleReporter::OO_Tabular);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
