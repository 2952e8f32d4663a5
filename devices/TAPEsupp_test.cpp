// The local tape calls' companions: the tape device the command line names, and the
// recognisers' dates as date and time records.
#include "TAPEsupp.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <tuple>
#include <vector>

#include "Sandbox.hpp"
#include "UArgs.hpp"

namespace {

using zolt::test::ReadFile;
using zolt::test::RunCommand;

std::string DevName(std::initializer_list<const char*> args) {
  std::vector<char*> argv;
  for (const char* a : args) argv.push_back(const_cast<char*>(a));
  argv.push_back(nullptr);
  M2C_INIT(static_cast<int>(args.size()), argv.data(), nullptr);
  char device[64];
  TAPEsupp_GetTapeDevName(device);
  M2C_INIT(0, nullptr, nullptr);
  return device;
}

TEST(TAPEsuppTest, TapeDeviceFromTheOptionElseTheDefault) {
  TAPEsupp_Init();
  ::setenv("TAPE", "/dev/nst7", 1);
  EXPECT_EQ(DevName({"prog", "-v", "-tape", "/dev/nst5", "x"}), "/dev/nst5");
  EXPECT_EQ(DevName({"prog", "host:/dev/nst1", "-tape", "sun@host:/dev/nst2"}),
            "sun@host:/dev/nst2");
  // The option's value must be a separate argument; alone at the end it names nothing.
  EXPECT_EQ(DevName({"prog", "-tape/dev/nst5"}), "/dev/nst7");
  EXPECT_EQ(DevName({"prog", "-tape"}), "/dev/nst7");
  ::unsetenv("TAPE");
  EXPECT_EQ(DevName({"prog"}), "/dev/nst0");
  EXPECT_FALSE(TAPEsupp_TapeAutoWFM());
  ::setenv("OS", "XENIX", 1);
  EXPECT_TRUE(TAPEsupp_TapeAutoWFM());
  ::unsetenv("OS");
}

TEST(TAPEsuppTest, HeadersGiveDateAndTimeRecords) {
  TAPEsupp_Init();
  zolt::test::WriteFile("member.txt", "hello tape\n");
  ASSERT_EQ(
      RunCommand("touch -d @1700000000 member.txt && tar --format=ustar -cf a member.txt").status,
      0);
  std::string block = ReadFile("a").substr(0, 512);
  const auto* b = reinterpret_cast<const unsigned char*>(block.data());
  const std::time_t t = 1700000000;
  std::tm tm{};
  localtime_r(&t, &tm);
  char name[8];
  TAPEsupp_Entry e{{9, 9, 9, 9}, {9, 9, 9, 9}, 0, 0, nullptr};
  EXPECT_FALSE(TAPEsupp_IsCpio(b, block.size(), name, e));
  ASSERT_TRUE(TAPEsupp_IsTar(b, block.size(), name, e));
  EXPECT_STREQ(name, "member.");  // cut to the caller's array
  EXPECT_EQ(e.dataLength, 11);
  const Utility_Date date{unsigned(tm.tm_mday), unsigned(tm.tm_mon + 1),
                          unsigned(tm.tm_year + 1900), 0};
  EXPECT_EQ(std::tie(e.date.day, e.date.month, e.date.year, e.date.weekday),
            std::tie(date.day, date.month, date.year, date.weekday));
  EXPECT_EQ(e.time.hour * 3600 + e.time.minute * 60 + e.time.second,
            unsigned(tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec));
  EXPECT_EQ(e.time.millisecond, 0u);
}

}  // namespace
