#include "Strings.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

class StringsTest : public ::testing::Test {
 protected:
  void SetUp() override { Strings_Init(); }
};

// The raw bytes of an array, terminators and all.
template <std::size_t N>
std::string Bytes(const char (&a)[N]) {
  return std::string(a, N);
}

// An array filled with '#' so that every byte an operation writes shows.
template <std::size_t N>
void Fill(char (&a)[N]) {
  std::memset(a, '#', N);
}

TEST_F(StringsTest, AssignCutsToCapacityAndTerminatesOnlyWithRoom) {
  char small[5];
  Strings_Assign("abcdefghij", small);
  EXPECT_EQ(Bytes(small), "abcde");

  char large[20];
  Fill(large);
  Strings_Assign("abcdefghij", large);
  EXPECT_EQ(Bytes(large), std::string("abcdefghij") + '\0' + std::string(9, '#'));

  // A source that fills its own array exactly gets a terminator in a larger one.
  const char full[3] = {'x', 'y', 'z'};
  char five[5];
  Fill(five);
  Strings_Assign(full, five);
  EXPECT_EQ(Bytes(five), std::string("xyz") + '\0' + "#");

  char exact[3];
  Strings_Assign("xyz", exact);
  EXPECT_EQ(Bytes(exact), "xyz");

  // Only the text before the first NUL is copied.
  char tail[8];
  Fill(tail);
  const char withNul[6] = {'a', 'b', '\0', 'c', 'd', 'e'};
  Strings_Assign(withNul, tail);
  EXPECT_EQ(Bytes(tail), std::string("ab") + '\0' + "#####");
}

TEST_F(StringsTest, LengthStopsAtNulOrAfterHigh) {
  const char full[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(Strings_Length(full), 4u);
  const char shortText[8] = "ab";
  EXPECT_EQ(Strings_Length(shortText), 2u);
  EXPECT_EQ(Strings_Length(""), 0u);
  EXPECT_EQ(Strings_Length(std::string("hello")), 5u);
  EXPECT_EQ(Strings_Length(std::string_view("hello world").substr(0, 5)), 5u);
  EXPECT_EQ(Strings_Length(StrIn::FromC("four")), 4u);
  EXPECT_EQ(Strings_Length(StrIn::FromC(nullptr)), 0u);
}

TEST_F(StringsTest, CompareIsUnsignedAndIgnoresWhereTheArrayEnds) {
  struct Case {
    std::string a, b;
    int expected;
  };
  const Case cases[] = {
      {"abc", "abd", -1}, {"abd", "abc", 1}, {"ab", "abc", -1},    {"abc", "ab", 1},
      {"", "", 0},        {"abc", "abc", 0}, {"\xC8", "z", 1},     {"z", "\xC8", -1},
      {"a\xFF", "a", 1},  {"", "a", -1},     {"\x7F", "\x80", -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Strings_CompareStr(c.a, c.b), c.expected) << c.a << " vs " << c.b;
    EXPECT_EQ(Strings_Equal(c.a, c.b), c.expected == 0);
  }

  const char full[3] = {'a', 'b', 'c'};
  const char terminated[10] = "abc";
  EXPECT_EQ(Strings_CompareStr(full, terminated), 0);
  EXPECT_EQ(Strings_CompareStr(terminated, full), 0);
  EXPECT_EQ(Strings_CompareStr(full, "abcd"), -1);
  EXPECT_EQ(Strings_CompareStr("abcd", full), 1);
  // Text after a NUL does not count.
  const char hidden[6] = {'a', 'b', '\0', 'x', 'y', 'z'};
  EXPECT_TRUE(Strings_Equal(hidden, "ab"));
}

TEST_F(StringsTest, ConcatTruncatesAndMayWriteIntoEitherInput) {
  char dst[8];
  Fill(dst);
  Strings_Concat("abc", "de", dst);
  EXPECT_EQ(Bytes(dst), std::string("abcde") + '\0' + "##");

  Strings_Concat("abcde", "fghij", dst);
  EXPECT_EQ(Bytes(dst), "abcdefgh");

  Strings_Concat("abcdefghij", "xyz", dst);
  EXPECT_EQ(Bytes(dst), "abcdefgh");

  char a[10] = "abc";
  Strings_Concat(a, "def", a);
  EXPECT_STREQ(a, "abcdef");

  char b[10] = "tail";
  Strings_Concat("head-", b, b);
  EXPECT_STREQ(b, "head-tail");
  char b8[8] = "tail";
  Strings_Concat("head-", b8, b8);
  EXPECT_EQ(Bytes(b8), "head-tai");

  char both[12] = "xyz";
  Strings_Concat(both, both, both);
  EXPECT_STREQ(both, "xyzxyz");
  Strings_Concat(both, both, both);
  EXPECT_EQ(Bytes(both), "xyzxyzxyzxyz");
}

TEST_F(StringsTest, CopyTakesRawPositionsAndPadsBeyondTheSource) {
  char dst[8];
  Fill(dst);
  Strings_Copy("abcdef", 2, 3, dst);
  EXPECT_EQ(Bytes(dst), std::string("cde") + '\0' + "####");

  // Positions beyond the source's HIGH bound give NUL.
  Fill(dst);
  const char src[4] = {'w', 'x', 'y', 'z'};
  Strings_Copy(src, 2, 5, dst);
  EXPECT_EQ(Bytes(dst), std::string("yz") + std::string(4, '\0') + "##");

  Fill(dst);
  Strings_Copy(src, 9, 2, dst);
  EXPECT_EQ(Bytes(dst), std::string(3, '\0') + "#####");

  // Within the source's bounds even the bytes after its NUL are taken.
  const char hidden[6] = {'a', '\0', 'q', 'r', 's', 't'};
  Fill(dst);
  Strings_Copy(hidden, 2, 3, dst);
  EXPECT_EQ(Bytes(dst), std::string("qrs") + '\0' + "####");

  // len longer than dst: cut, no terminator.
  char four[4];
  Strings_Copy("abcdefgh", 1, 100, four);
  EXPECT_EQ(Bytes(four), "bcde");

  Fill(dst);
  Strings_Copy("abc", 0, 0, dst);
  EXPECT_EQ(dst[0], '\0');

  char self[10] = "abcdefgh";
  Strings_Copy(self, 3, 4, self);
  EXPECT_STREQ(self, "defg");
}

TEST_F(StringsTest, DeleteClipsAndIgnoresPositionsBeyondTheText) {
  struct Case {
    std::size_t index, len;
    const char* expected;
  };
  const Case cases[] = {
      {0, 2, "cdef"},   {2, 2, "abef"},   {4, 100, "abcd"},   {0, 6, ""},       {5, 1, "abcde"},
      {6, 1, "abcdef"}, {9, 1, "abcdef"}, {100, 1, "abcdef"}, {2, 0, "abcdef"}, {1, 4, "af"},
  };
  for (const Case& c : cases) {
    char s[10] = "abcdef";
    Strings_Delete(s, c.index, c.len);
    EXPECT_STREQ(s, c.expected) << c.index << "," << c.len;
  }

  char full[4] = {'a', 'b', 'c', 'd'};
  Strings_Delete(full, 1, 2);
  EXPECT_EQ(Bytes(full).substr(0, 3), std::string("ad") + '\0');
  Strings_Delete(full, 3, 10);  // beyond the text now: nothing
  EXPECT_STREQ(full, "ad");
}

TEST_F(StringsTest, InsertIsAllOrNothing) {
  char s[8] = "abcd";
  Strings_Insert("XY", s, 2);
  EXPECT_STREQ(s, "abXYcd");

  // 6 + 2 characters would leave no room for the terminator.
  Strings_Insert("12", s, 0);
  EXPECT_STREQ(s, "abXYcd");

  // Exactly room for one more plus the terminator.
  Strings_Insert("!", s, 6);
  EXPECT_STREQ(s, "abXYcd!");

  char t[8] = "ab";
  Strings_Insert("", t, 0);
  EXPECT_STREQ(t, "ab");
  Strings_Insert("too long to fit", t, 1);
  EXPECT_STREQ(t, "ab");
  Strings_Insert("z", t, 0);
  EXPECT_STREQ(t, "zab");

  // A full array takes nothing.
  char full[3] = {'a', 'b', 'c'};
  Strings_Insert("x", full, 0);
  EXPECT_EQ(Bytes(full), "abc");
}

TEST_F(StringsTest, InsertOfAnArrayIntoItself) {
  char s[16] = "abc";
  Strings_Insert(s, s, 1);
  EXPECT_STREQ(s, "aabcbc");
  Strings_Insert(s, s, 0);
  EXPECT_STREQ(s, "aabcbcaabcbc");
  char t[16] = "xyz";
  Strings_Insert(t, t, 3);
  EXPECT_STREQ(t, "xyzxyz");
}

TEST_F(StringsTest, PosAndLastPos) {
  char big[128] = "the quick brown fox";
  EXPECT_EQ(Strings_Pos("cat", big), 128u);
  EXPECT_EQ(Strings_Pos("", big), 0u);
  EXPECT_EQ(Strings_Pos("quick", big), 4u);
  EXPECT_EQ(Strings_Pos("the", big), 0u);
  EXPECT_EQ(Strings_Pos("fox", big), 16u);
  EXPECT_EQ(Strings_Pos("foxy", big), 128u);
  // After a partial match the search resumes right behind its start.
  EXPECT_EQ(Strings_Pos("aab", "aaab"), 1u);
  EXPECT_EQ(Strings_Pos("abab", "ababab"), 0u);

  // A full array is searched up to its last character, not beyond.
  const char full[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(Strings_Pos("cd", full), 2u);
  EXPECT_EQ(Strings_Pos("de", full), 4u);

  EXPECT_EQ(Strings_LastPos("o", big), 17u);
  EXPECT_EQ(Strings_LastPos("the", big), 0u);
  EXPECT_EQ(Strings_LastPos("cat", big), 128u);
  EXPECT_EQ(Strings_LastPos("ab", "abab"), 2u);
  EXPECT_EQ(Strings_LastPos("longer than it", "short"), 6u);  // HIGH of "short" is 5
  EXPECT_EQ(Strings_LastPos("cd", full), 2u);
}

}  // namespace
