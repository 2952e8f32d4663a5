#include "SFilMisc.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "DirAcces.hpp"
#include "Sandbox.hpp"

namespace {

using zolt::test::WriteFile;

class SFilMiscTest : public ::testing::Test {
 protected:
  void SetUp() override { SFilMisc_Init(); }
};

TEST_F(SFilMiscTest, SuffixesComeFromTheLastComponentOnly) {
  struct Case {
    const char* name;
    const char* suffix;
  } cases[] = {{"order.aif", ".aif"}, {"a.tar.gz", ".gz"}, {".profile", ""},
               {"dir.d/file", ""},    {"dir.d/.x", ""},    {"/p/q/r.txt", ".txt"},
               {"trailing.", "."},    {"none", ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    char suffix[32] = "junk";
    SFilMisc_SuffixOf(std::string_view(c.name), suffix);
    EXPECT_STREQ(suffix, c.suffix);
    EXPECT_EQ(SFilMisc_HasSuffix(std::string_view(c.name)), c.suffix[0] != '\0');
    char stripped[64];
    std::snprintf(stripped, sizeof stripped, "%s", c.name);
    SFilMisc_StripAnySuffix(stripped);
    EXPECT_EQ(std::string(stripped) + c.suffix, c.name);
  }
  EXPECT_TRUE(SFilMisc_HasRightSuffix("x.aif", ".aif"));
  EXPECT_FALSE(SFilMisc_HasRightSuffix("x.AIF", ".aif")) << "exact comparison";
  EXPECT_FALSE(SFilMisc_HasRightSuffix("x", ""));
}

TEST_F(SFilMiscTest, ExtensionsAreMatchedWithoutCaseAndRequiredExactly) {
  char name[64] = "Report.PDF";
  SFilMisc_StripExtension(name, ".pdf");
  EXPECT_STREQ(name, "Report");
  SFilMisc_StripExtension(name, ".pdf");
  EXPECT_STREQ(name, "Report");

  struct Case {
    const char* path;
    const char* ext;
    const char* result;
  } cases[] = {{"dir/Report.PDF", ".pdf", "dir/Report.pdf"},
               {"dir/Report", ".pdf", "dir/Report.pdf"},
               {"a.b/c", ".Aif", "a.b/c.Aif"},
               {"x.pdf.PDF", ".pdf", "x.pdf.pdf"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    char path[128];
    std::snprintf(path, sizeof path, "%s", c.path);
    SFilMisc_RequireExtension(path, std::string_view(c.ext));
    EXPECT_STREQ(path, c.result);
  }

  // A long file name is cut so that, with its extension, it stays within 254 characters;
  // the directory does not count.
  static char path[600];
  std::string longName = "/some/dir/" + std::string(300, 'n');
  std::snprintf(path, sizeof path, "%s", longName.c_str());
  SFilMisc_RequireSuffix(path, ".txt");
  const std::string result = path;
  EXPECT_EQ(result.size(), 10u + 254u);
  EXPECT_EQ(result.substr(0, 10), "/some/dir/");
  EXPECT_EQ(result.substr(result.size() - 5), "n.txt");
}

TEST_F(SFilMiscTest, ShellEscapingRoundTripsAndArgumentsComeOffOneByOne) {
  char s[128] = "a b$c\\d'e;f";
  SFilMisc_EscapeShMetaChars(s);
  EXPECT_STREQ(s, "a\\ b\\$c\\\\d\\'e\\;f");
  SFilMisc_UnescapeShMetaChars(s);
  EXPECT_STREQ(s, "a b$c\\d'e;f");
  char kept[32] = "\\x and \\";
  SFilMisc_UnescapeShMetaChars(kept);
  EXPECT_STREQ(kept, "\\x and \\") << "a backslash before an ordinary character stays";

  char line[128] = "  first \"two words\"  last";
  char arg[32];
  SFilMisc_GetArg(line, arg);
  EXPECT_STREQ(arg, "first");
  SFilMisc_GetArg(line, arg);
  EXPECT_STREQ(arg, "two words");
  SFilMisc_GetArg(line, arg);
  EXPECT_STREQ(arg, "last");
  EXPECT_STREQ(line, "");
  SFilMisc_GetArg(line, arg);
  EXPECT_STREQ(arg, "");
}

TEST_F(SFilMiscTest, ChModReadsOctalUpToTheFirstOtherCharacter) {
  WriteFile("f", "x");
  struct Case {
    const char* text;
    unsigned mode;
  } cases[] = {{"644", 0644}, {"0600", 0600}, {"7558", 0755}, {"64x4", 064}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    SFilMisc_ChMod("f", std::string_view(c.text));
    struct stat st;
    ASSERT_EQ(::stat("f", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.mode);
  }
}

TEST_F(SFilMiscTest, NewerComparesModificationTimes) {
  WriteFile("old", "");
  WriteFile("new", "");
  DirAcces_ChTimes("old", 1000, 1000);
  DirAcces_ChTimes("new", 2000, 2000);
  EXPECT_TRUE(SFilMisc_Newer("new", "old"));
  EXPECT_FALSE(SFilMisc_Newer("old", "new"));
  EXPECT_FALSE(SFilMisc_Newer("old", "old"));
  EXPECT_TRUE(SFilMisc_Newer("old", "missing"));
  EXPECT_FALSE(SFilMisc_Newer("missing", "old"));
}

TEST_F(SFilMiscTest, TemporaryNamesCountUpAndAreRecognised) {
  ::setenv("HOST", "averyveryverylonghostname", 1);
  char a[128], b[128], c[128];
  SFilMisc_CreateTmpNameWD(a, "");
  SFilMisc_CreateTmpNameWD(b, ".PS");
  char expected[128];
  std::snprintf(expected, sizeof expected, "T%06d-%05d-averyveryverylon", ::getpid(), 0);
  EXPECT_STREQ(a, expected);
  std::snprintf(expected, sizeof expected, "T%06d-%05d-averyveryverylon.PS", ::getpid(), 1);
  EXPECT_STREQ(b, expected);

  char dir[1024], want[2048];
  SFilMisc_CreateTmpName(c, "");
  DirAcces_GetSpecialPath(DirAcces_tmpPath, dir);
  std::snprintf(want, sizeof want, "%s/T%06d-%05d-averyveryverylon", dir, ::getpid(), 2);
  EXPECT_STREQ(c, want);
  SFilMisc_CreateUniqueVarName(c, "");
  DirAcces_GetSpecialPath(DirAcces_datPath, dir);
  std::snprintf(want, sizeof want, "%s/tmp/T%06d-%05d-averyveryverylon", dir, ::getpid(), 3);
  EXPECT_STREQ(c, want);
  SFilMisc_CreateUnresolvedTmpName(c, ".x");
  EXPECT_TRUE(SFilMisc_IsUnresolvedTmpDir(c));
  EXPECT_FALSE(SFilMisc_IsUnresolvedTmpDir("/tmp/T000001"));
  EXPECT_TRUE(SFilMisc_IsTmpName(c));

  struct Case {
    const char* path;
    bool tmp, old;
  } cases[] = {{"/x/T000123-00001-h", true, true}, {"T000123-00001-", false, true},
               {"T000123", false, true},           {"T00012", false, false},
               {"T000123-0001-host", false, true}, {"/T000123-00001-h/file", false, false},
               {"t000123-00001-h", false, false}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.path);
    EXPECT_EQ(SFilMisc_IsTmpName(std::string_view(k.path)), k.tmp);
    EXPECT_EQ(SFilMisc_IsOldTmpName(std::string_view(k.path)), k.old);
  }

  char lib[1024];
  SFilMisc_IncludeZoltlibPath("/scripts/x.sh", c);
  DirAcces_GetSpecialPath(DirAcces_libPath, lib);
  EXPECT_EQ(std::string(c), std::string(lib) + "/scripts/x.sh");
}

}  // namespace
