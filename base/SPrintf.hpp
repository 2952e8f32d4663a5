// Filling %-directives of a format text one value at a time.
//
// A caller assigns a format text to a buffer and calls one operation per value. Each
// call fills the first remaining directive of its own letter (d for every integer, f
// for reals, c for characters, s for strings) and passes over directives of other
// letters, which stay for later calls. Every scan turns "%%" into "%".
//
// Directive: "%" ["0"] ["-"] [width] ["." precision] ["!" | "$"] letter
//   "0"      fill the leading blanks of the value with zeros
//   width    minimum field width; negative means left-justified
//   "!"      keep-left cut: at most width characters, the last replaced by ">" (w > 5)
//   "$"      keep-right cut: the last width characters, the first replaced by "<" (w > 5)
// A value that does not fit into the format buffer is dropped, except a string, which is
// cut from the left (keep-right) so that the result fits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Strings.hpp"

// The shared work buffer of every SPrintf operation.
extern char SPrintf_tmp[5120];

void SPrintf_Init();

void SPrintf_Int(StrOut fmt, std::int32_t value);
void SPrintf_Card(StrOut fmt, std::uint32_t value);
void SPrintf_Int64(StrOut fmt, std::int64_t value);
void SPrintf_Card64(StrOut fmt, std::uint64_t value);
void SPrintf_Real(StrOut fmt, double value);
void SPrintf_Char(StrOut fmt, char ch);
void SPrintf_String(StrOut fmt, StrIn text);
// Fills a %s with path, shell metacharacters escaped.
void SPrintf_EscapedPath(StrOut fmt, StrIn path);
// Fill a %s with today as "dd.mm.yyyy" / "yyyy-mm-dd" or now as "hh:mm" (local time).
void SPrintf_Date(StrOut fmt);
void SPrintf_ISODate(StrOut fmt);
void SPrintf_Time(StrOut fmt);
// Puts a backslash before every character for which StringOp_IsShellMetaChar holds.
void SPrintf_EscapeShellMetaChars(StrOut s);

// The local date and time the date operations use.
struct SPrintf_LocalTime {
  int year;    // four digits
  int month;   // 1..12
  int day;     // 1..31
  int hour;    // 0..23
  int minute;  // 0..59
};
using SPrintf_ClockFn = SPrintf_LocalTime (*)();
// Replaces the clock (nullptr: the system's local time); returns the previous one.
SPrintf_ClockFn SPrintf_SetClock(SPrintf_ClockFn clock);
