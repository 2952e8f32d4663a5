#include "BRegEx.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>

#include "Messages.hpp"

namespace {

using Span = std::pair<long, long>;

Span Limits(RegMatches m, std::size_t i) {
  long s = 0, e = 0;
  RegLimits(m, i, s, e);
  return {s, e};
}

class BRegExTest : public ::testing::Test {
 protected:
  void SetUp() override { BRegEx_Init(); }
};

TEST_F(BRegExTest, AnchoredIntervalPatternMatchesOnlyTheWholeForm) {
  const char* date = "^[0-9]{8}(-[0-9])?\\.[0-9]{2}$";
  for (const char* yes : {"20240131.01", "20240131-2.01"}) {
    EXPECT_TRUE(RegMatchPat(date, yes)) << yes;
    EXPECT_EQ(RegError(), 0);
  }
  for (const char* no : {"20240131.011", "2024013.01", "20240131-23.01", "x20240131.01", ""}) {
    EXPECT_FALSE(RegMatchPat(date, no)) << no;
    EXPECT_EQ(RegError(), 3) << no;  // a failed match counts as an error here
  }
  EXPECT_TRUE(RegMatchPat("on", "none"));
  EXPECT_TRUE(RegMatchPat("^(form|pool)_[a-z]+$", "pool_cyan"));
}

TEST_F(BRegExTest, CompileAndSearchFlags) {
  struct Case {
    const char* pattern;
    int flags;
    const char* text;
    int execFlags;
    bool match;
  };
  const Case cases[] = {
      {"abc", regExtended, "xABCx", 0, false},
      {"abc", regExtended | regIgnoreCase, "xABCx", 0, true},
      {"^b", regExtended, "a\nb", 0, false},
      {"^b", regExtended | regNewline, "a\nb", 0, true},
      {"a.b", regExtended, "a\nb", 0, true},
      {"a.b", regExtended | regNewline, "a\nb", 0, false},
      {"a+", 0, "aaa", 0, false},  // basic syntax: "+" is an ordinary character
      {"a+", 0, "xa+y", 0, true},
      {"^a", regExtended, "abc", regNotBol, false},
      {"c$", regExtended, "abc", regNotEol, false},
      {"c$", regExtended | regNoSub, "abc", 0, true},
  };
  RegMatches none = regMatchNil;
  for (const Case& c : cases) {
    Reg r = RegComp(c.pattern, c.flags);
    ASSERT_NE(r, regNil) << c.pattern;
    EXPECT_EQ(RegExec(r, c.text, 0, 0, none, c.execFlags), c.match) << c.pattern << " " << c.flags;
    EXPECT_EQ(RegError(), 0);
    RegFree(r);
    EXPECT_EQ(r, regNil);
  }
}

TEST_F(BRegExTest, MatchArrayHoldsTheWholeMatchAndEachGroup) {
  Reg r = RegComp("(a+)(b+)?(c)", regExtended);
  EXPECT_EQ(RegNSubs(r), 4u);
  RegMatches m = regMatchNil;
  ASSERT_TRUE(RegExec(r, "xxaaacyy", 0, RegNSubs(r), m, 0));
  EXPECT_EQ(Limits(m, 0), Span(2, 6));
  EXPECT_EQ(Limits(m, 1), Span(2, 5));
  EXPECT_EQ(Limits(m, 2), Span(-1, -1));  // the optional group took no part
  EXPECT_EQ(Limits(m, 3), Span(5, 6));
  EXPECT_EQ(Limits(m, 4), Span(-1, -1));  // beyond the array

  // A search from an offset starts a line there; positions still count from the text.
  ASSERT_TRUE(RegExec(r, "ac abbc", 2, 4, m, 0));
  EXPECT_EQ(Limits(m, 0), Span(3, 7));
  EXPECT_EQ(Limits(m, 2), Span(4, 6));
  Reg start = RegComp("^ab", regExtended);
  EXPECT_TRUE(RegExec(start, "ac abbc", 3, 1, m, 0));
  EXPECT_FALSE(RegExec(start, "ac abbc", 3, 1, m, regNotBol));
  RegFree(start);
  RegMatchFree(m);
  EXPECT_EQ(m, regMatchNil);

  EXPECT_TRUE(RegExecPat("([0-9]+)\\.([0-9]+)", "v 12.345", 3, m));
  EXPECT_EQ(Limits(m, 2), Span(5, 8));
  RegMatchFree(m);
  RegFree(r);
}

TEST_F(BRegExTest, BadPatternIsReportedInsideAnIgnoreBracket) {
  Messages_IgnoreErrors(true);
  Reg r = RegComp("form_(a|b", regExtended);
  Messages_IgnoreErrors(false);
  EXPECT_EQ(r, regNil);
  EXPECT_EQ(RegError(), 3);
  EXPECT_NE(RegErrno(), 0);
  std::FILE* f = std::tmpfile();
  Messages_ShowError(fileno(f));
  std::rewind(f);
  char buf[4096] = {};
  const std::string shown(buf, std::fread(buf, 1, sizeof buf - 1, f));
  std::fclose(f);
  EXPECT_NE(shown.find("(BRegEx,"), std::string::npos) << shown;
  EXPECT_NE(shown.find(" 3) : "), std::string::npos) << shown;
  EXPECT_NE(shown.find("::RegComp: "), std::string::npos) << shown;

  // The convenience forms fail the same way; success clears the error again.
  Messages_IgnoreErrors(true);
  RegMatches m = regMatchNil;
  EXPECT_FALSE(RegExecPat("a{2", "aa", 1, m));
  EXPECT_EQ(RegError(), 3);
  Messages_ForgetErrorReasons();
  Messages_IgnoreErrors(false);
  Reg ok = RegComp("a", regExtended);
  EXPECT_EQ(RegError(), 0);
  EXPECT_EQ(RegErrno(), 0);
  RegFree(ok);
}

TEST_F(BRegExTest, BadPatternOutsideABracketIsFatal) {
  EXPECT_EXIT(RegComp("(", regExtended), ::testing::ExitedWithCode(2), "BRegEx");
}

}  // namespace
