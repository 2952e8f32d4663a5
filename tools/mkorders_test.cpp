// The sample-order generator as a program: what it makes is what the order model reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "DirAcces.hpp"
#include "OOinfos.hpp"
#include "Odirs.hpp"
#include "Sandbox.hpp"

namespace {

namespace fs = std::filesystem;
using zolt::test::ProgramPath;
using zolt::test::RunCommand;

struct Tree {
  std::uintmax_t bytes = 0;
  int files = 0, links = 0, blanks = 0, latin1 = 0;
};

Tree Walk(const std::string& dir) {
  Tree t;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (e.is_symlink()) {
      ++t.links;
    } else if (e.is_regular_file()) {
      ++t.files;
      t.bytes += e.file_size();
      t.blanks += name.find(' ') != std::string::npos;
      t.latin1 += std::any_of(name.begin(), name.end(),
                              [](char c) { return static_cast<unsigned char>(c) >= 0xA0; });
    }
  }
  return t;
}

class MkordersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DirAcces_SetInstallRoot(zolt::test::SandboxDir());
    OOinfos_Init();
  }
  std::string Make(const std::string& args) {
    const auto r = RunCommand(ProgramPath("mkorders") + " " + args);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  }
};

TEST_F(MkordersTest, JobRootHoldsReadableOrdersWithFormsOfEveryStatusAndTheChosenSize) {
  const std::string out = Make("--orders 40 --size 3M --host hostA jobs/orders");
  EXPECT_NE(out.find("40 orders"), std::string::npos) << out;
  EXPECT_NE(out.find("3145728 bytes"), std::string::npos) << out;
  EXPECT_TRUE(fs::is_directory("jobs/schemes"));

  const std::string root = fs::absolute("jobs").string();
  Odirs_NameList list = OOinfos_GetOrderlist(root + "/orders");
  int orders = 0;
  std::map<int, int> statuses;
  std::set<std::string> formNames;
  for (Odirs_NameEntry* e = list; e != nullptr; e = e->next, ++orders) {
    char name[128];
    Odirs_GetName(e->text, name);
    OOinfos_Info* info = OOinfos_Load(root + "/orders/" + name + ".aif");
    ASSERT_NE(info, nullptr) << name << " " << OOinfos_error;
    for (Oforms_Form* f = info->forms; f != nullptr; f = f->next) {
      EXPECT_TRUE(Odirs_NameOK(f->shortName)) << f->shortName;
      EXPECT_STREQ(f->host, "hostA");
      EXPECT_TRUE(fs::is_directory(root + "/forms/" + f->shortName + "/pool"));
      EXPECT_TRUE(formNames.insert(f->shortName).second) << f->shortName;
      ++statuses[f->status];
    }
    OOinfos_Destroy(info);
  }
  Odirs_DestroyNamelist(list);
  EXPECT_EQ(orders, 40);
  EXPECT_GT(statuses[0], 0);
  EXPECT_GT(statuses[1], statuses[0]);
  EXPECT_GT(statuses[2], 0);

  const Tree forms = Walk(root + "/forms");
  EXPECT_EQ(forms.bytes, 3u << 20);
  EXPECT_EQ(forms.links, 1);
  EXPECT_GT(forms.blanks, 0);
  EXPECT_GT(forms.latin1, 0);

  // The same arguments make the same orders; a filled job root is not touched.
  Make("--orders 40 --size 3M --host hostA again/orders");
  for (const auto& e : fs::directory_iterator("jobs/orders")) {
    const std::string file = e.path().filename().string();
    EXPECT_EQ(zolt::test::ReadFile("again/orders/" + file), zolt::test::ReadFile(e.path())) << file;
  }
  const auto again = RunCommand(ProgramPath("mkorders") + " --orders 1 jobs/orders");
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(Walk(root + "/forms").bytes, 3u << 20);
}

TEST_F(MkordersTest, UsageErrorsAndHelp) {
  const auto help = RunCommand(ProgramPath("mkorders") + " --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: mkorders"), std::string::npos);
  for (const char* bad :
       {"", "--orders 0 x/orders", "--orders 10001 x/orders", "--size 5X x/orders", "x/jobs",
        "--orders", "--colour red x/orders", "a/orders b/orders"}) {
    const auto r = RunCommand(ProgramPath("mkorders") + " " + bad);
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_NE(r.err.find("usage: mkorders"), std::string::npos) << bad;
    EXPECT_FALSE(fs::exists("x")) << bad;
  }
}

}  // namespace
