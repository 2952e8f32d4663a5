#include "BkArchiv.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DirAcces.hpp"
#include "Messages.hpp"
#include "testdata/TestClock.hpp"

namespace {

using bkarchiv_test::SetNow;

// A list of files a, b, ... with the given file marks, in that order.
FileList MarkedList(const std::vector<int>& marks) {
  FileList list = nullptr;
  DirAcces_DirEntry info{};
  info.size = 100;
  std::string path = "a";
  for (int m : marks) {
    BkFLists_AppendOnFileList(list, path, false, info, m, 1);
    ++path[0];
  }
  return list;
}

std::vector<int> Marks(const Archive* a) {
  std::vector<int> marks;
  for (const FileEntry* e = a->files; e != nullptr; e = e->next) marks.push_back(e->fileMark);
  return marks;
}

class BkArchivTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BkArchiv_Init();
    SetNow(5, 12, 2026);
    Messages_IgnoreErrors(true);
  }
  void TearDown() override {
    BkArchiv_DestroyHeaderAndArchives(hdr);
    Messages_IgnoreErrors(false);
    Utility_SetClock(nullptr);
  }

  // A header as it comes from a medium that already holds data.
  void ReadHeader(std::uint8_t format, std::uint32_t nextData) {
    BkArchiv_NewHeader(hdr, format, "tape", "");
    hdr->newHeader = false;
    hdr->nextData = hdr->nextDataRead = nextData;
    hdr->appendPending = format == mfmtStdA || format == mfmtStdTarA;
  }

  Archive* Add(const std::vector<int>& marks) {
    Archive* a = nullptr;
    FileList files = MarkedList(marks);
    BkArchiv_NewArchive(hdr, a, "Offset-Folvane", "", "", "/projects/jobs", files);
    if (a == nullptr) BkFLists_DestroyFileList(files);  // a refused list stays the caller's
    return a;
  }

  Header* hdr = nullptr;
};

TEST_F(BkArchivTest, ANewHeaderIsNamelessAndNumbersItsDataByMedium) {
  BkArchiv_NewHeader(hdr, mfmtStdA, "EMPTY_MEDIA", "first\nsecond");
  EXPECT_STREQ(hdr->label, "NONAME");
  EXPECT_EQ(hdr->modified.time.second, 12u);
  EXPECT_EQ(hdr->nextData, 1u);
  EXPECT_TRUE(hdr->newHeader);
  char text[128];
  bool empty = false;
  BkArchiv_GetMediaType(hdr, text, empty);
  EXPECT_TRUE(empty);
  BkArchiv_GetMediaDescription(hdr, text);
  EXPECT_STREQ(text, "first");
  BkArchiv_DestroyHeaderAndArchives(hdr);
  EXPECT_EQ(hdr, nullptr);
  // Disks and file systems number their data files from 0.
  BkArchiv_NewHeader(hdr, mfmtStdD, "", "");
  EXPECT_EQ(hdr->nextData, 0u);
}

TEST_F(BkArchivTest, AnEmptyHeaderGetsAFreshLabel) {
  DirAcces_RecursiveMkDir(BkArchiv_archivDir, 0);
  const BkArchiv_DevInfo dev{2, 0, 0, 0, 2147483648.0, 32768, 32768, 0, false, 4};
  EXPECT_TRUE(BkArchiv_GetEmptyHeader(dev, mfmtStdD, "Week 49", "spare disk", hdr));
  EXPECT_STREQ(hdr->label, "2026120501.04");
  EXPECT_STREQ(hdr->mediaType, "EMPTY_MEDIA");
  EXPECT_STREQ(hdr->mediaComment, "Week 49\nspare disk");
  EXPECT_EQ(hdr->maxCapacity, 2147483648.0);
  char label[128];
  BkArchiv_MkLabelFromHdr(hdr, label);
  EXPECT_STREQ(label, "2026120501.04_EMPTY_MEDIA_05.12.2026_10:11:12");
}

TEST_F(BkArchivTest, ArchivesFollowEachOtherOnANewHeader) {
  BkArchiv_NewHeader(hdr, mfmtStd, "tape", "");
  hdr->softCompress = true;
  Archive* first = Add({0, 1, 2, 2});
  ASSERT_NE(first, nullptr);
  Archive* second = Add({0});
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(Marks(first), (std::vector<int>{1, 2, 3, 3}));
  EXPECT_EQ(Marks(second), (std::vector<int>{4}));
  EXPECT_EQ(hdr->nextData, 5u);
  EXPECT_TRUE(first->softCompress);
  EXPECT_EQ(BkArchiv_ArNumberOfSelectedFiles(first), 4);  // every file selected
  Archive* a = nullptr;
  ASSERT_TRUE(BkArchiv_GetFirstArchive(hdr, a) && BkArchiv_GetNextArchive(hdr, a));
  EXPECT_EQ(a, second);
  EXPECT_FALSE(BkArchiv_GetNextArchive(hdr, a));
}

TEST_F(BkArchivTest, AppendRulesOfEachFormat) {
  // Headers read from media holding data.
  ReadHeader(mfmtStd, 4);
  EXPECT_EQ(Add({0}), nullptr);
  EXPECT_EQ(BkArchiv_bkaError, 13);
  BkArchiv_DestroyHeaderAndArchives(hdr);
  for (std::uint8_t f : {mfmtATar, mfmtFolvaneTar, mfmtStdF, mfmtRawTar}) {
    BkArchiv_NewHeader(hdr, f, "", "");
    EXPECT_EQ(Add({0}), nullptr);
    EXPECT_EQ(BkArchiv_bkaError, 13) << int(f);
    BkArchiv_DestroyHeaderAndArchives(hdr);
  }
  // An appendable tape: the new leading header takes data file 7.
  ReadHeader(mfmtStdA, 7);
  Archive* a = Add({0, 1});
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(Marks(a), (std::vector<int>{8, 9}));
  EXPECT_EQ(hdr->nextData, 10u);
  EXPECT_TRUE(hdr->appended);
  EXPECT_FALSE(hdr->appendPending);
  a = Add({0});
  EXPECT_EQ(Marks(a), (std::vector<int>{10}));
  EXPECT_EQ(hdr->nextData, 11u);
  BkArchiv_DestroyHeaderAndArchives(hdr);
  // A disk medium: no header file of its own between the jobs.
  ReadHeader(mfmtStdD, 3);
  a = Add({0, 1});
  EXPECT_EQ(Marks(a), (std::vector<int>{3, 4}));
  EXPECT_EQ(hdr->nextData, 5u);
}

TEST_F(BkArchivTest, FileMarksMustRunDenselyFromZero) {
  BkArchiv_NewHeader(hdr, mfmtStd, "tape", "");
  EXPECT_EQ(Add({0, 2}), nullptr);
  EXPECT_EQ(BkArchiv_bkaError, 24);
  EXPECT_EQ(Add({1, 2}), nullptr);
  EXPECT_EQ(BkArchiv_bkaError, 25);
  Archive* a = nullptr;
  BkArchiv_NewArchive(hdr, a, "Offset-Folvane", "", "", "/", nullptr);
  EXPECT_EQ(a, nullptr);
  EXPECT_EQ(BkArchiv_bkaError, 26);
  EXPECT_EQ(hdr->archives, nullptr);
  EXPECT_EQ(hdr->nextData, 1u);
  EXPECT_NE(Add({0}), nullptr);
  EXPECT_EQ(BkArchiv_bkaError, 0);
}

TEST_F(BkArchivTest, HeadersEqualComparesTheRecordedFields) {
  Header* other = nullptr;
  BkArchiv_NewHeader(hdr, mfmtStd, "tape", "");
  BkArchiv_NewHeader(other, mfmtStd, "tape", "other comments do not count");
  Add({0, 1});
  Archive* b = nullptr;
  BkArchiv_NewArchive(other, b, "Offset-Folvane", "", "", "/projects/jobs", MarkedList({0, 1}));
  other->minCapacity = 77;  // neither do capacities
  EXPECT_TRUE(BkArchiv_HeadersEqual(hdr, other));
  FileEntry* e = b->files->next;
  for (auto* field : {&e->modified.time.second, &e->modified.date.year}) {
    *field += 1;
    EXPECT_FALSE(BkArchiv_HeadersEqual(hdr, other));
    *field -= 1;
  }
  e->fileMark += 1;
  EXPECT_FALSE(BkArchiv_HeadersEqual(hdr, other));
  e->fileMark -= 1;
  Strings_Assign("/elsewhere", b->baseDir);
  EXPECT_FALSE(BkArchiv_HeadersEqual(hdr, other));
  Strings_Assign("/projects/jobs", b->baseDir);
  Add({0});  // one archive more
  EXPECT_FALSE(BkArchiv_HeadersEqual(hdr, other));
  BkArchiv_DestroyHeaderAndArchives(other);
}

TEST_F(BkArchivTest, SelectionOverAllArchives) {
  BkArchiv_NewHeader(hdr, mfmtStd, "tape", "");
  Archive* a = Add({0, 1});
  Archive* b = Add({0});
  BkArchiv_HdrSelectAllFiles(hdr, false);
  BkArchiv_HdrSelectByFileMark(hdr, 3, true);  // b's only file
  EXPECT_TRUE(BkArchiv_ArAllSelected(b) && !BkArchiv_HdrAllSelected(hdr));
  EXPECT_TRUE(BkArchiv_HdrSelectByPath(hdr, "/projects/jobs/b", true, true));
  EXPECT_FALSE(BkArchiv_HdrSelectByPath(hdr, "b", true, true));
  EXPECT_EQ(BkArchiv_HdrNumberOfSelectedFiles(hdr), 2);
  EXPECT_EQ(BkArchiv_HdrSizeOfSelectedFiles(hdr), 200.0);
  EXPECT_TRUE(BkArchiv_ArOneSelected(a));
}

TEST_F(BkArchivTest, CommentKeysAreEncodedAndDecoded) {
  char comment[4096] = "";
  BkArchiv_EncodeComment(comment, "HOST", "alpha");
  EXPECT_STREQ(comment, "%%HOST alpha");
  BkArchiv_EncodeComment(comment, "DESCRIPTION", "Job 4711 front and back");
  EXPECT_STREQ(comment, "%%HOST alpha\n%%DESCRIPTION Job 4711 front and back");

  const struct {
    const char* comment;
    const char* description;
    std::vector<std::pair<std::string, std::string>> keys;
  } cases[] = {
      {"Spring catalogue\n%%ORDERNUM 17\nlater lines are ignored\n%%HOST beta",
       "Spring catalogue",
       {{"ORDERNUM", "17"}, {"HOST", "beta"}}},
      {"%%HOST alpha\nnot a description", "", {{"HOST", "alpha"}}},
      {"%%%HOST three percent signs\n%%KEY  two blanks",
       "%%%HOST three percent signs",
       {{"KEY", " two blanks"}}},
      {"%%EMPTY", "", {{"EMPTY", ""}}},
      {"", "", {}},
  };
  for (const auto& c : cases) {
    char description[128] = "x";
    StrHash table = BkArchiv_DecodeComment(StrIn::FromC(c.comment), description);
    EXPECT_STREQ(description, c.description) << c.comment;
    EXPECT_EQ(StrHash_Entries(table), c.keys.size()) << c.comment;
    for (const auto& [key, value] : c.keys) {
      const char* v = StrHash_GetPointer<char>(table, key);
      ASSERT_NE(v, nullptr) << key;
      EXPECT_EQ(std::string(v), value) << key;
    }
    BkArchiv_DestroyCommentHash(table);
    EXPECT_EQ(table, StrHash_Nil);
  }
}

}  // namespace
