// Typed entries of a container file, each stored as one tag:
//   string   its characters without terminator; the empty string as one NUL byte
//   integer  the decimal text of the number
//   real     the number's text in exponent form (20 characters, d.ddd...E+ddd)
// Loading reads at most 5121 bytes of an entry. An absent entry is "not found"; an entry
// stored from the empty string exists and loads as the empty string. Every operation on
// the nil handle does nothing and reports false.
#pragma once

#include <cstdint>

#include "SAIF.hpp"
#include "Strings.hpp"

// Longest entry text that a load takes.
inline constexpr std::size_t SAIFinfo_maxText = 5121;

void SAIFinfo_Init();

// True when the entry exists; text gets it (cut to its capacity).
bool SAIFinfo_LoadString(SAIF file, StrIn key, StrOut text);
// True when stored (false only for the nil handle).
bool SAIFinfo_SaveString(SAIF file, StrIn key, StrIn text);
// True on a valid number; a text that begins with "." is none.
bool SAIFinfo_LoadInteger(SAIF file, StrIn key, std::int32_t& value);
bool SAIFinfo_SaveInteger(SAIF file, StrIn key, std::int32_t value);
bool SAIFinfo_LoadReal(SAIF file, StrIn key, double& value);
bool SAIFinfo_SaveReal(SAIF file, StrIn key, double value);
