#include "BkArchivText.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "DirAcces.hpp"
#include "Messages.hpp"
#include "Sandbox.hpp"
#include "testdata/TestClock.hpp"

namespace {

using zolt::test::ReadFile;
using zolt::test::WriteFile;

std::string Golden(const std::string& name) {
  return ReadFile(std::string(BKARCHIV_TESTDATA) + "/" + name);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

std::string Join(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& l : lines) text += l + "\n";
  return text;
}

// Every reason supplied since the last call, most recent first.
std::vector<std::string> Reasons() {
  std::vector<std::string> out;
  char text[5120];
  while (Messages_ErrorReason(text)) {
    std::string r = text;
    out.push_back(r.substr(r.find_first_not_of(" \t")));
  }
  return out;
}

void AddFile(Archive* a, const char* path, char type, double size, BkArchiv_DateTime m, int mark,
             int tape) {
  DirAcces_DirEntry info{};
  info.size = size;
  info.day = m.date.day;
  info.month = m.date.month;
  info.year = m.date.year;
  info.hour = m.time.hour;
  info.minute = m.time.minute;
  info.second = m.time.second;
  info.isDirectory = type == 'D';
  info.isSymlink = type == 'S';
  BkFLists_AppendOnFileList(a->files, StrIn::FromC(path), true, info, mark, tape);
}

BkArchiv_DateTime At(unsigned d, unsigned mo, unsigned y, unsigned h, unsigned mi, unsigned s) {
  return {{d, mo, y, 0}, {h, mi, s, 0}};
}

class BkArchivTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BkArchivText_Init();
    bkarchiv_test::SetNow(5, 12, 2026);
    Messages_IgnoreErrors(true);
  }
  void TearDown() override {
    BkArchiv_DestroyHeaderAndArchives(hdr);
    BkArchiv_DestroyHeaderAndArchives(back);
    Messages_IgnoreErrors(false);
    Utility_SetClock(nullptr);
  }

  // The header of testdata/standard.hdr, built the way a backup builds it.
  void BuildStandard() {
    BkArchiv_NewHeader(hdr, mfmtStd, "Offset tape", "Week 49 orders\n\n%%MASTERJOB none");
    Strings_Assign("2026120503.02", hdr->label);
    hdr->nextData = hdr->nextDataRead = 4;  // as it was read from the medium
    hdr->minCapacity = 4294967296.0;
    hdr->maxCapacity = 8589934592.4;
    hdr->blkHeader = 20480;
    hdr->blkData = 30720;
    Archive* a = nullptr;
    BkArchiv_AppendEmptyArchive(hdr, a, "Offset-Folvane");
    a->softCompress = true;
    Strings_Assign("%%HOST alpha\n%%DESCRIPTION Spring catalogue\n%%ORDERNUM 4711",
                   a->archiveComment);
    Strings_Assign("/projects/orders", a->baseDir);
    AddFile(a, "Spring.aif", 'F', 2048, At(1, 12, 2026, 8, 30, 0), 1, 1);
    AddFile(a, "forms", 'D', 0, At(1, 12, 2026, 8, 30, 5), 1, 1);
    AddFile(a, "forms/my page\\1.pdf", 'F', 5000000000.0, At(2, 12, 2026, 17, 45, 59), 2, 1);
    AddFile(a, "forms/latest", 'S', 11, At(2, 12, 2026, 17, 46, 0), 2, 1);
    BkArchiv_AppendEmptyArchive(hdr, a, "Raw Tar");
    Strings_Assign("/", a->baseDir);
    AddFile(a, "etc/motd", 'F', 12, At(3, 3, 1971, 0, 0, 0), 3, 2);
    hdr->fmDir = new FmDirEntry{new FmDirEntry{new FmDirEntry{nullptr, 3, 4096}, 1, 64}, 0, 0};
  }

  std::string Generate(Header* h, bool fullPaths = false, bool standard = true) {
    BFileIO_File f = BFileIO_Create("out.hdr", 1);
    if (standard) {
      BkArchiv_GenStdSHeader(f, h, fullPaths);
    } else {
      BkArchiv_GenHeader(f, h, fullPaths);
    }
    BFileIO_Close(f);
    return ReadFile("out.hdr");
  }

  // Parses text into back as the media readers do; true on success.
  bool Parse(const std::string& text, std::uint8_t format = mfmtStd) {
    BkArchiv_DestroyHeaderAndArchives(back);
    Reasons();
    WriteFile("in.hdr", text);
    BFileIO_File f = BFileIO_Open("in.hdr", 0);
    BkArchiv_NewHeader(back, format, "", "");
    back->newHeader = false;
    BkArchiv_ParseStdSHeader(f, back, format, isEmpty);
    BFileIO_Close(f);
    return BkArchiv_bkaError == 0;
  }

  Header* hdr = nullptr;
  Header* back = nullptr;
  bool isEmpty = false;
};

TEST_F(BkArchivTextTest, TheStandardTextIsWrittenExactlyAndReadBack) {
  BuildStandard();
  const std::string golden = Golden("standard.hdr");
  ASSERT_FALSE(golden.empty());
  EXPECT_EQ(Generate(hdr), golden);
  EXPECT_EQ(BkArchiv_bkaError, 0);
  EXPECT_EQ(hdr->fmDirPos, golden.find("BEGIN FMDIR"));
  // The text keeps sizes modulo 2^32.
  hdr->archives->files->next->next->size = 705032704.0;

  ASSERT_TRUE(Parse(golden)) << ::testing::PrintToString(Reasons());
  EXPECT_TRUE(BkArchiv_HeadersEqual(hdr, back));
  EXPECT_EQ(back->fmDirPos, hdr->fmDirPos);
  EXPECT_STREQ(back->mediaComment, hdr->mediaComment);
  EXPECT_EQ(back->maxCapacity, 8589934592.0);
  const Archive* a = back->archives;
  EXPECT_TRUE(a->softCompress && !a->next->softCompress);
  EXPECT_STREQ(a->archiveComment, hdr->archives->archiveComment);
  EXPECT_STREQ(a->writtenBaseDir, "/projects/orders");
  const FileEntry* e = a->files->next->next;
  EXPECT_STREQ(DSStr(e->path), "forms/my page\\1.pdf");
  EXPECT_TRUE(e->selected && e->next->isSymlink);
  std::vector<std::pair<unsigned, unsigned>> dir;
  for (const FmDirEntry* d = back->fmDir; d != nullptr; d = d->next) {
    dir.emplace_back(d->fileNo, d->startBlock);
  }
  EXPECT_EQ(dir, (std::vector<std::pair<unsigned, unsigned>>{{0, 0}, {1, 64}, {3, 4096}}));
}

TEST_F(BkArchivTextTest, RoundTripsOfSparseAndUnusualHeaders) {
  // No archives, no comment, no file-mark directory.
  BkArchiv_NewHeader(hdr, mfmtStdD, "disk", "");
  const std::string bare = Generate(hdr);
  EXPECT_NE(bare.find("BEGIN COMMENT\nEND COMMENT\nBEGIN DIR\nEND DIR\n"), std::string::npos);
  EXPECT_EQ(bare.size(), hdr->fmDirPos);
  ASSERT_TRUE(Parse(bare, mfmtStdD));
  EXPECT_TRUE(BkArchiv_HeadersEqual(hdr, back));
  EXPECT_EQ(back->nextData, 0u);
  EXPECT_EQ(back->fmDir, nullptr);

  // Comments with empty lines at either end, an archive without files, odd paths.
  Strings_Assign("\nmiddle\n", hdr->mediaComment);
  Archive* a = nullptr;
  BkArchiv_AppendEmptyArchive(hdr, a, "Offset-Folvane");
  BkArchiv_AppendEmptyArchive(hdr, a, "Offset-Folvane");
  Strings_Assign("/base dir", a->baseDir);
  Strings_Assign("line 1\n\nline 3", a->archiveComment);
  for (const char* p : {"a b", "trailing\\", "\\\\server\\share", " lead", "x  y"}) {
    AddFile(a, p, 'F', 1, At(1, 1, 2027, 0, 0, 0), 0, 1);
  }
  ASSERT_TRUE(Parse(Generate(hdr), mfmtStdD)) << ::testing::PrintToString(Reasons());
  EXPECT_TRUE(BkArchiv_HeadersEqual(hdr, back));
  EXPECT_STREQ(back->mediaComment, "\nmiddle\n");
  EXPECT_STREQ(back->archives->next->archiveComment, "line 1\n\nline 3");
  EXPECT_STREQ(back->archives->next->baseDir, "/base dir");
}

TEST_F(BkArchivTextTest, LargeTextsAreReadInBlocksAndTheStreamStopsBehindTheHeader) {
  BkArchiv_NewHeader(hdr, mfmtStdD, "disk", "");
  Archive* a = nullptr;
  BkArchiv_AppendEmptyArchive(hdr, a, "Offset-Folvane");
  for (int i = 0; i < 30000; ++i) {  // about 1.5 MB of text: lines cross the read blocks
    AddFile(a, ("forms/page " + std::to_string(i) + ".pdf").c_str(), 'F', i,
            At(1, 1, 2027, 0, 0, 0), 1, 1);
  }
  BkArchiv_AppendEmptyArchive(hdr, a, "Raw Tar");
  Strings_Assign("tab here", a->archiveComment);
  AddFile(a, "late", 'F', 1, At(1, 1, 2027, 0, 0, 0), 2, 1);
  std::string text = Generate(hdr);
  // Far behind the first read block a tab reads as a blank and a carriage return vanishes.
  text.replace(text.find("tab here"), 8, "tab\there");
  text.insert(text.rfind("END ARCHIVE\n") + 11, "\r");
  const std::size_t dirEnd = text.find("END DIR\n") + 8;
  // The line after END DIR is read in search of a file-mark directory; a line longer than
  // a read block follows, and what comes behind it must still be in the stream.
  WriteFile("in.hdr", text + std::string(300000, 'x') + "\nNEXT\n");
  BFileIO_File f = BFileIO_Open("in.hdr", 0);
  BkArchiv_NewHeader(back, mfmtStdD, "", "");
  BkArchiv_ParseStdSHeader(f, back, mfmtStdD, isEmpty);
  EXPECT_EQ(BkArchiv_bkaError, 0);
  char* line = nullptr;
  std::size_t capacity = 0;
  EXPECT_EQ(::getline(&line, &capacity, f), 5);
  EXPECT_STREQ(line, "NEXT\n");
  std::free(line);
  BFileIO_Close(f);
  back->newHeader = true;
  EXPECT_TRUE(BkArchiv_HeadersEqual(hdr, back));
  EXPECT_EQ(back->fmDirPos, dirEnd);
}

TEST_F(BkArchivTextTest, AStreamThatCannotSeekKeepsWhatFollowsTheHeader) {
  BuildStandard();
  std::string text = Generate(hdr);
  text.insert(text.find("Week 49"), 300000, 'w');  // longer than a read block
  text.replace(text.find("END FMDIR\n") + 10, std::string::npos, "data behind\n");
  const std::string trailer = std::string(400000, 't') + "\nNEXT\n";
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::thread writer([fd = fds[1], all = text + trailer] {
    for (std::size_t at = 0; at < all.size();) {
      const ssize_t n = ::write(fd, all.data() + at, all.size() - at);
      if (n <= 0) break;
      at += static_cast<std::size_t>(n);
    }
    ::close(fd);
  });
  std::FILE* f = ::fdopen(fds[0], "r");
  BkArchiv_NewHeader(back, mfmtStd, "", "");
  back->newHeader = false;
  BkArchiv_ParseStdSHeader(f, back, mfmtStd, isEmpty);
  EXPECT_EQ(BkArchiv_bkaError, 0) << ::testing::PrintToString(Reasons());
  std::string rest;
  for (int c; (c = std::fgetc(f)) != EOF;) rest.push_back(static_cast<char>(c));
  std::fclose(f);
  writer.join();
  EXPECT_EQ(rest.size(), trailer.size() + 12);
  EXPECT_TRUE(rest == "data behind\n" + trailer);  // the line after FMDIR is not read
  EXPECT_EQ(back->fmDirPos, text.find("END DIR\n") + 8);
  EXPECT_EQ(StrIn(back->mediaComment).length(), sizeof back->mediaComment);
}

TEST_F(BkArchivTextTest, FullPathsAreWrittenForLocalCopiesAndIgnoredWhenRead) {
  BuildStandard();
  hdr->archives->files->next->next->size = 705032704.0;
  const std::string text = Generate(hdr, true);
  const std::string tail =
      "END FMDIR\nBEGIN FULLPATHS\n/projects/orders/Spring.aif\n/projects/orders/forms\n"
      "/projects/orders/forms/my page\\1.pdf\n/projects/orders/forms/latest\n//etc/motd\n"
      "END FULLPATHS\n";
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  ASSERT_TRUE(Parse(text));
  EXPECT_TRUE(BkArchiv_HeadersEqual(hdr, back));
}

TEST_F(BkArchivTextTest, OlderAndEmptyFormsParse) {
  ASSERT_TRUE(Parse(Golden("empty.hdr"), mfmtStdA));
  EXPECT_TRUE(isEmpty);
  EXPECT_STREQ(back->mediaComment, "Week 49\nspare disk");
  EXPECT_EQ(back->blkHeader, 32768u);
  EXPECT_EQ(back->archives, nullptr);

  ASSERT_TRUE(Parse(Golden("noblocksizes.hdr"), mfmtStdTar));
  EXPECT_FALSE(isEmpty);
  EXPECT_EQ(back->blkHeader, 0u);
  EXPECT_EQ(back->blkData, 0u);
  EXPECT_EQ(back->dirSize, -1);
  EXPECT_EQ(back->modified.time.second, 15u);
  ASSERT_NE(back->archives, nullptr);
  EXPECT_STREQ(DSStr(back->archives->files->path), "Autumn.aif");

  // What the text layer does to lines: carriage returns vanish, tabs become blanks.
  std::string dos;
  for (char c : Golden("noblocksizes.hdr")) {
    if (c == '\n') dos += '\r';
    dos += c;
  }
  dos.replace(dos.find("%%ORDERNUM 12"), 13, "%%ORDERNUM\t12");
  ASSERT_TRUE(Parse(dos, mfmtStdTar));
  EXPECT_STREQ(back->archives->archiveComment, "%%ORDERNUM 12");

  // File times in other forms than the writers' still read as numbers.
  std::vector<std::string> lines = Lines(Golden("standard.hdr"));
  lines[28] = "Spring.aif F 2048 1.2.2027  3:4:5 1 1";
  lines[29] = "forms D 0 01.12.2026 08:30:059 1 1";
  ASSERT_TRUE(Parse(Join(lines))) << ::testing::PrintToString(Reasons());
  const FileEntry* e = back->archives->files;
  EXPECT_EQ(std::vector<unsigned>({e->modified.date.day, e->modified.date.month,
                                   e->modified.date.year, e->modified.time.hour,
                                   e->modified.time.minute, e->modified.time.second}),
            std::vector<unsigned>({1, 2, 2027, 3, 4, 5}));
  EXPECT_EQ(e->next->modified.time.second, 59u);
}

TEST_F(BkArchivTextTest, EachLineOfTheTextIsCheckedAsItIsRead) {
  const std::vector<std::string> golden = Lines(Golden("standard.hdr"));
  ASSERT_EQ(golden.size(), 51u);
  const struct {
    int line;  // 1-based; 0 cuts the text after the line given by text
    const char* text;
    std::uint8_t format;
    int error;
    const char* reason;  // expected among the reasons; empty: none expected
  } cases[] = {
      {1, "11", mfmtStd, 8, "::ParseStdSHeader: version mismatch"},
      {2, "ABC", mfmtStd, 9, "::ParseStdSHeader: bad media label"},
      {2, "2026120503.0", mfmtStd, 9, "::ParseStdSHeader: bad media label"},
      {2, "NONAME", mfmtStd, 0, ""},
      {2, "tape 20261205-x.17 old", mfmtStd, 0, ""},
      {4, "05.12.2026", mfmtStd, 9, "::ParseStdSHeader: bad media creation time"},
      {5, "", mfmtStd, 9, "::ParseStdSHeader: bad media modification time"},
      {6, "0", mfmtStd, 9, "::ParseStdSHeader: bad value for 'nextData'"},
      {6, "0", mfmtStdA, 9, "::ParseStdSHeader: bad value for 'nextData'"},
      {6, "0", mfmtStdD, 0, ""},
      {6, "0", mfmtStdF, 0, ""},
      {6, "65535", mfmtStd, 0, ""},
      {6, "65536", mfmtStdD, 9, "::ParseStdSHeader: bad value for 'nextData'"},
      {6, "4294967296", mfmtStdD, 9, "::ParseStdSHeader: bad value for 'nextData'"},
      {7, "plenty", mfmtStd, 0, "::ParseStdSHeader: bad value for 'minCapacity'"},
      {8, "", mfmtStd, 0, "::ParseStdSHeader: bad value for 'maxCapacity'"},
      {9, "-", mfmtStd, 9, "::ParseStdSHeader: bad value for 'dirSize'"},
      {10, "big", mfmtStd, 9, "::ParseStdSHeader: bad value for 'blkHeader'"},
      {11, "-1", mfmtStd, 9, "::ParseStdSHeader: bad value for 'blkData'"},
      {12, "BEGIN COMMENTS", mfmtStd, 9, "::ParseStdSHeader: could not read archive comment"},
      {0, "BEGIN COMMENT", mfmtStd, 9, "::ParseStdSHeader: could not read archive comment"},
      {17, "BEGIN  DIR", mfmtStd, 9, "::ParseStdSHeader: BEGIN DIR expected"},
      {0, "END COMMENT", mfmtStd, 9, "::ParseStdSHeader: BEGIN DIR expected"},
      {18, "END ARCHIVE", mfmtStd, 9, "::ParseStdSHeader: BEGIN ARCHIVE expected"},
      {0, "END ARCHIVE", mfmtStd, 9, "::ParseStdSHeader: BEGIN ARCHIVE expected"},
      {0, "Offset-Folvane", mfmtStd, 9, "::ParseArchive: read type/date failed"},
      {20, "05.12.2026 10:11", mfmtStd, 9, "::ParseArchive: bad date"},
      {21, "c", mfmtStd, 9, "::ParseArchive: bad softcompress"},
      {22, "BEGIN", mfmtStd, 9, "::ParseArchive: bad comment"},
      {27, "BEGIN FILE", mfmtStd, 9, "::ParseArchive: BEGIN FILES expected"},
      {29, "Spring.aif X 2048 01.12.2026 08:30:00 1 1", mfmtStd, 9,
       "::bad file type; 'D', 'F' or 'S' expected "},
      {29, "Spring.aif F 4294967296 01.12.2026 08:30:00 1 1", mfmtStd, 9,
       "::ParseArchive: AppendFile failed"},
      {29, "Spring.aif F 2048 01.12.2026 08:30:00 1", mfmtStd, 9,
       "::ParseArchive: AppendFile failed"},
      {29, "Spring.aif", mfmtStd, 9, "::ParseArchive: AppendFile failed"},
      {0, "forms D 0 01.12.2026 08:30:05 1 1", mfmtStd, 9, "::ParseArchive: AppendFile failed"},
      {34, "END", mfmtStd, 9, "::ParseStdSHeader: END ARCHIVE expected"},
      {49, "1 x", mfmtStd, 9, "::ParseStdSHeader: bad FMDIR entry"},
      {0, "1 64", mfmtStd, 9, "::ParseStdSHeader: bad FMDIR entry"},
      {0, "END DIR", mfmtStd, 0, ""},
      {47, "BEGIN FMDIRS", mfmtStd, 0, ""},
  };
  for (const auto& c : cases) {
    std::vector<std::string> lines = golden;
    if (c.line > 0) {
      lines[static_cast<std::size_t>(c.line - 1)] = c.text;
    } else {
      std::size_t i = 0;
      while (lines[i] != c.text) ++i;
      lines.resize(i + 1);
    }
    const std::string what = std::to_string(c.line) + " " + c.text;
    Parse(Join(lines), c.format);
    EXPECT_EQ(BkArchiv_bkaError, c.error) << what;
    const std::vector<std::string> reasons = Reasons();
    if (*c.reason != '\0') {
      EXPECT_NE(std::find(reasons.begin(), reasons.end(), c.reason), reasons.end())
          << what << ": " << ::testing::PrintToString(reasons);
    } else {
      EXPECT_TRUE(reasons.empty()) << what << ": " << ::testing::PrintToString(reasons);
    }
  }
}

TEST_F(BkArchivTextTest, TextFieldsKeepTheirCapacityLessOne) {
  std::vector<std::string> lines = Lines(Golden("standard.hdr"));
  lines[1] = "2026120503.02" + std::string(200, 'L');
  lines[2] = std::string(128, 'M');
  lines[18] = std::string(129, 'A');
  lines[27] = "/" + std::string(1100, 'b');
  ASSERT_TRUE(Parse(Join(lines))) << ::testing::PrintToString(Reasons());
  EXPECT_EQ(StrIn(back->label).view(), lines[1].substr(0, 127));
  EXPECT_EQ(StrIn(back->mediaType).view(), std::string(127, 'M'));
  EXPECT_EQ(StrIn(back->archives->archiveType).view(), std::string(127, 'A'));
  EXPECT_EQ(StrIn(back->archives->baseDir).view(), lines[27].substr(0, 1023));
  EXPECT_EQ(StrIn(back->archives->writtenBaseDir).view(), lines[27].substr(0, 1023));
  char id[1024];
  BkArchiv_MkLabelFromHdr(back, id);
  EXPECT_EQ(StrIn(id).view(), lines[1].substr(0, 127) + "_");  // the label ends in NUL
}

TEST_F(BkArchivTextTest, ACommentHoldsAtMost4096Lines) {
  std::vector<std::string> lines = Lines(Golden("empty.hdr"));
  const auto comment = lines.begin() + 12;  // behind "BEGIN COMMENT"
  lines.erase(comment, comment + 2);
  lines.insert(lines.begin() + 12, 4096, "x");
  ASSERT_TRUE(Parse(Join(lines)));
  EXPECT_EQ(StrIn(back->mediaComment).view().size(), 4096u);  // cut to its capacity
  lines.insert(lines.begin() + 12, "x");
  EXPECT_FALSE(Parse(Join(lines)));
  EXPECT_EQ(Reasons().front(), "::ParseStdSHeader: could not read archive comment");
}

TEST_F(BkArchivTextTest, ACommentLineThatWouldCloseTheCommentIsRefusedBeforeWriting) {
  // Lines the reader would take for the end of the block: refused, nothing written.
  for (const char* line : {"END COMMENT", "END\tCOMMENT", "END COMMENT\r", "\rEND COMMENT"}) {
    for (bool inArchive : {false, true}) {
      BuildStandard();
      StrOut comment =
          inArchive ? StrOut(hdr->archives->next->archiveComment) : StrOut(hdr->mediaComment);
      Strings_Assign("first\n" + std::string(line) + "\nBEGIN DIR", comment);
      EXPECT_EQ(Generate(hdr), "") << line;
      EXPECT_EQ(BkArchiv_bkaError, 10) << line;
      EXPECT_EQ(Reasons().back(), "::GenStdSHeader: a comment line reads as END COMMENT");
      BkArchiv_DestroyHeaderAndArchives(hdr);
    }
  }
  // Near misses are written and read back as they are.
  BuildStandard();
  Strings_Assign("END COMMENTS\n END COMMENT\nEND  COMMENT\nEND COMMENT ", hdr->mediaComment);
  ASSERT_TRUE(Parse(Generate(hdr)));
  EXPECT_STREQ(back->mediaComment, hdr->mediaComment);

  // A comment cut to its capacity inside a line can end in such a line when it is read;
  // that header is refused too rather than written as another one.
  std::vector<std::string> lines = Lines(Golden("empty.hdr"));
  lines.erase(lines.begin() + 12, lines.begin() + 14);
  lines.insert(lines.begin() + 12, {std::string(4096 - 12, 'x'), "END COMMENTS"});
  ASSERT_TRUE(Parse(Join(lines)));
  EXPECT_EQ(Lines(StrIn(back->mediaComment).str() + "\n").back(), "END COMMENT");
  EXPECT_EQ(Generate(back), "");
  EXPECT_EQ(BkArchiv_bkaError, 10);
}

TEST_F(BkArchivTextTest, TheFormatDecidesWhatIsWritten) {
  auto line6 = [](const std::string& text) { return Lines(text).at(5); };
  // An appendable header names the data file behind the header copy the job writes.
  BkArchiv_NewHeader(hdr, mfmtStdA, "tape", "");
  EXPECT_EQ(line6(Generate(hdr, false, false)), "2");
  EXPECT_EQ(hdr->nextData, 1u);
  EXPECT_EQ(line6(Generate(hdr, false, true)), "1");
  // Read from a medium holding data: as read, until an archive is added.
  hdr->newHeader = false;
  hdr->nextData = 7;
  hdr->appendPending = true;
  EXPECT_EQ(line6(Generate(hdr, false, false)), "7");
  FileList files = nullptr;
  DirAcces_DirEntry info{};
  BkFLists_AppendOnFileList(files, "a", true, info, 0, 1);
  BkFLists_AppendOnFileList(files, "b", true, info, 1, 1);
  Archive* a = nullptr;
  BkArchiv_NewArchive(hdr, a, "Offset-Folvane", "", "", "/", files);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(hdr->nextData, 10u);
  EXPECT_EQ(line6(Generate(hdr, false, false)), "11");
  BkArchiv_DestroyHeaderAndArchives(hdr);

  // Old cpio media carry only the paths of their one archive.
  BkArchiv_NewHeader(hdr, mfmtACpio, "OldBackup Cpio", "");
  BkArchiv_AppendEmptyArchive(hdr, a, "OldBackup Cpio");
  AddFile(a, "a b", 'F', 1, At(1, 1, 2027, 0, 0, 0), 1, 1);
  AddFile(a, "c", 'F', 1, At(1, 1, 2027, 0, 0, 0), 1, 1);
  EXPECT_EQ(Generate(hdr, false, false), "a b\nc\n");
  BkArchiv_AppendEmptyArchive(hdr, a, "OldBackup Cpio");
  EXPECT_EQ(Generate(hdr, false, false), "");
  EXPECT_EQ(BkArchiv_bkaError, 23);

  for (std::uint8_t f : {mfmtStdF, mfmtATar, mfmtFolvaneTar, mfmtRawCpio, mfmtUnknown}) {
    BkArchiv_SetMediaFormat(hdr, f);
    EXPECT_EQ(Generate(hdr, false, false), "") << int(f);
    EXPECT_EQ(BkArchiv_bkaError, 4) << int(f);
  }
}

TEST_F(BkArchivTextTest, AFailedWriteIsError10) {
  BuildStandard();
  BFileIO_File f = BFileIO_Open("/dev/full", 1);
  ASSERT_NE(f, BFileIO_Nil);
  BkArchiv_GenStdSHeader(f, hdr, false);
  EXPECT_EQ(BkArchiv_bkaError, 10);
  BFileIO_Close(f);
}

}  // namespace
