#include "common/mvn_list.h"

#include <gtest/gtest.h>

namespace {

// An item known by its key; a keyed item also compares equal by it.
class Item : public CMvnBase {
 public:
  explicit Item(int key) : CMvnBase("Item"), key_(key) {}
  int key() const { return key_; }

 private:
  int key_;
};

class KeyedItem : public Item {
 public:
  using Item::Item;
  int32_t IsEqual(const CMvnBase* other) const override {
    const auto* keyed = dynamic_cast<const KeyedItem*>(other);
    return keyed != nullptr && keyed->key() == key() ? 1 : 0;
  }
};

int Key(CMvnBase* item) {
  return item != nullptr ? static_cast<Item*>(item)->key() : -1;
}

// Walking in insertion order shows in every device case; the cursor's reset by Add does not.
TEST(MvnListTest, AddRewindsTheCursor) {
  CMvnList list(0);
  Item p(1), q(2), r(3);
  EXPECT_EQ(list.GetNext(), nullptr);
  list.Add(&p);
  list.Add(&q);
  list.GetFirst();
  EXPECT_EQ(Key(list.GetNext()), 2);
  EXPECT_EQ(list.GetNext(), nullptr);
  list.Add(&r);  // back to the head
  EXPECT_EQ(Key(list.GetNext()), 2);
  EXPECT_EQ(Key(list.GetLast()), 3);
}

// Which lists delete their items shows under the sanitizers in every device case: the JSON
// parser's child lists borrow what its store and the device records own.
TEST(MvnListTest, AddRefusesAnItemThatAnExistingOneCallsEqual) {
  CMvnList list(0);
  KeyedItem a(1), b(2), a_again(1);
  EXPECT_EQ(list.Add(&a), 1);
  EXPECT_EQ(list.Add(&b), 1);
  EXPECT_EQ(list.Add(&a_again), 0);
  EXPECT_EQ(list.GetCount(), 2u);
}

}  // namespace
