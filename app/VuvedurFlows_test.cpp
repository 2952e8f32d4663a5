// The backup and restore flows: file lists and archives of orders, the medium's type at
// start, the orders read back from a header, the registration command of a restore, and
// both main dialogs driven through a backup and a restore by our job server.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <string>
#include <vector>

#include "BkArchivNames.hpp"
#include "BkArchivRead.hpp"
#include "BkJobs.hpp"
#include "BkMisc.hpp"
#include "Capture.hpp"
#include "JobServerFixture.hpp"
#include "Oresourc.hpp"
#include "SJobQues.hpp"
#include "TkVirtual.hpp"
#include "VuvedurTestJobs.hpp"

namespace {

using namespace vuvedur_test;
using zolt::test::Eventually;
using zolt::test::ReadFile;
using zolt::test::RunCommand;
using zolt::test::WriteFile;

// ---- The toolkit's media dialogs, replaced: the device and the medium the test sets ----

DevListEntry* standInDevice = nullptr;  // copied into the list the flow asks for
Header* standInHeader = nullptr;        // handed over as the prepared medium
std::vector<std::string> errorFilesShown;

void StandInSelect(BkDevSel_DevList& list, std::uint32_t, StrIn, bool, std::uint8_t, bool,
                   bool& cancelled) {
  cancelled = standInDevice == nullptr;
  if (cancelled) return;
  list = BkDevSel_CopyDevListEntry(*standInDevice);
  list->selected = true;
}
void StandInReady(BkDevSel_DevList, bool, bool, bool& cancelled) { cancelled = false; }
void StandInPrepare(DevListEntry&, Header*& header, bool, int, bool& cancelled) {
  header = standInHeader;
  standInHeader = nullptr;
  cancelled = header == nullptr;
}
void StandInErrFiles(FileList errors, long, bool& cancelled) {
  for (FileEntry* e = errors; e != nullptr; e = e->next) errorFilesShown.push_back(DSStr(e->path));
  cancelled = false;
}

// A file-system medium in the sandbox directory dir.
DevListEntry FsDevice(const std::string& dir) {
  DevListEntry dev{};
  dev.baseType = BkDevSel_filesys;
  dev.subtype = 1;
  dev.record.devClass = SDevAllo_ClassOfName("unixFS");
  Strings_Assign(dir, dev.record.devName);
  Strings_Assign(Vuvedur_thisHost, dev.record.host);  // as the catalogue fills an empty host
  Strings_Assign("test medium", dev.record.description);
  Strings_Assign("test medium", dev.label);
  dev.isLocal = true;
  dev.blkHeader = 512;
  dev.blkData = 10240;
  dev.dirSize = -1;
  dev.canAppend = true;
  dev.fs.root = DSCreateStr(dir.c_str(), 0);
  dev.fs.capacity = 1073741824.0;
  return dev;
}

std::vector<std::string> Paths(FileList list) {
  std::vector<std::string> paths;
  for (FileEntry* e = list; e != nullptr; e = e->next) paths.emplace_back(DSStr(e->path));
  return paths;
}

// The readable command of a job: message number with its "%s" filled in turn.
std::string JobTitle(std::uint32_t number, std::initializer_list<std::string> args) {
  char text[128];
  Messages_GetMsg(Vuvedur_sectionN, number, text);
  for (const auto& a : args) SPrintf_String(text, a);
  return text;
}

bool Has(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

class VuvedurFlows : public zolt::test::JobServerTest {
 protected:
  void SetUp() override {
    JobServerTest::SetUp();
    DirAcces_SetInstallRoot(SandboxDir());
    Vuvedur_Init();
    Messages_UseMsgCat("ZAREDAVmsg");
    Vuvedur_mediaDialogs = {StandInSelect, StandInReady, StandInPrepare, StandInErrFiles};
    errorFilesShown.clear();
  }
  void TearDown() override {
    if (ctx != nullptr) {
      Vuvedur_Free(ctx);
      delete ctx;
    }
    if (standInHeader != nullptr) BkArchiv_DestroyHeaderAndArchives(standInHeader);
    if (device.fs.root != dsNil) DSFree(&device.fs.root);
    standInDevice = nullptr;
    JobServerTest::TearDown();
  }

  // The listed orders of a fresh job root of n sample orders (a root per test, so that
  // the tests may also share one sandbox).
  void ListOrders(int n) {
    root = MakeJobRoot(::testing::UnitTest::GetInstance()->current_test_info()->name(), n);
    ASSERT_TRUE(Vuvedur_NewJobDir(root));
    ctx = Vuvedur_Create();
    Vuvedur_BckUpdateOrderList(ctx);
    ASSERT_NE(ctx->orders, nullptr);
  }

  // The data path of the build and a sheet-layout command that notes each call as its
  // words in brackets, one call a line.
  void UseDataPath() {
    const std::string fakeBin = SandboxDir() + "/fakebin";
    calls = SandboxDir() + "/folvaneo.calls";
    RunCommand("mkdir -p '" + fakeBin + "' '" + SandboxDir() + "/medium'");
    WriteFile(fakeBin + "/FolvaneO",
              "#!/bin/sh\n{ printf '[%s]' \"$@\"; echo; } >> '" + calls + "'\n");
    RunCommand("chmod 755 '" + fakeBin + "/FolvaneO'");
    const std::string path = fakeBin + ":" + zolt::test::BuildDir() + "/bin:" + std::getenv("PATH");
    ::setenv("PATH", path.c_str(), 1);
    ::setenv("DISPLAY", "", 1);
    device = FsDevice(SandboxDir() + "/medium");
    standInDevice = &device;
  }

  // Waits for the job of that title to end; true when it ended well.
  bool JobDone(const std::string& title) {
    Eventually([&] { return Status(title) == "done" || Status(title) == "failed"; }, 60000);
    return Status(title) == "done";
  }

  OrderEntry* OrderWithForms() {
    for (OrderEntry* o = ctx->orders; o != nullptr; o = o->next) {
      if (o->forms != nullptr) return o;
    }
    return nullptr;
  }

  std::string JobDir(const FormEntry& form) {
    char path[1024];
    Odirs_JobPath("", form.name, path);
    return path;
  }

  std::string root, calls;
  VuvedurData* ctx = nullptr;
  DevListEntry device{};
};

// ---- Backing up ----

TEST_F(VuvedurFlows, FormListsLeaveOutWorkFilesAndArchivesCarryTheOrder) {
  ListOrders(3);
  OrderEntry* order = OrderWithForms();
  ASSERT_NE(order, nullptr);
  FormEntry& form = *order->forms;
  const std::string dir = JobDir(form);
  RunCommand("cd '" + dir +
             "' && mkdir -p data .rsrc T123456 sub && touch core xcore fileList3 fileList "
             "data/LASTBACKUP data/LASTBACKUP.old T123456.log T123456/in .rsrc/res Vuvedur.cmd "
             "VuvedurXcmd OHEADER bck.err bck.result sub/core.txt coreX && chmod 000 sub");
  ASSERT_TRUE(Vuvedur_BuildFileLists(*order));
  const auto paths = Paths(form.files);
  for (const char* gone : {"core", "xcore", "fileList3", "fileList", "data/LASTBACKUP",
                           "T123456.log", "T123456", "T123456/in", ".rsrc", ".rsrc/res",
                           "Vuvedur.cmd", "VuvedurXcmd", "OHEADER", "bck.err", "bck.result"}) {
    EXPECT_FALSE(Has(paths, gone)) << gone;
  }
  for (const char* kept : {"data", "data/LASTBACKUP.old", "coreX", "pool", "form", "ps"}) {
    EXPECT_TRUE(Has(paths, kept)) << kept;
  }
  // The unreadable directory went to the error-files dialog, and the user went on.
  if (::geteuid() != 0) {
    EXPECT_TRUE(Has(errorFilesShown, "sub")) << errorFilesShown.size();
  }
  RunCommand("chmod 755 '" + dir + "/sub'");

  // No pool entries without pool, but the directory itself.
  order->marked = true;
  order->includePool = false;
  BkArchiv_NewHeader(ctx->header, mfmtStdD, Vuvedur_dataType, "");
  ASSERT_TRUE(Vuvedur_BackupOrders_BuildArchives(ctx));
  ASSERT_NE(order->archive, nullptr);
  EXPECT_STREQ(order->archive->archiveType, Vuvedur_dataType);
  EXPECT_STREQ(order->archive->baseDir, Odirs_orderDir);
  EXPECT_EQ(Paths(order->archive->files),
            std::vector<std::string>{order->name + std::string(".aif")});
  char description[128];
  Vuvedur_GetDescription(order->archive, description);
  EXPECT_STREQ(description, order->description);
  EXPECT_NE(std::string(order->archive->archiveComment)
                .find("%%ORDERNUM " + std::string(order->orderNumber)),
            std::string::npos);
  ASSERT_NE(form.archive, nullptr);
  EXPECT_EQ(std::string(form.archive->baseDir), dir);
  EXPECT_STREQ(form.archive->host, Vuvedur_thisHost);
  Vuvedur_GetDescription(form.archive, description);
  EXPECT_STREQ(description, "");  // a restore tells forms by the missing description
  const auto written = Paths(form.archive->files);
  EXPECT_TRUE(Has(written, "pool"));
  EXPECT_TRUE(Has(written, "ps/sheet_01.ps"));
  for (const auto& p : written) EXPECT_NE(p.rfind("pool/", 0), 0u) << p;
}

TEST_F(VuvedurFlows, OnlyEmptyMediaAndOwnMediaAreWrittenTo) {
  device = FsDevice(SandboxDir() + "/medium");
  standInDevice = &device;
  const struct {
    const char* type;
    bool fresh;
    bool accepted;
  } cases[] = {
      {"EMPTY_MEDIA", false, true},
      {"Offset-Folvane", false, true},
      {"", true, true},
      {"OldFolvane", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    BkArchiv_NewHeader(standInHeader, mfmtStdD, StrIn::FromC(c.type), "");
    standInHeader->newHeader = c.fresh;
    VuvedurData* data = Vuvedur_Create();
    bool ok = false;
    const std::string err =
        zolt::test::CaptureStderr([&] { ok = Vuvedur_Backup_BckSelectTape(data); });
    EXPECT_EQ(ok, c.accepted) << err;
    if (c.accepted) {
      char type[128];
      bool empty = true;
      BkArchiv_GetMediaType(data->header, type, empty);
      EXPECT_STREQ(type, Vuvedur_dataType);
      EXPECT_EQ(data->capacity, 1073741824.0);
    }
    Vuvedur_Free(data);
    delete data;
  }
  // Cancelling the device selection ends the start.
  standInDevice = nullptr;
  VuvedurData* data = Vuvedur_Create();
  EXPECT_FALSE(Vuvedur_Backup_BckSelectTape(data));
  EXPECT_FALSE(Vuvedur_Restore_RstSelectTape(data));
  delete data;
}

// ---- Restoring: orders from a header ----

// A header of archives described as (description or "" for a form, base dir, first file).
Header* HeaderOf(std::initializer_list<std::array<const char*, 3>> archives) {
  Header* h = nullptr;
  BkArchiv_NewHeader(h, mfmtStdD, Vuvedur_dataType, "");
  for (const auto& [desc, base, file] : archives) {
    char comment[5120] = "";
    BkArchiv_EncodeComment(comment, "HOST", "elsewhere");
    if (desc[0] != '\0') BkArchiv_EncodeComment(comment, "DESCRIPTION", StrIn::FromC(desc));
    FileList files = nullptr;
    if (file[0] != '\0') {
      DirAcces_DirEntry info{};
      info.size = 100;
      BkFLists_InsertInFileList(files, StrIn::FromC(file), true, info);
    }
    Archive* a = nullptr;
    BkArchiv_NewArchive(h, a, Vuvedur_dataType, comment, "elsewhere", StrIn::FromC(base), files);
  }
  return h;
}

// The first archive's file list lost, as a damaged header text leaves it.
Header* WithoutFiles(Header* h) {
  BkFLists_DestroyFileList(h->archives->files);
  return h;
}

TEST_F(VuvedurFlows, OrdersAndFormsFromTheHeaderAndDamagedMediaRefused) {
  ctx = Vuvedur_Create();
  ctx->header = HeaderOf({{"Brochure", "/j/orders", "bro00002.aif"},
                          {"", "/j/forms/bro0000201.a1", "ps"},
                          {"", "/j/forms/bro0000202.a2", "ps"},
                          {"", "/j/orders", "cat00001.aif"},  // an order without description
                          {"Catalogue", "/j/orders", "cat00003.aif"}});
  // The fourth archive is a form of the first order: only "DESCRIPTION" makes an order.
  ASSERT_TRUE(Vuvedur_Restore_RstInit(ctx));
  OrderEntry* a = ctx->orders;
  ASSERT_NE(a, nullptr);
  EXPECT_STREQ(a->name, "bro00002");
  EXPECT_STREQ(a->text, "bro00002 -> Brochure");
  EXPECT_STREQ(a->archive->host, Vuvedur_thisHost);
  std::vector<std::string> forms;
  for (FormEntry* f = a->forms; f != nullptr; f = f->next) {
    forms.emplace_back(f->text);
    EXPECT_TRUE(f->selected);
    EXPECT_STREQ(f->archive->host, Vuvedur_thisHost);
  }
  const std::string h = Vuvedur_thisHost;
  EXPECT_EQ(forms, (std::vector<std::string>{"bro0000201.a1 < > " + h, "bro0000202.a2 < > " + h,
                                             "orders < > " + h}));
  ASSERT_NE(a->next, nullptr);
  EXPECT_STREQ(a->next->name, "cat00003");
  EXPECT_EQ(a->next->next, nullptr);
  EXPECT_EQ(BkArchiv_HdrNumberOfSelectedFiles(ctx->header), 0);
  Vuvedur_Free(ctx);

  const struct {
    Header* header;
    std::uint32_t message;
  } damaged[] = {
      {HeaderOf({{"", "/j/forms/x0000001.a1", "ps"}, {"Brochure", "/j/orders", "b.aif"}}), 1009},
      {WithoutFiles(HeaderOf({{"Brochure", "/j/orders", "b.aif"}})), 1008},
      {HeaderOf({}), 28},
  };
  for (const auto& d : damaged) {
    SCOPED_TRACE(d.message);
    ctx->header = d.header;
    bool ok = true;
    const std::string err = zolt::test::CaptureStderr([&] { ok = Vuvedur_Restore_RstInit(ctx); });
    EXPECT_FALSE(ok);
    char text[512];
    Messages_GetMsg(Vuvedur_sectionN, d.message, text);
    EXPECT_NE(err.find(std::string(text).substr(0, 20)), std::string::npos) << err;
    Vuvedur_Free(ctx);
  }
}

// ---- Restoring: the registration command ----

class VuvedurCommand : public VuvedurFlows {
 protected:
  void SetUp() override {
    VuvedurFlows::SetUp();
    root = SandboxDir() + "/new/orders";
    RunCommand("mkdir -p '" + root + "' '" + SandboxDir() + "/new/forms'");
    ASSERT_TRUE(Vuvedur_NewJobDir(root));
    ctx = Vuvedur_Create();
    ctx->header = HeaderOf({{"Brochure", "/old/orders", "bro00002.aif"},
                            {"", "/old/forms/bro0000201.a1", "ps"},
                            {"", "/old/forms/bro0000202.a2", "ps"},
                            {"", "/old/forms/bro00002xx.a3", "ps"},
                            {"Other", "/old/orders", "oth00009.aif"},
                            {"", "/old/forms/oth0000901.a1", "ps"}});
    ASSERT_TRUE(Vuvedur_Restore_RstInit(ctx));
    device = FsDevice(SandboxDir() + "/medium");
    ctx->device = &device;
    order = ctx->orders;
    FormEntry* f = order->forms;
    Strings_Assign("hostA", f->host);
    Strings_Assign("b,c", f->next->host);
  }
  void TearDown() override {
    ctx->device = nullptr;
    VuvedurFlows::TearDown();
  }
  std::string Command() {
    char command[5120];
    EXPECT_TRUE(Vuvedur_SubmitRestoreJob_Prepare(ctx, *order, command));
    return command;
  }
  OrderEntry* order = nullptr;
};

TEST_F(VuvedurCommand, LocalDeviceAndOrdersDirectoryGiveThePlainCommand) {
  // A form without a number in its name is read back but gets no item.
  EXPECT_EQ(Command(), "FolvaneO -r 1:hostA,2:b\\,c bro00002");
  // Only this order's archives are selected.
  EXPECT_TRUE(BkArchiv_ArAllSelected(order->archive));
  for (FormEntry* f = order->forms; f != nullptr; f = f->next) {
    EXPECT_TRUE(BkArchiv_ArAllSelected(f->archive)) << f->name;
  }
  EXPECT_FALSE(BkArchiv_ArOneSelected(order->next->archive));
  Vuvedur_RestoreOrders_DeselectOrderFiles(*order);
  EXPECT_FALSE(BkArchiv_HdrOneSelected(ctx->header));

  for (FormEntry* f = order->forms; f != nullptr; f = f->next) f->selected = false;
  EXPECT_EQ(Command(), "FolvaneO -r  bro00002");
  EXPECT_FALSE(BkArchiv_ArOneSelected(order->forms->archive));
}

TEST_F(VuvedurCommand, OrdersOrDeviceElsewhereGoThroughRcmd) {
  Strings_Assign("/nfs/far/data/orders", Odirs_orderDir);
  Strings_Assign("tapehost", device.record.host);
  EXPECT_EQ(Command(), "rcmd far \"FolvaneO -r 1:hostA,2:b\\,c bro00002\"");
  ASSERT_TRUE(Vuvedur_NewJobDir(root));
  EXPECT_EQ(Command(),
            "rcmd " + std::string(Vuvedur_thisHost) + " \"FolvaneO -r 1:hostA,2:b\\,c bro00002\"");
}

TEST_F(VuvedurCommand, AFormAlreadyThereIsKeptWhenTheQuestionIsAnsweredNo) {
  FormEntry* first = order->forms;
  Strings_Assign("", first->host);
  RunCommand("mkdir -p '" + SandboxDir() + "/new/forms/" + first->name + "'");
  std::string command;
  // Without a display every question is answered no.
  const std::string err = zolt::test::CaptureStderr([&] { command = Command(); });
  EXPECT_NE(err.find(first->name), std::string::npos) << err;
  EXPECT_EQ(command, "FolvaneO -r 2:b\\,c bro00002");
  EXPECT_FALSE(BkArchiv_ArOneSelected(first->archive));
  EXPECT_TRUE(BkArchiv_ArAllSelected(order->archive));
}

TEST_F(VuvedurCommand, AnOrderWhoseReservationWasRefusedStillGetsItsJob) {
  TkVirtual_Open(false);
  I_UseContextCat("ZAREDAVdlg");
  ctx->restoreDialog = I_Create(Vuvedur_sectionRst, false);
  OrderEntry* held = order->next;
  char resource[128];
  Oresourc_OrderRes(held->name, true, resource);
  orders_test::Rival rival(resource);
  ASSERT_TRUE(rival.holds());
  for (OrderEntry* o = ctx->orders; o != nullptr; o = o->next) Vuvedur_RstMarkOrder(ctx, *o);
  EXPECT_TRUE(held->marked);
  EXPECT_STREQ(held->resourceName, "");
  EXPECT_NE(order->resourceName[0], '\0');
  Vuvedur_RestoreOrders(ctx);
  const std::string host = Vuvedur_thisHost;
  int inherited = 0;
  for (const char* name : {"bro00002", "oth00009"}) {
    const VErarBase_Job job = Job(JobTitle(91, {name, host}));
    EXPECT_FALSE(job.id.empty()) << name;
    for (const auto& pre : job.preconditions) {
      if (pre.kind != VErarBase_PrecondKind::Inherited) continue;
      EXPECT_EQ(pre.value.find("oth00009"), std::string::npos) << pre.value;
      ++inherited;
    }
  }
  EXPECT_EQ(inherited, 1);
  TkVirtual_Close();
}

TEST_F(VuvedurCommand, AStartThatMayNotFitIsAskedAboutFirst) {
  order->marked = true;
  ctx->selectedSize = 100;
  // Free disk space that cannot be determined, or too little; without a display the
  // question is answered no and nothing is started.
  for (const double diskSpace : {-1.0, 99.0}) {
    ctx->diskSpace = diskSpace;
    const std::string err =
        zolt::test::CaptureStderr([&] { Vuvedur_IntCB_CommandRst(Vuvedur_NilDialog, 1, ctx); });
    EXPECT_NE(err.find(JobTitle(39, {}).substr(0, 30)), std::string::npos) << err;
    ASSERT_NE(ctx->orders, nullptr);
  }
  // The same for a backup larger than the free space on the medium.
  ctx->freeOnMedium = 99;
  const std::string err =
      zolt::test::CaptureStderr([&] { Vuvedur_IntCB_CommandBck(Vuvedur_NilDialog, 1, ctx); });
  EXPECT_NE(err.find(JobTitle(38, {}).substr(0, 30)), std::string::npos) << err;
  EXPECT_NE(ctx->orders, nullptr);
}

TEST_F(VuvedurCommand, FormNumbersAndEscapes) {
  EXPECT_EQ(Vuvedur_SubmitRestoreJob_Prepare_FormNr("bro0000207.a1"), 7);
  EXPECT_EQ(Vuvedur_SubmitRestoreJob_Prepare_FormNr("bro0000242"), 42);
  EXPECT_EQ(Vuvedur_SubmitRestoreJob_Prepare_FormNr("bro00002xx.a1"), 0);
  EXPECT_EQ(Vuvedur_SubmitRestoreJob_Prepare_FormNr("x"), 0);
  char escaped[256];
  Vuvedur_SubmitRestoreJob_Prepare_Escape("a,b,,c", escaped);
  EXPECT_STREQ(escaped, "a\\,b\\,\\,c");
}

// ---- Through the job server onto a medium and back ----

// The logs of every script the jobs ran, to tell why a job failed.
std::string ScriptLogs() {
  char dir[1024];
  BkJobs_GetRootScriptDir(dir);
  return RunCommand("cat '" + std::string(dir) + "'/*/bkArchiv.log 2>&1").out;
}

// ---- Both main dialogs, as a user drives them ----

// A message box's text as the virtual display shows it.
std::string Box(std::uint32_t number, std::initializer_list<std::string> args) {
  return Join(Imisc_BreakLines(Imisc_Terminate(JobTitle(number, args), '!')), "\n");
}

// Runs a mode on the virtual display, driven by script; the child's result.
template <typename Mode>
zolt::test::ChildResult Drive(const std::string& script, Mode mode) {
  return zolt::test::RunInChild([&] {
    TkVirtual_Open(false);
    I_UseContextCat("ZAREDAVdlg");
    Messages_UseMsgCat("ZAREDAVmsg");
    if (!IScript_StartText(script, "flows")) std::_Exit(3);
    mode();
    if (!IScript_Finished()) std::_Exit(4);
  });
}

TEST_F(VuvedurFlows, BackupAndRestoreThroughTheMainDialogs) {
  UseDataPath();
  root = MakeJobRoot("projects", 4);  // the standard job root
  const std::string forms = SandboxDir() + "/projects/forms";
  // Orders in list order: bro00002 (no form in backup), bro00003 (three forms),
  // cat00001 (its form's job directory gone), cat00004 (one form).
  RunCommand("rm -rf '" + forms + "/cat0000101.a1'");
  BkArchiv_NewHeader(standInHeader, mfmtStdD, "", "");
  BkArchiv_SetDevInfo(standInHeader, BkJobs_DevInfo(device));
  const std::string host = Vuvedur_thisHost;
  const std::string B = "Vuvedur_Bck ";
  // clang-format off
  const std::string backup =
      "wait Vuvedur_Bck\n"
      "press " + B + "1 1\n"
      "wait Imisc_errmsg\nexpect Imisc_errmsg 1 " + Quote(Box(36, {})) + "\nanswer Imisc_errmsg 0\n"
      "click " + B + "8 2\n"
      "wait Imisc_errmsg\n"
      "expect Imisc_errmsg 1 " + Quote(Box(6, {"cat0000101.a1", host})) + "\n"
      "answer Imisc_errmsg 0\n"
      "expect " + B + "9 \"\"\n"
      "click " + B + "8 1\n"
      "expect " + B + "9 bro00003\n"
      "toggle " + B + "2\n"
      "expect " + B + "2 0\n"
      "press " + B + "12 4\n"
      // Highlighted again, the unusable order is not tried again.
      "click " + B + "8 2\n"
      "expect " + B + "9 \"\"\n"
      // An unmarked order takes over the toggles shown.
      "click " + B + "8 3\n"
      "expect " + B + "9 cat00004\n"
      "expect " + B + "2 0\n"
      "press " + B + "12 4\n"
      "press " + B + "1 1\n"
      "gone Vuvedur_Bck\n";
  // clang-format on
  auto r = Drive(backup, [] { Vuvedur_Backup(); });
  ASSERT_TRUE(r.exited && r.exitStatus == 0) << r.exitStatus << "[" << r.err << "]";
  ASSERT_TRUE(JobDone(JobTitle(98, {"bro00003, cat00004"}))) << ScriptLogs();

  Header* written = nullptr;
  bool recovered = false, isEmpty = false;
  BkArchiv_ReadHeader(device, false, written, recovered, isEmpty);
  ASSERT_NE(written, nullptr);
  int archives = 0, pools = 0;
  for (Archive* a = written->archives; a != nullptr; a = a->next, ++archives) {
    for (const std::string& p : Paths(a->files)) {
      EXPECT_NE(p.rfind("pool/", 0), 0u) << p;
      pools += p == "pool";
    }
  }
  EXPECT_EQ(archives, 6);  // two orders, four forms
  EXPECT_EQ(pools, 4);
  // The medium got a fresh label, and its header copy lies in the local archive directory.
  const std::string label = written->label;
  EXPECT_NE(label, Vuvedur_noName);
  EXPECT_FALSE(ReadFile(std::string(BkArchiv_stdArchivDir) + "/" + label).empty()) << label;
  BkArchiv_DestroyHeaderAndArchives(written);

  // Restore: the orders are still in the standard root, so a fresh root is chosen; its
  // forms directory holds none of the forms, so none is asked about.
  const std::string fresh = SandboxDir() + "/fresh/orders";
  RunCommand("mkdir -p '" + fresh + "' && mv '" + forms + "' '" + forms + ".orig'");
  const std::string R = "Vuvedur_Rst ";
  // clang-format off
  const std::string restore =
      "wait Vuvedur_Rst\n"
      "press " + R + "1 1\n"
      "wait Imisc_errmsg\nexpect Imisc_errmsg 1 " + Quote(Box(37, {})) + "\nanswer Imisc_errmsg 0\n"
      "click " + R + "8 0\n"
      "expect " + R + "9 bro00003\n"
      "press " + R + "12 4\n"
      "wait Imisc_errmsg\n"
      "expect Imisc_errmsg 1 " + Quote(Box(23, {"bro00003"})) + "\n"
      "answer Imisc_errmsg 0\n"
      "type " + R + "13 " + Quote(fresh) + "\n"
      "wait Imisc_yes\nanswer Imisc_yes 0\n"
      "expect " + R + "13 " + Quote(fresh) + "\n"
      "press " + R + "12 3\n"
      "wait Vuvedur_ChangeHosts\n"
      "expect Vuvedur_ChangeHosts 2 " + Quote(host) + "\n"
      "type Vuvedur_ChangeHosts 2 no-such-host\n"
      "wait Imisc_errmsg\n"
      "expect Imisc_errmsg 1 " + Quote(Box(34, {"no-such-host"})) + "\n"
      "answer Imisc_errmsg 0\n"
      "press Vuvedur_ChangeHosts 1 2\n"
      "gone Vuvedur_ChangeHosts\n"
      "press " + R + "12 4\n"
      "click " + R + "8 1\n"
      "press " + R + "12 4\n"
      "press " + R + "12 5\n"
      "press " + R + "1 1\n"
      "gone Vuvedur_Rst\n";
  // clang-format on
  r = Drive(restore, [] { Vuvedur_Restore(); });
  ASSERT_TRUE(r.exited && r.exitStatus == 0) << r.exitStatus << r.err;
  const std::string job = JobTitle(91, {"bro00003", host});
  EXPECT_TRUE(JobDone(job)) << ScriptLogs();
  EXPECT_EQ(ReadFile(fresh + "/bro00003.aif"), ReadFile(root + "/bro00003.aif"));
  EXPECT_TRUE(ReadFile(fresh + "/cat00004.aif").empty());  // unmarked again
  // The forms come back where they were, without the image pools left out.
  for (const char* form : {"bro0000301.a1", "bro0000302.a2", "bro0000304.a4"}) {
    const std::string a = forms + ".orig/" + form, b = forms + "/" + form;
    const auto diff =
        RunCommand("diff -r -x pool '" + a + "' '" + b + "' && rmdir '" + b + "/pool'");
    EXPECT_EQ(diff.status, 0) << form << diff.out << diff.err;
  }
  EXPECT_EQ(ReadFile(calls), "[-r][1:" + host + ",2:" + host + ",4:" + host + "][bro00003]\n");
  // The job waited for the device and took over the order's reservation.
  bool waitsForDevice = false, inherits = false;
  for (const auto& pre : Job(job).preconditions) {
    waitsForDevice |= pre.kind == VErarBase_PrecondKind::Resource &&
                      pre.value == host + ":RESTORE_FROM" + device.record.devName + ":*";
    inherits |= pre.kind == VErarBase_PrecondKind::Inherited &&
                pre.value.find("bro00003") != std::string::npos;
  }
  EXPECT_TRUE(waitsForDevice);
  EXPECT_TRUE(inherits);
}

}  // namespace
