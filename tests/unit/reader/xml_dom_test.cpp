// What the Linux DOM shows the reader is checked through the reader (xml_reader_test.cpp); this is
// the DOM's own COM-like contract.
#include <gtest/gtest.h>

#include "common/mvn_string.h"
#include "platform/platform.h"

namespace {

using kestrel::platform::WChar;
using kestrel::platform::XmlDomDocument;
using kestrel::platform::XmlDomNode;

std::string Name(XmlDomNode* node) {
  WChar* text = nullptr;
  EXPECT_EQ(node->GetNodeName(&text), 0);
  CMvnString out;
  out.AssignWide(text);
  kestrel::platform::FreeWideString(text);
  return out.Text();
}

// A COM node holds its document: a caller may release the document first.
TEST(DomTest, NodesOutliveTheirDocumentAndAFailedLoadKeepsThePreviousOne) {
  XmlDomDocument* document = nullptr;
  ASSERT_EQ(kestrel::platform::CreateXmlDomDocument(&document), 0);
  XmlDomNode* root = nullptr;
  EXPECT_EQ(document->GetDocumentElement(&root), 1);
  EXPECT_EQ(root, nullptr);

  const WChar first[] = {'<', 'f', '>', '<', 'x', '/', '>', '<', '/', 'f', '>', 0};
  const WChar broken[] = {'<', 'b', '>', 0};
  bool well_formed = false;
  ASSERT_EQ(document->LoadXml(first, &well_formed), 0);
  ASSERT_TRUE(well_formed);
  ASSERT_EQ(document->LoadXml(broken, &well_formed), 0);
  EXPECT_FALSE(well_formed);
  ASSERT_EQ(document->GetDocumentElement(&root), 0);
  document->Release();
  XmlDomNode* child = nullptr;
  ASSERT_EQ(root->GetFirstChild(&child), 0);
  EXPECT_EQ(Name(root) + "/" + Name(child), "f/x");
  child->Release();
  root->Release();
}

}  // namespace
