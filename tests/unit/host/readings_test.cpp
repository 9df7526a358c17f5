#include "host/readings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace kestrel::host;

// A document of one single-sensor port and one two-sensor port, as the module writes them.
DeviceView TwoPorts() {
  DeviceView device;
  for (int sensors : {1, 2}) {
    InterfaceView& itf = device.interfaces.emplace_back();
    for (int s = 0; s < sensors; ++s) itf.sensors.emplace_back().leaves.Set("value", "0.000");
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
    std::vector<std::string> marks;  // per sensor in port order; "" unmarked
  } kCases[] = {
      {"numbers",
       Raw("<t>16</t><tc>22.31</tc>", "<t>38</t><tc>21.5</tc><h>45</h>"),
       {"1", "1", "1"}},
      {"empty text and a missing key",
       Raw("<t>16</t><tc></tc>", "<t>38</t><tc>21.5</tc>"),
       {"0", "1", "0"}},
      // The module writes its own code page: a degree sign is one byte, not UTF-8.
      {"code page label",
       Raw("<lab>Rack 9 \xB0</lab><t>16</t><tc> </tc>", "<t>38</t><tc>x</tc><h>1e2</h>"),
       {"0", "0", "1"}},
      {"not well-formed", Raw("<t>16</t><tc>1</tc>", "<t>38</t><tc>1</tc><h>2"), {"", "", ""}},
      // Ports that do not line up with the document leave it as it is.
      {"other ports", Raw("<t>16</t><tc>1</tc>", "<t>16</t><tc>1</tc>"), {"", "", ""}},
  };
  for (const auto& c : kCases) {
    DeviceView device = TwoPorts();
    MarkReadingsFromText(c.raw, device);
    std::vector<std::string> marks;
    for (const InterfaceView& itf : device.interfaces) {
      for (const SensorView& s : itf.sensors) marks.push_back(s.leaves.Get(kReadingValidLeaf));
    }
    EXPECT_EQ(marks, c.marks) << c.name;
  }
}

TEST(RawXmlWorkingFileTest, NamedAsTheModuleNamesIt) {
  EXPECT_EQ(RawXmlWorkingFile("out/device.xml"), "out/device.raw.xml");
  EXPECT_EQ(RawXmlWorkingFile("A.XML.d/dev.Xml"), "A.raw.xml.d/dev.raw.xml");
}

}  // namespace
