// The collection walk's less obvious rules; the everyday reading is covered by the device cases.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "common/xml_reader.h"
#include "tests/support/test_support.h"

namespace {

using kestrel::testing::ReadFileBytes;
using kestrel::testing::TempDir;

// path{attributes}[name=value ...] for every element collected, separated by " | ".
std::string Dump(CMvnXmlElements& elements) {
  std::string out;
  for (CMvnBase* item = elements.GetFirst(); item != nullptr; item = elements.GetNext()) {
    auto* element = static_cast<CMvnXmlElement*>(item);
    if (!out.empty()) out += " | ";
    out += element->Path().Text();
    CMvnXmlAttributes& attributes = element->Attributes();
    if (attributes.GetCount() > 0) {
      out += '{';
      for (CMvnBase* a = attributes.GetFirst(); a != nullptr; a = attributes.GetNext()) {
        auto* attribute = static_cast<CMvnXmlAttribute*>(a);
        out += std::string(attribute->name.Text()) + "=" + attribute->value.Text() + ";";
      }
      out += '}';
    }
    out += '[';
    for (CMvnBase* t = element->GetFirst(); t != nullptr; t = element->GetNext()) {
      auto* text = static_cast<CMvnXmlTextElement*>(t);
      out += std::string(text->name.Text()) + "=" + text->value.Text() + ";";
    }
    out += ']';
  }
  return out;
}

struct CollectCase {
  const char* xml;
  const char* path;
  const char* collected;
};

void PrintTo(const CollectCase& c, std::ostream* out) {
  *out << c.path << " in " << c.xml;
}

class CollectTest : public ::testing::TestWithParam<CollectCase> {};

TEST_P(CollectTest, CollectsElementsWithTheirTexts) {
  CMvnXmlDoc document;
  ASSERT_EQ(document.Initialize(0, ""), 0);
  ASSERT_EQ(document.LoadXml(GetParam().xml), 0);
  CMvnXmlElements elements;
  elements.SetPath(GetParam().path);
  ASSERT_EQ(document.CollectElements(elements), 0);
  EXPECT_EQ(Dump(elements), GetParam().collected);
}

constexpr const char* kDevice =
    "<json>\r\n<device>\r\n<name>Lab</name>\n<sensor>\n <item>\n  <label>Internal</label>\n"
    "  <tempc>21.5</tempc>\n </item>\n <item>\n  <label>Rack</label>\n  <units><min>0</min>"
    "</units>\n </item>\n</sensor>\n<ip>10.0.0.1</ip>\n\r\n</device>\r\n</json>";

INSTANTIATE_TEST_SUITE_P(
    Walks, CollectTest,
    ::testing::Values(
        CollectCase{kDevice, "/device/sensor/item",
                    "/device/sensor/item[label=Internal;tempc=21.5;] | "
                    "/device/sensor/item[label=Rack;min=0;]"},
        CollectCase{kDevice, "/device",
                    "/device[name=Lab;label=Internal;tempc=21.5;label=Rack;min=0;ip=10.0.0.1;]"},
        // Paths compare byte for byte.
        CollectCase{kDevice, "/device/Sensor/item", ""},
        CollectCase{kDevice, "/device/sensor/item/", ""},
        // A text held directly by the item is not beneath its label.
        CollectCase{"<j><s><item>direct<label>L</label>after</item></s></j>", "/s/item/label",
                    "/s/item/label[label=L;]"},
        CollectCase{"<j><s><item>direct<label>L</label></item></s></j>", "/s/item",
                    "/s/item[item=direct;label=L;]"},
        // Texts under later elements whose path merely contains the collected one go to the last
        // element collected; texts before the first one have nowhere to go.
        CollectCase{"<j><pre><a>0</a></pre><a><v>1</v></a><x>no<a><v>2</v></a></x><ab>3</ab>"
                    "<b>4</b></j>",
                    "/a", "/a[v=1;v=2;ab=3;]"},
        CollectCase{"<j><a id=\"7\" kind=\"t&amp;h\"><v>1</v></a><a/></j>", "/a",
                    "/a{id=7;kind=t&h;}[v=1;] | /a[]"},
        // Values stay whole, "/" and all; only the name is cut from the path.
        CollectCase{"<j><d><date>12/05/26 14:03:07</date><lab>Rack/12</lab></d></j>", "/d",
                    "/d[date=12/05/26 14:03:07;lab=Rack/12;]"},
        // Comments, CDATA and processing instructions carry nothing.
        CollectCase{"<j><a><!--c--><![CDATA[cd]]><?p x?><v>1</v></a></j>", "/a", "/a[v=1;]"},
        // Mixed content: each text is named after the element that holds it.
        CollectCase{"<j><a>x<b>y</b>z</a></j>", "/a", "/a[a=x;b=y;a=z;]"}));

TEST(XmlReaderTest, GetValueIgnoresLetterCaseTakesTheFirstAndClearsWhenAbsent) {
  CMvnXmlElement element("/a");
  element.AddText("/a/Label", "first");
  element.AddText("/a/label", "second");
  element.AddText("", "unnamed");
  CMvnString out("stale");
  EXPECT_EQ(element.GetValue("LABEL", out), 1);
  EXPECT_STREQ(out.Text(), "first");
  EXPECT_EQ(element.GetValue("", out), 1);
  EXPECT_STREQ(out.Text(), "unnamed");
  EXPECT_EQ(element.GetValue("labe", out), 0);
  EXPECT_STREQ(out.Text(), "");
}

TEST(XmlReaderTest, LoadAndCollectAnswerMinusOneWhenThereIsNothingToRead) {
  CMvnXmlDoc document;
  CMvnXmlElements elements;
  elements.SetPath("/a");
  EXPECT_EQ(document.LoadXml("<j><a>1</a></j>"), -1);  // not initialised
  EXPECT_EQ(document.CollectElements(elements), -1);
  ASSERT_EQ(document.Initialize(0, ""), 0);
  EXPECT_EQ(document.Initialize(0, ""), 0);
  EXPECT_EQ(document.CollectElements(elements), -1);  // nothing loaded
  EXPECT_EQ(document.LoadXml(""), -1);
  EXPECT_EQ(document.LoadXml("<j><a>1</a>"), -1);
  EXPECT_EQ(document.LoadXml("<j/>"), 0);
  EXPECT_EQ(document.CollectElements(elements), -1);  // no child under the document element

  ASSERT_EQ(document.LoadXml("<j><a>1</a></j>"), 0);
  EXPECT_EQ(document.LoadXml("<j><a>2</a>"), -1);  // the previous document stays
  ASSERT_EQ(document.CollectElements(elements), 0);
  document.Uninitialize();
  EXPECT_EQ(document.CollectElements(elements), -1);
  // The results are copies: they outlive the document.
  EXPECT_EQ(Dump(elements), "/a[a=1;]");
}

TEST(XmlReaderTest, InitializeTracesItsSetUp) {
  TempDir dir;
  const std::string trace = dir.File("trace.log");
  CMvnXmlDoc without_com;
  ASSERT_EQ(without_com.Initialize(0, trace.c_str()), 0);
  CMvnXmlDoc with_com;
  ASSERT_EQ(with_com.Initialize(1, trace.c_str()), 0);
  const std::string lines = ReadFileBytes(trace);
  EXPECT_NE(lines.find("] No CoInitialize required\r\n"), std::string::npos) << lines;
  EXPECT_NE(lines.find("] COM Interface initialized\r\n"), std::string::npos) << lines;
}

// The walk keeps its own stack: nesting as deep as the parser accepts costs no call depth, and
// deeper text is refused by the parser rather than crashing anything.
TEST(XmlReaderTest, DeepNestingIsWalkedOrRefusedWithoutCrashing) {
  std::string deep = "<j>";
  std::string path;
  for (int i = 0; i < 250; ++i) {
    deep += "<n>";
    path += "/n";
  }
  deep += "leaf";
  for (int i = 0; i < 250; ++i) deep += "</n>";
  deep += "</j>";
  CMvnXmlDoc document;
  ASSERT_EQ(document.Initialize(0, ""), 0);
  ASSERT_EQ(document.LoadXml(deep.c_str()), 0);
  CMvnXmlElements elements;
  elements.SetPath(path.c_str());
  ASSERT_EQ(document.CollectElements(elements), 0);
  EXPECT_EQ(Dump(elements), path + "[n=leaf;]");

  std::string deeper;
  for (int i = 0; i < 100000; ++i) deeper += "<n>";
  EXPECT_EQ(document.LoadXml(deeper.c_str()), -1);
}

}  // namespace
