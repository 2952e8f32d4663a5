// Heap blocks: failures come back as reports and an empty pointer.
#include "BStorage.hpp"

#include <gtest/gtest.h>

#include <cstring>

#include "Messages.hpp"

// A request the allocator cannot meet must come back empty, also under the sanitizers.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace {

constexpr std::size_t kHuge = std::size_t{1} << 62;

std::string TopReason() {
  char text[5120];
  Messages_ErrorReason(text);
  return StrIn(text).str();
}

std::string Text(const std::string& section, std::uint32_t number) {
  char text[5120];
  Messages_GetMsg(section, number, text);
  return StrIn(text).str();
}

TEST(BStorage, AllocatesAndFrees) {
  BStorage_Init();
  void* p = nullptr;
  BStorage_ALLOCATE(p, 64);
  ASSERT_NE(p, nullptr);
  std::memset(p, 0xAB, 64);
  BStorage_DEALLOCATE(p, 64);
  EXPECT_EQ(p, nullptr);
  BStorage_DEALLOCATE(p, 64);  // an empty pointer is left alone
  EXPECT_EQ(p, nullptr);
}

TEST(BStorage, FailuresAreReportedAndLeaveThePointerEmpty) {
  BStorage_Init();
  void* p = &p;
  Messages_IgnoreErrors(true);
  BStorage_ALLOCATE(p, 0);
  Messages_IgnoreErrors(false);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(Messages_ErrorCount(true), 1u);
  EXPECT_EQ(TopReason(), Text("BStorage", 1));

  p = &p;
  Messages_IgnoreErrors(true);
  BStorage_ALLOCATE(p, kHuge);
  Messages_IgnoreErrors(false);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(TopReason(), Text("BStorage", 0));

  EXPECT_EXIT(
      {
        void* q = nullptr;
        BStorage_ALLOCATE(q, kHuge);
      },
      ::testing::ExitedWithCode(2), "BStorage,   0");
}

}  // namespace
