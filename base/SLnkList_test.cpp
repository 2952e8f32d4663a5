#include "SLnkList.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

struct Item : SLnkList_Link {
  int key = 0;
  int seq = 0;
};

std::vector<Item*> ToVector(Item* list) {
  std::vector<Item*> out;
  for (Item* i = list; i != nullptr; i = SLnkList_Next(i)) out.push_back(i);
  return out;
}

class SLnkListTest : public ::testing::Test {
 protected:
  void SetUp() override { SLnkList_Init(); }
};

TEST_F(SLnkListTest, PrependRemoveAndCountKeepTheChainConsistent) {
  std::vector<Item> items(5);
  Item* list = nullptr;
  EXPECT_EQ(SLnkList_CountListElems(list), 0u);
  for (auto& i : items) SLnkList_Prepend(list, &i);
  EXPECT_EQ(SLnkList_CountListElems(list), 5u);
  EXPECT_EQ(ToVector(list),
            (std::vector<Item*>{&items[4], &items[3], &items[2], &items[1], &items[0]}));

  // Middle, head and tail, then one that is no longer there.
  EXPECT_TRUE(SLnkList_Remove(list, &items[2]));
  EXPECT_TRUE(SLnkList_Remove(list, &items[4]));
  EXPECT_TRUE(SLnkList_Remove(list, &items[0]));
  EXPECT_FALSE(SLnkList_Remove(list, &items[0]));
  EXPECT_EQ(ToVector(list), (std::vector<Item*>{&items[3], &items[1]}));
  EXPECT_TRUE(SLnkList_Remove(list, &items[3]));
  EXPECT_TRUE(SLnkList_Remove(list, &items[1]));
  EXPECT_EQ(list, nullptr);
  EXPECT_FALSE(SLnkList_Remove(list, &items[1]));
}

// Sorting random lists of every small length must agree with a stable sort of the same
// records, including the order of records with equal keys.
TEST_F(SLnkListTest, SortAgreesWithAStableSortForManyLengths) {
  std::mt19937 rng(7);
  for (int n : {0, 1, 2, 3, 4, 5, 7, 8, 9, 16, 17, 31, 100, 1000}) {
    std::vector<Item> items(n);
    Item* list = nullptr;
    for (int i = n - 1; i >= 0; --i) {
      items[i].key = static_cast<int>(rng() % 10);
      items[i].seq = i;
      SLnkList_Prepend(list, &items[i]);
    }
    std::vector<Item*> expected = ToVector(list);
    std::stable_sort(expected.begin(), expected.end(),
                     [](const Item* a, const Item* b) { return a->key < b->key; });

    SLnkList_SortList(list, [](const Item& a, const Item& b) { return a.key < b.key; });
    EXPECT_EQ(ToVector(list), expected) << "length " << n;
    EXPECT_EQ(SLnkList_CountListElems(list), static_cast<std::size_t>(n));
  }
}

}  // namespace
