// The remote layer against real servers over real pipes: the stock GNU rmt of this
// machine, our RMT, and scripted remote shells that answer with prepared bytes.
#include "Rmt.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "Sandbox.hpp"
#include "TpTape.hpp"
#include "TpVirt.hpp"

namespace {

using zolt::test::ReadFile;
using zolt::test::RunCommand;
using zolt::test::WriteFile;

std::string Work() { return zolt::test::SandboxDir() + "/work"; }

void Executable(const std::string& path, const std::string& text) {
  WriteFile(path, text);
  ASSERT_EQ(::chmod(path.c_str(), 0755), 0);
}

class RmtTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Rmt_Init();
    RmtSetTimeouts(5000, 5000);
    ::setenv("VM_REMOTE_SHELL", zolt::test::ProgramPath("vrsh").c_str(), 1);
  }
  // A remote shell that answers every connection with these bytes, then reads its
  // input to the end; it leaves its arguments in "args".
  static void Scripted(const std::string& replies) {
    WriteFile("replies", replies);
    Executable(Work() + "/shell", "#!/bin/sh\nprintf '%s\\n' \"$@\" > " + Work() + "/args\ncat " +
                                      Work() + "/replies\nexec cat >/dev/null\n");
    ::setenv("VM_REMOTE_SHELL", (Work() + "/shell").c_str(), 1);
  }
};

TEST_F(RmtTest, PlainFileThroughTheStockRmt) {
  // "RMT" on this host is GNU rmt here.
  ASSERT_EQ(RunCommand("mkdir -p gnu && ln -s /usr/sbin/rmt gnu/RMT").status, 0);
  ::setenv("PATH", (Work() + "/gnu:" + std::getenv("PATH")).c_str(), 1);
  WriteFile("plain", "0123456789");
  const std::string name = "localhost:" + Work() + "/plain";
  const int fd = rmtopen(name.c_str(), false, 2);
  ASSERT_GE(fd, RmtRemoteBase) << std::strerror(errno);
  EXPECT_TRUE(isrmt(fd));
  EXPECT_EQ(rmtwrite(fd, "abc", 3), 3);
  // GNU rmt reads the whence before the offset, so the seeks here read alike both ways.
  EXPECT_EQ(rmtlseek(fd, 1, 1), 4);
  char buffer[16] = {};
  EXPECT_EQ(rmtread(fd, buffer, 3), 3);
  EXPECT_STREQ(buffer, "456");
  EXPECT_EQ(rmtlseek(fd, 0, 0), 0);
  EXPECT_EQ(rmtread(fd, buffer, 16), 10);
  EXPECT_EQ(std::string(buffer, 10), "abc3456789");
  EXPECT_EQ(rmtclose(fd), 0);
  // A file that is not there: the server's error, and the slot is free again.
  EXPECT_EQ(rmtopen((name + "-missing").c_str(), false, 0), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(RmtTest, EveryCommandOfOurServer) {
  std::string error;
  ASSERT_TRUE(TpVirt_Create("tape", 1 << 20, error));
  const passwd* me = ::getpwuid(::getuid());
  ASSERT_NE(me, nullptr);
  const std::string tape = std::string(me->pw_name) + "@localhost:" + Work() + "/tape";
  EXPECT_EQ(rmtaccess(tape.c_str(), false, 0), 1);
  EXPECT_EQ(rmtaccess(("localhost:" + Work() + "/none").c_str(), false, 3), 0);

  int fd = rmtopen(tape.c_str(), false, 2);
  ASSERT_GE(fd, RmtRemoteBase) << std::strerror(errno);
  for (const char* data : {"first", "second", "third"}) {
    ASSERT_EQ(rmtwrite(fd, data, std::strlen(data)), static_cast<long>(std::strlen(data)));
    ASSERT_EQ(rmtTpTapeOp(fd, TpWriteFileMarks, 1), 0);
  }
  long r, f, b;
  ASSERT_EQ(rmtTpGetPos(fd, &r, &f, &b), 0);
  EXPECT_EQ(f, 3);
  ASSERT_EQ(rmtTpSeekTo(fd, 1), 0);
  char* block = nullptr;
  long size = 0;
  EXPECT_EQ(rmtTpReadBlock(fd, &block, &size), 6);
  EXPECT_EQ(size, 32768);
  EXPECT_EQ(std::string(block, 6), "second");
  std::free(block);
  ASSERT_EQ(rmtTpTapeOp(fd, TpBackwardSpaceFiles, 1), 0);
  ASSERT_EQ(rmtTpGetPos(fd, &r, &f, &b), 0);
  EXPECT_EQ(f, 0);
  EXPECT_EQ(b, -1);
  char buffer[16];
  EXPECT_EQ(rmtread(fd, buffer, sizeof buffer), 0);  // the mark
  EXPECT_EQ(rmtread(fd, buffer, sizeof buffer), 6);
  ASSERT_EQ(rmtTpSeekTo(fd, -1), 0);
  EXPECT_EQ(rmtread(fd, buffer, sizeof buffer), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(rmtTpTapeOp(fd, TpForwardSpaceFiles, 2), -1);  // the server's error; still open
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(rmtTpTapeOp(fd, TpRewind, 1), 0);
  EXPECT_EQ(rmtclose(fd), 0);

  WriteFile("plain", "0123456789");
  fd = rmtopen(("localhost:" + Work() + "/plain").c_str(), false, 2);
  ASSERT_GE(fd, RmtRemoteBase);
  EXPECT_EQ(rmtlseek(fd, 4, 0), 4);
  EXPECT_EQ(rmtwrite(fd, "xy", 2), 2);
  int flag = -1;
  long long mtime = 0, bytes = 0;
  ASSERT_EQ(rmtfstat(fd, &flag, &mtime, &bytes), 0);
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(bytes, 10);
  EXPECT_LE(std::llabs(mtime - static_cast<long long>(::time(nullptr))), 60);
  EXPECT_EQ(rmtclose(fd), 0);
  EXPECT_EQ(ReadFile("plain"), "0123xy6789");

  // The tape initialisation on the device host gets the device part.
  const std::string bin = std::string(std::getenv("ZOLTLIB")) + "/bin";
  ASSERT_EQ(RunCommand("mkdir -p " + bin).status, 0);
  Executable(bin + "/.tapeinit.sh", "#!/bin/sh\necho \"$1\" > " + Work() + "/inited\n");
  EXPECT_EQ(rmtTpInitTape1("", "localhost", "/dev/nst3"), 0);
  EXPECT_EQ(ReadFile("inited"), "/dev/nst3\n");
}

TEST_F(RmtTest, RemoteShellArgumentsAndErrorReplies) {
  // "E5" fails with 5 and the connection carries on; "F5" closes it.
  Scripted("A0\nE5\nI/O error\nA7\nF5\nbye\n");
  const int fd = rmtopen("bob@tapehost:/dev/nst0", false, 0);
  ASSERT_GE(fd, RmtRemoteBase);
  EXPECT_EQ(ReadFile("args"), "tapehost\n-l\nbob\nRMT\n");
  EXPECT_EQ(rmtTpTapeOp(fd, TpRewind, 1), -1);
  EXPECT_EQ(errno, 5);
  EXPECT_EQ(rmtlseek(fd, 7, 0), 7);
  EXPECT_EQ(rmtTpTapeOp(fd, TpRewind, 1), -1);
  EXPECT_EQ(errno, 5);
  EXPECT_EQ(rmtTpTapeOp(fd, TpRewind, 1), -1);
  EXPECT_EQ(errno, EBADF);  // closed by "F"
  // Without user no "-l".
  ASSERT_GE(rmtopen("tapehost:/dev/nst0", false, 0), RmtRemoteBase);
  EXPECT_EQ(ReadFile("args"), "tapehost\nRMT\n");
  // A host other than this one: the remote shell stand-in refuses, the reply is missing.
  ::setenv("VM_REMOTE_SHELL", zolt::test::ProgramPath("vrsh").c_str(), 1);
  EXPECT_EQ(rmtopen("elsewhere.invalid:/dev/nst0", false, 0), -1);
  EXPECT_EQ(errno, EIO);
}

TEST_F(RmtTest, AFifthConnectionIsRefused) {
  WriteFile("plain", "x");
  const std::string name = "localhost:" + Work() + "/plain";
  int fds[RmtMaxConnections];
  for (int& fd : fds) {
    fd = rmtopen(name.c_str(), false, 0);
    ASSERT_GE(fd, RmtRemoteBase);
  }
  EXPECT_EQ(rmtopen(name.c_str(), false, 0), -1);
  EXPECT_EQ(errno, EMFILE);
  EXPECT_EQ(rmtaccess(name.c_str(), false, 0), -1);
  EXPECT_EQ(errno, EMFILE);
  // Local names need no slot.
  const int local = rmtopen((Work() + "/plain").c_str(), false, 0);
  ASSERT_GE(local, 0);
  EXPECT_FALSE(isrmt(local));
  EXPECT_EQ(rmtclose(local), 0);
  EXPECT_EQ(rmtclose(fds[2]), 0);
  fds[2] = rmtopen(name.c_str(), false, 0);
  EXPECT_GE(fds[2], RmtRemoteBase);
  for (int fd : fds) EXPECT_EQ(rmtclose(fd), 0);
}

TEST_F(RmtTest, BrokenRepliesCloseWithEioAndNeverHang) {
  RmtSetTimeouts(300, 300);
  const struct {
    const char* what;
    std::string replies;
  } cases[] = {
      {"too long", "A0\nA" + std::string(70, '1') + "\n"},
      {"not a number", "A0\nAseven\n"},
      {"unknown kind", "A0\nX1\n"},
      {"error without number", "A0\nEfive\ntext\n"},
      {"cut short", "A0\nA1"},
      {"more data than asked", "A0\nA99\n"},
      {"data cut short", "A0\nA4\nab"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Scripted(c.replies);
    const int fd = rmtopen("tapehost:/dev/nst0", false, 0);
    ASSERT_GE(fd, RmtRemoteBase);
    const auto start = std::chrono::steady_clock::now();
    char buffer[8];
    EXPECT_EQ(rmtread(fd, buffer, sizeof buffer), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(rmtclose(fd), -1);  // the connection is gone
    EXPECT_EQ(errno, EBADF);
  }
  // A server that dies: the write of the request fails quietly (no SIGPIPE).
  Executable(Work() + "/shell", "#!/bin/sh\necho A0\nexec 0<&-\nsleep 1\n");
  const int fd = rmtopen("tapehost:/dev/nst0", false, 0);
  ASSERT_GE(fd, RmtRemoteBase);
  ::usleep(200000);
  EXPECT_EQ(rmtwrite(fd, "data", 4), -1);
  EXPECT_EQ(errno, EIO);
}

TEST(RmtReplyTest, ReplyLines) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const std::string text = "  A12\nE22\nInvalid argument\nF5\nx\nA\n\n";
  ASSERT_EQ(::write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::close(fds[1]);
  char value[65];
  int err = 0;
  EXPECT_EQ(RmtReadReply(fds[0], value, sizeof value, &err), RmtReply::Value);
  EXPECT_STREQ(value, "12");
  EXPECT_EQ(RmtReadReply(fds[0], value, sizeof value, &err), RmtReply::Error);
  EXPECT_EQ(err, 22);
  EXPECT_EQ(RmtReadReply(fds[0], value, sizeof value, &err), RmtReply::Fatal);
  EXPECT_EQ(err, 5);
  EXPECT_EQ(RmtReadReply(fds[0], value, sizeof value, &err), RmtReply::Value);
  EXPECT_STREQ(value, "");
  EXPECT_EQ(RmtReadReply(fds[0], value, sizeof value, &err), RmtReply::Broken);  // empty line
  EXPECT_EQ(RmtReadReply(fds[0], value, sizeof value, &err), RmtReply::Broken);  // end
  ::close(fds[0]);
  long long n = 0;
  EXPECT_TRUE(RmtReplyNumber("-1", &n));
  EXPECT_EQ(n, -1);
  for (const char* bad : {"", "-", "1 ", "0x10", "99999999999999999999"}) {
    EXPECT_FALSE(RmtReplyNumber(bad, &n)) << bad;
  }
}

}  // namespace
