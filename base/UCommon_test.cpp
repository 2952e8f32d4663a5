#include "UCommon.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

bool startedA = false, startedB = false, startedC = false;
int bodyRunsC = 0;

void ModC_Init();
void ModA_Init() {
  zolt::ModuleInit init(startedA, "ModA");
  if (!init) return;
  ModC_Init();  // a cycle back to C must not recurse forever
}
void ModB_Init() {
  zolt::ModuleInit init(startedB, "ModB");
  if (!init) return;
  ModA_Init();
}
void ModC_Init() {
  zolt::ModuleInit init(startedC, "ModC");
  if (!init) return;
  ModA_Init();  // imports, in import order
  ModB_Init();
  ++bodyRunsC;
}

std::ptrdiff_t IndexOf(const std::string& name) {
  const auto& order = UCommon_InitOrder();
  const auto it = std::find(order.begin(), order.end(), name);
  return it == order.end() ? -1 : it - order.begin();
}

TEST(ModuleInit, ImportsFinishBeforeTheImporterAndEachRunsOnce) {
  ModC_Init();
  ModC_Init();
  ModB_Init();
  EXPECT_EQ(bodyRunsC, 1);
  ASSERT_GE(IndexOf("ModA"), 0);
  EXPECT_LT(IndexOf("ModA"), IndexOf("ModB"));
  EXPECT_LT(IndexOf("ModB"), IndexOf("ModC"));
  EXPECT_EQ(std::count(UCommon_InitOrder().begin(), UCommon_InitOrder().end(), "ModA"), 1);
}

TEST(Halt, WritesTheHaltLineAndExitsWithOne) {
  EXPECT_EXIT(HALT(), ::testing::ExitedWithCode(1), "");
}

}  // namespace
