// Singly linked list of CMvnBase objects in insertion order, with one built-in cursor.
#pragma once

#include <cstdint>

#include "common/mvn_base.h"

class CMvnListNode {
 public:
  CMvnListNode(CMvnBase* item_in, CMvnListNode* next_in) : item(item_in), next(next_in) {}
  virtual ~CMvnListNode() = default;

  CMvnBase* item;
  CMvnListNode* next;
  // A cell handed in by AppendCell: its provider owns it, the list only links and unlinks it.
  bool borrowed = false;
};

class CMvnList : public CMvnBase {
 public:
  explicit CMvnList(int32_t owns_items);
  ~CMvnList() override;

  // Appends item unless an existing item reports it equal (then 0). Moves the cursor to the head.
  int32_t Add(CMvnBase* item);
  // Appends without asking the existing items: for lists whose items never compare equal
  // (their class keeps the base IsEqual), so that building a large list stays linear. An owning
  // list owns item from the call on, also when the call throws.
  void Append(CMvnBase* item);
  // Append with a cell that the caller provides and keeps alive while it is linked (for example
  // one embedded in the item): large trees then link their nodes without a heap block per link.
  void AppendCell(CMvnListNode* cell, CMvnBase* item);
  void RemoveAll();
  CMvnBase* GetFirst();
  CMvnBase* GetNext();
  uint32_t GetCount() const { return count_; }
  // The last item, or null.
  CMvnBase* GetLast() const { return tail_ != nullptr ? tail_->item : nullptr; }
  int32_t OwnsItems() const { return owns_items_; }
  // First node, for walking a list that must stay const (the cursor is not moved).
  const CMvnListNode* Head() const { return head_; }

 private:
  void Link(CMvnListNode* node);

  CMvnListNode* head_;
  CMvnListNode* tail_;
  CMvnListNode* cursor_;
  int32_t owns_items_;
  uint32_t count_;
};
