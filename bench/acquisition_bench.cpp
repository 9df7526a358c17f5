// One whole load without the network (a scripted component answers), and the body decoding of
// the network component: both must grow linearly with the device's answer. The load's wall time
// includes rewriting its four files in place, which ext4 answers with a flush per file (about
// 9 ms here); TMPDIR=/dev/shm shows the pipeline alone.
#include <benchmark/benchmark.h>

#include <string>

#include "netcomp/curl_component.h"
#include "provider/avtech_app.h"
#include "tests/support/fake_http_component.h"
#include "tests/support/test_support.h"

namespace {

// A 3W-shaped answer with n external sensors.
std::string DeviceJson(int n) {
  std::string json =
      "{\"name\":\"Bench\",\"macaddr\":\"00:80:A3:00:00:01\",\"serial\":\"RA3W-000001\","
      "\"version\":\"v4.0.2\",\"ip\":\"10.0.0.2\",\"internal_sen\":[{\"lab\":\"Internal\","
      "\"tc\":\"22.31\",\"t\":16,\"en\":1}],\"sensor\":[";
  for (int i = 0; i < n; ++i) {
    if (i > 0) json += ",";
    json += "{\"lab\":\"Rack " + std::to_string(i) +
            "\",\"tc\":\"21.50\",\"h\":\"45.00\",\"t\":38,\"en\":1}";
  }
  return json + "]}";
}

void BM_LoadDeviceData(benchmark::State& state) {
  const std::string json = DeviceJson(static_cast<int>(state.range(0)));
  kestrel::testing::World world;
  world.answers = {{0, 200, std::u16string(json.begin(), json.end()), 0}};
  kestrel::testing::g_world = &world;
  kestrel::netcomp::SetHttpComponentFactoryForTesting(&kestrel::testing::FakeFactory);
  kestrel::testing::TempDir dir;
  {
    CAVTechApp app;
    app.SetConfigWorkingFile(dir.File("device.xml").c_str());
    app.SetDataFile(dir.File("device-data.xml").c_str());
    app.SetHost("bench");
    for (auto _ : state) {
      if (app.LoadDeviceData() != 0) state.SkipWithError("load failed");
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(json.size()));
  state.SetComplexityN(state.range(0));
  kestrel::netcomp::SetHttpComponentFactoryForTesting(nullptr);
  kestrel::testing::g_world = nullptr;
}
BENCHMARK(BM_LoadDeviceData)->RangeMultiplier(4)->Range(1, 1024)->Complexity();

void BM_DecodeResponseBody(benchmark::State& state) {
  std::string body = DeviceJson(static_cast<int>(state.range(0)));
  // One Windows-1252 byte at the end sends the whole body through the fallback after a full
  // UTF-8 pass: the worst case.
  if (state.range(1) != 0) body += "\xB0";
  for (auto _ : state) benchmark::DoNotOptimize(kestrel::netcomp::DecodeResponseBody(body));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(body.size()));
  state.SetComplexityN(static_cast<int64_t>(body.size()));
}
BENCHMARK(BM_DecodeResponseBody)
    ->ArgsProduct({{16, 256, 4096, 65536}, {0, 1}})
    ->ArgNames({"sensors", "cp1252"})
    ->Complexity();

}  // namespace
