#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "provider/avtech_app.h"
#include "tests/support/fake_http_component.h"
#include "tests/support/test_support.h"

namespace {

using kestrel::testing::Answer;
using kestrel::testing::FakeFactory;
using kestrel::testing::FakeSleep;
using kestrel::testing::FakeTick;
using kestrel::testing::g_world;
using kestrel::testing::World;

class HttpRetrievalFixture {
 protected:
  HttpRetrievalFixture() {
    g_world = &world_;
    kestrel::platform::SetHttpComponentFactoryForTesting(&FakeFactory);
    kestrel::platform::SetClockForTesting(&FakeTick, &FakeSleep);
    app_ = std::make_unique<CAVTechApp>();
    app_->SetTracingFile(trace_file_.c_str());
  }
  ~HttpRetrievalFixture() {
    app_.reset();
    kestrel::platform::SetHttpComponentFactoryForTesting(nullptr);
    kestrel::platform::SetClockForTesting(nullptr, nullptr);
    g_world = nullptr;
  }
  std::string Trace() const { return kestrel::testing::ReadFileBytes(trace_file_); }

  World world_;
  kestrel::testing::TempDir dir_;
  std::string trace_file_ = dir_.File("trace.log");
  std::unique_ptr<CAVTechApp> app_;
};

struct Scenario {
  const char* name;
  uint32_t start_tick;
  std::vector<Answer> answers;
  int32_t result;
  const char* detail;
  std::string body;
  int gets;
  int pauses;
};

const char* kMalformed = "The received Json data could not be parsed. It is missing or malformed.";
const char* kRefused = "No connection could be made because the target machine actively refused it";
const char* kUnknownHost = "No such host is known";
const std::u16string kJson = u"{\"name\":\"RA3W\"}";

class HttpGetScenarioTest : public HttpRetrievalFixture,
                            public ::testing::TestWithParam<Scenario> {};

TEST_P(HttpGetScenarioTest, ResultDetailBodyAndRetries) {
  const Scenario& s = GetParam();
  world_.answers = s.answers;
  world_.now = s.start_tick;
  CMvnString body("stale");
  CMvnString detail("stale");
  EXPECT_EQ(app_->HttpGet("http://device/getData.json", body, detail), s.result);
  EXPECT_STREQ(detail.Text(), s.detail);
  EXPECT_EQ(std::string(body.Text()), s.body);
  EXPECT_EQ(world_.gets, s.gets);
  EXPECT_EQ(world_.pauses, std::vector<uint32_t>(static_cast<std::size_t>(s.pauses), 300u));
  EXPECT_EQ(world_.last_url, u"http://device/getData.json");
  EXPECT_STREQ(app_->LastErrorText().Text(), "The operation completed successfully.");
  EXPECT_NE(Trace().find("EnvProviderApp: Using HTTP0.9: [FALSE].\r\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HttpGetScenarioTest,
    ::testing::Values(
        Scenario{"FailThenSucceed",
                 0,
                 {{10061, -1, u"", 5}, {0, 200, kJson, 5}},
                 0,
                 "",
                 "{\"name\":\"RA3W\"}",
                 2,
                 1},
        // The pause follows the third failure too; the detail is the last code's message.
        Scenario{"ThreeQuickFailures",
                 0,
                 {{10060, -1, u"", 1}, {10061, -1, u"", 1}, {11001, -1, u"", 1}},
                 -1,
                 kUnknownHost,
                 "",
                 3,
                 3},
        Scenario{"OneSlowFailureEndsAtOnce", 0, {{10061, -1, u"", 15001}}, -1, kRefused, "", 1, 0},
        // The cut is "more than 15000 ms": exactly 15000 still earns a retry.
        Scenario{"ExactlyAtTheDeadlineRetries",
                 0,
                 {{10061, -1, u"", 15000}, {0, 200, kJson, 1}},
                 0,
                 "",
                 "{\"name\":\"RA3W\"}",
                 2,
                 1},
        // A tick counter that wraps during the request must not look like a 4-billion-ms wait.
        Scenario{"TickWrapIsNoTimeout",
                 0xFFFFFF00u,
                 {{10061, -1, u"", 0x200}, {0, 200, kJson, 1}},
                 0,
                 "",
                 "{\"name\":\"RA3W\"}",
                 2,
                 1},
        Scenario{"NotFound",
                 0,
                 {{0, 404, u"<html>missing</html>", 1}},
                 -1,
                 "HTML Error [404].",
                 "",
                 1,
                 0},
        Scenario{"ByteOrderMark", 0, {{0, 200, u"\xFEFF{\"a\":1}", 1}}, -1, kMalformed, "", 1, 0},
        Scenario{"EmptyBody", 0, {{0, 200, u"", 1}}, -1, kMalformed, "", 1, 0},
        Scenario{"NoBodyAtAll", 0, {{0, 200, u"", 1, true}}, -1, kMalformed, "", 1, 0},
        Scenario{
            "NonAsciiInFirstEight", 0, {{0, 200, u"{\"\u00e9\":1}", 1}}, -1, kMalformed, "", 1, 0},
        Scenario{
            "NonAsciiOnlyInShortBody", 0, {{0, 200, u"{\u00b0}", 1}}, -1, kMalformed, "", 1, 0},
        // Past the first eight units anything goes; it reaches the text in the ANSI code page.
        Scenario{"NonAsciiLaterIsConverted",
                 0,
                 {{0, 200, u"{\"name\":\"Caf\u00e9 \u20ac\"}", 1}},
                 0,
                 "",
                 "{\"name\":\"Caf\xE9 \x80\"}",
                 1,
                 0},
        Scenario{"BodyEndsAtFirstNul",
                 0,
                 {{0, 200, std::u16string(u"{}\0junk", 7), 1}},
                 0,
                 "",
                 "{}",
                 1,
                 0}),
    [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

class HttpComponentLifecycleTest : public HttpRetrievalFixture, public ::testing::Test {};

TEST_F(HttpComponentLifecycleTest, FailedCreationIsRetriedByTheNextRequest) {
  world_.creation_failures = 1;
  world_.answers = {{0, 200, kJson, 1}};
  CMvnString body;
  CMvnString detail("stale");
  EXPECT_EQ(app_->HttpGet("http://device/getData.json", body, detail), -1);
  EXPECT_STREQ(detail.Text(), "");
  EXPECT_EQ(world_.gets, 0);
  EXPECT_STREQ(app_->LastErrorText().Text(),
               "Morvane Network Component class 'MVNETWORK::HTTPEX' could not be created.");
  EXPECT_NE(Trace().find("EnvProviderApp: Failed to read data over HTTP. Failed to initialize "
                         "HTTP library.\r\n"),
            std::string::npos);

  EXPECT_EQ(app_->HttpGet("http://device/getData.json", body, detail), 0);
  EXPECT_EQ(world_.creations, 2);
  EXPECT_STREQ(body.Text(), "{\"name\":\"RA3W\"}");
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
