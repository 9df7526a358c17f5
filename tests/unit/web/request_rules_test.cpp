#include "web/request_rules.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace kestrel::web;

TEST(RequestRulesTest, WhatTheServerRefusesBeforeAnyHandler) {
  const struct {
    const char* name;
    const char* method;
    const char* version;
    HeaderList headers;
    const char* certificate;
    int status;  // 0: goes on
    bool closes;
  } cases[] = {
      {"a plain GET", "GET", "HTTP/1.1", {{"Host", "x"}}, "", 0, false},
      {"HEAD", "HEAD", "HTTP/1.1", {{"host", "x"}}, "", 0, false},
      {"HTTP/1.0 needs no Host", "GET", "HTTP/1.0", {}, "", 0, false},
      {"HTTP/1.1 without Host", "GET", "HTTP/1.1", {}, "", 400, true},
      {"two Hosts", "GET", "HTTP/1.1", {{"Host", "a"}, {"HOST", "b"}}, "", 400, true},
      {"Content-Length 0",
       "GET",
       "HTTP/1.1",
       {{"Host", "x"}, {"Content-Length", "0"}},
       "",
       0,
       false},
      {"Content-Length 00 is no body",
       "GET",
       "HTTP/1.1",
       {{"Host", "x"}, {"Content-Length", "00"}},
       "",
       0,
       false},
      {"the same length twice",
       "GET",
       "HTTP/1.1",
       {{"Host", "x"}, {"Content-Length", "0"}, {"content-length", "000"}},
       "",
       0,
       false},
      // Read by the first, "0" ends the request and "5" bytes smuggle in another.
      {"lengths that differ",
       "GET",
       "HTTP/1.1",
       {{"Host", "x"}, {"Content-Length", "0"}, {"Content-Length", "5"}},
       "",
       400,
       true},
      {"a length that is no number",
       "GET",
       "HTTP/1.1",
       {{"Host", "x"}, {"Content-Length", "5, 5"}},
       "",
       400,
       true},
      {"chunked with a length",
       "GET",
       "HTTP/1.1",
       {{"Host", "x"}, {"Transfer-Encoding", "chunked"}, {"Content-Length", "0"}},
       "",
       400,
       true},
      {"a body", "GET", "HTTP/1.1", {{"Host", "x"}, {"Content-Length", "00012"}}, "", 413, true},
      {"a chunked body",
       "GET",
       "HTTP/1.1",
       {{"Host", "x"}, {"Transfer-Encoding", "chunked"}},
       "",
       413,
       true},
      {"a refused certificate", "GET", "HTTP/1.1", {{"Host", "x"}}, "no certificate", 403, true},
      {"a body before the certificate",
       "POST",
       "HTTP/1.1",
       {{"Host", "x"}, {"Content-Length", "1"}},
       "no certificate",
       413,
       true},
      {"another method", "POST", "HTTP/1.1", {{"Host", "x"}}, "", 405, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Refusal refusal = ScreenRequest(c.method, c.version, c.headers, c.certificate);
    EXPECT_EQ(refusal.status, c.status) << refusal.text;
    bool closes = false;
    for (const auto& [name, value] : refusal.headers) {
      closes = closes || (name == "Connection" && value == "close");
    }
    EXPECT_EQ(closes, c.closes);
  }
}

}  // namespace
