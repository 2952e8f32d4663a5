#include "Vuvedur.hpp"

#include <gtest/gtest.h>

#include "SRegExpr.hpp"

namespace {

TEST(Vuvedur, GigabytesAreBinary) {
  EXPECT_DOUBLE_EQ(Vuvedur_ByteToGB(1073741824.0), 1.0);
  EXPECT_DOUBLE_EQ(Vuvedur_GBToByte(2.5), 2684354560.0);
  EXPECT_DOUBLE_EQ(Vuvedur_ByteToGB(Vuvedur_GBToByte(123.75)), 123.75);
}

TEST(Vuvedur, ModuleStateAfterStart) {
  Vuvedur_Init();
  EXPECT_EQ(Vuvedur_dataRef, nullptr);
  EXPECT_STREQ(Vuvedur_formRegExp, "^form/..*$");
  EXPECT_STREQ(Vuvedur_poolRegExp, "^pool/..*$");
  EXPECT_STREQ(Vuvedur_psRegExp, "^ps/..*$");
  EXPECT_NE(Vuvedur_thisHost[0], '\0');
}

TEST(Vuvedur, ContextStartsEmptyAndFreeingTwiceIsHarmless) {
  Vuvedur_Init();
  VuvedurData* ctx = Vuvedur_Create();
  EXPECT_EQ(ctx->backupDialog, Vuvedur_NilDialog);
  EXPECT_EQ(ctx->capacity, 0.0);
  EXPECT_STREQ(ctx->jobRoot, "");
  Vuvedur_Free(ctx);
  Vuvedur_Free(ctx);
  Vuvedur_Free(nullptr);
  EXPECT_EQ(ctx->orders, nullptr);
  EXPECT_EQ(ctx->header, nullptr);
  delete ctx;
}

}  // namespace
