#include "BkMisc.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Sandbox.hpp"

namespace {

namespace fs = std::filesystem;

class BkMiscTest : public ::testing::Test {
 protected:
  void SetUp() override { BkMisc_Init(); }
};

TEST_F(BkMiscTest, DatesAndTimesToTextAndBack) {
  char text[128];
  BkMisc_DateAndTimeToStr({5, 3, 2026, 0}, {7, 8, 9, 0}, text);
  EXPECT_STREQ(text, "05.03.2026 07:08:09");

  char in[128] = "31/12/1999-23.59.58 rest";
  Utility_Date d{};
  Utility_Time t{};
  ASSERT_TRUE(BkMisc_StrToDateAndTime(in, d, t));
  EXPECT_EQ(d.day, 31u);
  EXPECT_EQ(d.month, 12u);
  EXPECT_EQ(d.year, 1999u);
  EXPECT_EQ(t.hour, 23u);
  EXPECT_EQ(t.second, 58u);
  EXPECT_STREQ(in, "rest");
  char bad[16] = "12.xx.2000";
  EXPECT_FALSE(BkMisc_StrToDate(bad, d));
}

// The written form is read by a shortcut; it must agree with the general reading on every
// text near that form, in what it yields and in how far it reads.
TEST_F(BkMiscTest, TheWrittenMomentReadsAsTheGeneralWayReadsIt) {
  char written[BkMisc_dateAndTimeMax];
  const std::size_t n = BkMisc_PutDateAndTime({1, 2, 123456, 0}, {4000000000u, 5, 60, 0}, written);
  EXPECT_EQ(std::string(written, n), "01.02.123456 4000000000:05:60");

  const std::string base = "05.12.2026 10:11:12 7 1";
  std::vector<std::string> texts = {base,
                                    "  " + base,
                                    base.substr(0, 19),
                                    base.substr(0, 20),
                                    "05.12.2026 10:11:123 1",
                                    "4294967296.1.2026 1:2:3 "};
  for (std::size_t i = 0; i < 20; ++i) {  // every place of the form changed
    for (const char c : {'0', '9', '.', ':', ' ', '/', 'a', '\0'}) {
      std::string t = base;
      t[i] = c;
      texts.push_back(t);
    }
  }
  for (const std::string& t : texts) {
    const char* end = t.data() + t.size();
    Utility_Date d1{}, d2{};
    Utility_Time t1{}, t2{};
    const char* p1 = t.data();
    const char* p2 = t.data();
    const bool ok1 = BkMisc_TakeDateAndTime(p1, end, d1, t1);
    const bool ok2 = BkMisc_TakeDate(p2, end, d2) && BkMisc_TakeTime(p2, end, t2);
    EXPECT_EQ(ok1, ok2) << t;
    if (!ok1 || !ok2) continue;
    EXPECT_EQ(p1 - t.data(), p2 - t.data()) << t;
    EXPECT_EQ(std::vector<unsigned>({d1.day, d1.month, d1.year, t1.hour, t1.minute, t1.second}),
              std::vector<unsigned>({d2.day, d2.month, d2.year, t2.hour, t2.minute, t2.second}))
        << t;
  }
}

TEST_F(BkMiscTest, LinesFieldsAndEscapes) {
  char text[128] = "first\n\nthird";
  char line[128];
  EXPECT_TRUE(BkMisc_StrFromStr(text, line));
  EXPECT_STREQ(line, "first");
  EXPECT_FALSE(BkMisc_StrFromStr(text, line));  // the empty second line
  EXPECT_TRUE(BkMisc_StrFromStr(text, line));
  EXPECT_STREQ(line, "third");
  EXPECT_STREQ(text, "");

  char fields[128] = " \tone\ttwo  ";
  char field[128];
  EXPECT_TRUE(BkMisc_FieldFromStr(fields, field));
  EXPECT_STREQ(field, "one");
  EXPECT_TRUE(BkMisc_FieldFromStr(fields, field));
  EXPECT_STREQ(field, "two");
  EXPECT_FALSE(BkMisc_FieldFromStr(fields, field));

  // Escaping and the escaped field reader undo each other, also for backslashes.
  char escaped[128];
  BkMisc_EscapeSpaces("my file\\x", escaped);
  EXPECT_STREQ(escaped, "my\\ file\\\\x");
  char pair[256];
  BkMisc_Concat3(escaped, " ", "next", pair);
  EXPECT_TRUE(BkMisc_FieldFromStr1(pair, field));
  EXPECT_STREQ(field, "my file\\x");
  EXPECT_STREQ(pair, "next");

  EXPECT_EQ(BkMisc_VCompareStr("a\xe9", "az"), 1);
  EXPECT_EQ(BkMisc_VCompareStr("a", "a"), 0);
}

TEST_F(BkMiscTest, PathHeads) {
  struct {
    const char* path;
    const char* head;
    bool isHead;
  } heads[] = {{"/a/b", "/a", true}, {"/ab", "/a", false},  {"/", "/", true},
               {"/a", "/a", false},  {"a/b/c", "a/", true}, {"a", "", false}};
  for (const auto& c : heads)
    EXPECT_EQ(BkMisc_ThisPathHead(StrIn::FromC(c.path), StrIn::FromC(c.head)), c.isHead)
        << c.path << " " << c.head;
  EXPECT_EQ(BkMisc_PathHeadCmp("/a/b", "/a"), 0);
  EXPECT_EQ(BkMisc_PathHeadCmp("/ab", "/a"), 1);
  EXPECT_EQ(BkMisc_PathHeadCmp("/a", "/ab"), -1);
  EXPECT_EQ(BkMisc_PathHeadCmp("/a", "/b"), -1);
}

TEST_F(BkMiscTest, SizesAndSpace) {
  char text[64];
  BkMisc_SizeToMBStr(999999, text);
  EXPECT_STREQ(text, "976.56 KB");
  BkMisc_SizeToMBStr(1048576.0 * 3.5, text);
  EXPECT_STREQ(text, "3.50 MB");

  struct statvfs fs {};
  ASSERT_EQ(::statvfs(".", &fs), 0);
  const double expected = static_cast<double>(fs.f_bfree) * fs.f_frsize;
  const double got = BkMisc_DiskSpace("no/such/dir");  // the nearest existing is "."
  EXPECT_NEAR(got, expected, 64.0 * 1048576.0);        // other processes write meanwhile
  EXPECT_EQ(std::fmod(got, 512.0), 0.0);
}

TEST_F(BkMiscTest, DirectoriesAndTheDirectoryStack) {
  char existing[1024];
  EXPECT_FALSE(BkMisc_PathOK("x/y/z", existing));
  EXPECT_STREQ(existing, ".");
  ASSERT_TRUE(BkMisc_AssertDir("x/y", 0750));
  EXPECT_EQ(fs::status("x").permissions(), fs::perms(0750));
  EXPECT_FALSE(BkMisc_PathOK("x/y/z/w", existing));
  EXPECT_STREQ(existing, "x/y");
  zolt::test::WriteFile("file", "");
  EXPECT_FALSE(BkMisc_AssertDir("file/sub", 0755));

  const fs::path start = fs::current_path();
  EXPECT_FALSE(BkMisc_PushDir("missing"));
  EXPECT_EQ(BkMisc_DirStackDepth(), 0);
  ASSERT_TRUE(BkMisc_PushDir("x"));
  ASSERT_TRUE(BkMisc_PushDir("y"));
  EXPECT_EQ(fs::current_path(), start / "x" / "y");
  EXPECT_EQ(BkMisc_DirStackDepth(), 2);
  EXPECT_TRUE(BkMisc_PopDir());
  EXPECT_TRUE(BkMisc_PopDir());
  EXPECT_EQ(fs::current_path(), start);
  EXPECT_FALSE(BkMisc_PopDir());
}

TEST_F(BkMiscTest, PermissionsFollowOwnerGroupAndOthers) {
  BkMisc_SetProcessIds(100, 200);
  struct {
    std::uint32_t mode, uid, gid;
    bool readable, writeable, executable;
  } cases[] = {
      {0400, 100, 1, true, false, false},  // owner bit for the owner
      {0400, 101, 1, false, false, false},
      {0040, 101, 200, true, false, false},  // group bit for the group
      {0060, 100, 1, false, false, false},   // not the owner's
      {0007, 100, 200, true, true, true},    // others' bits count for everyone
      {0300, 100, 200, false, true, true},
  };
  for (const auto& c : cases) {
    DirAcces_DirEntry info{};
    info.mode = S_IFREG | c.mode;
    info.uid = c.uid;
    info.gid = c.gid;
    EXPECT_EQ(BkMisc_IsReadable(info), c.readable) << std::oct << c.mode;
    EXPECT_EQ(BkMisc_IsWriteable(info), c.writeable) << std::oct << c.mode;
    EXPECT_EQ(BkMisc_IsExecutable(info), c.executable) << std::oct << c.mode;
  }
}

TEST_F(BkMiscTest, DisplayAndInheritedEnvironment) {
  char text[1024];
  ::setenv("HOST", "press7", 1);
  ::unsetenv("LD_LIBRARY_PATH");
  ::setenv("DISPLAY", "", 1);
  BkMisc_GetDisplay(text);
  EXPECT_STREQ(text, ":0.0");
  ::setenv("DISPLAY", ":1", 1);
  BkMisc_GetInheritEnvStr(text);
  EXPECT_STREQ(text, "DISPLAY=press7:1; export DISPLAY");
  ::setenv("DISPLAY", "ws:2.0", 1);
  ::setenv("LD_LIBRARY_PATH", "/opt/lib", 1);
  BkMisc_GetInheritEnvStr(text);
  EXPECT_STREQ(text,
               "DISPLAY=ws:2.0; export DISPLAY;LD_LIBRARY_PATH=/opt/lib;export LD_LIBRARY_PATH");
}

TEST_F(BkMiscTest, CommandOutputLosesItsLastLineEnd) {
  DS command = DSCreateStr("printf 'a\\nb\\n'; exit 3", 0);
  DS output = dsNil;
  const int status = BkMisc_DSRunCmd(command, &output);
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_STREQ(DSStr(output), "a\nb");
  DSFree(&command);
  DSFree(&output);
  EXPECT_STREQ(BkMisc_sEOLN, "\n");
  EXPECT_STRNE(BkMisc_localHost, "");
}

}  // namespace
