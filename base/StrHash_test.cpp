#include "StrHash.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Pairs = std::vector<std::pair<std::string, StrHash_Value>>;

// The reference: what a table holds, how many buckets it has, and the order a walk must
// deliver (bucket by bucket, each chain in the order its keys were first put).
class Model {
 public:
  explicit Model(std::size_t buckets) : buckets_(buckets) {}
  // What the table does before an insertion, at the start of a walk, and when an
  // iterator goes away.
  void MaybeGrow() {
    if (entries_.size() >= 2 * buckets_) buckets_ *= 4;
  }
  void Put(const std::string& key, StrHash_Value value) {
    MaybeGrow();
    auto [it, fresh] = entries_.try_emplace(key, value, seq_);
    if (fresh) ++seq_;
    it->second.first = value;
  }
  void Erase(const std::string& key) { entries_.erase(key); }
  StrHash_Value Get(const std::string& key) const {
    auto it = entries_.find(key);
    return it == entries_.end() ? 0 : it->second.first;
  }
  std::size_t Size() const { return entries_.size(); }
  std::size_t Buckets() const { return buckets_; }
  Pairs WalkOrder() const {
    std::vector<std::tuple<std::uint32_t, std::uint64_t, std::string, StrHash_Value>> rows;
    for (const auto& [key, vs] : entries_) {
      std::uint32_t h = 0;
      for (unsigned char c : key) h = h * 31u + c;
      rows.emplace_back(h & (buckets_ - 1), vs.second, key, vs.first);
    }
    std::sort(rows.begin(), rows.end());
    Pairs out;
    for (const auto& r : rows) out.emplace_back(std::get<2>(r), std::get<3>(r));
    return out;
  }

 private:
  std::size_t buckets_;
  std::map<std::string, std::pair<StrHash_Value, std::uint64_t>> entries_;
  std::uint64_t seq_ = 0;
};

// The built-in walk, ended the way callers test it: by AtEnd.
Pairs Walk(StrHash t) {
  Pairs out;
  char key[128];
  for (StrHash_Value v = StrHash_GetFirst(t, key); !StrHash_AtEnd(t); v = StrHash_GetNext(t, key)) {
    out.emplace_back(key, v);
  }
  return out;
}

Pairs IterateAll(StrHash_Iterator it) {
  Pairs out;
  char key[128];
  StrHash_Value v = 0;
  for (bool more = StrHash_Iterate(it, true, key, v); more;
       more = StrHash_Iterate(it, false, key, v)) {
    out.emplace_back(key, v);
  }
  return out;
}

std::string Key(int i) { return "key" + std::to_string(i); }

void Fill(StrHash t, int n, int from = 0) {
  for (int i = from; i < from + n; ++i) StrHash_PutEntry(t, Key(i), i + 1);
}

// Four keys that fall into one bucket of a table of 16, put in this order (the table must
// stay below 32 entries to keep them together).
std::vector<std::string> OneChain(StrHash t) {
  std::map<std::uint32_t, std::vector<std::string>> byBucket;
  for (int i = 0;; ++i) {
    auto& chain = byBucket[StrHash_Hash(Key(i)) & 15];
    chain.push_back(Key(i));
    if (chain.size() == 4) {
      for (const auto& k : chain) StrHash_PutEntry(t, k, 1);
      return chain;
    }
  }
}

class StrHashTest : public ::testing::Test {
 protected:
  void SetUp() override { StrHash_Init(); }
  void TearDown() override { StrHash_DestroyTable(t_); }
  StrHash t_ = StrHash_Nil;
};

TEST_F(StrHashTest, BucketCountIsTheNextPowerOfTwoAndAtLeastTwo) {
  for (auto [size, buckets] : std::vector<std::pair<std::size_t, std::size_t>>{
           {256, 256}, {3, 4}, {0, 2}, {1, 2}, {257, 512}}) {
    StrHash t = StrHash_CreateTable(size);
    EXPECT_EQ(StrHash_Buckets(t), buckets) << "size " << size;
    StrHash_DestroyTable(t);
    EXPECT_EQ(t, StrHash_Nil);
  }
}

// Random puts, replacements, removals and lookups against the model. After every step
// the lookup, the count and the bucket count agree; now and then a full walk, by the
// built-in walk and by an iterator, must deliver the model's entries in its order.
TEST_F(StrHashTest, RandomOperationsAgreeWithAReferenceModel) {
  std::mt19937 rng(20240131);
  std::vector<std::string> keys{""};
  for (int i = 0; i < 400; ++i) {
    std::string k;
    for (int j = 0, len = 1 + static_cast<int>(rng() % 12); j < len; ++j)
      k += "ab\xe4 Zz"[rng() % 6];
    keys.push_back(k);
  }
  t_ = StrHash_CreateTable(4);
  Model model(4);
  for (int step = 0; step < 20000; ++step) {
    const std::string& k = keys[rng() % keys.size()];
    const unsigned op = rng() % 20;
    if (op < 12) {
      const StrHash_Value v = 1 + rng() % 1000;
      StrHash_PutEntry(t_, k, v);
      model.Put(k, v);
    } else if (op < 17) {
      StrHash_DestroyEntry(t_, k);
      model.Erase(k);
    }
    ASSERT_EQ(StrHash_GetEntry(t_, k), model.Get(k)) << "step " << step << " key '" << k << "'";
    ASSERT_EQ(StrHash_GetConstEntry(t_, k), model.Get(k));
    ASSERT_EQ(StrHash_Entries(t_), model.Size());
    ASSERT_EQ(StrHash_Buckets(t_), model.Buckets()) << "step " << step;
    if (step % 997 == 0) {
      StrHash_Iterator it = StrHash_CreateIterator(t_);
      ASSERT_EQ(IterateAll(it), model.WalkOrder()) << "step " << step;
      StrHash_DestroyIterator(it);
      model.MaybeGrow();
      ASSERT_EQ(Walk(t_), model.WalkOrder()) << "step " << step;
    }
  }
  EXPECT_GT(StrHash_Buckets(t_), 64u);
}

// Growth outside walks is followed step by step by the model test above. Inside a
// built-in walk the table only grows its chains, and the walk still delivers every entry
// that was there when it began, exactly once.
TEST_F(StrHashTest, DoesNotGrowWhileAWalkIsActive) {
  t_ = StrHash_CreateTable(256);
  Fill(t_, 511);
  std::multiset<std::string> seen;
  char key[128];
  StrHash_GetFirst(t_, key);
  seen.insert(key);
  Fill(t_, 3, 511);
  EXPECT_EQ(StrHash_Buckets(t_), 256u);
  while (StrHash_GetNext(t_, key) != 0) seen.insert(key);
  for (int i = 0; i < 511; ++i) EXPECT_EQ(seen.count(Key(i)), 1u) << Key(i);

  // An explicit iterator holds the growth back until it is destroyed.
  StrHash_Iterator it = StrHash_CreateIterator(t_);
  StrHash_PutEntry(t_, "extra", 1);
  EXPECT_EQ(StrHash_Buckets(t_), 256u);
  StrHash_DestroyIterator(it);
  EXPECT_EQ(it, nullptr);
  EXPECT_EQ(StrHash_Buckets(t_), 1024u);
  EXPECT_EQ(StrHash_Entries(t_), 515u);
}

TEST_F(StrHashTest, StartingAWalkGrowsAndAbandonsAnUnfinishedOne) {
  t_ = StrHash_CreateTable(2);
  Fill(t_, 3);
  // Sorted iterators work on a snapshot and hold nothing back.
  StrHash_SortedIterator sorted = StrHash_CreateSortedIterator(
      t_, [](StrIn a, StrIn b, StrHash_Value, StrHash_Value) { return a.view() < b.view(); });
  EXPECT_NE(StrHash_GetFirstNoID(t_), 0u);
  EXPECT_FALSE(StrHash_AtEnd(t_));
  Fill(t_, 5, 3);
  EXPECT_EQ(StrHash_Buckets(t_), 2u);
  EXPECT_NE(StrHash_GetFirstNoID(t_), 0u);
  EXPECT_EQ(StrHash_Buckets(t_), 8u);
  StrHash_DestroySortedIterator(sorted);
  EXPECT_EQ(sorted, nullptr);
}

TEST_F(StrHashTest, BuiltInWalkSurvivesRemovals) {
  t_ = StrHash_CreateTable(16);
  const std::vector<std::string> chain = OneChain(t_);
  Fill(t_, 20, 1000);  // few enough to stay with 16 buckets
  Model model(16);
  for (const auto& k : chain) model.Put(k, 1);
  for (int i = 1000; i < 1020; ++i) model.Put(Key(i), i + 1);
  // Removing the entry just delivered, and also the one the walk stands on.
  Pairs got;
  char key[128];
  for (StrHash_Value v = StrHash_GetFirst(t_, key); v != 0; v = StrHash_GetNext(t_, key)) {
    got.emplace_back(key, v);
    StrHash_DestroyEntry(t_, key);
    if (chain[0] == key) StrHash_DestroyEntry(t_, chain[1]);
  }
  Pairs expected = model.WalkOrder();
  std::erase(expected, Pairs::value_type(chain[1], 1));
  EXPECT_EQ(got, expected);
  EXPECT_EQ(StrHash_Entries(t_), 0u);
  EXPECT_TRUE(StrHash_AtEnd(t_));
}

TEST_F(StrHashTest, IteratorStandingOnARemovedEntryMovesToItsSuccessor) {
  t_ = StrHash_CreateTable(16);
  const std::vector<std::string> chain = OneChain(t_);
  Fill(t_, 10, 1000);
  StrHash_Iterator it = StrHash_CreateIterator(t_);
  StrHash_Iterator other = StrHash_CreateIterator(t_);
  char key[128];
  StrHash_Value v = 0;
  while (StrHash_Iterate(it, false, key, v) && chain[0] != key) {
  }
  ASSERT_EQ(std::string(key), chain[0]);
  // It now stands on chain[1]; remove that and the one after.
  StrHash_DestroyEntry(t_, chain[1]);
  StrHash_DestroyEntry(t_, chain[2]);
  ASSERT_TRUE(StrHash_Iterate(it, false, key, v));
  EXPECT_EQ(std::string(key), chain[3]);
  // Another iterator, and a restarted one, see what is left.
  const Pairs rest = IterateAll(other);
  EXPECT_EQ(rest.size(), 12u);
  EXPECT_EQ(IterateAll(it), rest);
  // Destroying the table detaches both: they deliver nothing more.
  StrHash_DestroyTable(t_);
  EXPECT_FALSE(StrHash_Iterate(it, true, key, v));
  EXPECT_FALSE(StrHash_Iterate(other, false, key, v));
  StrHash_DestroyIterator(it);
  StrHash_DestroyIterator(other);
  EXPECT_EQ(it, nullptr);
}

TEST_F(StrHashTest, SortedIteratorWalksASnapshot) {
  t_ = StrHash_CreateTable(8);
  std::mt19937 rng(5);
  for (int i = 0; i < 100; ++i) StrHash_PutEntry(t_, Key(i), 1 + rng() % 50);
  // Descending by value; equal values keep walk order.
  StrHash_SortedIterator it = StrHash_CreateSortedIterator(
      t_, [](StrIn, StrIn, StrHash_Value a, StrHash_Value b) { return a > b; });
  Pairs expected = Walk(t_);
  std::stable_sort(expected.begin(), expected.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  // Change everything after the snapshot was taken.
  for (int i = 0; i < 100; i += 2) StrHash_DestroyEntry(t_, Key(i));
  for (int i = 1; i < 100; i += 2) StrHash_PutEntry(t_, Key(i), 999);
  Fill(t_, 50, 100);

  for (bool restart : {false, true}) {
    Pairs got;
    char key[128];
    StrHash_Value v = 0;
    for (bool more = StrHash_SortedIterate(it, restart, key, v); more;
         more = StrHash_SortedIterate(it, false, key, v)) {
      got.emplace_back(key, v);
    }
    EXPECT_EQ(got, expected) << "restart " << restart;
  }
  StrHash_DestroySortedIterator(it);
}

TEST_F(StrHashTest, KeysAreBoundedStrings) {
  EXPECT_EQ(StrHash_Hash(""), 0u);
  EXPECT_EQ(StrHash_Hash("ab\xe4"), (97u * 31 + 98) * 31 + 0xe4);
  t_ = StrHash_CreateTable(4);
  const char full[4] = {'a', 'b', 'c', 'd'};  // no terminator: all four count
  StrHash_PutEntry(t_, full, 1);
  const char padded[10] = "abcd\0xyz";
  EXPECT_EQ(StrHash_GetEntry(t_, padded), 1u);
  EXPECT_EQ(StrHash_GetEntry(t_, "abc"), 0u);
  // A delivered key is cut to the capacity of the receiving array.
  char small[3];
  EXPECT_EQ(StrHash_GetFirst(t_, small), 1u);
  EXPECT_EQ(StrIn(small).view(), "abc");
}

TEST_F(StrHashTest, NullTableIsEmptyAndAtEnd) {
  char key[16] = "x";
  EXPECT_EQ(StrHash_GetEntry(StrHash_Nil, "a"), 0u);
  EXPECT_EQ(StrHash_Entries(StrHash_Nil), 0u);
  EXPECT_TRUE(StrHash_AtEnd(StrHash_Nil));
  EXPECT_EQ(StrHash_GetFirst(StrHash_Nil, key), 0u);
  EXPECT_EXIT(StrHash_PutEntry(StrHash_Nil, "a", 1), ::testing::ExitedWithCode(1), "");
}

}  // namespace
