#include "DirAcces.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "Messages.hpp"
#include "Sandbox.hpp"

namespace {

using zolt::test::ReadFile;
using zolt::test::RunCommand;
using zolt::test::SandboxDir;
using zolt::test::WriteFile;

std::string S(const char* bounded, std::size_t cap) {
  return std::string(bounded, strnlen(bounded, cap));
}
template <std::size_t N>
std::string S(const char (&a)[N]) {
  return S(a, N);
}

// Pops every reason; the texts, most recent first.
std::vector<std::string> Reasons() {
  std::vector<std::string> out;
  char text[5120];
  while (Messages_ErrorReason(text)) out.push_back(S(text));
  return out;
}

std::string MessageText(const std::string& section, unsigned number) {
  char text[5120];
  Messages_GetMsg(section, number, text);
  return S(text);
}

bool Contains(const std::vector<std::string>& v, const std::string& part) {
  for (const auto& s : v) {
    if (s.find(part) != std::string::npos) return true;
  }
  return false;
}

// Every variable the module reads or exports, saved and restored around each test so
// that the cases stay independent also when they share one process.
const char* const kVars[] = {"VM_PROJECTS",
                             "VM_CUSTOMER",
                             "VM_NODE",
                             "ZOLTENV",
                             "ZOLTLIB",
                             "ZOLTDAT",
                             "TMP",
                             "PATH",
                             "HOST",
                             "ICONS",
                             "VELSC",
                             "VELMAR_INSTANCE",
                             "VELMAR_INSTANCE_HOME",
                             "VELMAR_DISTRIBUTION",
                             "VM_PRINT_PROOFS",
                             "VM_RETRIES",
                             "VM_RATIO"};

class DirAccesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DirAcces_Init();
    for (const char* v : kVars) {
      const char* value = std::getenv(v);
      if (value) saved_[v] = value;
    }
    start_ = SandboxDir() + "/work";
    DirAcces_SetInstallRoot(SandboxDir() + "/inst");  // nothing installed there
  }
  void TearDown() override {
    for (const char* v : kVars) {
      auto it = saved_.find(v);
      if (it == saved_.end()) {
        ::unsetenv(v);
      } else {
        ::setenv(v, it->second.c_str(), 1);
      }
    }
    DirAcces_SetInstallRoot("");
    DirAcces_SetNodeNameSource(nullptr);
    DirAcces_ChDir(start_);
    Messages_ForgetErrorReasons();
    Reasons();
  }
  std::string Env(const std::string& name) {
    char value[1024];
    DirAcces_EnvVar(name, value);
    return S(value);
  }
  std::map<std::string, std::string> saved_;
  std::string start_;
};

// ---- Path text ----

TEST(DirAccesPaths, IncludePathJoinsWithExactlyOneSlash) {
  const std::pair<std::pair<std::string_view, std::string_view>, std::string_view> cases[] = {
      {{"a/", "/b"}, "a/b"},   {{"", "b"}, "b"},           {{"", "/b"}, "/b"},
      {{"a", "b"}, "a/b"},     {{"a/", "b"}, "a/b"},       {{"a", "/b"}, "a/b"},
      {{"/", "x"}, "/x"},      {{"/", "/x"}, "/x"},        {{"a//", "//b"}, "a///b"},
      {{"/usr", ""}, "/usr/"}, {{"a/b", "c/d"}, "a/b/c/d"}};
  for (const auto& [in, want] : cases) {
    char path[128];
    DirAcces_IncludePath(in.first, in.second, path);
    EXPECT_EQ(S(path), want) << "'" << in.first << "' + '" << in.second << "'";
  }
}

TEST(DirAccesPaths, ExcludePathSplitsAtTheLastSlash) {
  const std::tuple<std::string_view, std::string_view, std::string_view> cases[] = {
      {"/name", "/", "name"}, {"a/b/c", "a/b", "c"}, {"name", "", "name"}, {"a/b/", "a/b", ""},
      {"/", "/", ""},         {"", "", ""},          {"//x", "/", "x"},    {"a", "", "a"}};
  for (const auto& [path, dir, name] : cases) {
    char d[128] = "junk", n[128] = "junk";
    DirAcces_ExcludePath(path, d, n);
    EXPECT_EQ(S(d), dir) << path;
    EXPECT_EQ(S(n), name) << path;
  }
}

TEST(DirAccesPaths, PathHeadsOfAbsoluteRelativeAndEmptyPaths) {
  const std::tuple<std::string_view, std::string_view, std::string_view> cases[] = {
      // path, head, path after CutPathHead
      {"/a/b", "/", "a/b"},   {"a/b", "a", "b"}, {"", "", ""},   {"a", "a", ""},
      {"a//b/c", "a", "b/c"}, {"//x", "/", "x"}, {"/", "/", ""}, {"a/", "a", ""}};
  for (const auto& [path, head, rest] : cases) {
    char h[128] = "junk";
    DirAcces_GetPathHead(path, h);
    EXPECT_EQ(S(h), head) << path;
    char p[128] = {};
    path.copy(p, path.size());
    char h2[128] = "junk";
    DirAcces_CutPathHead(p, h2);
    EXPECT_EQ(S(h2), head) << path;
    EXPECT_EQ(S(p), rest) << path;
  }
  // Walking a path head by head reaches every component once.
  char p[128] = "/projects/orders/job 1";
  char h[128];
  std::vector<std::string> heads;
  while (p[0] != '\0') {
    DirAcces_CutPathHead(p, h);
    heads.push_back(S(h));
  }
  EXPECT_EQ(heads, (std::vector<std::string>{"/", "projects", "orders", "job 1"}));
}

TEST(DirAccesPaths, OverlongResultsAreCutAndNeverOverflow) {
  struct {
    char out[8];
    char guard[8];
  } b;
  std::memset(b.guard, 'G', sizeof b.guard);
  DirAcces_IncludePath("/very/long/directory", "file.name", b.out);
  EXPECT_EQ(std::string(b.out, 8), "/very/lo");  // full: no terminator
  EXPECT_EQ(std::string(b.guard, 8), "GGGGGGGG");

  struct {
    char dir[4];
    char name[4];
    char guard[4];
  } x;
  std::memset(x.guard, 'G', sizeof x.guard);
  DirAcces_ExcludePath("/abcdef/ghijkl", x.dir, x.name);
  EXPECT_EQ(std::string(x.dir, 4), "/abc");
  EXPECT_EQ(std::string(x.name, 4), "ghij");
  EXPECT_EQ(std::string(x.guard, 4), "GGGG");

  // A source without terminator (full array) is read only up to its bound.
  const char unterminated[3] = {'a', 'b', 'c'};
  char joined[16];
  DirAcces_IncludePath(unterminated, "d", joined);
  EXPECT_EQ(S(joined), "abc/d");
}

TEST(DirAccesPaths, PrefixOperationsWorkOnWholeComponents) {
  EXPECT_TRUE(DirAcces_PathStartsWith("/projects/orders", "/projects"));
  EXPECT_TRUE(DirAcces_PathStartsWith("/projects/orders", "/projects/"));
  EXPECT_TRUE(DirAcces_PathStartsWith("/projects", "/projects"));
  EXPECT_FALSE(DirAcces_PathStartsWith("/projectsX/orders", "/projects"));
  EXPECT_TRUE(DirAcces_PathStartsWith("/x", "/"));
  EXPECT_FALSE(DirAcces_PathStartsWith("x", "/"));

  char r[128];
  EXPECT_TRUE(DirAcces_ReplacePathHead("/projects/orders/a", "/projects", "/nfs/host/projects", r));
  EXPECT_EQ(S(r), "/nfs/host/projects/orders/a");
  EXPECT_TRUE(DirAcces_ReplacePathHead("/projects", "/projects/", "/p", r));
  EXPECT_EQ(S(r), "/p");
  EXPECT_TRUE(DirAcces_ReplacePathHead("/a/b", "/", "/root/", r));
  EXPECT_EQ(S(r), "/root/a/b");
  EXPECT_FALSE(DirAcces_ReplacePathHead("/projectsX/a", "/projects", "/p", r));
  EXPECT_EQ(S(r), "/projectsX/a");

  EXPECT_TRUE(DirAcces_ContainsPath("/bin:/usr/local/bin/:/opt/x", "/usr/local/bin"));
  EXPECT_TRUE(DirAcces_ContainsPath("/bin:/opt/x", "/opt/x/"));
  EXPECT_FALSE(DirAcces_ContainsPath("/bin:/opt/xy", "/opt/x"));
  EXPECT_FALSE(DirAcces_ContainsPath("", "/bin"));
}

// ---- File status and the file system ----

TEST_F(DirAccesTest, AccessModesAndStatusFields) {
  WriteFile("data.txt", "twelve bytes");
  ASSERT_EQ(::chmod("data.txt", 0640), 0);
  ASSERT_EQ(::mkdir("dir", 0755), 0);
  ASSERT_EQ(::symlink("data.txt", "link"), 0);

  EXPECT_TRUE(DirAcces_Access("data.txt", DirAcces_exists));
  EXPECT_TRUE(DirAcces_Access("data.txt", DirAcces_readable));
  EXPECT_FALSE(DirAcces_Access("data.txt", DirAcces_searchable));
  EXPECT_TRUE(DirAcces_Access("dir", DirAcces_searchable));
  EXPECT_FALSE(DirAcces_Access("missing", DirAcces_exists));
  EXPECT_EQ(DirAcces_dirError, 1);
  EXPECT_FALSE(DirAcces_Access("data.txt/below", DirAcces_exists));
  EXPECT_EQ(DirAcces_dirError, 3);

  ::setenv("TZ", "UTC0", 1);
  ::tzset();
  DirAcces_ChTimes("data.txt", 1600000000, 1700000000);  // modified 14.11.2023 22:13:20
  ASSERT_EQ(DirAcces_dirError, 0);
  DirAcces_DirEntry e{};
  DirAcces_FileStatN("link", e);
  ASSERT_EQ(DirAcces_dirError, 0);
  EXPECT_EQ(S(e.name), "link");
  EXPECT_EQ(e.size, 12.0);
  EXPECT_EQ(e.modifyTime, 1700000000);
  EXPECT_EQ(e.accessTime, 1600000000);
  EXPECT_EQ(
      (std::vector<unsigned>{e.day, e.month, e.year, e.hour, e.minute, e.second, e.millisecond}),
      (std::vector<unsigned>{14, 11, 2023, 22, 13, 20, 0}));
  EXPECT_TRUE(DirAcces_IsRegularFile(e));
  EXPECT_FALSE(e.isSymlink);
  EXPECT_EQ(e.mode & 07777, 0640u);
  EXPECT_EQ(e.links, 1u);
  EXPECT_EQ(e.reserved, 0u);
  EXPECT_EQ(DirAcces_LastModified("data.txt"), 1700000000);

  DirAcces_LFileStatN("link", e);
  EXPECT_TRUE(e.isSymlink);
  EXPECT_TRUE(DirAcces_IsSymlink(e));
  EXPECT_FALSE(DirAcces_IsRegularFile(e));

  DirAcces_FileStatN("dir/", e);
  EXPECT_TRUE(e.isDirectory);
  EXPECT_TRUE(DirAcces_IsDirectory(e));

  struct stat st {};
  ASSERT_EQ(::stat("data.txt", &st), 0);
  FileIO_File f = FileIO_Open("data.txt", FileIO_readOnly);
  DirAcces_FileStatF(f, e);
  FileIO_Close(f);
  EXPECT_EQ(e.inode, st.st_ino);
  EXPECT_EQ((std::uint64_t{e.device[0]} << 32) | e.device[1], st.st_dev);
  EXPECT_EQ(S(e.name), "");
}

TEST_F(DirAccesTest, MissingFilesGiveTheirErrorValuesAndReasons) {
  WriteFile("plain", "x");
  DirAcces_DirEntry e{};
  const std::pair<std::string_view, int> cases[] = {{"nothing/here", 1}, {"plain/below", 3}};
  for (const auto& [path, value] : cases) {
    Messages_IgnoreErrors(true);
    DirAcces_FileStatN(path, e);
    Messages_IgnoreErrors(false);
    EXPECT_EQ(DirAcces_dirError, value) << path;
    const auto reasons = Reasons();
    ASSERT_EQ(reasons.size(), 3u) << path;
    EXPECT_EQ(reasons[0], MessageText("DirAcces", value));
    EXPECT_NE(reasons[1].find("DirAcces.Error : code = "), std::string::npos);
    EXPECT_NE(reasons[2].find(path), std::string::npos);
  }

  Messages_IgnoreErrors(true);
  DirAcces_Remove("missing");
  EXPECT_EQ(DirAcces_dirError, 1);
  DirAcces_RmDir("plain");
  EXPECT_EQ(DirAcces_dirError, 3);
  DirAcces_ReadLink("plain", e.name);
  EXPECT_NE(DirAcces_dirError, 0);
  EXPECT_EQ(S(e.name), "");
  DirAcces_Dir d = DirAcces_OpenDir("missing");
  EXPECT_EQ(d, DirAcces_NilDir);
  EXPECT_EQ(DirAcces_dirError, 1);
  DirAcces_ChMod("missing", 0644);
  EXPECT_EQ(DirAcces_dirError, 1);
  EXPECT_EQ(DirAcces_LastModified("missing"), 0);
  Messages_IgnoreErrors(false);
}

TEST_F(DirAccesTest, ErrorOutsideABracketEndsTheProgram) {
  DirAcces_DirEntry e{};
  EXPECT_EXIT(DirAcces_FileStatN("no-such-file", e), ::testing::ExitedWithCode(2),
              "DirAcces.Error : code = 2");
}

TEST_F(DirAccesTest, MkDirRecursiveMkDirAndRemoval) {
  DirAcces_MkDir("a");
  EXPECT_EQ(DirAcces_dirError, 0);
  Messages_IgnoreErrors(true);
  DirAcces_MkDir("a");
  Messages_IgnoreErrors(false);
  EXPECT_EQ(DirAcces_dirError, 4);
  Messages_ForgetErrorReasons();

  EXPECT_TRUE(DirAcces_RecursiveMkDir("a", 0));
  EXPECT_EQ(DirAcces_dirError, 0);
  EXPECT_TRUE(DirAcces_RecursiveMkDir("a/b//c/d/", 0750));
  struct stat st {};
  ASSERT_EQ(::stat("a/b/c/d", &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  ASSERT_EQ(::stat("a", &st), 0);
  EXPECT_NE(st.st_mode & 07777, 0750u);  // existing parents keep their mode

  WriteFile("file", "");
  Messages_IgnoreErrors(true);
  EXPECT_FALSE(DirAcces_RecursiveMkDir("file/sub", 0));
  Messages_IgnoreErrors(false);
  EXPECT_EQ(DirAcces_dirError, 3);
  Messages_ForgetErrorReasons();

  DirAcces_RmDir("a/b/c/d");
  EXPECT_EQ(DirAcces_dirError, 0);
  EXPECT_FALSE(DirAcces_Access("a/b/c/d", DirAcces_exists));
  DirAcces_Remove("file");
  EXPECT_FALSE(DirAcces_Access("file", DirAcces_exists));
}

TEST_F(DirAccesTest, RenameRefusesAnExistingTargetAtomicRenameReplacesIt) {
  WriteFile("old", "old text");
  WriteFile("new", "new text");
  Messages_IgnoreErrors(true);
  DirAcces_Rename("old", "new");
  Messages_IgnoreErrors(false);
  EXPECT_EQ(DirAcces_dirError, 2);
  Messages_ForgetErrorReasons();
  EXPECT_EQ(ReadFile("old"), "old text");
  EXPECT_EQ(ReadFile("new"), "new text");

  DirAcces_AtomicRename("old", "new");
  EXPECT_EQ(DirAcces_dirError, 0);
  EXPECT_EQ(ReadFile("new"), "old text");
  EXPECT_FALSE(DirAcces_Access("old", DirAcces_exists));

  DirAcces_Rename("new", "moved");
  EXPECT_EQ(DirAcces_dirError, 0);
  EXPECT_EQ(ReadFile("moved"), "old text");
  EXPECT_FALSE(DirAcces_Access("new", DirAcces_exists));

  // A directory cannot be hard-linked, yet it is renamed when the target is free.
  ASSERT_EQ(::mkdir("d1", 0755), 0);
  DirAcces_Rename("d1", "d2");
  EXPECT_EQ(DirAcces_dirError, 0);
  EXPECT_TRUE(DirAcces_Access("d2", DirAcces_searchable));
  ASSERT_EQ(::mkdir("d3", 0755), 0);
  Messages_IgnoreErrors(true);
  DirAcces_Rename("d2", "d3");
  Messages_IgnoreErrors(false);
  EXPECT_EQ(DirAcces_dirError, 2);
  Messages_ForgetErrorReasons();
}

TEST_F(DirAccesTest, LinksCopiesMovesAndComparisons) {
  WriteFile("f", "content");
  DirAcces_Link("f", "hard");
  DirAcces_Symlink("f", "soft");
  char target[64];
  DirAcces_ReadLink("soft", target);
  EXPECT_EQ(S(target), "f");
  char real[1024];
  DirAcces_RealPath("soft", real);
  char expected[1024];
  ASSERT_NE(::realpath("f", expected), nullptr);
  EXPECT_EQ(S(real), expected);
  DirAcces_DirEntry e{};
  DirAcces_FileStatN("f", e);
  EXPECT_EQ(e.links, 2u);

  // A tree with a file, a nested directory and a symbolic link.
  ASSERT_TRUE(DirAcces_RecursiveMkDir("tree/sub", 0));
  WriteFile("tree/a", "A");
  WriteFile("tree/sub/b", "BB");
  ASSERT_EQ(::symlink("../a", "tree/sub/toA"), 0);
  ASSERT_EQ(::chmod("tree/a", 0600), 0);
  DirAcces_Copy("tree", "copy");
  ASSERT_EQ(DirAcces_dirError, 0);
  EXPECT_EQ(ReadFile("copy/a"), "A");
  EXPECT_EQ(ReadFile("copy/sub/b"), "BB");
  DirAcces_ReadLink("copy/sub/toA", target);
  EXPECT_EQ(S(target), "../a");
  struct stat st {};
  ASSERT_EQ(::stat("copy/a", &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_TRUE(DirAcces_FilesEqual("tree/sub/b", "copy/sub/b"));
  EXPECT_FALSE(DirAcces_FilesEqual("tree/a", "copy/sub/b"));
  EXPECT_FALSE(DirAcces_FilesEqual("tree/a", "missing"));
  EXPECT_TRUE(DirAcces_OnSameFilesystem("tree", "copy/sub"));
  EXPECT_TRUE(DirAcces_OnSameFilesystem("/proc/self", "/proc"));
  EXPECT_FALSE(DirAcces_OnSameFilesystem("tree", "/proc/self"));

  DirAcces_Move("copy", "moved-tree");
  EXPECT_EQ(DirAcces_dirError, 0);
  EXPECT_FALSE(DirAcces_Access("copy", DirAcces_exists));
  EXPECT_EQ(ReadFile("moved-tree/sub/b"), "BB");

  DirAcces_CopyFile("f", "f2");
  EXPECT_TRUE(DirAcces_FilesEqual("f", "f2"));
  DirAcces_MoveFile("f2", "f3");
  EXPECT_TRUE(DirAcces_FilesEqual("f", "f3"));
  EXPECT_FALSE(DirAcces_Access("f2", DirAcces_exists));
  Messages_IgnoreErrors(true);
  DirAcces_CopyFile("tree", "nope");
  Messages_IgnoreErrors(false);
  EXPECT_EQ(DirAcces_dirError, 7);
  Messages_ForgetErrorReasons();

  DirAcces_Touch("touched");
  EXPECT_TRUE(DirAcces_Access("touched", DirAcces_exists));
  DirAcces_ChTimes("touched", 0, 1000);
  DirAcces_Touch("touched");
  EXPECT_GT(DirAcces_LastModified("touched"), 1000);
  DirAcces_ChMod("touched", 0604);
  ASSERT_EQ(::stat("touched", &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
}

// ---- Listings ----

std::set<std::string> ListCurrent(bool follow) {
  std::set<std::string> names;
  DirAcces_DirEntry e{};
  for (bool more = follow ? DirAcces_GetFirstEntry(e) : DirAcces_LGetFirstEntry(e); more;
       more = follow ? DirAcces_GetNextEntry(e) : DirAcces_LGetNextEntry(e)) {
    names.insert(S(e.name) + (e.isDirectory ? "/" : e.isSymlink ? "@" : ""));
  }
  return names;
}

TEST_F(DirAccesTest, ListingsOfTheCurrentAndOfAnyDirectory) {
  ASSERT_EQ(::mkdir("list", 0755), 0);
  WriteFile("list/one", "1");
  ASSERT_EQ(::mkdir("list/sub", 0755), 0);
  ASSERT_EQ(::symlink("one", "list/good"), 0);
  ASSERT_EQ(::symlink("missing", "list/dangling"), 0);
  DirAcces_ChDir("list");

  // Following links: the dangling link cannot be examined and is left out.
  EXPECT_EQ(ListCurrent(true), (std::set<std::string>{"./", "../", "one", "sub/", "good"}));
  EXPECT_EQ(ListCurrent(false),
            (std::set<std::string>{"./", "../", "one", "sub/", "good@", "dangling@"}));

  // A new first call starts again; after the end the listing stays closed.
  DirAcces_DirEntry e{};
  EXPECT_TRUE(DirAcces_GetFirstEntry(e));
  EXPECT_TRUE(DirAcces_GetFirstEntry(e));
  while (DirAcces_GetNextEntry(e)) {
  }
  EXPECT_FALSE(DirAcces_GetNextEntry(e));

  DirAcces_ChDir("..");
  DirAcces_Dir d = DirAcces_OpenDir("list");
  ASSERT_NE(d, DirAcces_NilDir);
  std::set<std::string> names;
  while (DirAcces_GetDirEntry(d, e, false)) names.insert(S(e.name));
  EXPECT_EQ(names.count("dangling"), 1u);
  DirAcces_CloseDir(d);
  EXPECT_EQ(d, DirAcces_NilDir);

  d = DirAcces_OpenDir("list/sub");
  char name[4];
  std::set<std::string> small;
  while (DirAcces_GetSmallDirEntry(d, name)) small.insert(S(name));
  EXPECT_EQ(small, (std::set<std::string>{".", ".."}));
  DirAcces_CloseDir(d);
}

// ---- Current directory ----

TEST_F(DirAccesTest, ChDirKeepsALogicalDirectoryLikeAShell) {
  char cwd[1024];
  DirAcces_CurrentDir(cwd);
  EXPECT_EQ(S(cwd), start_);  // before any ChDir: the canonical directory

  ASSERT_TRUE(DirAcces_RecursiveMkDir(SandboxDir() + "/real/deep", 0));
  ASSERT_EQ(::symlink((SandboxDir() + "/real/deep").c_str(), "shortcut"), 0);
  DirAcces_ChDir("shortcut/./");
  ASSERT_EQ(DirAcces_dirError, 0);
  DirAcces_CurrentDir(cwd);
  EXPECT_EQ(S(cwd), start_ + "/shortcut");
  char real[1024];
  ASSERT_NE(::getcwd(real, sizeof real), nullptr);
  EXPECT_EQ(std::string(real), SandboxDir() + "/real/deep");

  // ".." goes back along the way we came, not to the physical parent.
  DirAcces_ChDir("..");
  DirAcces_CurrentDir(cwd);
  EXPECT_EQ(S(cwd), start_);

  Messages_IgnoreErrors(true);
  DirAcces_ChDir("shortcut/missing");
  Messages_IgnoreErrors(false);
  EXPECT_EQ(DirAcces_dirError, 1);
  Messages_ForgetErrorReasons();
  DirAcces_CurrentDir(cwd);
  EXPECT_EQ(S(cwd), start_);
  ASSERT_NE(::getcwd(real, sizeof real), nullptr);
  EXPECT_EQ(std::string(real), start_);

  DirAcces_ChDir("/../..");
  DirAcces_CurrentDir(cwd);
  EXPECT_EQ(S(cwd), "/");

  char tiny[5];
  DirAcces_ChDir(start_);
  DirAcces_CurrentDir(tiny);
  EXPECT_EQ(std::string(tiny, 5), start_.substr(0, 5));
}

// ---- Environment, defaults, special paths and flags ----

TEST_F(DirAccesTest, UnsetDirectoryVariablesGetComputedDefaultsThatChildrenInherit) {
  const std::string lib = SandboxDir() + "/lib";
  for (const char* v : {"VM_PROJECTS", "VM_CUSTOMER", "VM_NODE", "ZOLTENV", "ZOLTDAT", "TMP",
                        "VELSC", "ICONS", "VELMAR_INSTANCE"}) {
    ::unsetenv(v);
  }
  ::setenv("ZOLTLIB", lib.c_str(), 1);
  ASSERT_TRUE(DirAcces_RecursiveMkDir(lib + "/dat", 0));
  const std::string inst = SandboxDir() + "/inst";

  // Nothing installed: every default falls back to the distribution directory.
  EXPECT_EQ(Env("VM_CUSTOMER"), lib + "/customer");
  EXPECT_EQ(Env("VM_NODE"), lib + "/customer");
  EXPECT_EQ(Env("VM_PROJECTS"), inst + "/opt/velmar/projects");
  EXPECT_EQ(Env("TMP"), "/tmp");  // the projects directory is not searchable
  EXPECT_EQ(Env("ZOLTENV"), lib + "/customer:" + lib + "/env");
  EXPECT_EQ(Env("ZOLTDAT"), lib + "/dat");
  EXPECT_EQ(Env("VELSC"), lib + "/postscript");
  EXPECT_EQ(Env("ICONS"), inst + "/opt/velmar/projects/icons:" + lib + "/icons");
  EXPECT_EQ(Env("VELMAR_INSTANCE"), "default");

  const auto r = RunCommand(
      "echo \"$VM_CUSTOMER|$VM_NODE|$VM_PROJECTS|$TMP|$ZOLTENV|$ZOLTDAT|$VELMAR_INSTANCE\"");
  EXPECT_EQ(r.out, lib + "/customer|" + lib + "/customer|" + inst + "/opt/velmar/projects|/tmp|" +
                       lib + "/customer:" + lib + "/env|" + lib + "/dat|default\n");

  // A set variable is returned as it is, even when empty.
  ::setenv("TMP", "", 1);
  char value[64] = "junk";
  EXPECT_TRUE(DirAcces_EnvVar("TMP", value));
  EXPECT_EQ(S(value), "");
  EXPECT_FALSE(DirAcces_EnvVar("ZOLT_SURELY_UNSET_VARIABLE", value));
  EXPECT_EQ(S(value), "");
}

TEST_F(DirAccesTest, InstalledDirectoriesArePreferredWhenUsable) {
  const std::string inst = SandboxDir() + "/installed";
  DirAcces_SetInstallRoot(inst);
  for (const char* v : {"VM_PROJECTS", "VM_CUSTOMER", "VM_NODE", "ZOLTDAT", "TMP"}) ::unsetenv(v);
  ASSERT_TRUE(DirAcces_RecursiveMkDir(inst + "/etc/opt/velmar", 0));
  ASSERT_TRUE(DirAcces_RecursiveMkDir(inst + "/opt/velmar/customer", 0));
  ASSERT_TRUE(DirAcces_RecursiveMkDir(inst + "/projects/tmp", 0));
  ASSERT_TRUE(DirAcces_RecursiveMkDir(inst + "/var/opt/velmar", 0));
  EXPECT_EQ(Env("VM_CUSTOMER"), inst + "/etc/opt/velmar");
  EXPECT_EQ(Env("VM_PROJECTS"), inst + "/projects");
  EXPECT_EQ(Env("TMP"), inst + "/projects/tmp");
  EXPECT_EQ(Env("ZOLTDAT"), inst + "/var/opt/velmar");
  EXPECT_EQ(RunCommand("echo $ZOLTDAT").out, inst + "/var/opt/velmar\n");
}

TEST_F(DirAccesTest, LibraryDefaultIsTheParentOfTheProgramDirectory) {
  ::unsetenv("ZOLTLIB");
  ::unsetenv("VELMAR_DISTRIBUTION");
  ::setenv("PATH", "/usr/bin:/bin", 1);
  // The test programs live in <build>/test-bin, so the distribution is the build tree.
  char exe[4096];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  exe[n] = '\0';
  const std::string progDir = std::string(exe).substr(0, std::string(exe).rfind('/'));
  const std::string lib = progDir.substr(0, progDir.rfind('/'));
  EXPECT_EQ(Env("ZOLTLIB"), lib);
  EXPECT_EQ(std::string(std::getenv("VELMAR_DISTRIBUTION")), lib);
  EXPECT_EQ(std::string(std::getenv("PATH")), "/usr/bin:/bin:" + progDir);
}

TEST_F(DirAccesTest, InstanceFileIsNamedAndAnnouncedWhenPresent) {
  char path[256];
  ::unsetenv("VELMAR_INSTANCE");
  ::unsetenv("VELMAR_INSTANCE_HOME");
  DirAcces_GetInstanceFilename(path);
  EXPECT_EQ(S(path), SandboxDir() + "/inst/etc/opt/velmar/instance.default");
  ::setenv("VELMAR_INSTANCE_HOME", (SandboxDir() + "/home").c_str(), 1);
  ::setenv("VELMAR_INSTANCE", "night", 1);
  DirAcces_GetInstanceFilename(path);
  const std::string instance = SandboxDir() + "/home/instance.night";
  EXPECT_EQ(S(path), instance);

  WriteFile(instance, "");
  ::unsetenv("ZOLTLIB");
  ::testing::internal::CaptureStderr();
  Env("ZOLTLIB");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Warning: instance file available but ignored: " + instance + "\n");
}

TEST_F(DirAccesTest, UnwritableDataDirectoryIsFatal) {
  WriteFile(SandboxDir() + "/plainfile", "");
  const std::string dat = SandboxDir() + "/plainfile/dat";
  ::setenv("ZOLTDAT", dat.c_str(), 1);
  EXPECT_EXIT(Env("ZOLTDAT"), ::testing::ExitedWithCode(2),
              "\\*\\*\\* Fatal: Can't write to directory \\$ZOLTDAT==" + dat + "\n");
  // The same for a computed default.
  ::unsetenv("ZOLTDAT");
  ::setenv("ZOLTLIB", (SandboxDir() + "/plainfile").c_str(), 1);
  EXPECT_EXIT(Env("ZOLTDAT"), ::testing::ExitedWithCode(2),
              "Can't write to directory \\$ZOLTDAT==" + dat);
}

TEST_F(DirAccesTest, EnvironmentAccessAndOverlongValues) {
  DirAcces_PutEnvVar("ZOLT_TEST_VALUE", "0123456789abcdef");
  EXPECT_EQ(RunCommand("echo $ZOLT_TEST_VALUE").out, "0123456789abcdef\n");
  struct {
    char value[6];
    char guard[4];
  } b;
  std::memset(b.guard, 'G', 4);
  EXPECT_TRUE(DirAcces_EnvVar("ZOLT_TEST_VALUE", b.value));
  EXPECT_EQ(std::string(b.value, 6), "012345");
  EXPECT_EQ(std::string(b.guard, 4), "GGGG");

  Messages_IgnoreErrors(true);
  DirAcces_PutEnvVar("BAD=NAME", "x");
  Messages_IgnoreErrors(false);
  EXPECT_EQ(DirAcces_dirError, 8);
  Messages_ForgetErrorReasons();

  bool seen = false;
  char name[128], value[128];
  for (std::size_t i = 0; DirAcces_GetNthEnvVar(i, name, value); ++i) {
    if (S(name) == "ZOLT_TEST_VALUE") seen = S(value) == "0123456789abcdef";
  }
  EXPECT_TRUE(seen);
  ::unsetenv("ZOLT_TEST_VALUE");
}

TEST_F(DirAccesTest, SpecialPathsTakeTheFirstElement) {
  ::setenv("VM_CUSTOMER", "/first:/second", 1);
  ::setenv("VM_PROJECTS", "", 1);
  char path[128];
  DirAcces_GetSpecialPath(DirAcces_customerPath, path);
  EXPECT_EQ(S(path), "/first");
  DirAcces_GetSpecialPath(DirAcces_projectsPath, path);
  EXPECT_EQ(S(path), "/");
  DirAcces_GetSpecialPath(99, path);
  EXPECT_EQ(S(path), "/");
  DirAcces_IncludeSpecialPath(DirAcces_customerPath, "juke.conf", path);
  EXPECT_EQ(S(path), "/first/juke.conf");

  const std::string a = SandboxDir() + "/a", b = SandboxDir() + "/b";
  ASSERT_TRUE(DirAcces_RecursiveMkDir(a, 0));
  ASSERT_TRUE(DirAcces_RecursiveMkDir(b, 0));
  WriteFile(b + "/devices.cfg", "");
  ::setenv("ZOLTENV", (a + ":" + b).c_str(), 1);
  EXPECT_TRUE(DirAcces_AccessSpecial(DirAcces_envPath, "devices.cfg", DirAcces_readable, path));
  EXPECT_EQ(S(path), b + "/devices.cfg");
  EXPECT_FALSE(DirAcces_AccessSpecial(DirAcces_envPath, "other.cfg", DirAcces_exists, path));
  EXPECT_EQ(S(path), "");
}

TEST_F(DirAccesTest, FlagsFromVariablesOrMarkerFiles) {
  const std::string customer = SandboxDir() + "/customer";
  ::setenv("VM_CUSTOMER", customer.c_str(), 1);
  ::unsetenv("VM_PRINT_PROOFS");
  EXPECT_FALSE(DirAcces_CheckFlag("PRINT_PROOFS"));
  WriteFile(customer + "/PRINT_PROOFS", "");
  EXPECT_TRUE(DirAcces_CheckFlag("PRINT_PROOFS"));

  for (const char* off : {"Off", "FALSE", "no"}) {
    ::setenv("VM_PRINT_PROOFS", off, 1);
    EXPECT_FALSE(DirAcces_CheckFlag("PRINT_PROOFS")) << off;  // the variable wins over the file
  }
  for (const char* on : {"on", "yes", "", "1", "offline"}) {
    ::setenv("VM_PRINT_PROOFS", on, 1);
    EXPECT_TRUE(DirAcces_CheckFlag("PRINT_PROOFS")) << on;
  }

  // SetFlag changes the variable when there is one ...
  DirAcces_SetFlag("PRINT_PROOFS", false);
  EXPECT_STREQ(std::getenv("VM_PRINT_PROOFS"), "off");
  EXPECT_TRUE(DirAcces_Access(customer + "/PRINT_PROOFS", DirAcces_exists));
  // ... and the marker file otherwise.
  ::unsetenv("VM_PRINT_PROOFS");
  DirAcces_SetFlag("PRINT_PROOFS", false);
  EXPECT_FALSE(DirAcces_Access(customer + "/PRINT_PROOFS", DirAcces_exists));
  EXPECT_FALSE(DirAcces_CheckFlag("PRINT_PROOFS"));
  DirAcces_SetFlag("PRINT_PROOFS", false);  // already off: no error
  EXPECT_EQ(DirAcces_dirError, 0);
  DirAcces_SetFlag("PRINT_PROOFS", true);
  EXPECT_TRUE(DirAcces_CheckFlag("PRINT_PROOFS"));

  std::int64_t n = -1;
  ::setenv("VM_RETRIES", "42", 1);
  EXPECT_TRUE(DirAcces_CheckIntFlag("RETRIES", n));
  EXPECT_EQ(n, 42);
  ::setenv("VM_RETRIES", "4x", 1);
  EXPECT_FALSE(DirAcces_CheckIntFlag("RETRIES", n));
  EXPECT_EQ(n, 42);
  double r = 0;
  ::setenv("VM_RATIO", "2.5", 1);
  EXPECT_TRUE(DirAcces_CheckRealFlag("RATIO", r));
  EXPECT_EQ(r, 2.5);
  char text[3];
  EXPECT_TRUE(DirAcces_CheckStringFlag("RATIO", text));
  EXPECT_EQ(std::string(text, 3), "2.5");
  EXPECT_FALSE(DirAcces_CheckStringFlag("SURELY_UNSET_FLAG", text));
}

bool FakeNode(std::string& name) {
  name = "pressroom7";
  return true;
}
bool NoNode(std::string&) { return false; }

TEST_F(DirAccesTest, NodeAndMachineNames) {
  DirAcces_SetNodeNameSource(FakeNode);
  char name[64];
  DirAcces_GetNodeName(name);
  EXPECT_EQ(S(name), "pressroom7");
  ::unsetenv("HOST");
  DirAcces_GetMachineName(name);
  EXPECT_EQ(S(name), "pressroom7");
  EXPECT_EQ(RunCommand("echo $HOST").out, "pressroom7\n");
  ::setenv("HOST", "other", 1);
  DirAcces_GetMachineName(name);
  EXPECT_EQ(S(name), "other");

  DirAcces_SetNodeNameSource(NoNode);
  DirAcces_GetNodeName(name);
  EXPECT_EQ(S(name), "NONAME");
}

// ---- Lookups ----

TEST_F(DirAccesTest, PathLookupOpensAlongAVariable) {
  const std::string a = SandboxDir() + "/la", b = SandboxDir() + "/lb";
  ASSERT_TRUE(DirAcces_RecursiveMkDir(a + "/eng", 0));
  ASSERT_TRUE(DirAcces_RecursiveMkDir(b + "/eng", 0));
  WriteFile(b + "/eng/cat.srf", "from b");
  ::setenv("ZOLT_LOOKUP", (a + ":" + b).c_str(), 1);

  FileIO_File f = DirAcces_PathLookup("ZOLT_LOOKUP", "eng/cat.srf", FileIO_readOnly);
  ASSERT_NE(f, FileIO_Nil);
  EXPECT_EQ(Messages_ErrorCount(false), 0u);  // the failed attempts leave no reasons
  char buf[16] = {};
  FileIO_Read(f, buf, sizeof buf);
  EXPECT_EQ(S(buf), "from b");
  FileIO_Close(f);
  char path[256];
  DirAcces_LastFilePath(path);
  EXPECT_EQ(S(path), b + "/eng/cat.srf");

  // The file as given (relative to the current directory) comes first.
  ASSERT_TRUE(DirAcces_RecursiveMkDir("eng", 0));
  WriteFile("eng/cat.srf", "local");
  BFileIO_File bf = DirAcces_BPathLookup("ZOLT_LOOKUP", "eng/cat.srf", FileIO_readOnly);
  ASSERT_NE(bf, BFileIO_Nil);
  BFileIO_Close(bf);
  DirAcces_LastFilePath(path);
  EXPECT_EQ(S(path), "eng/cat.srf");

  EXPECT_TRUE(DirAcces_Lookup(a + ":" + b, "eng/cat.srf", DirAcces_readable, path));
  EXPECT_EQ(S(path), b + "/eng/cat.srf");
  EXPECT_TRUE(DirAcces_PathLookup1("ZOLT_LOOKUP", "eng", DirAcces_searchable, path));
  EXPECT_EQ(S(path), "eng");

  Messages_IgnoreErrors(true);
  f = DirAcces_PathLookup("ZOLT_LOOKUP", "deu/cat.srf", FileIO_readOnly);
  Messages_IgnoreErrors(false);
  EXPECT_EQ(f, FileIO_Nil);
  EXPECT_EQ(DirAcces_dirError, 7);
  DirAcces_LastFilePath(path);
  EXPECT_EQ(S(path), "");
  const auto reasons = Reasons();
  ASSERT_FALSE(reasons.empty());
  EXPECT_EQ(reasons[0], MessageText("DirAcces", 7));
  EXPECT_TRUE(Contains(reasons, MessageText("DirAcces", 1) + "ZOLT_LOOKUP, deu/cat.srf"));
  EXPECT_TRUE(Contains(reasons, "DirAcces.Error : code = 107"));
  EXPECT_FALSE(Contains(reasons, MessageText("FileIO", 3)));  // failed attempts forgotten
  ::unsetenv("ZOLT_LOOKUP");
}

}  // namespace
