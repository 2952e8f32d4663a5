#include "StrHash.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "SLnkList.hpp"
#include "UCommon.hpp"

namespace {

// An entry and its key in one allocation: the key's characters and a NUL follow the
// record. The full hash is kept so that lookups compare keys only on a likely match and
// a resize needs no rehashing of the characters.
struct Entry {
  Entry* next;
  StrHash_Value value;
  std::uint32_t hash;
  std::uint32_t length;

  char* key() { return reinterpret_cast<char*>(this + 1); }
  StrIn keyIn() { return StrIn(key(), length); }
};

Entry* NewEntry(std::uint32_t hash, const char* key, std::size_t length, StrHash_Value value) {
  void* mem = ::operator new(sizeof(Entry) + length + 1);
  Entry* e = new (mem) Entry{nullptr, value, hash, static_cast<std::uint32_t>(length)};
  std::memcpy(e->key(), key, length);
  e->key()[length] = '\0';
  return e;
}

void FreeEntry(Entry* e) {
  e->~Entry();
  ::operator delete(e);
}

// A walk position: the entry to deliver next, or, when there is none, the bucket from
// which to look further. Walks step past an entry as they deliver it, so the delivered
// entry can be removed without disturbing them.
struct Position {
  Entry* entry = nullptr;
  std::size_t nextBucket = 0;
};

// The hash and the length of a key in one pass over its characters.
struct KeyInfo {
  std::uint32_t hash;
  std::size_t length;
};

KeyInfo Examine(StrIn key) {
  const char* p = key.data();
  const std::size_t n = key.high() + 1;
  std::uint32_t h = 0;
  std::size_t i = 0;
  for (; i < n && p[i] != '\0'; ++i) h = h * 31u + static_cast<unsigned char>(p[i]);
  return {h, i};
}

}  // namespace

struct StrHash_IteratorRec : SLnkList_Link {
  StrHash table;
  Position pos;
};

struct StrHash_Table {
  std::size_t entries = 0;
  std::vector<Entry*> bucket;  // heads of the chains; its size is a power of two
  Position walk;
  bool atEnd = true;
  StrHash_IteratorRec* iterators = nullptr;

  std::size_t mask() const { return bucket.size() - 1; }

  Entry* Find(const char* key, KeyInfo k) const {
    for (Entry* e = bucket[k.hash & mask()]; e != nullptr; e = e->next) {
      if (e->hash == k.hash && e->length == k.length && std::memcmp(e->key(), key, k.length) == 0) {
        return e;
      }
    }
    return nullptr;
  }

  // The entry at pos, or the first entry of a later bucket; nullptr at the end.
  Entry* Seek(Position& pos) const {
    while (pos.entry == nullptr && pos.nextBucket < bucket.size()) {
      pos.entry = bucket[pos.nextBucket++];
    }
    return pos.entry;
  }

  // Delivers the entry at pos and steps past it.
  Entry* Step(Position& pos) const {
    Entry* e = Seek(pos);
    if (e != nullptr) pos.entry = e->next;
    return e;
  }

  bool Walking() const { return !atEnd || iterators != nullptr; }

  void Resize(std::size_t buckets) {
    std::vector<Entry*> fresh(buckets, nullptr);
    std::vector<Entry**> tail(buckets);
    for (std::size_t i = 0; i < buckets; ++i) tail[i] = &fresh[i];
    const std::size_t m = buckets - 1;
    for (Entry* head : bucket) {
      while (head != nullptr) {
        Entry* e = head;
        head = e->next;
        e->next = nullptr;
        *tail[e->hash & m] = e;
        tail[e->hash & m] = &e->next;
      }
    }
    bucket = std::move(fresh);
  }

  void MaybeGrow() {
    if (entries >= 2 * bucket.size() && !Walking()) Resize(4 * bucket.size());
  }
};

struct StrHash_SortedIteratorRec {
  std::vector<std::pair<std::string, StrHash_Value>> items;
  std::size_t next = 0;
};

void StrHash_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "StrHash");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  SLnkList_Init();
}

std::uint32_t StrHash_Hash(StrIn key) { return Examine(key).hash; }

StrHash StrHash_CreateTable(std::size_t size) {
  std::size_t buckets = 2;
  while (buckets < size) buckets *= 2;
  StrHash t = new StrHash_Table;
  t->bucket.assign(buckets, nullptr);
  return t;
}

void StrHash_DestroyTable(StrHash& table) {
  if (table == StrHash_Nil) return;
  for (Entry* head : table->bucket) {
    while (head != nullptr) {
      Entry* e = head;
      head = e->next;
      FreeEntry(e);
    }
  }
  for (StrHash_IteratorRec* it = table->iterators; it != nullptr;) {
    StrHash_IteratorRec* next = SLnkList_Next(it);
    it->table = StrHash_Nil;
    it->next = nullptr;
    it = next;
  }
  delete table;
  table = StrHash_Nil;
}

void StrHash_PutEntry(StrHash table, StrIn key, StrHash_Value value) {
  if (table == StrHash_Nil) HALT();
  table->MaybeGrow();
  const KeyInfo k = Examine(key);
  Entry** link = &table->bucket[k.hash & table->mask()];
  for (; *link != nullptr; link = &(*link)->next) {
    Entry* e = *link;
    if (e->hash == k.hash && e->length == k.length &&
        std::memcmp(e->key(), key.data(), k.length) == 0) {
      e->value = value;
      return;
    }
  }
  *link = NewEntry(k.hash, key.data(), k.length, value);
  ++table->entries;
}

StrHash_Value StrHash_GetEntry(StrHash table, StrIn key) {
  if (table == StrHash_Nil) return 0;
  const Entry* e = table->Find(key.data(), Examine(key));
  return e != nullptr ? e->value : 0;
}

StrHash_Value StrHash_GetConstEntry(StrHash table, StrIn key) {
  return StrHash_GetEntry(table, key);
}

void StrHash_DestroyEntry(StrHash table, StrIn key) {
  if (table == StrHash_Nil) return;
  const KeyInfo k = Examine(key);
  for (Entry** link = &table->bucket[k.hash & table->mask()]; *link != nullptr;
       link = &(*link)->next) {
    Entry* e = *link;
    if (e->hash == k.hash && e->length == k.length &&
        std::memcmp(e->key(), key.data(), k.length) == 0) {
      *link = e->next;
      // Walks standing on the entry go on with its successor in the same chain; their
      // bucket to continue with is already the one after this chain.
      if (table->walk.entry == e) table->walk.entry = e->next;
      for (StrHash_IteratorRec* it = table->iterators; it != nullptr; it = SLnkList_Next(it)) {
        if (it->pos.entry == e) it->pos.entry = e->next;
      }
      FreeEntry(e);
      --table->entries;
      return;
    }
  }
}

std::size_t StrHash_Entries(StrHash table) { return table == StrHash_Nil ? 0 : table->entries; }

std::size_t StrHash_Buckets(StrHash table) {
  return table == StrHash_Nil ? 0 : table->bucket.size();
}

namespace {

StrHash_Value WalkNext(StrHash table, StrOut* key) {
  if (table == StrHash_Nil || table->atEnd) return 0;
  Entry* e = table->Step(table->walk);
  if (e == nullptr) {
    table->atEnd = true;
    return 0;
  }
  if (key != nullptr) Strings_Assign(e->keyIn(), *key);
  return e->value;
}

// A new walk abandons an unfinished one, so only explicit iterators hold growth back here.
StrHash_Value WalkFirst(StrHash table, StrOut* key) {
  if (table == StrHash_Nil) return 0;
  table->atEnd = true;
  table->MaybeGrow();
  table->walk = Position{};
  table->atEnd = false;
  return WalkNext(table, key);
}

}  // namespace

StrHash_Value StrHash_GetFirst(StrHash table, StrOut key) { return WalkFirst(table, &key); }
StrHash_Value StrHash_GetNext(StrHash table, StrOut key) { return WalkNext(table, &key); }
StrHash_Value StrHash_GetFirstNoID(StrHash table) { return WalkFirst(table, nullptr); }
StrHash_Value StrHash_GetNextNoID(StrHash table) { return WalkNext(table, nullptr); }

bool StrHash_AtEnd(StrHash table) { return table == StrHash_Nil || table->atEnd; }

StrHash_Iterator StrHash_CreateIterator(StrHash table) {
  StrHash_Iterator it = new StrHash_IteratorRec;
  it->table = table;
  if (table != StrHash_Nil) SLnkList_Prepend(table->iterators, it);
  return it;
}

bool StrHash_Iterate(StrHash_Iterator iterator, bool restart, StrOut key, StrHash_Value& value) {
  if (iterator == nullptr || iterator->table == StrHash_Nil) return false;
  if (restart) iterator->pos = Position{};
  Entry* e = iterator->table->Step(iterator->pos);
  if (e == nullptr) return false;
  Strings_Assign(e->keyIn(), key);
  value = e->value;
  return true;
}

void StrHash_DestroyIterator(StrHash_Iterator& iterator) {
  if (iterator == nullptr) return;
  StrHash table = iterator->table;
  if (table != StrHash_Nil) {
    SLnkList_Remove(table->iterators, iterator);
    table->MaybeGrow();
  }
  delete iterator;
  iterator = nullptr;
}

StrHash_SortedIterator StrHash_CreateSortedIterator(StrHash table, const StrHash_Sorter& sorter) {
  StrHash_SortedIterator it = new StrHash_SortedIteratorRec;
  if (table == StrHash_Nil) return it;
  it->items.reserve(table->entries);
  for (Entry* head : table->bucket) {
    for (Entry* e = head; e != nullptr; e = e->next) {
      it->items.emplace_back(std::string(e->key(), e->length), e->value);
    }
  }
  std::stable_sort(it->items.begin(), it->items.end(), [&sorter](const auto& a, const auto& b) {
    return sorter(StrIn(a.first), StrIn(b.first), a.second, b.second);
  });
  return it;
}

bool StrHash_SortedIterate(StrHash_SortedIterator iterator, bool restart, StrOut key,
                           StrHash_Value& value) {
  if (iterator == nullptr) return false;
  if (restart) iterator->next = 0;
  if (iterator->next >= iterator->items.size()) return false;
  const auto& [k, v] = iterator->items[iterator->next++];
  Strings_Assign(StrIn(k), key);
  value = v;
  return true;
}

void StrHash_DestroySortedIterator(StrHash_SortedIterator& iterator) {
  delete iterator;
  iterator = nullptr;
}
