#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "tools/kestrel-exporter/exporter.h"

namespace {

using namespace kestrel::exporter;
namespace fs = std::filesystem;

TEST(ProbeQueryTest, TakesExactlyOneTarget) {
  const struct {
    const char* query;
    const char* target;  // null: refused
  } kCases[] = {
      {"target=room-1", "room-1"},
      {"module=x&target=10.0.0.1%3A8080%2Fd3", "10.0.0.1:8080/d3"},
      {"target=a+b", "a b"},
      {"&&target=a&", "a"},
      {"", nullptr},
      {"target=", nullptr},
      {"target", nullptr},
      {"target=a&target=b", nullptr},
      {"target=%4", nullptr},
      {"target=%zz", nullptr},
      {"t%61rget=a", "a"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.query);
    std::string target;
    std::string error;
    const bool ok = ParseProbeQuery(c.query, target, error);
    EXPECT_EQ(ok, c.target != nullptr);
    EXPECT_EQ(ok              ? target
              : error.empty() ? "no reason"
                              : "refused",
              c.target != nullptr ? c.target : "refused");
  }
}

TEST(ProbeQueryTest, WaitFollowsThePrometheusTimeoutCappedByTheConfiguredOne) {
  const struct {
    const char* header;
    double configured;
    double wait;
  } kCases[] = {
      {"", 10, 10},     {"10", 10, 9.5}, {"15.5", 10, 10}, {"3", 10, 2.5},
      {"0.8", 10, 0.4}, {"abc", 7, 7},   {"-1", 7, 7},     {"nan", 7, 7},
  };
  for (const auto& c : kCases) {
    EXPECT_DOUBLE_EQ(ProbeWaitSeconds(c.header, c.configured), c.wait) << c.header;
  }
}

std::string Drain(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
  return text;
}

TEST(EventLogTest, FailuresAreLoggedOncePerSeriesAndOnChangeAndRecovery) {
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  EventLog log(out, 3600);
  LoadResult failed;
  failed.error = "refused";
  LoadResult ok;
  ok.result = 0;
  for (int i = 0; i < 5; ++i) log.Load("a", failed);
  log.Load("b", failed);
  failed.error = "time-out";
  log.Load("a", failed);
  log.Load("a", ok);
  log.Load("a", ok);
  EXPECT_EQ(Drain(out),
            "kestrel-exporter: device a: load failed: refused\n"
            "kestrel-exporter: device b: load failed: refused\n"
            "kestrel-exporter: device a: load failed: time-out\n"
            "kestrel-exporter: device a answers again\n");
  std::fclose(out);
}

class FixedLoader : public DeviceLoader {
 public:
  explicit FixedLoader(std::string host) : host_(std::move(host)) {}
  LoadResult Load() override {
    LoadResult load;
    load.result = host_ == "down" ? -1 : 0;
    load.error = host_ == "down" ? "refused <b>" : "ok";
    return load;
  }

 private:
  std::string host_;
};

struct ExporterFixture : ::testing::Test {
  void SetUp() override {
    folder = fs::temp_directory_path() / ("kestrel-exporter-test-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    std::ofstream(folder / "site.pass") << "Pa55-w0rd-never-shown\n";
    Write(
        "auth_modules: {s: {user: admin, password_file: site.pass}}\n"
        "devices:\n"
        "  - {name: up-1, host: h1, auth: s}\n"
        "  - {name: down-1, host: down}\n");
    std::string error;
    ASSERT_TRUE(LoadConfigFile(Path(), config, error)) << error;
    log_file = std::tmpfile();
    log = std::make_unique<EventLog>(log_file);
    exporter = std::make_unique<Exporter>(
        Exporter::Options{Path(), "9.9.9", true, 4}, config,
        [](const DeviceConfig& device, const AuthModule*) {
          return std::make_unique<FixedLoader>(device.host);
        },
        *log);
  }
  void TearDown() override {
    exporter.reset();
    std::fclose(log_file);
    fs::remove_all(folder);
  }
  std::string Path() const { return (folder / "exporter.yml").string(); }
  void Write(const std::string& text) const { std::ofstream(Path()) << text; }

  fs::path folder;
  Config config;
  std::FILE* log_file = nullptr;
  std::unique_ptr<EventLog> log;
  std::unique_ptr<Exporter> exporter;
};

TEST_F(ExporterFixture, ProbesAnswerOnlyForKnownTargets) {
  EXPECT_EQ(exporter->Probe("target=up-1", "").status, 200);
  EXPECT_NE(exporter->Probe("target=up-1", "").body.find("roomalert_up{device=\"up-1\"} 1"),
            std::string::npos);
  EXPECT_NE(exporter->Probe("target=down-1", "").body.find("roomalert_up{device=\"down-1\"} 0"),
            std::string::npos);
  EXPECT_EQ(exporter->Probe("target=10.1.1.1", "").status, 403);
  EXPECT_EQ(exporter->Probe("nothing", "").status, 400);
}

TEST_F(ExporterFixture, ABadReloadKeepsTheRunningConfiguration) {
  Write("devices:\n  - {name: other, host: h2}\n  - {name: other, host: h3}\n");
  EXPECT_FALSE(exporter->Reload());
  EXPECT_EQ(exporter->Probe("target=up-1", "").status, 200);
  EXPECT_NE(exporter->Metrics().body.find("roomalert_exporter_config_last_reload_successful 0"),
            std::string::npos);
  const std::string logged = Drain(log_file);
  EXPECT_NE(logged.find("reload failed, the previous configuration stays in use: " + Path() +
                        ":3:5: device name 'other' given twice"),
            std::string::npos)
      << logged;

  Write("devices:\n  - {name: other, host: h2}\n");
  EXPECT_TRUE(exporter->Reload());
  EXPECT_EQ(exporter->Probe("target=up-1", "").status, 403);
  EXPECT_EQ(exporter->Probe("target=other", "").status, 200);
}

// The password reaches the provider and nothing that anyone can read.
TEST_F(ExporterFixture, ThePasswordShowsNowhere) {
  exporter->PollDue(Clock::now());
  exporter->Probe("target=up-1", "");
  exporter->Probe("target=down-1", "");
  exporter->Reload();
  const std::string page = exporter->StatusPage().body;
  for (const std::string& text : {exporter->Metrics().body, page, Drain(log_file)}) {
    EXPECT_EQ(text.find("Pa55"), std::string::npos) << text;
  }
  // Texts of the device are escaped on the page.
  EXPECT_NE(page.find("refused &lt;b&gt;"), std::string::npos);
  EXPECT_NE(page.find("href=\"/probe?target=up-1\""), std::string::npos);
}

}  // namespace
