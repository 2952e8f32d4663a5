#include "UArgs.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(UArgs, ParametersAreCutToLeaveRoomForTheTerminator) {
  std::string longArg(200, 'x');
  char prog[] = "/opt/suite/bin/zaredav";
  char* argv[] = {prog, longArg.data(), nullptr};
  M2C_INIT(2, argv, nullptr);
  UArgs_Init();

  EXPECT_EQ(UArgs_NumParams(), 1u);
  EXPECT_STREQ(UArgs_ProgramName(), "zaredav");
  char param[128];
  EXPECT_TRUE(UArgs_GetParam(1, param));
  EXPECT_EQ(std::string(param), std::string(127, 'x'));
  EXPECT_FALSE(UArgs_GetParam(2, param));
  EXPECT_STREQ(param, "");
}

TEST(UArgs, WithoutRecordedArgumentsEverythingIsEmpty) {
  M2C_INIT(0, nullptr, nullptr);
  char param[16] = "junk";
  EXPECT_EQ(UArgs_NumParams(), 0u);
  EXPECT_FALSE(UArgs_GetParam(0, param));
  EXPECT_STREQ(param, "");
  EXPECT_STREQ(UArgs_ProgramName(), "???");
}

}  // namespace
