#include "BkJobs.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <regex>
#include <string>

#include "BkMisc.hpp"
#include "DirAcces.hpp"
#include "Messages.hpp"
#include "Sandbox.hpp"
#include "testdata/TestClock.hpp"

namespace {

using zolt::test::ReadFile;
using zolt::test::RunCommand;
using zolt::test::SandboxDir;

std::string GoldenPath(const std::string& name) {
  return std::string(BKARCHIV_TESTDATA) + "/jobs/" + name;
}

// path on this host as other hosts reach it.
std::string UnderNetRoot(const std::string& path) {
  char out[4096];
  DirAcces_NetPath(BkMisc_localHost, path, out);
  return out;
}

// The script with this run's sandbox and host replaced by fixed words.
std::string Normalised(std::string text) {
  auto replace = [&](const std::string& from, const std::string& to) {
    for (std::size_t p; !from.empty() && (p = text.find(from)) != std::string::npos;) {
      text.replace(p, from.size(), to);
    }
  };
  replace(UnderNetRoot(SandboxDir()), "/nfs/@HOST@@SANDBOX@");
  char netRoot[1024];
  DirAcces_GetNetRoot(netRoot);
  replace(netRoot, "/nfs");
  replace(SandboxDir(), "@SANDBOX@");
  // The number depends on the scripts made before in the same sandbox.
  return std::regex_replace(text, std::regex("archivecmds-[0-9]+"), "archivecmds-N");
}

// Compares with the golden file; ZOLT_UPDATE_GOLDEN=1 writes it instead (for review).
void ExpectGolden(std::string script, const std::string& name) {
  const std::string nfs = UnderNetRoot("/");                       // ends in "/"
  if (script.rfind(nfs, 0) == 0) script.erase(0, nfs.size() - 1);  // the same file here
  const std::string text = Normalised(ReadFile(script));
  ASSERT_FALSE(text.empty()) << script;
  if (const char* u = std::getenv("ZOLT_UPDATE_GOLDEN"); u != nullptr && *u == '1') {
    zolt::test::WriteFile(GoldenPath(name), text);
  }
  EXPECT_EQ(text, ReadFile(GoldenPath(name))) << name;
}

DirAcces_DirEntry Info(bool dir) {
  DirAcces_DirEntry info{};
  info.isDirectory = dir;
  info.size = dir ? 0 : 100;
  return info;
}

class BkJobsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("DISPLAY", "ws7:0.0", 1);
    ::unsetenv("LD_LIBRARY_PATH");
    bkarchiv_test::SetNow(1, 2, 2026);
    BkJobs_Init();
    Messages_UseMsgCat("ZAREDAVmsg");
  }
  void TearDown() override {
    BkArchiv_DestroyHeaderAndArchives(hdr);
    for (DS* ds : {&dev.fs.root, &dev.fs.mountCmdW, &dev.fs.mountCmdR, &dev.fs.umountCmdW,
                   &dev.fs.umountCmdR, &dev.fs.flushCmd, &dev.fs.unloadCmd}) {
      if (*ds != dsNil) DSFree(ds);
    }
  }

  void Device(std::uint8_t baseType, const char* devName, const char* host = "") {
    dev.baseType = baseType;
    dev.subtype = 1;
    Strings_Assign(StrIn::FromC(devName), dev.record.devName);
    Strings_Assign(StrIn::FromC(host), dev.record.host);
    Strings_Assign("Test device", dev.record.description);
    dev.isLocal = true;
    dev.blkHeader = 512;
    dev.blkData = 10240;
    dev.dirSize = baseType == BkDevSel_filesys ? -1 : 0;
    Strings_Assign("dev:tape0:w", dev.resourceID);
  }

  Archive* AddArchive(const char* baseDir, const char* host,
                      std::initializer_list<std::pair<const char*, int>> files) {
    Archive* a = nullptr;
    BkArchiv_AppendEmptyArchive(hdr, a, "Offset-Folvane");
    Strings_Assign(StrIn::FromC(baseDir), a->baseDir);
    Strings_Assign(StrIn::FromC(host), a->host);
    for (const auto& [path, mark] : files) {
      const std::string p = path;
      const bool dir = !p.empty() && p.back() == '/';
      BkFLists_AppendOnFileList(a->files, dir ? p.substr(0, p.size() - 1) : p, true, Info(dir),
                                mark, 1);
    }
    a->isNew = true;
    return a;
  }

  std::string Write(const char* copyDest = "", const char* final = "") {
    char path[1024];
    BkJobs_MkWriteScript(dev, hdr, StrIn::FromC(copyDest), StrIn::FromC(final), "", "", path);
    EXPECT_EQ(BkArchiv_bkaError, 0);
    return path;
  }

  DevListEntry dev{};
  Header* hdr = nullptr;
};

TEST_F(BkJobsTest, ScriptsAreNumberedFromTheSharedCounter) {
  char root[1024], name[1024], dir[1024];
  BkJobs_GetRootScriptDir(root);
  EXPECT_EQ(std::string(root), SandboxDir() + "/tmp/scripts");
  ASSERT_TRUE(BkJobs_CmdScript_BeginCmdScript("archivecmds", true, true));
  ASSERT_TRUE(BkJobs_CmdScript_FinishCmdScript());
  BkJobs_CmdScript_GetScriptName(name);
  EXPECT_EQ(std::string(name), std::string(root) + "/archivecmds-0/archivecmds-0");
  EXPECT_EQ(ReadFile(std::string(root) + "/.counter"), "       0\n");
  // A name another tool took already makes the counter advance again.
  ::mkdir((std::string(root) + "/archivecmds-2").c_str(), 0777);
  ASSERT_TRUE(BkJobs_CmdScript_BeginCmdScript("archivecmds", true, true));
  EXPECT_TRUE(BkJobs_CmdScript_FinishCmdScript());
  ASSERT_TRUE(BkJobs_CmdScript_BeginCmdScript("archivecmds", true, false));
  BkJobs_CmdScript_FinishCmdScript();
  BkJobs_CmdScript_GetScriptName(name);
  BkJobs_CmdScript_GetScriptDir(dir);
  EXPECT_EQ(ReadFile(std::string(root) + "/.counter"), "       3\n");
  // A device on another host reaches the script below the network root and this host.
  const std::string nfs = UnderNetRoot(root);
  EXPECT_EQ(std::string(dir), nfs + "/archivecmds-3");
  EXPECT_EQ(std::string(name), nfs + "/archivecmds-3/archivecmds-3");
  EXPECT_EQ(ReadFile(std::string(root) + "/archivecmds-3/archivecmds-3"),
            "#!/usr/bin/env bash\nscriptDir=" + nfs + "/archivecmds-3\nscriptName=" + nfs +
                "/archivecmds-3/archivecmds-3\nscriptSubdir=1\n"
                "export scriptDir scriptName scriptSubdir\n\n");
  struct stat sb {};
  ASSERT_EQ(::stat((std::string(root) + "/archivecmds-3/archivecmds-3").c_str(), &sb), 0);
  EXPECT_EQ(sb.st_mode & 0777, 0777u);
  BkJobs_CmdScript_CleanUpCmdScript();
  EXPECT_NE(::stat((std::string(root) + "/archivecmds-3").c_str(), &sb), 0);
}

TEST_F(BkJobsTest, NewHeaderOnAFileSystemWithMountAndCopy) {
  Device(BkDevSel_filesys, "/media/backup");
  dev.fs.root = DSCreateStr("/media/backup/root", 0);
  dev.fs.mountCmdW = DSCreateStr("mount /media/backup", 0);
  dev.fs.umountCmdW = DSCreateStr("umount /media/backup", 0);
  dev.fs.unloadCmd = DSCreateStr("eject /media/backup", 0);
  BkArchiv_NewHeader(hdr, mfmtStdD, "MO", "Backup\nsecond line");
  BkArchiv_SetExpectLabel(hdr, "2026020101.05_MO_01.02.2026_10:11:12");
  AddArchive("/projects/orders/jobs", "",
             {{"order 1/", 0}, {"order 1/a$b.pdf", 0}, {"order 2/x", 2}});
  AddArchive("/projects/orders/info", "", {{"o1.aif", 3}});
  const std::string script = Write("/projects/backups/2026020101.05", "FolvaneO -r x");
  ExpectGolden(script, "write-new-fs.golden");
  // Mark 1 had no file: an empty data file keeps the numbering.
  const std::string dir = script.substr(0, script.rfind('/'));
  EXPECT_EQ(ReadFile(dir + "/FMDIR").substr(ReadFile(dir + "/FMDIR").find('\n')), "\n0 0\n1 0\n");
  EXPECT_FALSE(ReadFile(dir + "/HEADER").empty());
  EXPECT_NE(ReadFile(dir + "/HEADER.arch").find("BEGIN FULLPATHS"), std::string::npos);
}

TEST_F(BkJobsTest, AppendableTapeHeaderAndAnArchiveOfAnotherHost) {
  Device(BkDevSel_tape, "/dev/nst0", "tapehost");
  dev.tape.blkDevice = 10240;
  BkArchiv_NewHeader(hdr, mfmtStdTarA, "DAT", "Tape");
  hdr->newHeader = false;
  hdr->nextData = 4;
  hdr->blkDevice = 10240;
  AddArchive("/projects/orders/jobs", "ws2", {{"a b/c'd", 4}, {"-n", 4}});
  const std::string script = Write("/projects/backups/x");
  ExpectGolden(script, "write-append-tape.golden");
}

TEST_F(BkJobsTest, RecoveredHeaderOnADiskWithAHeaderArea) {
  Device(BkDevSel_disk, "/dev/sdb (mo)");
  dev.dirSize = 65536;
  dev.isLocal = false;
  BkArchiv_NewHeader(hdr, mfmtStdD, "MO", "Disk");
  hdr->newHeader = false;
  hdr->recovered = true;
  hdr->nextData = 3;
  hdr->dirSize = 65536;
  AddArchive("/jobs", "", {{"f", 3}});
  ExpectGolden(Write(), "write-recovered-disk.golden");
}

TEST_F(BkJobsTest, ReadScriptFindsTheArchivesAgainByTheirFileMarks) {
  Device(BkDevSel_tape, "/dev/nst0");
  BkArchiv_NewHeader(hdr, mfmtStdTar, "DAT", "Tape");
  Archive* a = AddArchive("/projects/orders/jobs", "", {{"x", 1}, {"y", 3}, {"z", 5}});
  AddArchive("/projects/orders/info", "", {{"skip", 6}, {"i.aif", 8}});
  BkFLists_SelectByPath(a->files, DSCreateTmpStr("x", 0), dsNil, false);
  BkFLists_SelectAllFiles(hdr->archives->next->files, false);
  BkFLists_SelectByTapeAndMark(hdr->archives->next->files, 1, 8, true);
  char path[1024];
  BkJobs_MkReadScript(dev, hdr, "", "FolvaneO -r order", "", "", path);
  ASSERT_EQ(BkArchiv_bkaError, 0);
  // From the rewound tape: 3 forward to mark 3, then 1 forward to 5, then 2 to 8.
  ExpectGolden(path, "read-tape.golden");
}

TEST_F(BkJobsTest, ReadScriptDecompressesWhatWasWrittenCompressed) {
  Device(BkDevSel_filesys, "/media/fs");
  for (const bool compressed : {false, true}) {
    BkArchiv_DestroyHeaderAndArchives(hdr);
    BkArchiv_NewHeader(hdr, mfmtStdD, "DAT", "");  // as read: no flag on the header
    AddArchive("/projects/orders", "", {{"a.aif", 0}})->softCompress = compressed;
    AddArchive("/projects/forms/f", "", {{"x", 1}})->softCompress = !compressed;
    BkFLists_SelectAllFiles(hdr->archives->next->files, false);  // only the first is read
    char path[1024];
    BkJobs_MkReadScript(dev, hdr, "", "", "", "", path);
    ASSERT_EQ(BkArchiv_bkaError, 0);
    const std::string expected = compressed ? "\nsoftCompress=1\n" : "\nsoftCompress=\n";
    EXPECT_NE(ReadFile(path).find(expected), std::string::npos) << compressed;
    EXPECT_FALSE(hdr->softCompress);
  }
}

TEST_F(BkJobsTest, HeadLinesOfRawFormatsNotifyTextsAndStoreArchives) {
  Device(BkDevSel_tape, "/dev/nst0");
  dev.isArchive = true;
  Strings_Assign("2026020101.05", dev.storeLabel);
  Strings_Assign("/projects/backups/2026020101.05", dev.archiveFile);
  BkArchiv_NewHeader(hdr, mfmtRawTar, "DAT", "");
  ASSERT_TRUE(BkJobs_CmdScript_BeginCmdScript("archivecmds", false, true));
  char dirFile[128];
  EXPECT_TRUE(BkJobs_EmitScriptHead(hdr, dev, "Backup done\nTape: 'A' $1", "", true, dirFile));
  EXPECT_EQ(std::string(dirFile), "");
  ASSERT_TRUE(BkJobs_CmdScript_FinishCmdScript());
  char name[1024];
  BkJobs_CmdScript_GetScriptName(name);
  const std::string text = ReadFile(name);
  EXPECT_NE(text.find("\ndirFile=\ndirFileM=\n"), std::string::npos);
  EXPECT_NE(text.find("\nnotifyOK=Backup\\ done\\\\nTape:\\ \\'A\\'\\ \\$1\n"), std::string::npos);
  EXPECT_NE(text.find("\nisArchive=1\narchiveFile=/projects/backups/2026020101.05\n"),
            std::string::npos);
  EXPECT_NE(text.find("\nexpectLabel=\nLoadMedia 2026020101.05 /dev/nst0\nCheckFail\n"
                      "expectLabel=2026020101.05\n"),
            std::string::npos);
  EXPECT_NE(text.find("\nDISPLAY=ws7:0.0; export DISPLAY\n"), std::string::npos);
  BkJobs_CmdScript_CleanUpCmdScript();
}

// The echo lines of a write script give back every name byte for byte when bash runs
// them with the library's echo; a name with a line feed is refused, not executed.
TEST_F(BkJobsTest, HostileFileNamesAreCarriedLiterally) {
  Device(BkDevSel_filesys, "/media/backup");
  dev.fs.root = DSCreateStr("/media/backup", 0);
  BkArchiv_NewHeader(hdr, mfmtStdD, "FS", "");
  const std::vector<std::string> names = {
      "a b", "q'\"", "$(touch pwned)", "`touch pwned`", "back\\slash", "*", "?", "~", "~root",
      "-n",  "-e",   "x;y&z|w",        "tab\there",     "{a,b}",       "!x"};
  Archive* a = AddArchive("/jobs", "", {});
  for (const auto& n : names) BkFLists_AppendOnFileList(a->files, n, true, Info(false), 0, 1);
  BkFLists_AppendOnFileList(a->files, "line\nfeed", true, Info(false), 0, 1);
  const std::string script = Write();
  const std::string text = ReadFile(script);
  std::string echoes = "echo() { printf '%s\\n' \"$*\"; }\ncd /\n";
  for (std::size_t p = 0; (p = text.find("\necho ", p)) != std::string::npos; ++p) {
    echoes += text.substr(p + 1, text.find('\n', p + 1) - p);
  }
  zolt::test::WriteFile("echoes.sh", echoes);
  const auto r = RunCommand("bash echoes.sh");
  std::string expected;
  for (const auto& n : names) expected += n + "\n";
  EXPECT_EQ(r.out, expected);
  struct stat sb {};
  EXPECT_NE(::stat("/pwned", &sb), 0);
  const std::string dir = script.substr(0, script.rfind('/'));
  EXPECT_EQ(ReadFile(dir + "/REFUSED"), "line\\nfeed\n");
}

TEST_F(BkJobsTest, JobRecordsCarryTheScriptAndTheReservation) {
  Device(BkDevSel_filesys, "/media/backup");
  dev.fs.root = DSCreateStr("/media/backup", 0);
  BkArchiv_NewHeader(hdr, mfmtStdD, "FS", "");
  AddArchive("/jobs", "", {{"f", 0}});
  SJobQues_Job* job = BkJobs_MkWriteJob(dev, hdr, "", "Backup 1", "/bin/true", "", "", "");
  ASSERT_NE(job, nullptr);
  EXPECT_EQ(std::string(job->command).rfind("archivecmds-", 0), 0u);
  EXPECT_EQ(
      ReadFile(std::string(job->workDir) + "/" + job->command).rfind("#!/usr/bin/env bash", 0), 0u);
  EXPECT_EQ(std::string(job->scriptPrecondition), "/bin/true");
  EXPECT_EQ(job->cpuUsage, 0);
  EXPECT_EQ(job->resources, std::vector<std::string>{"!dev:tape0:w"});
  SJobQues_DestroyJob(job);

  // A media-store archive waits for its device and inherits the store's reservation.
  dev.isArchive = true;
  Strings_Assign("/dev/sr0", dev.record.altDevName);
  Strings_Assign("store:2026020101.05:w", dev.storeResourceID);
  Strings_Assign("2026020101.05", dev.storeLabel);
  Strings_Assign("/projects/backups/2026020101.05", dev.archiveFile);
  hdr->archives->isNew = true;
  job = BkJobs_MkReadJob(dev, hdr, "/restore", "Restore", "", "", "", "");
  ASSERT_NE(job, nullptr);
  EXPECT_EQ(job->resources, (std::vector<std::string>{"!store:2026020101.05:w", "?*:/dev/sr0:*",
                                                      "?*:/media/backup:*"}));
  SJobQues_DestroyJob(job);
}

}  // namespace

namespace {

// Labelling runs its script at once: the header lands on the medium, and a missing
// medium is a failure.
TEST_F(BkJobsTest, WriteLabelPutsTheHeaderOnTheMedium) {
  const std::string root = SandboxDir() + "/medium";
  ::mkdir(root.c_str(), 0777);
  Device(BkDevSel_filesys, root.c_str());
  dev.fs.root = DSCreateStr(root.c_str(), 0);
  BkArchiv_NewHeader(hdr, mfmtStdD, "FS", "fresh medium");
  EXPECT_TRUE(BkJobs_WriteLabel(dev, hdr));
  EXPECT_NE(ReadFile(root + "/DHEADER").find("fresh medium"), std::string::npos);
  DSFree(&dev.fs.root);
  dev.fs.root = DSCreateStr((root + "/gone").c_str(), 0);
  EXPECT_FALSE(BkJobs_WriteLabel(dev, hdr));
}

}  // namespace
