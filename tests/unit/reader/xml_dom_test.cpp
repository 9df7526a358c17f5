// The Linux DOM must show the reader what MSXML shows it with its default properties.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "common/mvn_string.h"
#include "platform/platform.h"

namespace {

using kestrel::platform::WChar;
using kestrel::platform::XmlDomDocument;
using kestrel::platform::XmlDomNode;

std::vector<WChar> Wide(const std::string& ansi) {
  std::vector<WChar> wide(ansi.size() + 1, WChar(0));
  kestrel::platform::AnsiToWide(ansi.c_str(), static_cast<int32_t>(ansi.size()), wide.data(),
                                static_cast<int32_t>(wide.size()));
  return wide;
}

template <typename Getter>
std::string Read(XmlDomNode* node, Getter getter) {
  WChar* text = nullptr;
  EXPECT_GE((node->*getter)(&text), 0);
  CMvnString out;
  out.AssignWide(text);
  kestrel::platform::FreeWideString(text);
  return out.Text();
}

// kind name="text" [attributes] {children}, siblings separated by blanks.
std::string Dump(XmlDomNode* first) {
  std::string out;
  XmlDomNode* node = first;
  while (node != nullptr) {
    if (!out.empty()) out += ' ';
    const std::string kind = Read(node, &XmlDomNode::GetNodeTypeString);
    out += kind == "element" ? "" : kind + ":";
    out += Read(node, &XmlDomNode::GetNodeName);
    if (kind == "text") out += "=\"" + Read(node, &XmlDomNode::GetText) + "\"";
    int32_t count = 0;
    if (node->GetAttributeCount(&count) == 0 && count > 0) {
      out += '[';
      for (int32_t i = 0; i < count; ++i) {
        XmlDomNode* attribute = nullptr;
        EXPECT_EQ(node->GetAttribute(i, &attribute), 0);
        out += (i > 0 ? " " : "") + Read(attribute, &XmlDomNode::GetNodeName) + "=" +
               Read(attribute, &XmlDomNode::GetText);
        attribute->Release();
      }
      out += ']';
    }
    XmlDomNode* child = nullptr;
    if (node->GetFirstChild(&child) == 0) {
      out += "{" + Dump(child) + "}";
      child->Release();
    }
    XmlDomNode* next = nullptr;
    node->GetNextSibling(&next);
    // The caller owns the first node; every sibling fetched here is released here.
    if (node != first) node->Release();
    node = next;
  }
  return out;
}

// Loads text (ANSI, widened as the reader does) and dumps the document element and below; an
// unaccepted text dumps as "refused".
std::string Load(const std::string& text) {
  XmlDomDocument* document = nullptr;
  EXPECT_EQ(kestrel::platform::CreateXmlDomDocument(&document), 0);
  bool well_formed = true;
  EXPECT_EQ(document->LoadXml(Wide(text).data(), &well_formed), 0);
  std::string result = "refused";
  XmlDomNode* root = nullptr;
  if (well_formed && document->GetDocumentElement(&root) == 0) {
    result = Dump(root);
    root->Release();
  }
  document->Release();
  return result;
}

struct DomCase {
  const char* xml;
  const char* dump;
};

void PrintTo(const DomCase& c, std::ostream* out) {
  *out << c.xml;
}

class DomViewTest : public ::testing::TestWithParam<DomCase> {};

TEST_P(DomViewTest, ShowsWhatMsxmlShows) {
  EXPECT_EQ(Load(GetParam().xml), GetParam().dump);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, DomViewTest,
    ::testing::Values(
        // The JSON conversion indents its lines: that white space is no node at all.
        DomCase{
            "<json>\r\n<device>\r\n <a>1</a>\n <b>\n  <c>2</c>\n </b>\n\r\n</device>\r\n</json>",
            "json{device{a{text:#text=\"1\"} b{c{text:#text=\"2\"}}}}"},
        DomCase{"<a> \t\r\n </a>", "a"},
        DomCase{"<a>\t  padded text \r\n</a>", "a{text:#text=\"padded text\"}"},
        DomCase{"<a>x<b/>y</a>", "a{text:#text=\"x\" b text:#text=\"y\"}"},
        // How JSON unicode escapes come back, and the predefined entities.
        DomCase{"<a>&#x00e9;&#233;&amp;&lt;&gt;&quot;&apos;&#x41;</a>",
                "a{text:#text=\"\xe9\xe9&<>\"'A\"}"},
        DomCase{"<a>&#x20ac;\x80</a>", "a{text:#text=\"\x80\x80\"}"},
        DomCase{"<a><!-- c --><![CDATA[<raw>]]><?pi data?></a>",
                "a{comment:#comment cdatasection:#cdata-section processinginstruction:pi}"},
        DomCase{"<a id=\"7\" xmlns:p=\"urn:p\" p:q=\" v \"/>", "a[xmlns:p=urn:p id=7 p:q= v ]"},
        DomCase{"<p:a xmlns:p=\"urn:p\"><p:b>1</p:b></p:a>",
                "p:a[xmlns:p=urn:p]{p:b{text:#text=\"1\"}}"},
        // Text arrives as characters: a declared encoding cannot apply.
        DomCase{"<?xml version=\"1.0\" encoding=\"UTF-16\"?><a>\xe9</a>", "a{text:#text=\"\xe9\"}"},
        DomCase{"<?xml version=\"1.0\" encoding=\"ISO-8859-5\"?><a>\xe9</a>",
                "a{text:#text=\"\xe9\"}"}));

class DomRefusalTest : public ::testing::TestWithParam<const char*> {};

TEST_P(DomRefusalTest, RefusesWithoutLoadingAnything) {
  EXPECT_EQ(Load(GetParam()), "refused");
}

INSTANTIATE_TEST_SUITE_P(
    Documents, DomRefusalTest,
    ::testing::Values(
        "", "   ", "text only", "<a>", "<a></b>", "<a/><b/>", "<a>\x01</a>", "<a>&nope;</a>",
        // MSXML refuses an undeclared prefix; libxml2 alone would only warn.
        "<p:a/>",
        // No document type at all: the door to entity expansion and external entities.
        "<!DOCTYPE a><a/>", "<!DOCTYPE a [<!ENTITY e \"x\">]><a>&e;</a>",
        "<!DOCTYPE lolz [<!ENTITY lol \"lol\">"
        "<!ENTITY lol1 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">"
        "<!ENTITY lol2 \"&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;\">"
        "<!ENTITY lol3 \"&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;\">"
        "<!ENTITY lol4 \"&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;\">"
        "<!ENTITY lol5 \"&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;\">"
        "<!ENTITY lol6 \"&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;\">"
        "<!ENTITY lol7 \"&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;\">"
        "<!ENTITY lol8 \"&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;\">"
        "<!ENTITY lol9 \"&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;\">"
        "]><lolz>&lol9;</lolz>",
        // Surrogates are no characters, not even as references.
        "<a>&#xd83d;&#xde00;</a>"));

TEST(DomTest, LoneSurrogateInTheTextIsRefused) {
  XmlDomDocument* document = nullptr;
  ASSERT_EQ(kestrel::platform::CreateXmlDomDocument(&document), 0);
  const WChar lone[] = {'<', 'a', '>', 0xD800, '<', '/', 'a', '>', 0};
  const WChar pair[] = {'<', 'a', '>', 0xD83D, 0xDE00, '<', '/', 'a', '>', 0};
  bool well_formed = true;
  EXPECT_EQ(document->LoadXml(lone, &well_formed), 0);
  EXPECT_FALSE(well_formed);
  EXPECT_EQ(document->LoadXml(pair, &well_formed), 0);
  EXPECT_TRUE(well_formed);
  document->Release();
}

// A COM node holds its document: a caller may release the document first.
TEST(DomTest, NodesOutliveTheirDocumentAndAFailedLoadKeepsThePreviousOne) {
  XmlDomDocument* document = nullptr;
  ASSERT_EQ(kestrel::platform::CreateXmlDomDocument(&document), 0);
  XmlDomNode* root = nullptr;
  EXPECT_EQ(document->GetDocumentElement(&root), 1);
  EXPECT_EQ(root, nullptr);

  bool well_formed = false;
  ASSERT_EQ(document->LoadXml(Wide("<first><x>1</x></first>").data(), &well_formed), 0);
  ASSERT_TRUE(well_formed);
  ASSERT_EQ(document->LoadXml(Wide("<broken>").data(), &well_formed), 0);
  EXPECT_FALSE(well_formed);
  ASSERT_EQ(document->GetDocumentElement(&root), 0);
  document->Release();
  EXPECT_EQ(Dump(root), "first{x{text:#text=\"1\"}}");

  root->Release();
}

}  // namespace
