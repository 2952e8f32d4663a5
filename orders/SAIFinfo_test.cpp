#include "SAIFinfo.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "SAIF.hpp"

namespace {

class SAIFinfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SAIFinfo_Init();
    file = SAIF_Create("info.aif", 0, 0, 1);
    ASSERT_NE(file, SAIF_Nil);
  }
  void TearDown() override { SAIF_Close(file); }

  std::string Raw(const std::string& key) {
    std::vector<char> buffer(SAIF_maxTagData);
    std::size_t length = 0;
    SAIF_TagRetrieve(file, key, length, buffer);
    return std::string(buffer.data(), length);
  }
  // Closes and opens the file again, so that values come from the file.
  void Reopen() {
    SAIF_Close(file);
    std::uint32_t w, h, c;
    file = SAIF_Open("info.aif", w, h, c, false);
    ASSERT_NE(file, SAIF_Nil);
  }

  SAIF file = SAIF_Nil;
};

TEST_F(SAIFinfoTest, StringsKeepTheirTextAndTheEmptyStringExists) {
  SAIFinfo_SaveString(file, "ORDERINFO", "Spring catalogue \xE4\xF6");
  SAIFinfo_SaveString(file, "EMPTY", "");
  SAIFinfo_SaveString(file, "LONG", std::string(6000, 'x'));
  EXPECT_EQ(Raw("EMPTY"), std::string(1, '\0'));
  Reopen();
  char text[128] = "unchanged";
  EXPECT_FALSE(SAIFinfo_LoadString(file, "MISSING", text));
  EXPECT_STREQ(text, "unchanged");
  EXPECT_TRUE(SAIFinfo_LoadString(file, "EMPTY", text));
  EXPECT_STREQ(text, "");
  EXPECT_TRUE(SAIFinfo_LoadString(file, "ORDERINFO", text));
  EXPECT_STREQ(text, "Spring catalogue \xE4\xF6");
  // A load takes at most 5121 bytes of a longer entry.
  std::vector<char> big(8000);
  EXPECT_TRUE(SAIFinfo_LoadString(file, "LONG", StrOut(big.data(), big.size() - 1)));
  EXPECT_EQ(std::string(big.data()).size(), 5121u);
}

TEST_F(SAIFinfoTest, NumbersGoThroughTheirTextForms) {
  SAIFinfo_SaveInteger(file, "I", -42);
  SAIFinfo_SaveReal(file, "R", 1.5);
  EXPECT_EQ(Raw("I"), "-42");
  EXPECT_EQ(Raw("R").size(), 20u);
  Reopen();
  std::int32_t i = 7;
  double r = 0;
  EXPECT_TRUE(SAIFinfo_LoadInteger(file, "I", i));
  EXPECT_EQ(i, -42);
  EXPECT_TRUE(SAIFinfo_LoadReal(file, "R", r));
  EXPECT_DOUBLE_EQ(r, 1.5);

  // Texts that are no numbers leave the value alone.
  for (const std::string bad : {".5", "99999999999", "abc"}) {
    SAIF_TagInsertOrReplace(file, "BAD", bad.size(), bad);
    i = 7;
    EXPECT_FALSE(SAIFinfo_LoadInteger(file, "BAD", i)) << bad;
    EXPECT_EQ(i, 7) << bad;
  }
  EXPECT_FALSE(SAIFinfo_LoadReal(file, "BAD", r));
  EXPECT_FALSE(SAIFinfo_LoadInteger(file, "MISSING", i));
  EXPECT_FALSE(SAIFinfo_LoadReal(file, "MISSING", r));
  EXPECT_EQ(r, 1.5);
  // The nil handle stores and finds nothing.
  EXPECT_FALSE(SAIFinfo_SaveInteger(SAIF_Nil, "I", 1));
  EXPECT_FALSE(SAIFinfo_LoadInteger(SAIF_Nil, "I", i));
}

}  // namespace
