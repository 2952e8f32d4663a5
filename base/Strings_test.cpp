#include "Strings.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace {

class StringsTest : public ::testing::Test {
 protected:
  void SetUp() override { Strings_Init(); }
};

// The raw bytes of an array; arrays start filled with '#' so every byte written shows.
template <std::size_t N>
std::string Bytes(const char (&a)[N]) {
  return std::string(a, N);
}
template <std::size_t N>
void Fill(char (&a)[N], const char* text = "") {
  std::memset(a, '#', N);
  std::memcpy(a, text, std::min(std::strlen(text) + 1, N));
}
const std::string nul(1, '\0');

TEST_F(StringsTest, AssignTerminatesOnlyWithRoom) {
  char small[5], large[12], five[5];
  Strings_Assign("abcdefghij", small);
  EXPECT_EQ(Bytes(small), "abcde");
  Fill(large);
  Strings_Assign("abcdefghij", large);
  EXPECT_EQ(Bytes(large), "abcdefghij" + nul + "#");
  const char full[3] = {'x', 'y', 'z'};  // fills its own array exactly
  Fill(five);
  Strings_Assign(full, five);
  EXPECT_EQ(Bytes(five), "xyz" + nul + "#");
  EXPECT_EQ(Strings_Length(full), 3u);
  EXPECT_EQ(Strings_Length(StrIn::FromC("four")), 4u);
}

TEST_F(StringsTest, CompareIsUnsignedAndIgnoresWhereTheArrayEnds) {
  const struct {
    std::string a, b;
    int expected;
  } cases[] = {{"abc", "abd", -1}, {"abd", "abc", 1}, {"ab", "abc", -1},   {"", "", 0},
               {"\xC8", "z", 1},   {"a\xFF", "a", 1}, {"\x7F", "\x80", -1}};
  for (const auto& c : cases) {
    EXPECT_EQ(Strings_CompareStr(c.a, c.b), c.expected) << c.a << " vs " << c.b;
    EXPECT_EQ(Strings_Equal(c.a, c.b), c.expected == 0);
  }
  const char full[3] = {'a', 'b', 'c'};
  const char terminated[10] = "abc";
  const char hidden[6] = {'a', 'b', '\0', 'x', 'y', 'z'};
  EXPECT_EQ(Strings_CompareStr(full, terminated), 0);
  EXPECT_EQ(Strings_CompareStr(full, "abcd"), -1);
  EXPECT_EQ(Strings_CompareStr("abcd", full), 1);
  EXPECT_TRUE(Strings_Equal(hidden, "ab"));
}

TEST_F(StringsTest, ConcatTruncatesAndMayWriteIntoEitherInput) {
  char dst[8];
  Fill(dst);
  Strings_Concat("abc", "de", dst);
  EXPECT_EQ(Bytes(dst), "abcde" + nul + "##");
  Strings_Concat("abcde", "fghij", dst);
  EXPECT_EQ(Bytes(dst), "abcdefgh");
  char a[10] = "abc", b[8] = "tail", both[12] = "xyz";
  Strings_Concat(a, "def", a);
  EXPECT_STREQ(a, "abcdef");
  Strings_Concat("head-", b, b);
  EXPECT_EQ(Bytes(b), "head-tai");
  Strings_Concat(both, both, both);
  Strings_Concat(both, both, both);
  EXPECT_EQ(Bytes(both), "xyzxyzxyzxyz");
}

TEST_F(StringsTest, CopyTakesRawPositionsAndGivesNulBeyondTheSource) {
  const char src[6] = {'a', '\0', 'q', 'r', 's', 't'};
  char dst[8], four[4], self[10] = "abcdefgh";
  Fill(dst);
  Strings_Copy(src, 2, 3, dst);  // bytes after the NUL are still within HIGH
  EXPECT_EQ(Bytes(dst), "qrs" + nul + "####");
  Fill(dst);
  Strings_Copy(src, 4, 5, dst);
  EXPECT_EQ(Bytes(dst), "st" + std::string(4, '\0') + "##");
  Fill(dst);
  Strings_Copy(src, 9, 2, dst);
  EXPECT_EQ(Bytes(dst), std::string(3, '\0') + "#####");
  Strings_Copy("abcdefgh", 1, 100, four);
  EXPECT_EQ(Bytes(four), "bcde");
  Strings_Copy(self, 3, 4, self);
  EXPECT_STREQ(self, "defg");
}

TEST_F(StringsTest, DeleteClipsAndIgnoresPositionsBeyondTheText) {
  const struct {
    std::size_t index, len;
    const char* expected;
  } cases[] = {{0, 2, "cdef"},   {2, 2, "abef"},   {4, 100, "abcd"},   {0, 6, ""},
               {6, 1, "abcdef"}, {9, 1, "abcdef"}, {100, 1, "abcdef"}, {2, 0, "abcdef"}};
  for (const auto& c : cases) {
    char s[10] = "abcdef";
    Strings_Delete(s, c.index, c.len);
    EXPECT_STREQ(s, c.expected) << c.index << "," << c.len;
  }
  char full[4] = {'a', 'b', 'c', 'd'};
  Strings_Delete(full, 1, 2);
  EXPECT_EQ(Bytes(full).substr(0, 3), "ad" + nul);
}

TEST_F(StringsTest, InsertIsAllOrNothing) {
  char s[8] = "abcd";
  Strings_Insert("XY", s, 2);
  EXPECT_STREQ(s, "abXYcd");
  Strings_Insert("12", s, 0);  // would leave no room for the terminator
  EXPECT_STREQ(s, "abXYcd");
  Strings_Insert("!", s, 6);
  EXPECT_STREQ(s, "abXYcd!");
  char full[3] = {'a', 'b', 'c'};
  Strings_Insert("x", full, 0);
  EXPECT_EQ(Bytes(full), "abc");
  char self[16] = "abc";
  Strings_Insert(self, self, 1);
  EXPECT_STREQ(self, "aabcbc");
  Strings_Insert(self, self, 6);
  EXPECT_STREQ(self, "aabcbcaabcbc");
}

TEST_F(StringsTest, PosAndLastPos) {
  char big[128] = "the quick brown fox";
  const char full[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(Strings_Pos("cat", big), 128u);
  EXPECT_EQ(Strings_Pos("", big), 0u);
  EXPECT_EQ(Strings_Pos("fox", big), 16u);
  EXPECT_EQ(Strings_Pos("aab", "aaab"), 1u);  // resumes right behind a partial match
  EXPECT_EQ(Strings_Pos("cd", full), 2u);
  EXPECT_EQ(Strings_Pos("de", full), 4u);
  EXPECT_EQ(Strings_LastPos("o", big), 17u);
  EXPECT_EQ(Strings_LastPos("cat", big), 128u);
  EXPECT_EQ(Strings_LastPos("ab", "abab"), 2u);
  EXPECT_EQ(Strings_LastPos("longer than it", "short"), 6u);
}

}  // namespace
