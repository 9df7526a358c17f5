#include "device/device_records.h"

#include <gtest/gtest.h>

#include <vector>

#include "provider/avtech_app.h"
#include "tests/support/test_support.h"

namespace {

CEnvDevInterfaceSensor* NewSensor(uint32_t type_id, uint32_t uom_id, double value) {
  auto* sensor = new CEnvDevInterfaceSensor("CEnvDevInterfaceSensor");
  sensor->type_id = type_id;
  sensor->uom_id = uom_id;
  sensor->value = value;
  return sensor;
}

template <typename T>
std::vector<const T*> Items(const CMvnList& list) {
  std::vector<const T*> items;
  for (const CMvnListNode* node = list.Head(); node != nullptr; node = node->next) {
    items.push_back(static_cast<const T*>(node->item));
  }
  return items;
}

std::vector<uint16_t> InterfaceIds(const CEnvDevInfo& device) {
  std::vector<uint16_t> ids;
  for (const auto* item : Items<CEnvDevInterface>(device.Interfaces())) {
    ids.push_back(item->interface_id);
  }
  return ids;
}

std::vector<uint16_t> SensorIds(const CEnvDevInterface& device_interface) {
  std::vector<uint16_t> ids;
  for (const auto* item : Items<CEnvDevInterfaceSensor>(device_interface.Sensors())) {
    ids.push_back(item->sensor_id);
  }
  return ids;
}

TEST(DeviceRecordTest, ConstructionDefaults) {
  CEnvDevInfo device("CEnvDevInfo");
  EXPECT_EQ(device.device_type_id, 0xFFFFFFFFu);
  EXPECT_EQ(device.protocol_id, 0u);
  EXPECT_EQ(device.Interfaces().GetCount(), 0u);
  EXPECT_STREQ(device.snmp.community.Text(), "quorin");
  EXPECT_EQ(device.snmp.snmp_version, 2);
  EXPECT_EQ(device.reserved_value3, 0u);

  CEnvDevInterfaceSensor sensor("CEnvDevInterfaceSensor");
  EXPECT_EQ(sensor.digits, 1);
  EXPECT_DOUBLE_EQ(sensor.rangemin, -9999.99);
  EXPECT_DOUBLE_EQ(sensor.rangemax, 9999.99);
  EXPECT_DOUBLE_EQ(sensor.band_low, -9999.99);
  EXPECT_DOUBLE_EQ(sensor.band_high, 9999.99);
}

TEST(DeviceRecordTest, ResetClearsThisLoadsIdentityAndKeepsTheRest) {
  CEnvDevInfo device("CEnvDevInfo");
  device.device_type_id = 0x20020;
  device.protocol_id = 8;
  device.provider.Assign("AVTech Room Alert 3W");
  device.vendor.Assign("AVTech");
  device.serial.Assign("RA-0042");
  device.ip_address.Assign("10.0.0.7");
  device.description.Assign("Server room");
  device.tracefile.Assign("/var/log/kestrel.trace");
  device.snmp.community.Assign("private");
  device.reserved_number1 = 9;
  device.AddInterface(new CEnvDevInterface("CEnvDevInterface"));

  device.Reset();

  EXPECT_EQ(device.device_type_id, 0xFFFFFFFFu);
  EXPECT_EQ(device.protocol_id, 0u);
  EXPECT_STREQ(device.provider.Text(), "");
  EXPECT_STREQ(device.ip_address.Text(), "");
  EXPECT_STREQ(device.description.Text(), "");
  EXPECT_EQ(device.reserved_number1, 0u);
  EXPECT_EQ(device.Interfaces().GetCount(), 0u);
  EXPECT_STREQ(device.vendor.Text(), "AVTech");
  EXPECT_STREQ(device.serial.Text(), "RA-0042");
  EXPECT_STREQ(device.snmp.community.Text(), "private");
  EXPECT_STREQ(device.tracefile.Text(), "/var/log/kestrel.trace");
}

TEST(DeviceRecordTest, InterfaceIdsAreInsertionPositionsAndRestartAfterReset) {
  CEnvDevInfo device("CEnvDevInfo");
  for (int i = 0; i < 3; ++i) {
    auto* device_interface = new CEnvDevInterface("CEnvDevInterface");
    device_interface->interface_id = 40;  // callers never decide the id
    device.AddInterface(device_interface);
  }
  device.AddInterface(nullptr);
  EXPECT_EQ(InterfaceIds(device), (std::vector<uint16_t>{0, 1, 2}));

  device.Reset();
  device.AddInterface(nullptr);
  device.AddInterface(new CEnvDevInterface("CEnvDevInterface"));
  EXPECT_EQ(InterfaceIds(device), (std::vector<uint16_t>{0}));
}

struct InsertionCase {
  uint32_t type_id;
  uint16_t digits;
  double rangemin;
  double rangemax;
};

class SensorInsertionTest : public ::testing::TestWithParam<InsertionCase> {};

// The caller's digits and limits never survive insertion; what it measured does.
TEST_P(SensorInsertionTest, TypeDefaultsReplaceTheCallersLimits) {
  CEnvDevInterface device_interface("CEnvDevInterface");
  CEnvDevInterfaceSensor* sensor = NewSensor(GetParam().type_id, 1001, 21.5);
  sensor->description.Assign("Rack");
  sensor->status = 3;
  sensor->digits = 5;
  sensor->rangemin = 1.0;
  sensor->rangemax = 2.0;
  sensor->band_low = 1.0;
  sensor->band_high = 2.0;
  device_interface.AddSensor(sensor);

  EXPECT_EQ(sensor->digits, GetParam().digits);
  EXPECT_DOUBLE_EQ(sensor->rangemin, GetParam().rangemin);
  EXPECT_DOUBLE_EQ(sensor->rangemax, GetParam().rangemax);
  EXPECT_STREQ(sensor->description.Text(), "Rack");
  EXPECT_EQ(sensor->status, 3u);
  EXPECT_EQ(sensor->uom_id, 1001u);
  EXPECT_DOUBLE_EQ(sensor->value, 21.5);
}

INSTANTIATE_TEST_SUITE_P(Types, SensorInsertionTest,
                         ::testing::Values(InsertionCase{10, 2, -253.0, 9999.99},
                                           InsertionCase{20, 2, 0.0, 100.0},
                                           InsertionCase{60, 2, 0.0, 5.0},
                                           InsertionCase{70, 0, 0.0, 1.0},
                                           InsertionCase{0, 1, -9999.99, 9999.99}));

TEST(DeviceRecordTest, ClearSensorsEmptiesTheInterfaceAndNumberingRestarts) {
  CEnvDevInterface device_interface("CEnvDevInterface");
  device_interface.description.Assign("Rack");
  device_interface.AddSensor(NewSensor(10, 1001, 1.0));
  device_interface.AddSensor(NewSensor(20, 2001, 2.0));
  EXPECT_EQ(SensorIds(device_interface), (std::vector<uint16_t>{0, 1}));

  device_interface.ClearSensors();
  EXPECT_STREQ(device_interface.description.Text(), "");
  device_interface.AddSensor(NewSensor(20, 2001, 2.0));
  EXPECT_EQ(SensorIds(device_interface), (std::vector<uint16_t>{0}));
}

TEST(DeviceRecordTest, CloneRenumbersAndReappliesDefaults) {
  CEnvDevInfo device("CEnvDevInfo");
  device.device_type_id = 0x20020;
  device.serial.Assign("RA-0042");
  device.reserved_text5.Assign("kept");
  device.reserved_value2 = 77;
  device.snmp.snmp_version = 3;
  for (const char* label : {"Rack", "Door"}) {
    auto* device_interface = new CEnvDevInterface("CEnvDevInterface");
    device_interface->description.Assign(label);
    device_interface->AddSensor(NewSensor(10, 1001, 21.5));
    device_interface->AddSensor(NewSensor(20, 2001, 45.0));
    device.AddInterface(device_interface);
  }
  // Disturb what insertion decided, so the clone can only be right by numbering afresh.
  for (const auto* item : Items<CEnvDevInterface>(device.Interfaces())) {
    auto* device_interface = const_cast<CEnvDevInterface*>(item);
    device_interface->interface_id = 9;
    for (const auto* sensor : Items<CEnvDevInterfaceSensor>(device_interface->Sensors())) {
      const_cast<CEnvDevInterfaceSensor*>(sensor)->sensor_id = 7;
      const_cast<CEnvDevInterfaceSensor*>(sensor)->digits = 6;
    }
  }

  CMvnBase* cloned = device.Clone();
  ASSERT_NE(cloned, nullptr);
  auto* copy = static_cast<CEnvDevInfo*>(cloned);
  EXPECT_STREQ(copy->ClassName(), "CEnvDevInfo");
  EXPECT_EQ(copy->device_type_id, 0x20020u);
  EXPECT_STREQ(copy->serial.Text(), "RA-0042");
  EXPECT_STREQ(copy->reserved_text5.Text(), "kept");
  EXPECT_EQ(copy->reserved_value2, 77u);
  EXPECT_EQ(copy->snmp.snmp_version, 3);
  EXPECT_EQ(InterfaceIds(*copy), (std::vector<uint16_t>{0, 1}));
  const auto interfaces = Items<CEnvDevInterface>(copy->Interfaces());
  EXPECT_STREQ(interfaces[1]->description.Text(), "Door");
  for (const auto* device_interface : interfaces) {
    EXPECT_EQ(SensorIds(*device_interface), (std::vector<uint16_t>{0, 1}));
    const auto sensors = Items<CEnvDevInterfaceSensor>(device_interface->Sensors());
    EXPECT_EQ(sensors[0]->digits, 2);
    EXPECT_DOUBLE_EQ(sensors[1]->rangemax, 100.0);
    EXPECT_DOUBLE_EQ(sensors[1]->value, 45.0);
  }
  delete cloned;
}

TEST(DeviceRecordTest, SensorCloneCopiesEveryField) {
  CEnvDevInterfaceSensor sensor("Probe");
  sensor.description.Assign("Inlet");
  sensor.sensor_id = 4;
  sensor.status = 1;
  sensor.type_id = 180;
  sensor.uom_id = 6005;
  sensor.digits = 3;
  sensor.rangemin = -1.0;
  sensor.rangemax = 2.0;
  sensor.band_low = -0.5;
  sensor.band_high = 1.5;
  sensor.value = 0.25;
  CMvnBase* cloned = sensor.Clone();
  ASSERT_NE(cloned, nullptr);
  const auto* copy = static_cast<CEnvDevInterfaceSensor*>(cloned);
  EXPECT_STREQ(copy->ClassName(), "Probe");
  EXPECT_STREQ(copy->description.Text(), "Inlet");
  EXPECT_EQ(copy->sensor_id, 4);
  EXPECT_EQ(copy->status, 1u);
  EXPECT_EQ(copy->type_id, 180u);
  EXPECT_EQ(copy->uom_id, 6005u);
  EXPECT_EQ(copy->digits, 3);
  EXPECT_DOUBLE_EQ(copy->rangemin, -1.0);
  EXPECT_DOUBLE_EQ(copy->rangemax, 2.0);
  EXPECT_DOUBLE_EQ(copy->band_low, -0.5);
  EXPECT_DOUBLE_EQ(copy->band_high, 1.5);
  EXPECT_DOUBLE_EQ(copy->value, 0.25);
  delete cloned;
}

TEST(DeviceRecordTest, ProviderKeepsItsTraceFileInTheRecord) {
  CAVTechApp app;
  EXPECT_EQ(app.Device().device_type_id, 0x20020u);
  EXPECT_STREQ(app.Device().ClassName(), "CAVTechApp");
  kestrel::testing::TempDir dir;
  const std::string trace = dir.File("provider.trace");
  app.SetTracingFile(trace.c_str());
  EXPECT_STREQ(app.Device().tracefile.Text(), trace.c_str());
  app.Device().Reset();
  EXPECT_STREQ(app.Device().tracefile.Text(), trace.c_str());
}

}  // namespace
