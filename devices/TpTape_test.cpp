// The tape layer: header recognition on first blocks that real tar and cpio runs write,
// and the tape calls on a virtual tape behind the seam.
#include "TpTape.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "Sandbox.hpp"
#include "TpDrive.hpp"
#include "TpVirt.hpp"

namespace {

using zolt::test::ReadFile;
using zolt::test::RunCommand;

constexpr long long kTime = 1700000000;  // the members' modification time

struct Found {
  char name[32] = {};
  TpEntry entry{name, sizeof name, {}, 0, 0, nullptr};
};

// The first block of an archive of one member "member.txt" (11 bytes) made by command.
std::string FirstBlock(const std::string& command) {
  zolt::test::WriteFile("member.txt", "hello tape\n");
  EXPECT_EQ(RunCommand("touch -d @" + std::to_string(kTime) + " member.txt").status, 0);
  const auto r = RunCommand(command + " 2>&1");
  EXPECT_EQ(r.status, 0) << r.out;
  std::string block = ReadFile("archive");
  block.resize(std::max<std::size_t>(block.size(), 512), '\0');
  return block.substr(0, 512);
}

void ExpectMember(const Found& f, long header, const char* options) {
  EXPECT_STREQ(f.name, "member.txt");
  EXPECT_EQ(f.entry.dataLength, 11);
  EXPECT_EQ(f.entry.headerLength, header);
  EXPECT_STREQ(f.entry.cpioOptions, options);
  const std::time_t t = kTime;
  std::tm tm{};
  localtime_r(&t, &tm);
  const TpTime& got = f.entry.time;
  EXPECT_EQ(got.year, tm.tm_year + 1900);
  EXPECT_EQ(got.month, tm.tm_mon + 1);
  EXPECT_EQ(got.day, tm.tm_mday);
  EXPECT_EQ(got.hour * 3600 + got.minute * 60 + got.second,
            tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec);
}

const unsigned char* Bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

TEST(TpTapeTest, TarFormatsAreToldApart) {
  Found ustar, gnu, none;
  const std::string u = FirstBlock("tar --format=ustar -cf archive member.txt");
  ASSERT_TRUE(TpIsTar(Bytes(u), u.size(), ustar.entry));
  ExpectMember(ustar, 512, "");
  EXPECT_FALSE(TpIsGTar(Bytes(u), u.size(), none.entry));
  EXPECT_FALSE(TpIsCpio(Bytes(u), u.size(), none.entry));

  const std::string g = FirstBlock("tar --format=gnu -cf archive member.txt");
  ASSERT_TRUE(TpIsGTar(Bytes(g), g.size(), gnu.entry));
  ExpectMember(gnu, 512, "");
  EXPECT_FALSE(TpIsTar(Bytes(g), g.size(), none.entry));
  // Too short to hold a header.
  EXPECT_FALSE(TpIsTar(Bytes(u), 511, none.entry));
  // A name cut to the caller's buffer.
  char small[5];
  TpEntry cut{small, sizeof small, {}, 0, 0, nullptr};
  ASSERT_TRUE(TpIsTar(Bytes(u), u.size(), cut));
  EXPECT_STREQ(small, "memb");
}

TEST(TpTapeTest, CpioFormatsOfRealRuns) {
  const struct {
    const char* format;
    long header;
    const char* options;
  } cases[] = {{"odc", 76 + 11, "-H odc"}, {"newc", 124, "-c"}, {"bin", 38, ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.format);
    Found f;
    const std::string b =
        FirstBlock(std::string("echo member.txt | cpio -o -H ") + c.format + " > archive");
    ASSERT_TRUE(TpIsCpio(Bytes(b), b.size(), f.entry));
    ExpectMember(f, c.header, c.options);
    EXPECT_FALSE(TpIsTar(Bytes(b), b.size(), f.entry));
  }
}

TEST(TpTapeTest, BigEndianBinaryCpio) {
  std::string b(512, '\0');
  auto word = [&b](std::size_t at, unsigned v) {
    b[at] = static_cast<char>(v >> 8);
    b[at + 1] = static_cast<char>(v & 0xff);
  };
  word(0, 0x71C7);
  word(16, static_cast<unsigned>(kTime >> 16));
  word(18, static_cast<unsigned>(kTime & 0xffff));
  word(20, 11);  // "member.txt" and its NUL
  word(22, 0x0001);
  word(24, 0x0002);  // 65538 bytes
  b.replace(26, 10, "member.txt");
  Found f;
  ASSERT_TRUE(TpIsCpio(Bytes(b), b.size(), f.entry));
  EXPECT_STREQ(f.name, "member.txt");
  EXPECT_EQ(f.entry.headerLength, 38);  // 11 + 26, rounded up to even
  EXPECT_EQ(f.entry.dataLength, 65538);
  b[0] = 0x70;
  EXPECT_FALSE(TpIsCpio(Bytes(b), b.size(), f.entry));
}

TEST(TpTapeTest, TapeCallsOnAVirtualTape) {
  TpTape_Init();
  std::string error;
  ASSERT_TRUE(TpVirt_Create("tape", 1 << 20, error)) << error;
  int fd = TpDrive_Open("tape", O_RDWR, 0);
  ASSERT_GE(fd, 0);
  for (int i = 0; i < 5; ++i) {
    const std::string data(100 + i, static_cast<char>('a' + i));
    ASSERT_EQ(TpDrive_Write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    ASSERT_EQ(TpTapeOp(fd, TpWriteFileMarks, 1), 0);
  }
  long r, f, b;
  // Seeking to 3 rewinds, then spaces forward three files.
  ASSERT_EQ(TpSeekTo(fd, 3), 0);
  ASSERT_EQ(TpGetPos(fd, &r, &f, &b), 0);
  EXPECT_EQ(f, 3);
  EXPECT_EQ(b, 0);
  // Without a buffer the layer offers one of the largest block limit and hands it back.
  char* buffer = nullptr;
  long size = 0;
  EXPECT_EQ(TpReadBlock(fd, 0, &buffer, &size), 103);
  EXPECT_EQ(size, 32768);
  EXPECT_EQ(buffer[0], 'd');
  // With the caller's buffer its size is offered: a larger block does not fit.
  ASSERT_EQ(TpSeekTo(fd, 4), 0);
  size = 50;
  EXPECT_EQ(TpReadBlock(fd, 0, &buffer, &size), -1);
  EXPECT_EQ(TpError, TpErrRead);
  EXPECT_EQ(TpErrno, ENOMEM);
  std::free(buffer);
  // -1 goes to the end of the data without rewinding; no buffer holder: freed again.
  ASSERT_EQ(TpSeekTo(fd, -1), 0);
  ASSERT_EQ(TpGetPos(fd, &r, &f, &b), 0);
  EXPECT_EQ(f, 5);
  EXPECT_EQ(TpReadBlock(fd, 0, nullptr, nullptr), -1);
  EXPECT_EQ(TpErrno, EIO);
  EXPECT_EQ(TpTapeOp(fd, 9, 1), -1);
  EXPECT_EQ(TpError, TpErrTapeOp);
  ASSERT_EQ(TpDrive_Close(fd), 0);
  // A descriptor that is no tape: the Linux drive refuses the operation.
  fd = ::open("tape/vtape.state", O_RDONLY);
  EXPECT_EQ(TpGetPos(fd, &r, &f, &b), -1);
  char text[64];
  TpStrError(TpError, text, sizeof text);
  EXPECT_STREQ(text, "unknown errcode");
  ::close(fd);
}

TEST(TpTapeTest, ErrorTextsNamesAndInitialisation) {
  const char* texts[] = {"no Error",
                         "read failed",
                         "TpTapeOp failed",
                         "unknown errcode",
                         "TpGetBlockLimits failed",
                         "TpSetBlockSize failed",
                         "TpGetBlockSize failed",
                         "TpReadBlockFailed failed",
                         "unknown errcode"};
  for (int code = 0; code < 9; ++code) {
    char text[64];
    TpStrError(code, text, sizeof text);
    EXPECT_STREQ(text, texts[code]);
  }
  char cut[4];
  TpStrError(1, cut, sizeof cut);
  EXPECT_STREQ(cut, "rea");

  char name[64];
  ::unsetenv("TAPE");
  ::unsetenv("STDTAPE");
  TpGetDefaultTapeName(name, sizeof name);
  EXPECT_STREQ(name, "/dev/nst0");
  ::setenv("STDTAPE", "TAPE", 1);
  TpGetDefaultTapeName(name, sizeof name);
  EXPECT_STREQ(name, "/dev/rmt0");
  ::setenv("STDTAPE", "other", 1);
  TpGetDefaultTapeName(name, sizeof name);
  EXPECT_STREQ(name, "/dev/exa");
  ::setenv("TAPE", "/dev/st7", 1);
  TpGetDefaultTapeName(name, sizeof name);
  EXPECT_STREQ(name, "/dev/st7");
  ::setenv("OS", "XENIX", 1);
  EXPECT_TRUE(TpTapeAutoWFM());
  ::setenv("OS", "Linux", 1);
  EXPECT_FALSE(TpTapeAutoWFM());

  // No script: nothing to do. A script gets the device; its failure is the call's.
  TpTape_Init();
  EXPECT_EQ(TpInitTape("/dev/nst0"), 0);
  const std::string bin = std::string(std::getenv("ZOLTLIB")) + "/bin";
  ASSERT_EQ(RunCommand("mkdir -p " + bin).status, 0);
  zolt::test::WriteFile(bin + "/.tapeinit.sh", "#!/bin/sh\necho \"$1\" > inited\nexit $CODE\n");
  ASSERT_EQ(RunCommand("chmod +x " + bin + "/.tapeinit.sh").status, 0);
  ::setenv("CODE", "0", 1);
  EXPECT_EQ(TpInitTape("/dev/nst1"), 0);
  EXPECT_EQ(ReadFile("inited"), "/dev/nst1\n");
  ::setenv("CODE", "3", 1);
  EXPECT_EQ(TpInitTape("/dev/nst1"), -1);
}

}  // namespace
