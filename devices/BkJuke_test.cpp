#include "BkJuke.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "Messages.hpp"
#include "SDevAllo.hpp"
#include "Sandbox.hpp"
#include "test/DeviceTest.hpp"

namespace {

using zolt::test::Env;
using zolt::test::SandboxDir;
using zolt::test::WriteFile;

void NoSleep(int) {}

class BkJukeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BkJuke_Init();
    SDevAllo_Reset();
    Jk_SetSleep(NoSleep);
    for (const char* d :
         {"fs", "fs/robos", "fs/robos/robo.0", "fs/slots", "fs/slots/slot.1", "fs/slots/slot.2",
          "fs/ports", "fs/drives", "fs/drives/drive.3", "fs/drives/drive.4"}) {
      ::mkdir(d, 0777);
    }
    WriteFile("fs/slots/slot.1/m1", "");
    WriteFile("fs/slots/slot.2/m2", "");
    const std::string dir = SandboxDir();
    WriteFile(Env("VM_CUSTOMER") + "/juke.conf",
              "[jukebox/fs]\nJukeType=FILESYS\nJukeDev=fs\nJukeState=" + dir +
                  "/state.fs\nLoadSleepTime=0\nDrive0Dev=" + dir + "/d0\nDrive1Dev=" + dir +
                  "/d1\n");
    Jk_ForgetConfig();
    WriteFile(Env("ZOLTENV") + "/devices.Velmar",
              "unixFS::" + dir + "/d1:jd1:Jukebox drive 1\nunixFS::" + dir + "/d0::Drive 0\n");
  }
  void TearDown() override { zolt::test::StopResourceManager(); }
};

TEST_F(BkJukeTest, FindsLoadsAndReserves) {
  BkJuke_Location where;
  ASSERT_TRUE(BkJuke_UpdateMediaInfo(BkJuke_Location{"fs", 1, -1}, "MEDIA-2", "second"));
  ASSERT_TRUE(BkJuke_MediaInJuke("MEDIA-2", where));
  EXPECT_EQ(where.juke, "fs");
  EXPECT_EQ(where.slot, 1);

  // The medium goes into the drive serving the device (drive 1 by its alternative name).
  DevListEntry device{};
  Strings_Assign(StrIn("/elsewhere"), device.record.devName);
  Strings_Assign(StrIn(SandboxDir() + "/d1"), device.record.altDevName);
  bool ok = false;
  ASSERT_TRUE(BkJuke_LoadMedia("MEDIA-2", device, ok));
  EXPECT_TRUE(ok);
  ASSERT_TRUE(BkJuke_MediaInJuke("MEDIA-2", where));
  EXPECT_EQ(where.drive, 1);
  BkJuke_Location served;
  EXPECT_TRUE(BkJuke_IsJukeDev(device, served));
  EXPECT_EQ(served.drive, 1);

  DevListEntry* entry = nullptr;
  ASSERT_TRUE(BkJuke_ReserveDevice("fs", 1, where, entry));
  ASSERT_NE(entry, nullptr);
  EXPECT_STREQ(entry->record.description, "Jukebox drive 1");
  EXPECT_TRUE(entry->allocated);
  DevListEntry* second = nullptr;
  Messages_IgnoreErrors(true);
  EXPECT_FALSE(BkJuke_ReserveDevice("fs", 7, where, second));  // no such drive
  EXPECT_EQ(BkJuke_error, 3);
  EXPECT_EQ(second, nullptr);
  EXPECT_FALSE(BkJuke_MediaInJuke("NO-SUCH", where));
  EXPECT_EQ(BkJuke_error, 1);
  Messages_ForgetErrorReasons();
  Messages_IgnoreErrors(false);
  BkDevSel_DevList list = entry;
  BkDevSel_DestroyDevList(list, true);
}

TEST_F(BkJukeTest, SelectionText) {
  BkJuke_Selection s{{0, 2}, {}, {1}};
  const std::string text = BkJuke_EncodeSelection(s);
  EXPECT_EQ(text, "slots 0 2 ports drives 1");
  BkJuke_Selection back;
  ASSERT_TRUE(BkJuke_DecodeSelection(text, back));
  EXPECT_EQ(back.slots, s.slots);
  EXPECT_EQ(back.drives, s.drives);
  EXPECT_FALSE(BkJuke_DecodeSelection("3 slots", back));
  EXPECT_FALSE(BkJuke_DecodeSelection("slots x", back));
  EXPECT_EQ(back.slots, s.slots);  // unchanged by a refusal
}

}  // namespace
