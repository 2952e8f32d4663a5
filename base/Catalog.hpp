// Message catalogues: binary ".srf" files that hold the texts of a program in one
// language, looked up by (section, number).
//
// File layout: a sequence of section records, read until a read fails at the start of
// a record. Integers are unsigned 16-bit, least significant byte first.
//   name      16 bytes   section name, NUL-padded
//   count      2         number of texts in the section (at most 15000)
//   textSize   2         size of the text block in bytes
//   index      count*4   pairs (number: 2, offset: 2), ascending by number
//   texts      textSize  NUL-terminated texts; each offset points at its text
// Sections stand in ascending order of their names (unsigned bytes); lookups walk the
// sorted keys and stop at the first larger one. A record with a count above 15000 ends
// the reading; a record whose index or text block is cut short makes the file damaged
// (reported as ("Catalog", 0)).
//
// A catalogue file "N.srf" for language L is the file L/N.srf, looked up relative to
// the current directory and then in each directory of the colon-separated list in
// ZOLTENV; the native open falls back to the languages "eng" and then "deu".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Strings.hpp"

void Catalog_Init();

struct Catalog_Rec;
using Catalog_Catalogue = Catalog_Rec*;

// Result of the last Catalog call.
extern unsigned Catalog_catError;
inline constexpr unsigned Catalog_ok = 0;
inline constexpr unsigned Catalog_noCatalogue = 1;      // an empty catalogue handle
inline constexpr unsigned Catalog_sectionNotFound = 2;  // lookup: no such section
inline constexpr unsigned Catalog_numberNotFound = 3;   // lookup: no such number
inline constexpr unsigned Catalog_fileNotFound = 4;     // open: in no language, nowhere
inline constexpr unsigned Catalog_fileDamaged = 5;      // open: record cut short
inline constexpr unsigned Catalog_enumNotFound = 6;     // enumeration: no such section

inline constexpr unsigned Catalog_maxCount = 15000;

// The user's language from LANGUAGE (or, when that is empty, LANG) as a three-letter
// code: "de..." gives "deu", "en..." "eng", "fr..." "fra", "it..." "ita", "es..." "spa",
// "pl..." "pol", "pt..." "por"; "german..."/"German..." give "deu", "English..." "eng";
// any other value is taken as it is (cut to the capacity of lang). deflt when neither
// variable is set.
void Catalog_GetLanguage(StrOut lang, StrIn deflt);

// Reads the catalogue file fileName (e.g. "zoltmsg.srf") in the user's language (the
// language of Catalog_GetLanguage with default "eng"), falling back to "eng" and then
// "deu". Empty result when the file is missing (error 4) or damaged (error 5).
Catalog_Catalogue Catalog_OpenCatalogue(StrIn fileName);
// The directories Catalog_OpenCatalogue looks in, in its order: each language's
// directory below the current one, then below each directory of ZOLTENV.
std::vector<std::string> Catalog_SearchedDirectories();
// The same for the language lang only, without fallback.
Catalog_Catalogue Catalog_OpenForeignCatalogue(StrIn fileName, StrIn lang);
// Frees the catalogue and empties the handle.
void Catalog_CloseCatalogue(Catalog_Catalogue& cat);

// The text of (section, number) into text; "???" when absent (error 1, 2 or 3).
void Catalog_GetString(Catalog_Catalogue cat, StrIn section, std::uint32_t number, StrOut text);
// The same as a reference into the catalogue (valid until it is closed).
const char* Catalog_GetStringRef(Catalog_Catalogue cat, StrIn section, std::uint32_t number);

// Starts an enumeration of the texts of section in index order (error 6 when the
// catalogue has no such section; the enumeration is then empty).
void Catalog_StartSection(Catalog_Catalogue cat, StrIn section);
// The next text of the enumeration and its number; nullptr (and number 0) at the end.
const char* Catalog_NextStringRef(Catalog_Catalogue cat, std::uint32_t& number);
