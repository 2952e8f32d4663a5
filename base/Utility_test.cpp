#include "Utility.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace {

std::int64_t fixedNow = 0;
std::int64_t FixedClock() { return fixedNow; }

class UtilityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Utility_Init();
    SetZone("UTC0");
  }
  void TearDown() override {
    Utility_SetClock(nullptr);
    ::unsetenv("TZ");
    ::tzset();
  }
  static void SetZone(const char* tz) {
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
};

// year, month, day, weekday, hour, minute, second, millisecond
std::vector<unsigned> Fields(const Utility_Date& d, const Utility_Time& t) {
  return {d.year, d.month, d.day, d.weekday, t.hour, t.minute, t.second, t.millisecond};
}

// 2023-11-14 22:13:20.123 UTC, a Tuesday.
constexpr std::int64_t kMoment = 1700000000123;
constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";

TEST_F(UtilityTest, TheClockSeamDrivesDateTimeAndMillis) {
  fixedNow = kMoment;
  Utility_SetClock(FixedClock);
  EXPECT_EQ(Utility_GetCurrentTimeMillis(), kMoment);

  Utility_Date d{};
  Utility_Time t{};
  Utility_GetSysDateTime(d, t);
  EXPECT_EQ(Fields(d, t), (std::vector<unsigned>{2023, 11, 14, 2, 22, 13, 20, 123}));

  // Local time: an hour later in central Europe in November, past midnight in Tokyo.
  SetZone(kCentralEurope);
  Utility_GetSysDateTime(d, t);
  EXPECT_EQ(t.hour, 23u);
  SetZone("JST-9");
  Utility_GetSysDateTime(d, t);
  EXPECT_EQ(Fields(d, t), (std::vector<unsigned>{2023, 11, 15, 3, 7, 13, 20, 123}));

  // Just before 1970 the milliseconds still count forward within their second.
  SetZone("UTC0");
  fixedNow = -1;
  Utility_GetSysDateTime(d, t);
  EXPECT_EQ(Fields(d, t), (std::vector<unsigned>{1969, 12, 31, 3, 23, 59, 59, 999}));

  // Back to the system clock.
  Utility_SetClock(nullptr);
  const auto system = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  EXPECT_LT(std::llabs(Utility_GetCurrentTimeMillis() - system), 1000);
}

TEST_F(UtilityTest, ConversionsAgreeWithEachOtherAcrossSummerTime) {
  SetZone(kCentralEurope);
  Utility_Date d{};
  Utility_Time t{};
  // Summer: two hours ahead; winter: one.
  Utility_LocalTime(1688220000, d, t);  // 2023-07-01 14:00:00 UTC
  EXPECT_EQ(t.hour, 16u);
  EXPECT_EQ(Utility_MkTime(d, t), 1688220000);
  Utility_GMTime(1688220000, d, t);
  EXPECT_EQ(t.hour, 14u);
  EXPECT_EQ(d.weekday, 6u);  // Saturday

  Utility_LocalTime(1704067200, d, t);  // 2024-01-01 00:00:00 UTC
  EXPECT_EQ(Fields(d, t), (std::vector<unsigned>{2024, 1, 1, 1, 1, 0, 0, 0}));
  EXPECT_EQ(Utility_MkTime(d, t), 1704067200);

  // A leap day survives the round trip.
  const Utility_Date leap{29, 2, 2024, 0};
  const Utility_Time noon{12, 0, 0, 0};
  const std::int64_t s = Utility_MkTime(leap, noon);
  Utility_LocalTime(s, d, t);
  EXPECT_EQ(Fields(d, t), (std::vector<unsigned>{2024, 2, 29, 4, 12, 0, 0, 0}));  // Thursday
}

TEST_F(UtilityTest, ComparisonsOrderByTheMostSignificantField) {
  // Each pair differs in a less significant field the other way round; the weekday
  // does not count.
  EXPECT_EQ(Utility_DateCmp({31, 12, 2022, 6}, {1, 1, 2023, 0}), -1);
  EXPECT_EQ(Utility_DateCmp({1, 1, 2023, 0}, {31, 12, 2022, 6}), 1);
  EXPECT_EQ(Utility_DateCmp({28, 2, 2023, 0}, {1, 3, 2023, 0}), -1);
  EXPECT_EQ(Utility_DateCmp({1, 1, 2023, 0}, {1, 1, 2023, 5}), 0);
  EXPECT_EQ(Utility_TimeCmp({9, 59, 59, 999}, {10, 0, 0, 0}), -1);
  EXPECT_EQ(Utility_TimeCmp({10, 0, 0, 1}, {10, 0, 0, 0}), 1);
  EXPECT_EQ(Utility_TimeCmp({10, 0, 59, 0}, {10, 1, 0, 0}), -1);
  EXPECT_EQ(Utility_TimeCmp({10, 0, 0, 0}, {10, 0, 0, 0}), 0);
}

TEST_F(UtilityTest, LocalizedTextsUseTheCLocaleForms) {
  const char* const forms[] = {"Tue 11/14/23", "22:13:20", "Tue 11/14/23 22:13:20", ""};
  for (unsigned form = 0; form < 4; ++form) {
    char s[64];
    Utility_SecondsToLocalizedString(1700000000, form, s);
    EXPECT_STREQ(s, forms[form]) << form;
  }
  char small[8];
  Utility_SecondsToLocalizedString(1700000000, 2, small);
  EXPECT_EQ(std::string(small, 8), "Tue 11/1");  // cut like every bounded string
}

void OnAlarm(int) {}

TEST_F(UtilityTest, ADelayLastsItsTimeEvenWhenSignalsArrive) {
  struct sigaction sa {};
  sa.sa_handler = OnAlarm;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGALRM, &sa, nullptr);
  struct itimerval timer {};
  timer.it_value.tv_usec = 20000;
  timer.it_interval.tv_usec = 20000;
  ::setitimer(ITIMER_REAL, &timer, nullptr);
  const auto start = std::chrono::steady_clock::now();
  Utility_Delay(150);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  const struct itimerval off {};
  ::setitimer(ITIMER_REAL, &off, nullptr);
  EXPECT_GE(elapsed, std::chrono::milliseconds(150));
  EXPECT_LT(elapsed, std::chrono::milliseconds(1000));
}

}  // namespace
