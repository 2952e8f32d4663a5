#include "BkStore.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "BFileIO.hpp"
#include "BkArchivText.hpp"
#include "Messages.hpp"
#include "SRM.hpp"
#include "Sandbox.hpp"
#include "test/FakeServer.hpp"

using zolt::test::ReadFile;
using zolt::test::WriteFile;

namespace {

struct Files {
  std::string type, comment, baseDir;
  std::vector<std::pair<std::string, double>> files;
};

class BkStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BkStore_Init();
    BkArchivText_Init();
    Messages_UseMsgCat("ZAREDAVmsg");
    dir = BkArchiv_stdArchivDir;
    std::filesystem::create_directories(dir);
  }
  void TearDown() override { BkStore_DestroyMediaInfo(list, false); }

  // A header copy written by the header writer, as the data path leaves it.
  void Copy(const std::string& name, const std::string& type, const std::string& description,
            const std::vector<Files>& archives = {}) {
    Header* h = nullptr;
    BkArchiv_NewHeader(h, mfmtStdA, type, description);
    Strings_Assign(name, h->label);
    h->minCapacity = 2 * 1048576.0;
    h->maxCapacity = 4 * 1048576.0;
    for (const Files& f : archives) {
      Archive* a = nullptr;
      BkArchiv_AppendEmptyArchive(h, a, f.type);
      BkArchiv_SetArchiveComment(a, f.comment);
      BkArchiv_SetArchiveBaseDir(a, f.baseDir);
      FileList files = nullptr;
      for (const auto& [path, size] : f.files) {
        DirAcces_DirEntry info{};
        info.size = size;
        BkFLists_AppendOnFileList(files, path, true, info, 1, 1);
      }
      BkArchiv_SetArchiveFiles(a, files);
    }
    BFileIO_File out = BFileIO_Create(dir + "/" + name, 1);
    BkArchiv_GenHeader(out, h, true);
    BFileIO_Close(out);
    BkArchiv_DestroyHeaderAndArchives(h);
  }

  std::vector<std::string> Names(std::uint8_t calledFrom) {
    BkStore_GetMediaInfo(calledFrom, list);
    std::vector<std::string> names;
    for (MediaInfo* m = list; m != nullptr; m = m->next) names.emplace_back(m->name);
    return names;
  }

  std::vector<std::string> Jobs(const std::string& name) {
    BkStore_GetMediaInfo(1, list);
    std::vector<std::string> lines;
    for (JobInfo* j = BkStore_SelectByName(list, name)->jobs; j != nullptr; j = j->next) {
      lines.emplace_back(j->text);
    }
    return lines;
  }

  // Sets the copy's modification time (seconds since 1970).
  void Touch(const std::string& name, time_t when) {
    const timespec t[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir + "/" + name).c_str(), t, 0), 0);
  }

  std::string dir;
  MediaInfoList list = nullptr;
};

TEST_F(BkStoreTest, RefreshFollowsTheDirectoryAndKeepsTheCacheInStep) {
  Copy("2026120501.03", "Offset-Folvane", "B orders\nsecond line");
  Copy("2026120502.03", "Offset-Folvane", "A orders");
  WriteFile(dir + "/notes.txt", "not a medium");
  EXPECT_EQ(Names(1), (std::vector<std::string>{"2026120502.03", "2026120501.03"}));
  EXPECT_STREQ(list->description, "A orders");
  EXPECT_EQ(list->mediaId, 3);
  EXPECT_EQ(std::string(list->path), dir + "/2026120502.03");
  EXPECT_STREQ(list->displayText, "A orders                            2.00      0.00");
  EXPECT_STREQ(list->next->label, ("2026120501.03_Offset-Folvane_" +
                                   std::string(list->next->created).replace(10, 1, "_"))
                                      .c_str());
  MediaInfoList cached = nullptr;
  BkStore_LoadMediaInfo(cached, dir + "/.knownmedia");
  ASSERT_NE(cached, nullptr);
  EXPECT_STREQ(cached->next->description, "B orders");
  EXPECT_EQ(cached->next->next, nullptr);
  BkStore_DestroyMediaInfo(cached, false);

  // A copy whose time did not move is not read again; a later one is.
  const time_t later = ::time(nullptr) + 100;
  Touch("2026120501.03", later);
  Names(1);
  Copy("2026120501.03", "Offset-Folvane", "C orders");
  Touch("2026120501.03", later);
  EXPECT_EQ(Names(1), (std::vector<std::string>{"2026120502.03", "2026120501.03"}));
  Touch("2026120501.03", later + 1);
  EXPECT_STREQ(BkStore_SelectByName((Names(1), list), "2026120501.03")->description, "C orders");

  ::unlink((dir + "/2026120502.03").c_str());
  EXPECT_EQ(Names(1), (std::vector<std::string>{"2026120501.03"}));
}

TEST_F(BkStoreTest, CallerKindsSeeTheirMediaTypes) {
  Copy("2026120501.01", "Offset-Folvane", "a");
  Copy("2026120502.01", "EMPTY_MEDIA", "b");
  Copy("2026120503.01", "Kestrin", "c");
  Copy("2026120504.01", "OldBackup-1", "d");
  EXPECT_TRUE(Names(0).empty());
  EXPECT_EQ(Names(1).size(), 4u);
  EXPECT_EQ(Names(4), (std::vector<std::string>{"2026120501.01", "2026120502.01"}));
  EXPECT_EQ(Names(2), (std::vector<std::string>{"2026120502.01", "2026120504.01"}));
  EXPECT_EQ(Names(7), (std::vector<std::string>{"2026120502.01", "2026120503.01"}));
  EXPECT_TRUE(Names(8).empty());
  EXPECT_STREQ(BkStore_BkDirs_CalledFromToArchiveTypePattern(3),
               "Folvane|OldFolvane|Tarvik|EMPTY_MEDIA");
}

TEST_F(BkStoreTest, HandlersMakeTheOrderLinesOfTheirArchives) {
  Copy("2026120501.03", "Offset-Folvane", "offset",
       {{"Offset-Folvane", "%%HOST h1\n%%DESCRIPTION Brochure", "/p", {{"4711.aif", 100}}},
        {"Offset-Folvane", "%%DESCRIPTION no host", "/p", {{"4712.aif", 1}}},
        {"Offset-Folvane", "%%HOST h1\n%%DESCRIPTION Flyer", "/p", {{"forms/9.aif", 20}}}});
  Copy("2026120502.03", "Tarvik", "tarvik",
       {{"Tarvik", "%%TYPE ORDER+FORMS\n%%ORDERNAME O1\n%%DESCRIPTION D1", "/p", {}},
        {"Tarvik", "%%TYPE OTHER", "/p", {}},
        {"Folvane", "", "/p", {{"job7/a/b", 1}}}});
  Copy("2026120503.03", "Kestrin", "kestrin",
       {{"Kestrin", "%%TYPE JOB", "/jobs/k9/", {}}, {"Kestrin", "%%TYPE ORDER", "/o/x", {}}});
  Copy("2026120504.03", "Backup", "backup",
       {{"Backup", "Home dirs\n%%c0 first\n%%c1 second\n%%c3 gap", "/", {}},
        {"Backup", "", "/", {}}});
  Copy("2026120505.03", "Raw Tar", "raw", {{"Raw Tar", "", "/", {}}});
  BkStore_GetMediaInfo(1, list);
  const std::string date = std::string(list->created).substr(0, 10);
  EXPECT_EQ(Jobs("2026120501.03"), (std::vector<std::string>{"       4711 " + date + " Brochure",
                                                             "    forms/9 " + date + " Flyer"}));
  EXPECT_EQ(BkStore_SelectByName(list, "2026120501.03")->used, 121.0);
  EXPECT_EQ(Jobs("2026120502.03"), (std::vector<std::string>{date + " O1 -> D1", date + " job7"}));
  EXPECT_EQ(Jobs("2026120503.03"), (std::vector<std::string>{date + " k9"}));
  EXPECT_EQ(Jobs("2026120504.03"), (std::vector<std::string>{date + " Home dirs", date + " first",
                                                             date + " second", date + " Backup"}));
  EXPECT_TRUE(Jobs("2026120505.03").empty());
}

TEST_F(BkStoreTest, KnownMediaFileFormAndDamage) {
  Copy("2026120501.03", "Offset-Folvane", "offset",
       {{"Offset-Folvane", "%%HOST h\n%%DESCRIPTION Job", "/p", {{"1.aif", 5}}}});
  BkStore_GetMediaInfo(1, list);
  const std::string text = ReadFile(dir + "/.knownmedia");
  EXPECT_EQ(text.substr(0, 24), "MEDIAINFOFILE\nMEDIAINFO\n");
  EXPECT_NE(text.find("\n3\n 2097152.0\n 4194304.0\n       5.0\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nJOBINFO\n          1 "), std::string::npos) << text;
  EXPECT_EQ(text.substr(text.size() - 44), "END JOBINFO\nEND MEDIAINFO\nEND MEDIAINFOFILE\n");

  static std::vector<int> warned;
  auto warn = [](int line, const char*) { warned.push_back(line); };
  MediaInfoList read = nullptr;
  BkStore_ParseMediaInfo(text, read, warn);
  ASSERT_NE(read, nullptr);
  EXPECT_STREQ(read->jobs->text, list->jobs->text);
  EXPECT_EQ(read->stamp[1], list->stamp[1]);
  EXPECT_TRUE(warned.empty());
  // A bad number in the entry: the entry and with it the whole list go, the line is named.
  std::string bad = text;
  bad.replace(bad.find("\n3\n"), 3, "\nx3\n");
  BkStore_ParseMediaInfo(bad, read, warn);
  EXPECT_EQ(read, nullptr);
  EXPECT_EQ(warned.front(), 6);  // the media identifier
  BkStore_ParseMediaInfo(text.substr(0, text.size() - 18), read, nullptr);
  EXPECT_EQ(read, nullptr);
  BkStore_ParseMediaInfo("MEDIAINFOFILX\n" + text.substr(14), read, nullptr);
  EXPECT_EQ(read, nullptr);
  // A damaged cache heals at the next refresh: the directory is what counts.
  WriteFile(dir + "/.knownmedia", bad);
  MediaInfoList fresh = nullptr;
  BkStore_GetMediaInfo(1, fresh);
  EXPECT_EQ(ReadFile(dir + "/.knownmedia"), text);
  BkStore_DestroyMediaInfo(fresh, false);
}

TEST_F(BkStoreTest, HeaderCopiesWriteOnceAndReadBack) {
  Header* h = nullptr;
  BkArchiv_NewHeader(h, mfmtStdD, "Offset-Folvane", "copy");
  Strings_Assign("2026120501.07", h->label);
  ASSERT_TRUE(BkStore_HeaderToArchive(h, false));
  EXPECT_EQ(::access((dir + "/2026120501.07").c_str(), F_OK), 0);
  struct stat st {};
  ::stat((dir + "/2026120501.07").c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
  EXPECT_FALSE(BkStore_HeaderToArchive(h, false));
  EXPECT_EQ(BkStore_bksError, 8);
  EXPECT_TRUE(BkStore_HeaderToArchive(h, true));

  char label[128];
  BkArchiv_MkLabelFromHdr(h, label);
  Header* back = nullptr;
  ASSERT_TRUE(BkStore_HeaderFromArchive(label, back));
  EXPECT_TRUE(BkArchiv_HeadersEqual(h, back));
  BkArchiv_DestroyHeaderAndArchives(back);
  {
    const Messages_Ignoring quiet;
    EXPECT_FALSE(BkStore_HeaderFromArchive("nobody", back));
    EXPECT_EQ(BkStore_bksError, 2);
    WriteFile(dir + "/2026120501.07", "garbage\n");
    EXPECT_FALSE(BkStore_HeaderFromArchive(label, back));
    EXPECT_EQ(BkStore_bksError, 1);
  }
  Messages_ForgetErrorReasons();
  // Update writes the copy again; removal by name empties the list.
  EXPECT_TRUE(BkStore_UpdateMediaInfo(label, h));
  ASSERT_TRUE(BkStore_HeaderFromArchive(label, back));
  BkArchiv_DestroyHeaderAndArchives(back);
  EXPECT_TRUE(BkStore_RemoveMediaInfoByName("2026120501.07"));
  EXPECT_TRUE(Names(1).empty());
  BkArchiv_DestroyHeaderAndArchives(h);
}

TEST_F(BkStoreTest, SearchModesWrapAround) {
  Copy("2026120501.03", "Offset-Folvane", "alpha");
  Copy("2026120502.03", "Offset-Folvane", "beta",
       {{"Offset-Folvane", "%%HOST h\n%%DESCRIPTION needle", "/p", {{"1.aif", 1}}}});
  Copy("2026120503.03", "Offset-Folvane", "gamma");
  BkStore_GetMediaInfo(1, list);
  MediaInfo* a = list;
  MediaInfo* b = a->next;
  MediaInfo* c = b->next;
  SearchMediaParams* p = BkStore_NewSearchMediaParams();
  EXPECT_FALSE(BkStore_SearchMedia(list, 3, true, p));  // no filter: nothing matches
  ASSERT_TRUE(BkStore_SetMediaFilter(p, "alpha|gamma"));
  EXPECT_TRUE(BkStore_SearchMedia(list, 0, false, p));
  EXPECT_TRUE(a->selected);
  EXPECT_TRUE(BkStore_SearchMedia(list, 2, false, p));
  EXPECT_EQ(BkStore_FirstSelectedMedia(list), c);
  EXPECT_FALSE(BkStore_SearchMedia(list, 2, false, p));  // at the end without wrap
  EXPECT_EQ(BkStore_CountSelectedMedias(list), 0u);
  c->selected = true;
  EXPECT_TRUE(BkStore_SearchMedia(list, 2, true, p));  // passes the end once
  EXPECT_EQ(BkStore_FirstSelectedMedia(list), a);
  EXPECT_TRUE(BkStore_SearchMedia(list, 1, true, p));  // back over the start
  EXPECT_EQ(BkStore_FirstSelectedMedia(list), c);
  EXPECT_TRUE(BkStore_SearchMedia(list, 1, false, p));
  EXPECT_EQ(BkStore_FirstSelectedMedia(list), a);
  EXPECT_FALSE(BkStore_SearchMedia(list, 1, false, p));
  {
    const Messages_Ignoring quiet;
    EXPECT_FALSE(BkStore_SetMediaFilter(p, "(unclosed"));
    EXPECT_EQ(BkStore_bksError, 1);
  }
  Messages_ForgetErrorReasons();
  ASSERT_TRUE(BkStore_SetMediaFilter(p, ""));
  ASSERT_TRUE(BkStore_SetJobFilter(p, "needle"));
  EXPECT_TRUE(BkStore_SearchMedia(list, 3, false, p));
  EXPECT_EQ(BkStore_FirstSelectedMedia(list), b);
  EXPECT_EQ(BkStore_NextSelectedMedia(b), nullptr);
  ASSERT_TRUE(BkStore_SetJobFilter(p, "nothing"));
  EXPECT_FALSE(BkStore_SearchMedia(list, 2, true, p));
  BkStore_DestroySearchMediaParams(p);
}

TEST_F(BkStoreTest, AssertLabelFallsBackToNonameForOffsetAndRavelo) {
  static const char* read[2];  // label, media type; no label: the medium is unreadable
  BkStore_SetLabelReader([](const DevListEntry&, StrOut label, StrOut type) {
    if (read[0] == nullptr) return false;
    Strings_Assign(StrIn::FromC(read[0]), label);
    Strings_Assign(StrIn::FromC(read[1]), type);
    return true;
  });
  const DevListEntry device{};
  const char expected[] = "2026120501.03_Offset-Folvane_05.12.2026_10:00:00";
  struct Case {
    const char* label;
    const char* type;
    bool ok;
  };
  for (const Case& c : {Case{expected, "Offset-Folvane", true},
                        Case{"NONAME_Offset-Folvane_05.12.2026_10:00:00", "Offset-Folvane", true},
                        Case{"NONAME_Offset-Folvane_05.12.2026_10:00:00", "Ravelo", true},
                        Case{"NONAME_Offset-Folvane_05.12.2026_10:00:00", "Backup", false},
                        Case{"NONAME_Offset-Folvane_05.12.2026_10:00:01", "Offset-Folvane", false},
                        Case{nullptr, "", false}}) {
    read[0] = c.label;
    read[1] = c.type;
    EXPECT_EQ(BkStore_AssertLabel(device, expected), c.ok) << (c.label ? c.label : "unreadable");
  }
}

TEST_F(BkStoreTest, MediaReservationsNameTheMedium) {
  Copy("2026120501.03", "Offset-Folvane", "a");
  BkStore_GetMediaInfo(1, list);
  // Already reserved: refused before any server is asked (none listens on the port).
  list->reserved = true;
  EXPECT_FALSE(BkStore_ReserveMedia(list, false));
  list->reserved = false;

  SRM_Init();
  std::vector<std::string> asked;
  FakeServer server(0, [&asked](const SReqObj& m) {
    if (m.at(0).AsString() == "RESERVE") asked.push_back(SReqObj_ToText(m));
    return FakeServer::Wire(SProtocol_SuccessReply({SReqObj::Boolean(true)}));
  });
  ASSERT_TRUE(server.listening());
  ::setenv("VM_DURAZAZE_PORT", std::to_string(server.port()).c_str(), 1);
  ASSERT_TRUE(BkStore_ReserveMedia(list, true));
  EXPECT_STREQ(list->reservationName, "*:2026120501.03:*");
  MediaInfo* known = nullptr;
  ASSERT_TRUE(BkStore_AssertKnownMedia(list, known));
  EXPECT_TRUE(known->reserved);
  EXPECT_FALSE(BkStore_ReserveMedia(list, true));
  BkStore_ReleaseMedia(list);
  EXPECT_FALSE(known->reserved);
  EXPECT_EQ(SRM_UseCount("*:2026120501.03:*"), 0);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_NE(asked[0].find("*:2026120501.03:*"), std::string::npos) << asked[0];
}

// Many tools naming and recording media at once: every medium gets its own name, none is
// lost from the cache, and a reader never finds the cache half written.
TEST_F(BkStoreTest, TwentyProcessesAtOnceLoseNothing) {
  constexpr int kProcesses = 20;
  std::vector<pid_t> children;
  for (int i = 0; i < kProcesses; ++i) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      char name[128], path[1024];
      bool ok = BkArchiv_GenMediaLabel(3, 0, 1, name, path);
      Header* h = nullptr;
      BkArchiv_NewHeader(h, mfmtStdD, "Offset-Folvane", "medium " + std::to_string(i));
      Strings_Assign(name, h->label);
      ok = ok && BkStore_HeaderToArchive(h, false);
      MediaInfoList mine = nullptr;
      BkStore_GetMediaInfo(1, mine);
      ok = ok && BkStore_SelectByName(mine, name) != nullptr;
      ::_exit(ok ? 0 : 1);
    }
    children.push_back(pid);
  }
  int reads = 0;
  for (int alive = kProcesses; alive > 0;) {
    const std::string text = ReadFile(dir + "/.knownmedia");
    if (!text.empty()) {
      ++reads;
      MediaInfoList seen = nullptr;
      BkStore_ParseMediaInfo(text, seen, nullptr);
      EXPECT_TRUE(seen != nullptr || text == "MEDIAINFOFILE\nEND MEDIAINFOFILE\n") << text;
      BkStore_DestroyMediaInfo(seen, false);
    }
    int status = 0;
    if (::waitpid(-1, &status, WNOHANG) > 0) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
      --alive;
    }
  }
  EXPECT_GT(reads, 0);
  MediaInfoList cached = nullptr;
  BkStore_LoadMediaInfo(cached, dir + "/.knownmedia");
  std::set<std::string> names, descriptions;
  for (MediaInfo* m = cached; m != nullptr; m = m->next) {
    names.insert(m->name);
    descriptions.insert(m->description);
  }
  BkStore_DestroyMediaInfo(cached, false);
  EXPECT_EQ(names.size(), static_cast<std::size_t>(kProcesses));
  EXPECT_EQ(descriptions.size(), static_cast<std::size_t>(kProcesses));
}

}  // namespace
