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

INSTANTIATE_TEST_SUITE_P(
    Rows, ErrorMessageTest,
    ::testing::Values(
        MessageCase{0, "Success"}, MessageCase{1010, "Creation of a new thread failed"},
        MessageCase{1020, "Failed to create instance of object, out of memory."},
        MessageCase{1102, "Invalid or no password entered"},
        MessageCase{10004,
                    "A blocking operation was interrupted by a call to WSACancelBlockingCall"},
        MessageCase{10060,
                    "A connection attempt failed because the connected party did not properly "
                    "respond after a period of time, or established connection failed because "
                    "connected host has failed to respond"},
        MessageCase{10061,
                    "No connection could be made because the target machine actively refused it"},
        MessageCase{11001, "No such host is known"}, MessageCase{11999, "General WSA error"},
        MessageCase{14025, "Failed to wrap an object into a device, interface or sensor object"},
        MessageCase{22401, "Create WinHTTP session failed"},
        MessageCase{22416, "Page not found (HTTP error 404)"},
        MessageCase{22449, "Generic HTTP failure"},
        MessageCase{22450,
                    "One or more errors were found in the Secure Sockets Layer (SSL) certificate "
                    "sent by the server."},
        // codes without a row take the fallback
        MessageCase{22428, "Generic Error"}, MessageCase{1, "Generic Error"},
        MessageCase{10005, "Generic Error"}, MessageCase{-1, "Generic Error"},
        MessageCase{INT32_MIN, "Generic Error"}, MessageCase{INT32_MAX, "Generic Error"}));

}  // namespace
