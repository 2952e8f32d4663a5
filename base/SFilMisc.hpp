// File-name helpers used across the system: suffixes and extensions, shell escaping,
// arguments, permissions by octal text, modification-time comparison and temporary names.
//
// Names are bounded strings. None of these operations reports errors of its own (ChMod
// passes on what DirAcces reports).
#pragma once

#include "Strings.hpp"

void SFilMisc_Init();

// The text from the last "." of the last path component (with the "."), unless that "."
// starts the component; empty otherwise.
void SFilMisc_SuffixOf(StrIn name, StrOut suffix);
bool SFilMisc_HasSuffix(StrIn name);
// Whether the suffix equals suffix exactly.
bool SFilMisc_HasRightSuffix(StrIn name, StrIn suffix);
// Removes ext from the end when it ends name, letters a..z compared without case.
void SFilMisc_StripExtension(StrOut name, StrIn ext);
void SFilMisc_StripSuffix(StrOut name, StrIn suffix);
// Removes whatever SFilMisc_SuffixOf finds.
void SFilMisc_StripAnySuffix(StrOut name);
// Makes the file name end with ext exactly as given: a match of ext at its end (without
// regard to case) is removed, the file name is cut to stay within 254 characters, ext is
// appended and the directory part put back.
void SFilMisc_RequireExtension(StrOut path, StrIn ext);
void SFilMisc_RequireSuffix(StrOut path, StrIn suffix);

// A backslash before every shell metacharacter (StringOp_IsShellMetaChar).
void SFilMisc_EscapeShMetaChars(StrOut s);
// Removes every backslash that precedes a shell metacharacter.
void SFilMisc_UnescapeShMetaChars(StrOut s);
// Takes the first blank-delimited or double-quoted argument off s (quotes removed).
void SFilMisc_GetArg(StrOut s, StrOut arg);

// mode is octal text, read up to the first character other than 0..7.
void SFilMisc_ChMod(StrIn path, StrIn mode);
// True when a was modified later than b, or b does not exist; false when a does not exist.
bool SFilMisc_Newer(StrIn a, StrIn b);

// "T<pid:6>-<counter:5>-<machine name, 16 characters>" and, when ext is not empty, ext as
// by SFilMisc_RequireExtension. The counter starts at 0 and counts every call.
void SFilMisc_CreateTmpNameWD(StrOut name, StrIn ext);
// That name in the first directory of TMP.
void SFilMisc_CreateTmpName(StrOut path, StrIn ext);
// That name in the directory "tmp" of the first directory of ZOLTDAT.
void SFilMisc_CreateUniqueVarName(StrOut path, StrIn ext);
// That name behind the literal prefix "${TMP}".
void SFilMisc_CreateUnresolvedTmpName(StrOut path, StrIn ext);
bool SFilMisc_IsUnresolvedTmpDir(StrIn path);
// Whether the file name is a temporary name ("T", six digits, "-", five digits, "-" and
// more), or one of the older form ("T" and six digits).
bool SFilMisc_IsTmpName(StrIn path);
bool SFilMisc_IsOldTmpName(StrIn path);

// relPath (without a leading "/") in the first directory of ZOLTLIB.
void SFilMisc_IncludeZoltlibPath(StrIn relPath, StrOut path);
