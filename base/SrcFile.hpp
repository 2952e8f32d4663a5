// Resource settings: a process-wide registry of named settings bound to program
// variables and kept in per-user rc files.
//
// A module defines a setting with its key and the address of its own variable. Values read
// from rc files go straight into that variable; the Set operations validate and store
// there; saving writes every setting back. A value read before its key is defined is kept
// in storage of the registry and adopted by the later definition.
//
// Files: the global file ".velmarrc" (its keys carry the prefix "[global]" in the
// registry, e.g. "[global]showGrid") and the file ".<program>rc" of a program. One line
// per setting: the type letter, one separator, the key up to "=", then the value.
//
// Every operation clears SrcFile_error first. Failures set it and report ("SrcFile", n):
//   1 key already defined          2 key not defined (or unknown)
//   3 key of another type          4 bad line or value in an rc file (strict loading)
//   5 value rejected by the validator, or the file could not be written
//   6 rc file not found (strict loading)
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "Strings.hpp"

// Type letters, in type order.
inline constexpr char SrcFile_typeLetters[] = "BECIRSPFM";

enum class SrcFile_Type : std::uint8_t {
  boolean = 0,
  enumeration = 1,
  cardinal = 2,
  integer = 3,
  real = 4,
  string0 = 5,  // string kinds 0..3 follow in order
  string1 = 6,
  string2 = 7,
  string3 = 8,
};

// Capacity of string settings (HIGH + 1) and of keys.
inline constexpr std::size_t SrcFile_stringSize = 5120;
inline constexpr std::size_t SrcFile_keySize = 128;
inline constexpr std::size_t SrcFile_descriptionSize = 128;

// Where rc files are looked for and written.
enum SrcFile_Location : unsigned {
  SrcFile_customer = 0,  // first directory of VM_CUSTOMER
  SrcFile_home = 1,      // HOME
  SrcFile_current = 2,   // "."
};

// Validators: (value, argument) -> accepted. Consulted by the Set operations of settings
// that have a description.
using SrcFile_CardValidator = bool (*)(std::uint32_t value, void* arg);
using SrcFile_IntValidator = bool (*)(std::int32_t value, void* arg);
using SrcFile_RealValidator = bool (*)(double value, void* arg);
using SrcFile_StringValidator = bool (*)(StrIn value, void* arg);
// Called with its argument after every change through the registry (Set, Load).
using SrcFile_ChangeCallback = void (*)(void* arg);
// Receives warnings meant for the user (by default they are ignored).
using SrcFile_MessageCallback = void (*)(StrIn text);

extern std::uint8_t SrcFile_error;

void SrcFile_Init();

// Sets SrcFile_error to n and reports ("SrcFile", n); for 4 and 5 the name of the last rc
// file opened goes first as additional information.
void SrcFile_Error(std::uint8_t n);

// ---- Definition ----
// The string variables are bounded strings of any capacity up to SrcFile_stringSize.

void SrcFile_DefineBool(StrIn key, bool& b);
void SrcFile_DefineCard(StrIn key, std::uint32_t& x);
void SrcFile_DefineInt(StrIn key, std::int32_t& x);
void SrcFile_DefineReal(StrIn key, double& x);
void SrcFile_DefineString(StrIn key, StrOut s);
void SrcFile_DefineEnum(StrIn key, std::uint8_t& e, std::uint8_t maximum);

void SrcFile_SDefineBool(StrIn key, StrIn description, bool& b);
void SrcFile_SDefineCard(StrIn key, StrIn description, SrcFile_CardValidator validator, void* arg,
                         std::uint32_t& x);
void SrcFile_SDefineInt(StrIn key, StrIn description, SrcFile_IntValidator validator, void* arg,
                        std::int32_t& x);
void SrcFile_SDefineReal(StrIn key, StrIn description, SrcFile_RealValidator validator, void* arg,
                         double& x);
void SrcFile_SDefineString(StrIn key, StrIn description, SrcFile_StringValidator validator,
                           void* arg, StrOut s);
// kind 0..3 (letters S, P, F, M).
void SrcFile_SDefineStringS(StrIn key, StrIn description, unsigned kind,
                            SrcFile_StringValidator validator, void* arg, StrOut s);
// zero must be 0 (error 3 otherwise).
void SrcFile_SDefineEnum(StrIn key, StrIn description, std::uint8_t zero, std::uint8_t& e,
                         std::uint8_t maximum);

bool SrcFile_IsDefined(StrIn key);
// Forgets a setting, defined or only loaded; nothing when unknown.
void SrcFile_SUndefine(StrIn key);
// Forgets a defined setting (error 2 otherwise).
void SrcFile_UndefineI(StrIn key);

// ---- Queries: error 2 when not defined, 3 when of another type ----

bool SrcFile_QueryBool(StrIn key);
std::uint32_t SrcFile_QueryCard(StrIn key);
std::int32_t SrcFile_QueryInt(StrIn key);
double SrcFile_QueryReal(StrIn key);
void SrcFile_QueryString(StrIn key, StrOut s);
void SrcFile_QueryStringS(StrIn key, unsigned& kind, StrOut s);

// The same for keys this program only loaded (error 2 when unknown).
bool SrcFile_QueryBoolForeignProcess(StrIn key);
std::uint32_t SrcFile_QueryCardForeignProcess(StrIn key);
std::int32_t SrcFile_QueryIntForeignProcess(StrIn key);
double SrcFile_QueryRealForeignProcess(StrIn key);
void SrcFile_QueryStringForeignProcess(StrIn key, StrOut s);
void SrcFile_QueryStringSForeignProcess(StrIn key, unsigned& kind, StrOut s);

// ---- Changes of defined settings (error 2 / 3; error 5 when the validator refuses) ----
// SetCard also serves enumerations (the value must then be at most the maximum).

void SrcFile_SetBool(StrIn key, bool value);
void SrcFile_SetCard(StrIn key, std::uint32_t value);
void SrcFile_SetInt(StrIn key, std::int32_t value);
void SrcFile_SetReal(StrIn key, double value);
void SrcFile_SetString(StrIn key, StrIn s);
void SrcFile_SetStringS(StrIn key, unsigned kind, StrIn s);
// As SetStringS without calling the change callback.
void SrcFile_SetStringSnoCB(StrIn key, unsigned kind, StrIn s);

// Attaches the change callback (error 2 when the key is unknown).
void SrcFile_DefineICB(StrIn key, SrcFile_ChangeCallback callback, void* arg);
void SrcFile_DefineMessageCallback(SrcFile_MessageCallback callback);

// ---- Files ----

// The rc file of program (the global file when program is empty): the current directory
// first, then HOME, then VM_CUSTOMER; nothing is reported when none opens.
void SrcFile_Load(StrIn program);
// From one location only; a missing file is no error.
void SrcFile_LoadFromLocation(StrIn program, unsigned location);
// Strict: a missing file is error 6, a bad line error 4.
void SrcFile_LoadFromLocationAndName(StrIn program, unsigned location);
// The text of key's value straight from the file, without the registry; empty if absent.
void SrcFile_GetEntryFromLocation(StrIn program, unsigned location, StrIn key, StrOut value);

// Writes the settings of this program (Processe_ProgramName), the global settings, or
// those of program. Changes other processes saved meanwhile are merged in; the file is
// written under a temporary name and renamed over the old one.
void SrcFile_Save(unsigned location);
void SrcFile_SaveGlobal(unsigned location);
void SrcFile_SaveToLocation(StrIn program, unsigned location);
// Installs, once, a termination procedure that runs SrcFile_Save(location).
void SrcFile_AutoSave(unsigned location);

// ---- Defaults list ----

struct SrcFile_DefaultsEntry {
  SrcFile_DefaultsEntry* next;
  char description[SrcFile_descriptionSize];  // a leading "<<...>>" and blanks removed
  char key[SrcFile_keySize];
  SrcFile_Type type;
};
using SrcFile_DefaultsList = SrcFile_DefaultsEntry*;

// Settings with a description that begins with none of the blank-separated excluded
// words, ordered by description, greatest first.
SrcFile_DefaultsList SrcFile_GetDefaultsList(StrIn excludedWords);
void SrcFile_DestroyDefaultsList(SrcFile_DefaultsList& list);

// Parses rc-file text as if read from a file: global gives the keys the prefix
// "[global]", strict reports bad lines (error 4) and stops there.
void SrcFile_LoadText(std::string_view text, bool global, bool strict);
// The lines a save would write for the program's (or the global) settings, without merging
// and without marking them saved.
std::string SrcFile_SaveText(bool global);

// ---- Test seam ----
// Called after the temporary file is complete and before it is renamed over the rc file
// (with the temporary name and the target); lets tests stop a save at that point.
using SrcFile_BeforeRenameHook = std::function<void(StrIn tmpName, StrIn path)>;
void SrcFile_SetBeforeRenameHook(SrcFile_BeforeRenameHook hook);
