// Conversions recorded with the straightforward character-by-character parser and cleaning, before
// they were restructured for speed: every recorded input must still give the same result, detail
// and XML. Inputs are the fuzz corpus, long and deep texts and small mutations of them.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

#include "provider/provider_app.h"
#include "tests/support/test_support.h"

namespace {

// FNV-1a over the detail, a NUL and the XML.
uint64_t OutcomeHash(const CMvnString& detail, const CMvnString& xml) {
  uint64_t hash = 14695981039346656037ull;
  const std::string all = std::string(detail.Text()) + '\0' + xml.Text();
  for (const unsigned char c : all) hash = (hash ^ c) * 1099511628211ull;
  return hash;
}

TEST(JsonToXmlRecorded, EveryRecordedInputConvertsAsBefore) {
  // One line per input: the input's bytes in hex, the result, the outcome hash in hex.
  std::ifstream in(kestrel::testing::FixturePath("json_to_xml/recorded.txt"));
  std::string line;
  int cases = 0;
  while (std::getline(in, line)) {
    const std::size_t first = line.find(' ');
    const std::size_t second = line.find(' ', first + 1);
    ASSERT_NE(second, std::string::npos) << line;
    const std::string hex = line.substr(0, first);
    const int32_t expected_result = std::stoi(line.substr(first + 1, second - first - 1));
    const std::string hash_text = line.substr(second + 1);
    std::string json;
    for (std::size_t k = 0; k + 1 < hex.size(); k += 2) {
      json += static_cast<char>(std::stoi(hex.substr(k, 2), nullptr, 16));
    }
    CMvnString xml;
    CMvnString detail;
    const int32_t result = CEnvProviderApp::ConvertJsonToXml(json.c_str(), xml, detail);
    EXPECT_EQ(result, expected_result) << "input " << cases << ": " << json;
    EXPECT_EQ(OutcomeHash(detail, xml), std::stoull(hash_text, nullptr, 16))
        << "input " << cases << ": " << json << "\nXML: " << xml.Text();
    ++cases;
  }
  EXPECT_EQ(cases, 330);
}

}  // namespace
