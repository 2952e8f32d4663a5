// Small helpers of the archive and media toolkit: dates and times as text, taking lines
// and fields off texts, escaping, path heads, sizes as text, free disk space, permission
// tests on a file's mode, directories and a stack of working directories, the display
// and environment handed to commands, matching and running commands.
#pragma once

#include <cstdint>

#include "DirAcces.hpp"
#include "DynStr.hpp"
#include "Strings.hpp"
#include "Utility.hpp"

void BkMisc_Init();

// Module state, set at initialisation: the machine name and a line end.
extern char BkMisc_localHost[128];
extern char BkMisc_sEOLN[2];

// ---- Dates and times ----

// The one written form of a moment, "dd.mm.yyyy hh:mm:ss": "%02d.%02d.%02d" (day, month,
// full year) and "%02d:%02d:%02d" joined by a blank. Written at out without a terminator;
// the result is its length, at most BkMisc_dateAndTimeMax.
inline constexpr std::size_t BkMisc_dateAndTimeMax = 6 * 10 + 5;
std::size_t BkMisc_PutDateAndTime(const Utility_Date& date, const Utility_Time& time, char* out);
// The one reader of a moment from [p, end): three numbers (day, month, year), each with
// the one separator character after it, then three more (hour, minute, second) likewise;
// a number may have leading blanks and must fit 32 bits. p moves behind what was read.
// The written form is recognised at once; every other form takes the general way, with
// the same result.
bool BkMisc_TakeDateAndTime(const char*& p, const char* end, Utility_Date& date,
                            Utility_Time& time);
bool BkMisc_TakeDate(const char*& p, const char* end, Utility_Date& date);
bool BkMisc_TakeTime(const char*& p, const char* end, Utility_Time& time);

// The written forms above as bounded strings.
void BkMisc_DateToStr(const Utility_Date& date, StrOut text);
void BkMisc_TimeToStr(const Utility_Time& time, StrOut text);
void BkMisc_DateAndTimeToStr(const Utility_Date& date, const Utility_Time& time, StrOut text);
// Three numbers, each followed by one separator character of any kind, taken off the
// front of text. False when a number is missing (what was read is kept).
bool BkMisc_StrToDate(StrOut text, Utility_Date& date);
bool BkMisc_StrToTime(StrOut text, Utility_Time& time);
bool BkMisc_StrToDateAndTime(StrOut text, Utility_Date& date, Utility_Time& time);

// ---- Lines, fields, escaping ----

// Takes the first line (up to a line feed) off text, line feed included; false when that
// line is empty.
bool BkMisc_StrFromStr(StrOut text, StrOut line);
// Skips leading blanks and tabs and takes the characters up to the next blank or tab off
// text; false when the field is empty.
bool BkMisc_FieldFromStr(StrOut text, StrOut field);
// The same with escapes: a backslash takes the next character literally, the field ends
// at the first unescaped blank, which is taken off too.
bool BkMisc_FieldFromStr1(StrOut text, StrOut field);
// A backslash before every backslash and every blank (the reverse of FieldFromStr1).
void BkMisc_EscapeSpaces(StrIn text, StrOut escaped);
void BkMisc_Concat3(StrIn a, StrIn b, StrIn c, StrOut result);
// Byte-wise: -1, 0 or 1.
int BkMisc_VCompareStr(StrIn a, StrIn b);

// ---- Paths ----

// True when head is a leading part of path that ends at a "/" of path, or both are "/".
bool BkMisc_ThisPathHead(StrIn path, StrIn head);
// Compares up to the first difference; b exhausted where a ends or continues with "/"
// counts as equal. -1, 0 or 1.
int BkMisc_PathHeadCmp(StrIn a, StrIn b);
// path itself when it exists, otherwise its nearest existing parent ("." when there is
// none); true when path exists.
bool BkMisc_PathOK(StrIn path, StrOut existing);
// Creates the missing directories of path from the top down, each with mode; true when
// the directory exists afterwards.
bool BkMisc_AssertDir(StrIn path, unsigned mode);
// Stack of working directories: push saves the current directory and changes to dir
// (false, nothing pushed, when that fails); pop changes back to the saved one (false
// when the stack is empty or the change fails; the entry is dropped either way).
bool BkMisc_PushDir(StrIn dir);
bool BkMisc_PopDir();
int BkMisc_DirStackDepth();

// ---- Sizes and space ----

// Below 1000000 bytes "<KB> KB" (size / 1024), otherwise "<MB> MB" (size / 1048576),
// both with two decimals.
void BkMisc_SizeToMBStr(double size, StrOut text);
// Free bytes (free 512-byte blocks times 512) of the file system holding the nearest
// existing directory of path; -1 when unknown.
double BkMisc_DiskSpace(StrIn path);

// ---- Permissions, decided from a file's mode for the process ----
// The bit for all other users always counts, the owner bit when the process's user owns
// the file, the group bit when the file's group is the process's group.
bool BkMisc_IsReadable(const DirAcces_DirEntry& info);
bool BkMisc_IsWriteable(const DirAcces_DirEntry& info);
bool BkMisc_IsExecutable(const DirAcces_DirEntry& info);

// ---- Environment of commands ----

// DISPLAY; ":0.0" when empty; a value beginning with ":" gets the value of HOST in front.
void BkMisc_GetDisplay(StrOut display);
// "DISPLAY=<display>; export DISPLAY", followed, when LD_LIBRARY_PATH is set, by
// ";LD_LIBRARY_PATH=<value>;export LD_LIBRARY_PATH".
void BkMisc_GetInheritEnvStr(StrOut text);

// ---- Matching and commands ----

// The extended regular expression searched anywhere in text.
bool BkMisc_Match(StrIn pattern, StrIn text);
// Runs command through the shell; output := its standard output without the trailing
// line end. The result is that of DSRunCmd (-1 when the command could not be started).
int BkMisc_DSRunCmd(DS command, DS* output);

// ---- Seam for tests ----

// The user and group the permission tests decide for (initially the process's
// effective ids).
void BkMisc_SetProcessIds(std::uint32_t uid, std::uint32_t gid);
