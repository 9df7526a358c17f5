#include "common/mvn_list.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// An item that records its destruction and compares equal by key.
class Item : public CMvnBase {
 public:
  Item(int key, std::vector<int>* destroyed) : CMvnBase("Item"), key_(key), destroyed_(destroyed) {}
  ~Item() override {
    if (destroyed_ != nullptr) destroyed_->push_back(key_);
  }
  int key() const { return key_; }

 private:
  int key_;
  std::vector<int>* destroyed_;
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
  Item p(1, nullptr), q(2, nullptr), r(3, nullptr);
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

TEST(MvnListTest, OwnershipDecidesWhetherItemsDie) {
  std::vector<int> destroyed;
  {
    CMvnList owning(1);
    owning.Add(new Item(1, &destroyed));
    owning.Add(nullptr);  // stored, skipped when deleting
    owning.Add(new Item(2, &destroyed));
    EXPECT_EQ(owning.GetCount(), 3u);
    owning.RemoveAll();
    EXPECT_EQ(destroyed, (std::vector<int>{1, 2}));
    EXPECT_EQ(owning.GetFirst(), nullptr);
    EXPECT_EQ(owning.GetCount(), 0u);
    owning.Add(new Item(3, &destroyed));
  }
  EXPECT_EQ(destroyed, (std::vector<int>{1, 2, 3}));

  destroyed.clear();
  Item kept(9, &destroyed);
  {
    CMvnList borrowing(0);
    borrowing.Add(&kept);
    borrowing.RemoveAll();
    borrowing.Add(&kept);
  }
  EXPECT_TRUE(destroyed.empty());
}

TEST(MvnListTest, AddRefusesAnItemThatAnExistingOneCallsEqual) {
  CMvnList list(0);
  KeyedItem a(1, nullptr), b(2, nullptr), a_again(1, nullptr);
  EXPECT_EQ(list.Add(&a), 1);
  EXPECT_EQ(list.Add(&b), 1);
  EXPECT_EQ(list.Add(&a_again), 0);
  EXPECT_EQ(list.GetCount(), 2u);
}

}  // namespace
