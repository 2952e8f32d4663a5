#include "StringOp.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

class StringOpTest : public ::testing::Test {
 protected:
  void SetUp() override { StringOp_Init(); }
};

template <std::size_t N>
std::string Bytes(const char (&a)[N]) {
  return std::string(a, N);
}
char C(int code) { return static_cast<char>(code); }
using List = std::vector<std::string>;

TEST_F(StringOpTest, StripRemovesBlankBackspaceLineEndsButNotTab) {
  char l[16] = "\b\n\f\r x\r\n", r[16] = "\b\n\f\r x\r\n", tabs[8] = "\tx\t";
  char full[4] = {' ', 'a', 'b', ' '};
  StringOp_LStrip(l);
  StringOp_RStrip(r);
  StringOp_LRStrip(tabs);
  StringOp_LRStrip(full);
  EXPECT_STREQ(l, "x\r\n");
  EXPECT_STREQ(r, "\b\n\f\r x");
  EXPECT_STREQ(tabs, "\tx\t");
  EXPECT_STREQ(full, "ab");
}

TEST_F(StringOpTest, CaseMappingCoversLatin1) {
  for (auto [up, low] : {std::pair{'A', 'a'}, {'Z', 'z'}, {C(192), C(224)}, {C(222), C(254)}}) {
    EXPECT_EQ(StringOp_Lower(up), low);
    EXPECT_EQ(StringOp_Upper(low), up);
  }
  // Multiplication and division signs, sharp s, y with diaeresis and range edges stay.
  for (int code : std::initializer_list<int>{215, 247, 223, 255, 191, '@', '[', '`', '{'}) {
    EXPECT_EQ(StringOp_Lower(C(code)), C(code)) << code;
    EXPECT_EQ(StringOp_Upper(C(code)), C(code)) << code;
  }
  char s[16] =
      "Gr\xFC\xDF"
      "e \xD7\xE9";
  StringOp_UpShift(s);
  EXPECT_STREQ(s,
               "GR\xDC\xDF"
               "E \xD7\xC9");
  StringOp_LowShift(s);
  EXPECT_STREQ(s,
               "gr\xFC\xDF"
               "e \xD7\xE9");
}

// Every word NextWord (or LastWord) takes off text, in order.
List Words(const char* text, bool fromEnd) {
  char s[64], word[64];
  Strings_Assign(StrIn::FromC(text), s);
  List words;
  for (int guard = 0; guard < 20 && s[0] != '\0'; ++guard) {
    fromEnd ? StringOp_LastWord(s, word) : StringOp_NextWord(s, word);
    words.emplace_back(word);
  }
  return words;
}

TEST_F(StringOpTest, WordsSplitAtBlanksQuotesAndLineEnds) {
  EXPECT_EQ(Words("  one two  three ", false), (List{"one", "two", "three", ""}));
  EXPECT_EQ(Words("say \"hello world\" now", false), (List{"say", "hello world", "now"}));
  EXPECT_EQ(Words("a\tb c", false), (List{"a\tb", "c"}));  // a tab ends no word
  EXPECT_EQ(Words("ab\ncd ef", false), (List{"ab", "cd", "ef"}));
  EXPECT_EQ(Words("ab\ncd", false), (List{"ab\ncd"}));  // no blank at all: one word
  EXPECT_EQ(Words("\"unterminated quote", false), (List{"unterminated quote"}));
  EXPECT_EQ(Words("  one two  three ", true), (List{"three", "two", "one"}));
  EXPECT_EQ(Words("say \"hello world\"", true), (List{"hello world", "say"}));
  EXPECT_EQ(Words("ab\ncd", true), (List{"cd", "ab"}));

  char s[32] = "first \"a b\" rest", word[32], small[4];
  StringOp_NextWord(s, word);
  EXPECT_STREQ(s, " \"a b\" rest");  // the blank stays for the next call
  StringOp_NextWord(s, word);
  EXPECT_STREQ(s, " rest");  // the closing quote goes
  StringOp_LastWord(s, small);
  EXPECT_EQ(Bytes(small), "rest");
}

TEST_F(StringOpTest, TokensAndLines) {
  const struct {
    const char* text;
    List tokens;
  } cases[] = {{"a,b,c", {"a", "b", "c"}},
               {"a,,c", {"a", "", "c"}},
               {",a", {"", "a"}},
               {"a,b,", {"a", "b"}},
               {"abc", {"abc"}},
               {"", {}},
               {",", {""}}};
  for (const auto& c : cases) {
    char s[32], token[32];
    Strings_Assign(StrIn::FromC(c.text), s);
    EXPECT_EQ(StringOp_NumTokens(s, ','), c.tokens.size()) << c.text;
    List got;
    for (int guard = 0; guard < 10 && s[0] != '\0'; ++guard) {
      StringOp_NextToken(s, ',', token);
      got.emplace_back(token);
    }
    EXPECT_EQ(got, c.tokens) << c.text;
  }
  char text[64] = "one\r\ntwo\n\nlast", line[64];
  List lines;
  while (text[0] != '\0' && lines.size() < 10) {
    StringOp_NextLine(text, line);
    lines.emplace_back(line);
  }
  EXPECT_EQ(lines, (List{"one", "two", "", "last"}));
}

TEST_F(StringOpTest, CharacterClasses) {
  for (int code : std::initializer_list<int>{'a', 'Z', 192, 214, 216, 246, 248, 254})
    EXPECT_TRUE(StringOp_IsAlpha(C(code)));
  for (int code : std::initializer_list<int>{'0', '@', '[', '`', '{', 191, 215, 247, 255}) {
    EXPECT_FALSE(StringOp_IsAlpha(C(code))) << code;
  }
  EXPECT_TRUE(StringOp_IsWhite('\b') && StringOp_IsWhite('\f') && StringOp_IsWhite(' '));
  EXPECT_FALSE(StringOp_IsWhite('\n') || StringOp_IsWhite('\t') || StringOp_IsWhiteOrLn('\t'));
  EXPECT_TRUE(StringOp_IsWhiteOrLn('\n') && StringOp_IsWhiteOrLn('\r'));
  for (char ch : std::string(" \t`'\"\\!#$&|;(){}[]<>*?"))
    EXPECT_TRUE(StringOp_IsShellMetaChar(ch));
  for (char ch : std::string("aZ09/-._~%=+,:@^\n")) EXPECT_FALSE(StringOp_IsShellMetaChar(ch));
  EXPECT_FALSE(StringOp_IsShellMetaChar('\0'));
}

TEST_F(StringOpTest, ReplacingAndSingleCharacters) {
  char s[32] = "a-b-c", grow[32] = "aaa", tight[8] = "ab-cd", d[32] = "a/b c:d/e";
  EXPECT_TRUE(StringOp_ReplaceFirst(s, "-", "+"));
  EXPECT_TRUE(StringOp_ReplaceAll(s, "-", "::"));
  EXPECT_FALSE(StringOp_ReplaceAll(s, "", "y"));
  EXPECT_STREQ(s, "a+b::c");
  EXPECT_TRUE(StringOp_ReplaceAll(grow, "a", "aa"));  // the new text is not searched again
  EXPECT_STREQ(grow, "aaaaaa");
  EXPECT_TRUE(StringOp_ReplaceFirst(tight, "-", "12345"));  // deleted, then did not fit
  EXPECT_STREQ(tight, "abcd");

  char t[4] = "ab";
  StringOp_ConcatChar(t, 'c');
  StringOp_ConcatChar(t, 'd');
  StringOp_ConcatChar(t, 'e');
  EXPECT_EQ(Bytes(t), "abcd");
  StringOp_PrefixChar(t, '_');  // full: no room
  EXPECT_EQ(Bytes(t), "abcd");
  char u[5] = "bd";
  StringOp_InsertChar(u, 'c', 1);
  StringOp_PrefixChar(u, 'a');
  EXPECT_STREQ(u, "abcd");
  const char hidden[4] = {'a', '\0', 'x', 'y'};
  EXPECT_FALSE(StringOp_ContainsChar(hidden, 'x'));
  StringOp_DeleteChars(d, "/: ");
  EXPECT_STREQ(d, "abcde");
}

TEST_F(StringOpTest, PositionsAndCentering) {
  const char text[32] = R"(a"b\"c\\"d)";  // quotes at 1, 4 (escaped) and 8
  EXPECT_EQ(StringOp_CharPos(text, false, '"', 2), 4u);
  EXPECT_EQ(StringOp_CharPos(text, true, '"', 2), 8u);
  EXPECT_EQ(StringOp_CharPos(text, true, 'x', 0), 32u);
  EXPECT_EQ(StringOp_StringPos("abcabc", "bc", 2), 4u);
  EXPECT_EQ(StringOp_StringPos("abcabc", "bc", 5), 7u);
  char s[16] = "abc", small[6] = "ab";
  StringOp_CenterStr(s, 10);
  EXPECT_STREQ(s, "   abc");
  StringOp_CenterStr(small, 20);  // only as many blanks as leave a terminator
  EXPECT_STREQ(small, "   ab");
}

TEST_F(StringOpTest, EscapeRoundTripsEveryCharacter) {
  char all[256], escaped[1200], back[256];
  for (int i = 1; i < 256; ++i) all[i - 1] = C(i);
  all[255] = '\0';
  StringOp_Escape(all, escaped);
  for (const char* p = escaped; *p != '\0'; ++p) EXPECT_FALSE(*p > 0 && (*p < 32 || *p == 127));
  StringOp_Unescape(escaped, back);
  EXPECT_STREQ(back, all);

  char s[32] = "a\"b\\c\n\x01";
  StringOp_Escape(s, s);
  EXPECT_STREQ(s, R"(a\"b\\c\n\001)");
}

}  // namespace
