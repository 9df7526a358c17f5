// Out of memory anywhere inside an operation of the table or an export must come back to the host
// as that operation's failure answer, never as an exception through its C frames, and must leave
// the provider usable. This file replaces the program's operator new so that one call can be made
// to fail its Nth allocation, for every N the call makes.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <ostream>
#include <string>
#include <thread>

#include "provider/avtech_app.h"
#include "provider/env_provider.h"
#include "tests/support/fake_http_component.h"
#if !defined(_WIN32)
#include "tests/support/loopback_server.h"
#endif
#include "tests/support/test_support.h"

namespace {

// Allocations the armed thread may still make before one fails; -1 when none is to fail. Only the
// armed thread counts: a test's server answers on a thread of its own.
std::atomic<long> g_allocations_left{-1};
std::atomic<std::thread::id> g_armed_thread{};
std::atomic<bool> g_failed{false};

void* Allocate(std::size_t size) {
  if (g_allocations_left.load(std::memory_order_relaxed) >= 0 &&
      std::this_thread::get_id() == g_armed_thread.load(std::memory_order_relaxed) &&
      g_allocations_left.fetch_sub(1, std::memory_order_relaxed) == 0) {
    g_failed = true;
    throw std::bad_alloc();
  }
  if (void* block = std::malloc(size != 0 ? size : 1)) return block;
  throw std::bad_alloc();
}

void* AllocateOrNull(std::size_t size) noexcept {
  try {
    return Allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace

void* operator new(std::size_t size) {
  return Allocate(size);
}
void* operator new[](std::size_t size) {
  return Allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return AllocateOrNull(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return AllocateOrNull(size);
}
// The replacements pair malloc with free on purpose; GCC cannot see that the two sides match.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* block) noexcept {
  std::free(block);
}
void operator delete[](void* block) noexcept {
  std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
  std::free(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
  std::free(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
  std::free(block);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace {

using kestrel::testing::FakeNetwork;
#if !defined(_WIN32)
using kestrel::testing::LoopbackServer;
#else
// Only the Linux build has the libcurl component; no row asks for a server there.
struct LoopbackServer {
  std::string Address() const { return ""; }
};
#endif
using kestrel::testing::FixturePath;
using kestrel::testing::ReadFileBytes;
using kestrel::testing::Reply;
using kestrel::testing::TempDir;

constexpr const char* kEscaped = "<exception escaped>";
// Longer than any string's inline buffer, so that copies of it allocate.
constexpr const char* kLongText = "user:secret@room-alert-3w.example.internal:8080";
constexpr const char* kLoaded = "0 The operation completed successfully.";

// What a call handed back, kept without allocating while allocations may fail.
struct Seen {
  long long number = 0;
  char text[64] = "untouched";
};

struct Operation {
  const char* name;
  // Calls the operation through the table as the host does; path is a file in the test's folder.
  void (*run)(IEnvProvider& provider, const char* path, Seen& seen);
  // The host's view of the call, read once allocations work again.
  std::string (*answer)(CAVTechApp& app, const Seen& seen);
  std::string success;
  // How the answer starts when an allocation inside failed; null where the operation has no
  // failure answer (setters, copies into the host's buffer), which then only must not throw and
  // must work when called again. A load answers -1 with "Generic Error.", or with its failing
  // step's text where that step reports running out of memory as its own failure.
  const char* failure;
  // The document a load writes, which a load after a failed one must write as if none had failed.
  const char* document = nullptr;
  // Through the libcurl component and a server on loopback rather than the scripted component: its
  // allocations are the load's too. A GET that fails inside the component is tried again, so such
  // a load may also succeed, with the document it would have written anyway.
  bool over_libcurl = false;
};

void PrintTo(const Operation& op, std::ostream* out) {
  *out << op.name;
}

std::string Nothing(CAVTechApp&, const Seen&) {
  return "";
}
std::string Number(CAVTechApp&, const Seen& seen) {
  return std::to_string(seen.number);
}
std::string Text(CAVTechApp&, const Seen& seen) {
  return seen.text;
}
std::string Outcome(CAVTechApp& app, const Seen& seen) {
  return std::to_string(seen.number) + " " + app.LastErrorText().Text();
}
std::string Community(CAVTechApp& app, const Seen&) {
  return app.Community().Text();
}

using Provider = IEnvProvider;

const Operation kOperations[] = {
    {"LoadDeviceConfig", [](Provider& p, const char*, Seen& s) { s.number = p.LoadDeviceConfig(); },
     Outcome, kLoaded, "-1 ", "device.xml"},
    {"LoadDeviceData", [](Provider& p, const char*, Seen& s) { s.number = p.LoadDeviceData(); },
     Outcome, kLoaded, "-1 ", "device-data.xml"},
#if !defined(_WIN32)
    // An exception out of the receive callback once unwound through libcurl and left the handle
    // inside a transfer: every later load failed ("Generic HTTP failure") until the provider went.
    {"LoadDeviceDataOverLibcurl",
     [](Provider& p, const char*, Seen& s) { s.number = p.LoadDeviceData(); }, Outcome, kLoaded,
     "-1 ", "device-data.xml", true},
#endif
    {"GetProviderName",
     [](Provider& p, const char*, Seen& s) { p.GetProviderName(s.text, sizeof s.text); }, Text,
     "AVTech Room Alert 3W", nullptr},
    {"GetDefaultHost",
     [](Provider& p, const char*, Seen& s) { p.GetDefaultHost(s.text, sizeof s.text); }, Text,
     "localhost:8380", nullptr},
    {"GetProviderId",
     [](Provider& p, const char*, Seen& s) { p.GetProviderId(s.text, sizeof s.text); }, Text,
     "kestrel-probe", nullptr},
    {"GetDeviceTypeId", [](Provider& p, const char*, Seen& s) { s.number = p.GetDeviceTypeId(); },
     Number, "131104", "131104"},
    {"GetSupportedProtocols",
     [](Provider& p, const char*, Seen& s) { s.number = p.GetSupportedProtocols(); }, Number, "8",
     "8"},
    {"SetProgramFilesFolder",
     [](Provider& p, const char*, Seen&) { p.SetProgramFilesFolder(kLongText); }, Nothing, "",
     nullptr},
    {"SetProgramDataFolder",
     [](Provider& p, const char*, Seen&) { p.SetProgramDataFolder(kLongText); }, Nothing, "",
     nullptr},
    {"SetTracingFile", [](Provider& p, const char* path, Seen&) { p.SetTracingFile(path); },
     Nothing, "", nullptr},
    {"SetConfigWorkingFile",
     [](Provider& p, const char*, Seen&) { p.SetConfigWorkingFile(kLongText); }, Nothing, "",
     nullptr},
    {"SetDataFile", [](Provider& p, const char*, Seen&) { p.SetDataFile(kLongText); }, Nothing, "",
     nullptr},
    {"SetHost", [](Provider& p, const char*, Seen&) { p.SetHost(kLongText); }, Nothing, "",
     nullptr},
    {"SetCommunity", [](Provider& p, const char*, Seen&) { p.SetCommunity(kLongText); }, Nothing,
     "", nullptr},
    {"SetAccount", [](Provider& p, const char*, Seen&) { p.SetAccount(kLongText); }, Nothing, "",
     nullptr},
    {"SetPassword", [](Provider& p, const char*, Seen&) { p.SetPassword(kLongText); }, Nothing, "",
     nullptr},
    {"SetHttpSecure", [](Provider& p, const char*, Seen&) { p.SetHttpSecure(1); }, Nothing, "",
     nullptr},
    {"SetHttpPort", [](Provider& p, const char*, Seen&) { p.SetHttpPort(8443); }, Nothing, "",
     nullptr},
    {"SetMibFile", [](Provider& p, const char*, Seen&) { p.SetMibFile(kLongText); }, Nothing, "",
     nullptr},
    {"SetProtocol", [](Provider& p, const char*, Seen&) { p.SetProtocol(8); }, Nothing, "",
     nullptr},
    {"SetSnmpConfig",
     [](Provider& p, const char*, Seen&) {
       CEnvSnmpConfig snmp;
       snmp.community.Assign(kLongText);
       p.SetSnmpConfig(&snmp);
     },
     Community, kLongText, nullptr},
    {"GetLastErrorText",
     [](Provider& p, const char*, Seen& s) { p.GetLastErrorText(s.text, sizeof s.text); }, Text, "",
     nullptr},
};

void Arm(long allocations) {
  g_failed = false;
  g_armed_thread = std::this_thread::get_id();
  g_allocations_left = allocations;
}
void Disarm() {
  g_allocations_left = -1;
}

class AllocationFailureTest : public ::testing::TestWithParam<Operation> {
 protected:
  void SetUp() override {
    const std::string json = ReadFileBytes(FixturePath("roomalert/3w-typical.json"));
#if !defined(_WIN32)
    if (GetParam().over_libcurl) {
      // The real component, with the scripted clock still in place: a retried GET waits for
      // nothing.
      kestrel::netcomp::SetHttpComponentFactoryForTesting(nullptr);
      constexpr auto kClose = LoopbackServer::After::kClose;
      server_ = std::make_unique<LoopbackServer>(LoopbackServer::Ok(json, kClose), kClose);
    }
#endif
    network_.world.answers = {Reply(0, 200, std::u16string(json.begin(), json.end()))};
  }

  // A provider as the host leaves it before the call: every file named, a device that answers.
  CAVTechApp* Configured() {
    IEnvProvider* provider = CreatePluginInstance();
    auto* app = static_cast<CAVTechApp*>(provider);
    provider->SetTracingFile(dir_.File("trace.log").c_str());
    provider->SetConfigWorkingFile(dir_.File("device.xml").c_str());
    provider->SetDataFile(dir_.File("device-data.xml").c_str());
    provider->SetHost(server_ != nullptr ? server_->Address().c_str() : "10.0.0.7");
    return app;
  }

  // The operation's answer with the Nth allocation from now failing; g_failed tells whether it
  // did.
  std::string CallFailingAt(CAVTechApp& app, long n) {
    const Operation& op = GetParam();
    const std::string path = dir_.File("moved-trace-file.log");
    Seen seen;
    bool escaped = false;
    Arm(n);
    try {
      op.run(app, path.c_str(), seen);
    } catch (...) {
      escaped = true;
    }
    Disarm();
    return escaped ? kEscaped : op.answer(app, seen);
  }

  FakeNetwork network_;
  std::unique_ptr<LoopbackServer> server_;
  TempDir dir_;
};

TEST_P(AllocationFailureTest, EachFailingAllocationIsTheOperationsFailure) {
  const Operation& op = GetParam();
  std::string document;
  if (op.document != nullptr) {
    CAVTechApp* app = Configured();
    ASSERT_EQ(CallFailingAt(*app, -1), op.success);
    DeletePluginInstance(app);
    document = ReadFileBytes(dir_.File(op.document));
  }
  // Generous: a load makes about a hundred allocations.
  constexpr long kMaxAllocations = 5000;
  long n = 0;
  for (; n < kMaxAllocations; ++n) {
    CAVTechApp* app = Configured();
    const std::string answer = CallFailingAt(*app, n);
    if (!g_failed) {
      EXPECT_EQ(answer, op.success) << "with no failure";
      DeletePluginInstance(app);
      break;
    }
    ASSERT_NE(answer, kEscaped) << "allocation " << n;
    if (op.over_libcurl && answer == op.success) {
      EXPECT_EQ(ReadFileBytes(dir_.File(op.document)), document) << "allocation " << n;
    } else if (op.failure != nullptr) {
      EXPECT_EQ(answer.rfind(op.failure, 0), 0u) << answer << ", allocation " << n;
    }
    // Nothing half-done may stay behind: the same call on the same provider works next time.
    EXPECT_EQ(CallFailingAt(*app, -1), op.success) << "after allocation " << n << " failed";
    if (op.document != nullptr) {
      EXPECT_EQ(ReadFileBytes(dir_.File(op.document)), document) << "allocation " << n;
    }
    DeletePluginInstance(app);
  }
  EXPECT_LT(n, kMaxAllocations);
}

INSTANTIATE_TEST_SUITE_P(Operations, AllocationFailureTest, ::testing::ValuesIn(kOperations),
                         [](const ::testing::TestParamInfo<Operation>& info) {
                           return std::string(info.param.name);
                         });

TEST(AllocationFailureExportsTest, CreateAnswersNullAndDeleteTakesWhatCreateGave) {
  long n = 0;
  for (; n < 1000; ++n) {
    Arm(n);
    IEnvProvider* provider = nullptr;
    bool escaped = false;
    try {
      provider = CreatePluginInstance();
    } catch (...) {
      escaped = true;
    }
    Disarm();
    ASSERT_FALSE(escaped) << "allocation " << n;
    if (!g_failed) {
      ASSERT_NE(provider, nullptr);
      Arm(0);  // destruction must need no memory
      DeletePluginInstance(provider);
      Disarm();
      EXPECT_FALSE(g_failed);
      break;
    }
    EXPECT_EQ(provider, nullptr) << "allocation " << n;
  }
  EXPECT_LT(n, 1000);
}

}  // namespace
