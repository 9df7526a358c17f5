// The host reaches the provider only through the exported factory and the table's slot numbers;
// these tests load the built module and call every operation by its slot.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <regex>
#include <string>

#include "provider/env_provider.h"
#include "tests/support/test_module.h"
#include "tests/support/test_support.h"

namespace {

using kestrel::testing::ReadFileBytes;
using kestrel::testing::TempDir;

// The module and one provider from it; the slot helpers cast the table's entries as the host does.
class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = std::make_unique<kestrel::testing::LoadedModule>(KESTREL_MODULE_PATH);
    ASSERT_TRUE(module_->loaded()) << module_->error();
    create_ = module_->Symbol<CreatePluginInstanceFunction>("CreatePluginInstance");
    destroy_ = module_->Symbol<DeletePluginInstanceFunction>("DeletePluginInstance");
    ASSERT_NE(create_, nullptr);
    ASSERT_NE(destroy_, nullptr);
    provider_ = create_();
    ASSERT_NE(provider_, nullptr);
  }
  void TearDown() override {
    if (destroy_ != nullptr) destroy_(provider_);
    module_.reset();
  }

  template <typename Result, typename... Args>
  Result Call(int slot, Args... args) {
    void** table = *reinterpret_cast<void***>(provider_);
    return reinterpret_cast<Result (*)(IEnvProvider*, Args...)>(table[slot])(provider_, args...);
  }
  std::string Text(int slot, uint32_t length = 128) {
    std::string buffer(length, '\x7f');
    Call<char*>(slot, buffer.data(), length);
    return buffer.substr(0, std::strlen(buffer.c_str()));
  }

  std::unique_ptr<kestrel::testing::LoadedModule> module_;
  CreatePluginInstanceFunction create_ = nullptr;
  DeletePluginInstanceFunction destroy_ = nullptr;
  IEnvProvider* provider_ = nullptr;
};

TEST_F(ModuleTest, IdentityThroughTheTable) {
  EXPECT_EQ(Text(2), "AVTech Room Alert 3W");
  EXPECT_EQ(Text(3), "localhost:8380");
  EXPECT_EQ(Text(4), "kestrel-probe");
  EXPECT_EQ(Call<uint32_t>(5), 131104u);
  EXPECT_EQ(Call<uint32_t>(6), 8u);
  EXPECT_EQ(Text(21), "");
  destroy_(nullptr);  // accepted
}

TEST_F(ModuleTest, BufferGettersFollowStrncpy) {
  char small[10];
  std::memset(small, '#', sizeof small);
  Call<char*>(2, small, 8u);
  EXPECT_EQ(std::string(small, 10), "AVTech R##");

  char wide[64];
  std::memset(wide, '#', sizeof wide);
  EXPECT_EQ(Call<char*>(2, wide, 64u), wide);
  EXPECT_EQ(std::string(wide, 20), "AVTech Room Alert 3W");
  for (int i = 20; i < 64; ++i) ASSERT_EQ(wide[i], '\0') << i;
}

TEST_F(ModuleTest, EverySetterTracesItsLineAndNeverThePassword) {
  TempDir dir;
  const std::string trace = dir.File("trace.txt");
  CEnvSnmpConfig snmp;
  snmp.community.Assign("public");
  snmp.snmp_version = 3;

  Call<void>(9, trace.c_str());
  Call<void>(7, "C:\\Program Files");
  Call<void>(8, "C:\\ProgramData");
  Call<void>(10, "dev01.XML");
  Call<void>(11, "dev01-data.xml");
  Call<void>(12, "10.0.0.7");
  Call<void>(13, "quorin");
  Call<void>(14, "admin");
  Call<void>(15, "s3cret-pass");
  Call<void>(16, 5);
  Call<void>(16, 0);
  Call<void>(17, 8443u);
  Call<void>(18, "ROOMALERT.MIB");
  Call<void>(19, 8u);
  Call<void>(20, &snmp);

  const std::string expected =
      "[T] EnvProviderApp: Setting tracing file: [" + trace + "]\r\n" +
      "[T] EnvProviderApp: Setting program files folder: [C:\\Program Files]\r\n"
      "[T] EnvProviderApp: Setting program data folder: [C:\\ProgramData]\r\n"
      "[T] EnvProviderApp: Setting XML config working file: [dev01.XML]\r\n"
      "[T] EnvProviderApp: Setting data XML file: [dev01-data.xml]\r\n"
      "[T] EnvProviderApp: Setting device hostname or URL: [10.0.0.7]\r\n"
      "[T] EnvProviderApp: Setting device community (SNMP only!): [quorin]\r\n"
      "[T] EnvProviderApp: Setting credentials (account): [admin]\r\n"
      "[T] EnvProviderApp: Setting credentials (password): [********]\r\n"
      "[T] EnvProviderApp: Setting HttpSecure: [TRUE]\r\n"
      "[T] EnvProviderApp: Setting HttpSecure: [FALSE]\r\n"
      "[T] EnvProviderApp: Setting HTTP port: [8443]\r\n"
      "[T] EnvProviderApp: Setting SNMP MIB file: [ROOMALERT.MIB]\r\n"
      "[T] EnvProviderApp: Setting communications protocol: [8]\r\n"
      "[T] EnvProviderApp: Setting SNMP configuration, SNMP version: [3]\r\n";
  const std::string written = ReadFileBytes(trace);
  EXPECT_EQ(std::regex_replace(written, std::regex(R"(\[\d\d:\d\d:\d\d\] )"), "[T] "), expected);
  EXPECT_EQ(written.find("s3cret"), std::string::npos);
}

TEST_F(ModuleTest, TracingFileMovesAtOnce) {
  TempDir dir;
  Call<void>(9, dir.File("first.txt").c_str());
  Call<void>(12, "a");
  Call<void>(9, dir.File("second.txt").c_str());
  Call<void>(12, "b");
  EXPECT_NE(ReadFileBytes(dir.File("first.txt")).find("[a]"), std::string::npos);
  const std::string second = ReadFileBytes(dir.File("second.txt"));
  EXPECT_NE(second.find("Setting tracing file"), std::string::npos);
  EXPECT_NE(second.find("[b]"), std::string::npos);
  EXPECT_EQ(second.find("[a]"), std::string::npos);
}

}  // namespace
