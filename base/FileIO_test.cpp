#include "FileIO.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
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

class FileIOTest : public ::testing::Test {
 protected:
  void SetUp() override { FileIO_Init(); }
  void TearDown() override {
    Messages_ForgetErrorReasons();
    Reasons();
  }
};

// Every character ReadChar delivers until the end of the file.
std::string ReadChars(FileIO_File f) {
  std::string out;
  for (;;) {
    char ch = 'x';
    FileIO_ReadChar(f, ch);
    if (FileIO_ioError != 0) {
      EXPECT_EQ(FileIO_ioError, 1);
      EXPECT_EQ(ch, '\0');
      return out;
    }
    out += ch;
  }
}

TEST_F(FileIOTest, CreateWriteReopenAndRead) {
  FileIO_File f = FileIO_Create("out.bin", FileIO_writeOnly);
  ASSERT_NE(f, FileIO_Nil);
  EXPECT_TRUE(FileIO_LegalFileHandle(f));
  FileIO_Write(f, "hello\0world", 11);
  EXPECT_EQ(FileIO_ioError, 0);
  EXPECT_EQ(FileIO_bytesTransferred, 11u);
  FileIO_WriteChar(f, '!');
  FileIO_Close(f);
  EXPECT_EQ(f, FileIO_Nil);
  EXPECT_EQ(ReadFile("out.bin"), std::string("hello\0world!", 12));

  struct stat st {};
  ASSERT_EQ(::stat("out.bin", &st), 0);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0666u & ~mask);

  f = FileIO_Open("out.bin", FileIO_readOnly);
  char buf[32];
  FileIO_Read(f, buf, sizeof buf);
  EXPECT_EQ(FileIO_ioError, 0);
  EXPECT_EQ(FileIO_bytesTransferred, 12u);
  FileIO_Read(f, buf, sizeof buf);
  EXPECT_EQ(FileIO_ioError, 1);  // end of file, not reported
  EXPECT_EQ(FileIO_bytesTransferred, 0u);
  EXPECT_EQ(Messages_ErrorCount(false), 0u);
  FileIO_Close(f);

  // Create truncates; mode 2 reads back what it wrote.
  f = FileIO_Create("out.bin", FileIO_readWrite);
  FileIO_Write(f, "abc", 3);
  FileIO_Seek(f, 1, FileIO_fromStart);
  EXPECT_EQ(FileIO_GetPos(f), 1.0);
  FileIO_Read(f, buf, 2);
  EXPECT_EQ(std::string(buf, 2), "bc");
  FileIO_Truncate(f, 1);
  FileIO_Sync(f);
  EXPECT_EQ(FileIO_ioError, 0);
  FileIO_Close(f);
  EXPECT_EQ(ReadFile("out.bin"), "a");
}

TEST_F(FileIOTest, FailuresGiveTheirValuesAndReasons) {
  WriteFile("plain", "x");
  ASSERT_EQ(::mkdir("dir", 0755), 0);
  const std::pair<std::function<FileIO_File()>, int> cases[] = {
      {[] { return FileIO_Open("missing", FileIO_readOnly); }, 3},
      {[] { return FileIO_Open("plain/below", FileIO_readOnly); }, 8},
      {[] { return FileIO_Open("dir", FileIO_writeOnly); }, 8},
      {[] { return FileIO_Create("plain", FileIO_readOnly); }, 8},
      {[] { return FileIO_Create("nodir/new", FileIO_writeOnly); }, 3},
  };
  for (const auto& [open, value] : cases) {
    Messages_IgnoreErrors(true);
    const FileIO_File f = open();
    Messages_IgnoreErrors(false);
    EXPECT_EQ(f, FileIO_Nil);
    EXPECT_EQ(FileIO_ioError, value);
    const auto reasons = Reasons();
    ASSERT_FALSE(reasons.empty());
    EXPECT_EQ(reasons[0], MessageText("FileIO", value));
  }

  // The reason names the file, the system error and the call that failed.
  Messages_IgnoreErrors(true);
  FileIO_Open("missing", FileIO_readOnly);
  Messages_IgnoreErrors(false);
  const auto reasons = Reasons();
  ASSERT_EQ(reasons.size(), 3u);
  EXPECT_EQ(reasons[1], "    causing call = open");
  EXPECT_EQ(reasons[2], "    " + MessageText("FileIO", 1) + "missing' internal error " +
                            std::to_string(ENOENT) + " : " + std::strerror(ENOENT));

  // Operations on the null handle.
  char buf[4];
  FileIO_File nil = FileIO_Nil;
  Messages_IgnoreErrors(true);
  FileIO_Read(nil, buf, 4);
  EXPECT_EQ(FileIO_ioError, 5);
  Messages_IgnoreErrors(false);

  // Outside a bracket the first failure ends the program.
  EXPECT_EXIT(FileIO_Open("missing", FileIO_readOnly), ::testing::ExitedWithCode(2),
              "causing call = open");
}

TEST_F(FileIOTest, TextCharactersAndPushBack) {
  WriteFile("lf.txt", "a\tb\nline 2\n");
  WriteFile("crlf.txt", "a\tb\r\nline 2\r\n");
  WriteFile("eof.txt",
            "before\x1a"
            "after");
  FileIO_File lf = FileIO_Open("lf.txt", FileIO_readOnly);
  FileIO_File crlf = FileIO_Open("crlf.txt", FileIO_readOnly);
  FileIO_File eof = FileIO_Open("eof.txt", FileIO_readOnly);
  EXPECT_EQ(ReadChars(lf), "a b\nline 2\n");
  EXPECT_EQ(ReadChars(crlf), "a b\nline 2\n");
  EXPECT_EQ(ReadChars(eof), "before");
  EXPECT_EQ(Messages_ErrorCount(false), 0u);

  FileIO_Seek(lf, 0, FileIO_fromStart);
  char ch;
  FileIO_ReadChar(lf, ch);
  FileIO_ReadChar(lf, ch);
  EXPECT_EQ(ch, ' ');
  FileIO_UngetChar(lf);
  EXPECT_EQ(FileIO_GetPos(lf), 1.0);  // the pushed-back character counts as unread
  Messages_IgnoreErrors(true);
  FileIO_UngetChar(lf);
  Messages_IgnoreErrors(false);
  EXPECT_EQ(FileIO_ioError, 7);  // only one character can be pushed back
  char raw[3];
  FileIO_Read(lf, raw, 3);  // a raw read delivers the pushed-back character first
  EXPECT_EQ(std::string(raw, 3), "\tb\n");
  for (FileIO_File* f : {&lf, &crlf, &eof}) FileIO_Close(*f);
}

TEST_F(FileIOTest, SparseFileBeyondFourGigabytes) {
  const double far = 5.0 * 1024 * 1024 * 1024 + 7;
  FileIO_File f = FileIO_Create("sparse", FileIO_readWrite);
  FileIO_Seek(f, far, FileIO_fromStart);
  ASSERT_EQ(FileIO_ioError, 0);
  FileIO_Write(f, "Z", 1);
  EXPECT_EQ(FileIO_GetPos(f), far + 1);
  FileIO_Close(f);

  f = FileIO_Open("sparse", FileIO_readOnly);
  FileIO_Seek(f, -1, FileIO_fromEnd);
  EXPECT_EQ(FileIO_GetPos(f), far);
  FileIO_Seek(f, far - 2, FileIO_fromStart);
  FileIO_Seek(f, 1, FileIO_fromCurrent);
  char buf[2];
  FileIO_Read(f, buf, 2);
  EXPECT_EQ(std::string(buf, FileIO_bytesTransferred), std::string("\0Z", 2));
  FileIO_Close(f);
}

TEST_F(FileIOTest, DescriptorsPipesAndLocks) {
  EXPECT_FALSE(FileIO_LegalFileHandle(FileIO_MaxFiles));
  EXPECT_TRUE(FileIO_LegalFileHandle(FileIO_MaxFiles - 1));

  FileIO_File r, w;
  FileIO_Pipe(r, w);
  ASSERT_NE(r, FileIO_Nil);
  FileIO_File w2 = FileIO_Dup(w);
  FileIO_Write(w2, "via dup", 7);
  FileIO_Close(w2);
  FileIO_Close(w);
  char buf[16];
  FileIO_Read(r, buf, sizeof buf);
  EXPECT_EQ(std::string(buf, FileIO_bytesTransferred), "via dup");
  EXPECT_FALSE(FileIO_IsaTTY(r));
  FileIO_Close(r);

  // A lock taken here is seen by another process, which cannot take it too.
  FileIO_File f = FileIO_Create("lockfile", FileIO_readWrite);
  EXPECT_TRUE(FileIO_TestAndLock(f));
  const pid_t child = ::fork();
  if (child == 0) {
    FileIO_File g = FileIO_Open("lockfile", FileIO_readWrite);
    const bool seen = FileIO_IsLocked(g);
    const bool taken = FileIO_TestAndLock(g);
    ::_exit(seen && !taken ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  FileIO_UnLock(f);
  FileIO_Lock(f);
  EXPECT_EQ(FileIO_ioError, 0);
  FileIO_Close(f);
}

TEST_F(FileIOTest, CloseAllClosesOnlyOwnDescriptors) {
  FileIO_File a = FileIO_Create("a", FileIO_writeOnly);
  FileIO_File b = FileIO_Create("b", FileIO_writeOnly);
  const int foreign = ::dup(0);
  FileIO_CloseAll();
  EXPECT_EQ(::fcntl(a, F_GETFD), -1);
  EXPECT_EQ(::fcntl(b, F_GETFD), -1);
  EXPECT_NE(::fcntl(foreign, F_GETFD), -1);
  ::close(foreign);
}

TEST_F(FileIOTest, DescriptorsBeyondTheTableAreRefused) {
  rlimit lim{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &lim), 0);
  if (lim.rlim_cur <= 1100) {
    lim.rlim_cur = std::min<rlim_t>(lim.rlim_max, 2048);
    if (lim.rlim_cur <= 1100 || ::setrlimit(RLIMIT_NOFILE, &lim) != 0) {
      GTEST_SKIP() << "cannot raise the descriptor limit";
    }
  }
  // Fill the low descriptors so that the next one lies beyond the table.
  std::vector<int> held;
  for (int fd; (fd = ::open("/dev/null", O_RDONLY)) < FileIO_MaxFiles - 1;) {
    ASSERT_GE(fd, 0);
    held.push_back(fd);
  }
  ::close(FileIO_MaxFiles - 1);
  // One slot below the limit remains; the next open lands exactly on 1023 ...
  FileIO_File last = FileIO_Open("/dev/null", FileIO_readOnly);
  EXPECT_EQ(last, FileIO_MaxFiles - 1);
  // ... and the one after it on 1024, which is refused and closed again.
  Messages_IgnoreErrors(true);
  FileIO_File beyond = FileIO_Open("/dev/null", FileIO_readOnly);
  Messages_IgnoreErrors(false);
  EXPECT_EQ(beyond, FileIO_Nil);
  EXPECT_EQ(FileIO_ioError, 4);
  EXPECT_EQ(::fcntl(FileIO_MaxFiles, F_GETFD), -1);
  FileIO_Close(last);
  for (int fd : held) ::close(fd);
}

}  // namespace
