#include "FuDigest.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "FuFile.hpp"
#include "Msg.hpp"
#include "Sandbox.hpp"

namespace {

using namespace zolt::test;

// Bytes of every value, in an order that does not repeat with any short period.
std::string PseudoRandom(std::size_t n, std::uint32_t seed) {
  std::string s(n, '\0');
  std::uint32_t x = seed;
  for (auto& c : s) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

// The first field the utility prints for file.
std::string FirstField(const std::string& command, const std::string& file) {
  const auto r = RunCommand(command + " " + file);
  EXPECT_EQ(r.status, 0) << command << ": " << r.err;
  std::istringstream in(r.out);
  std::string field;
  in >> field;
  return field;
}

class FuDigestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FuDigest_Init();
    WriteFile("empty", "");
    WriteFile("abc", "abc");
    WriteFile("lines", "The quick brown fox\njumps over the lazy dog.\n\xff\xfe\x80\x01\n");
    WriteFile("block", PseudoRandom(512, 7));     // exactly one block of the System V sum
    WriteFile("md5edge", std::string(55, 'x'));   // the length still fits the last block
    WriteFile("md5edge2", std::string(56, 'x'));  // the length needs a block of its own
    WriteFile("large", PseudoRandom(5 * 1024 * 1024 + 123, 42));
  }
  const std::vector<std::string> files_ = {"empty",   "abc",      "lines", "block",
                                           "md5edge", "md5edge2", "large"};
};

TEST_F(FuDigestTest, WholeFileDigestsEqualTheStandardUtilities) {
  for (const auto& f : files_) {
    char digest[64];
    ASSERT_EQ(FuMD5(f.c_str(), digest, sizeof digest), 0);
    EXPECT_EQ(digest, FirstField("md5sum", f)) << f;
    ASSERT_EQ(FuCRC32(f.c_str(), digest, sizeof digest), 0);
    EXPECT_EQ(digest, FirstField("cksum", f)) << f;
    ASSERT_EQ(FuSum(f.c_str(), FuSumSysV, digest, sizeof digest), 0);
    EXPECT_EQ(digest, FirstField("sum -s", f)) << f;
    ASSERT_EQ(FuSum(f.c_str(), FuSumBSD, digest, sizeof digest), 0);
    EXPECT_EQ(digest, FirstField("sum -r", f)) << f;
  }
}

TEST_F(FuDigestTest, PiecesOfAnySizeGiveTheWholeFilesDigest) {
  const std::string data = ReadFile("large");
  // Pieces that cross the 64-byte blocks of MD5 at every offset, and some large ones.
  const std::size_t sizes[] = {1, 63, 64, 65, 3, 4097, 100000, 1 << 20, 7};
  MD5Context* md5 = MD5Create();
  CRC32Context* crc = CRC32Create();
  SumContext* sysv = SumCreate(FuSumSysV);
  SumContext* bsd = SumCreate(FuSumBSD);
  std::size_t at = 0;
  for (std::size_t i = 0; at < data.size(); ++i) {
    const std::size_t n = std::min(sizes[i % std::size(sizes)], data.size() - at);
    MD5Update(md5, data.data() + at, n);
    CRC32Update(crc, data.data() + at, n);
    SumUpdate(sysv, data.data() + at, n);
    SumUpdate(bsd, data.data() + at, n);
    MD5Update(md5, data.data(), 0);  // an empty piece changes nothing
    at += n;
  }
  char a[64], b[64];
  MD5Final(md5, a, sizeof a);
  FuMD5("large", b, sizeof b);
  EXPECT_STREQ(a, b);
  CRC32Final(crc, a, sizeof a);
  FuCRC32("large", b, sizeof b);
  EXPECT_STREQ(a, b);
  SumFinal(sysv, a, sizeof a);
  FuSum("large", FuSumSysV, b, sizeof b);
  EXPECT_STREQ(a, b);
  SumFinal(bsd, a, sizeof a);
  FuSum("large", FuSumBSD, b, sizeof b);
  EXPECT_STREQ(a, b);
}

TEST_F(FuDigestTest, KnownDigestsOfTheEmptyText) {
  char d[64];
  MD5Final(MD5Create(), d, sizeof d);
  EXPECT_STREQ(d, "d41d8cd98f00b204e9800998ecf8427e");
  CRC32Final(CRC32Create(), d, sizeof d);
  EXPECT_STREQ(d, "4294967295");
  SumFinal(SumCreate(FuSumBSD), d, sizeof d);
  EXPECT_STREQ(d, "00000");
  SumFinal(SumCreate(FuSumSysV), d, sizeof d);
  EXPECT_STREQ(d, "0");
  // A digest cut to the room there is.
  char small[9];
  MD5Final(MD5Create(), small, sizeof small);
  EXPECT_STREQ(small, "d41d8cd9");
}

TEST_F(FuDigestTest, AFileThatCannotBeReadIsReported) {
  char d[64] = "old";
  MsgIgnoreErrors(true);
  EXPECT_EQ(FuMD5("missing", d, sizeof d), -1);
  MsgIgnoreErrors(false);
  EXPECT_STREQ(d, "");
  EXPECT_EQ(FuError(), 1);
  EXPECT_EQ(FuErrno(), ENOENT);
  EXPECT_EQ(MsgErrorCount(false), 2u);
  MsgForgetErrorReasons();

  MsgIgnoreErrors(true);
  EXPECT_EQ(FuSum(".", FuSumBSD, d, sizeof d), -1);  // a directory has no contents
  MsgIgnoreErrors(false);
  EXPECT_EQ(FuError(), 1);
  EXPECT_EQ(FuErrno(), EISDIR);
  MsgForgetErrorReasons();

  // A success clears the last failure.
  EXPECT_EQ(FuCRC32("abc", d, sizeof d), 0);
  EXPECT_EQ(FuError(), 0);
  EXPECT_EQ(FuErrno(), 0);
}

}  // namespace
