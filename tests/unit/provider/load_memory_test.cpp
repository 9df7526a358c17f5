// What a provider keeps between loads, whatever its device sent. A hostile device's 1 MB document
// once left its provider holding the reader's buffers at their largest, the pool of entries and
// the record's 4,500 interfaces: some 43 MB for each such device in the exporter, for good.
#include <gtest/gtest.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cstddef>
#include <string>

#include "platform/kept_memory.h"
#include "provider/avtech_app.h"
#include "tests/support/avtech_app_access.h"
#include "tests/support/fake_http_component.h"
#include "tests/support/test_support.h"

namespace {

using namespace kestrel::testing;

constexpr std::size_t kMaxBody = 1024 * 1024;
// What a provider may keep for the next load of a real 3W.
constexpr std::size_t kKeptBytes = 256 * 1024;

std::u16string Wide(const std::string& bytes) {
  return std::u16string(bytes.begin(), bytes.end());  // ASCII here
}

// A real 3W's document grown to 1 MB the way a hostile device grows it: its first sensor repeated,
// and a device name as long as a line may be.
std::string LargeDocument(std::string json) {
  const std::size_t name = json.find("\"Server Room 2\"");
  json.replace(name + 1, 13, std::string(16 * 1024, 'n'));
  const std::size_t first = json.find("\"sensor\":[{") + 10;
  const std::string item = json.substr(first, json.find('}', first) + 1 - first) + ",";
  std::string items;
  while (json.size() + items.size() + item.size() <= kMaxBody) items += item;
  return json.insert(first, items);
}

// Bytes the heap has handed out and not had back, where the C library tells; 0 elsewhere. The
// sanitizers' allocators do not tell.
std::size_t HeapInUse() {
#if defined(__GLIBC__) && !defined(KESTREL_ASAN) && !defined(__SANITIZE_THREAD__)
  const struct mallinfo2 info = ::mallinfo2();
  return info.uordblks + info.hblkhd;
#else
  return 0;
#endif
}

TEST(LoadMemoryTest, AfterALargeDocumentAProviderKeepsWhatARealOneNeeds) {
  const std::string typical = ReadFileBytes(FixturePath("roomalert/3w-typical.json"));
  const std::string large = LargeDocument(typical);
  ASSERT_GT(large.size(), kMaxBody - 1024);
  FakeNetwork network;
  network.world.answers = {Reply(0, 200, Wide(typical)), Reply(0, 200, Wide(large)),
                           Reply(0, 200, Wide(typical))};
  TempDir dir;
  CAVTechApp app;
  app.SetTracingFile(dir.File("trace.log").c_str());
  app.SetConfigWorkingFile(dir.File("device.xml").c_str());
  app.SetDataFile(dir.File("device-data.xml").c_str());

  ASSERT_EQ(app.LoadDeviceData(), 0);
  const std::size_t real = AVTechAppTestAccess::ReaderMemoryBytes(app);
  const std::size_t heap = HeapInUse();
  EXPECT_LE(real, kKeptBytes);

  ASSERT_EQ(app.LoadDeviceData(), 0) << app.LastErrorText().Text();
  EXPECT_LE(AVTechAppTestAccess::ReaderMemoryBytes(app), kKeptBytes);
  EXPECT_EQ(app.Device().Interfaces().GetCount(), 0u);
  EXPECT_EQ(app.Device().description.Length(), 0u);

  for (int load = 0; load < 3; ++load) {
    ASSERT_EQ(app.LoadDeviceData(), 0);
    EXPECT_LE(AVTechAppTestAccess::ReaderMemoryBytes(app), kKeptBytes);
  }
  // Everything else the module keeps between loads, seen from the heap.
  EXPECT_LE(HeapInUse(), heap + kKeptBytes - real);
}

}  // namespace
