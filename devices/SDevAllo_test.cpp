// The device catalogue reader and device reservations at the real resource manager.
#include "SDevAllo.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Capture.hpp"
#include "DirAcces.hpp"
#include "Messages.hpp"
#include "test/DeviceTest.hpp"

namespace {

using zolt::test::Env;
using zolt::test::Eventually;
using zolt::test::WriteFile;

std::string LocalHost() {
  char host[128] = {};
  DirAcces_GetMachineName(host);
  return host;
}

std::vector<const SDevAllo_Device*> Records(SDevAllo_DevList list) {
  std::vector<const SDevAllo_Device*> v;
  for (; list != nullptr; list = list->next) v.push_back(list);
  return v;
}

class SDevAlloTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SDevAllo_Init();
    SDevAllo_Reset();
  }
  void TearDown() override { zolt::test::StopResourceManager(); }
  static void Catalogue(const std::string& text) {
    WriteFile(Env("ZOLTENV") + "/devices.Velmar", text);
  }
};

// The process id as shared reservation names carry it: at least five digits, zero-filled.
std::string Pid5() {
  char text[32];
  std::snprintf(text, sizeof text, "%05d", static_cast<int>(::getpid()));
  return text;
}

TEST_F(SDevAlloTest, LinesGiveRecordsOnlyWhenWellFormedAndDamagedOnesAreNamedWithTheirLine) {
  const std::string text =
      "# catalogue\n"
      "   \t# only a comment\n"
      "\n"
      " exa8500 \t::/dev/nst0::Mammoth drive   # the big one\n"
      "exa8500::/dev/nst1::a:b\n"
      "mod1GB:host2:::empty device\n"
      "exabyte:h\\:x:/dev/st\\:0:alt:Desc \\# kept\n"
      "unixFS::/fs|1\n"
      "funnyClass::/dev/x:y:ends with escaped colon\\:\n";
  std::string notes;
  SDevAllo_DevList list = nullptr;
  notes = zolt::test::CaptureStderr(
      [&] { list = SDevAllo_ParseCatalogue(text, "/etc/devices.Velmar", "here"); });
  EXPECT_EQ(notes,
            "SDevAllo: /etc/devices.Velmar:5: more than five fields, line skipped\n"
            "SDevAllo: /etc/devices.Velmar:6: no device name, line skipped\n"
            "SDevAllo: /etc/devices.Velmar:9: more than five fields, line skipped\n");
  const auto r = Records(list);
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0]->devClass, SDevAllo_exa8500);
  EXPECT_STREQ(r[0]->host, "here");
  EXPECT_STREQ(r[0]->devName, "/dev/nst0");
  EXPECT_STREQ(r[0]->altDevName, "");
  EXPECT_STREQ(r[0]->description, "Mammoth drive   ");
  // The escaped colons stay in their fields with their backslashes; so does "\#".
  EXPECT_EQ(r[1]->devClass, SDevAllo_exa8200);
  EXPECT_STREQ(r[1]->host, "h\\:x");
  EXPECT_STREQ(r[1]->devName, "/dev/st\\:0");
  EXPECT_STREQ(r[1]->altDevName, "alt");
  EXPECT_STREQ(r[1]->description, "Desc \\# kept");
  EXPECT_EQ(r[2]->devClass, SDevAllo_unixFS);
  EXPECT_STREQ(r[2]->devName, "/fs|1");
  SDevAllo_Destroy(list);
  EXPECT_EQ(list, nullptr);
}

TEST_F(SDevAlloTest, ClassNamesAreExactAfterTrimmingAndLongFieldsAreCut) {
  EXPECT_EQ(SDevAllo_ClassOfName("  unixFS\t"), SDevAllo_unixFS);
  EXPECT_EQ(SDevAllo_ClassOfName("unixfs"), SDevAllo_unknown);
  EXPECT_EQ(SDevAllo_ClassOfName("exabyte"), SDevAllo_exa8200);
  const std::string longDesc(300, 'd');
  SDevAllo_DevList list = SDevAllo_ParseCatalogue(
      "magtape:" + std::string(200, 'h') + ":/dev/t::" + longDesc, "f", "x");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(std::string(list->description), longDesc.substr(0, 127));
  EXPECT_EQ(std::string(list->host).size(), 127u);
  SDevAllo_Destroy(list);
}

TEST_F(SDevAlloTest, MissingOrEmptyCatalogueIsAnErrorNamingWhereItWasLookedFor) {
  // Outside an ignore bracket the first error ends the program with its reasons.
  const zolt::test::ChildResult child =
      zolt::test::RunInChild([] { SDevAllo_GetListOfAllDevices(); });
  EXPECT_TRUE(child.exited);
  EXPECT_EQ(child.exitStatus, 2);
  EXPECT_NE(child.err.find("ZOLTENV (" + Env("ZOLTENV") + ")"), std::string::npos) << child.err;
  EXPECT_NE(child.err.find("devices.Velmar"), std::string::npos) << child.err;

  Messages_IgnoreErrors(true);
  EXPECT_EQ(SDevAllo_GetListOfAllDevices(), nullptr);
  EXPECT_EQ(SDevAllo_error, 1);
  Messages_ForgetErrorReasons();
  Messages_IgnoreErrors(false);

  // The catalogue is looked for again while it gave nothing.
  Catalogue("# nothing but comments\n\n");
  EXPECT_EQ(SDevAllo_GetListOfAllDevices(), nullptr);
  EXPECT_EQ(SDevAllo_error, 3);
  Catalogue("magtape::/dev/tape::Tape\n");
  SDevAllo_DevList list = SDevAllo_GetListOfAllDevices();
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(SDevAllo_error, 0);
  EXPECT_EQ(SDevAllo_CataloguePath(), Env("ZOLTENV") + "/devices.Velmar");
  SDevAllo_Destroy(list);
}

TEST_F(SDevAlloTest, ResourceIDsNameHostAndDeviceWithTheDirectionsSuffix) {
  char id[128];
  SDevAllo_BuildResourceID("", "/dev/a|b", true, id);
  EXPECT_EQ(std::string(id), LocalHost() + ":/dev/aXb:*");
  char first[128], second[128];
  SDevAllo_BuildResourceID("tapehost", "/dev/nst0", false, first);
  SDevAllo_BuildResourceID("tapehost", "/dev/nst0", false, second);
  const std::string prefix = "tapehost:/dev/nst0:" + Pid5() + "-";
  EXPECT_EQ(std::string(first).rfind(prefix, 0), 0u) << first;
  EXPECT_STRNE(first, second);  // every reader its own name
}

TEST_F(SDevAlloTest, SelectionByClassHostAndAlternativeName) {
  Catalogue(
      "exa8500::/dev/nst0:exa:Local tape\n"
      "exa8500:far:/dev/nst1:exa:Far tape\n"
      "unixFS::/srv/fs:fs:Files\n");
  auto count = [](SDevAllo_DevList l) {
    const std::size_t n = Records(l).size();
    SDevAllo_Destroy(l);
    return n;
  };
  EXPECT_EQ(count(SDevAllo_GetListOfDevices(SDevAllo_exa8500, "")), 1u);
  EXPECT_EQ(count(SDevAllo_GetListOfDevices(SDevAllo_exa8500, "far")), 1u);
  EXPECT_EQ(count(SDevAllo_GetListOfFreeDevices(SDevAllo_exa8500)), 2u);
  char devName[1024];
  EXPECT_TRUE(SDevAllo_DevnameFromAltdevn("exa", devName));
  EXPECT_STREQ(devName, "/dev/nst0");
  EXPECT_FALSE(SDevAllo_DevnameFromAltdevn("none", devName));

  // Without a selected record nothing is reserved and the list is gone.
  SDevAllo_DevList list = SDevAllo_GetListOfAllDevices();
  char host[128], name[1024], id[128] = "x";
  EXPECT_FALSE(SDevAllo_AllocateDevice(list, true, host, name, id));
  EXPECT_EQ(SDevAllo_error, 5);
  EXPECT_STREQ(id, "");
  EXPECT_EQ(list, nullptr);
}

TEST_F(SDevAlloTest, AnAllocationIsARealReservationThatEndsWithItsProcess) {
  Catalogue("exa8500::/dev/nst0:exa:Tape\n");
  const zolt::test::Holder holder = zolt::test::HoldInChild([] {
    SDevAllo_DevList list = SDevAllo_GetListOfAllDevices();
    list->selected = true;
    char host[128], name[1024], id[128];
    return SDevAllo_AllocateDevice(list, true, host, name, id);
  });
  EXPECT_TRUE(holder.ok);

  SDevAllo_DevList list = SDevAllo_GetListOfAllDevices();
  ASSERT_NE(list, nullptr);
  EXPECT_TRUE(list->inUse);
  char id[128];
  EXPECT_FALSE(SDevAllo_AllocateThisDevice(*list, false, id));
  EXPECT_EQ(SDevAllo_error, 6);
  EXPECT_EQ(SDevAllo_GetListOfFreeDevices(SDevAllo_exa8500), nullptr);

  holder.Kill();
  EXPECT_TRUE(Eventually(
      [] {
        SDevAllo_DevList l = SDevAllo_GetListOfAllDevices();
        const bool free = l != nullptr && !l->inUse;
        SDevAllo_Destroy(l);
        return free;
      },
      5000));
  EXPECT_TRUE(SDevAllo_AllocateThisDevice(*list, true, id));
  SDevAllo_ReleaseDevice(id);
  SDevAllo_Destroy(list);
}

}  // namespace
