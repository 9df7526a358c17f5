// The in-memory model of the monitored device: a device record owns its interfaces in insertion
// order, each interface owns its sensors. Identifiers are positions, assigned on insertion.
#pragma once

#include <cstdint>

#include "common/mvn_base.h"
#include "common/mvn_list.h"
#include "common/mvn_string.h"
#include "device/snmp_config.h"

class CMvnXmlFile;

class CEnvDevInterfaceSensor : public CMvnBase {
 public:
  explicit CEnvDevInterfaceSensor(const char* class_name);

  // Restores every field to its construction default.
  void Reset();
  // A CEnvDevInterfaceSensor*.
  CMvnBase* Clone() const override;
  // The sensor's block of the device document; -1 without a writer.
  int32_t WriteXml(CMvnXmlFile* writer, bool full) const;

  CMvnString description;
  uint16_t sensor_id;
  uint32_t status;
  uint32_t type_id;
  uint32_t uom_id;
  uint16_t digits;
  double rangemin;
  double rangemax;
  // A second pair of limits inside the range: kept and copied, not written to the document.
  double band_low;
  double band_high;
  double value;
};

class CEnvDevInterface : public CMvnBase {
 public:
  explicit CEnvDevInterface(const char* class_name);
  ~CEnvDevInterface() override;

  // Destroys every sensor and empties the description.
  void ClearSensors();
  // Takes ownership; numbers the sensor and replaces its digits and limits by its type's defaults.
  // sensor must not be null.
  void AddSensor(CEnvDevInterfaceSensor* sensor);
  // Sensors are cloned through AddSensor, so ids and defaults are applied afresh.
  CMvnBase* Clone() const override;
  // The interface's block of the device document; -1 without a writer.
  int32_t WriteXml(CMvnXmlFile* writer, bool full) const;

  // Owning list of CEnvDevInterfaceSensor.
  CMvnList& Sensors() { return sensors_; }
  const CMvnList& Sensors() const { return sensors_; }

  uint16_t interface_id;
  CMvnString description;

 private:
  CMvnList sensors_;
};

class CEnvDevInfo : public CMvnBase {
 public:
  explicit CEnvDevInfo(const char* class_name);
  ~CEnvDevInfo() override;

  // Clears the per-acquisition identity and every interface; see the definition for what stays.
  void Reset();
  // Null is ignored; otherwise takes ownership and numbers the interface.
  void AddInterface(CEnvDevInterface* device_interface);
  CMvnBase* Clone() const override;
  // Writes the device document (full: configuration form, else data form). 0 when it was written
  // and the device has at least one interface, else -1.
  int32_t SaveXml(const char* file_name, bool full);

  // Owning list of CEnvDevInterface.
  CMvnList& Interfaces() { return interfaces_; }
  const CMvnList& Interfaces() const { return interfaces_; }

  uint32_t device_type_id;
  uint32_t protocol_id;
  uint32_t status;
  CMvnString provider;
  CMvnString vendor;
  CMvnString model;
  CMvnString serial;
  CMvnString mac_address;
  CMvnString firmware;
  // The fields named reserved_* are part of the record's layout but unused by this provider: they
  // are constructed empty or zero, copied by Clone and otherwise left alone.
  CMvnString reserved_text1;
  CMvnString reserved_text2;
  CMvnString ip_address;
  CMvnString reserved_text3;
  CMvnString reserved_text4;
  uint32_t reserved_number1;
  uint32_t reserved_number2;
  CEnvSnmpConfig snmp;
  CMvnString reserved_text5;
  CMvnString reserved_text6;
  CMvnString tracefile;
  CMvnString description;
  uint64_t reserved_value1;
  uint64_t reserved_value2;
  uint64_t reserved_value3;

 private:
  CMvnList interfaces_;
};
