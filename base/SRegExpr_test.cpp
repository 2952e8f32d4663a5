#include "SRegExpr.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

class SRegExprTest : public ::testing::Test {
 protected:
  void SetUp() override { SRegExpr_Init(); }
};

TEST_F(SRegExprTest, HandlesMatchBoundedStringsUpToTheirBound) {
  const char pattern[13] = {'^', 'd', 'e', 'v', ':', '[', 'a', '-', 'z', ']', '+', 'c', '$'};
  SRegExpr h = SRegExpr_Create(pattern);
  ASSERT_NE(h, SRegExpr_Nil);
  const char exact[7] = {'d', 'e', 'v', ':', 't', 'p', 'c'};  // no terminator
  const char longer[8] = {'d', 'e', 'v', ':', 't', 'p', 'c', ':'};
  EXPECT_TRUE(SRegExpr_Match(h, exact));
  EXPECT_FALSE(SRegExpr_Match(h, longer));
  EXPECT_TRUE(SRegExpr_Match(h, "dev:tpc"));
  SRegExpr_Destroy(h);
  EXPECT_EQ(h, SRegExpr_Nil);

  // A pattern that does not compile gives the null handle, which matches nothing.
  EXPECT_EQ(SRegExpr_Create("a(b"), SRegExpr_Nil);
  EXPECT_FALSE(SRegExpr_Match(SRegExpr_Nil, ""));

  SRegExpr all = SRegExpr_MatchAll();
  EXPECT_TRUE(SRegExpr_Match(all, ""));
  SRegExpr_Destroy(all);
  EXPECT_EQ(all, SRegExpr_Nil);
  EXPECT_TRUE(SRegExpr_Match(SRegExpr_MatchAll(), "(still matches"));
}

// Escaping every metacharacter turns any text into a pattern that matches exactly that
// text: not the text with one character changed, not the text twice.
TEST_F(SRegExprTest, EscapingTheMetacharactersGivesALiteralPattern) {
  std::string alphabet;
  for (char c = ' '; c <= '~'; ++c) {
    if (c != '{' && c != '}') alphabet += c;  // interval braces are not escaped by callers
  }
  std::mt19937 rng(11);
  for (int round = 0; round < 300; ++round) {
    std::string text;
    for (int i = 0, n = 1 + static_cast<int>(rng() % 12); i < n; ++i) {
      text += alphabet[rng() % alphabet.size()];
    }
    std::string pattern = "^";
    for (char c : text) pattern += SRegExpr_IsMetachar(c) ? std::string{'\\', c} : std::string{c};
    SRegExpr h = SRegExpr_Create(pattern + "$");
    ASSERT_NE(h, SRegExpr_Nil) << pattern;
    EXPECT_TRUE(SRegExpr_Match(h, text)) << pattern;
    EXPECT_FALSE(SRegExpr_Match(h, text + text)) << pattern;
    for (std::size_t i = 0; i < text.size(); ++i) {
      std::string other = text;
      other[i] = other[i] == 'a' ? 'b' : 'a';
      EXPECT_FALSE(SRegExpr_Match(h, other)) << pattern << " matched " << other;
    }
    SRegExpr_Destroy(h);
  }
  int special = 0;  // and nothing beyond the twelve is treated as special
  for (int c = 0; c < 256; ++c) special += SRegExpr_IsMetachar(static_cast<char>(c)) ? 1 : 0;
  EXPECT_EQ(special, 12);
}

}  // namespace
