#include "Utility.hpp"

#include <locale.h>

#include <cerrno>
#include <ctime>

#include "UCommon.hpp"

namespace {

std::int64_t SystemClock() {
  struct timespec ts {};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

Utility_Clock currentClock = SystemClock;

void FromTm(const std::tm& tm, unsigned ms, Utility_Date& date, Utility_Time& time) {
  date.day = static_cast<unsigned>(tm.tm_mday);
  date.month = static_cast<unsigned>(tm.tm_mon + 1);
  date.year = static_cast<unsigned>(tm.tm_year + 1900);
  date.weekday = static_cast<unsigned>(tm.tm_wday);
  time.hour = static_cast<unsigned>(tm.tm_hour);
  time.minute = static_cast<unsigned>(tm.tm_min);
  time.second = static_cast<unsigned>(tm.tm_sec);
  time.millisecond = ms;
}

int Cmp(unsigned a, unsigned b) { return a < b ? -1 : a > b ? 1 : 0; }

// Seconds of a millisecond count, rounded towards the past also before 1970.
std::int64_t FloorSeconds(std::int64_t ms) { return ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000); }

}  // namespace

void Utility_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "Utility");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
}

void Utility_GetSysDateTime(Utility_Date& date, Utility_Time& time) {
  const std::int64_t now = currentClock();
  const std::int64_t seconds = FloorSeconds(now);
  Utility_LocalTime(seconds, date, time);
  time.millisecond = static_cast<unsigned>(now - seconds * 1000);
}

std::int64_t Utility_GetCurrentTimeMillis() { return currentClock(); }

void Utility_Delay(std::uint32_t milliseconds) {
  struct timespec left {
    static_cast<std::time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000
  };
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

int Utility_DateCmp(const Utility_Date& a, const Utility_Date& b) {
  if (int c = Cmp(a.year, b.year)) return c;
  if (int c = Cmp(a.month, b.month)) return c;
  return Cmp(a.day, b.day);
}

int Utility_TimeCmp(const Utility_Time& a, const Utility_Time& b) {
  if (int c = Cmp(a.hour, b.hour)) return c;
  if (int c = Cmp(a.minute, b.minute)) return c;
  if (int c = Cmp(a.second, b.second)) return c;
  return Cmp(a.millisecond, b.millisecond);
}

void Utility_LocalTime(std::int64_t seconds, Utility_Date& date, Utility_Time& time) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  ::localtime_r(&t, &tm);
  FromTm(tm, 0, date, time);
}

void Utility_GMTime(std::int64_t seconds, Utility_Date& date, Utility_Time& time) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  FromTm(tm, 0, date, time);
}

std::int64_t Utility_MkTime(const Utility_Date& date, const Utility_Time& time) {
  std::tm tm{};
  tm.tm_mday = static_cast<int>(date.day);
  tm.tm_mon = static_cast<int>(date.month) - 1;
  tm.tm_year = static_cast<int>(date.year) - 1900;
  tm.tm_hour = static_cast<int>(time.hour);
  tm.tm_min = static_cast<int>(time.minute);
  tm.tm_sec = static_cast<int>(time.second);
  tm.tm_isdst = -1;  // whatever holds on that day
  return static_cast<std::int64_t>(std::mktime(&tm));
}

void Utility_SecondsToLocalizedString(std::int64_t seconds, unsigned form, StrOut s) {
  static const char* const formats[] = {"%a %x", "%X", "%a %x %X"};
  char text[128] = "";
  if (form < 3) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    ::localtime_r(&t, &tm);
    // The C locale whatever the process' locale, so that the text is the same everywhere.
    static const locale_t c = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    if (::strftime_l(text, sizeof text, formats[form], &tm, c) == 0) text[0] = '\0';
  }
  Strings_Assign(StrIn::FromC(text), s);
}

void Utility_SetClock(Utility_Clock c) { currentClock = c != nullptr ? c : SystemClock; }
