// The network component as a registered in-process COM server: registration, creation through the
// provider's seam and release. Its HTTP answers are checked end to end, against the simulator.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "netcomp/component_factory.h"
#include "netcomp/win32/mvnetwork.h"
#include "platform/platform.h"
#include "provider/avtech_app.h"
#include "tests/support/test_module.h"
#include "tests/support/test_support.h"

namespace {

using kestrel::platform::HttpComponent;
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

std::wstring GuidText(const GUID& guid) {
  wchar_t text[64] = {0};
  ::StringFromGUID2(guid, text, 64);
  return text;
}

std::wstring ClassKey() {
  return L"CLSID\\" + GuidText(kestrel::netcomp::kHttpExClass);
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
  const std::wstring interface_key = L"Interface\\" + GuidText(kestrel::netcomp::kHttpExInterface);
  EXPECT_EQ(RegistryText(interface_key, nullptr), "IMvnHttpEx");

  ASSERT_EQ(unregister_(), S_OK);
  EXPECT_EQ(RegistryText(key + L"\\InprocServer32", nullptr), "<absent>");
  EXPECT_EQ(RegistryText(interface_key, nullptr), "<absent>");
  EXPECT_NE(::CLSIDFromProgID(L"MVNETWORK.HTTPEX", &found), S_OK);
  EXPECT_EQ(unregister_(), S_OK);  // unregistering twice is no error
}

TEST_F(ComponentTest, UnregisteredComponentFailsTheProviderWithTheCreationTexts) {
  ASSERT_EQ(unregister_(), S_OK);
  HttpComponent* component = nullptr;
  EXPECT_LT(kestrel::netcomp::CreateHttpComponent(&component), 0);
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
  ASSERT_EQ(kestrel::netcomp::CreateHttpComponent(&component), 0);
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

}  // namespace
