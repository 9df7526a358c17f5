// The collection walk's less obvious rules, and what the platform's DOM lets through to it (the
// Linux DOM must show the reader what MSXML shows it). The everyday reading is covered by the
// device cases.
#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>

#include "common/xml_reader.h"
#include "platform/kept_memory.h"
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

// Memory kept from one document to the next, as a provider keeps it: every case below reads
// through it after the cases before, so nothing of an earlier document may show.
kestrel::xml::ReaderMemory& KeptMemory() {
  static kestrel::xml::ReaderMemory memory;
  return memory;
}

std::string Collect(CMvnXmlDoc& document, const CollectCase& c) {
  if (document.Initialize(0, "") != 0) return "no reader";
  // The document keeps nothing of the text it was loaded from.
  std::string text = c.xml;
  if (document.LoadXml(text.c_str()) != 0) return "not loaded";
  text.assign(text.size(), 'X');
  CMvnXmlElements elements;
  elements.SetPath(c.path);
  if (document.CollectElements(elements) != 0) return "not collected";
  return Dump(elements);
}

// Walks that start at the first element of their path and walks from the first node, on memory of
// the reader's own and on kept memory, alike.
TEST_P(CollectTest, CollectsElementsWithTheirTexts) {
  for (const bool fast : {true, false}) {
    SCOPED_TRACE(fast ? "walks from the first match" : "walks from the first node");
    CMvnXmlDoc::UseFastReading(fast);
    CMvnXmlDoc own;
    EXPECT_EQ(Collect(own, GetParam()), GetParam().collected);
    CMvnXmlDoc kept(KeptMemory());
    EXPECT_EQ(Collect(kept, GetParam()), GetParam().collected);
    // Memory lent already is not lent twice.
    CMvnXmlDoc beside(KeptMemory());
    EXPECT_EQ(Collect(beside, GetParam()), GetParam().collected);
  }
  CMvnXmlDoc::UseFastReading(true);
}

constexpr const char* kDevice =
    "<json><device><sensor><item><lab>Rack</lab></item></sensor></device></json>";

INSTANTIATE_TEST_SUITE_P(
    Walks, CollectTest,
    ::testing::Values(
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
        // A first element deep in the document, and texts after it under paths that only
        // contain the collected one.
        CollectCase{"<j><s><z>0</z><i><v>1</v></i><w>2</w></s><s><i>3</i></s>"
                    "<t><s><i><v>4</v></i></s></t></j>",
                    "/s/i", "/s/i[v=1;] | /s/i[i=3;v=4;]"},
        CollectCase{"<j><a id=\"7\" kind=\"t&amp;h\"><v>1</v></a><a/></j>", "/a",
                    "/a{id=7;kind=t&h;}[v=1;] | /a[]"},
        // Comments, CDATA and processing instructions carry nothing.
        CollectCase{"<j><a><!--c--><![CDATA[cd]]><?p x?><v>1</v></a></j>", "/a", "/a[v=1;]"},
        // Mixed content: each text is named after the element that holds it.
        CollectCase{"<j><a>x<b>y</b>z</a></j>", "/a", "/a[a=x;b=y;a=z;]"},
        // White space alone is no text; around a text it is trimmed.
        CollectCase{"<j><a> \t\r\n </a><a>\t  padded text \r\n</a></j>", "/a",
                    "/a[] | /a[a=padded text;]"},
        // How JSON unicode escapes come back, and the predefined entities.
        CollectCase{"<j><a>&#x00e9;&#233;&amp;&lt;&gt;&quot;&apos;&#x41;</a></j>", "/a",
                    "/a[a=\xe9\xe9&<>\"'A;]"},
        CollectCase{"<p:j xmlns:p=\"urn:p\"><p:b>1</p:b></p:j>", "/p:b", "/p:b[p:b=1;]"},
        // Text arrives as characters: a declared encoding cannot apply.
        CollectCase{"<?xml version=\"1.0\" encoding=\"UTF-16\"?><j><a>\xe9</a></j>", "/a",
                    "/a[a=\xe9;]"},
        CollectCase{"<?xml version=\"1.0\" encoding=\"ISO-8859-5\"?><j><a>\xe9</a></j>", "/a",
                    "/a[a=\xe9;]"},
        // The code page's own characters come back as they went in, names included; a character
        // it lacks is '?'.
        CollectCase{"<j><\xe9l a\x80=\"\x9f\">&#x20ac;&#x4e2d;\x80</\xe9l></j>", "/\xe9l",
                    "/\xe9l{a\x80=\x9f;}[\xe9l=\x80?\x80;]"}));

// A character beyond UTF-16's first plane is one '?' too (Wine's code page writes two).
INSTANTIATE_TEST_SUITE_P(CodePage, CollectTest,
                         ::testing::Values(CollectCase{"<j><a>&#x1F600;x</a></j>", "/a",
                                                       "/a[a=?x;]"}));

// Where Wine's MSXML differs from Microsoft's (which the Linux DOM follows); the Wine run leaves
// these out by their name.
// Namespace declarations are attributes too, listed first as MSXML does.
INSTANTIATE_TEST_SUITE_P(MsxmlOnly, CollectTest,
                         ::testing::Values(CollectCase{
                             "<j><a id=\"7\" xmlns:p=\"urn:p\" p:q=\" v \"/></j>", "/a",
                             "/a{xmlns:p=urn:p;id=7;p:q= v ;}[]"}));

class RefusalTest : public ::testing::TestWithParam<const char*> {};

TEST_P(RefusalTest, LoadsNothing) {
  CMvnXmlDoc document;
  ASSERT_EQ(document.Initialize(0, ""), 0);
  EXPECT_EQ(document.LoadXml(GetParam()), -1);
  CMvnXmlElements elements;
  elements.SetPath("/a");
  EXPECT_EQ(document.CollectElements(elements), -1);

  // A refusal (the parse stopped short, a namespace error) must leave nothing behind in memory
  // kept for the next document.
  {
    CMvnXmlDoc refused(KeptMemory());
    ASSERT_EQ(refused.Initialize(0, ""), 0);
    EXPECT_EQ(refused.LoadXml(GetParam()), -1);
  }
  CMvnXmlDoc next(KeptMemory());
  ASSERT_EQ(next.Initialize(0, ""), 0);
  ASSERT_EQ(next.LoadXml(kDevice), 0);
  elements.SetPath("/device/sensor/item");
  ASSERT_EQ(next.CollectElements(elements), 0);
  EXPECT_EQ(Dump(elements), "/device/sensor/item[lab=Rack;]");
}

INSTANTIATE_TEST_SUITE_P(Documents, RefusalTest,
                         ::testing::Values("", "   ", "text only", "<a>", "<a></b>", "<a/><b/>",
                                           "<a>\x01</a>", "<a>&nope;</a>",
                                           // Surrogates are no characters, not even as references.
                                           "<a>&#xd83d;&#xde00;</a>"));

INSTANTIATE_TEST_SUITE_P(
    MsxmlOnly, RefusalTest,
    ::testing::Values(
        // MSXML refuses an undeclared prefix; libxml2 alone would only warn.
        "<p:a/>",
        // No document type at all: the door to entity expansion and external entities.
        "<!DOCTYPE a><a/>", "<!DOCTYPE a [<!ENTITY e \"x\">]><a>&e;</a>"));

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
  EXPECT_EQ(document.LoadXml("<j><a>3</a></j><x>"), -1);
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

// Kept memory waits poisoned: a use after the collection that owned it is reported where
// AddressSanitizer runs, as a use after free would be.
const char* EntryAfterItsListWasEmptied(kestrel::xml::ReaderMemory& memory) {
  CMvnXmlDoc document(memory);
  document.Initialize(0, "");
  document.LoadXml(kDevice);
  CMvnXmlElements elements;
  elements.SetPath("/device/sensor/item");
  document.CollectElements(elements);
  auto* element = static_cast<CMvnXmlElement*>(elements.GetFirst());
  auto* entry = static_cast<CMvnXmlTextElement*>(element->GetFirst());
  elements.RemoveAll();
  return entry->value.Text();
}

TEST(KeptReaderMemoryDeathTest, AUseAfterTheLoadIsCaught) {
  if (!kestrel::platform::kKeptMemoryChecked) GTEST_SKIP() << "needs AddressSanitizer";
  EXPECT_DEATH(
      {
        kestrel::xml::ReaderMemory memory;
        const char* value = EntryAfterItsListWasEmptied(memory);
        std::printf("%c", value[0]);
      },
      "use-after-poison");
}

}  // namespace
