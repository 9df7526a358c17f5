#include "transport/json_parser.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The tree as one line: a scalar as name:value, a container as name{children}, "-" for no root.
std::string Shape(CMvnJsonObject* node) {
  if (node == nullptr) return "-";
  std::string text = node->Name().Text();
  if (node->Kind() == CMvnJsonObject::kScalar) return text + ":" + node->Value().Text();
  text += "{";
  CMvnList* children = node->Children();
  bool first = true;
  for (CMvnBase* child = children->GetFirst(); child != nullptr; child = children->GetNext()) {
    if (!first) text += ",";
    first = false;
    text += Shape(static_cast<CMvnJsonObject*>(child));
  }
  return text + "}";
}

struct TreeCase {
  const char* json;
  int32_t result;
  const char* shape;
};

class JsonTreeTest : public ::testing::TestWithParam<TreeCase> {};

// With and without the fast paths: they must build the tree the state table builds.
TEST_P(JsonTreeTest, BuildsTheTolerantTree) {
  const TreeCase& c = GetParam();
  for (const auto paths :
       {kestrel::transport::JsonPaths::kFast, kestrel::transport::JsonPaths::kPlain}) {
    CMvnJson parser;
    EXPECT_EQ(parser.Parse(c.json, paths), c.result) << c.json;
    EXPECT_EQ(Shape(parser.GetRoot()), c.shape) << c.json;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JsonTreeTest,
    ::testing::Values(
        TreeCase{"{'a':1,'b':[true,null],'c':{'d':'x'}}", 0, "{a:1,b{item:true,item:null},c{d:x}}"},
        TreeCase{"{\"t\":-5.5e+1}", 0, "{t:-5.5e+1}"},
        // numbers are kept as written, never checked
        TreeCase{"[1.2.3e, -]", 0, "{item:1.2.3e,item:-}"},
        // the other quote character is an ordinary one
        TreeCase{"{'s':'say \"hi\"'}", 0, "{s:say \"hi\"}"},
        TreeCase{"{\"s\":\"it's\"}", 0, "{s:it's}"},
        TreeCase{"{'s':'x\\u00e9y'}", 0, "{s:x&#x00e9;y}"},
        // an upper-case hex letter ends the digits
        TreeCase{"{'s':'\\u00E9'}", 0, "{s:&#x00;E9}"},
        TreeCase{"{'s':'\\u00e9abc'}", 0, "{s:&#x00e9abc;}"},
        TreeCase{"{'s':'\\u'}", 0, "{s:&#x;}"},
        TreeCase{"{'e':'a\\nb\\tc\\/\\\\\\\"\\r\\b'}", 0, "{e:a\nb\tc/\\\"\r\b}"},
        // an unknown escape letter is dropped and the next character is the escape letter
        TreeCase{"{'e':'a\\fnb'}", 0, "{e:a\nb}"}, TreeCase{"{'e':'a\\q'}", 0, "{}"},
        // a backslash in a member name drops what came before it
        TreeCase{"{'a\\bc':1}", 0, "{bc:1}"}, TreeCase{"{'ab\\':1}", 0, "{:1}"},
        TreeCase{"{'a': ,1}", 0, "{a:1}"}, TreeCase{"[]", 0, "{}"}, TreeCase{"[ ]", 0, "{}"},
        TreeCase{"{}", 0, "{}"}, TreeCase{"{'a' 1}", -1, "{}"},
        TreeCase{"{'a':1 'b':2}", -1, "{a:1}"}, TreeCase{"[1 2]", -1, "{item:1}"},
        TreeCase{"{1:2}", -1, "{}"}, TreeCase{"{'a':1}xyz", 0, "{a:1}"},
        // values whose end never came are not stored
        TreeCase{"{'a':1", 0, "{}"}, TreeCase{"{'a':tru", 0, "{}"},
        TreeCase{"{'k':TRUE,'n':Null,'f':fALSE}", 0, "{k:TRUE,n:Null,f:fALSE}"},
        // a literal runs until its word appears, whatever comes between
        TreeCase{"{'b':tXfalse}", 0, "{b:tXfalse}"}, TreeCase{"{'z':nope}", 0, "{}"},
        TreeCase{"   ", 0, "-"}, TreeCase{"", -1, "-"}, TreeCase{"5", 0, "-"},
        TreeCase{"'abc' ", 0, ":abc"}, TreeCase{"\v\f", 0, "-"}, TreeCase{"{'':1}", 0, "{:1}"},
        TreeCase{"{'a':[{'b':[]},[[]]]}", 0, "{a{item{b{}},item{item{}}}}"},
        // bytes above 0x7F pass unchanged
        TreeCase{"{'u':'\xB0"
                 "C'}",
                 0,
                 "{u:\xB0"
                 "C}"}));

std::string Nested(int depth, const char* inner) {
  return std::string(depth, '[') + inner + std::string(depth, ']');
}

// 32 arrays around a value fill every level; one more level cannot hold anything.
TEST(JsonNestingTest, KeepsThirtyThreeLevels) {
  CMvnJson parser;
  ASSERT_EQ(parser.Parse(Nested(32, "7").c_str()), 0);
  std::string expected = "item:7";
  for (int k = 0; k < 31; ++k) expected = "item{" + expected + "}";
  EXPECT_EQ(Shape(parser.GetRoot()), "{" + expected + "}");

  CMvnJson deeper;
  EXPECT_EQ(deeper.Parse(Nested(33, "7").c_str()), 0);
  EXPECT_EQ(Shape(deeper.GetRoot()), "{}");
}

TEST(JsonNestingTest, DeepTextEndsWithoutRecursion) {
  CMvnJson parser;
  EXPECT_EQ(parser.Parse(std::string(10000, '[').c_str()), 0);
  EXPECT_EQ(Shape(parser.GetRoot()), "{}");
  EXPECT_EQ(parser.NodeCount(), 33u);
}

}  // namespace
