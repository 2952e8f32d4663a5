#include "SPrintf.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

namespace {

class SPrintfTest : public ::testing::Test {
 protected:
  void SetUp() override { SPrintf_Init(); }
  void TearDown() override { SPrintf_SetClock(nullptr); }
};

template <std::size_t N>
std::string Bytes(const char (&a)[N]) {
  return std::string(a, N);
}

// The format text after one fill.
std::string Filled(const char* format, const std::function<void(StrOut)>& fill) {
  char fmt[128];
  Strings_Assign(StrIn::FromC(format), fmt);
  fill(StrOut(fmt));
  return std::string(StrIn(fmt).view());
}

auto Int(std::int32_t v) {
  return [v](StrOut f) { SPrintf_Int(f, v); };
}
auto Real(double v) {
  return [v](StrOut f) { SPrintf_Real(f, v); };
}
auto Text(const char* t) {
  return [t](StrOut f) { SPrintf_String(f, StrIn::FromC(t)); };
}

TEST_F(SPrintfTest, EachCallFillsTheFirstDirectiveOfItsLetter) {
  char fmt[64] = "%d items in %s";
  SPrintf_String(fmt, "box");
  SPrintf_Int(fmt, 3);
  EXPECT_STREQ(fmt, "3 items in box");

  char mixed[64] = "%c%f %d %d %s";
  SPrintf_Card(mixed, 4000000000u);
  SPrintf_Char(mixed, 'x');
  SPrintf_Real(mixed, 0.5);
  SPrintf_Int64(mixed, INT64_MIN);
  SPrintf_Int(mixed, 1);  // no %d left: nothing changes
  EXPECT_STREQ(mixed, "x0.500000 4000000000 -9223372036854775808 %s");

  // An empty text fills its directive with nothing, whatever was filled before it.
  char empty[64] = "[%s][%s]";
  const char nothing[16] = "";
  SPrintf_String(empty, "<+>");
  SPrintf_String(empty, nothing);
  EXPECT_STREQ(empty, "[<+>][]");
}

TEST_F(SPrintfTest, WidthZeroFillAndJustification) {
  struct Case {
    const char* format;
    std::function<void(StrOut)> fill;
    const char* expected;
  };
  const Case cases[] = {
      {"%04d", Int(42), "0042"},
      {"%8s", Text("abc"), "     abc"},
      {"%-8s", Text("abc"), "abc     "},
      {"%-5d", Int(42), "42   "},
      {"%05d", Int(-42), "00-42"},
      {"%2s", Text("abcdef"), "abcdef"},
      {"%+5d", Int(42), "42"},  // "+" is no width
      {"%1.2f", Real(3.14159), "3.14"},
      {"%f", Real(2), "2.000000"},
      {"%8.3f", Real(-3.14159), "  -3.142"},
      {"%-8.1f|", Real(1.25), "1.3     |"},
      {"%.-1f", Real(1234.5), " 1.2E+003"},
      {"%5c", [](StrOut f) { SPrintf_Char(f, 'x'); }, "x"},
      {"%d", [](StrOut f) { SPrintf_Card64(f, UINT64_MAX); }, "18446744073709551615"},
  };
  for (const Case& c : cases) EXPECT_EQ(Filled(c.format, c.fill), c.expected) << c.format;
}

TEST_F(SPrintfTest, CutModesMarkOnlyAboveFiveCharacters) {
  const struct {
    const char *format, *expected;
  } cases[] = {
      {"%8!s", "abcdefg>"},      {"%8$s", "<fghijkl"},
      {"%4!s", "abcd"},          {"%4$s", "ijkl"},
      {"%5!s", "abcde"},         {"%5$s", "hijkl"},
      {"%6!s", "abcde>"},        {"%6$s", "<hijkl"},
      {"%12!s", "abcdefghijkl"},  // not longer than the width: untouched
      {"%-8!s", "abcdefg>"},     {"%20!s", "        abcdefghijkl"},
  };
  for (const auto& c : cases) EXPECT_EQ(Filled(c.format, Text("abcdefghijkl")), c.expected);
  EXPECT_EQ(Filled("%8$d", Int(-1234567890)), "<4567890");
  EXPECT_EQ(Filled("%06!d", Int(-1234567)), "-1234>");
}

TEST_F(SPrintfTest, DoubledPercentCollapsesOnEveryScan) {
  EXPECT_EQ(Filled("%%%d", Int(5)), "%5");
  EXPECT_EQ(Filled("100%% of %d", Int(5)), "100% of 5");
  // A literal %d made of "%%d" is not a directive now, but is one for the next call.
  char fmt[32] = "%%d %d";
  SPrintf_Int(fmt, 5);
  EXPECT_STREQ(fmt, "%d 5");
  SPrintf_Int(fmt, 6);
  EXPECT_STREQ(fmt, "6 5");

  // Each scan that passes a pair halves it, also a scan that finds nothing.
  char pairs[32] = "a%%%%b";
  SPrintf_String(pairs, "x");
  EXPECT_STREQ(pairs, "a%%b");
  SPrintf_String(pairs, "x");
  EXPECT_STREQ(pairs, "a%b");

  // A pair behind the directive filled is left for a later scan.
  char later[32] = "%d%% of %s";
  SPrintf_Int(later, 40);
  EXPECT_STREQ(later, "40%% of %s");
  SPrintf_String(later, "all");
  EXPECT_STREQ(later, "40% of all");

  EXPECT_EQ(Filled("%5x %3%d", Int(1)), "%5x %31");  // other letters are passed over
}

TEST_F(SPrintfTest, ValuesTooLongForTheFormatBuffer) {
  // A string is cut from the left, marked, so that the result keeps its terminator.
  char fmt[16] = "ab%s";
  SPrintf_String(fmt, "0123456789ABCDEFGHIJ");
  EXPECT_EQ(Bytes(fmt), std::string("ab<89ABCDEFGHIJ") + '\0');

  char middle[10] = "x%sy";
  SPrintf_String(middle, "abcdefghijkl");
  EXPECT_EQ(Bytes(middle), std::string("x<ghijkly") + '\0');

  char padded[10] = "%20s";
  SPrintf_String(padded, "abcdefghijkl");
  EXPECT_EQ(Bytes(padded), std::string("<efghijkl") + '\0');

  // A number that does not fit is dropped together with its directive.
  char number[8] = "abcde%d";
  SPrintf_Int(number, 123);
  EXPECT_STREQ(number, "abcde");
  char fits[8] = "abcde%d";
  SPrintf_Int(fits, 12);
  EXPECT_STREQ(fits, "abcde12");

  char ch[4] = {'a', 'b', '%', 'c'};  // full, no terminator
  SPrintf_Char(ch, 'x');
  EXPECT_EQ(Bytes(ch), std::string("abx") + '\0');

  // A directive's text is limited by the shared work buffer.
  static char big[8000] = "%s";
  static char text[6001];
  std::memset(text, 'a', 6000);
  SPrintf_String(big, text);
  EXPECT_EQ(Strings_Length(big), sizeof SPrintf_tmp);
}

TEST_F(SPrintfTest, TextMayBeTheFormatItself) {
  char fmt[32] = "<%s>";
  SPrintf_String(fmt, fmt);
  EXPECT_STREQ(fmt, "<<%s>>");
}

TEST_F(SPrintfTest, EmptyTextLeavesNothingBehind) {
  // The same frame a longer text used before: an empty value must not show its rest.
  for (const char* earlier : {"QQQQQQQQ", ""}) {
    char fmt[32] = "[%s][%3s][%-3s]";
    SPrintf_String(fmt, StrIn::FromC(earlier));
    SPrintf_String(fmt, StrIn::FromC(""));
    SPrintf_String(fmt, StrIn::FromC(""));
    EXPECT_EQ(std::string(fmt), std::string("[") + earlier + "][   ][   ]");
  }
}

SPrintf_LocalTime FixedMorning() { return {2024, 3, 5, 7, 9}; }
SPrintf_LocalTime FixedEvening() { return {1999, 12, 31, 23, 59}; }

TEST_F(SPrintfTest, DateAndTimeComeFromTheClock) {
  SPrintf_SetClock(FixedMorning);
  char fmt[64] = "%s / %s / %s";
  SPrintf_Date(fmt);
  SPrintf_ISODate(fmt);
  SPrintf_Time(fmt);
  EXPECT_STREQ(fmt, "05.03.2024 / 2024-03-05 / 07:09");

  EXPECT_EQ(SPrintf_SetClock(FixedEvening), &FixedMorning);
  char evening[64] = "[%12s] %-6s|";
  SPrintf_Date(evening);
  SPrintf_Time(evening);
  EXPECT_STREQ(evening, "[  31.12.1999] 23:59 |");
}

TEST_F(SPrintfTest, ShellMetaCharactersAreEscaped) {
  char s[64] = "my file's (copy) $1;*";
  SPrintf_EscapeShellMetaChars(s);
  EXPECT_STREQ(s, R"(my\ file\'s\ \(copy\)\ \$1\;\*)");

  char full[4] = {'a', ' ', 'b', 'c'};
  SPrintf_EscapeShellMetaChars(full);  // no room for the backslash: cut at the end
  EXPECT_EQ(Bytes(full), "a\\ b");

  char cmd[64] = "cd %s && ls";
  SPrintf_EscapedPath(cmd, "/jobs/Order 1/[A]");
  EXPECT_STREQ(cmd, R"(cd /jobs/Order\ 1/\[A\] && ls)");
}

}  // namespace
