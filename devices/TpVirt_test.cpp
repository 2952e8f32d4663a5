// The virtual tape drive through the seam: what a script does with a real drive.
#include "TpVirt.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mtio.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Capture.hpp"
#include "Sandbox.hpp"
#include "TpDrive.hpp"

namespace {

class TpVirtTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TpVirt_Init();
    std::string error;
    ASSERT_TRUE(TpVirt_Create("tape", 10000, error)) << error;
  }

  static int Open(int flags) {
    const int fd = TpDrive_Open("tape", flags, 0);
    EXPECT_GE(fd, 0) << std::strerror(errno);
    return fd;
  }
  static void Op(int fd, int op, int count, int err = 0) {
    const int rc = TpDrive_OfFd(fd).tapeOp(fd, op, count);
    EXPECT_EQ(rc, err == 0 ? 0 : -1) << "op " << op;
    if (err != 0) {
      EXPECT_EQ(errno, err) << "op " << op;
    }
  }
  static std::pair<long, long> Pos(int fd) {
    long r, f, b;
    EXPECT_EQ(TpDrive_OfFd(fd).getPos(fd, &r, &f, &b), 0);
    return {f, b};
  }
  // One read; the data, or "<errno>" on failure.
  static std::string Read(int fd, std::size_t size = 1000) {
    std::string buffer(size, '\0');
    const ssize_t n = TpDrive_Read(fd, buffer.data(), size);
    if (n < 0) return "<" + std::to_string(errno) + ">";
    buffer.resize(n);
    return buffer;
  }
  static ssize_t Write(int fd, const std::string& data) {
    return TpDrive_Write(fd, data.data(), data.size());
  }
};

using Position = std::pair<long, long>;

TEST_F(TpVirtTest, FiveFilesReadBackWithSpacingBothWays) {
  // Each file is written by one session; closing after the writes makes its mark.
  for (int i = 0; i < 5; ++i) {
    const int fd = Open(O_WRONLY);
    ASSERT_EQ(Write(fd, "file" + std::to_string(i) + "a"), 6);
    ASSERT_EQ(Write(fd, "file" + std::to_string(i) + "bb"), 7);
    ASSERT_EQ(TpDrive_Close(fd), 0);
  }
  const int fd = Open(O_RDONLY);
  EXPECT_EQ(Pos(fd), Position(5, 0));  // the position survives closing
  Op(fd, MTREW, 1);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(Read(fd), "file" + std::to_string(i) + "a");
    EXPECT_EQ(Pos(fd), Position(i, 1));
    EXPECT_EQ(Read(fd), "file" + std::to_string(i) + "bb");
    EXPECT_EQ(Read(fd), "");  // the file mark
    EXPECT_EQ(Pos(fd), Position(i + 1, 0));
  }
  EXPECT_EQ(Read(fd), "<" + std::to_string(EIO) + ">");  // end of recorded data
  // Backward over two marks: before the mark of file 3, block number unknown.
  Op(fd, MTBSF, 2);
  EXPECT_EQ(Pos(fd), Position(3, -1));
  EXPECT_EQ(Read(fd), "");
  EXPECT_EQ(Read(fd), "file4a");
  Op(fd, MTREW, 1);
  Op(fd, MTFSF, 2);
  EXPECT_EQ(Pos(fd), Position(2, 0));
  EXPECT_EQ(Read(fd), "file2a");
  Op(fd, MTFSF, 4, EIO);  // past the end: stops there
  EXPECT_EQ(Pos(fd), Position(5, 0));
  Op(fd, MTBSF, 6, EIO);  // before the start: stops at the beginning
  EXPECT_EQ(Pos(fd), Position(0, 0));
  Op(fd, MTEOM, 1);
  EXPECT_EQ(Pos(fd), Position(5, 0));
  // A block larger than the buffer fails and is skipped, as on a Linux drive.
  Op(fd, MTREW, 1);
  EXPECT_EQ(Read(fd, 3), "<" + std::to_string(ENOMEM) + ">");
  EXPECT_EQ(Read(fd), "file0bb");
  EXPECT_EQ(Write(fd, "x"), -1);  // opened for reading
  ASSERT_EQ(TpDrive_Close(fd), 0);
}

TEST_F(TpVirtTest, WritingErasesAfterThePositionAndStopsAtTheCapacity) {
  int fd = Open(O_RDWR);
  ASSERT_EQ(Write(fd, std::string(3000, 'a')), 3000);
  Op(fd, MTWEOF, 1);
  ASSERT_EQ(Write(fd, std::string(3000, 'b')), 3000);
  Op(fd, MTWEOF, 2);  // an empty file after the second
  ASSERT_EQ(Write(fd, std::string(3000, 'c')), 3000);
  // Beyond the capacity: refused, nothing changes.
  EXPECT_EQ(Write(fd, std::string(1001, 'd')), -1);
  EXPECT_EQ(errno, ENOSPC);
  ASSERT_EQ(Write(fd, std::string(1000, 'd')), 1000);
  ASSERT_EQ(TpDrive_Close(fd), 0);
  TpVirt_Status s;
  std::string error;
  ASSERT_TRUE(TpVirt_GetStatus("tape", s, error)) << error;
  EXPECT_EQ(s.files, 4);
  EXPECT_EQ(s.marks, 4);
  EXPECT_EQ(s.used, 10000);

  fd = Open(O_RDWR);
  Op(fd, MTREW, 1);
  Op(fd, MTFSF, 2);
  EXPECT_EQ(Read(fd), "");  // the empty file
  EXPECT_EQ(Read(fd, 4000), std::string(3000, 'c'));
  // Rewriting the second file drops everything after it.
  Op(fd, MTREW, 1);
  Op(fd, MTFSF, 1);
  ASSERT_EQ(Write(fd, "B"), 1);
  Op(fd, MTREW, 1);
  EXPECT_EQ(Read(fd, 4000), std::string(3000, 'a'));
  EXPECT_EQ(Read(fd), "");
  EXPECT_EQ(Read(fd), "B");
  EXPECT_EQ(Read(fd), "");  // the rewind after the write closed the file with a mark
  ASSERT_EQ(TpDrive_Close(fd), 0);
  ASSERT_TRUE(TpVirt_GetStatus("tape", s, error));
  EXPECT_EQ(s.files, 2);
  EXPECT_EQ(s.used, 3001);
}

TEST_F(TpVirtTest, FixedBlocksProtectionUnloadAndOneUserAtATime) {
  int fd = Open(O_RDWR);
  ASSERT_EQ(TpDrive_OfFd(fd).setBlockSize(fd, 512), 0);
  EXPECT_EQ(Write(fd, std::string(700, 'x')), -1);  // not whole blocks
  EXPECT_EQ(errno, EINVAL);
  ASSERT_EQ(Write(fd, std::string(1536, 'x')), 1536);  // three blocks
  EXPECT_EQ(Pos(fd), Position(0, 3));
  EXPECT_EQ(TpDrive_Open("tape", O_RDONLY, 0), -1);
  EXPECT_EQ(errno, EBUSY);
  Op(fd, MTREW, 1);                         // the pending write is closed by a mark first
  EXPECT_EQ(Read(fd, 1024).size(), 1024u);  // two blocks in one read
  EXPECT_EQ(Read(fd, 1024).size(), 512u);
  Op(fd, MTOFFL, 1);
  EXPECT_EQ(Read(fd), "<" + std::to_string(ENOMEDIUM) + ">");
  Op(fd, MTFSF, 1, ENOMEDIUM);
  Op(fd, MTLOAD, 1);
  EXPECT_EQ(Pos(fd), Position(0, 0));
  ASSERT_EQ(TpDrive_Close(fd), 0);

  std::string error;
  ASSERT_TRUE(TpVirt_SetProtected("tape", true, error)) << error;
  EXPECT_EQ(TpDrive_Open("tape", O_WRONLY, 0), -1);
  EXPECT_EQ(errno, EROFS);
  fd = Open(O_RDONLY);
  EXPECT_EQ(Read(fd, 1024).size(), 1024u);  // the block size stayed with the drive
  ASSERT_EQ(TpDrive_Close(fd), 0);
}

TEST_F(TpVirtTest, DamagedStateIsRefusedNotReset) {
  const int fd = Open(O_WRONLY);
  ASSERT_EQ(Write(fd, "data"), 4);
  ASSERT_EQ(TpDrive_Close(fd), 0);
  const std::string good = zolt::test::ReadFile("tape/vtape.state");
  const std::string data = zolt::test::ReadFile("tape/file.0");
  const struct {
    const char* what;
    std::string state, file0;
    const char* reason;
  } cases[] = {
      {"garbage", "hello\n", data, "missing or out of range"},
      {"bad number", std::string(good).replace(good.find("files 1"), 7, "files x"), data,
       "\"files\""},
      {"position beyond the data",
       std::string(good).replace(good.find("position 1 0"), 12, "position 0 9"), data,
       "position beyond"},
      {"data file cut short", good, data.substr(0, 6), "cut short"},
      {"data file missing", good, "", "file.0 missing"},
      {"empty", "", data, "missing"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    zolt::test::WriteFile("tape/vtape.state", c.state);
    if (c.file0.empty()) {
      std::remove("tape/file.0");
    } else {
      zolt::test::WriteFile("tape/file.0", c.file0);
    }
    int rc = 0, err = 0;
    const std::string text = zolt::test::CaptureStderr([&] {
      rc = TpDrive_Open("tape", O_RDONLY, 0);
      err = errno;
    });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(err, EIO);
    EXPECT_NE(text.find("vtape: tape: damaged drive state: "), std::string::npos) << text;
    EXPECT_NE(text.find(c.reason), std::string::npos) << text;
    EXPECT_EQ(zolt::test::ReadFile("tape/vtape.state"), c.state);  // left as it was
  }
}

}  // namespace
