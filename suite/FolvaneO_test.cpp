// The registration of restored orders, run the way restore jobs run it: directly, and
// through the remote command program with the command quoted.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "Sandbox.hpp"

namespace {

using zolt::test::ReadFile;
using zolt::test::RunCommand;
using zolt::test::WriteFile;

// The test's working directory, where RunCommand works too.
std::string Here() {
  char dir[4096];
  return ::getcwd(dir, sizeof dir) != nullptr ? dir : ".";
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The record without its date line.
std::string Record(const std::string& path) {
  std::string text = ReadFile(path);
  const std::size_t at = text.find("registered ");
  return at == std::string::npos ? text : text.substr(0, at);
}

class FolvaneOTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories("root/orders");
    std::filesystem::create_directories("root/forms/o1form0001.p1/pool");
    WriteFile("root/orders/O1.aif", "order info");
    orders = Here() + "/root/orders";
  }
  std::string orders;
};

TEST_F(FolvaneOTest, HelpAndWrongCommandLines) {
  const auto help = RunCommand("FolvaneO --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(Has(help.out, "usage: FolvaneO -r") && help.err.empty()) << help.out;
  for (const char* args : {"", "O1", "-x O1", "-r", "-r 1:a O1 more", "-r x:hostA O1",
                           "-r 0:hostA O1", "-r 1: O1", "-r ,1:a O1", "-r 1:a ../O1"}) {
    const auto r = RunCommand(std::string("cd root/orders && FolvaneO ") + args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_TRUE(Has(r.err, "usage: FolvaneO") && r.out.empty()) << args << ": " << r.err;
  }
  EXPECT_FALSE(std::filesystem::exists("root/orders/O1.registered"));
  for (const char* program : {"rcmd", "rcmd localhost"}) {
    const auto r = RunCommand(program);
    EXPECT_EQ(r.status, 2) << program;
    EXPECT_TRUE(Has(r.err, "usage: rcmd HOST")) << r.err;
  }
}

TEST_F(FolvaneOTest, RegistersFromTheDirectoryARestoreEndsInWithEscapedHosts) {
  // A restore job ends in the job directory of the last form it read.
  const auto r =
      RunCommand("cd root/forms/o1form0001.p1/pool && FolvaneO -r 1:hostA,2:ho\\,st\\,B O1");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Record(orders + "/O1.registered"),
            "order O1\ninfo " + orders + "/O1.aif\nform 1 hostA\nform 2 ho,st,B\n");
  // Unescaped commas inside a host reach us when a shell took the backslashes away.
  ASSERT_EQ(RunCommand("cd root/orders && FolvaneO -r '3:a,b,12:c' O1").status, 0);
  EXPECT_EQ(Record(orders + "/O1.registered"),
            "order O1\ninfo " + orders + "/O1.aif\nform 3 a,b\nform 12 c\n");
  // Without form items only the order: the job's command has two blanks there.
  ASSERT_EQ(RunCommand("cd root/orders && FolvaneO -r  O1").status, 0);
  EXPECT_EQ(Record(orders + "/O1.registered"), "order O1\ninfo " + orders + "/O1.aif\n");
  EXPECT_TRUE(Has(ReadFile(orders + "/O1.registered"), "\nregistered 2"));
}

TEST_F(FolvaneOTest, ThroughRcmdOnThisHostOnlyAndTheQuotedCommandIntact) {
  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  auto r = RunCommand("cd root/orders && rcmd " + std::string(host) +
                      " \"FolvaneO -r 1:hostA,2:b\\,c O1\"");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Record(orders + "/O1.registered"),
            "order O1\ninfo " + orders + "/O1.aif\nform 1 hostA\nform 2 b,c\n");
  std::remove((orders + "/O1.registered").c_str());

  r = RunCommand("cd root/orders && rcmd elsewhere.invalid \"FolvaneO -r 1:hostA O1\"");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.err, "rcmd: host elsewhere.invalid is not this machine")) << r.err;
  EXPECT_FALSE(std::filesystem::exists(orders + "/O1.registered"));
  // The command's own status comes back.
  EXPECT_EQ(RunCommand("rcmd localhost \"FolvaneO -r 1:a NOSUCH\"").status, 1);
}

TEST_F(FolvaneOTest, FindsTheRestoredOrderBeforeOthersAndRefusesMissingOrUnreadableInfo) {
  // The same order in a job root the suite knows: the restored one (where the job is)
  // is registered, the other is left alone.
  std::filesystem::create_directories("known/orders");
  WriteFile("known/orders/O1.aif", "older");
  WriteFile(std::string(std::getenv("VM_CUSTOMER")) + "/folvaneoJobRoots",
            "  " + Here() + "/known/orders  main root\n");
  ASSERT_EQ(RunCommand("cd root/forms && FolvaneO -r 1:a O1").status, 0);
  EXPECT_TRUE(std::filesystem::exists(orders + "/O1.registered"));
  EXPECT_FALSE(std::filesystem::exists("known/orders/O1.registered"));
  // Inside a restore job its script tells where the order info file went, even when
  // the job ends among the forms of another job root holding the same order.
  std::filesystem::create_directories("fresh dir/orders");
  WriteFile("fresh dir/orders/O1.aif", "restored");
  WriteFile("job.sh", "baseDir=" + Here() +
                          "/fresh\\ dir/orders\n(\necho O1.aif\n) | ReadFileList\n" + "baseDir=" +
                          Here() + "/root/forms/o1form0001.p1\n(\necho pool/\n) | ReadFileList\n");
  ASSERT_EQ(RunCommand("cd root/forms/o1form0001.p1 && scriptName=" + Here() +
                       "/job.sh FolvaneO -r 1:a O1")
                .status,
            0);
  EXPECT_TRUE(std::filesystem::exists("fresh dir/orders/O1.registered"));
  // From elsewhere the listed job root is found.
  ASSERT_EQ(RunCommand("cd / && FolvaneO -r 1:a O1").status, 0);
  EXPECT_TRUE(std::filesystem::exists("known/orders/O1.registered"));
  auto r = RunCommand("cd root/orders && FolvaneO -r 1:a NOSUCH");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.err, "order NOSUCH: no order info file NOSUCH.aif")) << r.err;
  WriteFile("root/orders/EMPTY.aif", "");
  std::filesystem::create_directories("root/orders/DIR.aif");
  for (const char* order : {"EMPTY", "DIR"}) {
    r = RunCommand(std::string("cd root/orders && FolvaneO -r 1:a ") + order);
    EXPECT_EQ(r.status, 1) << order;
    EXPECT_TRUE(Has(r.err, "is empty or cannot be read")) << r.err;
    EXPECT_FALSE(std::filesystem::exists(orders + "/" + order + ".registered")) << order;
  }
}

}  // namespace
