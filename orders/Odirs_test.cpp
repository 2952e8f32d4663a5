#include "Odirs.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "DirAcces.hpp"
#include "Sandbox.hpp"

namespace {

namespace fs = std::filesystem;

std::string Cwd() {
  char here[1024];
  DirAcces_CurrentDir(here);
  return here;
}

class OdirsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The standard directories are made below the sandbox, not on the machine.
    DirAcces_SetInstallRoot(zolt::test::SandboxDir());
    Odirs_Init();
    root = zolt::test::SandboxDir();
  }
  std::string root;
};

TEST_F(OdirsTest, StandardDirectoriesAreMadeOpenToEverybody) {
  EXPECT_EQ(std::string(Odirs_jobDir), root + "/projects/forms");
  EXPECT_EQ(std::string(Odirs_orderDir), root + "/projects/orders");
  EXPECT_EQ(std::string(Odirs_schemeDir), root + "/projects/schemes");
  for (const char* dir : {Odirs_jobDir, Odirs_orderDir, Odirs_schemeDir}) {
    struct stat st {};
    ASSERT_EQ(::stat(dir, &st), 0) << dir;
    EXPECT_EQ(st.st_mode & 0777, 0777u) << dir;
  }
  // Blanks do not belong to directory names.
  Odirs_MkDir(root + "/new dir ");
  EXPECT_TRUE(fs::is_directory(root + "/newdir"));
}

TEST_F(OdirsTest, HostOfAPath) {
  char host[128];
  const std::pair<std::string, std::string> cases[] = {
      {"/nfs/hostA/projects/orders", "hostA"}, {"/net/hostC/x", "hostC"},
      {"/tmp_mnt/net/hostB/x", "hostB"},       {"/nfs/hostD", "hostD"},
      {"/projects/orders", Odirs_thisHost},    {"/nfsx/hostE/y", Odirs_thisHost},
      {"/mnt/hosts/hostF/x", "hostF"},         {"/mnt/hostsx/hostG", Odirs_thisHost},
  };
  ::setenv("VM_NETROOT", "/mnt/hosts", 1);
  for (const auto& [path, expected] : cases) {
    Odirs_GetHost(path, host);
    EXPECT_EQ(std::string(host), expected) << path;
  }
}

TEST_F(OdirsTest, JobPathTakesTheNetworkPrefixOnlyWhenTheFlagAsksForIt) {
  Odirs_SetDirs("/projects/forms", "/projects/orders", "/projects/schemes");
  char local[1024], remote[1024];
  Odirs_JobPath("", "brosch_a01.a1", local);
  EXPECT_STREQ(local, "/projects/forms/brosch_a01.a1");
  Odirs_JobPath("otherhost", "brosch_a01.a1", remote);
  EXPECT_STREQ(remote, local);

  ::setenv("VM_NFS_PREFIX_BEHAVIOUR", "on", 1);
  ::unsetenv("VM_NETROOT");
  Odirs_JobPath("otherhost", "brosch_a01.a1", remote);
  EXPECT_STREQ(remote, "/nfs/otherhost/projects/forms/brosch_a01.a1");
  ::setenv("VM_NETROOT", "/mnt/hosts/", 1);
  Odirs_JobPath("otherhost", "brosch_a01.a1", remote);
  EXPECT_STREQ(remote, "/mnt/hosts/otherhost/projects/forms/brosch_a01.a1");
  Odirs_JobPath(Odirs_thisHost, "brosch_a01.a1", remote);
  EXPECT_STREQ(remote, local);
  Odirs_JobPath("", "brosch_a01.a1", remote);
  EXPECT_STREQ(remote, local);
}

TEST_F(OdirsTest, ChangingIntoJobsFollowsTheNamingRuleAndComesBack) {
  const std::string start = Cwd();
  fs::create_directories(std::string(Odirs_jobDir) + "/brosch_a01.a1");
  fs::create_directories(std::string(Odirs_jobDir) + "/0_______99.z9");
  for (const std::string bad :
       {"brosch_a01.a", "brosch_a01.a12", "Brosch_a01.a1", "brosch_a0x.a1", "_rosch_a01.a1",
        "brosch_a01-a1", "brosch_a01.11", "brosch_a01.aa", "brosch-a01.a1"}) {
    EXPECT_FALSE(Odirs_NameOK(bad)) << bad;
    EXPECT_FALSE(Odirs_ChangeToJobOnHost(std::string(), bad)) << bad;
    EXPECT_EQ(Cwd(), start) << bad;
  }
  EXPECT_FALSE(Odirs_ChangeToJobOnHost(std::string(), "missing_01.a1"));
  EXPECT_EQ(Odirs_currDir, nullptr);

  ASSERT_TRUE(Odirs_ChangeToJobOnHost(std::string(), "brosch_a01.a1"));
  EXPECT_EQ(Cwd(), std::string(Odirs_jobDir) + "/brosch_a01.a1");
  ASSERT_TRUE(Odirs_ChangeToJobOnHost(std::string(), "0_______99.z9"));
  EXPECT_EQ(Cwd(), std::string(Odirs_jobDir) + "/0_______99.z9");
  Odirs_ReturnToCurrent();
  EXPECT_EQ(Cwd(), std::string(Odirs_jobDir) + "/brosch_a01.a1");
  Odirs_ReturnToCurrent();
  EXPECT_EQ(Cwd(), start);
  EXPECT_EQ(Odirs_currDir, nullptr);
  Odirs_ReturnToCurrent();
  EXPECT_EQ(Cwd(), start);
}

TEST_F(OdirsTest, NameListsStaySortedAndReuseTheirEntries) {
  Odirs_NameList list = nullptr;
  Odirs_SortedInsert(list, "b -> second", false);
  Odirs_SortedInsert(list, "a -> first", false);
  Odirs_SortedInsert(list, "c -> third", false);
  Odirs_SortedInsert(list, "b -> second", true);  // goes after the equal text
  Odirs_SortedInsert(list, "\"two words\" -> quoted", false);
  Odirs_SortedInsert(list, "\xE4 -> latin", false);  // after every ASCII text
  std::string order;
  for (Odirs_NameEntry* e = list; e != nullptr; e = e->next) {
    order += std::string(e->text).substr(0, 2) + (e->selected ? "*" : "") + "|";
  }
  EXPECT_EQ(order, "\"t|a |b |b *|c |\xE4 |");

  EXPECT_EQ(Odirs_Selected(list), list->next->next->next);
  EXPECT_EQ(Odirs_SearchName(list, "b"), list->next->next);
  EXPECT_EQ(Odirs_SearchName(list, "two words"), list);
  EXPECT_EQ(Odirs_SearchName(list, "d"), nullptr);
  char name[128];
  Odirs_GetName("   order_1 -> x", name);
  EXPECT_STREQ(name, "order_1");

  Odirs_NameEntry* last = list;
  while (last->next != nullptr) last = last->next;
  Odirs_DestroyNamelist(list);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(Odirs_Selected(list), nullptr);
  Odirs_NameEntry* again = Odirs_NNew();
  EXPECT_EQ(again, last);  // the pool hands out the entry given back last
  EXPECT_STREQ(again->text, "");
  Odirs_NDispose(again);
}

}  // namespace
