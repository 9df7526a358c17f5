#include "programs/kestrel-host/guidance.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using kestrel::host::FailureFacts;
using kestrel::host::FailureGuidance;

const std::string kHttpFailed =
    "Failed to retrieve device data over HTTP. The GET request failed with error: [";
const std::string kCertificate =
    kHttpFailed +
    "One or more errors were found in the Secure Sockets Layer (SSL) certificate sent by the "
    "server.].";

TEST(FailureGuidanceTest, NamesTheLikelyCauseAndTheNextStep) {
  const struct {
    std::string last_error;
    bool has_user;
    const char* component_line;
    const char* body;
    const char* advice_part;
  } kCases[] = {
      {kHttpFailed + "HTML Error [401].].", true, "", "", "check --user and the first line"},
      {kHttpFailed + "HTML Error [401].].", false, "", "", "give --user NAME and --password-file"},
      // Which certificate check failed comes from libcurl's words in the component's line.
      {kCertificate, false,
       "HttpComponent: GET https://d/getData.json -> no response (error 22450: SSL certificate "
       "problem: self-signed certificate), 3 ms",
       "", "not trusted; trust it with --cacert"},
      {kCertificate, false,
       "HttpComponent: GET https://d/getData.json -> no response (error 22450: SSL: no "
       "alternative certificate subject name matches target host name 'd'), 3 ms",
       "", "made for another name"},
      {kCertificate, false,
       "HttpComponent: GET https://d/getData.json -> no response (error 22450: error setting "
       "certificate file: /nowhere.pem), 0 ms",
       "", "CA file cannot be read"},
      {kCertificate, false, "", "", "--cacert FILE trusts"},  // Windows: no such words
      {"Failed to convert Json data to XML data.", false, "", "\r\n<html><form>login",
       "an HTML page"},
      {"Failed to convert Json data to XML data.", false, "", "{\"sensor\": [", "not valid JSON"},
      // Ahead of the general HTTP error row.
      {kHttpFailed + "HTML Error [404].].", false, "", "", "no /getData.json"},
      {"Something new.", false, "", "", "see the trace"},
  };
  for (const auto& c : kCases) {
    FailureFacts facts;
    facts.url = "http://d/getData.json";
    facts.last_error = c.last_error;
    facts.has_user = c.has_user;
    facts.component_line = c.component_line;
    facts.body = c.body;
    const std::string line = FailureGuidance(facts);
    EXPECT_EQ(line.rfind("http://d/getData.json: ", 0), 0u) << line;
    EXPECT_NE(line.find(c.advice_part), std::string::npos) << c.last_error << "\n" << line;
    EXPECT_EQ(line.find('\n'), std::string::npos);
  }
}

}  // namespace
