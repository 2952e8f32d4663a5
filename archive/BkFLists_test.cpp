#include "BkFLists.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "BkMisc.hpp"
#include "DirAcces1.hpp"
#include "Messages.hpp"
#include "Sandbox.hpp"

namespace {

namespace fs = std::filesystem;
using zolt::test::WriteFile;

class BkFListsTest : public ::testing::Test {
 protected:
  void SetUp() override { BkFLists_Init(); }
  void TearDown() override {
    BkFLists_DestroyFileList(list);
    BkFLists_DestroyFileList(errors);
  }
  FileList list = nullptr;
  FileList errors = nullptr;
};

std::vector<std::string> Paths(FileList l, bool views = false) {
  std::vector<std::string> out;
  for (FileEntry* e = l; e != nullptr; e = e->next)
    out.emplace_back(DSStr(views ? e->view : e->path));
  return out;
}

// Forward and back links agree and the first entry's prev is the last entry.
void ExpectLinked(FileList l) {
  if (l == nullptr) return;
  FileEntry* last = l;
  while (last->next != nullptr) {
    EXPECT_EQ(last->next->prev, last);
    last = last->next;
  }
  EXPECT_EQ(l->prev, last);
}

FileEntry* Find(FileList l, const std::string& path) {
  for (FileEntry* e = l; e != nullptr; e = e->next) {
    if (DSStr(e->path) == path) return e;
  }
  return nullptr;
}

DirAcces_DirEntry Info(double size) {
  DirAcces_DirEntry info{};
  info.size = size;
  info.mode = S_IFREG | 0644;
  return info;
}

void Touch(const std::string& path, mode_t mode = 0644) {
  WriteFile(path, "x");
  ::chmod(path.c_str(), mode);
}

// The plain one-by-one build the list must equal: every visit inserted at once.
struct Reference {
  FileList list = nullptr;
  FileList errors = nullptr;
};
bool ReferenceVisit(StrIn dir, const DirAcces_DirEntry& info, bool isDir, bool isPre, int walkError,
                    void* data) {
  if (isDir && !isPre) return true;
  auto& ref = *static_cast<Reference*>(data);
  std::string path(dir.view());
  if (!path.empty() && path.back() != '/') path += '/';
  path += info.name;
  const bool readable = BkMisc_IsReadable(info);
  if (walkError == 0 && readable) return BkFLists_InsertInFileList(ref.list, path, true, info);
  FileEntry* e = BkFLists_InsertInFileList(ref.errors, path, true, info);
  e->errorKind = walkError == 1 ? 1 : walkError == 2 ? 2 : readable ? 5 : 3;
  return true;
}

void ExpectSameLists(FileList a, FileList b) {
  ASSERT_EQ(Paths(a), Paths(b));
  for (FileEntry *x = a, *y = b; x != nullptr; x = x->next, y = y->next) {
    EXPECT_EQ(x->inode, y->inode) << DSStr(x->path);
    EXPECT_EQ(x->selected, y->selected);
    EXPECT_EQ(x->errorKind, y->errorKind);
    EXPECT_EQ(x->fileMark, y->fileMark);
  }
}

TEST_F(BkFListsTest, SortedInsertionKeepsOneEntryPerPathAndItsLinks) {
  for (const char* p : {"m", "./a/b", "z", "c", "a/b/c", "b"}) {
    ASSERT_NE(BkFLists_InsertInFileList(list, StrIn::FromC(p), false, Info(1)), nullptr);
    ExpectLinked(list);
  }
  FileEntry* ab = Find(list, "a/b");
  ASSERT_NE(ab, nullptr);
  ab->fileMark = 7;
  FileEntry* again = BkFLists_InsertInFileList(list, "a/b", true, Info(99));
  EXPECT_EQ(again, ab);
  EXPECT_TRUE(ab->selected);
  EXPECT_EQ(ab->size, 99);
  EXPECT_EQ(ab->fileMark, 7);
  EXPECT_EQ(ab->view, ab->path);
  EXPECT_EQ(Paths(list), (std::vector<std::string>{"a/b", "a/b/c", "b", "c", "m", "z"}));

  // Appending keeps order and takes "./" off; deleting selected entries relinks.
  BkFLists_AppendOnFileList(list, "./0", true, Info(0), 4, 2);
  EXPECT_EQ(list->prev->fileMark, 4);
  EXPECT_EQ(DSStr(list->prev->path), std::string("0"));
  BkFLists_SelectAllFiles(list, false);
  Find(list, "a/b")->selected = true;
  Find(list, "0")->selected = true;
  Find(list, "m")->selected = true;
  BkFLists_DeleteSelectedEntries(list);
  EXPECT_EQ(Paths(list), (std::vector<std::string>{"a/b/c", "b", "c", "z"}));
  ExpectLinked(list);

  // A sorted insert keeps 1024 characters of a path; a "./" is taken off what is kept.
  const std::string full(1024, 'p'), longer = "./" + full + "/behind";
  BkFLists_InsertInFileList(list, longer, false, Info(2));
  BkFLists_InsertInFileList(list, full, false, Info(2));
  EXPECT_EQ(Paths(list),
            (std::vector<std::string>{"a/b/c", "b", "c", std::string(1022, 'p'), full, "z"}));
}

TEST_F(BkFListsTest, SelectionCountsAndMarks) {
  EXPECT_TRUE(BkFLists_AllSelected(list));
  EXPECT_FALSE(BkFLists_OneSelected(list));
  int min = -1, max = -1;
  EXPECT_FALSE(BkFLists_DenseFileMarks(list, min, max));
  BkFLists_GetFileMarkRange(list, min, max);
  EXPECT_EQ(min, -1);

  const int marks[] = {0, 1, 3};
  for (int i = 0; i < 3; ++i) {
    FileEntry* e =
        BkFLists_InsertInFileList(list, "f" + std::to_string(i), true, Info(10 * (i + 1)));
    e->fileMark = marks[i];
  }
  BkFLists_InsertInFileList(list, "unselected", false, Info(1000))->fileMark = 2;
  EXPECT_FALSE(BkFLists_DenseFileMarks(list, min, max));
  EXPECT_EQ(min, 0);
  EXPECT_EQ(max, 3);
  EXPECT_EQ(BkFLists_NumberOfSelectedFiles(list), 3);
  EXPECT_EQ(BkFLists_SizeOfSelectedFiles(list), 60);
  EXPECT_TRUE(BkFLists_OneSelected(list));
  EXPECT_FALSE(BkFLists_AllSelected(list));

  BkFLists_SelectByFileMark(list, 2, true);
  EXPECT_TRUE(BkFLists_DenseFileMarks(list, min, max));
  BkFLists_OffsetFileMarks(list, 5);
  BkFLists_GetFileMarkRange(list, min, max);
  EXPECT_EQ(min, 5);
  EXPECT_EQ(max, 8);
  BkFLists_SelectAllFiles(list, false);
  BkFLists_SelectByTapeAndMark(list, 1, 7, true);  // the unselected one's mark 2 + 5
  BkFLists_SetFileMarkValue(list, 0);
  EXPECT_EQ(Find(list, "unselected")->fileMark, 0);
  EXPECT_EQ(Find(list, "f0")->fileMark, 5);

  // One level of saved selection: a second push loses the first.
  BkFLists_SelectAllFiles(list, true);
  BkFLists_PushSelection(list);
  BkFLists_SelectAllFiles(list, false);
  BkFLists_PushSelection(list);
  BkFLists_SelectAllFiles(list, true);
  BkFLists_PopSelection(list);
  EXPECT_FALSE(BkFLists_OneSelected(list));

  // Patterns match anywhere unless anchored; a bad pattern changes nothing.
  EXPECT_EQ(BkFLists_SelectMatchingFiles(list, "^f[12]$", true), 2);
  EXPECT_EQ(BkFLists_SelectMatchingFiles(list, "e", true), 1);
  Messages_IgnoreErrors(true);
  EXPECT_EQ(BkFLists_SelectMatchingFiles(list, "(", true), 0);
  Messages_IgnoreErrors(false);
  Messages_ForgetErrorReasons();
  EXPECT_EQ(BkFLists_NumberOfSelectedFiles(list), 3);

  DS base = DSCreateStr("/job", 0);
  DS wanted = DSCreateStr("/job/f1", 0);
  DS missing = DSCreateStr("/job/e", 0);
  BkFLists_SelectAllFiles(list, false);
  EXPECT_TRUE(BkFLists_SelectByPath(list, wanted, base, true));
  EXPECT_FALSE(BkFLists_SelectByPath(list, missing, base, true));
  EXPECT_EQ(BkFLists_NumberOfSelectedFiles(list), 1);
  EXPECT_TRUE(Find(list, "f1")->selected);
  DSFree(&base);
  DSFree(&wanted);
  DSFree(&missing);
}

TEST_F(BkFListsTest, CommonHeadAndCutViews) {
  struct Case {
    std::vector<const char*> paths;
    const char* head;
  } cases[] = {
      {{"a/b/c", "a/b/d", "a/b/e/f"}, "a/b"},
      {{"a/b/c", "a/b/d", "a/x"}, "a"},
      {{"/p/q/r", "/p/q/s", "/t"}, "/"},
      {{"abc", "abd"}, "."},
      {{"abc", "abd", "../x"}, ""},
      {{"/only/one/file"}, "/only/one"},
      {{"single"}, ""},
      {{}, ""},
  };
  for (const Case& c : cases) {
    FileList l = nullptr;
    for (const char* p : c.paths)
      BkFLists_AppendOnFileList(l, StrIn::FromC(p), true, Info(0), 0, 1);
    char head[1024] = "junk";
    BkFLists_MaxCommonHead(l, head);
    EXPECT_STREQ(head, c.head) << (c.paths.empty() ? "" : c.paths[0]);
    BkFLists_DestroyFileList(l);
  }

  for (const char* p : {"/job/a", "/job/sub/b", "/jobs/c"})
    BkFLists_InsertInFileList(list, StrIn::FromC(p), true, Info(0));
  bool ok = true;
  BkFLists_CutPathHeadV(list, "/jo", ok);
  EXPECT_FALSE(ok);
  BkFLists_CutPathHeadV(list, "/job", ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(Paths(list, true), (std::vector<std::string>{"a", "sub/b", "s/c"}));
  EXPECT_EQ(Paths(list), (std::vector<std::string>{"/job/a", "/job/sub/b", "/jobs/c"}));
  BkFLists_LoadView(list);
  EXPECT_EQ(list->view, list->path);
}

// ---- Lists from directory trees ----

TEST_F(BkFListsTest, WalkVisitsDirectoryThenFilesThenSubdirectoriesWithOneHandleOpen) {
  fs::create_directories("t/d1/d11");
  Touch("t/f1");
  Touch("t/d1/f2");
  Touch("t/d1/d11/f3");
  struct Log {
    std::vector<std::string> visits;
    long maxFds = 0;
  } log;
  auto countFds = [] {
    long fds = 0;
    for ([[maybe_unused]] auto& f : fs::directory_iterator("/proc/self/fd")) ++fds;
    return fds;
  };
  auto visit = [](StrIn dir, const DirAcces_DirEntry& info, bool isDir, bool isPre, int err,
                  void* data) {
    auto& l = *static_cast<Log*>(data);
    l.visits.push_back((isDir ? (isPre ? "pre " : "post ") : "") + std::string(dir.view()) + "|" +
                       info.name + (err ? "!" : ""));
    long fds = 0;
    for ([[maybe_unused]] auto& f : fs::directory_iterator("/proc/self/fd")) ++fds;
    l.maxFds = std::max(l.maxFds, fds - 1);  // less the iterator's own
    return true;
  };
  const long baseline = countFds() - 1;
  ASSERT_TRUE(DirAcces1_FTW("t/", false, visit, &log));
  EXPECT_EQ(log.visits,
            (std::vector<std::string>{"pre |t", "t|f1", "pre t|d1", "t/d1|f2", "pre t/d1|d11",
                                      "t/d1/d11|f3", "post t/d1|d11", "post t|d1", "post |t"}));
  EXPECT_LE(log.maxFds, baseline + 1);

  // A visit that says stop ends the walk at once.
  int calls = 0;
  auto stop = [](StrIn, const DirAcces_DirEntry&, bool, bool, int, void* data) {
    return ++*static_cast<int*>(data) < 3;
  };
  EXPECT_FALSE(DirAcces1_FTW("t", false, stop, &calls));
  EXPECT_EQ(calls, 3);
}

TEST_F(BkFListsTest, EmptyDirectoryFromDotIsTheSingleEntryDot) {
  fs::create_directory("empty");
  ASSERT_EQ(::chdir("empty"), 0);
  ASSERT_TRUE(BkFLists_BuildFileList1(list, ".", false, true, errors));
  EXPECT_EQ(Paths(list), std::vector<std::string>{"."});
  EXPECT_EQ(errors, nullptr);
  EXPECT_TRUE(list->isDir);
}

TEST_F(BkFListsTest, OddNamesSymlinksAndUnreadableFiles) {
  fs::create_directories("job/sub");
  const std::string latin1 = "\xe9t\xe9";
  for (const std::string n : {"with blank", "quote\"d", "it's", latin1.c_str(), "plain"})
    Touch("job/" + n);
  Touch("job/sub/inner");
  Touch("job/secret", 0);         // no read bit for anyone: the mode decides, also for root
  Touch("job/group-only", 0040);  // the group bit counts only for the process's group
  fs::create_symlink("sub", "job/dirlink");
  fs::create_symlink("plain", "job/filelink");
  fs::create_symlink("nowhere", "job/dangling");
  BkMisc_SetProcessIds(12345, 12345);

  ASSERT_TRUE(BkFLists_BuildFileList1(list, "job", false, false, errors));
  EXPECT_EQ(Paths(list),
            (std::vector<std::string>{"job", "job/dangling", "job/dirlink", "job/filelink",
                                      "job/it's", "job/plain", "job/quote\"d", "job/sub",
                                      "job/sub/inner", "job/with blank", "job/" + latin1}));
  EXPECT_TRUE(Find(list, "job/dirlink")->isSymlink);
  EXPECT_FALSE(BkFLists_OneSelected(list));
  EXPECT_EQ(Paths(errors), (std::vector<std::string>{"job/group-only", "job/secret"}));
  for (FileEntry* e = errors; e != nullptr; e = e->next) EXPECT_EQ(e->errorKind, 3);

  // Followed: the directory link is walked, the dangling one cannot be examined.
  FileList followed = nullptr;
  FileList followedErrors = nullptr;
  BkMisc_SetProcessIds(12345, ::getegid());
  ASSERT_TRUE(BkFLists_BuildFileList1(followed, "job", true, true, followedErrors));
  EXPECT_NE(Find(followed, "job/dirlink/inner"), nullptr);
  EXPECT_FALSE(Find(followed, "job/filelink")->isSymlink);
  EXPECT_NE(Find(followed, "job/group-only"), nullptr);
  EXPECT_EQ(Paths(followedErrors), (std::vector<std::string>{"job/dangling", "job/secret"}));
  EXPECT_EQ(Find(followedErrors, "job/dangling")->errorKind, 1);
  BkFLists_DestroyFileList(followed);
  BkFLists_DestroyFileList(followedErrors);
}

TEST_F(BkFListsTest, UnopenableDirectoryIsAnErrorAndItsSiblingsAreListed) {
  fs::create_directories("tree/locked/hidden");
  fs::create_directories("tree/open");
  Touch("tree/open/f");
  Touch("tree/z");
  ::chmod("tree/locked", 0700);
  // Root opens every directory; the walk runs under another user for this case.
  if (::geteuid() == 0 && ::seteuid(65534) != 0) GTEST_SKIP() << "cannot change the user";
  BkMisc_SetProcessIds(::geteuid(), ::getegid());
  const bool done = BkFLists_BuildFileList1(list, "tree", false, true, errors);
  if (::getuid() == 0) {
    ASSERT_EQ(::seteuid(0), 0);
  }
  ASSERT_TRUE(done);
  EXPECT_EQ(Paths(list), (std::vector<std::string>{"tree", "tree/open", "tree/open/f", "tree/z"}));
  ASSERT_EQ(Paths(errors), std::vector<std::string>{"tree/locked"});
  EXPECT_EQ(errors->errorKind, 2);
  EXPECT_TRUE(errors->isDir);
}

TEST_F(BkFListsTest, OverlongPathsAreErrorsWithTheirWholePath) {
  // Components of 100 characters: the eleventh level passes 1023 characters.
  std::string dir = "deep";
  fs::create_directory(dir);
  while (dir.size() + 101 <= DirAcces1_maxPath) {
    dir += "/" + std::string(100, 'd');
    fs::create_directory(dir);
  }
  const std::string tooLong = dir + "/" + std::string(100, 'x');
  fs::create_directory(tooLong);
  Touch(tooLong + "/never");
  ASSERT_TRUE(BkFLists_BuildFileList1(list, "deep", false, true, errors));
  ASSERT_EQ(Paths(errors), std::vector<std::string>{tooLong});
  EXPECT_EQ(errors->errorKind, 1);
  EXPECT_EQ(Find(list, tooLong + "/never"), nullptr);
  EXPECT_NE(Find(list, dir), nullptr);
}

// Random trees, built into lists that already hold entries: the list equals one-by-one
// insertion in walk order, for sorted and for appended (unsorted) starting lists.
TEST_F(BkFListsTest, BuildEqualsOneByOneInsertionOnRandomTrees) {
  std::mt19937 rng(4711);
  const std::string alphabet = "aB.-_ 9/\xe9\xfc";
  for (int round = 0; round < 6; ++round) {
    const std::string root = "rand" + std::to_string(round);
    fs::create_directory(root);
    std::vector<std::string> dirs{root};
    for (int i = 0; i < 300; ++i) {
      std::string name;
      for (int k = 0, n = 1 + static_cast<int>(rng() % 4); k < n; ++k) {
        char ch = alphabet[rng() % alphabet.size()];
        name += ch == '/' ? 'q' : ch;
      }
      const std::string path = dirs[rng() % dirs.size()] + "/" + name;
      if (fs::exists(path)) continue;
      if (rng() % 4 == 0) {
        fs::create_directory(path);
        dirs.push_back(path);
      } else {
        Touch(path);
      }
    }
    Reference ref;
    FileList fast = nullptr;
    for (const char* seed : {"zzz", "rand1", "a", "./rand2/a", "rand0/zz", "rand3/b"}) {
      if (round % 2 == 0) {
        BkFLists_InsertInFileList(ref.list, StrIn::FromC(seed), false, Info(1));
        BkFLists_InsertInFileList(fast, StrIn::FromC(seed), false, Info(1));
      } else {
        BkFLists_AppendOnFileList(ref.list, StrIn::FromC(seed), false, Info(1), 9, 1);
        BkFLists_AppendOnFileList(fast, StrIn::FromC(seed), false, Info(1), 9, 1);
      }
    }
    const std::string start = round < 3 ? root : "./" + root;
    ASSERT_TRUE(DirAcces1_FTW(start, false, ReferenceVisit, &ref));
    FileList fastErrors = nullptr;
    ASSERT_TRUE(BkFLists_BuildFileList1(fast, start, false, true, fastErrors));
    ExpectSameLists(fast, ref.list);
    ExpectSameLists(fastErrors, ref.errors);
    ExpectLinked(fast);
    BkFLists_DestroyFileList(fast);
    BkFLists_DestroyFileList(ref.list);
  }
}

}  // namespace
