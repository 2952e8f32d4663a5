// Sectioned configuration files: section headers in square brackets, each followed by
// entries "key = value", with "#" comments, quoting and continuation lines (the logical
// lines of DSXReadLine).
//
// A file is read whole into memory as a list of sections, each with its entries in file
// order; entries keep their raw text values and the number of their first physical line.
// Typed getters convert a value on request and fall back to a default. Names are compared
// without regard to case by default, and every section and entry that is looked up (or
// handed out by an iteration) is marked as used, so that a caller can list the entries
// nobody asked for (CfDumpConfig with unusedOnly).
//
// Errors. Every operation first clears the error number; CfError() then tells the outcome
// (0 success), CfErrno() the system error number that went with it. Errors marked
// "reported" below go to MsgError("CfgFile", n) (catalogue "LBASEmsg") and are fatal
// outside an ignore bracket; the others are only kept.
//    1 the file could not be read to its end (a read failure is reported; after a quote
//      left open, which DSXReadLine has reported as ("DynStrIO", 3), it is only kept)
//    2 not found along the search path (reported, "::<name>")
//    3 cannot be opened (reported, "::<name>", CfErrno set)
//    6 entry absent (kept)
//    9 bad entry line (reported, the line as information)
//   12 bad section line (reported, the line as information)
//   13 an entry looked up occurs again later in its section (reported, first one used)
//   14 bad boolean (reported, the entry's name)
//   15 a character value of another length than one (reported, the entry's name)
//   19 a list value with a quote left open (reported, the entry's name)
//   20 entry without value (kept)
//   21 a pattern that does not compile (reported, the pattern)
//   22 section absent (kept)
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "DynStr.hpp"

void CfConfig_Init();

// How a file is read and looked up. CfGetDefaultAttribs gives a fresh record that the
// caller may change before CfRead; CfRead keeps its own copy.
struct CfAttribsRec {
  std::string searchPath;          // colon-separated directories for names without "/"
  std::string defaultSectionName;  // the section of entries before the first header
  char commentChar;
  bool ignoreCaseSections;
  bool ignoreCaseEntries;
  bool markUsed;                // lookups and iterations set the used flags
  std::string sectionPattern;   // group 1 is the section name
  std::string entryPattern;     // group 1 the name, group 2 the value
  std::string nameOnlyPattern;  // a line that is a name alone
};
using CfAttribs = CfAttribsRec*;

struct CfFileRec;
struct CfSectionRec;
struct CfEntryRec;
using CfFile = CfFileRec*;
using CfSection = CfSectionRec*;
using CfEntry = CfEntryRec*;

// Search path ZOLTENV, default section "DEFAULTS", comment character '#', both kinds of
// names compared without case, used flags set, and the standard patterns.
CfAttribs CfGetDefaultAttribs();

// Reads a file: a name without "/" is looked up along the attributes' search path, one
// with "/" is taken as it is (both cut to 4094 characters). attribs nullptr means the
// defaults. CfFileNil on the first error, with nothing of the file kept.
CfFile CfRead(const char* name, CfAttribs attribs);
// Frees the file with its sections and entries (an attributes record); the handle
// becomes nil. Nothing for nil.
void CfDestroy(CfFile* file);
void CfDestroy(CfAttribs* attribs);

// The null handles; CfFileNil also clears the error number.
CfFile CfFileNil();
CfSection CfSectionNil();
CfEntry CfEntryNil();

// ---------------------------------------------------------------- building in memory
// An empty file named name (nullptr for none) with a copy of attribs (defaults for
// nullptr).
CfFile CfNewFile(const char* name, CfAttribs attribs);
// A section of file that is not yet in its list; comment nullptr for none.
CfSection CfNewSection(CfFile file, const char* name, const char* comment);
// Appends the section to its file's list (after any section with the same key).
void CfAddSection(CfSection section);
// Takes the section out of its file's list and frees it with its entries; nil afterwards.
void CfDelSection(CfSection* section);
// An entry of section that is not yet in its list; value nullptr for an entry without
// value.
CfEntry CfNewEntry(CfSection section, const char* name, const char* value, long lineNo);
void CfAddEntry(CfEntry entry);
void CfDelEntry(CfEntry* entry);

// ---------------------------------------------------------------- sections
// The first section with the key of name, marked used; CfSectionNil and error 22 when
// there is none.
CfSection CfGetExactSection(CfFile file, const char* name);
// Iteration over the sections whose names match the extended regular expression pattern
// (nullptr or "" for all; without regard to case when section case is ignored). A
// pattern that does not compile is error 21 and ends the iteration.
CfSection CfGetFirstSection(CfFile file, const char* pattern);
CfSection CfGetNextSection(CfFile file);
// The name as written (nullptr for nil).
const char* CfGetSectionName(CfSection section);
// Comment lines before the header(s), each with its line end; nullptr for none.
const char* CfGetSectionComment(CfSection section);
bool CfGetSectionUsed(CfSection section);
void CfSetSectionUsed(CfSection section, bool used);
// Set when the section's list or an entry's value was changed in memory after reading.
bool CfGetSectionWritten(CfSection section);

// ---------------------------------------------------------------- entries
// The first entry with the key of name, marked used; CfEntryNil and error 6 when there is
// none (also for a nil section). Error 13 when the key occurs again later.
CfEntry CfGetExactEntry(CfSection section, const char* name);
CfEntry CfGetFirstEntry(CfSection section, const char* pattern);
CfEntry CfGetNextEntry(CfSection section);
const char* CfGetEntryName(CfEntry entry);
bool CfGetEntryUsed(CfEntry entry);
void CfSetEntryUsed(CfEntry entry, bool used);
long CfGetLineNo(CfEntry entry);
// The entry's own value string (dsNil for an entry without value); it stays the entry's.
DS CfGetRawValue(CfEntry entry);
// The entry keeps a reference of its own to ds (dsNil: the entry has no value any more).
void CfSetRawValue(CfEntry entry, DS ds);
// The entry's value becomes a copy of ds's text.
void CfAssignToRawValue(CfEntry entry, DS ds);
// ds := a copy of the value; dsNil for an entry without value.
void CfAssignFromRawValue(CfEntry entry, DS* ds);
// At most n - 1 characters of the value and a NUL; an empty text for an entry without
// value.
void CfAssignStrFromRawValue(CfEntry entry, char* buffer, std::size_t n);
// A slot for the caller's own converted value.
void* CfGetValue(CfEntry entry);
void CfSetValue(CfEntry entry, void* value);

// ---------------------------------------------------------------- typed getters
// Each looks name up with CfGetExactEntry. An absent entry gives the default (error 6),
// an entry without value the default and error 20 (booleans excepted).

// ds := the raw value, or the default (dsNil when the default is nullptr / dsNil).
void CfDynStrFromCfg(CfSection section, const char* name, DS* ds, const char* defaultText);
void CfDynStrFromCfg1(CfSection section, const char* name, DS* ds, DS defaultDs);
// The value or the default, at most n - 1 characters and a NUL.
void CfStrFromCfg(CfSection section, const char* name, char* buffer, std::size_t n,
                  const char* defaultText);
// strtol / strtoul with base 0: decimal, "0x" hexadecimal, a leading "0" octal.
long CfLongFromCfg(CfSection section, const char* name, long defaultValue);
int CfIntFromCfg(CfSection section, const char* name, int defaultValue);
unsigned long CfULongFromCfg(CfSection section, const char* name, unsigned long defaultValue);
unsigned CfUintFromCfg(CfSection section, const char* name, unsigned defaultValue);
unsigned CfCardFromCfg(CfSection section, const char* name, unsigned defaultValue);
double CfRealFromCfg(CfSection section, const char* name, double defaultValue);
// The value's single character; another length is error 15 and gives the default.
char CfCharFromCfg(CfSection section, const char* name, char defaultValue);
// An entry without value is true; otherwise the value in lower case is searched for
// "true|on|yes|1", then "false|off|no|0"; neither is error 14 and gives the default.
bool CfBoolFromCfg(CfSection section, const char* name, bool defaultValue);
// The value split at commas (blanks and tabs around them dropped), each word converted
// with decimal strtol / strtod. The number of elements; an absent entry, an entry without
// value or a list with a quote left open (error 19) gives 0 and an empty array.
long CfIntArrFromCfg(CfSection section, const char* name, std::vector<std::int32_t>& array);
long CfRealArrFromCfg(CfSection section, const char* name, std::vector<double>& array);

// ---------------------------------------------------------------- diagnostics
// Writes the file, its sections and their entries (with unusedOnly only the entries not
// used) in the layout of the configuration dump.
void CfDumpConfig(CfFile file, FILE* stream, bool unusedOnly);
int CfError();
int CfErrno();
// Text n of the section "CfgFile" (text 2 for numbers beyond the table), at most
// size - 1 characters and a NUL.
void CfStrError(int n, char* buffer, std::size_t size);
