#include "BConvert.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

class BConvertTest : public ::testing::Test {
 protected:
  void SetUp() override { BConvert_Init(); }
};

template <std::size_t N>
std::string Bytes(const char (&a)[N]) {
  return std::string(a, N);
}

TEST_F(BConvertTest, WritersAppendRightJustifiedAndNeverCut) {
  char s[80] = "n=";
  BConvert_IntToStr(s, 7, 3);
  EXPECT_TRUE(BConvert_done);
  EXPECT_STREQ(s, "n=  7");
  BConvert_IntToStr(s, -12345, 2);
  BConvert_IntToStr(s, INT32_MIN, 12);
  BConvert_CardToStr(s, UINT32_MAX, 0);
  BConvert_Int64ToStr(s, INT64_MIN, 0);
  BConvert_Card64ToStr(s, UINT64_MAX, 21);
  BConvert_CardToStrInHex(s, 0xBEEF, 5);
  EXPECT_STREQ(s,
               "n=  7-12345 -21474836484294967295-9223372036854775808 18446744073709551615 BEEF");
}

TEST_F(BConvertTest, WritersStopWhenTheStringIsFull) {
  char s[4] = "ab", exact[5] = "ab", pad[6] = "", t[5] = "ab";
  BConvert_CardToStr(s, 123, 0);
  EXPECT_FALSE(BConvert_done);
  EXPECT_EQ(Bytes(s), "ab12");
  BConvert_CardToStr(exact, 123, 0);  // filling the array exactly succeeds
  EXPECT_TRUE(BConvert_done);
  EXPECT_EQ(Bytes(exact), "ab123");
  BConvert_IntToStr(pad, 5, 10);  // the blanks alone fill it
  EXPECT_FALSE(BConvert_done);
  EXPECT_EQ(Bytes(pad), "      ");
  BConvert_StrToStr(t, "cd");
  EXPECT_TRUE(BConvert_done);
  BConvert_StrToStr(t, "ef");
  EXPECT_FALSE(BConvert_done);
  EXPECT_EQ(Bytes(t), "abcde");
}

TEST_F(BConvertTest, IntegerReadersRemoveWhatTheyConsumed) {
  const struct {
    const char* in;
    bool done;
    std::int32_t value;  // 99: left unchanged
    const char* rest;
  } cases[] = {
      {"  42abc", true, 42, "abc"},
      {"-17 x", true, -17, " x"},
      {"-2147483648", true, INT32_MIN, ""},
      {"2147483648", false, 99, ""},
      {"-2147483649;", false, 99, ";"},
      {"99999999999999999999 rest", false, 99, " rest"},
      {"+5", false, 99, "+5"},
      {"  +5", false, 99, "+5"},
      {"- 5", false, 99, " 5"},
      {"", false, 99, ""},
  };
  for (const auto& c : cases) {
    char s[40];
    Strings_Assign(StrIn::FromC(c.in), s);
    std::int32_t v = 99;
    BConvert_done = !c.done;
    BConvert_StrToInt(s, v);
    EXPECT_EQ(BConvert_done, c.done) << c.in;
    EXPECT_EQ(v, c.value) << c.in;
    EXPECT_STREQ(s, c.rest) << c.in;
  }

  char s[80] = "4294967296 -1 -9223372036854775808";
  std::uint32_t card = 7;
  std::int64_t v = 0;
  BConvert_StrToCard(s, card);
  BConvert_StrToCard(s, card);  // no sign for unsigned numbers
  EXPECT_FALSE(BConvert_done);
  EXPECT_EQ(card, 7u);
  EXPECT_EQ(s[0], '-');
  Strings_Delete(s, 0, 2);
  BConvert_StrToInt64(s, v);
  EXPECT_TRUE(BConvert_done);
  EXPECT_EQ(v, INT64_MIN);

  char full[3] = {'1', '2', '3'};  // a number up to the end of a full array
  BConvert_StrToCard(full, card);
  EXPECT_EQ(card, 123u);
  EXPECT_EQ(full[0], '\0');
}

TEST_F(BConvertTest, RealReader) {
  const struct {
    const char* in;
    bool done;
    double value;  // 99: left unchanged
    const char* rest;
  } cases[] = {
      {" -1.5e3x", true, -1500.0, "x"}, {"+2.25", true, 2.25, ""}, {".5;", true, 0.5, ";"},
      {"3E-2 m", true, 0.03, " m"},     {"1e+", true, 1.0, "e+"},  {"abc", false, 99, "abc"},
      {"1e400", false, 99, ""},
  };
  for (const auto& c : cases) {
    char s[40];
    Strings_Assign(StrIn::FromC(c.in), s);
    double v = 99;
    BConvert_StrToReal(s, v);
    EXPECT_EQ(BConvert_done, c.done) << c.in;
    EXPECT_DOUBLE_EQ(v, c.value) << c.in;
    EXPECT_STREQ(s, c.rest) << c.in;
  }
}

TEST_F(BConvertTest, RealWriterFixedAndExponentForms) {
  const struct {
    double value;
    std::size_t width;
    int precision;
    const char* expected;
  } cases[] = {
      {3.14159, 0, 2, "3.14"},
      {2.0, 0, 6, "2.000000"},
      {2.5, 0, 0, "3"},
      {-0.25, 8, 1, "    -0.3"},
      {0.001, 0, 2, "0.00"},
      {999.96, 0, 1, "1000.0"},
      {123456789012345678.0, 0, 0, "123456789012340000"},  // 14 significant digits, cut
      {3.5, 0, 13, "3.5000000000000"},  // the half unit is added once, never twice
      {12345.5, 0, 9, "12345.500000000"},
      {0.25, 0, 1, "0.3"},
      {0.3, 0, 20, "0.30000000000000000000"},
      {1234.5, 12, -1, " 1.2345E+003"},  // exponent form: width - 8 decimals
      {-0.00012, 9, -1, "-1.2E-004"},
      {5.0, 3, -1, " 5.0E+000"},  // at least 9 wide
  };
  for (const auto& c : cases) {
    char s[64] = "";
    BConvert_RealToStr(s, c.value, c.width, c.precision);
    EXPECT_TRUE(BConvert_done) << c.expected;
    EXPECT_STREQ(s, c.expected);
  }
}

}  // namespace
