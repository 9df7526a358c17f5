// The JSON-to-XML conversion against a parse alone of the same bytes by RapidJSON and by
// nlohmann: the real fixtures and synthetic device documents from 0.5 KB to 4 MB (many sensor
// items, CR LF line ends). The program prints the conversion/RapidJSON ratio per size at the end.
#include <benchmark/benchmark.h>

#include <rapidjson/document.h>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "common/mvn_string.h"
#include "provider/provider_app.h"

namespace {

std::string ReadFixture(const std::string& name) {
  std::ifstream in(std::string(KESTREL_FIXTURES_DIR) + "/roomalert/" + name, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A device document of at least `bytes` bytes, laid out as the devices' pretty printers do.
std::string SyntheticDocument(std::size_t bytes) {
  std::string json =
      "{\r\n  \"name\": \"Bench Unit\",\r\n  \"date\": \"12/05/26 09:12:00\",\r\n"
      "  \"macaddr\": \"00:80:A3:D4:30:9C\",\r\n  \"version\": \"v4.1.0\",\r\n  \"sensor\": [\r\n";
  char item[512];
  for (int k = 0; json.size() < bytes; ++k) {
    std::snprintf(item, sizeof item,
                  "%s    {\"lab\": \"Rack %d <A&B>\", \"tc\": \"%d.%02d\", \"tf\": \"%d.%02d\", "
                  "\"h\": \"4%d.5\", \"t\": 38, \"en\": 1, \"ala\": 0, \"units\": [], "
                  "\"lh\": \"\\u00b0\", \"limits\": {\"low\": -10, \"high\": 45.5e0}}",
                  k == 0 ? "" : ",\r\n", k, 20 + k % 10, k % 100, 68 + k % 10, k % 100, k % 10);
    json += item;
  }
  json +=
      "\r\n  ],\r\n  \"s_sen\": [],\r\n  \"relay\": [{\"lab\": \"Door\", \"stat\": 0}]\r\n}\r\n";
  return json;
}

void Convert(benchmark::State& state, const std::string& json) {
  CMvnString xml;
  CMvnString detail;
  for (auto _ : state) {
    if (CEnvProviderApp::ConvertJsonToXml(json.c_str(), xml, detail) != 0) {
      state.SkipWithError(detail.Text());
      break;
    }
    benchmark::DoNotOptimize(xml.Text());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * json.size()));
}

// The reference: a strict parse only, no rendering. Apostrophe-quoted documents fail it quickly.
void NlohmannParse(benchmark::State& state, const std::string& json) {
  for (auto _ : state) {
    nlohmann::json parsed = nlohmann::json::parse(json, nullptr, false);
    benchmark::DoNotOptimize(parsed);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * json.size()));
}

// A parse into RapidJSON's DOM (strings copied, the usual use): what the library's authors measure.
void RapidJsonParse(benchmark::State& state, const std::string& json) {
  for (auto _ : state) {
    rapidjson::Document document;
    document.Parse(json.c_str(), json.size());
    if (document.HasParseError()) {
      state.SkipWithError("RapidJSON refused the document");
      break;
    }
    benchmark::DoNotOptimize(document.MemberCount());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * json.size()));
}

struct Input {
  std::string label;
  std::string json;
};

std::vector<Input> Fixtures() {
  std::vector<Input> inputs;
  for (const char* name :
       {"3e-v1.2.1-serverdensity-plugin.json", "12e-v3.2.5-python-script.json", "3w-typical.json",
        "3w-power-airflow.json", "3w-quirks-crlf.json", "3w-no-sensors.json"}) {
    inputs.push_back({name, ReadFixture(name)});
  }
  return inputs;
}

std::vector<Input> Sizes() {
  std::vector<Input> inputs;
  const std::pair<const char*, std::size_t> sizes[] = {
      {"0.5KB", 512},        {"1KB", 1024},         {"8KB", 8 * 1024},    {"64KB", 64 * 1024},
      {"128KB", 128 * 1024}, {"512KB", 512 * 1024}, {"1MB", 1024 * 1024}, {"4MB", 4096 * 1024}};
  for (const auto& [label, bytes] : sizes) {
    inputs.push_back({std::string("synthetic-") + label, SyntheticDocument(bytes)});
  }
  return inputs;
}

const bool kRegistered = [] {
  for (const Input& input : Fixtures()) {
    benchmark::RegisterBenchmark(("ConvertJsonToXml/" + input.label).c_str(), Convert, input.json);
  }
  for (const Input& input : Sizes()) {
    benchmark::RegisterBenchmark(("ConvertJsonToXml/" + input.label).c_str(), Convert, input.json);
    benchmark::RegisterBenchmark(("RapidJsonParse/" + input.label).c_str(), RapidJsonParse,
                                 input.json);
    benchmark::RegisterBenchmark(("NlohmannParse/" + input.label).c_str(), NlohmannParse,
                                 input.json);
  }
  return true;
}();

}  // namespace
