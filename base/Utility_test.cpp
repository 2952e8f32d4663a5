#include "Utility.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>

#include <chrono>
#include <cstdlib>
#include <ctime>

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
  EXPECT_EQ(d.day, 14u);
  EXPECT_EQ(d.month, 11u);
  EXPECT_EQ(d.year, 2023u);
  EXPECT_EQ(d.weekday, 2u);
  EXPECT_EQ(t.hour, 22u);
  EXPECT_EQ(t.minute, 13u);
  EXPECT_EQ(t.second, 20u);
  EXPECT_EQ(t.millisecond, 123u);

  // Local time: an hour later in central Europe in November, past midnight in Tokyo.
  SetZone(kCentralEurope);
  Utility_GetSysDateTime(d, t);
  EXPECT_EQ(t.hour, 23u);
  SetZone("JST-9");
  Utility_GetSysDateTime(d, t);
  EXPECT_EQ(d.day, 15u);
  EXPECT_EQ(d.weekday, 3u);
  EXPECT_EQ(t.hour, 7u);

  // Just before 1970 the milliseconds still count forward within their second.
  SetZone("UTC0");
  fixedNow = -1;
  Utility_GetSysDateTime(d, t);
  EXPECT_EQ(d.year, 1969u);
  EXPECT_EQ(d.month, 12u);
  EXPECT_EQ(d.day, 31u);
  EXPECT_EQ(t.second, 59u);
  EXPECT_EQ(t.millisecond, 999u);

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
  EXPECT_EQ(t.hour, 1u);
  EXPECT_EQ(d.year, 2024u);
  EXPECT_EQ(Utility_MkTime(d, t), 1704067200);

  // A leap day survives the round trip.
  const Utility_Date leap{29, 2, 2024, 0};
  const Utility_Time noon{12, 0, 0, 0};
  const std::int64_t s = Utility_MkTime(leap, noon);
  Utility_LocalTime(s, d, t);
  EXPECT_EQ(d.day, 29u);
  EXPECT_EQ(d.month, 2u);
  EXPECT_EQ(t.hour, 12u);
  EXPECT_EQ(d.weekday, 4u);  // Thursday
}

TEST_F(UtilityTest, ComparisonsOrderByTheMostSignificantField) {
  const Utility_Date a{31, 12, 2022, 6};
  const Utility_Date b{1, 1, 2023, 0};
  const Utility_Date c{2, 1, 2023, 1};
  const Utility_Date bOtherWeekday{1, 1, 2023, 5};
  EXPECT_EQ(Utility_DateCmp(a, b), -1);
  EXPECT_EQ(Utility_DateCmp(b, a), 1);
  EXPECT_EQ(Utility_DateCmp(b, c), -1);
  EXPECT_EQ(Utility_DateCmp(b, bOtherWeekday), 0);
  const Utility_Date febLate{28, 2, 2023, 0};
  const Utility_Date marEarly{1, 3, 2023, 0};
  EXPECT_EQ(Utility_DateCmp(febLate, marEarly), -1);

  const Utility_Time t1{9, 59, 59, 999};
  const Utility_Time t2{10, 0, 0, 0};
  const Utility_Time t3{10, 0, 0, 1};
  EXPECT_EQ(Utility_TimeCmp(t1, t2), -1);
  EXPECT_EQ(Utility_TimeCmp(t3, t2), 1);
  EXPECT_EQ(Utility_TimeCmp(t2, t2), 0);
  const Utility_Time minuteLater{10, 1, 0, 0};
  const Utility_Time secondsLater{10, 0, 59, 0};
  EXPECT_EQ(Utility_TimeCmp(secondsLater, minuteLater), -1);
}

TEST_F(UtilityTest, LocalizedTextsUseTheCLocaleForms) {
  char s[64];
  Utility_SecondsToLocalizedString(1700000000, 0, s);
  EXPECT_STREQ(s, "Tue 11/14/23");
  Utility_SecondsToLocalizedString(1700000000, 1, s);
  EXPECT_STREQ(s, "22:13:20");
  Utility_SecondsToLocalizedString(1700000000, 2, s);
  EXPECT_STREQ(s, "Tue 11/14/23 22:13:20");
  Utility_SecondsToLocalizedString(1700000000, 3, s);
  EXPECT_STREQ(s, "");
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
