#include "BkStoreM.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "BkArchivNames.hpp"
#include "BkStore.hpp"
#include "DynStr.hpp"
#include "Messages.hpp"
#include "Sandbox.hpp"

namespace {

using zolt::test::ReadFile;
using zolt::test::SandboxDir;

// Labelling a file-system medium: a new media name of the day goes onto the medium; a
// format without a writer or a medium that is not there is error 7 of the store and
// leaves no header behind.
TEST(BkStoreMTest, LabellingPutsANewMediaNameOnTheMediumOrFailsWithoutAHeader) {
  BkStoreM_Init();
  Messages_UseMsgCat("ZAREDAVmsg");
  std::filesystem::create_directories(BkArchiv_stdArchivDir);  // the day's name counter
  const std::string root = SandboxDir() + "/medium";
  ASSERT_EQ(::mkdir(root.c_str(), 0777), 0);
  DevListEntry dev{};
  dev.baseType = BkDevSel_filesys;
  dev.subtype = 1;
  Strings_Assign(StrIn::FromC(root.c_str()), dev.record.devName);
  Strings_Assign("Backup directory", dev.record.description);
  dev.isLocal = true;
  dev.blkHeader = 512;
  dev.blkData = 10240;
  dev.dirSize = -1;
  dev.fs.root = DSCreateStr(root.c_str(), 0);

  Header* hdr = nullptr;
  ASSERT_TRUE(BkStoreM_LabelMedia(dev, mfmtStdD, "first line", "second line", hdr));
  ASSERT_NE(hdr, nullptr);
  const std::string label = hdr->label;
  EXPECT_NE(label, "NONAME");
  const std::string onMedium = ReadFile(root + "/DHEADER");
  EXPECT_NE(onMedium.find(label), std::string::npos) << onMedium;
  EXPECT_NE(onMedium.find("first line"), std::string::npos) << onMedium;
  BkArchiv_DestroyHeaderAndArchives(hdr);

  // The next medium gets the next name of the day.
  ASSERT_TRUE(BkStoreM_LabelMedia(dev, mfmtStdD, "", "", hdr));
  EXPECT_NE(std::string(hdr->label), label);
  BkArchiv_DestroyHeaderAndArchives(hdr);

  // A format no writer has, and a medium that is not there.
  auto refused = [&](std::uint8_t format) {
    Messages_Ignoring quiet;
    EXPECT_FALSE(BkStoreM_LabelMedia(dev, format, "", "", hdr));
    EXPECT_EQ(BkStore_bksError, 7);
    EXPECT_EQ(hdr, nullptr);
    Messages_ForgetErrorReasons();
  };
  refused(mfmtStdF);
  DSFree(&dev.fs.root);
  dev.fs.root = DSCreateStr((root + "/gone").c_str(), 0);
  refused(mfmtStdD);
  DSFree(&dev.fs.root);
}

}  // namespace
