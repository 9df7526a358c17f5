#include "host/readings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace kestrel::host;

// A document of ports with these numbers of sensors, as the module writes them.
DeviceView Ports(const std::vector<int>& sensors_per_port) {
  DeviceView device;
  for (int sensors : sensors_per_port) {
    InterfaceView& itf = device.interfaces.emplace_back();
    for (int s = 0; s < sensors; ++s) itf.sensors.emplace_back().value = "0.000";
  }
  return device;
}

std::string Raw(const std::string& first_item, const std::string& second_item) {
  return "<json>\n<device>\n<internal_sen>\n <item>" + first_item +
         "</item>\n</internal_sen>\n<sensor>\n <item>" + second_item +
         "</item>\n</sensor>\n</device>\n</json>\n";
}

TEST(MarkReadingsTest, MarksWhatTheDeviceSent) {
  const struct {
    const char* name;
    std::string raw;
    std::vector<int> ports;   // sensors per port of the document
    std::vector<bool> taken;  // per sensor in port order
  } kCases[] = {
      {"numbers",
       Raw("<t>16</t><tc>22.31</tc>", "<t>38</t><tc>21.5</tc><h>45</h>"),
       {1, 2},
       {true, true, true}},
      {"empty text and a missing key",
       Raw("<t>16</t><tc></tc>", "<t>38</t><tc>21.5</tc>"),
       {1, 2},
       {false, true, false}},
      // The module writes its own code page: a degree sign is one byte, not UTF-8.
      {"code page label",
       Raw("<lab>Rack 9 \xB0</lab><t>16</t><tc> </tc>", "<t>38</t><tc>x</tc><h>1e2</h>"),
       {1, 2},
       {false, false, true}},
      // Bytes 1252 leaves unassigned, which Windows maps and iconv refuses.
      {"unassigned code page bytes",
       Raw("<lab>\x81\x8D\x8F\x90\x9D</lab><t>16</t><tc>1</tc>", "<t>38</t><tc>1</tc><h>2</h>"),
       {1, 2},
       {true, true, true}},
      // As the module reads them: member names in any letter case, the first name found wins
      // even when a later one holds a number.
      {"members as the module finds them",
       Raw("<T>16</T><TC>7</TC>",
           "<type>38</type><TEMPC>x</TEMPC><temperature>5</temperature><humid>4</humid>"),
       {1, 2},
       {true, false, true}},
      // The module saturates the type where atoi would wrap 2^32 + 16 round to 16.
      {"a type past 32 bits yields no port",
       Raw("<t>4294967312</t><tc>1</tc>", "<t>16</t><tc>x</tc>"),
       {1},
       {false}},
      {"not well-formed",
       Raw("<t>16</t><tc>1</tc>", "<t>38</t><tc>1</tc><h>2"),
       {1, 2},
       {true, true, true}},
      // Ports that do not line up with the document leave it as it is.
      {"other ports",
       Raw("<t>16</t><tc>1</tc>", "<t>16</t><tc>x</tc>"),
       {1, 2},
       {true, true, true}},
  };
  for (const auto& c : kCases) {
    DeviceView device = Ports(c.ports);
    MarkReadings(c.raw, device);
    std::vector<bool> taken;
    for (const InterfaceView& itf : device.interfaces) {
      for (const SensorView& s : itf.sensors) taken.push_back(s.has_reading);
    }
    EXPECT_EQ(taken, c.taken) << c.name;
  }
}

}  // namespace
