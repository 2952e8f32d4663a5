#include "DirAcces.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
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

template <std::size_t N>
std::string S(const char (&a)[N]) {
  return std::string(a, strnlen(a, N));
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
  return std::any_of(v.begin(), v.end(), [&](auto& s) { return s.find(part) != s.npos; });
}

// Runs an operation expected to fail inside an ignore bracket; its error value.
template <class F>
int Failing(F op) {
  Messages_IgnoreErrors(true);
  op();
  Messages_IgnoreErrors(false);
  Messages_ForgetErrorReasons();
  return DirAcces_dirError;
}

class DirAccesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DirAcces_Init();
    // The module reads and exports many variables: the whole environment is restored
    // after each case, so that the cases stay independent also in one process.
    for (char** e = environ; *e; ++e) saved_.emplace_back(*e);
    start_ = SandboxDir() + "/work";
    DirAcces_SetInstallRoot(SandboxDir() + "/inst");  // nothing installed there
  }
  void TearDown() override {
    ::clearenv();
    for (const auto& e : saved_) {
      ::setenv(e.substr(0, e.find('=')).c_str(), e.c_str() + e.find('=') + 1, 1);
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
  std::vector<std::string> saved_;
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
    EXPECT_EQ(S(d) + "|" + S(n), std::string(dir) + "|" + std::string(name)) << path;
  }
}

TEST(DirAccesPaths, PathHeadsOfAbsoluteRelativeAndEmptyPaths) {
  const std::tuple<std::string_view, std::string_view, std::string_view> cases[] = {
      // path, head, path after CutPathHead
      {"/a/b", "/", "a/b"},   {"a/b", "a", "b"}, {"", "", ""},   {"a", "a", ""},
      {"a//b/c", "a", "b/c"}, {"//x", "/", "x"}, {"/", "/", ""}, {"a/", "a", ""}};
  for (const auto& [path, head, rest] : cases) {
    char h[128] = "junk", h2[128] = "junk", p[128] = {};
    DirAcces_GetPathHead(path, h);
    path.copy(p, path.size());
    DirAcces_CutPathHead(p, h2);
    EXPECT_EQ(S(h), head) << path;
    EXPECT_EQ(S(h2) + "|" + S(p), std::string(head) + "|" + std::string(rest)) << path;
  }
}

TEST(DirAccesPaths, OverlongResultsAreCutAndNeverOverflow) {
  struct {
    char out[8];
    char guard[8];
  } b;
  std::memset(b.guard, 'G', sizeof b.guard);
  DirAcces_IncludePath("/very/long/directory", "file.name", b.out);
  EXPECT_EQ(std::string(b.out, 16), "/very/loGGGGGGGG");  // full: no terminator

  struct {
    char dir[4];
    char name[4];
    char guard[4];
  } x;
  std::memset(x.guard, 'G', sizeof x.guard);
  DirAcces_ExcludePath("/abcdef/ghijkl", x.dir, x.name);
  EXPECT_EQ(std::string(x.dir, 12), "/abcghijGGGG");

  // A source without terminator (full array) is read only up to its bound.
  const char unterminated[3] = {'a', 'b', 'c'};
  char joined[16];
  DirAcces_IncludePath(unterminated, "d", joined);
  EXPECT_EQ(S(joined), "abc/d");
}

TEST(DirAccesPaths, PrefixOperationsWorkOnWholeComponents) {
  EXPECT_TRUE(DirAcces_PathStartsWith("/projects/orders", "/projects/"));
  EXPECT_FALSE(DirAcces_PathStartsWith("/projectsX/orders", "/projects"));
  EXPECT_FALSE(DirAcces_PathStartsWith("x", "/"));

  char r[128];
  EXPECT_TRUE(DirAcces_ReplacePathHead("/projects/orders/a", "/projects", "/nfs/projects", r));
  EXPECT_EQ(S(r), "/nfs/projects/orders/a");
  EXPECT_TRUE(DirAcces_ReplacePathHead("/a/b", "/", "/root/", r));
  EXPECT_EQ(S(r), "/root/a/b");
  EXPECT_FALSE(DirAcces_ReplacePathHead("/projectsX/a", "/projects", "/p", r));
  EXPECT_EQ(S(r), "/projectsX/a");

  EXPECT_TRUE(DirAcces_ContainsPath("/bin:/usr/local/bin/:/opt/x", "/usr/local/bin"));
  EXPECT_FALSE(DirAcces_ContainsPath("/bin:/opt/xy", "/opt/x"));
  EXPECT_FALSE(DirAcces_ContainsPath("", "/bin"));
}

// ---- File status and the file system ----

TEST_F(DirAccesTest, AccessModesAndStatusFields) {
  WriteFile("data.txt", "twelve bytes");
  ASSERT_EQ(::chmod("data.txt", 0640), 0);
  ASSERT_EQ(::mkdir("dir", 0755), 0);
  ASSERT_EQ(::symlink("data.txt", "link"), 0);

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
  DirAcces_DirEntry e{};
  DirAcces_FileStatN("link", e);
  ASSERT_EQ(DirAcces_dirError, 0);
  EXPECT_EQ(S(e.name), "link");
  EXPECT_EQ(e.size, 12.0);
  EXPECT_EQ(e.accessTime, 1600000000);
  EXPECT_EQ(
      (std::vector<unsigned>{e.day, e.month, e.year, e.hour, e.minute, e.second, e.millisecond}),
      (std::vector<unsigned>{14, 11, 2023, 22, 13, 20, 0}));
  EXPECT_TRUE(DirAcces_IsRegularFile(e));
  EXPECT_FALSE(e.isSymlink);
  EXPECT_EQ(e.mode & 07777, 0640u);
  EXPECT_EQ(DirAcces_LastModified("data.txt"), 1700000000);

  DirAcces_LFileStatN("link", e);
  EXPECT_TRUE(DirAcces_IsSymlink(e) && e.isSymlink && !DirAcces_IsRegularFile(e));
  DirAcces_FileStatN("dir/", e);
  EXPECT_TRUE(DirAcces_IsDirectory(e) && e.isDirectory);

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

  EXPECT_EQ(Failing([] { DirAcces_Remove("missing"); }), 1);
  EXPECT_EQ(Failing([] { DirAcces_RmDir("plain"); }), 3);
  EXPECT_NE(Failing([&] { DirAcces_ReadLink("plain", e.name); }), 0);
  EXPECT_EQ(S(e.name), "");
  DirAcces_Dir d{};
  EXPECT_EQ(Failing([&] { d = DirAcces_OpenDir("missing"); }), 1);
  EXPECT_EQ(d, DirAcces_NilDir);
  EXPECT_EQ(Failing([] { DirAcces_ChMod("missing", 0644); }), 1);
  EXPECT_EQ(Failing([] { EXPECT_EQ(DirAcces_LastModified("missing"), 0); }), 1);
}

TEST_F(DirAccesTest, ErrorOutsideABracketEndsTheProgram) {
  DirAcces_DirEntry e{};
  EXPECT_EXIT(DirAcces_FileStatN("no-such-file", e), ::testing::ExitedWithCode(2),
              "DirAcces.Error : code = 2");
}

TEST_F(DirAccesTest, MkDirRecursiveMkDirAndRemoval) {
  DirAcces_MkDir("a");
  EXPECT_EQ(DirAcces_dirError, 0);
  EXPECT_EQ(Failing([] { DirAcces_MkDir("a"); }), 4);
  EXPECT_TRUE(DirAcces_RecursiveMkDir("a", 0));
  EXPECT_TRUE(DirAcces_RecursiveMkDir("a/b//c/d/", 0750));
  struct stat st {};
  ASSERT_EQ(::stat("a/b/c/d", &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  ASSERT_EQ(::stat("a", &st), 0);
  EXPECT_NE(st.st_mode & 07777, 0750u);  // existing parents keep their mode

  WriteFile("file", "");
  EXPECT_EQ(Failing([] { EXPECT_FALSE(DirAcces_RecursiveMkDir("file/sub", 0)); }), 3);
  DirAcces_RmDir("a/b/c/d");
  EXPECT_FALSE(DirAcces_Access("a/b/c/d", DirAcces_exists));
  DirAcces_Remove("file");
  EXPECT_FALSE(DirAcces_Access("file", DirAcces_exists));
}

TEST_F(DirAccesTest, RenameRefusesAnExistingTargetAtomicRenameReplacesIt) {
  WriteFile("old", "old text");
  WriteFile("new", "new text");
  EXPECT_EQ(Failing([] { DirAcces_Rename("old", "new"); }), 2);
  EXPECT_EQ(ReadFile("old") + "|" + ReadFile("new"), "old text|new text");

  DirAcces_AtomicRename("old", "new");
  EXPECT_EQ(DirAcces_dirError, 0);
  EXPECT_EQ(ReadFile("new"), "old text");
  EXPECT_FALSE(DirAcces_Access("old", DirAcces_exists));

  DirAcces_Rename("new", "moved");
  EXPECT_EQ(ReadFile("moved"), "old text");
  EXPECT_FALSE(DirAcces_Access("new", DirAcces_exists));

  // A directory cannot be hard-linked, yet it is renamed when the target is free.
  ASSERT_EQ(::mkdir("d1", 0755), 0);
  ASSERT_EQ(::mkdir("d3", 0755), 0);
  DirAcces_Rename("d1", "d2");
  EXPECT_TRUE(DirAcces_Access("d2", DirAcces_searchable));
  EXPECT_EQ(Failing([] { DirAcces_Rename("d2", "d3"); }), 2);
}

TEST_F(DirAccesTest, LinksCopiesMovesAndComparisons) {
  WriteFile("f", "content");
  DirAcces_Link("f", "hard");
  DirAcces_Symlink("f", "soft");
  char target[64];
  DirAcces_ReadLink("soft", target);
  EXPECT_EQ(S(target), "f");
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
  DirAcces_ReadLink("copy/sub/toA", target);
  EXPECT_EQ(S(target), "../a");
  struct stat st {};
  ASSERT_EQ(::stat("copy/a", &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_TRUE(DirAcces_FilesEqual("tree/sub/b", "copy/sub/b"));
  EXPECT_FALSE(DirAcces_FilesEqual("tree/a", "copy/sub/b"));
  EXPECT_FALSE(DirAcces_FilesEqual("tree/a", "missing"));
  EXPECT_TRUE(DirAcces_OnSameFilesystem("tree", "copy/sub"));
  EXPECT_FALSE(DirAcces_OnSameFilesystem("tree", "/proc/self"));

  DirAcces_Move("copy", "moved-tree");
  EXPECT_FALSE(DirAcces_Access("copy", DirAcces_exists));
  EXPECT_EQ(ReadFile("moved-tree/sub/b"), "BB");
  DirAcces_CopyFile("f", "f2");
  DirAcces_MoveFile("f2", "f3");
  EXPECT_TRUE(DirAcces_FilesEqual("f", "f3"));
  EXPECT_FALSE(DirAcces_Access("f2", DirAcces_exists));
  EXPECT_EQ(Failing([] { DirAcces_CopyFile("tree", "nope"); }), 7);
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
  ASSERT_TRUE(DirAcces_RecursiveMkDir("list/sub", 0));
  WriteFile("list/one", "1");
  ASSERT_EQ(::symlink("one", "list/good"), 0);
  ASSERT_EQ(::symlink("missing", "list/dangling"), 0);
  DirAcces_ChDir("list");

  // Following links: the dangling link cannot be examined and is left out.
  EXPECT_EQ(ListCurrent(true), (std::set<std::string>{"./", "../", "one", "sub/", "good"}));
  EXPECT_EQ(ListCurrent(false),
            (std::set<std::string>{"./", "../", "one", "sub/", "good@", "dangling@"}));
  // After the end the listing stays closed.
  DirAcces_DirEntry e{};
  EXPECT_FALSE(DirAcces_GetNextEntry(e));

  DirAcces_ChDir("..");
  DirAcces_Dir d = DirAcces_OpenDir("list");
  ASSERT_NE(d, DirAcces_NilDir);
  std::set<std::string> names;
  while (DirAcces_GetDirEntry(d, e, false)) names.insert(S(e.name));
  EXPECT_EQ(names.count("dangling"), 1u);

  // Entries examined by name in the open directory, as by their whole path.
  DirAcces_DirEntry byPath{};
  ASSERT_TRUE(DirAcces_StatInDir(d, "good", true, e));
  DirAcces_FileStatN("list/good", byPath);
  EXPECT_EQ(S(e.name), "good");
  EXPECT_TRUE(e.inode == byPath.inode && e.size == 1.0 && !e.isSymlink);
  ASSERT_TRUE(DirAcces_StatInDir(d, "dangling", false, e));
  EXPECT_TRUE(e.isSymlink);
  Messages_IgnoreErrors(true);
  EXPECT_FALSE(DirAcces_StatInDir(d, "dangling", true, e));
  Messages_IgnoreErrors(false);
  EXPECT_EQ(DirAcces_dirError, 1);
  EXPECT_TRUE(Contains(Reasons(), "list/dangling"));
  DirAcces_CloseDir(d);
  EXPECT_EQ(d, DirAcces_NilDir);
}

// ---- Current directory ----

TEST_F(DirAccesTest, ChDirKeepsALogicalDirectoryLikeAShell) {
  char cwd[1024], real[1024];
  auto logical = [&] { return DirAcces_CurrentDir(cwd), S(cwd); };
  auto physical = [&] { return std::string(::getcwd(real, sizeof real)); };
  EXPECT_EQ(logical(), start_);  // before any ChDir: the canonical directory

  ASSERT_TRUE(DirAcces_RecursiveMkDir(SandboxDir() + "/real/deep", 0));
  ASSERT_EQ(::symlink((SandboxDir() + "/real/deep").c_str(), "shortcut"), 0);
  DirAcces_ChDir("shortcut/./");
  ASSERT_EQ(DirAcces_dirError, 0);
  EXPECT_EQ(logical(), start_ + "/shortcut");
  EXPECT_EQ(physical(), SandboxDir() + "/real/deep");
  // ".." goes back along the way we came, not to the physical parent.
  DirAcces_ChDir("..");
  EXPECT_EQ(logical(), start_);

  EXPECT_EQ(Failing([] { DirAcces_ChDir("shortcut/missing"); }), 1);
  EXPECT_EQ(logical(), start_);
  EXPECT_EQ(physical(), start_);
  DirAcces_ChDir("/../..");
  EXPECT_EQ(logical(), "/");
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
}

TEST_F(DirAccesTest, InstalledDirectoriesArePreferredWhenUsable) {
  const std::string inst = SandboxDir() + "/installed";
  DirAcces_SetInstallRoot(inst);
  for (const char* v : {"VM_PROJECTS", "VM_CUSTOMER", "VM_NODE", "ZOLTDAT", "TMP"}) ::unsetenv(v);
  for (const char* d :
       {"/etc/opt/velmar", "/opt/velmar/customer", "/projects/tmp", "/var/opt/velmar"}) {
    ASSERT_TRUE(DirAcces_RecursiveMkDir(inst + d, 0));
  }
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
  char exe[4096] = {};
  ASSERT_GT(::readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
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
  EXPECT_EQ(std::string(b.value, 10), "012345GGGG");
  EXPECT_EQ(Failing([] { DirAcces_PutEnvVar("BAD=NAME", "x"); }), 8);
}

TEST_F(DirAccesTest, SpecialPathsTakeTheFirstElement) {
  ::setenv("VM_CUSTOMER", "/first:/second", 1);
  ::setenv("VM_PROJECTS", "", 1);
  char path[128];
  DirAcces_GetSpecialPath(DirAcces_customerPath, path);
  EXPECT_EQ(S(path), "/first");
  DirAcces_GetSpecialPath(DirAcces_projectsPath, path);
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
  const std::string marker = SandboxDir() + "/customer/PRINT_PROOFS";
  ::setenv("VM_CUSTOMER", (SandboxDir() + "/customer").c_str(), 1);
  ::unsetenv("VM_PRINT_PROOFS");
  EXPECT_FALSE(DirAcces_CheckFlag("PRINT_PROOFS"));
  WriteFile(marker, "");
  EXPECT_TRUE(DirAcces_CheckFlag("PRINT_PROOFS"));
  // The variable wins over the file; only the words for "off" switch off.
  const std::pair<const char*, bool> values[] = {
      {"Off", false}, {"FALSE", false}, {"no", false}, {"on", true}, {"", true}, {"offline", true}};
  for (const auto& [value, on] : values) {
    ::setenv("VM_PRINT_PROOFS", value, 1);
    EXPECT_EQ(DirAcces_CheckFlag("PRINT_PROOFS"), on) << value;
  }

  // SetFlag changes the variable when there is one, the marker file otherwise.
  DirAcces_SetFlag("PRINT_PROOFS", false);
  EXPECT_STREQ(std::getenv("VM_PRINT_PROOFS"), "off");
  EXPECT_TRUE(DirAcces_Access(marker, DirAcces_exists));
  ::unsetenv("VM_PRINT_PROOFS");
  DirAcces_SetFlag("PRINT_PROOFS", false);
  EXPECT_FALSE(DirAcces_Access(marker, DirAcces_exists));
  DirAcces_SetFlag("PRINT_PROOFS", false);  // already off: no error
  EXPECT_EQ(DirAcces_dirError, 0);
  DirAcces_SetFlag("PRINT_PROOFS", true);
  EXPECT_TRUE(DirAcces_CheckFlag("PRINT_PROOFS"));

  std::int64_t n = -1;
  ::setenv("VM_RETRIES", "42", 1);
  EXPECT_TRUE(DirAcces_CheckIntFlag("RETRIES", n));
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

TEST_F(DirAccesTest, NodeAndMachineNames) {
  DirAcces_SetNodeNameSource([](std::string& name) { return name = "pressroom7", true; });
  char name[64];
  ::unsetenv("HOST");
  DirAcces_GetMachineName(name);
  EXPECT_EQ(S(name), "pressroom7");
  EXPECT_EQ(RunCommand("echo $HOST").out, "pressroom7\n");
  ::setenv("HOST", "other", 1);
  DirAcces_GetMachineName(name);
  EXPECT_EQ(S(name), "other");
  DirAcces_SetNodeNameSource([](std::string&) { return false; });
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
  char path[256];

  FileIO_File f = DirAcces_PathLookup("ZOLT_LOOKUP", "eng/cat.srf", FileIO_readOnly);
  ASSERT_NE(f, FileIO_Nil);
  EXPECT_EQ(Messages_ErrorCount(false), 0u);  // the failed attempts leave no reasons
  char buf[16] = {};
  FileIO_Read(f, buf, sizeof buf);
  EXPECT_EQ(S(buf), "from b");
  FileIO_Close(f);
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
}

}  // namespace
