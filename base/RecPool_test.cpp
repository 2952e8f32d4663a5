#include "RecPool.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <vector>

namespace {

class RecPoolTest : public ::testing::Test {
 protected:
  void SetUp() override { RecPool_Init(); }
};

TEST_F(RecPoolTest, RecordsAreAlignedDistinctAndUsableWhole) {
  EXPECT_EQ(RecPool(1, 1).RecordSize(), sizeof(void*));  // room for the free link
  EXPECT_EQ(RecPool(56, 8).RecordSize(), 56u);
  RecPool pool(20);
  EXPECT_EQ(pool.RecordSize(), 32u);
  std::set<void*> seen;
  std::vector<void*> taken;
  for (int i = 0; i < 1000; ++i) {
    void* p = pool.Take();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % alignof(std::max_align_t), 0u);
    EXPECT_TRUE(seen.insert(p).second);
    std::memset(p, i & 0xff, 20);
    taken.push_back(p);
  }
  for (int i = 0; i < 1000; ++i) {
    EXPECT_EQ(static_cast<unsigned char*>(taken[i])[19], i & 0xff) << "record " << i;
  }
  EXPECT_EQ(pool.InUse(), 1000u);
  for (void* p : taken) pool.Give(p);
  pool.Give(nullptr);
  EXPECT_EQ(pool.InUse(), 0u);
}

// A list freed and built again must not make the pool grow: that is what keeps the
// second header of a process free of new memory.
TEST_F(RecPoolTest, GivenBackRecordsAreTakenAgainBeforeNewRoom) {
  RecPool pool(144);
  const std::size_t perChunk = RecPool::kChunkBytes / pool.RecordSize();
  std::vector<void*> taken;
  for (std::size_t i = 0; i < perChunk * 2 + 5; ++i) taken.push_back(pool.Take());
  const std::size_t held = pool.ChunkBytes();
  for (void* p : taken) pool.Give(p);
  for (std::size_t i = 0; i < taken.size(); ++i) taken[i] = pool.Take();
  EXPECT_EQ(pool.ChunkBytes(), held);
  for (void* p : taken) pool.Give(p);
}

}  // namespace
