#include "app/options.h"
#include "app/listen_address.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ListenAddressTest, AddressAndPortOrNothing) {
  const struct {
    const char* text;
    bool good;
    const char* address;
    int port;
  } kCases[] = {
      {"127.0.0.1:9876", true, "127.0.0.1", 9876},
      {":0", true, "", 0},  // every interface, any free port
      {"[::1]:65535", true, "::1", 65535},
      {"localhost:80", true, "localhost", 80},
      {"[::1]", false, "", 0},
      {"localhost", false, "", 0},
      {"a:65536", false, "", 0},
      {"a:-1", false, "", 0},
      {"a:80x", false, "", 0},
      {"a:", false, "", 0},
      {"a b:80", false, "", 0},
      {"[[::1]]:80", false, "", 0},
  };
  for (const auto& c : kCases) {
    std::string address = "unchanged";
    int port = -7;
    EXPECT_EQ(kestrel::app::ParseListenAddress(c.text, address, port), c.good) << c.text;
    if (c.good) {
      EXPECT_EQ(address, c.address) << c.text;
      EXPECT_EQ(port, c.port) << c.text;
    } else {
      EXPECT_EQ(address, "unchanged") << c.text;
    }
  }
}

// Scripts append to a base command; a usage error names the option and exits 2, help exits 0.
TEST(CommandLineTest, LaterValuesWinAndErrorsGoThroughTheHandler) {
  const struct {
    std::vector<std::string> args;
    int status;
    const char* value;
    const char* error_part;
  } kCases[] = {
      {{"--name", "a", "--name", "b"}, -1, "b", nullptr},
      {{"--name", ""}, 2, "", "--name: an empty value"},
      {{"--bogus"}, 2, "", "--bogus"},
      {{"--help"}, 0, "", nullptr},
  };
  for (const auto& c : kCases) {
    CLI::App app{"test", "prog"};
    kestrel::app::LaterValuesWin(app);
    std::string value;
    app.add_option("--name", value)->check(kestrel::app::Check(kestrel::app::NotEmpty));
    std::string error;
    testing::internal::CaptureStdout();
    const int status = kestrel::app::ParseCommandLine(app, c.args, [&error](const std::string& m) {
      error = m;
      return 2;
    });
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, c.status) << c.args.front();
    if (status < 0) {
      EXPECT_EQ(value, c.value);
    }
    if (c.error_part != nullptr) {
      EXPECT_NE(error.find(c.error_part), std::string::npos) << error;
    }
  }
}

}  // namespace
