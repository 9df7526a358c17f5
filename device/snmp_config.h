#pragma once

#include <cstdint>

#include "common/mvn_string.h"

// SNMP settings of a device: stored and copied, read by none of this provider's own steps.
class CEnvSnmpConfig {
 public:
  CEnvSnmpConfig() = default;
  CEnvSnmpConfig(const CEnvSnmpConfig& other) { CopyFrom(other); }
  CEnvSnmpConfig& operator=(const CEnvSnmpConfig& other) {
    CopyFrom(other);
    return *this;
  }
  void CopyFrom(const CEnvSnmpConfig& other) {
    if (this == &other) return;
    community.Assign(other.community);
    text2.Assign(other.text2);
    text3.Assign(other.text3);
    text4.Assign(other.text4);
    text5.Assign(other.text5);
    number1 = other.number1;
    number2 = other.number2;
    snmp_version = other.snmp_version;
  }

  CMvnString community{"quorin"};
  CMvnString text2;
  CMvnString text3;
  CMvnString text4;
  CMvnString text5;
  uint16_t number1 = 0;
  uint16_t number2 = 0;
  uint16_t snmp_version = 2;
};
