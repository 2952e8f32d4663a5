#include "BFileIO.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "Messages.hpp"
#include "Sandbox.hpp"

namespace {

using zolt::test::ReadFile;
using zolt::test::WriteFile;

std::vector<std::string> Reasons() {
  std::vector<std::string> out;
  char text[5120];
  while (Messages_ErrorReason(text)) out.push_back(std::string(text, strnlen(text, sizeof text)));
  return out;
}

std::string MessageText(const std::string& section, unsigned number) {
  char text[5120];
  Messages_GetMsg(section, number, text);
  return text;
}

class BFileIOTest : public ::testing::Test {
 protected:
  void SetUp() override { BFileIO_Init(); }
  void TearDown() override {
    Messages_ForgetErrorReasons();
    Reasons();
  }
  // Runs an operation expected to fail inside an ignore bracket; the error value. The
  // reasons stay for the case to read.
  template <class F>
  static int Failing(F op) {
    Messages_IgnoreErrors(true);
    op();
    Messages_IgnoreErrors(false);
    return BFileIO_ioError;
  }
};

std::string ReadChars(BFileIO_File f) {
  std::string out;
  for (;;) {
    char ch = 'x';
    BFileIO_ReadChar(f, ch);
    if (BFileIO_ioError != 0) {
      EXPECT_EQ(BFileIO_ioError, 1);
      return out;
    }
    out += ch;
  }
}

std::string CharsOf(const std::string& path) {
  BFileIO_File f = BFileIO_Open(path, FileIO_readOnly);
  const std::string chars = ReadChars(f);
  BFileIO_Close(f);
  return chars;
}

TEST_F(BFileIOTest, CarriageReturnLineEndsReadLikePlainOnesAndTabsAreBlanks) {
  WriteFile("lf.txt", "JOB\t4711\nsecond line\n\nend");
  WriteFile("crlf.txt", "JOB\t4711\r\nsecond line\r\n\r\nend");
  WriteFile("cr-only.txt", "a\rb\r\r");
  WriteFile("sub.txt",
            "text\x1a"
            "garbage after the end mark");
  EXPECT_EQ(CharsOf("lf.txt"), "JOB 4711\nsecond line\n\nend");
  EXPECT_EQ(CharsOf("crlf.txt"), CharsOf("lf.txt"));
  EXPECT_EQ(CharsOf("cr-only.txt"), "ab");
  EXPECT_EQ(CharsOf("sub.txt"), "text");
  EXPECT_EQ(Messages_ErrorCount(false), 0u);  // the end of a file is never reported
}

TEST_F(BFileIOTest, PushBackAndRawTransfer) {
  WriteFile("in.txt", "12\tx");
  BFileIO_File f = BFileIO_Open("in.txt", FileIO_readOnly);
  char ch;
  BFileIO_ReadChar(f, ch);
  BFileIO_ReadChar(f, ch);
  BFileIO_UngetChar(f);
  EXPECT_EQ(BFileIO_GetPos(f), 1.0);
  EXPECT_FALSE(BFileIO_FEof(f));
  EXPECT_EQ(Failing([&] { BFileIO_UngetChar(f); }), 7);
  EXPECT_EQ(Reasons(), std::vector{MessageText("BFileIO", 7)});

  char buf[8];
  BFileIO_Read(f, buf, sizeof buf);
  EXPECT_EQ(std::string(buf, BFileIO_bytesTransferred), "2\tx");
  EXPECT_EQ(BFileIO_ioError, 0);
  BFileIO_Read(f, buf, sizeof buf);
  EXPECT_EQ(std::string(buf, BFileIO_bytesTransferred) + std::to_string(BFileIO_ioError), "1");
  EXPECT_TRUE(BFileIO_FEof(f));

  // The end of the file can be pushed back too: the next read ends again.
  BFileIO_ReadChar(f, ch);
  BFileIO_UngetChar(f);
  BFileIO_ReadChar(f, ch);
  EXPECT_EQ(BFileIO_ioError, 1);

  // A seek forgets a pushed-back character.
  BFileIO_Seek(f, 0, FileIO_fromStart);
  BFileIO_ReadChar(f, ch);
  BFileIO_UngetChar(f);
  BFileIO_Seek(f, 3, FileIO_fromStart);
  BFileIO_ReadChar(f, ch);
  EXPECT_EQ(ch, 'x');
  BFileIO_Close(f);
  EXPECT_EQ(f, BFileIO_Nil);
  BFileIO_Close(f);  // closing the null handle does nothing
  EXPECT_EQ(BFileIO_ioError, 0);
}

TEST_F(BFileIOTest, WritingModesAndTruncation) {
  BFileIO_File f = BFileIO_Create("w.txt", FileIO_writeOnly);
  BFileIO_Write(f, "abcdef", 6);
  EXPECT_EQ(BFileIO_bytesTransferred, 6u);
  BFileIO_WriteChar(f, '\n');
  BFileIO_Flush(f);
  EXPECT_EQ(ReadFile("w.txt"), "abcdef\n");
  BFileIO_Truncate(f, 3);
  BFileIO_Sync(f);
  EXPECT_EQ(BFileIO_ioError, 0);
  BFileIO_Close(f);
  EXPECT_EQ(ReadFile("w.txt"), "abc");

  f = BFileIO_Open("w.txt", FileIO_readWrite);
  BFileIO_Seek(f, 0, FileIO_fromEnd);
  BFileIO_Write(f, "de", 2);
  BFileIO_Seek(f, -2, FileIO_fromCurrent);
  char buf[2];
  BFileIO_Read(f, buf, 2);
  EXPECT_EQ(std::string(buf, 2), "de");
  BFileIO_Close(f);

  f = BFileIO_Create("w.txt", FileIO_readWrite);  // w+ truncates
  EXPECT_EQ(ReadFile("w.txt"), "");
  BFileIO_Close(f);

  f = BFileIO_CreateLargeFile("big.txt", FileIO_writeOnly);
  ASSERT_NE(f, BFileIO_Nil);
  BFileIO_Close(f);
  f = BFileIO_OpenLargeFile("big.txt", FileIO_readOnly);
  ASSERT_NE(f, BFileIO_Nil);
  BFileIO_Close(f);
}

TEST_F(BFileIOTest, FailuresCarryTheFileNameForTheTabledValues) {
  WriteFile("plain", "x");
  BFileIO_File f{};
  EXPECT_EQ(Failing([&] { f = BFileIO_Open("missing.txt", FileIO_readOnly); }), 3);
  EXPECT_EQ(f, BFileIO_Nil);
  auto reasons = Reasons();
  ASSERT_EQ(reasons.size(), 2u);
  EXPECT_EQ(reasons[0], MessageText("BFileIO", 3));
  std::string info = MessageText("BFileIO", 1);
  info.replace(info.find("%s"), 2, "missing.txt");
  EXPECT_EQ(reasons[1], "    " + info);

  EXPECT_EQ(Failing([&] { f = BFileIO_Create("plain", FileIO_readOnly); }), 8);
  EXPECT_EQ(f, BFileIO_Nil);
  reasons = Reasons();
  ASSERT_EQ(reasons.size(), 2u);
  EXPECT_NE(reasons[1].find("plain"), std::string::npos);

  // Values without a file name: only the error itself.
  EXPECT_EQ(Failing([] { EXPECT_EQ(BFileIO_FileDesc(BFileIO_Nil), FileIO_Nil); }), 5);
  EXPECT_EQ(Reasons(), std::vector{MessageText("BFileIO", 5)});
  EXPECT_EQ(Failing([] { BFileIO_Open("plain/below", FileIO_readOnly); }), 8);
  EXPECT_EQ(Failing([] { BFileIO_Open("/", FileIO_writeOnly); }), 8);

  // A writer whose reader went away gets a broken pipe (14) once the buffer is flushed.
  ::signal(SIGPIPE, SIG_IGN);
  BFileIO_File r, w;
  BFileIO_Pipe(r, w);
  BFileIO_Close(r);
  EXPECT_EQ(Failing([&] {
              BFileIO_Write(w, "data", 4);
              BFileIO_Flush(w);
            }),
            14);
  BFileIO_ClearErr(w);
  EXPECT_FALSE(BFileIO_FError(w));
  Failing([&] { BFileIO_Close(w); });
}

TEST_F(BFileIOTest, SparseFileBeyondFourGigabytes) {
  const double far = 4.0 * 1024 * 1024 * 1024 + 1000;
  BFileIO_File f = BFileIO_Create("sparse", FileIO_writeOnly);
  BFileIO_Seek(f, far, FileIO_fromStart);
  BFileIO_Write(f, "end\n", 4);
  EXPECT_EQ(BFileIO_GetPos(f), far + 4);
  BFileIO_Close(f);

  f = BFileIO_Open("sparse", FileIO_readOnly);
  ASSERT_NE(f, BFileIO_Nil);
  BFileIO_Seek(f, far, FileIO_fromStart);
  EXPECT_EQ(BFileIO_GetPos(f), far);
  EXPECT_EQ(ReadChars(f), "end\n");
  BFileIO_Seek(f, -4, FileIO_fromEnd);
  EXPECT_EQ(BFileIO_GetPos(f), far);
  BFileIO_Close(f);
}

TEST_F(BFileIOTest, StandardStreamsDescriptorsCommandsAndLocks) {
  EXPECT_EQ(BFileIO_stdout, stdout);
  EXPECT_EQ(BFileIO_stderr, stderr);
  EXPECT_FALSE(BFileIO_LegalFileHandle(BFileIO_Nil));
  EXPECT_TRUE(BFileIO_LegalFileHandle(BFileIO_stdout));
  EXPECT_EQ(BFileIO_FileDesc(BFileIO_stderr), 2);

  BFileIO_File p = BFileIO_POpen("printf 'one\\ntwo'", FileIO_readOnly);
  ASSERT_NE(p, BFileIO_Nil);
  EXPECT_EQ(ReadChars(p), "one\ntwo");
  EXPECT_EQ(BFileIO_PClose(p), 0);
  EXPECT_EQ(p, BFileIO_Nil);
  p = BFileIO_POpen("cat > piped.txt; exit 3", FileIO_writeOnly);
  BFileIO_Write(p, "in", 2);
  const int status = BFileIO_PClose(p);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3);
  EXPECT_EQ(ReadFile("piped.txt"), "in");

  const int fd = ::open("fd.txt", O_CREAT | O_WRONLY | O_TRUNC, 0644);
  BFileIO_File f = BFileIO_FileDescOpen(fd, FileIO_writeOnly);
  ASSERT_NE(f, BFileIO_Nil);
  EXPECT_EQ(BFileIO_FileDesc(f), fd);
  BFileIO_File d = BFileIO_Dup(f);
  BFileIO_Write(f, "A", 1);
  BFileIO_Flush(f);
  BFileIO_Write(d, "B", 1);
  BFileIO_Close(d);
  BFileIO_Close(f);
  EXPECT_EQ(ReadFile("fd.txt"), "AB");
  EXPECT_FALSE(BFileIO_IsaTTY(BFileIO_Nil));

  // Locks go to the descriptor below; its own tests prove the locking itself.
  f = BFileIO_Create("lock.txt", FileIO_readWrite);
  EXPECT_TRUE(BFileIO_TestAndLock(f));
  BFileIO_UnLock(f);
  BFileIO_Lock(f);
  EXPECT_EQ(BFileIO_ioError, 0);
  BFileIO_Close(f);
}

TEST_F(BFileIOTest, StreamsOnDescriptorsBeyondTheTableAreRefused) {
  rlimit lim{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &lim), 0);
  if (lim.rlim_cur <= 1100) {
    lim.rlim_cur = std::min<rlim_t>(lim.rlim_max, 2048);
    if (lim.rlim_cur <= 1100 || ::setrlimit(RLIMIT_NOFILE, &lim) != 0) {
      GTEST_SKIP() << "cannot raise the descriptor limit";
    }
  }
  const int high = ::fcntl(0, F_DUPFD, 1500);
  ASSERT_GE(high, FileIO_MaxFiles);
  EXPECT_EQ(Failing([&] { EXPECT_EQ(BFileIO_FileDescOpen(high, FileIO_readOnly), BFileIO_Nil); }),
            4);
  ::close(high);
}

}  // namespace
