#include <gtest/gtest.h>

#include "provider/device_url.h"

namespace {

struct UrlCase {
  const char* host;
  int32_t secure;
  uint32_t port;
  const char* url;
};

class DeviceUrlTest : public ::testing::TestWithParam<UrlCase> {};

TEST_P(DeviceUrlTest, SchemeHostPortAndPath) {
  CMvnString url;
  kestrel::provider::BuildDeviceUrl(GetParam().host, GetParam().secure, GetParam().port, url);
  EXPECT_STREQ(url.Text(), GetParam().url);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeviceUrlTest,
    ::testing::Values(UrlCase{"10.0.0.5", 0, 0, "http://10.0.0.5/getData.json"},
                      UrlCase{"10.0.0.5", 5, 0, "https://10.0.0.5/getData.json"},
                      UrlCase{"10.0.0.5", 0, 8080, "http://10.0.0.5:8080/getData.json"},
                      // A port written into the host text wins over the setting.
                      UrlCase{"ra3w.lan:81", 0, 8080, "http://ra3w.lan:81/getData.json"},
                      UrlCase{"[fe80::1]", 1, 8443, "https://[fe80::1]:8443/getData.json"},
                      UrlCase{"[fe80::1]:444", 1, 8443, "https://[fe80::1]:444/getData.json"},
                      // The colons of an IPv6 literal are no port; a port needs the brackets.
                      UrlCase{"fe80::1", 0, 8080, "http://[fe80::1]:8080/getData.json"},
                      UrlCase{"fe80::1", 0, 0, "http://fe80::1/getData.json"},
                      UrlCase{"admin@10.0.0.5", 0, 8080, "http://admin@10.0.0.5:8080/getData.json"},
                      UrlCase{"10.0.0.5/ra", 0, 8080, "http://10.0.0.5:8080/ra/getData.json"},
                      // The host text is taken as it is: a scheme in it gives two.
                      UrlCase{"http://10.0.0.5", 0, 0, "http://http://10.0.0.5/getData.json"}));

}  // namespace
