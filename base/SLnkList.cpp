#include "SLnkList.hpp"

#include "UCommon.hpp"

void SLnkList_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "SLnkList");
  if (!init) return;
  UCommon_Init();
}

void SLnkList_Prepend(SLnkList_Link*& list, SLnkList_Link* elem) {
  elem->next = list;
  list = elem;
}

bool SLnkList_Remove(SLnkList_Link*& list, SLnkList_Link* elem) {
  for (SLnkList_Link** p = &list; *p != nullptr; p = &(*p)->next) {
    if (*p == elem) {
      *p = elem->next;
      elem->next = nullptr;
      return true;
    }
  }
  return false;
}

std::size_t SLnkList_CountListElems(const SLnkList_Link* list) {
  std::size_t n = 0;
  for (; list != nullptr; list = list->next) ++n;
  return n;
}

namespace {

// Merges two sorted chains; on ties the record of a (the earlier run) goes first.
SLnkList_Link* Merge(SLnkList_Link* a, SLnkList_Link* b, SLnkList_LessProc less, void* arg) {
  SLnkList_Link head;
  SLnkList_Link* tail = &head;
  while (a != nullptr && b != nullptr) {
    if (less(b, a, arg)) {
      tail->next = b;
      b = b->next;
    } else {
      tail->next = a;
      a = a->next;
    }
    tail = tail->next;
  }
  tail->next = a != nullptr ? a : b;
  return head.next;
}

}  // namespace

// Bottom-up merge sort: runs of width 1, 2, 4, ... are merged pairwise in place, so the
// sort needs neither recursion nor extra memory however long the list is.
void SLnkList_SortList(SLnkList_Link*& list, SLnkList_LessProc less, void* argument) {
  if (list == nullptr || list->next == nullptr) return;
  for (std::size_t width = 1;; width *= 2) {
    SLnkList_Link* rest = list;
    SLnkList_Link head;
    SLnkList_Link* tail = &head;
    std::size_t merges = 0;
    while (rest != nullptr) {
      SLnkList_Link* a = rest;
      SLnkList_Link* aEnd = a;
      for (std::size_t i = 1; i < width && aEnd->next != nullptr; ++i) aEnd = aEnd->next;
      SLnkList_Link* b = aEnd->next;
      aEnd->next = nullptr;
      SLnkList_Link* bEnd = b;
      for (std::size_t i = 1; i < width && bEnd != nullptr && bEnd->next != nullptr; ++i) {
        bEnd = bEnd->next;
      }
      if (bEnd != nullptr) {
        rest = bEnd->next;
        bEnd->next = nullptr;
      } else {
        rest = nullptr;
      }
      tail->next = Merge(a, b, less, argument);
      while (tail->next != nullptr) tail = tail->next;
      ++merges;
    }
    list = head.next;
    if (merges <= 1) return;
  }
}
