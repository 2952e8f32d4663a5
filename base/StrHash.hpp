// Hash tables from string keys to one value (a number or a pointer), with chained buckets
// that grow automatically, a built-in walk, independent iterators and sorted iterators.
//
// Keys are bounded strings (their characters before the first NUL); the table keeps its
// own copy of every key. The value 0 stands for an absent entry: lookups of a missing key
// and the end of a walk both yield 0.
//
// The bucket count is always a power of two. Before an insertion, at the start of the
// built-in walk and when an explicit iterator is destroyed, a table whose entries number
// at least twice its buckets is resized to four times its buckets, but only while no walk
// is in progress (the built-in walk unfinished, or any explicit iterator existing). During
// a walk the chains just get longer, so every walk position stays valid.
//
// Chains keep insertion order: a new key goes to the end of its chain and a resize keeps
// each chain's order, so a walk delivers the entries bucket by bucket and, within one
// bucket, in the order they were first put.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "Strings.hpp"

// One value: wide enough for a number of 32 bits or for a pointer.
using StrHash_Value = std::uintptr_t;

struct StrHash_Table;
using StrHash = StrHash_Table*;
inline constexpr StrHash StrHash_Nil = nullptr;

struct StrHash_IteratorRec;
using StrHash_Iterator = StrHash_IteratorRec*;

struct StrHash_SortedIteratorRec;
using StrHash_SortedIterator = StrHash_SortedIteratorRec*;

// True when the entry (key1, value1) must come before (key2, value2).
using StrHash_Sorter =
    std::function<bool(StrIn key1, StrIn key2, StrHash_Value value1, StrHash_Value value2)>;

void StrHash_Init();

// The hash of a key: h := h * 31 + c over its characters, in unsigned 32-bit arithmetic.
// The bucket of a key is this value modulo the bucket count.
std::uint32_t StrHash_Hash(StrIn key);

// buckets := the smallest power of two that is at least size, and at least 2.
StrHash StrHash_CreateTable(std::size_t size);
// Frees every entry and the table, and sets table to StrHash_Nil. Iterators still open on
// it are detached: they deliver nothing more but must still be destroyed.
void StrHash_DestroyTable(StrHash& table);

// Inserts key, or replaces the value of an existing key (the entry keeps its place).
// The table must not be StrHash_Nil.
void StrHash_PutEntry(StrHash table, StrIn key, StrHash_Value value);
// The value of key, 0 when it is absent or the table is StrHash_Nil.
StrHash_Value StrHash_GetEntry(StrHash table, StrIn key);
StrHash_Value StrHash_GetConstEntry(StrHash table, StrIn key);
// Removes key (nothing when absent). Walks positioned on it move on to its successor.
void StrHash_DestroyEntry(StrHash table, StrIn key);
// Number of entries, 0 for StrHash_Nil.
std::size_t StrHash_Entries(StrHash table);
// Number of buckets, 0 for StrHash_Nil.
std::size_t StrHash_Buckets(StrHash table);

// The built-in walk, one per table: the first and then each further entry's value, its
// key copied into key (cut to the capacity of key); 0 once everything was delivered.
// During the walk the entry just delivered may be removed.
StrHash_Value StrHash_GetFirst(StrHash table, StrOut key);
StrHash_Value StrHash_GetNext(StrHash table, StrOut key);
StrHash_Value StrHash_GetFirstNoID(StrHash table);
StrHash_Value StrHash_GetNextNoID(StrHash table);
// True when no built-in walk is in progress: it has delivered everything or never began
// (true for StrHash_Nil).
bool StrHash_AtEnd(StrHash table);

// Independent walks; any number may be active at once, and any entry may be removed
// while they are. Iterate delivers the next entry and returns true, false at the end;
// restart begins again with the first entry.
StrHash_Iterator StrHash_CreateIterator(StrHash table);
bool StrHash_Iterate(StrHash_Iterator iterator, bool restart, StrOut key, StrHash_Value& value);
// Frees the iterator and sets it to nullptr; the table may grow again afterwards.
void StrHash_DestroyIterator(StrHash_Iterator& iterator);

// A walk over a snapshot of the entries taken at creation, ordered by sorter (entries the
// sorter does not separate keep their walk order). Later changes of the table do not
// affect it, and it does not hold the table back from growing.
StrHash_SortedIterator StrHash_CreateSortedIterator(StrHash table, const StrHash_Sorter& sorter);
bool StrHash_SortedIterate(StrHash_SortedIterator iterator, bool restart, StrOut key,
                           StrHash_Value& value);
void StrHash_DestroySortedIterator(StrHash_SortedIterator& iterator);

// Pointer values.
template <class T>
void StrHash_PutPointer(StrHash table, StrIn key, T* pointer) {
  StrHash_PutEntry(table, key, reinterpret_cast<StrHash_Value>(pointer));
}
template <class T>
T* StrHash_GetPointer(StrHash table, StrIn key) {
  return reinterpret_cast<T*>(StrHash_GetEntry(table, key));
}
