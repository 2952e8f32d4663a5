#include "BkArchivNames.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "DirAcces.hpp"
#include "Sandbox.hpp"
#include "testdata/TestClock.hpp"

namespace {

using bkarchiv_test::SetNow;
using zolt::test::ReadFile;
using zolt::test::WriteFile;

class BkArchivNamesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BkArchivNames_Init();
    DirAcces_RecursiveMkDir(BkArchiv_archivDir, 0);
    SetNow(5, 12, 2026);
  }
  void TearDown() override { Utility_SetClock(nullptr); }

  static std::string CounterFile() { return std::string(BkArchiv_archivDir) + "/.counter"; }

  static std::string Next(int mediaId = 2, int volIndex = 0, int volCount = 1) {
    char name[128], path[1024];
    EXPECT_TRUE(BkArchiv_GenMediaLabel(mediaId, volIndex, volCount, name, path));
    EXPECT_EQ(std::string(path), std::string(BkArchiv_archivDir) + "/" + name);
    return name;
  }
};

TEST_F(BkArchivNamesTest, NamesCountUpThroughTheDayAndWrapAfter99) {
  EXPECT_EQ(Next(), "2026120501.02");
  EXPECT_EQ(Next(), "2026120502.02");
  EXPECT_EQ(Next(), "2026120503.02");
  // The counter file: day in two columns, month name, year, counter in six columns.
  EXPECT_EQ(ReadFile(CounterFile()), " 5-Dec-2026     4");
  struct stat st {};
  ASSERT_EQ(::stat(CounterFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);

  ASSERT_TRUE(BkArchiv_WriteCounter(99));
  EXPECT_EQ(Next(7), "2026120599.07");
  EXPECT_EQ(BkArchiv_ReadCounter(), 1u);
}

TEST_F(BkArchivNamesTest, AnotherDayOrAnUnreadableCounterStartsAt1) {
  const struct {
    const char* text;
    unsigned expected;
  } cases[] = {
      {" 5-Dec-2026    42", 42},
      {" 4-Dec-2026    42", 1},
      {" 5-Nov-2026    42", 1},
      {" 5-Dec-2025    42", 1},
      {"garbage", 1},
      {" 5-Dez-2026    42", 1},
      {" 5-Dec-2026", 1},
      {"", 1},
  };
  for (const auto& c : cases) {
    WriteFile(CounterFile(), c.text);
    EXPECT_EQ(BkArchiv_ReadCounter(), c.expected) << c.text;
  }
  DirAcces_Remove(CounterFile());
  EXPECT_EQ(BkArchiv_ReadCounter(), 1u);
  // A single-digit month and a two-digit day are both written in their columns.
  SetNow(17, 3, 2027);
  ASSERT_TRUE(BkArchiv_WriteCounter(12));
  EXPECT_EQ(ReadFile(CounterFile()), "17-Mar-2027    12");
  EXPECT_EQ(BkArchiv_ReadCounter(), 12u);
}

TEST_F(BkArchivNamesTest, ProcessesNamingMediaAtOnceNeverShareAName) {
  constexpr int kProcesses = 16, kNamesEach = 6;  // 96 names: the counter does not wrap
  int names[2], start[2];
  ASSERT_EQ(::pipe(names), 0);
  ASSERT_EQ(::pipe(start), 0);
  std::vector<pid_t> children;
  for (int i = 0; i < kProcesses; ++i) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(start[1]);
      char go;
      if (::read(start[0], &go, 1) != 0) ::_exit(3);  // all start when the pipe closes
      for (int n = 0; n < kNamesEach; ++n) {
        char name[128], path[1024];
        if (!BkArchiv_GenMediaLabel(5, 0, 1, name, path)) ::_exit(1);
        const std::string line = std::string(name) + "\n";  // one write: lines never mix
        if (::write(names[1], line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
          ::_exit(2);
        }
      }
      ::_exit(0);
    }
    children.push_back(pid);
  }
  ::close(start[0]);
  ::close(start[1]);
  ::close(names[1]);
  std::string all;
  char buffer[512];
  for (ssize_t n; (n = ::read(names[0], buffer, sizeof buffer)) > 0;) all.append(buffer, n);
  ::close(names[0]);
  for (const pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  std::set<std::string> distinct;
  std::size_t count = 0;
  for (std::size_t at = 0, end; (end = all.find('\n', at)) != std::string::npos; at = end + 1) {
    distinct.insert(all.substr(at, end - at));
    ++count;
  }
  EXPECT_EQ(count, std::size_t{kProcesses * kNamesEach});
  EXPECT_EQ(distinct.size(), count);
  EXPECT_EQ(BkArchiv_ReadCounter(), std::uint32_t{kProcesses * kNamesEach + 1});
}

TEST_F(BkArchivNamesTest, AFailedCounterWriteReturnsFalseQuietly) {
  // A directory that cannot exist: below a plain file.
  WriteFile("plain", "");
  const std::string saved = BkArchiv_archivDir;
  Strings_Assign(zolt::test::SandboxDir() + "/plain/backups", BkArchiv_archivDir);
  char name[128], path[1024];
  EXPECT_FALSE(BkArchiv_GenMediaLabel(2, 0, 1, name, path));
  EXPECT_STREQ(name, "2026120501.02");
  Strings_Assign(saved, BkArchiv_archivDir);
}

TEST_F(BkArchivNamesTest, MakeNameWritesTheVolumeSuffixOnlyForSets) {
  char name[128];
  BkArchiv_MakeName(3, 2, 0, 1, name);
  EXPECT_STREQ(name, "2026120503.02");
  BkArchiv_MakeName(3, 2, 1, 3, name);
  EXPECT_STREQ(name, "2026120503.02c1.3");
  BkArchiv_MakeName(12, 15, 0, 1, name);
  EXPECT_STREQ(name, "2026120512.15");
}

TEST_F(BkArchivNamesTest, LegalNamesHaveOneOfTheThreeForms) {
  for (const char* legal :
       {"2026120503.02", "2026120503-1.02", "2026120503.02c1.3", "99120503.12", "99120503-4.12"}) {
    EXPECT_TRUE(BkArchiv_LegalArchiveName(StrIn::FromC(legal))) << legal;
  }
  for (const char* illegal : {"2026120503.02c10.12", "261205.02", "2026120503.2", "x2026120503.02",
                              "2026120503.02 ", "2026120503-12.02", "NONAME", ""}) {
    EXPECT_FALSE(BkArchiv_LegalArchiveName(StrIn::FromC(illegal))) << illegal;
  }
}

TEST_F(BkArchivNamesTest, DecodeNameSplitsEachForm) {
  const struct {
    const char* name;
    int day, month, year, counter, shortDigit, mediaId, dupNo, volIndex, volCount;
  } cases[] = {
      {"99120503.12", 5, 12, 1999, 3, 1, 2, 0, 0, 1},
      {"05010207-3.45", 2, 1, 1905, 7, 4, 5, 3, 0, 1},
      {"2026120503.02", 5, 12, 2026, 3, -1, 2, 0, 0, 1},
      {"2026120503-1.17", 5, 12, 2026, 3, -1, 17, 1, 0, 1},
      {"2026120503.02c1.3", 5, 12, 2026, 3, -1, 2, 0, 1, 3},
      {"2026120503-2.02c2.3", 5, 12, 2026, 3, -1, 2, 2, 2, 3},
      {"not a name", -1, -1, -1, -1, -1, BkArchiv_mediaIDNone, 0, 0, 1},
  };
  for (const auto& c : cases) {
    int d, m, y, cnt, sd, id, dup, vi, vc;
    BkArchiv_DecodeName(StrIn::FromC(c.name), d, m, y, cnt, sd, id, dup, vi, vc);
    EXPECT_EQ((std::vector<int>{d, m, y, cnt, sd, id, dup, vi, vc}),
              (std::vector<int>{c.day, c.month, c.year, c.counter, c.shortDigit, c.mediaId, c.dupNo,
                                c.volIndex, c.volCount}))
        << c.name;
  }
}

TEST_F(BkArchivNamesTest, MediaFormatsByNameAndProperty) {
  for (int f = mfmtUnknown; f < mfmtLast; ++f) {
    char name[128];
    BkArchiv_MediaFormatToStr(static_cast<std::uint8_t>(f), name);
    std::uint8_t back = mfmtLast;
    BkArchiv_StrToMediaFormat(name, back);
    EXPECT_EQ(back, f) << name;
    // Standard formats are 4..9; only disk-like ones number their data files from 0.
    EXPECT_EQ(BkArchiv_IsStdFmt(static_cast<std::uint8_t>(f)), f >= mfmtStdTar && f <= mfmtStdF);
    EXPECT_EQ(BkArchiv_IsLegalNextData(static_cast<std::uint8_t>(f), 0),
              f == mfmtStdD || f == mfmtStdF);
    EXPECT_FALSE(BkArchiv_IsLegalNextData(static_cast<std::uint8_t>(f), 65536));
  }
  std::uint8_t f = mfmtStd;
  BkArchiv_StrToMediaFormat("mfmtLast", f);
  EXPECT_EQ(f, mfmtUnknown);
  const std::pair<std::uint8_t, const char*> files[] = {{mfmtACpio, "/projects/tmp/content0"},
                                                        {mfmtStdTar, "SHEADER"},
                                                        {mfmtStdA, "AHEADER"},
                                                        {mfmtStdD, "DHEADER"},
                                                        {mfmtRawTar, ""},
                                                        {200, ""}};
  for (const auto& [format, file] : files) {
    char text[128] = "x";
    BkArchiv_GetHeaderNameOnMedia(format, text);
    EXPECT_STREQ(text, file);
  }
}

TEST_F(BkArchivNamesTest, IdentificationLabelsHaveNoBlanks) {
  char label[128];
  BkArchiv_MkLabelFromData("2026120503.02", "Offset Folvane tape", "05.12.2026 10:11:12", label);
  EXPECT_STREQ(label, "2026120503.02_Offset_Folvane_tape_05.12.2026_10:11:12");
  // Every part is cut on its own, the whole to a label's capacity (a full label has no
  // terminator).
  const std::string longType(200, 't');
  BkArchiv_MkLabelFromData("n", longType, "d", label);
  EXPECT_EQ(StrIn(label).view(), "n_" + std::string(126, 't'));
}

}  // namespace
