#include "SrcFile.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "DirAcces.hpp"
#include "Messages.hpp"
#include "Processe.hpp"
#include "Sandbox.hpp"

namespace {

using zolt::test::ReadFile;
using zolt::test::SandboxDir;
using zolt::test::WriteFile;

// Runs f inside an ignore bracket and returns SrcFile_error; the reasons are dropped.
template <class F>
int Quietly(F f) {
  Messages_IgnoreErrors(true);
  f();
  int error = SrcFile_error;
  Messages_IgnoreErrors(false);
  Messages_ForgetErrorReasons();
  return error;
}

std::string Home() { return std::getenv("HOME"); }
std::string Customer() {
  char dir[1024];
  DirAcces_GetSpecialPath(DirAcces_customerPath, dir);
  return dir;
}

int WaitChild(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class SrcFileTest : public ::testing::Test {
 protected:
  void SetUp() override { SrcFile_Init(); }
};

// ---- Reading rc text ----

TEST_F(SrcFileTest, LinesOfEveryTypeReachTheirVariablesOnceDefined) {
  SrcFile_LoadText(
      "# a comment\n"
      "\n"
      " C indented= 5\n"
      "B flag= ON\n"
      "B other=FALSE\n"
      "E mode= 2 trailing words\n"
      "C count= 42xyz\n"
      "I delta= -17\n"
      "R scale= 2.5E+001\n"
      "S title=   Two  words \n"
      "P path= /a/b\n"
      "X unknown= 1\n",
      false, false);
  EXPECT_EQ(SrcFile_error, 0);
  EXPECT_FALSE(SrcFile_IsDefined("flag"));
  EXPECT_EQ(SrcFile_QueryCardForeignProcess("count"), 42u);
  EXPECT_EQ(Quietly([] { SrcFile_QueryCardForeignProcess("indented"); }), 2);

  bool flag = false, other = true;
  std::uint8_t mode = 0;
  std::uint32_t count = 0;
  std::int32_t delta = 0;
  double scale = 0;
  char title[64] = "", path[8] = "";
  SrcFile_DefineBool("flag", flag);
  SrcFile_DefineBool("other", other);
  SrcFile_DefineEnum("mode", mode, 3);
  SrcFile_DefineCard("count", count);
  SrcFile_DefineInt("delta", delta);
  SrcFile_DefineReal("scale", scale);
  SrcFile_DefineString("title", title);
  unsigned kind = 9;
  char check[64];
  SrcFile_QueryStringSForeignProcess("path", kind, check);
  EXPECT_EQ(kind, 1u);
  SrcFile_SDefineStringS("path", "", 1, nullptr, nullptr, path);

  EXPECT_TRUE(flag);
  EXPECT_FALSE(other);
  EXPECT_EQ(mode, 2);
  EXPECT_EQ(count, 42u);
  EXPECT_EQ(delta, -17);
  EXPECT_DOUBLE_EQ(scale, 25.0);
  EXPECT_STREQ(title, "Two  words ");
  EXPECT_STREQ(path, "/a/b");
  EXPECT_TRUE(SrcFile_IsDefined("title"));
}

TEST_F(SrcFileTest, AStringValueFillsTheWholeCapacityInTheWrittenForm) {
  static char text[SrcFile_stringSize];
  SrcFile_DefineString("long", text);
  for (const std::size_t n : {SrcFile_stringSize - 1, SrcFile_stringSize}) {
    SrcFile_LoadText("S long= " + std::string(n, 'v') + "\n", false, false);
    EXPECT_EQ(std::string(text, n), std::string(n, 'v'));
    EXPECT_EQ(Strings_Length(text), n);
  }
  SrcFile_LoadText("S long=" + std::string(SrcFile_stringSize + 1, 'w') + "\n", false, false);
  EXPECT_EQ(std::string(text, sizeof text), std::string(SrcFile_stringSize, 'w'));
}

TEST_F(SrcFileTest, BadLinesAreSkippedByLenientLoadingAndStopStrictLoading) {
  const std::string longKey(128, 'k');
  // The last one is a key of another section.
  const std::string cases[] = {"B yes= yes",           "B lower= on", "C neg= -1",  "I word= many",
                               "R nothing= ",          "C",           "S noequals", "C =3",
                               "C " + longKey + "= 1", "C [x]y= 1"};
  for (const std::string& line : cases) {
    SCOPED_TRACE(line);
    const std::string text = line + "\nC after= 1\n";
    SrcFile_SUndefine("after");
    SrcFile_LoadText(text, false, false);
    EXPECT_EQ(SrcFile_error, 0);
    EXPECT_EQ(SrcFile_QueryCardForeignProcess("after"), 1u) << "lenient loading goes on";

    SrcFile_SUndefine("after");
    EXPECT_EQ(Quietly([&] { SrcFile_LoadText(text, false, true); }), 4);
    EXPECT_EQ(Quietly([] { SrcFile_QueryCardForeignProcess("after"); }), 2)
        << "strict loading stops at the bad line";
  }
  SrcFile_LoadText("C [x]y= 1\n", true, true);
  EXPECT_EQ(SrcFile_QueryCardForeignProcess("[global][x]y"), 1u) << "fine in the global file";
  // A key of exactly 127 characters is still good.
  SrcFile_LoadText("C " + std::string(127, 'k') + "= 8\n", false, true);
  EXPECT_EQ(SrcFile_error, 0);
}

TEST_F(SrcFileTest, EnumerationsAboveTheirMaximumBecomeZero) {
  SrcFile_LoadText("E level= 7\nE fine= 3\n", false, false);
  std::uint8_t level = 1, fine = 0;
  SrcFile_DefineEnum("level", level, 3);
  SrcFile_DefineEnum("fine", fine, 3);
  EXPECT_EQ(level, 0);
  EXPECT_EQ(fine, 3);
  SrcFile_LoadText("E level= 2\nE fine= 9\n", false, false);
  EXPECT_EQ(level, 2);
  EXPECT_EQ(fine, 0);
  EXPECT_EQ(Quietly([] { SrcFile_SetCard("level", 4); }), 5);
  EXPECT_EQ(level, 2);
  SrcFile_SetCard("level", 3);
  EXPECT_EQ(SrcFile_QueryCard("level"), 3u);
}

// ---- Definitions, queries and changes ----

TEST_F(SrcFileTest, DefinitionErrors) {
  std::uint32_t a = 0, b = 0;
  std::int32_t i = 0;
  std::uint8_t e = 0;
  SrcFile_DefineCard("a", a);
  EXPECT_EQ(Quietly([&] { SrcFile_DefineCard("a", b); }), 1);
  EXPECT_EQ(Quietly([&] { SrcFile_DefineInt("a", i); }), 1);
  SrcFile_LoadText("C loaded= 4\n", false, false);
  EXPECT_EQ(Quietly([&] { SrcFile_DefineInt("loaded", i); }), 3);
  EXPECT_EQ(Quietly([&] { SrcFile_SDefineEnum("z", "", 1, e, 3); }), 3);
  EXPECT_FALSE(SrcFile_IsDefined("z"));

  EXPECT_EQ(Quietly([] { SrcFile_QueryCard("nothing"); }), 2);
  EXPECT_EQ(Quietly([] { SrcFile_QueryCard("loaded"); }), 2) << "loaded only, not defined";
  EXPECT_EQ(Quietly([] { SrcFile_QueryInt("a"); }), 3);
  EXPECT_EQ(Quietly([] { SrcFile_SetBool("a", true); }), 3);
  EXPECT_EQ(Quietly([] { SrcFile_SetInt("nothing", 1); }), 2);
  EXPECT_EQ(Quietly([] { SrcFile_DefineICB("nothing", nullptr, nullptr); }), 2);

  EXPECT_EQ(Quietly([] { SrcFile_UndefineI("loaded"); }), 2);
  SrcFile_UndefineI("a");
  EXPECT_FALSE(SrcFile_IsDefined("a"));
  SrcFile_DefineCard("a", b);  // may be defined again, now bound to b
  SrcFile_SetCard("a", 6);
  EXPECT_EQ(b, 6u);
  EXPECT_EQ(a, 0u);
}

int validatorCalls = 0;
bool BelowTen(std::uint32_t v, void* arg) {
  ++validatorCalls;
  return v < 10 && arg == &validatorCalls;
}
bool NotEmpty(StrIn s, void*) { return s.length() > 0; }
int callbackCount = 0;
void Count(void* arg) { callbackCount += *static_cast<int*>(arg); }

TEST_F(SrcFileTest, ValidatorsRuleOnlySettingsWithADescriptionAndCallbacksFollowChanges) {
  std::uint32_t plain = 0, checked = 0, silent = 0;
  SrcFile_DefineCard("plain", plain);
  SrcFile_SDefineCard("silent", "", BelowTen, &validatorCalls, silent);
  SrcFile_SDefineCard("checked", "Number below ten", BelowTen, &validatorCalls, checked);
  SrcFile_SetCard("plain", 99);
  SrcFile_SetCard("silent", 99);
  EXPECT_EQ(validatorCalls, 0);
  EXPECT_EQ(silent, 99u);

  int step = 1;
  SrcFile_DefineICB("checked", Count, &step);
  EXPECT_EQ(Quietly([] { SrcFile_SetCard("checked", 10); }), 5);
  EXPECT_EQ(checked, 0u) << "a refused value leaves the variable alone";
  EXPECT_EQ(callbackCount, 0);
  SrcFile_SetCard("checked", 9);
  EXPECT_EQ(checked, 9u);
  EXPECT_EQ(validatorCalls, 2);
  EXPECT_EQ(callbackCount, 1);
  SrcFile_LoadText("C checked= 4\n", false, false);
  EXPECT_EQ(checked, 4u);
  EXPECT_EQ(callbackCount, 2) << "loading calls the callback too";

  char name[16] = "x";
  SrcFile_SDefineString("name", "A name", NotEmpty, nullptr, name);
  SrcFile_DefineICB("name", Count, &step);
  EXPECT_EQ(Quietly([] { SrcFile_SetString("name", ""); }), 5);
  EXPECT_STREQ(name, "x");
  SrcFile_SetStringSnoCB("name", 2, "quiet");
  EXPECT_EQ(callbackCount, 2);
  SrcFile_SetStringS("name", 3, "a text longer than the variable");
  EXPECT_EQ(callbackCount, 3);
  EXPECT_EQ(std::string(name, sizeof name), "a text longer th") << "cut to the capacity";
  unsigned kind = 0;
  char back[64];
  SrcFile_QueryStringS("name", kind, back);
  EXPECT_EQ(kind, 3u);
  EXPECT_STREQ(back, "a text longer th");
}

TEST_F(SrcFileTest, DefaultsListFiltersStripsMarkersAndSortsGreatestFirst) {
  bool b = false;
  std::uint32_t c = 0;
  std::int32_t i = 0;
  double r = 0;
  char s[8] = "";
  SrcFile_SDefineBool("k1", "<<grp>>  Beta", b);
  SrcFile_SDefineCard("k2", "Alpha", nullptr, nullptr, c);
  SrcFile_SDefineInt("k3", "Internal thing", nullptr, nullptr, i);
  SrcFile_SDefineReal("k4", "<<no end Gamma", nullptr, nullptr, r);
  SrcFile_SDefineString("k5", "Debug x", nullptr, nullptr, s);
  std::uint32_t undescribed = 0;
  SrcFile_DefineCard("k6", undescribed);

  SrcFile_DefaultsList list = SrcFile_GetDefaultsList("Internal  Debug");
  std::vector<std::string> seen;
  for (auto* e = list; e != nullptr; e = e->next)
    seen.push_back(std::string(e->description) + "|" + e->key + "|" +
                   SrcFile_typeLetters[static_cast<int>(e->type)]);
  SrcFile_DestroyDefaultsList(list);
  EXPECT_EQ(list, nullptr);
  // "<" sorts before the letters.
  EXPECT_EQ(seen, (std::vector<std::string>{"Beta|k1|B", "Alpha|k2|C", "<<no end Gamma|k4|R"}));
}

// ---- Files ----

TEST_F(SrcFileTest, LoadSearchesCurrentDirectoryThenHomeThenCustomerThenTheBackup) {
  std::uint32_t k = 0;
  SrcFile_DefineCard("k", k);
  WriteFile(Customer() + "/.progrc", "C k= 3\n");
  SrcFile_Load("prog");
  EXPECT_EQ(k, 3u);
  WriteFile(Home() + "/.progrc", "C k= 2\n");
  SrcFile_Load("prog");
  EXPECT_EQ(k, 2u);
  WriteFile(".progrc", "C k= 1\n");
  SrcFile_Load("prog");
  EXPECT_EQ(k, 1u);
  SrcFile_LoadFromLocation("prog", SrcFile_customer);
  EXPECT_EQ(k, 3u);
  SrcFile_LoadFromLocation("absent", SrcFile_home);
  EXPECT_EQ(SrcFile_error, 0);
  EXPECT_EQ(Quietly([] { SrcFile_LoadFromLocationAndName("absent", SrcFile_home); }), 6);

  // An empty or missing file falls back to its backup copy.
  WriteFile(".progrc", "");
  WriteFile(".progrc.backup", "C k= 7\n");
  SrcFile_LoadFromLocation("prog", SrcFile_current);
  EXPECT_EQ(k, 7u);
  ::unlink(".progrc");
  WriteFile(".progrc.backup", "C k= 8\n");
  SrcFile_LoadFromLocation("prog", SrcFile_current);
  EXPECT_EQ(k, 8u);
}

TEST_F(SrcFileTest, GlobalFileKeysCarryThePrefixAndAreSavedWithoutIt) {
  WriteFile(Home() + "/.velmarrc", "B showGrid= ON\n");
  SrcFile_Load("");
  bool grid = false, own = true;
  SrcFile_DefineBool("[global]showGrid", grid);
  SrcFile_DefineBool("showGrid", own);
  EXPECT_TRUE(grid);
  EXPECT_TRUE(own) << "the program's own key of the same name is another setting";
  SrcFile_SetBool("[global]showGrid", false);
  SrcFile_SaveGlobal(SrcFile_home);
  EXPECT_EQ(ReadFile(Home() + "/.velmarrc"), "B showGrid= OFF\n");
  SrcFile_SaveToLocation("prog", SrcFile_home);
  EXPECT_EQ(ReadFile(Home() + "/.progrc"), "B showGrid= ON\n");
}

TEST_F(SrcFileTest, SavedLinesHaveTheirFixedFormAndReadBack) {
  std::int32_t i = -12;
  std::uint8_t e = 2;
  double small = 0.5, mid = 3.5, big = 12345.5, neg = -99.25;
  char s[32] = "with = sign";
  SrcFile_DefineInt("i", i);
  SrcFile_DefineEnum("e", e, 5);
  SrcFile_DefineReal("small", small);
  SrcFile_DefineReal("mid", mid);
  SrcFile_DefineReal("big", big);
  SrcFile_DefineReal("neg", neg);
  SrcFile_DefineString("s", s);
  SrcFile_SaveToLocation("prog", SrcFile_current);
  const std::string text = ReadFile(".progrc");
  for (const char* line : {"I i= -12\n", "E e= 2\n", "S s= with = sign\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
  }
  // Reals in fixed point: width 15, decimals by magnitude (the last digit is left to the
  // number conversion's rounding).
  auto realText = [&](const std::string& key) {
    const std::size_t at = text.find("R " + key + "= ");
    if (at == std::string::npos) return std::string();
    const std::size_t from = at + key.size() + 4;
    return text.substr(from, text.find('\n', at) - from);
  };
  struct Real {
    const char* key;
    const char* head;
    std::size_t decimals;
  } reals[] = {
      {"mid", "3.500000000000", 13}, {"big", "12345.50000000", 9}, {"neg", "-99.2500000000", 12}};
  for (const auto& r : reals) {
    const std::string v = realText(r.key);
    SCOPED_TRACE(r.key + (" = " + v));
    EXPECT_EQ(v.substr(0, std::strlen(r.head)), r.head);
    EXPECT_EQ(v.size() - v.find('.') - 1, r.decimals);
  }
  EXPECT_EQ(realText("mid").size(), 15u);
  const std::string value = realText("small");
  EXPECT_EQ(value.size(), 18u);
  EXPECT_NE(value.find('E'), std::string::npos);
  EXPECT_EQ(ReadFile(".progrc.backup"), text);

  char got[64];
  SrcFile_GetEntryFromLocation("prog", SrcFile_current, "s", got);
  EXPECT_STREQ(got, "with = sign");
  SrcFile_GetEntryFromLocation("prog", SrcFile_current, "sm", got);
  EXPECT_STREQ(got, "");

  small = mid = big = neg = 0;
  SrcFile_LoadFromLocationAndName("prog", SrcFile_current);
  EXPECT_DOUBLE_EQ(small, 0.5);
  EXPECT_NEAR(mid, 3.5, 1e-12);
  EXPECT_NEAR(big, 12345.5, 1e-8);
  EXPECT_NEAR(neg, -99.25, 1e-11);
}

// Another process saves its change between this process's load and save: both changes
// end up in the file, and this process sees the other one.
TEST_F(SrcFileTest, TwoProcessesSavingOneAfterTheOtherKeepBothChanges) {
  WriteFile(".progrc", "C a= 1\nC b= 1\nS note= old\n");
  std::uint32_t a = 0, b = 0;
  SrcFile_DefineCard("a", a);
  SrcFile_DefineCard("b", b);
  SrcFile_LoadFromLocation("prog", SrcFile_current);
  ASSERT_EQ(a, 1u);

  pid_t child = ::fork();
  if (child == 0) {
    SrcFile_SetCard("b", 2);
    SrcFile_SaveToLocation("prog", SrcFile_current);
    ::_exit(SrcFile_error);
  }
  ASSERT_EQ(WaitChild(child), 0);
  EXPECT_EQ(ReadFile(".progrc").find("C a= 1\n") != std::string::npos, true);

  SrcFile_SetCard("a", 5);
  SrcFile_SaveToLocation("prog", SrcFile_current);
  const std::string text = ReadFile(".progrc");
  EXPECT_NE(text.find("C a= 5\n"), std::string::npos) << text;
  EXPECT_NE(text.find("C b= 2\n"), std::string::npos) << text;
  EXPECT_NE(text.find("S note= old\n"), std::string::npos) << "loaded-only keys stay";
  EXPECT_EQ(b, 2u);

  // Once saved, b counts as unchanged again: a third writer's value is taken over.
  WriteFile(".progrc", "C a= 5\nC b= 3\n");
  SrcFile_SaveToLocation("prog", SrcFile_current);
  EXPECT_EQ(b, 3u);
}

TEST_F(SrcFileTest, ACrashBeforeTheRenameLeavesTheOldFileWhole) {
  const std::string old = "C a= 1\n";
  WriteFile(".progrc", old);
  std::uint32_t a = 0;
  SrcFile_DefineCard("a", a);
  pid_t child = ::fork();
  if (child == 0) {
    SrcFile_SetCard("a", 9);
    SrcFile_SetBeforeRenameHook([](StrIn, StrIn) { ::_exit(42); });
    SrcFile_SaveToLocation("prog", SrcFile_current);
    ::_exit(0);
  }
  ASSERT_EQ(WaitChild(child), 42);
  EXPECT_EQ(ReadFile(".progrc"), old);
  char host[128];
  DirAcces_GetMachineName(host);
  const std::string tmp = "./.progrc." + std::string(host) + "-" + std::to_string(child) + ".tmp";
  EXPECT_EQ(ReadFile(tmp), "C a= 9\n") << "the complete new text waits under the temporary name";

  std::string seenTmp, seenPath;
  SrcFile_SetBeforeRenameHook([&](StrIn t, StrIn p) {
    seenTmp = t.str();
    seenPath = p.str();
  });
  SrcFile_SetCard("a", 4);
  SrcFile_SaveToLocation("prog", SrcFile_current);
  EXPECT_EQ(seenPath, "./.progrc");
  EXPECT_EQ(seenTmp, "./.progrc." + std::string(host) + "-" + std::to_string(::getpid()) + ".tmp");
  EXPECT_NE(::access(seenTmp.c_str(), F_OK), 0);
  EXPECT_EQ(ReadFile(".progrc"), "C a= 4\n");
  struct stat st;
  ASSERT_EQ(::stat(".progrc", &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
}

std::string warning;
void Warn(StrIn text) { warning = text.str(); }

TEST_F(SrcFileTest, AWriteProtectedFileIsReportedToTheMessageCallback) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  std::uint32_t a = 3;
  SrcFile_DefineCard("a", a);
  SrcFile_DefineMessageCallback(Warn);
  WriteFile(".progrc", "C a= 1\n");
  ::chmod(".progrc", 0444);
  SrcFile_SaveToLocation("prog", SrcFile_current);
  EXPECT_NE(warning.find("./.progrc"), std::string::npos) << warning;
  EXPECT_EQ(ReadFile(".progrc"), "C a= 3\n") << "the directory allows the rename";
}

TEST_F(SrcFileTest, SavingWhereNoFileCanBeCreatedIsError5) {
  std::uint32_t a = 3;
  SrcFile_DefineCard("a", a);
  ::setenv("HOME", (SandboxDir() + "/no/such/dir").c_str(), 1);
  EXPECT_EQ(Quietly([] { SrcFile_SaveToLocation("prog", SrcFile_home); }), 5);
  SrcFile_SaveToLocation("prog", SrcFile_current);
  EXPECT_EQ(SrcFile_error, 0);
}

TEST_F(SrcFileTest, AutoSaveWritesTheProgramFileWhenTheProcessEnds) {
  pid_t child = ::fork();
  if (child == 0) {
    static std::uint32_t a = 0;
    SrcFile_DefineCard("a", a);
    SrcFile_AutoSave(SrcFile_current);
    SrcFile_AutoSave(SrcFile_current);
    SrcFile_SetCard("a", 11);
    Processe_Exit();
  }
  ASSERT_EQ(WaitChild(child), 0);
  const std::string file = "." + std::string(Processe_ProgramName()) + "rc";
  EXPECT_EQ(ReadFile(file), "C a= 11\n");
}

}  // namespace
