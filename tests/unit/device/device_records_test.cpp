#include "device/device_records.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "provider/avtech_app.h"
#include "tests/support/test_support.h"

namespace {

template <typename T, typename Id>
std::vector<int> Ids(const CMvnList& list, Id T::*id) {
  std::vector<int> ids;
  for (const CMvnListNode* node = list.Head(); node != nullptr; node = node->next) {
    ids.push_back(static_cast<int>(static_cast<T*>(node->item)->*id));
  }
  return ids;
}

TEST(DeviceRecordTest, ResetClearsThisLoadsIdentityAndKeepsTheRest) {
  CEnvDevInfo device("CEnvDevInfo");
  device.device_type_id = 0x20020;
  device.provider.Assign("AVTech Room Alert 3W");
  device.vendor.Assign("AVTech");
  device.serial.Assign("RA-0042");
  device.description.Assign("Server room");
  device.tracefile.Assign("/var/log/kestrel.trace");
  device.reserved_number1 = 9;
  device.AddInterface(new CEnvDevInterface("CEnvDevInterface"));
  device.Reset();
  EXPECT_EQ(device.device_type_id, 0xFFFFFFFFu);
  EXPECT_STREQ(device.provider.Text(), "");
  EXPECT_STREQ(device.description.Text(), "");
  EXPECT_EQ(device.reserved_number1, 0u);
  EXPECT_EQ(device.Interfaces().GetCount(), 0u);
  EXPECT_STREQ(device.vendor.Text(), "AVTech");
  EXPECT_STREQ(device.serial.Text(), "RA-0042");
  EXPECT_STREQ(device.tracefile.Text(), "/var/log/kestrel.trace");
}

TEST(DeviceRecordTest, IdsAreInsertionPositionsAndRestartAfterReset) {
  CEnvDevInfo device("CEnvDevInfo");
  for (int i = 0; i < 3; ++i) {
    auto* device_interface = new CEnvDevInterface("CEnvDevInterface");
    device_interface->interface_id = 40;
    device.AddInterface(device_interface);
    device.AddInterface(nullptr);
  }
  EXPECT_EQ(Ids(device.Interfaces(), &CEnvDevInterface::interface_id), (std::vector<int>{0, 1, 2}));
  device.Reset();
  device.AddInterface(new CEnvDevInterface("CEnvDevInterface"));
  EXPECT_EQ(Ids(device.Interfaces(), &CEnvDevInterface::interface_id), (std::vector<int>{0}));

  CEnvDevInterface device_interface("CEnvDevInterface");
  device_interface.AddSensor(new CEnvDevInterfaceSensor("CEnvDevInterfaceSensor"));
  device_interface.AddSensor(new CEnvDevInterfaceSensor("CEnvDevInterfaceSensor"));
  device_interface.ClearSensors();
  device_interface.AddSensor(new CEnvDevInterfaceSensor("CEnvDevInterfaceSensor"));
  EXPECT_EQ(Ids(device_interface.Sensors(), &CEnvDevInterfaceSensor::sensor_id),
            (std::vector<int>{0}));
}

// The document test compares what a clone writes; these are the fields no document shows.
TEST(DeviceRecordTest, CloneKeepsWhatNoDocumentShows) {
  CEnvDevInfo device("CEnvDevInfo");
  device.reserved_text5.Assign("kept");
  device.reserved_value2 = 77;
  device.snmp.snmp_version = 3;
  std::unique_ptr<CMvnBase> cloned(device.Clone());
  ASSERT_NE(cloned, nullptr);
  auto& copy = static_cast<CEnvDevInfo&>(*cloned);
  EXPECT_STREQ(copy.ClassName(), "CEnvDevInfo");
  EXPECT_STREQ(copy.reserved_text5.Text(), "kept");
  EXPECT_EQ(copy.reserved_value2, 77u);
  EXPECT_EQ(copy.snmp.snmp_version, 3);
}

TEST(DeviceRecordTest, ProviderKeepsItsTraceFileInTheRecord) {
  CAVTechApp app;
  kestrel::testing::TempDir dir;
  const std::string trace = dir.File("provider.trace");
  app.SetTracingFile(trace.c_str());
  app.Device().Reset();
  EXPECT_STREQ(app.Device().tracefile.Text(), trace.c_str());
}

}  // namespace
