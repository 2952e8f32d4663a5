#include "OOinfos.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "DirAcces.hpp"
#include "Messages.hpp"
#include "Oresourc.hpp"
#include "SAIF.hpp"
#include "SAIFinfo.hpp"
#include "SRM.hpp"
#include "Sandbox.hpp"
#include "test/Rival.hpp"

namespace {

namespace fs = std::filesystem;
using Entries = std::vector<std::pair<std::string, std::string>>;

class OOinfosTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DirAcces_SetInstallRoot(zolt::test::SandboxDir());
    OOinfos_Init();
    SRM_Reset();
    orders = std::string(Odirs_orderDir);
  }
  void TearDown() override { orders_test::StopResourceManager(); }

  // An order info file in the orders directory with the given string entries.
  std::string Order(const std::string& file, const Entries& entries) {
    const std::string path = orders + "/" + file;
    SAIF f = SAIF_Create(path, 0, 0, 1);
    for (const auto& [key, value] : entries) SAIFinfo_SaveString(f, key, value);
    SAIF_Close(f);
    return path;
  }
  std::vector<std::string> List(const std::string& dir) {
    Odirs_NameList list = OOinfos_GetOrderlist(dir);
    std::vector<std::string> texts;
    for (Odirs_NameEntry* e = list; e != nullptr; e = e->next)
      texts.push_back(StrIn(e->text).str());
    Odirs_DestroyNamelist(list);
    return texts;
  }
  std::string Cwd() { return fs::current_path().string(); }

  std::string orders;
};

TEST_F(OOinfosTest, OrderListHoldsTheOrderInfoFilesOfThisEdition) {
  Order("beta.aif", {{"ORDERINFO", "Beta"}});
  Order("alpha.aif", {{"ORDERINFO", "Alpha brochure"}, {"ORDERNUM", "1"}});
  Order("later.aif", {{"ORDERINFO", "Later edition"}, {"FOLVANE2000", ""}});
  Order("plain.aif", {{"ORDERNUM", "2"}});
  Order("twin.aif", {{"ORDERINFO", "Same"}});
  Order("twin.bak", {{"ORDERINFO", "Same"}});
  zolt::test::WriteFile(orders + "/notes.txt", "no container");
  zolt::test::WriteFile(orders + "/cut.aif", "$e\x01");
  fs::create_directory(orders + "/dir.aif");
  const std::string start = Cwd();
  EXPECT_EQ(List(orders), (std::vector<std::string>{"alpha -> Alpha brochure", "beta -> Beta",
                                                    "twin -> Same", "twin -> Same"}));
  EXPECT_EQ(Cwd(), start);
  EXPECT_EQ(Messages_ErrorCount(false), 0u);
  EXPECT_TRUE(List(orders + "/missing").empty());
  EXPECT_EQ(Cwd(), start);
}

TEST_F(OOinfosTest, LoadGivesTheOrderAndItsFormsInNumberOrder) {
  const std::string path = Order("order.aif", {{"ORDERINFO", "Catalogue"},
                                               {"ORDERNUM", "4711"},
                                               {"FORM010/SHORTNAME", "catalo_a10.a1"},
                                               {"FORM010/HOST", "hostB"},
                                               {"FORM010/STATUS", "2"},
                                               {"FORM002/SHORTNAME", "catalo_a02.a1"},
                                               {"FORM002/HOST", "hostA"},
                                               {"FORM002/STATUS", "1"},
                                               {"FORM003/SHORTNAME", "catalo_a03.a1"},
                                               {"FORM003/STATUS", "0"},
                                               {"FORM004/SHORTNAME", "catalo_a04.a1"},
                                               {"FORM004/STATUS", ".5"},
                                               {"FORMXYZ/SHORTNAME", "ignored"}});
  OOinfos_Info* info = OOinfos_Load(path);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(OOinfos_error, OOinfos_ok);
  EXPECT_STREQ(info->orderNumber, "4711");
  EXPECT_STREQ(info->description, "Catalogue");
  std::vector<std::string> texts;
  for (Oforms_Form* f = info->forms; f != nullptr; f = f->next)
    texts.push_back(StrIn(f->text).str());
  EXPECT_EQ(texts,
            (std::vector<std::string>{" 2: catalo_a02.a1 <+> hostA", " 3: catalo_a03.a1 < > ",
                                      " 4: catalo_a04.a1 <?> ", "10: catalo_a10.a1 <?> hostB"}));
  OOinfos_Destroy(info);
  EXPECT_EQ(info, nullptr);
  EXPECT_EQ(SRM_resourceLst, nullptr);  // the shared reservation is given back
}

TEST_F(OOinfosTest, FilesThatCannotBeReadAreErrorsAndStayAsTheyWere) {
  EXPECT_EQ(OOinfos_Load(""), nullptr);
  EXPECT_EQ(OOinfos_error, OOinfos_cannotOpen);
  EXPECT_EQ(OOinfos_Load(orders + "/missing.aif"), nullptr);
  EXPECT_EQ(OOinfos_error, OOinfos_cannotOpen);

  const std::string good = zolt::test::ReadFile(Order("good.aif", {{"ORDERINFO", "x"}}));
  const std::string cut = orders + "/cut.aif";
  zolt::test::WriteFile(cut, good.substr(0, good.size() - 3));
  EXPECT_EQ(OOinfos_Load(cut), nullptr);
  EXPECT_EQ(OOinfos_error, OOinfos_unreadable);
  std::string reasons;
  char text[5120];
  while (Messages_ErrorReason(text)) reasons += text;
  EXPECT_NE(reasons.find(cut), std::string::npos) << reasons;
  EXPECT_EQ(zolt::test::ReadFile(cut), good.substr(0, good.size() - 3));

  EXPECT_EQ(OOinfos_Load(Order("plain.aif", {{"ORDERNUM", "3"}})), nullptr);
  EXPECT_EQ(OOinfos_error, OOinfos_unreadable);
}

TEST_F(OOinfosTest, LoadsNestInsideOurHoldAndAreRefusedWhileAnotherProcessHoldsTheOrder) {
  const std::string path = Order("held.aif", {{"ORDERINFO", "Held"}});
  char exclusive[256];
  Oresourc_OrderRes("held", true, exclusive);
  {
    orders_test::Rival rival(exclusive);
    ASSERT_TRUE(rival.holds());
    EXPECT_EQ(OOinfos_Load(path), nullptr);
    EXPECT_EQ(OOinfos_error, OOinfos_reserved);
  }
  bool granted = false;
  for (int i = 0; i < 20 && !granted; ++i) granted = Oresourc_Reserve(exclusive);
  ASSERT_TRUE(granted);
  OOinfos_Info* info = OOinfos_Load(path);
  ASSERT_NE(info, nullptr);
  OOinfos_Destroy(info);
  EXPECT_EQ(SRM_UseCount(exclusive), 1);
  // Our hold outlives the nested load: another process still cannot have the order.
  orders_test::Rival late(exclusive);
  EXPECT_FALSE(late.holds());
  Oresourc_Release(exclusive);
}

}  // namespace
