#include "ScsiSim.hpp"

#include <gtest/gtest.h>

#include <string>

#include "Scsi.hpp"
#include "TpVirt.hpp"

namespace {

int Get16(const unsigned char* p) { return (p[0] << 8) | p[1]; }

class ScsiSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ScsiSim_Init();
    TpVirt_Init();
    std::string error;
    ASSERT_TRUE(ScsiSim_Create("changer", 2, 1, {"drive0"}, error)) << error;
    ASSERT_TRUE(TpVirt_Create("changer/media/tape1", 1e6, error)) << error;
    ASSERT_TRUE(ScsiSim_PlaceMedium("changer", 0, "tape1", error)) << error;
    c = ScsiOpen("changer");
    ASSERT_NE(c, nullptr);
  }
  void TearDown() override {
    if (c) ScsiClose(c);
  }
  // The sense key, ASC and ASCQ of the last command.
  std::string Sense() {
    unsigned char s[16];
    ScsiGetSense(nullptr, s, 16);
    char text[32];
    std::snprintf(text, sizeof text, "%x/%02x/%02x", s[2] & 0x0f, s[12], s[13]);
    return text;
  }
  ScsiChannel* c = nullptr;
};

TEST_F(ScsiSimTest, InquiryAndItsBufferSize) {
  unsigned char buffer[64];
  ScsiInquiryData d{};
  ASSERT_EQ(ScsiInquiry(c, buffer, sizeof buffer, &d), 0);
  EXPECT_EQ(d.deviceType, 8);
  EXPECT_EQ(d.removable, 1);
  EXPECT_STREQ(ScsiDeviceTypeToStr(d.deviceType), "Medium Changer Device");
  EXPECT_STREQ(d.product, "VIRTUAL CHANGER ");
  EXPECT_EQ(ScsiInquiry(c, buffer, 4, &d), -1);
  EXPECT_EQ(ScsiError, SCSI_EINQSIZE);
  EXPECT_EQ(ScsiInquiry(c, buffer, 20, &d), -1);  // the whole data is 36 bytes
  EXPECT_EQ(ScsiError, SCSI_EINQSIZE);
}

TEST_F(ScsiSimTest, ElementAddressPageAndStatus) {
  unsigned char page[64] = {};
  ScsiModeHeader h{};
  ASSERT_EQ(ScsiModeSense6(c, 0, 0x1D, page, sizeof page, &h), 0);
  ASSERT_NE(h.firstPage, nullptr);
  EXPECT_EQ(h.firstPage[0], 0x1D);
  EXPECT_EQ(Get16(h.firstPage + 2), 0);   // robot
  EXPECT_EQ(Get16(h.firstPage + 6), 1);   // first slot
  EXPECT_EQ(Get16(h.firstPage + 8), 2);   // slots
  EXPECT_EQ(Get16(h.firstPage + 10), 3);  // port
  EXPECT_EQ(Get16(h.firstPage + 14), 4);  // drive

  unsigned char b[512] = {};
  ASSERT_EQ(READ_ELEMENT_STATUS(c, 0, 100, b, sizeof b), 0);
  EXPECT_EQ(Get16(b + 2), 5);  // elements reported
  const int bytes = (b[5] << 16) | (b[6] << 8) | b[7];
  EXPECT_EQ(bytes, 4 * 8 + 5 * 12);
  // The storage page: slot 1 full, slot 2 empty.
  const unsigned char* slots = b + 8 + 8 + 12;
  EXPECT_EQ(slots[0], 2);
  EXPECT_EQ(Get16(slots + 2), 12);
  EXPECT_EQ(Get16(slots + 8), 1);
  EXPECT_EQ(slots[8 + 2] & 1, 1);
  EXPECT_EQ(slots[20 + 2] & 1, 0);

  // A short allocation keeps the counts of what is available.
  unsigned char shortBuf[16] = {};
  ASSERT_EQ(READ_ELEMENT_STATUS(c, 0, 100, shortBuf, sizeof shortBuf), 0);
  EXPECT_EQ((shortBuf[6] << 8) | shortBuf[7], bytes);
}

TEST_F(ScsiSimTest, MovesLoadTheVirtualTapeAndRefuseWithSense) {
  EXPECT_FALSE(TpVirt_IsVirtual("drive0"));
  ASSERT_EQ(MOVE_MEDIUM(c, 0, 1, 4), 0) << Sense();
  EXPECT_TRUE(TpVirt_IsVirtual("drive0"));
  unsigned char b[512] = {};
  ASSERT_EQ(READ_ELEMENT_STATUS(c, 4, 1, b, sizeof b), 0);
  const unsigned char* drive = b + 16;
  EXPECT_EQ(drive[2] & 1, 1);
  EXPECT_EQ(drive[9] & 0x80, 0x80);
  EXPECT_EQ(Get16(drive + 10), 1);  // came from slot 1

  EXPECT_EQ(MOVE_MEDIUM(c, 0, 1, 2), -1);  // source empty
  EXPECT_EQ(Sense(), "5/3b/0e");
  ASSERT_EQ(MOVE_MEDIUM(c, 0, 4, 2), 0);
  EXPECT_FALSE(TpVirt_IsVirtual("drive0"));
  ASSERT_EQ(MOVE_MEDIUM(c, 0, 2, 3), 0);  // export to the port
  std::string error;
  ASSERT_TRUE(TpVirt_Create("changer/media/tape2", 1e6, error));
  ASSERT_TRUE(ScsiSim_PlaceMedium("changer", 0, "tape2", error));
  EXPECT_EQ(MOVE_MEDIUM(c, 0, 1, 3), -1);  // destination full
  EXPECT_EQ(Sense(), "5/3b/0d");
  EXPECT_EQ(MOVE_MEDIUM(c, 1, 1, 2), -1);  // not a transport
  EXPECT_EQ(Sense(), "5/21/01");
  EXPECT_EQ(MOVE_MEDIUM(c, 0, 1, 99), -1);
  EXPECT_EQ(Sense(), "5/21/01");
  unsigned char s[32] = {};
  ScsiRequestSense(c, s, sizeof s);
  EXPECT_EQ(s[12], 0x21);

  ASSERT_TRUE(ScsiSim_SetStatus("changer", 2, "absent", error));
  ASSERT_EQ(READ_ELEMENT_STATUS(c, 2, 1, b, sizeof b), 0);
  EXPECT_EQ(b[16 + 2] & 4, 4);
  EXPECT_EQ(b[16 + 4], 0x83);
  EXPECT_EQ(b[16 + 5], 0x02);
  EXPECT_EQ(INITIALIZE_ELEMENT_STATUS(c), 0);
  const unsigned char tur[6] = {0};
  EXPECT_EQ(Scsi6Submit(c, tur, nullptr, 0, false), 0);
  EXPECT_EQ(Sense(), "0/00/00");
}

}  // namespace
