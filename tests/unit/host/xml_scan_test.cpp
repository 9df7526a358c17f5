#include "host/xml_scan.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using kestrel::host::ScanXml;

// The events as text: "<name>", "[text]", "</>".
class Recorder final : public kestrel::host::XmlEvents {
 public:
  void Start(const char* name, std::size_t length) override {
    seen += "<" + std::string(name, length) + ">";
  }
  void End() override { seen += "</>"; }
  void Text(const char* text, std::size_t length) override {
    seen += "[" + std::string(text, length) + "]";
  }
  std::string seen;
};

TEST(ScanXmlTest, ReadsTheDocumentsOfTheModule) {
  const struct {
    const char* text;
    const char* seen;
  } kCases[] = {
      {"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<device>\r\n  <a>1</a>\r\n</device>\r\n",
       "<device>[\n  ]<a>[1]</>[\n]</>"},
      {"\xEF\xBB\xBF<d><e/><f x='1' y = \"a>b\"/></d>", "<d><e></><f></></>"},
      // References, line ends as XML reads them, character data in pieces.
      {"<d>R&amp;D &lt;4&gt; &quot;&apos; &#176;&#xB0;&#x1F600; a\r\nb\rc</d>",
       "<d>[R&D <4> \"' \xC2\xB0\xC2\xB0\xF0\x9F\x98\x80 a\nb\nc]</>"},
      {"<d>a<!-- <x> -->b<![CDATA[<&>\r\n]]><?pi x?></d>", "<d>[a][b][<&>\n]</>"},
  };
  for (const auto& c : kCases) {
    Recorder events;
    std::string error;
    EXPECT_TRUE(ScanXml(c.text, events, error)) << c.text << ": " << error;
    EXPECT_EQ(events.seen, c.seen) << c.text;
  }
}

// What no device document holds is refused, with the line it was found on.
TEST(ScanXmlTest, RefusesWhatIsNoDocumentOfThatKind) {
  const struct {
    const char* text;
    const char* error;
  } kCases[] = {
      {"", "line 1: the document holds no element"},
      {"  \n", "line 2: the document holds no element"},
      {"<d>\n<e></d>", "line 2: </d> ends <e>"},
      {"<d>\n<e>", "line 2: the document ends inside <e>"},
      {"<d/><e/>", "line 1: a second document element"},
      {"<d/>text", "line 1: character data outside the document element"},
      {"<!DOCTYPE d [<!ENTITY x \"y\">]><d>&x;</d>", "line 1: a document type is not read"},
      {"<d>&x;</d>", "line 1: '&' starts no reference"},
      {"<d>&#0;</d>", "line 1: '&' starts no reference"},
      {"<d>&#xD800;</d>", "line 1: '&' starts no reference"},
      {"<d>& </d>", "line 1: '&' starts no reference"},
      {"<d x=1/>", "line 1: a tag does not end as a tag does"},
      {"<d x='1/>", "line 1: a tag does not end as a tag does"},
      {"<d><!-- </d>", "line 1: a comment does not end"},
      {"<d></d", "line 1: the end tag </d does not end"},
      {"<>", "line 1: '<' starts no element"},
  };
  for (const auto& c : kCases) {
    Recorder events;
    std::string error;
    EXPECT_FALSE(ScanXml(c.text, events, error)) << c.text;
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.text << ": " << error;
  }
}

}  // namespace
