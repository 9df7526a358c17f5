// The network component as a registered in-process COM server: registration, creation through the
// provider's seam, release, and its answers from a server on loopback.
// Sockets first: windows.h would bring in the older socket header.
#include <winsock2.h>

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "netcomp/win32/mvnetwork.h"
#include "platform/platform.h"
#include "provider/avtech_app.h"
#include "tests/support/test_module.h"
#include "tests/support/test_support.h"

namespace {

using kestrel::platform::HttpComponent;
using kestrel::platform::WChar;
using kestrel::testing::LoadedModule;
using kestrel::testing::ReadFileBytes;
using kestrel::testing::TempDir;

using ServerFunction = HRESULT(STDAPICALLTYPE*)();

constexpr const char* kNotCreated =
    "Morvane Network Component class 'MVNETWORK::HTTPEX' could not be created.";

std::string RegistryText(const std::wstring& key, const wchar_t* name) {
  wchar_t value[512] = {0};
  DWORD size = sizeof value;
  if (::RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &size) !=
      ERROR_SUCCESS) {
    return "<absent>";
  }
  char narrow[512] = {0};
  ::WideCharToMultiByte(CP_ACP, 0, value, -1, narrow, sizeof narrow, nullptr, nullptr);
  return narrow;
}

std::wstring ClassKey() {
  wchar_t text[64] = {0};
  ::StringFromGUID2(kestrel::netcomp::kHttpExClass, text, 64);
  return std::wstring(L"CLSID\\") + text;
}

// Registers the component for the test and leaves it registered, as the installer would.
class ComponentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(module_.loaded()) << module_.error();
    register_ = module_.Symbol<ServerFunction>("DllRegisterServer");
    unregister_ = module_.Symbol<ServerFunction>("DllUnregisterServer");
    can_unload_ = module_.Symbol<ServerFunction>("DllCanUnloadNow");
    ASSERT_NE(register_, nullptr);
    ASSERT_NE(unregister_, nullptr);
    ASSERT_NE(can_unload_, nullptr);
    ASSERT_EQ(register_(), S_OK);
  }
  void TearDown() override {
    if (register_ != nullptr) register_();
  }

  LoadedModule module_{KESTREL_NETCOMP_PATH};
  ServerFunction register_ = nullptr;
  ServerFunction unregister_ = nullptr;
  ServerFunction can_unload_ = nullptr;
};

TEST_F(ComponentTest, RegistersAsAnApartmentInProcessServerUnderItsProgId) {
  const std::wstring key = ClassKey();
  const std::string server = RegistryText(key + L"\\InprocServer32", nullptr);
  EXPECT_NE(server.find("mvnetwork.dll"), std::string::npos) << server;
  EXPECT_EQ(RegistryText(key + L"\\InprocServer32", L"ThreadingModel"), "Apartment");
  EXPECT_EQ(RegistryText(key + L"\\ProgID", nullptr), "MVNETWORK.HTTPEX");
  CLSID found = {};
  ASSERT_EQ(::CLSIDFromProgID(L"MVNETWORK.HTTPEX", &found), S_OK);
  EXPECT_TRUE(IsEqualCLSID(found, kestrel::netcomp::kHttpExClass));

  ASSERT_EQ(unregister_(), S_OK);
  EXPECT_EQ(RegistryText(key + L"\\InprocServer32", nullptr), "<absent>");
  EXPECT_NE(::CLSIDFromProgID(L"MVNETWORK.HTTPEX", &found), S_OK);
  EXPECT_EQ(unregister_(), S_OK);  // unregistering twice is no error
}

TEST_F(ComponentTest, UnregisteredComponentFailsTheProviderWithTheCreationTexts) {
  ASSERT_EQ(unregister_(), S_OK);
  HttpComponent* component = nullptr;
  EXPECT_LT(kestrel::platform::CreateHttpComponent(&component), 0);
  EXPECT_EQ(component, nullptr);

  TempDir dir;
  const std::string trace = dir.File("trace.log");
  CAVTechApp app;
  app.SetTracingFile(trace.c_str());
  EXPECT_FALSE(app.InitHttpComponent());
  EXPECT_STREQ(app.LastErrorText().Text(), kNotCreated);
  CMvnString body;
  CMvnString detail;
  EXPECT_EQ(app.HttpGet("http://127.0.0.1:1/getData.json", body, detail), -1);
  EXPECT_STREQ(detail.Text(), "");
  EXPECT_STREQ(app.LastErrorText().Text(), kNotCreated);
  EXPECT_NE(ReadFileBytes(trace).find("] EnvProviderApp: Failed to read data over HTTP. Failed to "
                                      "initialize HTTP library.\r\n"),
            std::string::npos);

  // Registered again, the same provider creates it on its next attempt.
  ASSERT_EQ(register_(), S_OK);
  EXPECT_TRUE(app.InitHttpComponent());
}

TEST_F(ComponentTest, EveryReferenceIsReleased) {
  EXPECT_EQ(can_unload_(), S_OK);
  HttpComponent* component = nullptr;
  ASSERT_EQ(kestrel::platform::CreateHttpComponent(&component), 0);
  EXPECT_EQ(can_unload_(), S_FALSE);
  component->Release();
  EXPECT_EQ(can_unload_(), S_OK);

  // The provider keeps the component for its life and releases it when it is destroyed.
  auto app = std::make_unique<CAVTechApp>();
  ASSERT_TRUE(app->InitHttpComponent());
  ASSERT_TRUE(app->InitHttpComponent());
  EXPECT_EQ(can_unload_(), S_FALSE);
  app.reset();
  EXPECT_EQ(can_unload_(), S_OK);
}

// A server on 127.0.0.1 that answers each connection with the next canned response and keeps the
// request heads it read.
class LoopbackServer {
 public:
  explicit LoopbackServer(std::vector<std::string> responses) : responses_(std::move(responses)) {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
    listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    ::listen(listener_, 4);
    thread_ = std::thread([this] { Serve(); });
  }
  ~LoopbackServer() {
    ::closesocket(listener_);
    thread_.join();
    ::WSACleanup();
  }

  unsigned port() const { return port_; }
  std::string Url(const char* path = "/getData.json") const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  // Only read after the component's Get returned, so the server has finished with it.
  const std::vector<std::string>& requests() const { return requests_; }

 private:
  void Serve() {
    for (const std::string& response : responses_) {
      const SOCKET client = ::accept(listener_, nullptr, nullptr);
      if (client == INVALID_SOCKET) return;
      std::string head;
      char chunk[1024];
      while (head.find("\r\n\r\n") == std::string::npos) {
        const int got = ::recv(client, chunk, sizeof chunk, 0);
        if (got <= 0) break;
        head.append(chunk, static_cast<std::size_t>(got));
      }
      requests_.push_back(head);
      ::send(client, response.data(), static_cast<int>(response.size()), 0);
      ::shutdown(client, SD_SEND);
      ::closesocket(client);
    }
  }

  std::vector<std::string> responses_;
  std::vector<std::string> requests_;
  SOCKET listener_ = INVALID_SOCKET;
  unsigned port_ = 0;
  std::thread thread_;
};

std::string Response(int status, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) +
         " X\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
         body;
}

std::basic_string<WChar> Wide(const std::string& ansi) {
  std::basic_string<WChar> out(ansi.size(), 0);
  kestrel::platform::AnsiToWide(ansi.data(), static_cast<int32_t>(ansi.size()), out.data(),
                                static_cast<int32_t>(out.size()));
  return out;
}

struct Fetch {
  int32_t error = -2;
  int32_t status = -2;
  std::basic_string<WChar> body;
  bool has_body = false;
};

Fetch Get(HttpComponent* component, const std::string& url) {
  Fetch out;
  WChar* body = nullptr;
  component->Get(Wide(url).c_str(), &body);
  out.error = component->LastError();
  out.status = component->ResponseCode();
  out.has_body = body != nullptr;
  if (body != nullptr) out.body.assign(body, ::SysStringLen(body));
  kestrel::platform::FreeWideString(body);
  return out;
}

struct BodyCase {
  const char* name;
  int status;
  std::string sent;
  std::basic_string<WChar> expected;
};

class ComponentBodyTest : public ComponentTest, public ::testing::WithParamInterface<BodyCase> {};

TEST_P(ComponentBodyTest, AnswersStatusAndBodyAsUtf16) {
  const BodyCase& c = GetParam();
  LoopbackServer server({Response(c.status, c.sent)});
  HttpComponent* component = nullptr;
  ASSERT_EQ(kestrel::platform::CreateHttpComponent(&component), 0);
  const Fetch got = Get(component, server.Url());
  component->Release();
  EXPECT_EQ(got.error, 0);
  EXPECT_EQ(got.status, c.status);
  EXPECT_EQ(got.body, c.expected);
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].rfind("GET /getData.json HTTP/1.1\r\n", 0), 0u)
      << server.requests()[0];
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, ComponentBodyTest,
    ::testing::Values(BodyCase{"Utf8", 200,
                               "{\"t\":\"21 \xC2\xB0"
                               "C\"}",
                               L"{\"t\":\"21 \u00B0C\"}"},
                      // Not valid UTF-8: the device's own code page.
                      BodyCase{"Windows1252", 200,
                               "{\"t\":\"21 \xB0"
                               "C \x80\"}",
                               L"{\"t\":\"21 \u00B0C \u20AC\"}"},
                      // The retrieval refuses a byte-order mark; the component hands it on.
                      BodyCase{"ByteOrderMark", 200, "\xEF\xBB\xBF{}", L"\uFEFF{}"},
                      BodyCase{"EmbeddedNul", 200, std::string("{}\0x", 4),
                               std::basic_string<WChar>(L"{}\0x", 4)},
                      BodyCase{"Empty", 200, "", L""},
                      // Any status is an answer: the retrieval judges it.
                      BodyCase{"NotFound", 404, "<html>missing</html>", L"<html>missing</html>"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ComponentTest, SendsBasicCredentialsAndLogsWithoutThem) {
  LoopbackServer server({Response(200, "{}")});
  TempDir dir;
  const std::string log = dir.File("net.log");
  HttpComponent* component = nullptr;
  ASSERT_EQ(kestrel::platform::CreateHttpComponent(&component), 0);
  component->SetLogFile(Wide(log).c_str());
  component->SetUserName(L"u");
  component->SetPassword(L"s3cret");
  const Fetch got = Get(component, server.Url());
  component->Release();
  EXPECT_EQ(got.error, 0);
  ASSERT_EQ(server.requests().size(), 1u);
  // "u:s3cret" in base64.
  EXPECT_NE(server.requests()[0].find("Authorization: Basic dTpzM2NyZXQ=\r\n"), std::string::npos)
      << server.requests()[0];
  const std::string lines = ReadFileBytes(log);
  EXPECT_NE(lines.find(server.Url()), std::string::npos) << lines;
  EXPECT_NE(lines.find("status 200"), std::string::npos) << lines;
  EXPECT_EQ(lines.find("s3cret"), std::string::npos) << lines;
  EXPECT_EQ(lines.find("dTpzM2NyZXQ"), std::string::npos) << lines;
}

// A connection closed before the announced length arrived is an error, as on Linux.
TEST_F(ComponentTest, CutBodyIsAGenericFailure) {
  LoopbackServer server({"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"cut\":"});
  HttpComponent* component = nullptr;
  ASSERT_EQ(kestrel::platform::CreateHttpComponent(&component), 0);
  const Fetch got = Get(component, server.Url());
  component->Release();
  EXPECT_EQ(got.error, 22449);
  EXPECT_FALSE(got.has_body);
}

TEST_F(ComponentTest, RefusedConnectionIsError10061WithoutBody) {
  unsigned port = 0;
  {
    LoopbackServer closed({});
    port = closed.port();
  }
  HttpComponent* component = nullptr;
  ASSERT_EQ(kestrel::platform::CreateHttpComponent(&component), 0);
  const Fetch got = Get(component, "http://127.0.0.1:" + std::to_string(port) + "/getData.json");
  component->Release();
  EXPECT_EQ(got.error, 10061);
  EXPECT_FALSE(got.has_body);
}

}  // namespace
