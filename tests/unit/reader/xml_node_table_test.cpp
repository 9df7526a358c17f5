// The node table the platform's parser fills, as the reader's walks rely on it: kinds, depths,
// attributes in order, texts joined and trimmed. Both parsers must give the same table.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "platform/platform.h"

namespace {

using kestrel::platform::XmlNodeTable;

// One token per node: depth, kind (E element, T text, O other), then the name or text and any
// attributes in braces.
std::string Render(const XmlNodeTable& table) {
  std::string out;
  for (const XmlNodeTable::Node& node : table.Nodes()) {
    if (!out.empty()) out += ' ';
    out += std::to_string(node.depth);
    out += node.kind == XmlNodeTable::Node::kElement ? 'E'
           : node.kind == XmlNodeTable::Node::kText  ? 'T'
                                                     : 'O';
    if (node.kind == XmlNodeTable::Node::kOther) continue;
    out.append(table.Text(node.offset), node.length);
    if (node.attribute_count == 0) continue;
    out += '{';
    for (uint32_t k = 0; k < node.attribute_count; ++k) {
      const XmlNodeTable::Attribute& at = table.AttributeAt(node.first_attribute + k);
      out.append(table.Text(at.name), at.name_length).append("=");
      out.append(table.Text(at.value), at.value_length).append(";");
    }
    out += '}';
  }
  return out;
}

struct TableCase {
  const char* xml;
  const char* table;
};

void PrintTo(const TableCase& c, std::ostream* out) {
  *out << c.xml;
}

class NodeTableTest : public ::testing::TestWithParam<TableCase> {};

TEST_P(NodeTableTest, HoldsTheNodesBelowTheDocumentElement) {
  kestrel::platform::XmlDomDocument* document = nullptr;
  ASSERT_EQ(kestrel::platform::CreateXmlDomDocument(&document), 0);
  XmlNodeTable table;
  // A table that held another document before is emptied first.
  ASSERT_EQ(document->ReadXmlDocument("<r><old x=\"1\">t</old></r>", table), 0);
  EXPECT_EQ(document->ReadXmlDocument(GetParam().xml, table), 0);
  EXPECT_EQ(Render(table), GetParam().table);
  document->Release();
}

INSTANTIATE_TEST_SUITE_P(
    Documents, NodeTableTest,
    ::testing::Values(
        // The document element's own name and attributes are not in the table.
        TableCase{"<j id=\"1\"/>", ""}, TableCase{"<j id=\"1\">top</j>", "0Ttop"},
        // A node, its descendants, then its following siblings; blank text between elements is no
        // node, a text is trimmed.
        TableCase{"<j>\r\n <a k=\"v\" l=\"w\">\t x \r\n<b/> </a>\n<c>y</c></j>",
                  "0Ea{k=v;l=w;} 1Tx 1Eb 0Ec 1Ty"},
        // Character data split by references is one text; comments, CDATA and processing
        // instructions are nodes of their own that split the texts around them.
        TableCase{"<j><a>x&amp;y&#65;z</a><b>1<!--c-->2<![CDATA[3]]>4<?p d?>5</b></j>",
                  "0Ea 1Tx&yAz 0Eb 1T1 1O 1T2 1O 1T4 1O 1T5"},
        // References in attribute values are replaced, white space in them becomes spaces.
        TableCase{"<j><a v=\"&lt;&amp;&#38;&#x26;&gt;&quot;&apos;\" w=\"a\tb\"/></j>",
                  "0Ea{v=<&&&>\"';w=a b;}"}));

class RefusedTableTest : public ::testing::TestWithParam<const char*> {};

TEST_P(RefusedTableTest, AnswersFalse) {
  kestrel::platform::XmlDomDocument* document = nullptr;
  ASSERT_EQ(kestrel::platform::CreateXmlDomDocument(&document), 0);
  XmlNodeTable table;
  EXPECT_EQ(document->ReadXmlDocument(GetParam(), table), 1);
  // The parser is usable again after a refusal.
  EXPECT_EQ(document->ReadXmlDocument("<j><a/></j>", table), 0);
  EXPECT_EQ(Render(table), "0Ea");
  document->Release();
}

INSTANTIATE_TEST_SUITE_P(Documents, RefusedTableTest,
                         ::testing::Values("", "<a>", "<a></b>", "<a>&nope;</a>",
                                           "<a x=\"&nope;\"/>"));

}  // namespace
