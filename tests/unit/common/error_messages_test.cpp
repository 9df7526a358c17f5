#include "common/error_messages.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

struct MessageCase {
  int32_t code;
  const char* message;
};

class ErrorMessageTest : public ::testing::TestWithParam<MessageCase> {};

TEST_P(ErrorMessageTest, LooksUpTheExactCode) {
  CMvnString out("stale");
  EXPECT_STREQ(GetErrorMessage(GetParam().code, out).Text(), GetParam().message);
}

// Codes the retrieval tests and the end-to-end suite show (10060, 10061, 11001, 22449, 22450)
// are left to them; these rows are the table's edges and codes between its rows.
INSTANTIATE_TEST_SUITE_P(Rows, ErrorMessageTest,
                         ::testing::Values(MessageCase{0, "Success"},
                                           MessageCase{1010, "Creation of a new thread failed"},
                                           MessageCase{1102, "Invalid or no password entered"},
                                           MessageCase{11999, "General WSA error"},
                                           MessageCase{22416, "Page not found (HTTP error 404)"},
                                           // codes without a row take the fallback
                                           MessageCase{22428, "Generic Error"},
                                           MessageCase{1, "Generic Error"},
                                           MessageCase{10005, "Generic Error"},
                                           MessageCase{-1, "Generic Error"},
                                           MessageCase{INT32_MIN, "Generic Error"}));

}  // namespace
