#include "Env.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Sandbox.hpp"

namespace {

namespace fs = std::filesystem;
using namespace zolt::test;

class EnvTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Env_Init();
    EnvReset();
    for (const char* name : kChanged) {
      const char* v = std::getenv(name);
      saved_.emplace_back(name, v != nullptr ? std::optional<std::string>(v) : std::nullopt);
    }
  }
  // The variables the cases change, back as they were (the cases may share a process).
  void TearDown() override {
    for (const auto& [name, value] : saved_) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
    EnvReset();
  }
  static constexpr const char* kChanged[] = {
      "ZOLTLIB", "ZOLTENV", "ZOLTDAT", "PATH", "VELMAR_DISTRIBUTION", "LANG", "LANGUAGE"};
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(EnvTest, ValuesComeFromTheEnvironmentAndAreKeptUntilReset) {
  EXPECT_STREQ(EnvGetZOLTLIB(), (SandboxDir() + "/lib").c_str());
  EXPECT_STREQ(EnvGetZOLTENV(), (SandboxDir() + "/env").c_str());
  EXPECT_STREQ(EnvGetZOLTDAT(), (SandboxDir() + "/dat").c_str());

  const std::string elsewhere = SandboxDir() + "/elsewhere";
  fs::create_directories(elsewhere);
  ::setenv("ZOLTDAT", elsewhere.c_str(), 1);
  EXPECT_STREQ(EnvGetZOLTDAT(), (SandboxDir() + "/dat").c_str());
  EnvReset();
  EXPECT_STREQ(EnvGetZOLTDAT(), elsewhere.c_str());
}

TEST_F(EnvTest, UnsetDirectoriesGetTheirDefaultsAndExportThem) {
  // The distribution is the parent of the directory that holds the program.
  ::unsetenv("ZOLTLIB");
  ::unsetenv("VELMAR_DISTRIBUTION");
  const std::string lib = fs::canonical(BuildDir()).string();
  EXPECT_EQ(fs::canonical(EnvGetZOLTLIB()).string(), lib);
  ASSERT_NE(std::getenv("ZOLTLIB"), nullptr);
  EXPECT_STREQ(std::getenv("ZOLTLIB"), EnvGetZOLTLIB());
  EXPECT_STREQ(EnvGetDistribDir(), EnvGetZOLTLIB());

  ::unsetenv("ZOLTENV");
  EnvReset();
  EXPECT_EQ(std::string(EnvGetZOLTENV()),
            std::string(std::getenv("VM_CUSTOMER")) + ":" + EnvGetZOLTLIB() + "/env");
  EXPECT_STREQ(std::getenv("ZOLTENV"), EnvGetZOLTENV());
}

TEST_F(EnvTest, TheDistributionFallsBackToTheLibraryDirectory) {
  ::unsetenv("VELMAR_DISTRIBUTION");
  EXPECT_STREQ(EnvGetDistribDir(), (SandboxDir() + "/lib").c_str());
  ::setenv("VELMAR_DISTRIBUTION", "/opt/dist", 1);
  EnvReset();
  EXPECT_STREQ(EnvGetDistribDir(), "/opt/dist");
}

// How LANG and LANGUAGE map to the code is the catalogue's part; here only the keeping.
TEST_F(EnvTest, LanguageIsTheThreeLetterCode) {
  EXPECT_STREQ(EnvGetLANGUAGE(), "eng");
  ::setenv("LANG", "de_DE.UTF-8", 1);
  EXPECT_STREQ(EnvGetLANGUAGE(), "eng");  // kept until reset
  EnvReset();
  EXPECT_STREQ(EnvGetLANGUAGE(), "deu");
}

TEST_F(EnvTest, TheExecNameDefaultsToTheProgramsName) {
  EXPECT_STREQ(EnvGetExecName(), "Env_test");
  EnvSetExecName("ZAreDav");
  EnvReset();  // a name set on purpose survives
  EXPECT_STREQ(EnvGetExecName(), "ZAreDav");
}

}  // namespace
