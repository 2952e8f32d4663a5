#include "Path.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "DirAcces.hpp"
#include "Sandbox.hpp"

namespace {

namespace fs = std::filesystem;
using namespace zolt::test;

class PathTest : public ::testing::Test {
 protected:
  void SetUp() override { Path_Init(); }
};

struct Case {
  const char* path;
  const char* base;
  const char* dir;
  const char* head;
};

TEST_F(PathTest, ComponentsOfPaths) {
  const Case cases[] = {
      {"/usr/lib/file", "file", "/usr/lib", "/"},
      {"dir/file", "file", "dir", "dir"},
      {"file", "file", ".", "file"},
      {"/file", "file", "/", "/"},
      {"/", "/", "/", "/"},
      {"dir/sub/", "sub", "dir", "dir"},
      {"dir//file", "file", "dir", "dir"},
      {"", "", ".", ""},
  };
  for (const auto& c : cases) {
    char out[64];
    ASSERT_EQ(Basename(c.path, out, sizeof out), 0);
    EXPECT_STREQ(out, c.base) << "'" << c.path << "'";
    ASSERT_EQ(Dirname(c.path, out, sizeof out), 0);
    EXPECT_STREQ(out, c.dir) << "'" << c.path << "'";
    ASSERT_EQ(PathHead(c.path, out, sizeof out), 0);
    EXPECT_STREQ(out, c.head) << "'" << c.path << "'";
  }
}

TEST_F(PathTest, AResultThatDoesNotFitIsCutAndTold) {
  char out[5];
  EXPECT_EQ(Basename("/a/longname", out, sizeof out), -1);
  EXPECT_STREQ(out, "long");
  EXPECT_EQ(Dirname("/abcdef/x", out, sizeof out), -1);
  EXPECT_STREQ(out, "/abc");
  EXPECT_EQ(PathHead("toolong/x", out, sizeof out), -1);
  EXPECT_STREQ(out, "tool");
  EXPECT_EQ(Basename("/a/name", out, sizeof out), 0);  // four characters fit
  EXPECT_STREQ(out, "name");
}

TEST_F(PathTest, CwdIsTheLogicalDirectoryAndTrueNameResolvesLinks) {
  const fs::path real = fs::path(SandboxDir()) / "real" / "inner";
  fs::create_directories(real);
  fs::create_directory_symlink(real, fs::path(SandboxDir()) / "alias");
  DirAcces_ChDir(SandboxDir() + "/alias");
  char out[1024];
  ASSERT_EQ(Cwd(out, sizeof out), 0);
  EXPECT_EQ(std::string(out), SandboxDir() + "/alias");  // as the user went there

  ASSERT_EQ(TrueName(".", out, sizeof out), 0);
  EXPECT_EQ(std::string(out), fs::canonical(real).string());
  ASSERT_EQ(TrueName("../inner/./", out, sizeof out), 0);
  EXPECT_EQ(std::string(out), fs::canonical(real).string());
  EXPECT_EQ(TrueName("missing", out, sizeof out), -1);
  EXPECT_STREQ(out, "");

  char small[4];
  EXPECT_EQ(Cwd(small, sizeof small), -1);
}

}  // namespace
