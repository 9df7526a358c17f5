#include "device/device_records.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "provider/avtech_app.h"
#include "tests/support/test_support.h"

namespace {

CEnvDevInterfaceSensor* NewSensor(uint32_t type_id) {
  auto* sensor = new CEnvDevInterfaceSensor("CEnvDevInterfaceSensor");
  sensor->type_id = type_id;
  sensor->value = 21.5;
  return sensor;
}

template <typename T>
std::vector<T*> Items(const CMvnList& list) {
  std::vector<T*> items;
  for (const CMvnListNode* node = list.Head(); node != nullptr; node = node->next) {
    items.push_back(static_cast<T*>(node->item));
  }
  return items;
}

template <typename T, typename Id>
std::vector<int> Ids(const CMvnList& list, Id T::*id) {
  std::vector<int> ids;
  for (T* item : Items<T>(list)) ids.push_back(static_cast<int>(item->*id));
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
  device_interface.AddSensor(NewSensor(10));
  device_interface.AddSensor(NewSensor(20));
  device_interface.ClearSensors();
  device_interface.AddSensor(NewSensor(20));
  EXPECT_EQ(Ids(device_interface.Sensors(), &CEnvDevInterfaceSensor::sensor_id),
            (std::vector<int>{0}));
}

TEST(DeviceRecordTest, CloneRenumbersReappliesDefaultsAndKeepsTheRest) {
  CEnvDevInfo device("CEnvDevInfo");
  device.serial.Assign("RA-0042");
  device.reserved_text5.Assign("kept");
  device.reserved_value2 = 77;
  device.snmp.snmp_version = 3;
  for (const char* label : {"Rack", "Door"}) {
    auto* device_interface = new CEnvDevInterface("CEnvDevInterface");
    device_interface->description.Assign(label);
    device_interface->AddSensor(NewSensor(10));
    device_interface->AddSensor(NewSensor(20));
    device.AddInterface(device_interface);
  }
  // Disturb what insertion decided: the clone can only be right by numbering afresh.
  for (auto* device_interface : Items<CEnvDevInterface>(device.Interfaces())) {
    device_interface->interface_id = 9;
    for (auto* sensor : Items<CEnvDevInterfaceSensor>(device_interface->Sensors())) {
      sensor->sensor_id = 7;
      sensor->digits = 6;
    }
  }
  std::unique_ptr<CMvnBase> cloned(device.Clone());
  ASSERT_NE(cloned, nullptr);
  auto& copy = static_cast<CEnvDevInfo&>(*cloned);
  EXPECT_STREQ(copy.ClassName(), "CEnvDevInfo");
  EXPECT_STREQ(copy.serial.Text(), "RA-0042");
  EXPECT_STREQ(copy.reserved_text5.Text(), "kept");
  EXPECT_EQ(copy.reserved_value2, 77u);
  EXPECT_EQ(copy.snmp.snmp_version, 3);
  EXPECT_EQ(Ids(copy.Interfaces(), &CEnvDevInterface::interface_id), (std::vector<int>{0, 1}));
  for (auto* device_interface : Items<CEnvDevInterface>(copy.Interfaces())) {
    EXPECT_EQ(Ids(device_interface->Sensors(), &CEnvDevInterfaceSensor::sensor_id),
              (std::vector<int>{0, 1}));
    for (auto* sensor : Items<CEnvDevInterfaceSensor>(device_interface->Sensors())) {
      EXPECT_EQ(sensor->digits, 2);
      EXPECT_EQ(sensor->value, 21.5);
    }
  }
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
