#include "Jk.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "Capture.hpp"
#include "Sandbox.hpp"
#include "ScsiSim.hpp"
#include "TpVirt.hpp"

namespace {

using zolt::test::CaptureStderr;
using zolt::test::SandboxDir;
using zolt::test::WriteFile;

void NoSleep(int) {}

void MakeDirs(const std::string& path) {
  std::string part;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      if (!part.empty()) ::mkdir(part.c_str(), 0777);
    }
    if (i < path.size()) part.push_back(path[i]);
  }
}

// A FILESYS jukebox: robot 0, slots 1 and 2, port 3, drive 4; tape A in slot 1, tape B in
// slot 2.
std::string MakeFsJuke(const std::string& root) {
  for (const char* e :
       {"robos/robo.0", "slots/slot.1", "slots/slot.2", "ports/port.3", "drives/drive.4"}) {
    MakeDirs(root + "/" + e);
  }
  WriteFile(root + "/slots/slot.1/tapeA", "A");
  WriteFile(root + "/slots/slot.2/tapeB", "B");
  return root;
}

std::string Section(const std::string& name, const std::string& type, const std::string& dev,
                    const std::string& extra = "") {
  return "[jukebox/" + name + "]\nJukeComment=test jukebox\nJukeType=" + type + "\nJukeDev=" + dev +
         "\nJukeState=" + SandboxDir() + "/state." + name +
         "\nLoadSleepTime=0\nRetrySleepTime=0\nDrive0Dev=" + SandboxDir() + "/" + name +
         "-drive0\n" + extra;
}

void WriteConfig(const std::string& text) {
  WriteFile(std::string(std::getenv("VM_CUSTOMER")) + "/juke.conf", text);
  Jk_ForgetConfig();
}

// What the moves leave in a descriptor, comparable across drivers.
std::string Summary(const JkJukeDesc& d) {
  std::string s;
  for (const auto* list : {&d.slots, &d.ports, &d.drives}) {
    for (const JkElement& e : *list) {
      s += (e.full ? "F" : "-") + e.label + "<" + std::to_string(e.fromIndex) + "> ";
    }
    s += "| ";
  }
  return s;
}

class JkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Jk_Init();
    ScsiSim_Init();
    TpVirt_Init();
    Jk_SetSleep(NoSleep);
  }
};

JkJukeDesc Sample() {
  JkJukeDesc d;
  d.robos.resize(1);
  d.slots.resize(2);
  d.ports.resize(1);
  d.drives.resize(1);
  d.slots[0].full = true;
  d.slots[0].label = "LBL1";
  d.slots[0].description = "first tape";
  d.drives[0].driveType = jkTape;
  return d;
}

TEST_F(JkTest, StateFileLinesAndDamagedOnes) {
  JkJukeDesc d = Sample();
  std::string text;
  ASSERT_TRUE(Juke_SPU_BuildJukeState(d, text));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 5 + 3 + 2 * 8 + 8 + 9);
  const std::string head =
      "JukeState Version 1.0\nnRobos  = 1\nnSlots  = 2\nnPorts  = 1\nnDrives = 1\nrobo id = "
      "0\nfromID/fromIndex = -1/-1\nok\n";
  EXPECT_EQ(text.substr(0, head.size()), head);
  EXPECT_NE(text.find("slot id = 0\nfromID/fromIndex = -1/-1\nfirst tape\nLBL1\n"
                      "noCleaningMedia\nok\nfull\nnotChanged\n"),
            std::string::npos);
  EXPECT_NE(text.find("driveType = 1\n"), std::string::npos);

  JkJukeDesc back;
  std::string error;
  ASSERT_TRUE(Juke_SPU_ScanJukeState(text, back, false, error)) << error;
  std::string again;
  ASSERT_TRUE(Juke_SPU_BuildJukeState(back, again));
  EXPECT_EQ(again, text);

  // A missing line, an extra line, a bad word, a missing final newline: refused, unchanged.
  const std::size_t cut = text.find("ok\nfull");
  for (const std::string& bad :
       {text.substr(0, cut) + text.substr(cut + 3), text + "extra\n",
        text.substr(0, cut) + "fine\n" + text.substr(cut + 3), text.substr(0, text.size() - 1),
        std::string("JukeState Version 2.0\n")}) {
    JkJukeDesc keep = Sample();
    EXPECT_FALSE(Juke_SPU_ScanJukeState(bad, keep, false, error)) << bad;
    EXPECT_EQ(keep.slots[0].label, "LBL1");
  }
  JkJukeDesc empty;
  const std::string err =
      CaptureStderr([&] { EXPECT_FALSE(Juke_SPU_BuildJukeState(empty, text)); });
  EXPECT_EQ(err, "Juke_SPU_BuildJukeState: bad values in jukeDesc\n");
}

TEST_F(JkTest, ConfigurationFailures) {
  MakeFsJuke("fs");
  WriteConfig(Section("fs", "FILESYS", "fs", "DriveTpye=tape\n"));
  JkJukeDesc d;
  std::string err = CaptureStderr([&] { EXPECT_FALSE(JkLoadState("fs", d)); });
  EXPECT_NE(err.find("unused entry 'DriveTpye=tape' in juke.conf\n"), std::string::npos) << err;

  WriteConfig(Section("fs", "FILESYS", "fs", "CleaningTapes=1,5\n"));
  err = CaptureStderr([&] { EXPECT_FALSE(JkLoadState("fs", d)); });
  EXPECT_NE(err.find("bad slot for CleaningTapes: 5\n"), std::string::npos) << err;

  err = CaptureStderr([&] { EXPECT_FALSE(JkLoadState("other", d)); });
  EXPECT_EQ(err, "no jukebox section for 'other' in juke.conf\n");

  WriteConfig(Section("fs", "FILESYS", "fs", "DriveType=tape\nCleaningTapes=1\n"));
  ASSERT_TRUE(JkLoadState("fs", d));
  EXPECT_EQ(d.drives[0].driveType, jkTape);
  EXPECT_TRUE(d.slots[1].cleaningMedia);
  EXPECT_EQ(d.unloadSleepTime, 0);
  EXPECT_EQ(d.maxLockTime, 300);
  EXPECT_EQ(d.drives[0].scsiDevice, "/dev/jukedrive0.scsi");
  std::vector<JkJukeInfo> list;
  ASSERT_TRUE(JkQueryJukes(list));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].name, "fs");
  EXPECT_EQ(list[0].type, "FILESYS");
  std::vector<std::string> names;
  for (const JkDriver* drv : Juke_SPI_Drivers()) names.push_back(drv->name);
  EXPECT_EQ(names, (std::vector<std::string>{"FILESYS", "NET", "SCSI"}));
}

// The same moves on any driver: load slot 0 into the drive, label it, put it back, export
// slot 1, import it into slot 1 again, load by label.
std::string RunMoves(JkJukeDesc& d) {
  JkElement& s0 = *JkSelectSlot(d, 0);
  JkElement& s1 = *JkSelectSlot(d, 1);
  JkElement& drive = *JkSelectDrive(d, 0);
  EXPECT_TRUE(JkSetLabel(d, s0, "LBL-A"));
  EXPECT_TRUE(JkSetLabel(d, s1, "LBL-B"));
  EXPECT_TRUE(JkLoadMedia(d, s0, drive));
  std::string trail = Summary(d);
  EXPECT_FALSE(JkLoadMedia(d, s1, drive));  // drive full
  EXPECT_TRUE(JkPutBackMedia(d, drive));
  EXPECT_TRUE(JkExportMedia(d, s1));
  trail += Summary(d);
  EXPECT_TRUE(JkImportMedia(d, s1));
  EXPECT_TRUE(JkDoLoadByLabel(d, "LBL-B", 0));
  EXPECT_TRUE(JkDoLoadByLabel(d, "LBL-B", 0));  // already there: nothing moves
  trail += Summary(d);
  EXPECT_TRUE(JkSaveState(d));
  return trail;
}

TEST_F(JkTest, FilesysMovesChecksAndState) {
  MakeFsJuke("fs");
  WriteConfig(Section("fs", "FILESYS", "fs"));
  JkJukeDesc d;
  ASSERT_TRUE(JkLoadState("fs", d));
  EXPECT_EQ(d.nSlots, 2);
  EXPECT_EQ(d.slots[0].description, "tapeA");
  const std::string trail = RunMoves(d);
  EXPECT_EQ(trail,
            "-<-1> FLBL-B<-1> | -<-1> | FLBL-A<0> | "
            "FLBL-A<0> -<-1> | FLBL-B<1> | -<-1> | "
            "FLBL-A<0> -<-1> | -<-1> | FLBL-B<1> | ");
  struct stat st {};
  ASSERT_EQ(::lstat("fs/drives/drive.4/MEDIUM", &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(::stat((SandboxDir() + "/state.fs").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);

  // Labels come back from the state file; the tree says where the media are.
  JkJukeDesc again;
  ASSERT_TRUE(JkLoadState("fs", again));
  EXPECT_EQ(Summary(again), Summary(d));
  EXPECT_EQ(again.stateStamp, d.stateStamp);

  // The move checks of the directories.
  WriteFile("fs/slots/slot.2/KAPUTT", "");
  std::string err = CaptureStderr([&] {
    EXPECT_FALSE(JkUnloadMedia(again, *JkSelectDrive(again, 0), *JkSelectSlot(again, 1)));
  });
  EXPECT_NE(err.find("FS_MOVE_MEDIUM: destination not ok !\n"), std::string::npos) << err;
  WriteFile("fs/robos/robo.0/core", "");
  err = CaptureStderr([&] { EXPECT_FALSE(JkLoadState("fs", again)); });
  EXPECT_NE(err.find("juke_spi_pseudo.LoadState: core file detected\n"), std::string::npos);
}

TEST_F(JkTest, PutBackAvoidsCleaningSlotsAndLockExpires) {
  MakeFsJuke("fs");
  MakeDirs("fs/slots/slot.5");
  MakeDirs("fs/slots/slot.6");
  WriteConfig(Section("fs", "FILESYS", "fs", "CleaningTapes=2\nMaxLockTime=1\n"));
  JkJukeDesc d;
  ASSERT_TRUE(JkLoadState("fs", d));
  ASSERT_TRUE(JkDoLoadMedia(d, 0, 0));
  // The home slot fills up meanwhile (by import): the medium goes to the first free
  // slot that is not a cleaning slot.
  WriteFile("fs/ports/port.3/tapeC", "C");
  ASSERT_TRUE(JkLoadState("fs", d));
  ASSERT_TRUE(JkImportMedia(d, *JkSelectSlot(d, 0)));
  ASSERT_TRUE(JkPutBackMedia(d, *JkSelectDrive(d, 0)));
  EXPECT_TRUE(d.slots[3].full);
  EXPECT_FALSE(d.slots[2].full);

  ASSERT_TRUE(JkLockJukeBox(d));
  JkJukeDesc other;
  ASSERT_TRUE(JkLoadState("fs", other));
  std::string err = CaptureStderr([&] { EXPECT_FALSE(JkLockJukeBox(other)); });
  EXPECT_NE(err.find("is locked"), std::string::npos);
  ::sleep(2);  // older than MaxLockTime: taken over
  EXPECT_TRUE(JkLockJukeBox(other));
  JkUnlockJukeBox(other);
}

TEST_F(JkTest, ScsiDriverThroughTheSimulatedChanger) {
  std::string error;
  const std::string drive = SandboxDir() + "/sc-drive0";
  ASSERT_TRUE(ScsiSim_Create("changer", 2, 1, {drive}, error)) << error;
  ASSERT_TRUE(TpVirt_Create("changer/media/tapeA", 1e6, error));
  ASSERT_TRUE(TpVirt_Create("changer/media/tapeB", 1e6, error));
  ASSERT_TRUE(ScsiSim_PlaceMedium("changer", 0, "tapeA", error));
  ASSERT_TRUE(ScsiSim_PlaceMedium("changer", 1, "tapeB", error));
  MakeFsJuke("fs");
  WriteConfig(Section("sc", "SCSI", "changer") + Section("fs", "FILESYS", "fs"));
  JkJukeDesc scsi, fs;
  ASSERT_TRUE(JkLoadState("sc", scsi));
  ASSERT_TRUE(JkLoadState("fs", fs));
  EXPECT_EQ(scsi.nSlots, 2);
  EXPECT_EQ(RunMoves(scsi), RunMoves(fs));
  EXPECT_TRUE(TpVirt_IsVirtual(drive.c_str()));  // tape B sits in the drive
  JkJukeDesc again;
  ASSERT_TRUE(JkLoadState("sc", again));
  EXPECT_EQ(Summary(again), Summary(scsi));

  // A refused move is reported with its sense data.
  JkElement& s0 = *JkSelectSlot(again, 0);
  s0.full = false;  // the descriptor believes the slot is empty
  const std::string err = CaptureStderr([&] { EXPECT_FALSE(JkImportMedia(again, s0)); });
  EXPECT_NE(err.find("ImportMedia: no media in a port"), std::string::npos) << err;
}

// Our jukebox server on this sandbox's juke.conf, stopped at the end.
class Server {
 public:
  explicit Server(const std::string& args = "") {
    const std::string cmd = zolt::test::ProgramPath("jukeserver") + " " + args;
    int out[2];
    if (::pipe(out) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::close(out[0]);
      ::execl("/bin/sh", "sh", "-c", ("exec " + cmd).c_str(), nullptr);
      ::_exit(127);
    }
    ::close(out[1]);
    FILE* f = ::fdopen(out[0], "r");
    if (f == nullptr || std::fscanf(f, "port %d", &port_) != 1) port_ = -1;
    if (f) std::fclose(f);
  }
  ~Server() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = -1;
};

TEST_F(JkTest, NetDriverEqualsLocalAndHonoursTheLock) {
  MakeFsJuke("fs");
  MakeFsJuke("fs2");
  WriteConfig(Section("fs", "FILESYS", "fs") + Section("fs2", "FILESYS", "fs2"));
  Server server;
  ASSERT_GT(server.port(), 0);
  const std::string at = "JukeServer=localhost:" + std::to_string(server.port()) + "\n";
  WriteConfig(Section("fs", "FILESYS", "fs", at) + Section("fs2", "FILESYS", "fs2"));
  JkJukeDesc net, local;
  net.remote = true;
  ASSERT_TRUE(JkLoadState("fs", net));
  ASSERT_TRUE(JkLoadState("fs2", local));
  EXPECT_EQ(RunMoves(net), RunMoves(local));
  JkJukeDesc direct;  // what the server did, read without it
  ASSERT_TRUE(JkLoadState("fs", direct));
  EXPECT_EQ(Summary(direct), Summary(net));

  // A second client may read but not move while the first holds the lock.
  JkJukeDesc second;
  second.remote = true;
  ASSERT_TRUE(JkLoadState("fs", second));
  ASSERT_TRUE(JkLockJukeBox(net));
  std::string err = CaptureStderr([&] { EXPECT_FALSE(JkLockJukeBox(second)); });
  EXPECT_NE(err.find("locked by another client"), std::string::npos) << err;
  EXPECT_FALSE(JkSaveState(second));
  JkFreeJukeDesc(net);  // leaving releases the lock, once the server has seen it leave
  bool locked = false;
  for (int i = 0; i < 100 && !locked; ++i) {
    CaptureStderr([&] { locked = JkLockJukeBox(second); });
    if (!locked) ::usleep(20000);
  }
  EXPECT_TRUE(locked);
  EXPECT_TRUE(JkUnlockJukeBox(second));
  JkFreeJukeDesc(second);
}

TEST_F(JkTest, NetDriverServesTheSimulatedChanger) {
  std::string error;
  const std::string drive = SandboxDir() + "/sc-drive0";
  ASSERT_TRUE(ScsiSim_Create("changer", 2, 1, {drive}, error)) << error;
  ASSERT_TRUE(TpVirt_Create("changer/media/tapeA", 1e6, error));
  ASSERT_TRUE(TpVirt_Create("changer/media/tapeB", 1e6, error));
  ASSERT_TRUE(ScsiSim_PlaceMedium("changer", 0, "tapeA", error));
  ASSERT_TRUE(ScsiSim_PlaceMedium("changer", 1, "tapeB", error));
  MakeFsJuke("fs");
  WriteConfig(Section("sc", "SCSI", SandboxDir() + "/work/changer"));
  Server server;
  ASSERT_GT(server.port(), 0);
  WriteConfig(Section("sc", "SCSI", SandboxDir() + "/work/changer",
                      "JukeServer=localhost:" + std::to_string(server.port()) + "\n") +
              Section("fs", "FILESYS", "fs"));
  JkJukeDesc net, fs;
  net.remote = true;
  ASSERT_TRUE(JkLoadState("sc", net));
  ASSERT_TRUE(JkLoadState("fs", fs));
  EXPECT_EQ(RunMoves(net), RunMoves(fs));
  EXPECT_TRUE(TpVirt_IsVirtual(drive.c_str()));
  JkFreeJukeDesc(net);
}

TEST_F(JkTest, HandshakeRefusesAnOldServer) {
  MakeFsJuke("fs");
  WriteConfig(Section("fs", "FILESYS", "fs"));
  Server server("-P 0.9");
  ASSERT_GT(server.port(), 0);
  WriteConfig(Section("fs", "FILESYS", "fs",
                      "JukeServer=localhost:" + std::to_string(server.port()) + "\n"));
  JkJukeDesc d;
  d.remote = true;
  const std::string err = CaptureStderr([&] { EXPECT_FALSE(JkLoadState("fs", d)); });
  EXPECT_NE(err.find("juke_spi_net: ConnectToJukeServer: incompatible protocol\n"
                     "client: 1.0 / server: 0.9\n"),
            std::string::npos)
      << err;
}

TEST_F(JkTest, ReplyReaderLimits) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const std::string big = "DATA 4097\n";
  const std::string input = "OK 42\nERROR -3 no such slot\nDATA 5\nab\ncdBAD\n" + big;
  ASSERT_EQ(::write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  ::close(fds[1]);
  long long n = 0;
  std::string text;
  EXPECT_EQ(Juke_SPI_NET_ReadReply(fds[0], n, text), JkReply::Ok);
  EXPECT_EQ(n, 42);
  EXPECT_EQ(Juke_SPI_NET_ReadReply(fds[0], n, text), JkReply::Error);
  EXPECT_EQ(n, -3);
  EXPECT_EQ(text, "no such slot");
  EXPECT_EQ(Juke_SPI_NET_ReadReply(fds[0], n, text), JkReply::Data);
  EXPECT_EQ(text, "ab\ncd");
  EXPECT_EQ(Juke_SPI_NET_ReadReply(fds[0], n, text), JkReply::Broken);
  const std::string err =
      CaptureStderr([&] { EXPECT_EQ(Juke_SPI_NET_ReadReply(fds[0], n, text), JkReply::Broken); });
  EXPECT_EQ(err, "juke_spi_net: too much data\n");
  ::close(fds[0]);
}

TEST_F(JkTest, ElementStatusParserRefusesBadReplies) {
  JkJukeDesc d;
  std::string error;
  unsigned char b[64] = {};
  EXPECT_FALSE(Juke_SPI_SCSI_ParseElementStatus(b, 7, d, error));
  EXPECT_EQ(error, "element status reply too short");
  // One storage page with one 12-byte descriptor.
  b[7] = 20;
  b[8] = 2;
  b[11] = 12;
  b[15] = 12;
  b[16 + 1] = 7;
  b[16 + 2] = 1;
  ASSERT_TRUE(Juke_SPI_SCSI_ParseElementStatus(b, 28, d, error)) << error;
  ASSERT_EQ(d.nSlots, 1);
  EXPECT_EQ(d.slots[0].id, 7);
  EXPECT_TRUE(d.slots[0].full);
  b[11] = 0;
  EXPECT_FALSE(Juke_SPI_SCSI_ParseElementStatus(b, 28, d, error));
  EXPECT_EQ(error, "element descriptor length 0");
  b[11] = 12;
  b[15] = 40;
  b[7] = 48;
  EXPECT_FALSE(Juke_SPI_SCSI_ParseElementStatus(b, 28, d, error));
  EXPECT_EQ(error, "element status page beyond the buffer");
  EXPECT_EQ(d.nSlots, 1);  // unchanged
}

}  // namespace
