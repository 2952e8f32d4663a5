// Headers read from media made by the stock tar and cpio: disk images, file systems,
// virtual tapes (locally, through the remote tape server and from a pipe), the walk over
// the header pairs of appendable tapes, and the older formats.
#include "BkArchivRead.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "DynStr.hpp"
#include "Messages.hpp"
#include "Rmt.hpp"
#include "Sandbox.hpp"
#include "TpDrive.hpp"
#include "TpTape.hpp"
#include "TpVirt.hpp"

namespace {

using zolt::test::ReadFile;
using zolt::test::RunCommand;
using zolt::test::WriteFile;

std::string Here() { return std::filesystem::current_path().string(); }

const std::string kGolden = std::string(BKARCHIV_TESTDATA) + "/standard.hdr";

// The golden header with another name and nextData; extra file lines make it span blocks.
std::string HeaderText(const std::string& name, int nextData, int extraFiles = 0,
                       const std::string& mediaType = "") {
  std::vector<std::string> lines;
  std::string text = ReadFile(kGolden), out;
  std::size_t at = 0;
  for (int n = 0; at < text.size(); ++n) {
    std::size_t end = text.find('\n', at);
    std::string line = text.substr(at, end - at);
    if (n == 1) line = name;
    if (n == 2 && !mediaType.empty()) line = mediaType;
    if (n == 5) line = std::to_string(nextData);
    out += line + "\n";
    if (line == "BEGIN FILES" && extraFiles > 0) {  // the first archive only
      at = end + 1;
      end = text.find('\n', at);
      out += text.substr(at, end - at) + "\n";  // the base directory
      for (int i = 0; i < extraFiles; ++i) {
        out += "extra/file" + std::to_string(i) + " F 100 05.12.2026 10:11:12 1 1\n";
      }
      extraFiles = 0;
    }
    at = end + 1;
  }
  return out;
}

// A one-member archive made by the stock tool: tar options or "cpio:<format>".
std::string Pack(const std::string& member, const std::string& text, const std::string& how) {
  RunCommand("rm -rf pack && mkdir pack");
  WriteFile("pack/" + member, text);
  const std::string cmd =
      how.starts_with("cpio:")
          ? "cd pack && echo '" + member + "' | cpio -o --quiet -H " + how.substr(5) + " > ../img"
          : "cd pack && tar " + how + " -b20 -cf ../img '" + member + "'";
  EXPECT_EQ(RunCommand(cmd).status, 0) << cmd;
  return ReadFile("img");
}

struct Device {
  DevListEntry e{};
  explicit Device(std::uint8_t type, const std::string& name, const std::string& host = "") {
    e.baseType = type;
    Strings_Assign(name, e.record.devName);
    Strings_Assign(host, e.record.host);
    e.isLocal = host.empty();
    e.blkHeader = 10240;
    if (type == BkDevSel_filesys) e.fs.root = DSCreateStr(name.c_str(), 0);
  }
  ~Device() {
    if (e.fs.root != nullptr) DSFree(&e.fs.root);
  }
};

// The result of one read: the header or the error with its reasons.
struct Read {
  Header* hdr = nullptr;
  bool recovered = false, isEmpty = false;
  int error = 0;
  std::string reasons;
  std::vector<std::string> notes;
  ~Read() { BkArchiv_DestroyHeaderAndArchives(hdr); }
};

bool Collect(void* arg, StrIn message) {
  static_cast<Read*>(arg)->notes.emplace_back(message.data());
  return true;
}

void ReadMedium(const DevListEntry& d, Read& r, bool force = false, bool recover = false) {
  Messages_IgnoreErrors(true);
  BkArchiv_XReadHeader(d, force, recover, Collect, &r, false, r.hdr, r.recovered, r.isEmpty);
  r.error = BkArchiv_bkaError;
  char text[5120];
  while (Messages_ErrorReason(text)) r.reasons += std::string(text) + "\n";
  Messages_IgnoreErrors(false);
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class BkArchivReadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BkArchivRead_Init();
    TpVirt_Init();
    Messages_UseMsgCat("ZAREDAVmsg");
  }
  // A virtual tape with the given files, each written in blocks of 10240 bytes.
  static void MakeTape(const std::string& dir, const std::vector<std::string>& files) {
    std::string error;
    ASSERT_TRUE(TpVirt_Create(dir.c_str(), 1e8, error)) << error;
    const int fd = TpDrive_Open(dir.c_str(), O_WRONLY, 0);
    ASSERT_GE(fd, 0);
    for (const std::string& f : files) {
      for (std::size_t at = 0; at < f.size(); at += 10240) {
        const std::string b = f.substr(at, 10240);
        ASSERT_EQ(TpDrive_Write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
      }
      ASSERT_EQ(TpTapeOp(fd, TpWriteFileMarks, 1), 0);
    }
    TpDrive_Close(fd);
  }
  // An appendable tape of three jobs, header pairs at 0/2, 3/5, 6/8.
  static std::vector<std::string> ThreeJobs() {
    std::vector<std::string> files;
    const std::string data = Pack("data", "payload\n", "--format=gnu");
    for (int job = 0; job < 3; ++job) {
      const std::string h =
          Pack("AHEADER", HeaderText("2026120503.02", 3 * job + 3, job * 10), "--format=ustar");
      files.insert(files.end(), {h, data, h});
    }
    return files;
  }
};

TEST_F(BkArchivReadTest, StockTarAndCpioImagesInEveryForm) {
  const struct {
    const char* member;
    const char* how;
    std::uint8_t format;
  } cases[] = {
      {"SHEADER", "--format=ustar", mfmtStdTar},  {"SHEADER", "--format=gnu", mfmtStdTar},
      {"AHEADER", "--format=ustar", mfmtStdTarA}, {"SHEADER", "cpio:odc", mfmtStd},
      {"AHEADER", "cpio:newc", mfmtStdA},         {"DHEADER", "cpio:bin", mfmtStdD},
  };
  for (const auto& c : cases) {
    WriteFile("disk.img", Pack(c.member, HeaderText("2026120503.02", 4, 400), c.how));
    Device d(BkDevSel_disk, "disk.img");
    Read r;
    ReadMedium(d.e, r);
    ASSERT_NE(r.hdr, nullptr) << c.member << " " << c.how << "\n" << r.reasons;
    EXPECT_EQ(r.hdr->mediaFormat, c.format) << c.how;
    EXPECT_EQ(BkArchiv_HdrNumberOfSelectedFiles(r.hdr), 405) << c.how;
    EXPECT_STREQ(r.hdr->expectLabel, "2026120503.02_Offset_tape_05.12.2026_10:11:12");
    BkArchiv_HdrHead head;
    bool atEnd = true;
    Messages_IgnoreErrors(true);
    BkArchiv_CheckForHeader(d.e, head, atEnd);
    Messages_IgnoreErrors(false);
    EXPECT_EQ(BkArchiv_bkaError, 0);
    EXPECT_FALSE(atEnd);
    EXPECT_EQ(head.mediaFormat, c.format);
    EXPECT_EQ(head.nextData, 4u);
    EXPECT_STREQ(head.label, r.hdr->expectLabel);
  }
}

TEST_F(BkArchivReadTest, RawAndOldMediaNeedTheirOwnReaders) {
  WriteFile("disk.img", Pack("list", "a\na/b\nc\n\nignored\n", "--format=ustar"));
  Device d(BkDevSel_disk, "disk.img");
  {
    Read r;
    ReadMedium(d.e, r);
    EXPECT_EQ(r.hdr, nullptr);
    EXPECT_EQ(r.error, 15);
    EXPECT_TRUE(Has(r.reasons, "::ReadHeader : raw tar or cpio without 'force'")) << r.reasons;
  }
  {
    Read r;
    ReadMedium(d.e, r, true);
    ASSERT_NE(r.hdr, nullptr) << r.reasons;
    EXPECT_EQ(r.hdr->mediaFormat, mfmtRawTar);
    EXPECT_STREQ(r.hdr->mediaType, "Raw Tar");
    EXPECT_STREQ(r.hdr->expectLabel, "");
    std::string paths;
    for (const FileEntry* e = r.hdr->archives->files; e != nullptr; e = e->next) {
      paths += std::string(DSStr(e->path)) + ":" + std::to_string(e->fileMark) + " ";
    }
    EXPECT_EQ(paths, "a:0 a/b:0 c:0 ");
  }
  // An old backup content list: "a" lies above "a/b", so it was a directory.
  WriteFile("disk.img",
            Pack("content", "a\na/b\nc\n", "-P --transform=s,^,/projects/tmp/, --format=gnu"));
  Read r;
  ReadMedium(d.e, r);
  ASSERT_NE(r.hdr, nullptr) << r.reasons;
  EXPECT_EQ(r.hdr->mediaFormat, mfmtATar);
  const FileEntry* a = r.hdr->archives->files;
  ASSERT_NE(a, nullptr);
  EXPECT_TRUE(a->isDir);
  EXPECT_FALSE(a->next->isDir);
  EXPECT_EQ(a->fileMark, 1);
  EXPECT_EQ(r.hdr->archives->created.date.year, r.hdr->created.date.year);
  EXPECT_GE(r.hdr->created.date.year, 2024u);  // the member's date, not the list's 1971
}

TEST_F(BkArchivReadTest, FileSystemsArchiveCopiesAndUnreadableMedia) {
  RunCommand("mkdir -p fs");
  Device fs(BkDevSel_filesys, Here() + "/fs");
  {
    Read r;
    ReadMedium(fs.e, r);
    EXPECT_EQ(r.error, 7);
    BkArchiv_HdrHead head;
    bool atEnd = false;
    BkArchiv_CheckForHeader(fs.e, head, atEnd);
    EXPECT_TRUE(atEnd);
    EXPECT_EQ(BkArchiv_bkaError, 0);
  }
  WriteFile("fs/DHEADER", HeaderText("2026120503.02", 0, 300));
  {
    Read r;
    ReadMedium(fs.e, r);
    ASSERT_NE(r.hdr, nullptr) << r.reasons;
    EXPECT_EQ(r.hdr->mediaFormat, mfmtStdD);
    EXPECT_EQ(BkArchiv_HdrNumberOfSelectedFiles(r.hdr), 305);
    EXPECT_STREQ(r.hdr->contentFile, "");
    // On request the header text stays in a file of its own.
    Header* kept = nullptr;
    bool recovered = false, isEmpty = false;
    BkArchiv_XReadHeader(fs.e, false, false, BkArchiv_RhNotifyCBNop, nullptr, true, kept, recovered,
                         isEmpty);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(ReadFile(kept->contentFile), ReadFile("fs/DHEADER"));
    ::unlink(kept->contentFile);
    BkArchiv_DestroyHeaderAndArchives(kept);
  }
  Device gone(BkDevSel_filesys, Here() + "/nofs");
  Read noRoot;
  ReadMedium(gone.e, noRoot);
  EXPECT_EQ(noRoot.error, 7);
  EXPECT_TRUE(Has(noRoot.reasons, "::ReadFirstHdrBlock : missing root dir")) << noRoot.reasons;
  // A header copy of the media store: appendable unless it reserves header space.
  Device copy(BkDevSel_tape, "unused");
  copy.e.isArchive = true;
  Strings_Assign(kGolden, copy.e.archiveFile);
  Read c;
  ReadMedium(copy.e, c);
  ASSERT_NE(c.hdr, nullptr) << c.reasons;
  EXPECT_EQ(c.hdr->mediaFormat, mfmtStdA);
  EXPECT_TRUE(c.hdr->appendPending);
  // An empty appendable medium counts as new with nextData 1.
  WriteFile("disk.img",
            Pack("AHEADER", HeaderText("2026120503.02", 1, 0, "EMPTY_MEDIA"), "--format=ustar"));
  Device disk(BkDevSel_disk, "disk.img");
  Read empty;
  ReadMedium(disk.e, empty);
  ASSERT_NE(empty.hdr, nullptr) << empty.reasons;
  EXPECT_TRUE(empty.isEmpty);
  EXPECT_TRUE(empty.hdr->newHeader);
  EXPECT_EQ(empty.hdr->nextData, 1u);
  // Damaged first blocks: nothing recognised, no device path, a wrong base type.
  WriteFile("disk.img", std::string(20000, 'x'));
  Read junk, missing, plot;
  ReadMedium(disk.e, junk);
  EXPECT_EQ(junk.error, 3);
  Device none(BkDevSel_disk, "missing.img");
  ReadMedium(none.e, missing);
  EXPECT_TRUE(Has(missing.reasons, "::ReadFirstHdrBlock : open failed"));
  Device printer(BkDevSel_plot, "x");
  ReadMedium(printer.e, plot);
  EXPECT_EQ(plot.error, 2);
}

TEST_F(BkArchivReadTest, AppendableTapeIsReadFromItsLastCopyLocallyRemotelyAndFromAPipe) {
  MakeTape("tape", ThreeJobs());
  Device local(BkDevSel_tape, Here() + "/tape");
  Read r;
  ReadMedium(local.e, r);
  ASSERT_NE(r.hdr, nullptr) << r.reasons;
  EXPECT_FALSE(r.recovered);
  EXPECT_EQ(r.hdr->nextData, 9u);
  EXPECT_EQ(BkArchiv_HdrNumberOfSelectedFiles(r.hdr), 25);
  EXPECT_TRUE(r.notes.empty());
  // The same tape through the remote tape server on this host.
  ::setenv("VM_REMOTE_SHELL", zolt::test::ProgramPath("vrsh").c_str(), 1);
  RmtSetTimeouts(20000, 20000);
  Device remote(BkDevSel_tape, Here() + "/tape", "localhost");
  Read rr;
  ReadMedium(remote.e, rr);
  ASSERT_NE(rr.hdr, nullptr) << rr.reasons;
  EXPECT_TRUE(BkArchiv_HeadersEqual(r.hdr, rr.hdr));
  // A disk image read from a pipe, in the small pieces a pipe hands out.
  WriteFile("disk.img", Pack("SHEADER", HeaderText("2026120503.02", 4, 600), "--format=ustar"));
  ASSERT_EQ(::mkfifo("pipe", 0600), 0);
  const std::string image = ReadFile("disk.img");
  std::thread writer([&image] {
    const int fd = ::open("pipe", O_WRONLY);
    for (std::size_t at = 0; fd >= 0 && at < image.size(); at += 3000) {
      if (::write(fd, image.data() + at, std::min<std::size_t>(3000, image.size() - at)) < 0) {
        break;
      }
    }
    if (fd >= 0) ::close(fd);
  });
  Device pipe(BkDevSel_disk, "pipe"), file(BkDevSel_disk, "disk.img");
  Read fromPipe, fromFile;
  ReadMedium(pipe.e, fromPipe);
  writer.join();
  ReadMedium(file.e, fromFile);
  ASSERT_NE(fromPipe.hdr, nullptr) << fromPipe.reasons;
  ASSERT_NE(fromFile.hdr, nullptr);
  EXPECT_TRUE(BkArchiv_HeadersEqual(fromPipe.hdr, fromFile.hdr));
  EXPECT_EQ(BkArchiv_HdrNumberOfSelectedFiles(fromPipe.hdr), 605);
}

TEST_F(BkArchivReadTest, DamagedTapesAreWalkedToTheLastValidPair) {
  std::vector<std::string> files = ThreeJobs();
  files[8] = Pack("junk", "not a header\n", "--format=ustar");
  MakeTape("tape", files);
  Device d(BkDevSel_tape, Here() + "/tape");
  Read r;
  ReadMedium(d.e, r);
  ASSERT_NE(r.hdr, nullptr) << r.reasons;
  EXPECT_TRUE(r.recovered);
  EXPECT_TRUE(r.hdr->recovered);
  EXPECT_EQ(r.hdr->lastValidHdr, 5);
  EXPECT_EQ(r.hdr->nextData, 6u);
  ASSERT_FALSE(r.notes.empty());
  EXPECT_TRUE(r.notes.front().starts_with("Recover1: ")) << r.notes.front();
  EXPECT_TRUE(r.notes.front().ends_with(" Start"));
  EXPECT_TRUE(r.notes.back().ends_with(" lastValidHdr = 5")) << r.notes.back();
  EXPECT_TRUE(Has(r.notes[r.notes.size() - 2], "second header at 8 bad"));
  // The rewinding walk ends at the same pair.
  ::setenv("VM_BK_RECOVER0", "on", 1);
  Read r0;
  ReadMedium(d.e, r0, false, true);
  ::unsetenv("VM_BK_RECOVER0");
  ASSERT_NE(r0.hdr, nullptr) << r0.reasons;
  EXPECT_EQ(r0.hdr->lastValidHdr, 5);
  EXPECT_TRUE(r0.notes.front().starts_with("Recover0: "));
  // No walk at all while it is forbidden.
  ::setenv("VM_BK_NORECOVER", "on", 1);
  Read no;
  ReadMedium(d.e, no);
  ::unsetenv("VM_BK_NORECOVER");
  EXPECT_EQ(no.hdr, nullptr);
  EXPECT_EQ(no.error, 7);
  EXPECT_TRUE(no.notes.empty());
  EXPECT_TRUE(Has(no.reasons, "no recover; /customer/BK_NORECOVER exists")) << no.reasons;
}

TEST_F(BkArchivReadTest, WalksOverIntactAndHopelessTapes) {
  MakeTape("tape", ThreeJobs());
  Device d(BkDevSel_tape, Here() + "/tape");
  Read all;
  ReadMedium(d.e, all, false, true);
  ASSERT_NE(all.hdr, nullptr) << all.reasons;
  EXPECT_EQ(all.hdr->lastValidHdr, 8);
  EXPECT_EQ(all.hdr->nextData, 9u);
  int pairs = 0;
  for (const std::string& n : all.notes) pairs += Has(n, "second header at") && Has(n, " ok");
  EXPECT_EQ(pairs, 3);
  // A first pair whose copy is missing: nothing on the tape can be trusted.
  const std::string h = Pack("AHEADER", HeaderText("2026120503.02", 3), "--format=ustar");
  RunCommand("rm -rf tape");
  MakeTape("tape", {h, Pack("data", "x\n", "--format=gnu"), std::string(10240, '\0')});
  Read bad;
  ReadMedium(d.e, bad);
  EXPECT_EQ(bad.hdr, nullptr);
  EXPECT_EQ(bad.error, 7);
  EXPECT_TRUE(Has(bad.reasons, "::no valid archive found")) << bad.reasons;
  EXPECT_TRUE(Has(bad.reasons, "::ReadHeader : could not find last header"));
  EXPECT_TRUE(bad.notes.back().ends_with("no valid header"));
  // A first header that points at itself is bad before any pair is seen.
  RunCommand("rm -rf tape");
  MakeTape("tape", {Pack("AHEADER", HeaderText("2026120503.02", 0), "--format=ustar")});
  Read self;
  ReadMedium(d.e, self, false, true);
  EXPECT_EQ(self.error, 7);
  EXPECT_TRUE(Has(self.reasons, "::no valid archive found")) << self.reasons;
  EXPECT_TRUE(Has(self.reasons, "::ReadHeader : could not find valid header"));
  ASSERT_GE(self.notes.size(), 3u);
  EXPECT_TRUE(self.notes[2].ends_with(" first header at 0 bad")) << self.notes[2];
}

// Parses text as the given old format; the error, or 0 with the header in hdr.
int ParseOld(const std::string& text, std::uint8_t format, Header*& hdr) {
  BFileIO_File f = BFileIO_Create("old.txt", FileIO_readWrite);
  BFileIO_Write(f, text.data(), text.size());
  BFileIO_Seek(f, 0, 0);
  bool isEmpty = false;
  Messages_IgnoreErrors(true);
  BkArchiv_ParseHeader(f, format, hdr, isEmpty);
  const int error = BkArchiv_bkaError;
  Messages_ForgetErrorReasons();
  Messages_IgnoreErrors(false);
  BFileIO_Close(f);
  return error;
}

TEST_F(BkArchivReadTest, OldSheetLayoutHeaders) {
  const std::string good =
      "4 7\nORDER1\nMASTER\n01.02.1998 03:04:05\nskipped\nSECTION FILES\n"
      "./pages/p1.ps 1234 01.02.1998 03:04:05 0 1\nfonts 10 02.02.1998 00:00:00 2 1\n\n"
      "SECTION END\n";
  Header* hdr = nullptr;
  ASSERT_EQ(ParseOld(good, mfmtFolvaneTar, hdr), 0);
  EXPECT_STREQ(hdr->mediaType, "OldFolvane");
  EXPECT_TRUE(Has(hdr->mediaComment, "ORDER1"));
  EXPECT_TRUE(Has(hdr->mediaComment, "%%MASTERJOB MASTER"));
  EXPECT_EQ(hdr->modified.date.year, 1998u);
  const FileEntry* e = hdr->archives->files;
  ASSERT_NE(e, nullptr);
  EXPECT_STREQ(DSStr(e->path), "ORDER1/pages/p1.ps");
  EXPECT_EQ(e->fileMark, 1);
  EXPECT_EQ(e->size, 1234);
  EXPECT_EQ(e->next->fileMark, 3);
  EXPECT_TRUE(std::string(hdr->archives->baseDir).ends_with("/dgjobs"));
  EXPECT_EQ(hdr->blkData, 30720u);
  BkArchiv_DestroyHeaderAndArchives(hdr);
  const struct {
    std::string from, to;
  } damage[] = {{"4 7", "5 7"},
                {"4 7", "4 0"},
                {"ORDER1", ""},
                {"01.02.1998 03:04:05\nskipped", "tomorrow\nskipped"},
                {"SECTION FILES", "SECTION OTHER"},
                {" 1234 ", " "},
                {"SECTION END\n", ""}};
  for (const auto& d : damage) {
    std::string text = good;
    text.replace(text.find(d.from), d.from.size(), d.to);
    EXPECT_EQ(ParseOld(text, mfmtFolvaneTar, hdr), 9) << d.from;
    EXPECT_EQ(hdr, nullptr);
  }
  EXPECT_EQ(ParseOld("", mfmtACpio, hdr), 9);
  ASSERT_EQ(ParseOld("x\ny\n", mfmtACpio, hdr), 0);
  EXPECT_EQ(hdr->blkHeader, 5120u);
  EXPECT_STREQ(hdr->mediaType, "OldBackup Cpio");
  BkArchiv_DestroyHeaderAndArchives(hdr);
  EXPECT_EQ(ParseOld("x\n", mfmtStdF, hdr), 4);
}

}  // namespace
