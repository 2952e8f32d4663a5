// End-to-end: orders backed up through the scripted backup dialog onto a file-system
// medium, a disk image and a virtual tape by our job server and data path, read back by
// stock cpio and tar, restored through the scripted restore dialog into a fresh job root
// and registered by our FolvaneO; and a tool killed in the middle of a dialog. The
// toolkit's device choice is replaced by the device the test sets.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "BkArchivRead.hpp"
#include "BkDevSel.hpp"
#include "BkIact.hpp"
#include "BkJobs.hpp"
#include "BkMisc.hpp"
#include "DirAcces.hpp"
#include "JobServerFixture.hpp"
#include "Processe.hpp"
#include "SDevAllo.hpp"
#include "TkVirtual.hpp"
#include "VuvedurTestJobs.hpp"

namespace {

using namespace zolt::test;
using vuvedur_test::MakeJobRoot;
using vuvedur_test::Quote;

DevListEntry* chosenDevice = nullptr;
std::uint8_t newFormat = mfmtStdD;

void ChooseDevice(BkDevSel_DevList& list, std::uint32_t, StrIn, bool, std::uint8_t, bool,
                  bool& cancelled) {
  cancelled = chosenDevice == nullptr;
  if (cancelled) return;
  list = BkDevSel_CopyDevListEntry(*chosenDevice);
  list->selected = true;
}
void Ready(BkDevSel_DevList, bool, bool, bool& cancelled) { cancelled = false; }
bool appendToMedium = false;  // the user chooses to append to the medium in the device

// A new medium of the test's format, or the medium's own header to append to, as the
// user's choice in the prepare dialog makes it.
void NewMedium(DevListEntry& device, Header*& header, bool, int, bool& cancelled) {
  cancelled = false;
  if (appendToMedium) {
    bool recovered = false, isEmpty = false;
    BkArchiv_ReadHeader(device, false, header, recovered, isEmpty);
    cancelled = header == nullptr;
    return;
  }
  BkArchiv_NewHeader(header, newFormat, "", "");
}
void NoErrFiles(FileList, long, bool& cancelled) { cancelled = false; }

std::string Here() {
  char dir[4096];
  return ::getcwd(dir, sizeof dir) != nullptr ? dir : ".";
}

std::string JobTitle(std::uint32_t number, std::initializer_list<std::string> args) {
  char text[128];
  Messages_GetMsg(Vuvedur_sectionN, number, text);
  for (const auto& a : args) SPrintf_String(text, a);
  return text;
}

// Another process takes the device heldDevice names at the resource manager and keeps
// it until the process that started it ends.
std::string heldDevice;
void TakeHeldDevice(void*) {
  int fds[2];
  if (::pipe(fds) != 0) return;
  if (::fork() == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    SRM_Reset();
    const char ok = SRM_Reserve(heldDevice, true) ? 1 : 0;
    if (::write(fds[1], &ok, 1) != 1) ::_exit(1);
    for (;;) ::pause();
  }
  char ok = 0;
  if (::read(fds[0], &ok, 1) != 1 || ok != 1) std::_Exit(7);
  ::close(fds[0]);
  ::close(fds[1]);
}

enum class Medium { FileSystem, DiskImage, Tape };

class BackupRestore : public JobServerTest, public ::testing::WithParamInterface<Medium> {
 protected:
  void SetUp() override {
    JobServerTest::SetUp();
    const std::string path = BuildDir() + "/bin:" + std::getenv("PATH");
    ::setenv("PATH", path.c_str(), 1);
    ::setenv("DISPLAY", "", 1);
    DirAcces_SetInstallRoot(SandboxDir());
    Vuvedur_Init();
    BkJobs_Init();
    Messages_UseMsgCat("ZAREDAVmsg");
    Vuvedur_mediaDialogs = {ChooseDevice, Ready, NewMedium, NoErrFiles};
    root = MakeJobRoot("projects", 2);  // the standard job root
    forms = SandboxDir() + "/projects/forms";
    for (const auto& e : std::filesystem::directory_iterator(root)) {
      orders.push_back(e.path().stem().string());
    }
    std::sort(orders.begin(), orders.end());
  }
  void TearDown() override {
    chosenDevice = nullptr;
    appendToMedium = false;
    if (device.fs.root != dsNil) DSFree(&device.fs.root);
    JobServerTest::TearDown();
  }

  void UseMedium(Medium kind) {
    device.subtype = 1;
    Strings_Assign(Vuvedur_thisHost, device.record.host);
    Strings_Assign("test medium", device.record.description);
    device.isLocal = true;
    device.blkHeader = 512;
    device.blkData = 10240;
    device.canAppend = true;
    const std::string here = Here();
    if (kind == Medium::FileSystem) {
      medium = here + "/fsroot";
      ::mkdir(medium.c_str(), 0777);
      device.baseType = BkDevSel_filesys;
      device.record.devClass = SDevAllo_ClassOfName("unixFS");
      device.dirSize = -1;
      device.fs.root = DSCreateStr(medium.c_str(), 0);
      device.fs.capacity = 1073741824.0;
      newFormat = mfmtStdD;
    } else if (kind == Medium::DiskImage) {
      medium = here + "/disk.img";
      RunCommand("truncate -s 16M '" + medium + "'");
      device.baseType = BkDevSel_disk;
      device.record.devClass = SDevAllo_ClassOfName("mod1GB");
      device.dirSize = 65536;
      BkDevSel_SetNativeCapacity(device, 16.0 * 1048576);
      newFormat = mfmtStdD;
    } else {
      medium = here + "/tape";
      ASSERT_EQ(RunCommand("vtape create '" + medium + "' 16M").status, 0);
      device.baseType = BkDevSel_tape;
      device.record.devClass = SDevAllo_ClassOfName("exa8500");
      device.dirSize = 0;
      BkDevSel_SetNativeCapacity(device, 16.0 * 1048576);
      newFormat = mfmtStdTar;
    }
    Strings_Assign(medium, device.record.devName);
    chosenDevice = &device;
  }

  // Runs a mode in a child on the virtual display, played by script; its exit status.
  template <typename Mode>
  int Drive(const std::string& script, Mode mode) {
    const auto r = RunInChild([&] {
      TkVirtual_Open(false);
      I_UseContextCat("ZAREDAVdlg");
      Messages_UseMsgCat("ZAREDAVmsg");
      if (!IScript_StartText(script, "acceptance")) std::_Exit(3);
      mode();
      if (!IScript_Finished()) std::_Exit(4);
    });
    EXPECT_EQ(r.err.find("script acceptance:"), std::string::npos) << r.err;
    return r.exited ? r.exitStatus : 128 + r.signal;
  }

  // The backup dialog after the steps before it: the order on line `line` marked, the
  // backup started.
  int BackUp(int line, const std::string& before = "") {
    return Drive(before + "wait Vuvedur_Bck\nclick Vuvedur_Bck 8 " + std::to_string(line) +
                     "\npress Vuvedur_Bck 12 4\npress Vuvedur_Bck 1 1\ngone Vuvedur_Bck\n",
                 [] {
                   BkIact_Init();
                   if (!heldDevice.empty()) I_ScheduleTask(0, TakeHeldDevice, nullptr);
                   Vuvedur_Backup();
                 });
  }
  // The restore dialog into the job root fresh, the first order marked, the steps, start.
  int RestoreFirst(const std::string& fresh, const std::string& steps = "") {
    return Drive("wait Vuvedur_Rst\ntype Vuvedur_Rst 13 " + Quote(fresh) +
                     "\nwait Imisc_yes\nanswer Imisc_yes 0\nclick Vuvedur_Rst 8 0\n"
                     "press Vuvedur_Rst 12 4\n" +
                     steps + "press Vuvedur_Rst 1 1\ngone Vuvedur_Rst\n",
                 [] { Vuvedur_Restore(); });
  }

  bool JobDone(const std::string& title) {
    Eventually([&] { return Status(title) == "done" || Status(title) == "failed"; }, 90000);
    return Status(title) == "done";
  }

  std::string ScriptLogs() {
    char dir[1024];
    BkJobs_GetRootScriptDir(dir);
    return RunCommand("cat '" + std::string(dir) + "'/*/bkArchiv.log 2>&1").out;
  }

  // The names in the data files of the medium, as stock cpio and tar list them.
  std::string StockListing() {
    std::string all;
    if (GetParam() == Medium::FileSystem) {
      for (int n = 0; std::filesystem::exists(medium + "/" + std::to_string(n)); ++n) {
        all += RunCommand("cpio -it < '" + medium + "/" + std::to_string(n) + "' 2>/dev/null").out;
      }
    } else if (GetParam() == Medium::Tape) {
      const std::string vt = "vtape -f '" + medium + "' ";
      RunCommand(vt + "load");
      RunCommand(vt + "rewind");
      EXPECT_EQ(RunCommand(vt + "read | tar -tf -").out, "SHEADER\n");
      for (int n = 0; n < 20; ++n) {
        const auto r = RunCommand(vt + "read | tar -tf - 2>/dev/null");
        if (r.out.empty()) break;
        all += r.out;
      }
    } else {
      // Data files follow the header area back to back; cpio finds each behind the last.
      all = RunCommand("dd if='" + medium +
                       "' bs=65536 skip=1 status=none | "
                       "(while cpio -it 2>/dev/null; do :; done) | head -c 100000")
                .out;
    }
    return all;
  }

  std::string root, forms, medium;
  std::vector<std::string> orders;
  DevListEntry device{};
};

std::string MarkBothAndStart(const std::string& context) {
  const std::string c = context + " ";
  return "click " + c + "8 0\npress " + c + "12 4\nclick " + c + "8 1\npress " + c +
         "12 4\npress " + c + "1 1\ngone " + context + "\n";
}

TEST_P(BackupRestore, TwoOrdersComeBackByteForByteAndAreRegistered) {
  UseMedium(GetParam());
  ASSERT_EQ(Drive("wait Vuvedur_Bck\n" + MarkBothAndStart("Vuvedur_Bck"), [] { Vuvedur_Backup(); }),
            0);
  ASSERT_TRUE(JobDone(JobTitle(98, {orders[0] + ", " + orders[1]}))) << ScriptLogs();

  // Stock archivers read every data file: the order info files and the form files.
  const std::string listing = StockListing();
  for (const auto& order : orders) {
    EXPECT_NE(listing.find(order + ".aif\n"), std::string::npos) << listing;
  }
  EXPECT_NE(listing.find("ps/sheet_01.ps\n"), std::string::npos) << listing;

  // Restore into a fresh job root, the forms gone from their place meanwhile.
  const std::string fresh = SandboxDir() + "/fresh/orders";
  RunCommand("mkdir -p '" + fresh + "' && mv '" + forms + "' '" + forms + ".orig'");
  ASSERT_EQ(Drive("wait Vuvedur_Rst\ntype Vuvedur_Rst 13 " + Quote(fresh) +
                      "\nwait Imisc_yes\nanswer Imisc_yes 0\n" + MarkBothAndStart("Vuvedur_Rst"),
                  [] { Vuvedur_Restore(); }),
            0);
  for (const auto& order : orders) {
    ASSERT_TRUE(JobDone(JobTitle(91, {order, Vuvedur_thisHost}))) << ScriptLogs();
  }
  ASSERT_TRUE(std::filesystem::is_directory(forms)) << "no form restored\n" << ScriptLogs();
  for (const auto& order : orders) {
    EXPECT_EQ(ReadFile(fresh + "/" + order + ".aif"), ReadFile(root + "/" + order + ".aif"));
    // Our FolvaneO found the order info file readable and noted each restored form.
    const std::string record = ReadFile(fresh + "/" + order + ".registered");
    EXPECT_EQ(record.rfind("order " + order + "\ninfo " + fresh + "/" + order + ".aif\n", 0), 0u)
        << record;
    for (const auto& e : std::filesystem::directory_iterator(forms)) {
      const std::string form = e.path().filename().string();
      if (form.rfind(order, 0) != 0) continue;
      const int number = std::atoi(form.substr(order.size(), 2).c_str());
      EXPECT_NE(record.find("\nform " + std::to_string(number) + " " + Vuvedur_thisHost + "\n"),
                std::string::npos)
          << form << "\n"
          << record;
    }
  }
  int restored = 0;
  for (const auto& e : std::filesystem::directory_iterator(forms)) {
    const std::string form = e.path().filename().string();
    const auto diff = RunCommand("diff -r --no-dereference '" + forms + ".orig/" + form + "' '" +
                                 forms + "/" + form + "'");
    EXPECT_EQ(diff.status, 0) << form << diff.out << diff.err;
    ++restored;
  }
  EXPECT_GT(restored, 0);
}

INSTANTIATE_TEST_SUITE_P(Media, BackupRestore,
                         ::testing::Values(Medium::FileSystem, Medium::DiskImage, Medium::Tape),
                         [](const auto& info) {
                           return info.param == Medium::FileSystem  ? std::string("FileSystem")
                                  : info.param == Medium::DiskImage ? std::string("DiskImage")
                                                                    : std::string("Tape");
                         });

// An order another process holds is left out of the list and so out of the backup.
TEST_F(BackupRestore, AnOrderHeldByAnotherProcessIsNotBackedUp) {
  UseMedium(Medium::FileSystem);
  orders_test::Rival rival("*:" + root + "/" + orders[1] + ".aif:*");
  ASSERT_TRUE(rival.holds());
  ASSERT_EQ(Drive("wait Imisc_errmsg 20000\nanswer Imisc_errmsg 0\nwait Vuvedur_Bck\n"
                  "expect Vuvedur_Bck 8 " +
                      Quote(vuvedur_test::OrderLines(root)[0]) +
                      "\nclick Vuvedur_Bck 8 0\npress Vuvedur_Bck 12 4\npress Vuvedur_Bck 1 1\n"
                      "gone Vuvedur_Bck\n",
                  [] { Vuvedur_Backup(); }),
            0);
  ASSERT_TRUE(JobDone(JobTitle(98, {orders[0]}))) << ScriptLogs();
  const std::string header = ReadFile(medium + "/DHEADER");
  EXPECT_NE(header.find(orders[0] + ".aif"), std::string::npos);
  EXPECT_EQ(header.find(orders[1]), std::string::npos) << header;
}

// A second backup appended to the medium; the first generation of an order is restored,
// not the changed second one.
TEST_F(BackupRestore, AppendedGenerationLeavesTheFirstOneRestorable) {
  UseMedium(Medium::FileSystem);
  ASSERT_EQ(BackUp(0), 0);
  ASSERT_TRUE(JobDone(JobTitle(98, {orders[0]}))) << ScriptLogs();
  ASSERT_EQ(RunCommand("vqueue remove").status, 0);  // the next job of the same title is new
  const std::string first = ReadFile(root + "/" + orders[0] + ".aif");
  WriteFile(root + "/" + orders[0] + ".aif", first + "changed later");
  appendToMedium = true;
  ASSERT_EQ(BackUp(0), 0);
  ASSERT_TRUE(JobDone(JobTitle(98, {orders[0]}))) << ScriptLogs();

  // The medium lists the order twice, the first generation first.
  const std::string fresh = SandboxDir() + "/fresh/orders";
  RunCommand("mkdir -p '" + fresh + "' && mv '" + forms + "' '" + forms + ".orig'");
  ASSERT_EQ(RestoreFirst(fresh), 0);
  ASSERT_TRUE(JobDone(JobTitle(91, {orders[0], Vuvedur_thisHost}))) << ScriptLogs();
  EXPECT_EQ(ReadFile(fresh + "/" + orders[0] + ".aif"), first);
}

// Forms moved to another host in the change-hosts dialog come back below that host's
// network path, and the registration names the new host (its comma escaped for FolvaneO).
TEST_F(BackupRestore, FormsMovedToAnotherHostAreRestoredThere) {
  UseMedium(Medium::FileSystem);
  const std::string order = orders[1];  // the order with a form to back up
  ASSERT_EQ(BackUp(1), 0);
  ASSERT_TRUE(JobDone(JobTitle(98, {order}))) << ScriptLogs();
  char far[1024];
  DirAcces_NetPath("far,host", "", far);
  const std::string fresh = SandboxDir() + "/fresh/orders";
  RunCommand("mkdir -p '" + std::string(far) + "' '" + fresh + "' && mv '" + forms + "' '" + forms +
             ".orig'");
  const std::string C = "Vuvedur_ChangeHosts ";
  ASSERT_EQ(RestoreFirst(fresh, "press Vuvedur_Rst 12 3\nwait " + C + "\ntype " + C +
                                    "2 \"far,host\"\npress " + C + "1 1\ngone " + C + "\n"),
            0);
  ASSERT_TRUE(JobDone(JobTitle(91, {order, Vuvedur_thisHost}))) << ScriptLogs();
  // The registration command escapes the comma of the new host for FolvaneO.
  char dir[1024];
  BkJobs_GetRootScriptDir(dir);
  const std::string scripts = RunCommand("cat '" + std::string(dir) + "'/*/archivecmds-*").out;
  EXPECT_NE(scripts.find(":far\\,host"), std::string::npos) << scripts;
  const std::string record = ReadFile(fresh + "/" + order + ".registered");
  int moved = 0;
  for (const auto& e : std::filesystem::directory_iterator(forms + ".orig")) {
    const std::string form = e.path().filename().string();
    if (form.rfind(order, 0) != 0) continue;
    const int number = std::atoi(form.substr(order.size(), 2).c_str());
    if (record.find("\nform " + std::to_string(number) + " far,host\n") == std::string::npos) {
      continue;
    }
    const auto diff = RunCommand("diff -r --no-dereference '" + e.path().string() + "' '" + far +
                                 forms.substr(1) + "/" + form + "'");
    EXPECT_EQ(diff.status, 0) << form << diff.out << diff.err;
    EXPECT_FALSE(std::filesystem::exists(forms + "/" + form)) << form;
    ++moved;
  }
  EXPECT_GT(moved, 0) << record;
}

// Two generations on an appendable tape, the last header copy spoiled: reading the header
// falls back to the walk, which ends at the first generation; the restore brings that one
// back, and appending to the medium goes on once the user confirms the recovered header.
TEST_F(BackupRestore, DamagedLastHeaderFallsBackToTheFirstGeneration) {
  UseMedium(Medium::Tape);
  newFormat = mfmtStdA;      // the appendable format the preparation dialog appends to
  device.blkHeader = 10240;  // a header and its copies checked from their first block
  const std::string first = ReadFile(root + "/" + orders[0] + ".aif");
  const std::string vt = "vtape -f '" + medium + "' ";
  for (int generation = 0; generation < 2; ++generation) {
    RunCommand(vt + "load");  // the tape put back after each job unloaded it
    ASSERT_EQ(BackUp(0), 0);
    ASSERT_TRUE(JobDone(JobTitle(98, {orders[0]}))) << ScriptLogs();
    ASSERT_EQ(RunCommand("vqueue remove").status, 0);
    WriteFile(root + "/" + orders[0] + ".aif", first + "changed later");
    appendToMedium = true;
  }
  ASSERT_EQ(RunCommand(vt + "load && " + vt + "eod && " + vt + "bsf 2 && " + vt +
                       "fsf 1 && head -c 10240 /dev/zero | tr '\\0' x | " + vt + "write")
                .status,
            0);

  const std::string fresh = SandboxDir() + "/fresh/orders";
  RunCommand("mkdir -p '" + fresh + "'");
  ASSERT_EQ(RestoreFirst(fresh), 0);
  ASSERT_TRUE(JobDone(JobTitle(91, {orders[0], Vuvedur_thisHost}))) << ScriptLogs();
  EXPECT_EQ(ReadFile(fresh + "/" + orders[0] + ".aif"), first);
  ASSERT_EQ(RunCommand("vqueue remove").status, 0);
  RunCommand(vt + "load");

  // The real preparation dialog: append, then the recovered header is confirmed.
  Vuvedur_mediaDialogs.prepareWriteMedia = BkIact_PrepareWriteMedia;
  ASSERT_EQ(BackUp(0,
                   "wait BkIact_PrepWriteMedia\npress BkIact_PrepWriteMedia 1 4\n"
                   "wait BkIact_ConfirmRecover\npress BkIact_ConfirmRecover 1 1\n"),
            0);
  ASSERT_TRUE(JobDone(JobTitle(98, {orders[0]}))) << ScriptLogs();
  // The new generation follows the first one, and the header reads again without the walk.
  RunCommand(vt + "load");
  Header* header = nullptr;
  bool recovered = true, isEmpty = false;
  BkArchiv_ReadHeader(device, false, header, recovered, isEmpty);
  ASSERT_NE(header, nullptr);
  EXPECT_FALSE(recovered);
  int generations = 0;
  for (const Archive* a = header->archives; a != nullptr; a = a->next) ++generations;
  EXPECT_EQ(generations, 2);
  BkArchiv_DestroyHeaderAndArchives(header);
}

// The real device dialog in the backup, a drive held by another process at the resource
// manager: choosing it is refused with a message, and the free file system chosen next
// takes the backup.
TEST_F(BackupRestore, ADeviceInUseIsRefusedAndAFreeOneTakesTheBackup) {
  ::setenv("VM_REMOTE_SHELL", "vrsh", 1);
  ASSERT_EQ(RunCommand(std::string(ZOLT_DEMO_DIR) + "/make-devices.sh '" + SandboxDir() + "' '" +
                       BuildDir() + "'")
                .status,
            0);
  int tape = -1, fs = -1, line = 0;
  std::string held;
  BkDevSel_DevList all = nullptr;
  BkDevSel_SetupFullDevList(all, Vuvedur_deviceKinds);
  for (const DevListEntry* e = all; e != nullptr; e = e->next) {
    if (e->record.devClass == 0) continue;
    const std::string label = e->label;
    if (label.rfind("Exabyte 8500", 0) == 0) {
      tape = line;
      char id[1024];
      SDevAllo_BuildResourceID(e->record.host, e->record.devName, true, id);
      held = id;
    }
    if (label.rfind("File system", 0) == 0) fs = line;
    ++line;
  }
  BkDevSel_DestroyDevList(all, false);
  ASSERT_TRUE(tape >= 0 && fs >= 0);
  heldDevice = held;  // taken by another process once the device list shows

  Vuvedur_mediaDialogs.selectDevices = BkIact_SelectDevices;
  Vuvedur_mediaDialogs.readyWait = BkIact_ReadyWait;
  const std::string D = "BkIact_DevSelect_Archiv ";  // the backup offers archived media too
  ASSERT_EQ(BackUp(0, "wait " + D + "\nclick " + D + "3 " + std::to_string(tape) +
                          "\nwait Imisc_errmsg\nanswer Imisc_errmsg 0\nclick " + D + "3 " +
                          std::to_string(fs) + "\npress " + D +
                          "1 1\nwait AskContinue\nanswer AskContinue 0\n"),
            0);
  ASSERT_TRUE(JobDone(JobTitle(98, {orders[0]}))) << ScriptLogs();
  EXPECT_NE(ReadFile(SandboxDir() + "/media/fs/DHEADER").find(orders[0] + ".aif"),
            std::string::npos);
}

// A medium too small for the marked orders: the user, asked, does not go on, and nothing
// is written.
TEST_F(BackupRestore, AMediumTooSmallIsRefusedBeforeAnythingIsWritten) {
  UseMedium(Medium::FileSystem);
  device.fs.capacity = 4096;
  ASSERT_EQ(Drive("wait Vuvedur_Bck\nclick Vuvedur_Bck 8 0\npress Vuvedur_Bck 12 4\n"
                  "click Vuvedur_Bck 8 1\npress Vuvedur_Bck 12 4\npress Vuvedur_Bck 1 1\n"
                  "wait Imisc_yes\nanswer Imisc_yes 1\npress Vuvedur_Bck 1 2\n"
                  "gone Vuvedur_Bck\n",
                  [] { Vuvedur_Backup(); }),
            0);
  EXPECT_TRUE(std::filesystem::is_empty(medium));
  EXPECT_EQ(Job(JobTitle(98, {orders[0] + ", " + orders[1]})).id, "");
}

// The tool killed in the middle of its backup dialog, the orders it lists reserved (the
// user's last step done, the dialog open): the resource manager reclaims the
// reservations, and the medium has no header.
TEST_F(BackupRestore, KilledInTheMiddleOfADialogLeavesNoReservationAndNoHeader) {
  UseMedium(Medium::FileSystem);
  const std::string name = "*:" + root + "/" + orders[0] + ".aif:*";
  const std::string seen = Here() + "/held";
  const auto r = RunInChild([&] {
    TkVirtual_Open(false);
    I_UseContextCat("ZAREDAVdlg");
    Messages_UseMsgCat("ZAREDAVmsg");
    if (!IScript_StartText("wait Vuvedur_Bck\nclick Vuvedur_Bck 8 0\n", "killed")) std::_Exit(3);
    // The driver ends the process once the script is through; before anything of the
    // tool's own ending runs, it notes whether the order is held and dies by SIGKILL.
    static std::string heldName, heldFile;
    heldName = name;
    heldFile = seen;
    Processe_InstallTerminationProcedure([] {
      WriteFile(heldFile, FreeForOthers(heldName) ? "free" : "held");
      ::kill(::getpid(), SIGKILL);
    });
    Vuvedur_Backup();
  });
  EXPECT_EQ(r.signal, SIGKILL) << r.err;
  EXPECT_EQ(ReadFile(seen), "held");
  EXPECT_TRUE(Eventually([&] { return FreeForOthers(name); }, 15000)) << "still reserved";
  EXPECT_FALSE(std::filesystem::exists(medium + "/DHEADER"));
  for (const auto& e : std::filesystem::directory_iterator(medium)) {
    ADD_FAILURE() << "left on the medium: " << e.path();
  }
}

}  // namespace
