#include "OutIn.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "Sandbox.hpp"

namespace {

using zolt::test::ReadFile;
using zolt::test::WriteFile;

// The descriptor-file variant shares its text rules with BOutIn; these cases check that
// it reads and writes through FileIO with the same results.
TEST(OutIn, ReadsLinesAndNumbersThroughDescriptorFiles) {
  OutIn_Init();
  WriteFile("in.txt", "JOB\t12\r\n  815 -3 2.25rest\n");
  FileIO_File f = FileIO_Open("in.txt", FileIO_readOnly);
  char line[16];
  OutIn_ReadString(f, line);
  EXPECT_TRUE(OutIn_done);
  EXPECT_STREQ(line, "JOB 12");
  std::uint32_t c = 0;
  std::int32_t i = 0;
  double r = 0;
  OutIn_ReadCard(f, c);
  OutIn_ReadInt(f, i);
  OutIn_ReadReal(f, r);
  EXPECT_TRUE(OutIn_done);
  EXPECT_EQ(std::tuple(c, i, r), std::tuple(815u, -3, 2.25));
  OutIn_ReadString(f, line);
  EXPECT_STREQ(line, "rest");  // the character after the number was pushed back
  OutIn_ReadLn(f);
  OutIn_ReadString(f, line);
  EXPECT_FALSE(OutIn_done);
  FileIO_Close(f);
}

TEST(OutIn, WritesThroughDescriptorFiles) {
  OutIn_Init();
  FileIO_File f = FileIO_Create("out.txt", FileIO_writeOnly);
  OutIn_WriteStringLn(f, "orders");
  OutIn_WriteCard(f, 7, 3);
  OutIn_WriteIntLn(f, -12, 4);
  OutIn_WriteRealLn(f, 0.5, 1, 3);
  EXPECT_TRUE(OutIn_done);
  FileIO_Close(f);
  EXPECT_EQ(ReadFile("out.txt"), "orders\n  7 -12\n0.500\n");
}

}  // namespace
