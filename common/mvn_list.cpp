#include "common/mvn_list.h"

CMvnList::CMvnList(int32_t owns_items)
    : CMvnBase(""),
      head_(nullptr),
      tail_(nullptr),
      cursor_(nullptr),
      owns_items_(owns_items),
      count_(0) {}

CMvnList::~CMvnList() {
  RemoveAll();
}

int32_t CMvnList::Add(CMvnBase* item) {
  for (CMvnListNode* node = head_; node != nullptr; node = node->next) {
    if (node->item != nullptr && node->item->IsEqual(item) != 0) return 0;
  }
  Append(item);
  return 1;
}

void CMvnList::Append(CMvnBase* item) {
  CMvnListNode* node = nullptr;
  try {
    node = new CMvnListNode(item, nullptr);
  } catch (...) {
    // The caller handed the item over with the call: an owning list keeps that promise by
    // deleting what it could not link, so that running out of memory leaks nothing.
    if (owns_items_ != 0) delete item;
    throw;
  }
  Link(node);
}

void CMvnList::AppendCell(CMvnListNode* cell, CMvnBase* item) {
  cell->item = item;
  cell->next = nullptr;
  cell->borrowed = true;
  Link(cell);
}

void CMvnList::Link(CMvnListNode* node) {
  if (head_ == nullptr) {
    head_ = node;
  } else {
    CMvnListNode* last = tail_;
    if (last == nullptr) {
      last = head_;
      while (last->next != nullptr) last = last->next;
    }
    last->next = node;
  }
  tail_ = node;
  cursor_ = head_;
  ++count_;
}

void CMvnList::RemoveAll() {
  CMvnListNode* node = head_;
  while (node != nullptr) {
    CMvnListNode* next = node->next;
    // A borrowed cell may live inside its item: decide before the item goes.
    const bool borrowed = node->borrowed;
    if (owns_items_ != 0 && node->item != nullptr) delete node->item;
    if (!borrowed) delete node;
    node = next;
  }
  head_ = tail_ = cursor_ = nullptr;
  count_ = 0;
}

CMvnBase* CMvnList::GetFirst() {
  cursor_ = head_;
  return cursor_ != nullptr ? cursor_->item : nullptr;
}

CMvnBase* CMvnList::GetNext() {
  if (cursor_ == nullptr) return nullptr;
  cursor_ = cursor_->next;
  return cursor_ != nullptr ? cursor_->item : nullptr;
}
