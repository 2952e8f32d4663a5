// End-to-end: archive scripts made by the toolkit run as jobs of the real job server,
// with the data path library, on a file-system medium, a disk image and a virtual tape;
// stock tar and cpio read every data file, read jobs restore files byte for byte.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "BFileIO.hpp"
#include "BkArchivText.hpp"
#include "BkJobs.hpp"
#include "BkMisc.hpp"
#include "JobServerFixture.hpp"
#include "Messages.hpp"

namespace {

using namespace zolt::test;

// The test's working directory, where RunCommand works too.
std::string Here() {
  char dir[4096];
  return ::getcwd(dir, sizeof dir) != nullptr ? dir : ".";
}

class ArchiveJobsTest : public JobServerTest {
 protected:
  void SetUp() override {
    JobServerTest::SetUp();
    const std::string path = BuildDir() + "/bin:" + std::getenv("PATH");
    ::setenv("PATH", path.c_str(), 1);
    ::setenv("DISPLAY", "", 1);
    BkJobs_Init();
    Messages_UseMsgCat("ZAREDAVmsg");
    src = Here() + "/src";
    RunCommand(
        "mkdir -p 'src/jobs/order 1/sub' 'src/jobs/order 2' src/info && "
        "head -c 200000 /dev/urandom > 'src/jobs/order 1/sub/big.bin' && "
        "echo pdf > 'src/jobs/order 1/a.pdf' && chmod 640 'src/jobs/order 1/a.pdf' && "
        "touch -d '2020-01-02 03:04:05' 'src/jobs/order 1/a.pdf' && "
        "echo x > 'src/jobs/order 2/x' && echo aif > src/info/o1.aif && "
        "echo gen2 > src/info/o2.aif");
  }
  void TearDown() override {
    for (Header* h : headers) BkArchiv_DestroyHeaderAndArchives(h);
    if (dev.fs.root != dsNil) DSFree(&dev.fs.root);
    JobServerTest::TearDown();
  }

  void Device(std::uint8_t type, const std::string& name) {
    dev.baseType = type;
    dev.subtype = 1;
    Strings_Assign(name, dev.record.devName);
    Strings_Assign(BkMisc_localHost, dev.record.host);
    Strings_Assign("test medium", dev.record.description);
    dev.isLocal = true;
    dev.blkHeader = 512;
    dev.blkData = 10240;
    dev.dirSize = type == BkDevSel_filesys ? -1 : type == BkDevSel_disk ? 65536 : 0;
    if (type == BkDevSel_filesys) dev.fs.root = DSCreateStr(name.c_str(), 0);
  }

  void AddArchive(Header* h, const std::string& base,
                  std::initializer_list<std::pair<const char*, int>> files) {
    FileList list = nullptr;
    for (const auto& [path, mark] : files) {
      struct stat sb {};
      ::stat((base + "/" + path).c_str(), &sb);
      DirAcces_DirEntry info{};
      info.isDirectory = S_ISDIR(sb.st_mode);
      info.size = static_cast<double>(sb.st_size);
      BkFLists_AppendOnFileList(list, StrIn::FromC(path), true, info, mark, 1);
    }
    Archive* a = nullptr;
    BkArchiv_NewArchive(h, a, "Offset-Folvane", "", BkMisc_localHost, base, list);
  }

  Header* FirstGeneration(std::uint8_t fmt) {
    Header* h = nullptr;
    BkArchiv_NewHeader(h, fmt, "TEST", "Test medium");
    headers.push_back(h);
    AddArchive(h, src + "/jobs",
               {{"order 1", 0},
                {"order 1/a.pdf", 0},
                {"order 1/sub", 0},
                {"order 1/sub/big.bin", 0},
                {"order 2", 1},
                {"order 2/x", 1}});
    AddArchive(h, src + "/info", {{"o1.aif", 0}});
    return h;
  }

  // Runs a job to its end; the script's own log tells the outcome.
  std::string Run(bool write, Header* h, const std::string& desc, const std::string& where) {
    const int rc = write ? BkJobs_StartWriteArchives(dev, h, where, desc, "", "", "")
                         : BkJobs_StartReadArchives(dev, h, where, desc, "", "", "");
    EXPECT_EQ(rc, 0) << desc;
    char dir[1024];
    BkJobs_CmdScript_GetScriptDir(dir);
    const std::string log = std::string(dir) + "/bkArchiv.log";
    EXPECT_TRUE(Eventually(
        [&] {
          return ReadFile(log).find("OK:") != std::string::npos ||
                 ReadFile(log).find("FAILED:") != std::string::npos;
        },
        60000))
        << desc;
    EXPECT_TRUE(Reaches(desc, "done", 20000)) << desc << ": " << Status(desc);
    return ReadFile(log);
  }

  Header* Parse(const std::string& file, std::uint8_t fmt) {
    Header* h = nullptr;
    BkArchiv_NewHeader(h, fmt, "", "");
    headers.push_back(h);
    BFileIO_File f = BFileIO_Open(file, 0);
    EXPECT_NE(f, BFileIO_Nil) << file;
    bool isEmpty = false;
    BkArchiv_ParseStdSHeader(f, h, fmt, isEmpty);
    BFileIO_Close(f);
    EXPECT_EQ(BkArchiv_bkaError, 0) << file;
    h->newHeader = false;
    return h;
  }

  // Selects exactly the given paths in every archive.
  static void Select(Header* h, std::initializer_list<const char*> paths) {
    for (Archive* a = h->archives; a != nullptr; a = a->next) {
      for (FileEntry* e = a->files; e != nullptr; e = e->next) {
        e->selected = false;
        for (const char* p : paths) e->selected = e->selected || DSCmpStr(e->path, p) == 0;
      }
    }
  }

  void ExpectRestored(const std::string& out, const std::string& rel, const std::string& from) {
    EXPECT_EQ(ReadFile(out + "/" + rel), ReadFile(src + "/" + from + "/" + rel)) << rel;
    struct stat a {
    }, b{};
    ASSERT_EQ(::stat((out + "/" + rel).c_str(), &a), 0) << rel;
    ::stat((src + "/" + from + "/" + rel).c_str(), &b);
    EXPECT_EQ(a.st_mode, b.st_mode) << rel;
    EXPECT_EQ(a.st_mtime, b.st_mtime) << rel;
  }

  DevListEntry dev{};
  std::vector<Header*> headers;
  std::string src;
};

TEST_F(ArchiveJobsTest, FileSystemMediumTwoGenerations) {
  const std::string root = Here() + "/fsroot";
  ::mkdir(root.c_str(), 0777);
  Device(BkDevSel_filesys, root);
  const std::string copy = Here() + "/copy1";
  EXPECT_NE(Run(true, FirstGeneration(mfmtStdD), "backup 1", copy).find("OK:"), std::string::npos);
  // Data files 0 and 1 of the first archive, 2 of the second; stock cpio reads them.
  EXPECT_EQ(RunCommand("cpio -it < fsroot/0 2>/dev/null").out,
            "order 1\norder 1/a.pdf\norder 1/sub\norder 1/sub/big.bin\n");
  EXPECT_EQ(RunCommand("cpio -it < fsroot/1 2>/dev/null").out, "order 2\norder 2/x\n");
  EXPECT_EQ(RunCommand("cpio -it < fsroot/2 2>/dev/null").out, "o1.aif\n");
  EXPECT_EQ(ReadFile(root + "/DHEADER"),
            ReadFile(copy).substr(0, ReadFile(root + "/DHEADER").size()));

  // A second generation behind the first.
  Header* h = Parse(copy, mfmtStdD);
  AddArchive(h, src + "/info", {{"o2.aif", 0}});
  const std::string copy2 = Here() + "/copy2";
  EXPECT_NE(Run(true, h, "backup 2", copy2).find("OK:"), std::string::npos);
  EXPECT_EQ(RunCommand("cpio -it < fsroot/3 2>/dev/null").out, "o2.aif\n");

  // Both generations read back.
  Header* r = Parse(copy2, mfmtStdD);
  Select(r, {"order 1/a.pdf", "order 1/sub/big.bin", "o2.aif"});
  const std::string out = Here() + "/restore";
  EXPECT_NE(Run(false, r, "restore", out).find("OK:"), std::string::npos);
  ExpectRestored(out, "order 1/a.pdf", "jobs");
  ExpectRestored(out, "order 1/sub/big.bin", "jobs");
  ExpectRestored(out, "o2.aif", "info");
  EXPECT_NE(::access((out + "/order 2/x").c_str(), F_OK), 0);

  // The operator's check of the medium the data path made: sound, then a data file cut.
  const std::string verify = ProgramPath("bkmedia") + " verify fsroot";
  auto v = RunCommand(verify);
  EXPECT_EQ(v.status, 0) << v.out << v.err;
  RunCommand("truncate -s 1024 fsroot/0");
  v = RunCommand(verify);
  EXPECT_EQ(v.status, 1) << v.out << v.err;
  EXPECT_NE(v.out + v.err, "");
}

TEST_F(ArchiveJobsTest, DiskImage) {
  RunCommand("truncate -s 8M disk.img");
  Device(BkDevSel_disk, Here() + "/disk.img");
  EXPECT_NE(Run(true, FirstGeneration(mfmtStdD), "backup disk", Here() + "/copy").find("OK:"),
            std::string::npos);
  // The medium's header carries the start blocks of the data files.
  RunCommand(
      "dd if=disk.img bs=512 count=128 status=none | cpio -i --to-stdout DHEADER > medium.hdr");
  Header* r = Parse(Here() + "/medium.hdr", mfmtStdD);
  ASSERT_NE(r->fmDir, nullptr);
  const auto start = r->fmDir->startBlock;
  EXPECT_EQ(RunCommand("dd if=disk.img bs=512 skip=" + std::to_string(start) +
                       " status=none | cpio -it 2>/dev/null")
                .out,
            "order 1\norder 1/a.pdf\norder 1/sub\norder 1/sub/big.bin\n");
  Select(r, {"order 1/sub/big.bin", "o1.aif"});
  const std::string out = Here() + "/restore";
  EXPECT_NE(Run(false, r, "restore disk", out).find("OK:"), std::string::npos);
  ExpectRestored(out, "order 1/sub/big.bin", "jobs");
  ExpectRestored(out, "o1.aif", "info");
}

TEST_F(ArchiveJobsTest, VirtualTape) {
  ASSERT_EQ(RunCommand(ProgramPath("vtape") + " create tape 4M").status, 0);
  Device(BkDevSel_tape, Here() + "/tape");
  const std::string copy = Here() + "/copy";
  EXPECT_NE(Run(true, FirstGeneration(mfmtStdTar), "backup tape", copy).find("OK:"),
            std::string::npos);
  // Tape file 0 is the header, then one tar data file per file mark.
  const std::string vt = ProgramPath("vtape") + " -f tape ";
  RunCommand(vt + "load");
  EXPECT_EQ(RunCommand(vt + "read | tar -tf -").out, "SHEADER\n");
  EXPECT_EQ(RunCommand(vt + "read | tar -tf -").out,
            "order 1/\norder 1/a.pdf\norder 1/sub/\norder 1/sub/big.bin\n");
  EXPECT_EQ(RunCommand(vt + "read | tar -tf -").out, "order 2/\norder 2/x\n");
  EXPECT_EQ(RunCommand(vt + "read | tar -tf -").out, "o1.aif\n");
  Header* r = Parse(copy, mfmtStdTar);
  Select(r, {"order 1/a.pdf", "o1.aif"});
  const std::string out = Here() + "/restore";
  EXPECT_NE(Run(false, r, "restore tape", out).find("OK:"), std::string::npos);
  ExpectRestored(out, "order 1/a.pdf", "jobs");
  ExpectRestored(out, "o1.aif", "info");
}

}  // namespace
