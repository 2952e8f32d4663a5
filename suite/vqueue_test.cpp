// The operator's command line for the queue, run as a program against servers it starts.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "DirAcces.hpp"
#include "Sandbox.hpp"

namespace {

using zolt::test::ReadFile;
using zolt::test::RunCommand;

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string DatDir() {
  char dat[1024] = {};
  DirAcces_GetSpecialPath(DirAcces_datPath, dat);
  return dat;
}

std::string JobServerPidFile() {
  return DatDir() + "/DUvuvuzo-" + std::getenv("VM_DUVUVUZO_PORT") + ".pid";
}

// Run files of vqueue processes, all of which have ended.
int LeftRunFiles() {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator(DatDir())) {
    n += Has(e.path().filename().string(), "-vqueue-");
  }
  return n;
}

class VqueueTest : public ::testing::Test {
 protected:
  void SetUp() override { DirAcces_Init(); }
  // The server is ended here even when vqueue failed to.
  void TearDown() override {
    const int pid = std::atoi(ReadFile(JobServerPidFile()).c_str());
    if (pid > 0) ::kill(pid, SIGKILL);
  }
};

TEST_F(VqueueTest, HelpAndAWrongCommandLine) {
  const auto help = RunCommand("vqueue --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(Has(help.out, "usage: vqueue")) << help.out;
  for (const char* args : {"", "bogus", "show", "cancel", "shutdown now"}) {
    const auto r = RunCommand(std::string("vqueue ") + args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_TRUE(Has(r.err, "usage: vqueue") && r.out.empty()) << args << ": " << r.err;
  }
  EXPECT_EQ(LeftRunFiles(), 0);
}

TEST_F(VqueueTest, StartsTheServerSaysSoAndShutsItDown) {
  auto r = RunCommand("vqueue list");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(Has(r.err, "started the job server") && Has(r.err, "the queue is empty")) << r.err;

  r = RunCommand("vqueue cancel 4711");
  EXPECT_EQ(r.out, "no job canceled (only waiting or running jobs)\n");
  EXPECT_FALSE(Has(r.err, "started")) << "the server runs already: " << r.err;
  r = RunCommand("vqueue restart 4711 4712");
  EXPECT_EQ(r.out, "no job restarted (only failed or canceled jobs)\n");

  r = RunCommand("vqueue shutdown");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Has(r.out, "stopped the job server (DUvuvuzo")) << r.out;
  EXPECT_TRUE(ReadFile(JobServerPidFile()).empty());
  r = RunCommand("vqueue shutdown");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Has(r.out, "the job server (DUvuvuzo, port")) << r.out;
  EXPECT_TRUE(Has(r.out, "is not running")) << r.out;
  EXPECT_EQ(LeftRunFiles(), 0);
}

}  // namespace
