// Local date and time, delays and the current time in milliseconds.
//
// Every reading of the current time goes through one clock function, which tests
// replace (Utility_SetClock) so that code stamping dates and names can be checked
// against a known moment.
#pragma once

#include <cstdint>

#include "Strings.hpp"

void Utility_Init();

struct Utility_Date {
  unsigned day;      // 1..31
  unsigned month;    // 1..12
  unsigned year;     // four digits
  unsigned weekday;  // 0 = Sunday
};

struct Utility_Time {
  unsigned hour, minute, second, millisecond;
};

// The current local date and time.
void Utility_GetSysDateTime(Utility_Date& date, Utility_Time& time);
// Milliseconds since 1970 (UTC).
std::int64_t Utility_GetCurrentTimeMillis();
// Waits the given milliseconds (signals do not shorten the wait).
void Utility_Delay(std::uint32_t milliseconds);

// -1, 0, +1 as a is before, equal to or after b (weekday and millisecond ignored for
// dates, millisecond included for times).
int Utility_DateCmp(const Utility_Date& a, const Utility_Date& b);
int Utility_TimeCmp(const Utility_Time& a, const Utility_Time& b);

// Seconds since 1970 to local time / to UTC (millisecond 0).
void Utility_LocalTime(std::int64_t seconds, Utility_Date& date, Utility_Time& time);
void Utility_GMTime(std::int64_t seconds, Utility_Date& date, Utility_Time& time);
// Local date and time to seconds since 1970 (the weekday is ignored; -1 when the moment
// cannot be represented).
std::int64_t Utility_MkTime(const Utility_Date& date, const Utility_Time& time);

// The moment in local time as the C locale writes it: form 0 "%a %x" (weekday and date),
// 1 "%X" (time), 2 "%a %x %X"; other forms give the empty text.
void Utility_SecondsToLocalizedString(std::int64_t seconds, unsigned form, StrOut s);

// ---- Seam for tests ----

// The clock: milliseconds since 1970. nullptr restores the system clock.
using Utility_Clock = std::int64_t (*)();
void Utility_SetClock(Utility_Clock clock);
