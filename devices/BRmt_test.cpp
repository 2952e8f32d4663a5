// The handle layer against real files and our RMT server reached through vrsh: the same
// calls on a local and a remote handle must give the same results.
#include "BRmt.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "Rmt.hpp"
#include "Sandbox.hpp"
#include "TpTape.hpp"
#include "TpVirt.hpp"

namespace {

using zolt::test::ReadFile;
using zolt::test::WriteFile;

std::string Work() { return zolt::test::SandboxDir() + "/work"; }

class BRmtTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BRmt_Init();
    RmtSetTimeouts(5000, 5000);
    ::setenv("VM_REMOTE_SHELL", zolt::test::ProgramPath("vrsh").c_str(), 1);
  }
};

TEST_F(BRmtTest, LocalAndRemoteHandlesBehaveAlike) {
  for (const bool remote : {false, true}) {
    SCOPED_TRACE(remote ? "remote" : "local");
    const std::string path = Work() + (remote ? "/r" : "/l");
    WriteFile(path, "0123456789");
    BRmt_File f = BRmt_Open(remote ? "localhost:" + path : path, false, 2);
    ASSERT_TRUE(BRmt_LegalFileHandle(f));
    EXPECT_EQ(f->kind, remote ? BRmt_Kind::Remote : BRmt_Kind::Local);
    EXPECT_EQ(BRmt_Write(f, "abc", 3), 3);
    EXPECT_EQ(BRmt_LSeek(f, 1.0, FileIO_fromCurrent), 4.0);
    char buffer[16] = {};
    EXPECT_EQ(BRmt_Read(f, buffer, 3), 3);
    EXPECT_STREQ(buffer, "456");
    // Offsets beyond 32 bits travel as reals; the file grows sparse.
    const double far = 5e9;
    EXPECT_EQ(BRmt_LSeek(f, far, FileIO_fromStart), far);
    EXPECT_EQ(BRmt_Write(f, "z", 1), 1);
    EXPECT_EQ(BRmt_LSeek(f, -2.0, FileIO_fromEnd), far - 1);
    EXPECT_EQ(BRmt_LSeek(f, -1.0, FileIO_fromStart), -1.0);
    int flag = -1;
    double mtime = 0, size = 0;
    ASSERT_TRUE(BRmt_FStat(f, flag, mtime, size));
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(size, far + 1);
    EXPECT_NEAR(mtime, static_cast<double>(::time(nullptr)), 60);
    // A plain file is no tape: tape motion fails, one block reads what is there.
    EXPECT_FALSE(BRmt_TpTapeOp(f, TpRewind, 1));
    EXPECT_EQ(BRmt_LSeek(f, 0.0, FileIO_fromStart), 0.0);
    char* block = nullptr;
    long got = 0;
    EXPECT_EQ(BRmt_TpReadBlock(f, 0, &block, &got), 32768);
    EXPECT_EQ(std::string(block, 10), "abc3456789");
    std::free(block);
    EXPECT_TRUE(BRmt_Close(f));
    EXPECT_EQ(f, BRmt_Nil);
    ASSERT_EQ(::truncate(path.c_str(), 0), 0);
  }
}

TEST_F(BRmtTest, NamesChooseTheRoute) {
  WriteFile("a:b", "colon");
  // With local set a colon is part of the file name.
  BRmt_File f = BRmt_Open(Work() + "/a:b", true, 0);
  ASSERT_TRUE(BRmt_LegalFileHandle(f));
  EXPECT_EQ(f->kind, BRmt_Kind::Local);
  BRmt_Close(f);
  // Without it the name is host "<Work>/a" and device "b", which nothing serves.
  EXPECT_FALSE(BRmt_Access(Work() + "/a:b", false, 0));

  WriteFile("plain", "x");
  EXPECT_TRUE(BRmt_Access1("", "localhost", Work() + "/plain", 1));
  EXPECT_FALSE(BRmt_Access1("", "localhost", Work() + "/none", 3));
  // The local open takes existing files only; the remote server creates one.
  EXPECT_EQ(BRmt_Open1("", "", Work() + "/new", 1), BRmt_Nil);
  f = BRmt_Open1("", "localhost", Work() + "/new", 1);
  ASSERT_TRUE(BRmt_LegalFileHandle(f));
  EXPECT_EQ(f->kind, BRmt_Kind::Remote);
  BRmt_Close(f);
  EXPECT_EQ(::access((Work() + "/new").c_str(), F_OK), 0);

  // The tape initialisation runs on this host or the device's host, with the device part.
  const std::string bin = std::string(std::getenv("ZOLTLIB")) + "/bin";
  ASSERT_EQ(zolt::test::RunCommand("mkdir -p " + bin).status, 0);
  WriteFile(bin + "/.tapeinit.sh",
            "#!/bin/sh\necho \"$1\" >> " + Work() + "/inited\n[ \"$1\" != bad ]\n");
  ASSERT_EQ(::chmod((bin + "/.tapeinit.sh").c_str(), 0755), 0);
  EXPECT_TRUE(BRmt_TpInitTape1("", "", "/dev/nst1"));
  EXPECT_TRUE(BRmt_TpInitTape1("", "localhost", "/dev/nst2"));
  EXPECT_FALSE(BRmt_TpInitTape("bad", true));
  EXPECT_EQ(ReadFile("inited"), "/dev/nst1\n/dev/nst2\nbad\n");
}

TEST_F(BRmtTest, TapeCallsOnARemoteVirtualTape) {
  std::string error;
  ASSERT_TRUE(TpVirt_Create("tape", 1 << 20, error)) << error;
  BRmt_File f = BRmt_Open("localhost:" + Work() + "/tape", false, 2);
  ASSERT_TRUE(BRmt_LegalFileHandle(f));
  ASSERT_EQ(BRmt_Write(f, "first", 5), 5);
  ASSERT_TRUE(BRmt_TpTapeOp(f, TpWriteFileMarks, 2));
  long residual = -1, file = -1, blockNo = -1;
  ASSERT_TRUE(BRmt_TpGetPos(f, residual, file, blockNo));
  EXPECT_EQ(file, 2);
  ASSERT_TRUE(BRmt_TpSeekTo(f, 0));
  char buffer[64];
  char* block = buffer;
  long size = sizeof buffer;
  EXPECT_EQ(BRmt_TpReadBlock(f, 0, &block, &size), 5);
  EXPECT_EQ(BRmt_Read(f, buffer, sizeof buffer), 0);  // the mark
  EXPECT_TRUE(BRmt_Close(f));
}

TEST_F(BRmtTest, TheNilHandleIsRefusedEverywhere) {
  BRmt_File f = BRmt_Nil;
  char buffer[4], *block = nullptr;
  long size = 0, a = 0, b = 0, c = 0;
  int flag = 0;
  double t = 0, s = 0;
  EXPECT_EQ(BRmt_Read(f, buffer, 4), -1);
  EXPECT_EQ(BRmt_Write(f, buffer, 4), -1);
  EXPECT_EQ(BRmt_LSeek(f, 0, 0), -1.0);
  EXPECT_FALSE(BRmt_FStat(f, flag, t, s));
  EXPECT_FALSE(BRmt_TpTapeOp(f, TpRewind, 1));
  EXPECT_FALSE(BRmt_TpGetPos(f, a, b, c));
  EXPECT_FALSE(BRmt_TpSeekTo(f, 0));
  EXPECT_EQ(BRmt_TpReadBlock(f, 0, &block, &size), -1);
  EXPECT_EQ(block, nullptr);
  EXPECT_FALSE(BRmt_Close(f));
  // A failed local open gives nil, not a handle on a bad descriptor.
  EXPECT_EQ(BRmt_Open(Work() + "/missing", true, 0), BRmt_Nil);
}

}  // namespace
