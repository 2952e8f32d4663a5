#include "Oresourc.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "DirAcces.hpp"
#include "Odirs.hpp"
#include "SRM.hpp"
#include "Sandbox.hpp"
#include "test/Rival.hpp"

namespace {

class OresourcTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DirAcces_SetInstallRoot(zolt::test::SandboxDir());
    Oresourc_Init();
    SRM_Reset();
    Odirs_SetDirs("/jobs/forms", "/jobs/orders", "/jobs/schemes");
  }
  void TearDown() override { orders_test::StopResourceManager(); }

  std::string Res(const std::string& order, bool exclusive) {
    char name[256];
    Oresourc_OrderRes(order, exclusive, name);
    return name;
  }
};

// The process id as shared reservation names carry it: at least five digits, zero-filled.
std::string Pid5() {
  char text[32];
  std::snprintf(text, sizeof text, "%05d", static_cast<int>(::getpid()));
  return text;
}

TEST_F(OresourcTest, OrderResourceNamesAreCompletedPaths) {
  EXPECT_EQ(Res("A", true), "*:/jobs/orders/A.aif:*");
  EXPECT_EQ(Res(" A .aif ", true), "*:/jobs/orders/A.aif:*");
  EXPECT_EQ(Res("elsewhere/B.AIF", true), "*:/jobs/orders/B.aif:*");
  EXPECT_EQ(Res("/other/root/orders/C", true), "*:/other/root/orders/C.aif:*");
  EXPECT_EQ(Res("/other/root/orders/C.aif", true), "*:/other/root/orders/C.aif:*");
  // Shared names carry a suffix of their own per call.
  const std::string shared1 = Res("A", false), shared2 = Res("A", false);
  const std::string prefix = "*:/jobs/orders/A.aif:" + Pid5() + "-";
  EXPECT_EQ(shared1.substr(0, prefix.size()), prefix);
  EXPECT_EQ(shared2.substr(0, prefix.size()), prefix);
  EXPECT_NE(shared1, shared2);

  char name[256] = "old";
  Oresourc_BuildResource("  ", true, name);
  EXPECT_STREQ(name, "");
  Oresourc_BuildResource(" /x/y.aif", true, name);
  EXPECT_STREQ(name, "*:/x/y.aif:*");
}

TEST_F(OresourcTest, AnOrderHeldElsewhereIsRefusedAfterAboutThreeSeconds) {
  const std::string order = Res("A", true);
  {
    orders_test::Rival rival(order);
    ASSERT_TRUE(rival.holds());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Oresourc_Reserve(order));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(11 * 250));
    EXPECT_LT(waited, std::chrono::seconds(30));  // a busy machine answers late
    EXPECT_FALSE(Oresourc_Reserve(Res("A", false)));
  }
  // Once the holder is gone its reservation is reclaimed and the order is free again.
  bool granted = false;
  for (int i = 0; i < 20 && !granted; ++i) granted = Oresourc_Reserve(order);
  EXPECT_TRUE(granted);
  Oresourc_Release(order);
  EXPECT_EQ(SRM_UseCount(order), 0);
}

}  // namespace
