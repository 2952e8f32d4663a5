#include "DynStrIO.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "Messages.hpp"
#include "Sandbox.hpp"

namespace {

std::string S(DS ds) { return std::string(DSStr(ds), static_cast<std::size_t>(DSLength(ds))); }

FILE* StreamWith(const std::string& text) {
  FILE* f = std::tmpfile();
  std::fputs(text.c_str(), f);
  std::rewind(f);
  return f;
}

class DynStrIOTest : public ::testing::Test {
 protected:
  void SetUp() override { DynStrIO_Init(); }
};

TEST_F(DynStrIOTest, LogicalLinesOfAConfigurationFile) {
  FILE* f = StreamWith(
      "# header comment\n"
      "\n"
      "  [Section]\n"
      "key = value   # remark\n"
      "quoted = 'a # b'  \"c # d\"  \n"
      "list = 1,   \\\n"
      "       2, \\\n"
      "   3\n"
      "text = \"one \\\n"
      "  two\"\n"
      "esc = a\\#b \\\\\n"
      "   # indented comment\n"
      "last = x\\");
  struct Line {
    std::string text, comment;
    long first, no;
  };
  const std::vector<Line> expected = {
      {"[Section]", "# header comment\n\n", 3, 3},  {"key = value", "", 4, 4},
      {"quoted = 'a # b'  \"c # d\"", "", 5, 5},    {"list = 1, 2, 3", "", 6, 8},
      {"text = \"one   two\"", "", 9, 10},          {"esc = a\\#b \\\\", "", 11, 11},
      {"last = x", "# indented comment\n", 13, 13},
  };
  DS line = dsNil, comment = dsNil;
  long lineNo = 0, first = 0;
  for (const auto& want : expected) {
    ASSERT_TRUE(DSXReadLine(f, &line, &lineNo, &first, '#', &comment)) << want.text;
    EXPECT_EQ(S(line), want.text);
    EXPECT_EQ(S(comment), want.comment) << want.text;
    EXPECT_EQ(first, want.first) << want.text;
    EXPECT_EQ(lineNo, want.no) << want.text;
    DSAssignStr("", &comment);
  }
  EXPECT_FALSE(DSXReadLine(f, &line, &lineNo, &first, '#', &comment));
  EXPECT_EQ(DSIOError(), 0);
  EXPECT_EQ(S(line), "");
  std::fclose(f);
}

TEST_F(DynStrIOTest, AQuoteLeftOpenStopsTheReadingWithTheLineNumber) {
  FILE* f = StreamWith("a = 1\nb = 'open\nc = 2\n");
  DS line = dsNil;
  long lineNo = 0;
  ASSERT_TRUE(DSXReadLine(f, &line, &lineNo, nullptr, '#', nullptr));
  Messages_IgnoreErrors(true);
  EXPECT_FALSE(DSXReadLine(f, &line, &lineNo, nullptr, '#', nullptr));
  Messages_IgnoreErrors(false);
  EXPECT_EQ(DSIOError(), 3);
  EXPECT_STREQ(DSIOStrError(3), "a quoted part is left open at the end of a line");
  char text[256];
  ASSERT_TRUE(Messages_ErrorReason(text));
  EXPECT_NE(std::string(text).find("quotation mark is not closed"), std::string::npos) << text;
  ASSERT_TRUE(Messages_ErrorReason(text));
  EXPECT_STREQ(text, "    line 2");
  std::rewind(f);
  lineNo = 0;
  DSXReadLine(f, &line, &lineNo, nullptr, '#', nullptr);
  EXPECT_EXIT(DSXReadLine(f, &line, &lineNo, nullptr, '#', nullptr), testing::ExitedWithCode(2),
              "line 2");
  std::fclose(f);
}

TEST_F(DynStrIOTest, LinesAndStringsThroughStreams) {
  FILE* f = std::tmpfile();
  DS a = DSCreateStr("first", 0);
  EXPECT_TRUE(DSWriteLine(f, a));
  EXPECT_TRUE(DSWriteString(f, dsNil, true));
  EXPECT_TRUE(DSWriteString(f, a, false));
  std::rewind(f);
  DS line = dsNil;
  std::vector<std::string> lines;
  while (DSReadLine(f, &line)) lines.push_back(S(line));
  EXPECT_EQ(lines, (std::vector<std::string>{"first", "", "first"}));
  EXPECT_EQ(S(line), "");
  std::rewind(f);
  EXPECT_EQ(DSRead(f, &line, 3), 3);
  EXPECT_EQ(S(line), "fir");
  EXPECT_TRUE(DSReadString(f, &line));
  EXPECT_EQ(S(line), "st\n\nfirst");
  std::fclose(f);
  FILE* readOnly = std::fopen("/dev/null", "r");
  EXPECT_FALSE(DSWriteLine(readOnly, a));
  EXPECT_EQ(DSIOError(), 2);
  std::fclose(readOnly);
}

TEST_F(DynStrIOTest, RunCmdCollectsOutputUpToMaxAndWaitsForTheCommand) {
  DS out = dsNil;
  const int status = DSRunCmd(
      DSCreateTmpStr("printf '%0100d' 7; sleep 0.2; echo done > finished; exit 3", 0), &out, 10);
  EXPECT_EQ(S(out), "0000000000");
  EXPECT_EQ(DSSize(out), 4096u);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_EQ(zolt::test::ReadFile("finished"), "done\n");

  EXPECT_EQ(DSRunCmd(DSCreateTmpStr("head -c 10000 /dev/zero | tr '\\0' x", 0), &out, -1), 0);
  EXPECT_EQ(S(out), std::string(10000, 'x'));
  EXPECT_EQ(DSRunCmd(DSCreateTmpStr("true", 0), &out, 0), 0);
  EXPECT_EQ(S(out), "");

  DSAssignStr("kept", &out);
  EXPECT_EQ(DSRunCmd(DSCreateTmpStr("", 0), &out, -1), 0);
  EXPECT_EQ(DSRunCmd(dsNil, &out, -1), 0);
  EXPECT_EQ(S(out), "kept");
}

}  // namespace
