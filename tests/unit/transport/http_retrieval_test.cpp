#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "provider/avtech_app.h"
#include "tests/support/fake_http_component.h"
#include "tests/support/test_support.h"

namespace {

using namespace kestrel::testing;

class HttpRetrievalFixture {
 protected:
  HttpRetrievalFixture() { app_->SetTracingFile(trace_file_.c_str()); }
  std::string Trace() const { return ReadFileBytes(trace_file_); }

  FakeNetwork network_;
  World& world_ = network_.world;
  TempDir dir_;
  std::string trace_file_ = dir_.File("trace.log");
  std::unique_ptr<CAVTechApp> app_ = std::make_unique<CAVTechApp>();
};

template <typename... Answers>
std::vector<Answer> Tries(Answers... answers) {
  return {answers...};
}

struct Scenario {
  const char* name;
  uint32_t start_tick;
  std::vector<Answer> answers;
  const char* detail;  // empty exactly when the request succeeds
  std::string body;
  int pauses;  // each 300 ms
};

const char* kMalformed = "The received Json data could not be parsed. It is missing or malformed.";
const std::u16string kJson = u"{\"name\":\"RA3W\"}";
const Answer kRefused = Reply(10061, -1, u"");
const Answer kGood = Reply(0, 200, kJson);
const char* kBody = "{\"name\":\"RA3W\"}";

class HttpGetScenarioTest : public HttpRetrievalFixture,
                            public ::testing::TestWithParam<Scenario> {};

TEST_P(HttpGetScenarioTest, ResultDetailBodyAndRetries) {
  const Scenario& s = GetParam();
  world_.answers = s.answers;
  world_.now = s.start_tick;
  CMvnString body("stale");
  CMvnString detail("stale");
  EXPECT_EQ(app_->HttpGet("http://device/getData.json", body, detail), *s.detail ? -1 : 0);
  EXPECT_STREQ(detail.Text(), s.detail);
  EXPECT_EQ(std::string(body.Text()), s.body);
  EXPECT_EQ(world_.gets, static_cast<int>(s.answers.size()));
  EXPECT_EQ(world_.pauses, std::vector<uint32_t>(static_cast<std::size_t>(s.pauses), 300u));
  EXPECT_EQ(world_.last_url, u"http://device/getData.json");
  EXPECT_STREQ(app_->LastErrorText().Text(), "The operation completed successfully.");
  EXPECT_NE(Trace().find("EnvProviderApp: Using HTTP0.9: [FALSE].\r\n"), std::string::npos);
}

// Status errors, a byte-order mark and an empty body are driven end to end by the host suite.
INSTANTIATE_TEST_SUITE_P(
    Cases, HttpGetScenarioTest,
    ::testing::Values(
        Scenario{"FailThenSucceed", 0, Tries(Reply(10061, -1, u"", 5), kGood), "", kBody, 1},
        // The pause follows the third failure too; the detail is the last code's message.
        Scenario{"ThreeQuickFailures", 0,
                 Tries(Reply(10060, -1, u""), kRefused, Reply(11001, -1, u"")),
                 "No such host is known", "", 3},
        Scenario{"OneSlowFailureEndsAtOnce", 0, Tries(Reply(10061, -1, u"", 15001)),
                 "No connection could be made because the target machine actively refused it", "",
                 0},
        // The cut is "more than 15000 ms": exactly 15000 still earns a retry.
        Scenario{"ExactlyAtTheDeadlineRetries", 0, Tries(Reply(10061, -1, u"", 15000), kGood), "",
                 kBody, 1},
        // A tick counter that wraps during the request must not look like a 4-billion-ms wait.
        Scenario{"TickWrapIsNoTimeout", 0xFFFFFF00u, Tries(Reply(10061, -1, u"", 0x200), kGood), "",
                 kBody, 1},
        Scenario{"NoBodyAtAll", 0, Tries(Answer{0, 200, u"", 1, true}), kMalformed, "", 0},
        Scenario{"NonAsciiInFirstEight", 0, Tries(Reply(0, 200, u"{\"\u00e9\":1}")), kMalformed, "",
                 0},
        Scenario{"NonAsciiOnlyInShortBody", 0, Tries(Reply(0, 200, u"{\u00b0}")), kMalformed, "",
                 0},
        // Past the first eight units anything goes; it reaches the text in the ANSI code page.
        Scenario{"NonAsciiLaterIsConverted", 0,
                 Tries(Reply(0, 200, u"{\"name\":\"Caf\u00e9 \u20ac\"}")), "",
                 "{\"name\":\"Caf\xE9 \x80\"}", 0},
        Scenario{"BodyEndsAtFirstNul", 0, Tries(Reply(0, 200, std::u16string(u"{}\0junk", 7))), "",
                 "{}", 0}),
    [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

class HttpComponentLifecycleTest : public HttpRetrievalFixture, public ::testing::Test {};

TEST_F(HttpComponentLifecycleTest, FailedCreationIsRetriedByTheNextRequest) {
  world_.creation_failures = 1;
  world_.answers = {kGood};
  CMvnString body;
  CMvnString detail("stale");
  EXPECT_EQ(app_->HttpGet("http://device/getData.json", body, detail), -1);
  EXPECT_STREQ(detail.Text(), "");
  EXPECT_EQ(world_.gets, 0);
  EXPECT_STREQ(app_->LastErrorText().Text(),
               "Morvane Network Component class 'MVNETWORK::HTTPEX' could not be created.");

  EXPECT_EQ(app_->HttpGet("http://device/getData.json", body, detail), 0);
  EXPECT_EQ(world_.creations, 2);
  EXPECT_STREQ(body.Text(), kBody);
}

TEST_F(HttpComponentLifecycleTest, CreatedOnceGivenTheTraceFileAndReleasedWithTheProvider) {
  ASSERT_TRUE(app_->InitHttpComponent());
  const std::string after_first = Trace();
  EXPECT_NE(after_first.find("EnvProviderApp: Initializing HTTP library...success\r\n"),
            std::string::npos);
  EXPECT_EQ(world_.log_file, std::u16string(trace_file_.begin(), trace_file_.end()));

  ASSERT_TRUE(app_->InitHttpComponent());
  EXPECT_EQ(world_.creations, 1);
  const std::string added = Trace().substr(after_first.size());
  EXPECT_EQ(added.substr(added.find(']') + 1), " Initializing HTTP library...\r\n");
  EXPECT_STREQ(app_->LastErrorText().Text(), "The operation completed successfully.");

  app_.reset();
  EXPECT_EQ(world_.releases, 1);
}

}  // namespace
