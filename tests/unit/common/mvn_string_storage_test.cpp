// Texts move between the in-object buffer and the heap as they grow and as strings trade texts.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "common/mvn_string.h"

namespace {

struct SwapCase {
  std::string mine;
  std::string theirs;
};

class StringSwapTest : public ::testing::TestWithParam<SwapCase> {};

TEST_P(StringSwapTest, TradesTextsAndKeepsGrowing) {
  const SwapCase& c = GetParam();
  CMvnString mine(c.mine.c_str());
  CMvnString theirs(c.theirs.c_str());
  mine.Swap(theirs);
  EXPECT_EQ(std::string(mine.Text(), mine.Length()), c.theirs);
  EXPECT_EQ(std::string(theirs.Text(), theirs.Length()), c.mine);
  // Both must still know their room: grow each past any buffer they could share.
  const std::string tail(40, 'x');
  mine.Append(tail.c_str());
  theirs.AppendChar('!');
  EXPECT_EQ(std::string(mine.Text()), c.theirs + tail);
  EXPECT_EQ(std::string(theirs.Text()), c.mine + "!");

  CMvnString moved(std::move(mine));
  EXPECT_EQ(std::string(moved.Text()), c.theirs + tail);
  EXPECT_STREQ(mine.Text(), "");  // NOLINT(bugprone-use-after-move): moved-from is empty
}

INSTANTIATE_TEST_SUITE_P(Cases, StringSwapTest,
                         ::testing::Values(SwapCase{"short", "tiny"},
                                           SwapCase{"", std::string(15, 'a')},
                                           SwapCase{"short", std::string(100, 'b')},
                                           SwapCase{std::string(100, 'c'), "short"},
                                           SwapCase{std::string(16, 'd'), std::string(300, 'e')},
                                           SwapCase{"", ""}));

TEST(StringStorageTest, AssignsAndAppendsItsOwnText) {
  CMvnString text("0123456789");
  text.Append(text);
  EXPECT_STREQ(text.Text(), "01234567890123456789");
  text.Assign(text.Text() + 15);
  EXPECT_STREQ(text.Text(), "56789");
  text.Append(text.Text() + 1, 3);
  EXPECT_STREQ(text.Text(), "56789678");
  text.Swap(text);
  EXPECT_STREQ(text.Text(), "56789678");
}

}  // namespace
