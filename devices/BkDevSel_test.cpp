// Device lists, capabilities, media IDs, readiness and the bkdevices listing, on the
// demo installation's devices made in the sandbox by the demo's own script.
#include "BkDevSel.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <tuple>
#include <vector>

#include "DirAcces.hpp"
#include "Messages.hpp"
#include "SDevAllo.hpp"
#include "test/DeviceTest.hpp"

namespace {

using zolt::test::Env;
using zolt::test::Eventually;
using zolt::test::ReadFile;
using zolt::test::RunCommand;
using zolt::test::SandboxDir;
using zolt::test::WriteFile;

constexpr std::uint32_t Mask(std::initializer_list<int> classes) {
  std::uint32_t m = 0;
  for (int c : classes) m |= 1u << c;
  return m;
}

// An entry for a record of the class and description, its capabilities filled.
DevListEntry Filled(std::uint8_t devClass, const char* description, const char* alt = "") {
  DevListEntry e{};
  e.record.devClass = devClass;
  Strings_Assign(StrIn::FromC(description), e.record.description);
  Strings_Assign("/dev/x", e.record.devName);
  Strings_Assign(StrIn::FromC(alt), e.record.altDevName);
  BkDevSel_FillCaps(e);
  return e;
}

std::string Text(DS ds) { return ds == dsNil ? "" : DSStr(ds); }

class BkDevSelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BkDevSel_Init();
    SDevAllo_Reset();
    ::setenv("VM_REMOTE_SHELL", "vrsh", 1);
  }
  void TearDown() override {
    BkDevSel_DestroyDevList(list, true);
    zolt::test::StopResourceManager();
  }
  static std::string Demo() { return SandboxDir(); }
  static void MakeDemo() {
    const auto r = RunCommand(std::string(ZOLT_DEMO_DIR) + "/make-devices.sh '" + Demo() + "' '" +
                              zolt::test::BuildDir() + "'");
    ASSERT_EQ(r.status, 0) << r.err;
  }
  static void Settings(const std::string& extra) {
    WriteFile(Env("ZOLTENV") + "/devices.cfg", "[demofs]\nmountCmd = " + Demo() +
                                                   "/bin/fs-mount\numountCmd = " + Demo() +
                                                   "/bin/fs-umount\n" + extra);
  }
  // The entry of the full list whose description starts with prefix.
  DevListEntry& Entry(const std::string& prefix) {
    BkDevSel_SetupFullDevList(list, ~0u);
    for (DevListEntry* e = BkDevSel_FirstDev(list); e != nullptr; e = BkDevSel_NextDev(e)) {
      if (std::string(e->label).rfind(prefix, 0) == 0) return *e;
    }
    ADD_FAILURE() << "no device " << prefix;
    static DevListEntry none{};
    return none;
  }
  std::pair<bool, bool> Ready(const std::string& prefix, bool forWrite) {
    bool ready = false, writable = false;
    BkDevSel_CheckDevReady(Entry(prefix), forWrite, ready, writable);
    return {ready, writable};
  }
  BkDevSel_DevList list = nullptr;
};

TEST_F(BkDevSelTest, TapeSubtypesCompressionAndDefaultsFollowTheDescription) {
  struct Row {
    std::uint8_t devClass;
    const char* description;
    std::uint8_t subtype;
    bool compression;
    double native, max;
    unsigned blkDevice, blkHeader, blkData;
    bool canAppend;
  };
  const Row rows[] = {
      {8, "Exabyte", BkDevSel_tpExa, false, 2147483648.0, 2147483648.0, 0, 20480, 30720, false},
      {9, "Exabyte 8500", BkDevSel_tpExa, true, 4294967296.0, 8589934592.0, 0, 20480, 30720, true},
      {9, "Exabyte Mammoth", BkDevSel_tpExa, true, 4294967296.0, 8589934592.0, 0, 20480, 30720,
       true},
      {7, "Mammoth", BkDevSel_tpMammoth, false, 21474836480.0, 21474836480.0, 0, 20480, 30720,
       false},
      {9, "Mammoth drive", BkDevSel_tpMammoth, true, 21474836480.0, 42949672960.0, 0, 20480, 30720,
       true},
      {9, "the MAMMOTH2", BkDevSel_tpMammoth2, true, 21474836480.0, 42949672960.0, 0, 20480, 30720,
       true},
      {7, "DAT", BkDevSel_tpDat, false, 4294967296.0, 4294967296.0, 0, 20480, 30720, true},
      {9, "DAT", BkDevSel_tpDat, true, 4294967296.0, 8589934592.0, 0, 20480, 30720, true},
      {8, "DLT", BkDevSel_tpDlt, false, 21474836480.0, 21474836480.0, 0, 20480, 30720, true},
      {9, "DLT", BkDevSel_tpDlt, true, 21474836480.0, 42949672960.0, 0, 20480, 30720, true},
      {9, "DST drive", BkDevSel_tpAmpex, false, 107374182400.0, 107374182400.0, 1048576, 2097152,
       2097152, true},
      {7, "Ampex", BkDevSel_tpAmpex, false, 107374182400.0, 107374182400.0, 1048576, 2097152,
       2097152, true},
      {9, "Sony AIT2", BkDevSel_tpAit2, true, 26843545600.0, 53687091200.0, 0, 64512, 64512, true},
      {7, "ait", BkDevSel_tpAit, false, 26843545600.0, 53687091200.0, 0, 64512, 64512, true},
      {9, "some drive", BkDevSel_tpUnknown, true, 0, 0, 0, 32768, 32768, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.description);
    DevListEntry e = Filled(r.devClass, r.description);
    EXPECT_EQ(e.baseType, BkDevSel_tape);
    EXPECT_EQ(e.subtype, r.subtype);
    EXPECT_EQ(e.compression, r.compression);
    EXPECT_EQ(e.tape.nativeCapacity, r.native);
    EXPECT_EQ(e.tape.maxCapacity, r.max);
    EXPECT_EQ(e.tape.blkDevice, r.blkDevice);
    EXPECT_EQ(e.blkHeader, r.blkHeader);
    EXPECT_EQ(e.blkData, r.blkData);
    EXPECT_EQ(e.canAppend, r.canAppend);
    EXPECT_EQ(e.dirSize, 0);
  }
  // Only tape classes have a tape subtype; compression only on the 8500 class.
  EXPECT_EQ(BkDevSel_TpGetSubType(SDevAllo_mod1GB, "exa"), 0);
  EXPECT_FALSE(BkDevSel_TpGetCompression(SDevAllo_exa8200, BkDevSel_tpExa));
  DevListEntry t = Filled(9, "DAT");
  BkDevSel_SetNativeCapacity(t, 1000);
  EXPECT_EQ(t.tape.maxCapacity, 2000);
}

TEST_F(BkDevSelTest, DiskAndFileSystemDefaultsAndTheSettingsFile) {
  const std::tuple<std::uint8_t, double, long> disks[] = {{1, 1509949.44, 32768},
                                                          {2, 1509949.44, 32768},
                                                          {4, 2147483648.0, 1015808},
                                                          {6, 1073741824.0, 1015808}};
  for (const auto& [c, capacity, dirSize] : disks) {
    DevListEntry e = Filled(c, "disk");
    EXPECT_EQ(e.baseType, BkDevSel_disk);
    EXPECT_EQ(e.disk.capacity, capacity) << int(c);
    EXPECT_EQ(e.dirSize, dirSize) << int(c);
    EXPECT_EQ(e.blkData, 32768u);
  }
  DevListEntry fs = Filled(SDevAllo_unixFS, "files", "/write/here");
  EXPECT_EQ(fs.subtype, BkDevSel_fsUnix);
  EXPECT_EQ(Text(fs.fs.rootR), "/dev/x");
  EXPECT_EQ(Text(fs.fs.rootW), "/write/here");
  EXPECT_EQ(fs.fs.capacity, 4724464025.6);
  EXPECT_EQ(fs.dirSize, -1);
  EXPECT_TRUE(fs.softCompress);
  EXPECT_EQ(fs.fs.mountCmdR, dsNil);
  BkDevSel_FreeCaps(fs);

  WriteFile(Env("ZOLTENV") + "/devices.cfg",
            "[/write/here]\nroot = /both\nrootW = /w\ncapacity = 2e9\nreadOnly = yes\n"
            "mountCmd = m\nmountCmdW = mw\numountCmd = u\ngetFreeSpaceCmd = df .\n");
  fs = Filled(SDevAllo_unixFS, "files", "/write/here");
  EXPECT_EQ(Text(fs.fs.rootR), "/both");
  EXPECT_EQ(Text(fs.fs.rootW), "/w");
  EXPECT_EQ(fs.fs.capacity, 2e9);
  EXPECT_TRUE(fs.fs.readOnly);
  EXPECT_FALSE(fs.fs.writeOnce);
  EXPECT_EQ(Text(fs.fs.mountCmdR), "m");
  EXPECT_EQ(Text(fs.fs.mountCmdW), "mw");
  EXPECT_EQ(Text(fs.fs.umountCmdW), "u");
  EXPECT_EQ(Text(fs.fs.getFreeSpaceCmd), "df .");
  DevListEntry* copy = BkDevSel_CopyDevListEntry(fs);
  BkDevSel_FreeCaps(fs);
  EXPECT_EQ(Text(copy->fs.mountCmdW), "mw");  // its own strings
  BkDevSel_DevList one = copy;
  BkDevSel_DestroyDevList(one, false);
}

TEST_F(BkDevSelTest, MediaIDsBothWaysWithTheirTextsAndCapacities) {
  const std::tuple<std::uint8_t, std::uint8_t, int> forward[] = {{1, 0, 3},
                                                                 {2, 0, 2},
                                                                 {5, 0, 5},
                                                                 {6, 0, 6},
                                                                 {7, 0, 1},
                                                                 {8, 0, 0},
                                                                 {9, BkDevSel_tpDat, 7},
                                                                 {9, BkDevSel_tpDlt, 8},
                                                                 {9, BkDevSel_tpAmpex, 9},
                                                                 {9, BkDevSel_tpAit, 10},
                                                                 {9, BkDevSel_tpAit2, 11},
                                                                 {9, BkDevSel_tpGeneric, 14},
                                                                 {9, BkDevSel_tpMammoth, 4},
                                                                 {12, 0, 15},
                                                                 {3, 0, -1},
                                                                 {13, 0, -1}};
  for (const auto& [c, sub, id] : forward) {
    EXPECT_EQ(BkDevSel_DevClassToMediaID(c, sub), id) << int(c) << "/" << int(sub);
    if (id >= 0) {
      EXPECT_EQ(BkDevSel_MediaIDToDevClass(id), c) << id;
    }
  }
  EXPECT_EQ(BkDevSel_MediaIDToDevClass(12), 0);
  EXPECT_EQ(BkDevSel_MediaIDToDevClass(-1), 0);
  char text[128], nine[128];
  for (int id : {11, 14, 15}) {
    BkDevSel_MediaIDToString(id, text);
    EXPECT_STREQ(text, "?????");
  }
  BkDevSel_MediaIDToString(-1, text);
  Messages_GetMsg("BkDevSel", 9, nine);
  EXPECT_STREQ(text, nine);
  double min = 0, max = 0;
  BkDevSel_MediaIDToCapacity(7, min, max);  // the DAT text makes a compressing DAT drive
  EXPECT_EQ(min, 4294967296.0);
  EXPECT_EQ(max, 8589934592.0);
}

TEST_F(BkDevSelTest, ClassGroupsWithSeparatorsOnlyAfterEntries) {
  WriteFile(Env("ZOLTENV") + "/devices.Velmar",
            "unixFS::/fs/a:a:Files A\nexa8500::/dev/nst0::Mammoth drive\nmod1GB::/dev/mo::MO\n"
            "unixFS::/fs/b:b:Files B with the longest label\nmagtape::/dev/mt::Reel\n");
  BkDevSel_SetupFullDevList(list, Mask({1, 6, 9, 12}));
  std::vector<std::string> labels;
  for (DevListEntry* e = list; e != nullptr; e = e->next) labels.emplace_back(e->label);
  const std::string sep(std::string("Files B with the longest label").size(), '-');
  EXPECT_EQ(labels, (std::vector<std::string>{"MO", sep, "Mammoth drive", sep, "Files A",
                                              "Files B with the longest label"}));
  DevListEntry* tape = BkDevSel_NextDev(BkDevSel_FirstDev(list));
  EXPECT_STREQ(tape->label, "Mammoth drive");
  EXPECT_EQ(tape->subtype, BkDevSel_tpMammoth);
  EXPECT_TRUE(tape->isLocal);
  tape->selected = true;
  list->selected = true;
  char text[256];
  BkDevSel_DevsToString(list, text);
  EXPECT_STREQ(text, "MO, Mammoth drive");
  EXPECT_EQ(BkDevSel_CountSelectedDevs(list), 2u);
}

TEST_F(BkDevSelTest, TheFileBackupDeviceIsADirectoryInFrontWhileTheModeIsOn) {
  WriteFile(Env("ZOLTENV") + "/devices.Velmar", "magtape::/dev/mt::Reel\n");
  const std::string dir = Env("VM_PROJECTS") + "/file_backups";
  BkDevSel_SetFileBackupMode(true);
  SDevAllo_DevList l = BkDevSel_GetListOfAllDevices();
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(l->devClass, SDevAllo_mod270);
  EXPECT_STREQ(l->altDevName, "$$$");
  EXPECT_EQ(std::string(l->devName), dir);
  EXPECT_TRUE(DirAcces_Access(dir, DirAcces_searchable));
  SDevAllo_Destroy(l);
  // A file in its place: no such device.
  ASSERT_EQ(::rmdir(dir.c_str()), 0);
  WriteFile(dir, "not a directory");
  l = BkDevSel_GetListOfAllDevices();
  ASSERT_NE(l, nullptr);
  EXPECT_STREQ(l->devName, "/dev/mt");
  EXPECT_EQ(l->next, nullptr);
  SDevAllo_Destroy(l);
  BkDevSel_SetFileBackupMode(false);
}

TEST_F(BkDevSelTest, ReservedDevicesAreCarriedOverOrLeftOutAndReleasedWithTheList) {
  MakeDemo();
  BkDevSel_SetupDevList(list, Mask({9}));
  DevListEntry* mine = BkDevSel_AllocateOneDevice(list, true);
  ASSERT_NE(mine, nullptr);
  EXPECT_TRUE(mine->selected);
  EXPECT_TRUE(mine->allocated);
  const std::string id = mine->resourceID;
  EXPECT_EQ(id.substr(id.size() - 2), ":*");

  // Another process holds the other tape drive for writing.
  const zolt::test::Holder other = zolt::test::HoldInChild([] {
    BkDevSel_DevList l = nullptr;
    BkDevSel_SetupDevList(l, Mask({9}));
    return l != nullptr && BkDevSel_AllocateOneDevice(l, true) != nullptr;
  });
  EXPECT_TRUE(other.ok);

  // Ours comes back with its reservation; the other one is left out.
  BkDevSel_SetupDevList(list, Mask({9}));
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->next, nullptr);
  EXPECT_TRUE(list->allocated);
  EXPECT_EQ(std::string(list->resourceID), id);
  EXPECT_TRUE(BkDevSel_DeviceInUse(*list));
  EXPECT_TRUE(SRM_QueryInUse(id));

  other.Kill();
  EXPECT_TRUE(Eventually(
      [&] {
        BkDevSel_SetupDevList(list, Mask({9}));
        return BkDevSel_FirstDev(list) != nullptr &&
               BkDevSel_NextDev(BkDevSel_FirstDev(list)) != nullptr;
      },
      5000));
}

TEST_F(BkDevSelTest, DemoDevicesAreReadyAndTheirProtectionsHold) {
  MakeDemo();
  for (const char* device : {"MO disk", "Exabyte 8500", "Mammoth on localhost"}) {
    EXPECT_EQ(Ready(device, true), std::make_pair(true, true)) << device;
  }
  // A write-protected virtual tape is ready for reading only.
  ASSERT_EQ(RunCommand("vtape -f '" + Demo() + "/media/exa8500' protect on").status, 0);
  EXPECT_EQ(Ready("Exabyte 8500", false), std::make_pair(true, false));
  ASSERT_EQ(RunCommand("vtape -f '" + Demo() + "/media/remote-tape' protect on").status, 0);
  EXPECT_EQ(Ready("Mammoth on localhost", true), std::make_pair(true, false));
  // No medium: the image file is gone.
  ASSERT_EQ(::unlink((Demo() + "/media/mod1GB.img").c_str()), 0);
  EXPECT_EQ(Ready("MO disk", false), std::make_pair(false, false));
}

TEST_F(BkDevSelTest, FileSystemDevicesMountByTheirCommandsAndKeepWriteOnceMedia) {
  MakeDemo();
  const std::string mounted = Demo() + "/mnt/demofs";
  EXPECT_EQ(Ready("File system", false), std::make_pair(true, false));
  EXPECT_EQ(Text(Entry("File system").fs.root), Demo() + "/media/fs");  // not mounted yet
  {
    DevListEntry& fs = Entry("File system");
    bool ready = false, writable = false;
    BkDevSel_CheckDevReady(fs, true, ready, writable);
    EXPECT_TRUE(ready && writable);
    EXPECT_EQ(Text(fs.fs.root), mounted);
    EXPECT_EQ(::access(mounted.c_str(), F_OK), 0);
    BkDevSel_Unmount(fs);
    EXPECT_NE(::access(mounted.c_str(), F_OK), 0);
  }
  WriteFile(Demo() + "/media/fs/DHEADER", "header");
  EXPECT_EQ(Ready("File system", true), std::make_pair(true, true));
  Settings("writeOnce = yes\n");
  EXPECT_EQ(Ready("File system", true), std::make_pair(false, false));
  EXPECT_EQ(Ready("File system", false), std::make_pair(true, false));
  Settings("readOnly = yes\n");
  EXPECT_EQ(Ready("File system", true), std::make_pair(true, false));

  // Separate roots: the old medium's header goes over, its data files are cleared.
  const std::string w = Demo() + "/w";
  ASSERT_EQ(::mkdir(w.c_str(), 0777), 0);
  WriteFile(w + "/DHEADER", "old");
  WriteFile(w + "/1", "data");
  WriteFile(w + "/keep", "x");
  WriteFile(Env("ZOLTENV") + "/devices.cfg",
            "[demofs]\nrootR = " + Demo() + "/media/fs\nrootW = " + w + "\n");
  EXPECT_EQ(Ready("File system", true), std::make_pair(true, true));
  EXPECT_EQ(ReadFile(w + "/DHEADER"), "header");
  EXPECT_NE(::access((w + "/1").c_str(), F_OK), 0);
  EXPECT_EQ(ReadFile(w + "/keep"), "x");

  // The mount command fails without a medium.
  Settings("");
  ASSERT_EQ(::rename((Demo() + "/media/fs").c_str(), (Demo() + "/media/out").c_str()), 0);
  EXPECT_EQ(Ready("File system", false), std::make_pair(false, false));
  EXPECT_EQ(Ready("File system", true), std::make_pair(false, false));
}

TEST_F(BkDevSelTest, TheListingToolShowsTheDemoCatalogue) {
  MakeDemo();
  const auto r = RunCommand("bkdevices");
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines;
  for (std::size_t p = 0, n; (n = r.out.find('\n', p)) != std::string::npos; p = n + 1) {
    lines.push_back(r.out.substr(p, n - p));
  }
  ASSERT_EQ(lines.size(), 5u) << r.out;
  auto squeeze = [](std::string s) {
    std::string out;
    for (char c : s) {
      if (c != ' ' || (!out.empty() && out.back() != ' ')) out += c;
    }
    return out;
  };
  char host[128] = {};
  DirAcces_GetMachineName(host);
  const std::string h = host;
  EXPECT_EQ(squeeze(lines[1]), "mod1GB disk mod 1073741824 1073741824 32768 32768 " + h +
                                   " no write MO disk 1 GB (image file)");
  EXPECT_EQ(squeeze(lines[2]), "exa8500 tape exa 4294967296 8589934592 20480 30720 " + h +
                                   " no write Exabyte 8500 (virtual tape)");
  EXPECT_EQ(squeeze(lines[3]),
            "exa8500 tape mammoth 21474836480 42949672960 20480 30720 localhost no write Mammoth "
            "on localhost (remote tape server)");
  EXPECT_EQ(squeeze(lines[4]), "unixFS filesys unix 1073741824 1073741824 32768 32768 " + h +
                                   " no write File system (demo directory)");
  EXPECT_NE(::access((Demo() + "/mnt/demofs").c_str(), F_OK), 0);  // unmounted again

  EXPECT_EQ(RunCommand("bkdevices --help").status, 0);
  EXPECT_EQ(RunCommand("bkdevices --bogus").status, 2);
  const auto missing = RunCommand("ZOLTENV=" + Demo() + "/nowhere bkdevices");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("devices.Velmar"), std::string::npos) << missing.err;
}

}  // namespace
