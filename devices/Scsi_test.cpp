#include "Scsi.hpp"

#include <gtest/gtest.h>
#include <scsi/sg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "Sandbox.hpp"

namespace {

using zolt::test::WriteFile;

// A disk of 4 blocks of 512 bytes behind the seam: READ CAPACITY, READ(10), WRITE(10);
// every command is recorded with its header.
struct FakeDisk {
  std::vector<unsigned char> blocks = std::vector<unsigned char>(4 * 512);
  std::vector<unsigned char> reply;
  std::vector<sg_header> headers;
  std::vector<std::vector<unsigned char>> commands;
} disk;

bool DiskClaims(const char* path) { return std::strcmp(path, "fake-disk") == 0; }
int DiskOpen(const char*, int) { return ::dup(0); }
int DiskClose(int fd) { return ::close(fd); }
ssize_t DiskWrite(int, const void* buffer, std::size_t size) {
  sg_header h{};
  std::memcpy(&h, buffer, sizeof h);
  disk.headers.push_back(h);
  const auto* cmd = static_cast<const unsigned char*>(buffer) + ScsiHeaderLen;
  const int len = h.twelve_byte ? 12 : (cmd[0] >> 5) == 0 ? 6 : 10;
  disk.commands.emplace_back(cmd, cmd + len);
  std::vector<unsigned char> data;
  const unsigned long lba = (cmd[2] << 24) | (cmd[3] << 16) | (cmd[4] << 8) | cmd[5];
  const unsigned count = (cmd[7] << 8) | cmd[8];
  if (cmd[0] == 0x25) {
    data = {0, 0, 0, 3, 0, 0, 2, 0};
  } else if (cmd[0] == 0x28) {
    data.assign(disk.blocks.begin() + lba * 512, disk.blocks.begin() + (lba + count) * 512);
  } else if (cmd[0] == 0x2A) {
    std::memcpy(disk.blocks.data() + lba * 512, cmd + len, count * 512);
  } else if (cmd[0] == 0x03) {
    data.assign(cmd[4], 0);
  }
  disk.reply.assign(reinterpret_cast<unsigned char*>(&h),
                    reinterpret_cast<unsigned char*>(&h) + sizeof h);
  disk.reply.insert(disk.reply.end(), data.begin(), data.end());
  return static_cast<ssize_t>(size);
}
ssize_t DiskRead(int, void* buffer, std::size_t size) {
  if (disk.reply.empty()) return -1;
  const std::size_t n = std::min(size, disk.reply.size());
  std::memcpy(buffer, disk.reply.data(), n);
  disk.reply.clear();
  return static_cast<ssize_t>(n);
}
int DiskIoctl(int, unsigned long, void*) { return -1; }
const ScsiSgOps diskOps{"fake", DiskClaims, DiskOpen, DiskClose, DiskWrite, DiskRead, DiskIoctl};

class ScsiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Scsi_Init();
    static bool registered = false;
    if (!registered) Scsi_SPI_Register(diskOps);
    registered = true;
  }
};

TEST_F(ScsiTest, PlainFileIsBlocksOf512) {
  WriteFile("image", std::string(1024, 'x'));
  const int fd = dev_open("image", 2);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(dev_nblocks(fd), 2);
  EXPECT_EQ(dev_blocksize(fd), 512);
  EXPECT_EQ(dev_lseek(fd, 0, 2), 1024);
  EXPECT_EQ(dev_lseek(fd, 10, 0), 10);
  EXPECT_EQ(dev_lseek(fd, 5, 1), 15);
  EXPECT_EQ(dev_lseek(fd, 0, 7), -1);
  EXPECT_EQ(ScsiError, SCSI_EWHENCE);
  char got[4] = {};
  EXPECT_EQ(dev_write(fd, "abc", 3), 3);
  EXPECT_EQ(dev_lseek(fd, 15, 0), 15);
  EXPECT_EQ(dev_read(fd, got, 3), 3);
  EXPECT_STREQ(got, "abc");
  EXPECT_EQ(dev_close(fd), 0);
  EXPECT_EQ(dev_nblocks(fd), -1);
  EXPECT_EQ(ScsiError, SCSI_EBADCHAN);

  WriteFile("empty", "");
  const int e = dev_open("empty", 0);
  EXPECT_EQ(dev_nblocks(e), 1);  // last block 0
  dev_close(e);
}

TEST_F(ScsiTest, UnusablePathsAndTexts) {
  EXPECT_EQ(ScsiOpen("no/such/file"), nullptr);
  EXPECT_EQ(ScsiError, SCSI_EPATH);
  ::mkdir("adir", 0777);
  EXPECT_EQ(ScsiOpen("adir"), nullptr);
  EXPECT_EQ(ScsiError, SCSI_EPATH);
  EXPECT_EQ(ScsiOpen(nullptr), nullptr);
  EXPECT_EQ(ScsiError, SCSI_ENULL);
  EXPECT_STREQ(ScsiStrError(0), "no error");
  EXPECT_STREQ(ScsiStrError(4), "ScsiOpen() failed");
  EXPECT_STREQ(ScsiStrError(13), "unknown errcode");
  EXPECT_STREQ(ScsiDeviceTypeToStr(8), "Medium Changer Device");
  EXPECT_STREQ(ScsiDeviceTypeToStr(11), "ASC IT8 (Graphic Arts Pre-Press Device)");
  EXPECT_STREQ(ScsiDeviceTypeToStr(12), "<Reserved Device Type>");
  EXPECT_STREQ(ScsiDeviceTypeToStr(30), "<Reserved Device Type>");
  EXPECT_STREQ(ScsiDeviceTypeToStr(31), "<Unknown Device Type>");
  ::testing::internal::CaptureStdout();
  ScsiReset(nullptr);
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "'reset' not implemented !\n");
}

TEST_F(ScsiTest, RequestHeaderAndLimit) {
  ScsiChannel* c = ScsiOpen("fake-disk");
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(c->isScsi);
  EXPECT_EQ(c->address.bus, -1);
  disk.headers.clear();
  std::vector<unsigned char> data(ScsiMaxBuff + 1);
  const unsigned char cmd12[12] = {0xB8};
  ScsiRequest* r = ScsiNewReq();
  ASSERT_EQ(Scsi12(r, cmd12, data.data(), ScsiMaxBuff + 1, false), 0);
  EXPECT_EQ(ScsiSubmit(c, r), -1);  // 36 + 12 + 32721 bytes
  EXPECT_TRUE(disk.headers.empty());
  ASSERT_EQ(Scsi12(r, cmd12, data.data(), ScsiMaxBuff, false), 0);
  EXPECT_EQ(ScsiSubmit(c, r), 0);
  ASSERT_EQ(disk.headers.size(), 1u);
  EXPECT_EQ(disk.headers[0].pack_len, 36 + 12);
  EXPECT_EQ(disk.headers[0].reply_len, 36 + ScsiMaxBuff);
  EXPECT_EQ(disk.headers[0].twelve_byte, 1u);
  const unsigned char cmd10[10] = {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0};
  ASSERT_EQ(Scsi10(r, cmd10, data.data(), 512, true), 0);
  EXPECT_EQ(ScsiSubmit(c, r), 0);
  EXPECT_EQ(disk.headers[1].pack_len, 36 + 10 + 512);
  EXPECT_EQ(disk.headers[1].reply_len, 36);
  EXPECT_EQ(disk.headers[1].twelve_byte, 0u);
  EXPECT_EQ(disk.headers[1].pack_id, disk.headers[0].pack_id + 1);
  ScsiFreeReq(r);
  ScsiClose(c);
}

TEST_F(ScsiTest, CommandLayouts) {
  ScsiChannel* c = ScsiOpen("fake-disk");
  ASSERT_NE(c, nullptr);
  disk.commands.clear();
  unsigned char buffer[64] = {};
  READ_ELEMENT_STATUS(c, 0x102, 100, buffer, 0x012345 & 63);
  MOVE_MEDIUM(c, 1, 0x203, 0x304);
  INITIALIZE_ELEMENT_STATUS(c);
  ScsiModeSense6(c, 1, 0x1D, buffer, 40, nullptr);
  ScsiModeSelect6(c, 1, 1, buffer, 12);
  ScsiRead(c, buffer, 0x123456, 1, 16);
  ScsiEject(c);
  ASSERT_EQ(disk.commands.size(), 7u);
  EXPECT_EQ(disk.commands[0],
            (std::vector<unsigned char>{0xB8, 0, 1, 2, 0, 100, 0, 0, 0, 0x05, 0, 0}));
  EXPECT_EQ(disk.commands[1], (std::vector<unsigned char>{0xA5, 0, 0, 1, 2, 3, 3, 4, 0, 0, 0, 0}));
  EXPECT_EQ(disk.commands[2], (std::vector<unsigned char>{0x07, 0, 0, 0, 0, 0x80}));
  EXPECT_EQ(disk.commands[3], (std::vector<unsigned char>{0x1A, 0, 0x5D, 0, 40, 0}));
  EXPECT_EQ(disk.commands[4], (std::vector<unsigned char>{0x15, 0x11, 0, 0, 12, 0}));
  EXPECT_EQ(disk.commands[5], (std::vector<unsigned char>{0x08, 0x12, 0x34, 0x56, 1, 0}));
  EXPECT_EQ(disk.commands[6], (std::vector<unsigned char>{0x1B, 0, 0, 0, 2, 0}));
  ScsiClose(c);
}

TEST_F(ScsiTest, DevLayerPatchesPartialBlocks) {
  for (std::size_t i = 0; i < disk.blocks.size(); ++i) disk.blocks[i] = 'a' + i / 512;
  const int fd = dev_open("fake-disk", 2);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(dev_nblocks(fd), 4);
  EXPECT_EQ(dev_lseek(fd, 0, 2), 2048);
  // Across a block boundary, then whole blocks, then a partial one.
  const std::string text(1100, 'Z');
  EXPECT_EQ(dev_lseek(fd, 500, 0), 500);
  EXPECT_EQ(dev_write(fd, text.data(), text.size()), 1100);
  EXPECT_EQ(disk.blocks[499], 'a');
  EXPECT_EQ(disk.blocks[500], 'Z');
  EXPECT_EQ(disk.blocks[1599], 'Z');
  EXPECT_EQ(disk.blocks[1600], 'd');
  std::string back(1102, '\0');
  dev_lseek(fd, 499, 0);
  EXPECT_EQ(dev_read(fd, back.data(), back.size()), 1102);
  EXPECT_EQ(back, "a" + text + "d");
  // Clipped at the end of the device.
  dev_lseek(fd, 2040, 0);
  char tail[32];
  EXPECT_EQ(dev_read(fd, tail, sizeof tail), 8);
  EXPECT_EQ(dev_read(fd, tail, sizeof tail), 0);
  dev_close(fd);
}

}  // namespace
