// End-to-end: the jukebox management's inventory and verification jobs run "VUDAVUZ" under
// the real job server against a simulated changer whose virtual tapes the data path
// labelled; the jukebox's state then names every medium.
#include <dirent.h>
#include <unistd.h>

#include <cstdlib>

#include "BkArchiv.hpp"
#include "BkJobs.hpp"
#include "BkJukeI.hpp"
#include "BkMisc.hpp"
#include "Jk.hpp"
#include "JobServerFixture.hpp"
#include "Messages.hpp"
#include "ScsiSim.hpp"
#include "TpVirt.hpp"

namespace {

using namespace zolt::test;

std::string Here() {
  char dir[4096];
  return ::getcwd(dir, sizeof dir) != nullptr ? dir : ".";
}

// Temporary selection files still lying in $TMP.
int SelectionFiles() {
  const char* tmp = std::getenv("TMP");
  DIR* d = ::opendir(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
  int n = 0;
  for (dirent* e = d != nullptr ? ::readdir(d) : nullptr; e != nullptr; e = ::readdir(d)) {
    n += std::string(e->d_name).rfind("jukesel.", 0) == 0 ? 1 : 0;
  }
  if (d != nullptr) ::closedir(d);
  return n;
}

// A media name as the toolkit gives them, one per slot.
std::string Name(int slot) {
  return "2026120" + std::to_string(slot) + "INV.0" + std::to_string(slot);
}

class InventoryTest : public JobServerTest {
 protected:
  void SetUp() override {
    JobServerTest::SetUp();
    const std::string path = BuildDir() + "/bin:" + std::getenv("PATH");
    ::setenv("PATH", path.c_str(), 1);
    ::setenv("DISPLAY", "", 1);
    BkJobs_Init();
    BkJukeI_Init();
    ScsiSim_Init();
    TpVirt_Init();
    Messages_UseMsgCat("ZAREDAVmsg");
    std::string error;
    ASSERT_TRUE(ScsiSim_Create("changer", 4, 1, {Here() + "/drive0"}, error)) << error;
    WriteFile(std::string(std::getenv("VM_CUSTOMER")) + "/juke.conf",
              "[jukebox/sc]\nJukeType=SCSI\nJukeDev=" + Here() + "/changer\nJukeState=" + Here() +
                  "/state.sc\nLoadSleepTime=0\nRetrySleepTime=0\nDrive0Dev=" + Here() +
                  "/drive0\nDrive0Type=tape\n");
    Jk_ForgetConfig();
  }

  // A virtual tape in the changer's slot, labelled by the data path unless blank; its
  // identification label.
  std::string Tape(int slot, bool blank = false) {
    const std::string name = "tape" + std::to_string(slot);
    const std::string dir = Here() + "/changer/media/" + name;
    EXPECT_EQ(RunCommand(ProgramPath("vtape") + " create " + dir + " 4M").status, 0);
    std::string label;
    if (!blank) {
      DevListEntry dev{};
      dev.baseType = BkDevSel_tape;
      dev.subtype = 1;
      Strings_Assign(dir, dev.record.devName);
      Strings_Assign(BkMisc_localHost, dev.record.host);
      dev.isLocal = true;
      dev.blkHeader = 10240;  // the whole header in the first block, as the reader wants
      dev.blkData = 10240;
      Header* h = nullptr;
      BkArchiv_NewHeader(h, mfmtStdTar, "TEST", "Test medium");
      Strings_Assign(Name(slot), h->label);
      EXPECT_TRUE(BkJobs_WriteLabel(dev, h)) << name;
      char text[256];
      BkArchiv_MkLabelFromHdr(h, text);
      label = text;
      BkArchiv_DestroyHeaderAndArchives(h);
    }
    std::string error;
    EXPECT_TRUE(ScsiSim_PlaceMedium("changer", slot, name.c_str(), error)) << error;
    return label;
  }

  JkJukeDesc State() {
    JkJukeDesc d;
    EXPECT_TRUE(JkLoadState("sc", d));
    return d;
  }
};

TEST_F(InventoryTest, InventoryJobLabelsEverySlot) {
  std::vector<std::string> labels;
  for (int i = 0; i < 4; ++i) labels.push_back(Tape(i));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(labels[static_cast<std::size_t>(i)].find(Name(i)), 0u);

  ASSERT_EQ(BkJukeI_StartInventory("sc", BkJukeI_Scope::All, {}), 0);
  ASSERT_TRUE(Reaches("Inventory sc", "done", 120000)) << Status("Inventory sc");
  JkJukeDesc d = State();
  ASSERT_EQ(d.slots.size(), 4u);
  for (int i = 0; i < 4; ++i) {
    const JkElement& s = d.slots[static_cast<std::size_t>(i)];
    EXPECT_TRUE(s.full) << i;
    EXPECT_EQ(s.label, labels[static_cast<std::size_t>(i)]) << i;
  }
  EXPECT_FALSE(d.drives[0].full);  // every medium went back
  EXPECT_EQ(SelectionFiles(), 0);  // the job removed its selection

  // The medium itself tells where it is now.
  BkJuke_Location where;
  ASSERT_TRUE(BkJuke_MediaInJuke(labels[2].c_str(), where));
  EXPECT_EQ(where.slot, 2);
}

TEST_F(InventoryTest, VerificationOfSelectedSlotsReadsWholeHeaders) {
  const std::string first = Tape(0);
  const std::string second = Tape(1);
  Tape(2, true);
  // Only slots 1 and 2 are chosen: slot 0 stays unknown.
  BkJuke_Selection selection;
  selection.slots = {1, 2};
  ASSERT_EQ(BkJukeI_StartVerification("sc", BkJukeI_Scope::AllSelected, selection), 0);
  ASSERT_TRUE(Reaches("Verification sc", "done", 120000)) << Status("Verification sc");
  JkJukeDesc d = State();
  EXPECT_EQ(d.slots[0].label, "");
  EXPECT_EQ(d.slots[1].label, second);
  EXPECT_EQ(d.slots[1].description, Name(1) + ", 0 archives");
  EXPECT_EQ(d.slots[2].label, "");
  EXPECT_EQ(d.slots[2].description, "blank medium");

  // A fast run over the unknown ones takes slot 0 (and the blank one again) only.
  ASSERT_EQ(BkJukeI_StartInventory("sc", BkJukeI_Scope::AllUnknown, {}), 0);
  ASSERT_TRUE(Reaches("Inventory sc", "done", 120000)) << Status("Inventory sc");
  d = State();
  EXPECT_EQ(d.slots[0].label, first);
  EXPECT_EQ(d.slots[1].description, Name(1) + ", 0 archives");  // not read again
}

TEST_F(InventoryTest, HonoursTheJukeboxLock) {
  const std::string label = Tape(0);
  JkJukeDesc mine = State();
  ASSERT_TRUE(JkLockJukeBox(mine));
  ASSERT_EQ(BkJukeI_StartInventory("sc", BkJukeI_Scope::All, {}), 0);
  // The job ends with the removal of its selection, whatever the program reported.
  ASSERT_TRUE(Reaches("Inventory sc", "done", 120000)) << Status("Inventory sc");
  EXPECT_EQ(State().slots[0].label, "");  // it touched nothing
  JkUnlockJukeBox(mine);
  EXPECT_EQ(label.find(Name(0)), 0u);
}

TEST_F(InventoryTest, CommandLineOfTheProgram) {
  const std::string p = ProgramPath("VUDAVUZ");
  EXPECT_EQ(RunCommand(p + " --help").status, 0);
  EXPECT_EQ(RunCommand(p + " -C sc quick all x 2>/dev/null").status, 2);
  EXPECT_EQ(RunCommand(p + " -C sc fast some x 2>/dev/null").status, 2);
  EXPECT_EQ(RunCommand(p + " sc fast all x 2>/dev/null").status, 2);
  EXPECT_EQ(RunCommand(p + " -C nowhere fast all x 2>/dev/null").status, 1);
  // A selection file that cannot be read changes nothing.
  Tape(0);
  EXPECT_EQ(RunCommand(p + " -C sc fast allSelected missing 2>/dev/null").status, 1);
  JkJukeDesc d = State();
  EXPECT_EQ(d.slots[0].label, "");
  EXPECT_TRUE(JkLockJukeBox(d));  // and left the jukebox unlocked
  JkUnlockJukeBox(d);
}

}  // namespace
