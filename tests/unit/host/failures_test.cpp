// Every text a failed load can leave, made the way the module makes it from its error table, and
// what each stands for: class, who must act, the advice. A text the module gains without a row
// here shows as a failure of the "every text is known" case.
#include "host/failures.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "common/error_messages.h"

namespace {

using namespace kestrel::host;

constexpr FailureOwner kDevice = FailureOwner::kDevice;
constexpr FailureOwner kOperator = FailureOwner::kOperator;

std::string Retrieval(const std::string& detail) {
  CMvnString text;
  return text.Format(LoadTextOf(LoadText::kRetrievalFailed), detail.c_str()).Text();
}

std::string Status(long status) {
  CMvnString text;
  return Retrieval(text.Format(LoadTextOf(LoadText::kHttpStatus), status).Text());
}

struct Expected {
  FailureClass failure_class;
  FailureOwner owner;
  const char* advice_part;
};

// The rows that mean more than "see the trace"; every other result code is kOther for the device.
const std::map<int32_t, Expected>& CodeRows() {
  static const std::map<int32_t, Expected> kRows = {
      {10060, {FailureClass::kTimeout, kDevice, "no answer in time"}},
      {22407, {FailureClass::kTimeout, kDevice, "no answer in time"}},
      {22410, {FailureClass::kTimeout, kDevice, "no answer in time"}},
      {22425, {FailureClass::kTimeout, kDevice, "no answer in time"}},
      {10061, {FailureClass::kRefused, kDevice, "nothing accepts connections there"}},
      {22404, {FailureClass::kRefused, kDevice, "nothing accepts connections there"}},
      {10050, {FailureClass::kRefused, kDevice, "no route to the device"}},
      {10051, {FailureClass::kRefused, kDevice, "no route to the device"}},
      {10064, {FailureClass::kRefused, kDevice, "no route to the device"}},
      {10065, {FailureClass::kRefused, kDevice, "no route to the device"}},
      {11001, {FailureClass::kDns, kDevice, "cannot be resolved"}},
      {11002, {FailureClass::kDns, kDevice, "cannot be resolved"}},
      {11003, {FailureClass::kDns, kDevice, "cannot be resolved"}},
      {11004, {FailureClass::kDns, kDevice, "cannot be resolved"}},
      {22450, {FailureClass::kTls, kDevice, "--cacert FILE trusts"}},
      {22449, {FailureClass::kOther, kDevice, "the connection broke off"}},
      {1101, {FailureClass::kAuth, kOperator, "asks for a login"}},
      {1102, {FailureClass::kAuth, kOperator, "asks for a login"}},
      {22412, {FailureClass::kAuth, kOperator, "asks for a login"}},
      {22417, {FailureClass::kAuth, kOperator, "forbids this account"}},
      {22416, {FailureClass::kHttpStatus, kDevice, "answered with an HTTP error"}},
      {22418, {FailureClass::kHttpStatus, kDevice, "answered with an HTTP error"}},
      {22419, {FailureClass::kHttpStatus, kDevice, "answered with an HTTP error"}},
      {22420, {FailureClass::kHttpStatus, kDevice, "answered with an HTTP error"}},
      {22421, {FailureClass::kHttpStatus, kDevice, "answered with an HTTP error"}},
      {22422, {FailureClass::kHttpStatus, kDevice, "answered with an HTTP error"}},
      {22427, {FailureClass::kHttpStatus, kDevice, "answered with an HTTP error"}},
  };
  return kRows;
}

void ExpectFailure(const std::string& text, const Expected& expected) {
  SCOPED_TRACE(text);
  const Failure failure = ClassifyLastError(text);
  EXPECT_TRUE(failure.known);
  EXPECT_EQ(FailureClassName(failure.failure_class), FailureClassName(expected.failure_class));
  EXPECT_EQ(failure.owner, expected.owner);
  const std::string advice = failure.Advice(FailureFacts());
  EXPECT_NE(advice.find(expected.advice_part), std::string::npos) << advice;
}

TEST(ClassifyLastErrorTest, EveryResultCodeOfARetrieval) {
  const Expected other = {FailureClass::kOther, kDevice, "see the trace"};
  for (std::size_t row = 0; row < ErrorRowCount(); ++row) {
    const char* message = ErrorMessageText(ErrorRowCode(row));
    // A few codes share their message with an earlier one: the text stands for the first.
    int32_t first = 0;
    ASSERT_TRUE(ErrorCodeOfMessage(message, first));
    const auto found = CodeRows().find(first);
    ExpectFailure(Retrieval(message), found != CodeRows().end() ? found->second : other);
  }
}

TEST(ClassifyLastErrorTest, EveryOtherTextOfALoad) {
  const struct {
    std::string text;
    Expected expected;
  } kCases[] = {
      {LoadTextOf(LoadText::kGeneric), {FailureClass::kOther, kDevice, "see the trace"}},
      {LoadTextOf(LoadText::kSucceeded), {FailureClass::kOther, kDevice, "see the trace"}},
      {LoadTextOf(LoadText::kHostNotSet), {FailureClass::kOther, kOperator, "give --host"}},
      {LoadTextOf(LoadText::kComponentMissing),
       {FailureClass::kOther, kOperator, "network component could not be set up"}},
      // A component that could not be made leaves the retrieval without a detail.
      {Retrieval(""), {FailureClass::kOther, kOperator, "network component could not be set up"}},
      // A code the error table has no row for.
      {Retrieval(ErrorMessageText(-7)), {FailureClass::kOther, kDevice, "see the trace"}},
      {Retrieval(LoadTextOf(LoadText::kBodyUnusable)),
       {FailureClass::kNotJson, kDevice, "does not start as JSON"}},
      {LoadTextOf(LoadText::kConversionFailed),
       {FailureClass::kNotJson, kDevice, "not valid JSON"}},
      {LoadTextOf(LoadText::kXmlUnusable),
       {FailureClass::kNotJson, kDevice, "not a Room Alert status document"}},
      {LoadTextOf(LoadText::kSaveFailed), {FailureClass::kNoSensors, kDevice, "lists no sensors"}},
      {Status(401), {FailureClass::kAuth, kOperator, "give --user NAME and a password"}},
      {Status(403), {FailureClass::kAuth, kOperator, "forbids this account"}},
      {Status(404), {FailureClass::kHttpStatus, kDevice, "no /getData.json"}},
      {Status(500), {FailureClass::kHttpStatus, kDevice, "answered with an HTTP error"}},
      {Status(-1), {FailureClass::kHttpStatus, kDevice, "answered with an HTTP error"}},
  };
  for (const auto& c : kCases) ExpectFailure(c.text, c.expected);
}

// Near misses are no text of the module's: they must not pass for one by a word they share.
TEST(ClassifyLastErrorTest, TextsOfNoLoadAreOther) {
  for (const std::string& text :
       {std::string("Something new."), Retrieval("No connection could be made"),
        Retrieval("HTML Error [4x]."), LoadTextOf(LoadText::kGeneric) + std::string(" "),
        std::string("no result within 1.5 s")}) {
    const Failure failure = ClassifyLastError(text);
    EXPECT_FALSE(failure.known) << text;
    EXPECT_EQ(failure.failure_class, FailureClass::kOther) << text;
    EXPECT_EQ(failure.Advice(FailureFacts()), "see the trace for the step that failed");
  }
}

// Causes of one class told apart by what else the operator knows.
TEST(FailureAdviceTest, FactsRefineTheAdvice) {
  const std::string kCertificate = Retrieval(ErrorMessageText(22450));
  const struct {
    std::string last_error;
    bool has_user;
    const char* component_line;  // or, for a refused login, where the password came from
    const char* body;
    const char* advice_part;
  } kCases[] = {
      // The hint names where the password came from: the file, an INI section, the environment.
      {Status(401), true, "password= in [rack] of /etc/nagios/plugins.ini (--extra-opts)", "",
       "check --user and password= in [rack] of /etc/nagios/plugins.ini (--extra-opts)"},
      {Status(401), true, "", "", "refused the user name without a password; give one"},
      {Status(401), false, "", "", "give --user NAME and a password (--password-file FILE"},
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
      {LoadTextOf(LoadText::kConversionFailed), false, "", "\r\n<html><form>login", "an HTML page"},
      {LoadTextOf(LoadText::kConversionFailed), false, "", "{\"sensor\": [", "not valid JSON"},
  };
  for (const auto& c : kCases) {
    FailureFacts facts;
    facts.has_user = c.has_user;
    facts.component_line = c.component_line;
    facts.password_source = c.component_line;
    facts.body = c.body;
    const std::string advice = ClassifyLastError(c.last_error).Advice(facts);
    EXPECT_NE(advice.find(c.advice_part), std::string::npos) << c.last_error << "\n" << advice;
    EXPECT_EQ(advice.find('\n'), std::string::npos);
  }
}

// A status line's words of ours, with the device, the load's time and the answer put in.
TEST(FailureSummaryTest, PlainWordsForTheStatusLine) {
  const struct {
    std::string last_error;
    double seconds;
    const char* summary;
  } kCases[] = {
      {Retrieval(ErrorMessageText(10061)), 0.01, "10.0.0.5:8380 refused the connection"},
      {Retrieval(ErrorMessageText(10060)), 20.4, "no answer from 10.0.0.5:8380 within 20 s"},
      {Retrieval(ErrorMessageText(22407)), 4.96, "no answer from 10.0.0.5:8380 within 5.0 s"},
      {Retrieval(ErrorMessageText(11001)), 0.2, "the host name of 10.0.0.5:8380 does not resolve"},
      {Retrieval(ErrorMessageText(22450)), 0.2, "the certificate of 10.0.0.5:8380 was refused"},
      {Status(401), 0.1, "10.0.0.5:8380 refused the login"},
      {Status(404), 0.1, "10.0.0.5:8380 has no /getData.json (HTTP 404)"},
      {Status(503), 0.1, "10.0.0.5:8380 answered HTTP 503"},
      {LoadTextOf(LoadText::kConversionFailed), 0.1, "10.0.0.5:8380 did not answer with JSON"},
      {"Something new.", 0.1, "reading 10.0.0.5:8380 failed"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(ClassifyLastError(c.last_error).Summary("10.0.0.5:8380", c.seconds), c.summary)
        << c.last_error;
  }
}

// The names are the values of roomalert_last_error_info's class label; the anchors, the runbook's
// sections.
TEST(FailureClassTest, NamesAndRunbookSections) {
  std::string names;
  for (const FailureClass c : kFailureClasses) {
    names += std::string(names.empty() ? "" : " ") + FailureClassName(c);
    EXPECT_EQ(RunbookAnchor(c), std::string("class-") + FailureClassName(c));
  }
  EXPECT_EQ(names, "timeout refused dns tls auth http_status not_json no_sensors write other");
  EXPECT_EQ(HostFailure(FailureClass::kWrite).owner, kOperator);
  EXPECT_TRUE(IsUnreachable(FailureClass::kTimeout));
  EXPECT_TRUE(IsUnreachable(FailureClass::kRefused));
  EXPECT_FALSE(IsUnreachable(FailureClass::kDns));
}

}  // namespace
