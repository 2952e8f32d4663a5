#include "FuFile.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "Capture.hpp"
#include "Messages.hpp"
#include "Msg.hpp"
#include "Sandbox.hpp"

namespace {

namespace fs = std::filesystem;
using namespace zolt::test;

class FuFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FuFile_Init();
    ::umask(022);
    // A directory of its own, also when every case runs in one process.
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const fs::path dir = fs::path(SandboxDir()) / "cases" / info->name();
    fs::create_directories(dir);
    fs::current_path(dir);
  }
  void TearDown() override { fs::current_path(SandboxDir()); }
  // Runs op inside an ignore bracket and forgets what it reported; the error number,
  // after checking that op answered with its failure value (false or -1).
  template <class Op>
  static int Fails(Op&& op) {
    MsgIgnoreErrors(true);
    const auto result = op();
    MsgIgnoreErrors(false);
    MsgForgetErrorReasons();
    if constexpr (std::is_same_v<decltype(result), const bool>) {
      EXPECT_FALSE(result);
    } else {
      EXPECT_EQ(result, -1);
    }
    return FuError();
  }
  static void MakeTree(const std::string& root) {
    fs::create_directories(root + "/sub/deeper");
    WriteFile(root + "/a.txt", "alpha\n");
    WriteFile(root + "/sub/b.txt", "beta\n");
    WriteFile(root + "/sub/deeper/c.txt", "gamma\n");
    fs::create_symlink("a.txt", root + "/link");
  }
  static unsigned Mode(const std::string& path) {
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st.st_mode & 07777;
  }
};

// ---- Copy, move, remove ----

TEST_F(FuFileTest, CopyKeepsContentsPermissionsTimesAndLinksOfFilesAndTrees) {
  WriteFile("src", "contents");
  ::chmod("src", 0640);
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(48);
  fs::last_write_time("src", old);
  ASSERT_EQ(FuCp("src", "dst"), 0);
  EXPECT_EQ(ReadFile("dst"), "contents");
  EXPECT_EQ(Mode("dst"), 0640u);
  EXPECT_EQ(fs::last_write_time("dst"), old);

  // Into an existing directory under the same name; an existing file is replaced.
  fs::create_directory("dir");
  ASSERT_EQ(FuCp("src", "dir"), 0);
  EXPECT_EQ(ReadFile("dir/src"), "contents");
  WriteFile("src", "new");
  ASSERT_EQ(FuCp("src", "dir/"), 0);
  EXPECT_EQ(ReadFile("dir/src"), "new");

  // Whole trees, with their links.
  MakeTree("tree");
  ASSERT_EQ(FuCp("tree", "copy"), 0);
  EXPECT_EQ(ReadFile("copy/sub/deeper/c.txt"), "gamma\n");
  EXPECT_TRUE(fs::is_symlink("copy/link"));
  EXPECT_EQ(fs::read_symlink("copy/link"), "a.txt");
  EXPECT_EQ(ReadFile("copy/link"), "alpha\n");
  ASSERT_EQ(FuCmp("tree/sub/b.txt", "copy/sub/b.txt"), 0);
}

TEST_F(FuFileTest, MoveAndRemoveTakeFilesLinksAndTrees) {
  WriteFile("one", "1");
  ASSERT_EQ(FuMv("one", "two"), 0);
  EXPECT_FALSE(fs::exists("one"));
  MakeTree("tree");
  fs::create_directory("target");
  ASSERT_EQ(FuMv("tree", "target"), 0);
  EXPECT_FALSE(fs::exists("tree"));
  EXPECT_EQ(ReadFile("target/tree/sub/b.txt"), "beta\n");

  // Removal takes links, not what they point to, and whole trees.
  MakeTree("tree");
  WriteFile("outside", "x");
  fs::create_symlink("../outside", "tree/sub/out");
  ASSERT_EQ(FuRm("tree/link"), 0);
  EXPECT_TRUE(fs::exists("tree/a.txt"));
  ASSERT_EQ(FuRm("tree"), 0);
  EXPECT_FALSE(fs::exists("tree"));
  EXPECT_EQ(ReadFile("outside"), "x");
}

TEST_F(FuFileTest, FailuresKeepTheirNumberAndSystemError) {
  EXPECT_EQ(Fails([] { return FuRm("missing"); }), 3);
  EXPECT_EQ(FuErrno(), ENOENT);

  EXPECT_EQ(Fails([] { return FuCp("missing", "x"); }), 6);

  WriteFile("src", "x");
  EXPECT_EQ(Fails([] { return FuCp("src", "no/such/dir/file"); }), 2);
  EXPECT_EQ(FuErrno(), ENOENT);

  EXPECT_EQ(Fails([] { return FuMv("missing", "x"); }), 7);

  // Each report carries the file concerned.
  MsgIgnoreErrors(true);
  FuRm("gone.txt");
  MsgIgnoreErrors(false);
  char reason[512];
  std::string reasons;
  while (MsgErrorReason(reason, sizeof reason) == 1) reasons += std::string(reason) + "|";
  EXPECT_NE(reasons.find("gone.txt"), std::string::npos) << reasons;

  EXPECT_EQ(FuCp("src", "fine"), 0);
  EXPECT_EQ(FuError(), 0);
}

TEST_F(FuFileTest, AFailureOutsideABracketIsFatal) {
  const auto r = RunInChild([] { FuRm("missing"); });
  EXPECT_EQ(r.exitStatus, 2);
  EXPECT_NE(r.err.find("FUtils"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("missing"), std::string::npos);
  EXPECT_EQ(r.err.find("message text not found"), std::string::npos) << r.err;
}

// ---- Compare, disk usage, output ----

TEST_F(FuFileTest, CompareTellsEqualDifferentAndUnreadable) {
  const std::string big(200000, 'q');
  WriteFile("a", big);
  WriteFile("b", big);
  WriteFile("c", big.substr(0, big.size() - 1) + "r");  // differs in the last byte
  WriteFile("d", big.substr(0, 65536));                 // a prefix of a block's length
  WriteFile("e", "");
  for (const auto& [x, y, want] : {std::tuple{"a", "b", 0},
                                   {"a", "c", 1},
                                   {"a", "d", 1},
                                   {"d", "a", 1},
                                   {"e", "e", 0},
                                   {"e", "a", 1}}) {
    EXPECT_EQ(FuCmp(x, y), want) << x << " " << y;
  }
  EXPECT_EQ(Fails([] { return FuCmp("a", "missing"); }), 1);
}

TEST_F(FuFileTest, DiskUsageCountsBlocksAndLinkedFilesOnce) {
  fs::create_directory("du");
  WriteFile("du/data", std::string(100000, 'z'));
  const double one = FuDu("du/data");
  EXPECT_GE(one, 100000.0);
  EXPECT_LT(one, 100000.0 + 64 * 1024);
  const double before = FuDu("du");
  EXPECT_GE(before, one);
  fs::create_hard_link("du/data", "du/again");
  EXPECT_EQ(FuDu("du"), before);
  WriteFile("du/more", std::string(50000, 'y'));
  EXPECT_GE(FuDu("du"), before + 50000.0);
  EXPECT_EQ(Fails([] { return FuDu("missing"); }), 6);
}

// ---- Search ----

TEST_F(FuFileTest, GrepCountsAndWritesTheMatchingLines) {
  WriteFile("log", "start job 1\nerror: disk full\nend job 1\nerror: tape 7");  // no last \n
  std::FILE* out = std::fopen("found", "w");
  EXPECT_EQ(FuGrep("log", "error", out), 2);
  std::fclose(out);
  EXPECT_EQ(ReadFile("found"), "error: disk full\nerror: tape 7\n");
  EXPECT_EQ(FuGrep("log", "job", nullptr), 2);
  EXPECT_EQ(FuGrep("log", "nothing", nullptr), 0);

  EXPECT_EQ(FuGrepPat("log", "^(start|end) job [0-9]+$", nullptr), 2);
  EXPECT_EQ(FuGrepPat("log", "tape [0-9]$", nullptr), 1);
  EXPECT_EQ(FuGrepPat("log", "", nullptr), 4);

  EXPECT_EQ(Fails([] { return FuGrepPat("log", "(unclosed", nullptr); }), 8);
  EXPECT_EQ(Fails([] { return FuGrep("missing", "x", nullptr); }), 1);
}

// ---- Tree walk ----

using Visits = std::vector<std::pair<std::string, int>>;

int Record(const char* path, const struct stat*, int kind, void* data) {
  static_cast<Visits*>(data)->emplace_back(path, kind);
  return 0;
}

TEST_F(FuFileTest, TreeWalkVisitsDirectoriesFirstInNameOrderAndStopsWithTheFunctionsResult) {
  MakeTree("tree");
  WriteFile("tree/B", "upper case sorts first");
  Visits seen;
  ASSERT_EQ(FuFTW("tree", Record, &seen), 0);
  const Visits expected = {
      {"tree", FuFTW_D},
      {"tree/B", FuFTW_F},
      {"tree/a.txt", FuFTW_F},
      {"tree/link", FuFTW_SL},
      {"tree/sub", FuFTW_D},
      {"tree/sub/b.txt", FuFTW_F},
      {"tree/sub/deeper", FuFTW_D},
      {"tree/sub/deeper/c.txt", FuFTW_F},
  };
  EXPECT_EQ(seen, expected);

  // A function's result other than 0 stops the walk and is its result.
  int visited = 0;
  const int rc = FuFTW(
      "tree",
      [](const char* path, const struct stat*, int, void* data) {
        ++*static_cast<int*>(data);
        return std::string(path) == "tree/sub" ? 42 : 0;
      },
      &visited);
  EXPECT_EQ(rc, 42);
  EXPECT_EQ(visited, 5);  // tree, B, a.txt, link, sub
  EXPECT_EQ(Fails([] { return FuFTW("missing", Record, nullptr); }), 6);
}

// ---- Directories and lookups ----

TEST_F(FuFileTest, AssertDirCreatesMissingParentsWithTheMode) {
  EXPECT_TRUE(FuAssertDir("x/y/z", 0750));
  EXPECT_TRUE(fs::is_directory("x/y/z"));
  EXPECT_EQ(Mode("x"), 0750u);
  EXPECT_EQ(Mode("x/y/z"), 0750u);
  EXPECT_TRUE(FuAssertDir("x/y/z", 0700));  // already there
  EXPECT_EQ(Mode("x/y/z"), 0750u);
  EXPECT_TRUE(FuAssertDir((SandboxDir() + "/abs/dir/").c_str(), 0755));
  EXPECT_TRUE(fs::is_directory(SandboxDir() + "/abs/dir"));

  WriteFile("plain", "");
  EXPECT_EQ(Fails([] { return FuAssertDir("plain/sub", 0755); }), 4);
}

TEST_F(FuFileTest, LookupFindsTheFirstDirectoryThatHoldsTheFile) {
  for (const char* d : {"p1", "p2", "p3"}) fs::create_directories(d);
  WriteFile("p2/tool", "");
  WriteFile("p3/tool", "");
  WriteFile("here", "");
  char result[256];
  ASSERT_TRUE(FuLookup("tool", "p1:p2:p3", F_OK, result, sizeof result));
  EXPECT_STREQ(result, "p2/tool");
  // An empty element stands for the current directory.
  ASSERT_TRUE(FuLookup("here", "p1::p2", F_OK, result, sizeof result));
  EXPECT_STREQ(result, "here");
  // The access mode counts: only p3's copy may be executed.
  ::chmod("p3/tool", 0755);
  ASSERT_TRUE(FuLookup("tool", "p1:p2:p3", X_OK, result, sizeof result));
  EXPECT_STREQ(result, "p3/tool");
  // A name with a directory is taken as it is.
  ASSERT_TRUE(FuLookup("p2/tool", "p1", F_OK, result, sizeof result));
  EXPECT_STREQ(result, "p2/tool");

  EXPECT_EQ(Fails([&] { return FuLookup("absent", "p1:p2", F_OK, result, sizeof result); }), 5);
  EXPECT_STREQ(result, "");
}

TEST_F(FuFileTest, LookupSkipsCombinationsTooLongForTheResult) {
  const std::string longDir(40, 'd');
  fs::create_directories(longDir);
  fs::create_directories("s");
  WriteFile(longDir + "/tool", "");
  WriteFile("s/tool", "");
  char result[16];
  bool found = false;
  const std::string err = CaptureStderr(
      [&] { found = FuLookup("tool", (longDir + ":s").c_str(), F_OK, result, sizeof result); });
  EXPECT_TRUE(found);
  EXPECT_STREQ(result, "s/tool");
  EXPECT_EQ(err, "FuLookup: path too long " + longDir + "/tool\n");
}

// ---- Backup copies and logs ----

TEST_F(FuFileTest, BackupKeepsTheLatestCopy) {
  EXPECT_EQ(FuBackupFile("settings"), 0);  // nothing to keep yet
  EXPECT_FALSE(fs::exists("settings.bak"));
  WriteFile("settings", "version 1");
  ASSERT_EQ(FuBackupFile("settings"), 0);
  EXPECT_EQ(ReadFile("settings.bak"), "version 1");
  WriteFile("settings", "version 2");
  ASSERT_EQ(FuBackupFile("settings"), 0);
  EXPECT_EQ(ReadFile("settings.bak"), "version 2");
  EXPECT_FALSE(fs::exists("settings.bak.new"));
}

TEST_F(FuFileTest, CutLogKeepsWholeLinesFromTheEnd) {
  std::string log;
  for (int i = 0; i < 100; ++i) log += "line " + std::to_string(1000 + i) + "\n";  // 10 each
  WriteFile("log", log);
  ::chmod("log", 0600);
  EXPECT_EQ(FuCutLog("log", 5000, 100), 0);  // small enough
  EXPECT_EQ(ReadFile("log"), log);

  ASSERT_EQ(FuCutLog("log", 500, 95), 1);
  const std::string cut = ReadFile("log");
  // 95 bytes would start inside a line; the partial line is dropped.
  EXPECT_EQ(cut, log.substr(log.size() - 90));
  EXPECT_EQ(Mode("log"), 0600u);

  // Exactly on a line start nothing more is dropped.
  WriteFile("log2", log);
  ASSERT_EQ(FuCutLog("log2", 500, 100), 1);
  EXPECT_EQ(ReadFile("log2"), log.substr(log.size() - 100));

  // A kept part without any line end leaves an empty log.
  WriteFile("log3", std::string(1000, 'n'));
  ASSERT_EQ(FuCutLog("log3", 500, 100), 1);
  EXPECT_EQ(ReadFile("log3"), "");

  EXPECT_EQ(Fails([] { return FuCutLog("missing", 1, 1); }), 6);
}

}  // namespace
