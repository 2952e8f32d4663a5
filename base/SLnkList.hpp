// Singly linked lists of records whose first field is the link.
//
// A record takes part by deriving from SLnkList_Link (so the link is its first field):
//
//   struct Held : SLnkList_Link { char name[256]; int uses; };
//   Held* list = nullptr;
//   SLnkList_Prepend(list, new Held{...});
//
// The typed templates below keep the caller's list variable in its own record type; the
// untyped functions work on any chain of links. A list is a pointer to its first record,
// nullptr when empty.
#pragma once

#include <concepts>
#include <cstddef>

struct SLnkList_Link {
  SLnkList_Link* next = nullptr;
};

void SLnkList_Init();

// Puts elem in front of list.
void SLnkList_Prepend(SLnkList_Link*& list, SLnkList_Link* elem);
// Unlinks elem from list; false (and nothing changed) when elem is not in it.
bool SLnkList_Remove(SLnkList_Link*& list, SLnkList_Link* elem);
std::size_t SLnkList_CountListElems(const SLnkList_Link* list);

// less(a, b, argument) is true when a must come before b. The sort is stable: records
// that are not less than each other keep their order. It takes O(n log n) comparisons
// and never allocates.
using SLnkList_LessProc = bool (*)(const SLnkList_Link* a, const SLnkList_Link* b, void* argument);
void SLnkList_SortList(SLnkList_Link*& list, SLnkList_LessProc less, void* argument);

// Typed forms for records derived from SLnkList_Link.
template <std::derived_from<SLnkList_Link> T>
void SLnkList_Prepend(T*& list, T* elem) {
  SLnkList_Link* l = list;
  SLnkList_Prepend(l, elem);
  list = static_cast<T*>(l);
}

template <std::derived_from<SLnkList_Link> T>
bool SLnkList_Remove(T*& list, T* elem) {
  SLnkList_Link* l = list;
  const bool found = SLnkList_Remove(l, elem);
  list = static_cast<T*>(l);
  return found;
}

// The next record of a typed list.
template <std::derived_from<SLnkList_Link> T>
T* SLnkList_Next(const T* elem) {
  return static_cast<T*>(elem->next);
}

// less is any callable bool(const T&, const T&).
template <std::derived_from<SLnkList_Link> T, class Less>
void SLnkList_SortList(T*& list, Less less) {
  SLnkList_Link* l = list;
  SLnkList_SortList(
      l,
      [](const SLnkList_Link* a, const SLnkList_Link* b, void* arg) {
        return (*static_cast<Less*>(arg))(*static_cast<const T*>(a), *static_cast<const T*>(b));
      },
      &less);
  list = static_cast<T*>(l);
}
