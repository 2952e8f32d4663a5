// Dialog catalogues: the context templates of ".drf" files, kept in a pool in the order
// loaded (newest first) and looked up by name across all of them.
//
// File layout (integers 32-bit, least significant byte first):
//   24291, 4                      magic value and format version
//   4 values                      reserved, skipped
//   identifier pool               count, then per identifier its length (16-bit) and bytes;
//                                 identifier 0 is the empty text
//   contexts                      count, then per context:
//     name                        identifier
//     AObjs                       count, then per AObj: name, note (identifiers), number,
//                                 template reference, attribute list
//     RObjs                       count, then per RObj: name (identifier), its own number,
//                                 the number of the AObj it shows (0: none), template
//                                 reference, attribute list, then its child RObjs the same way
//   attribute list                count, then pairs of identifiers (key, value)
//   template reference            identifier (0: none); the first time a template appears
//                                 it is followed by a flag byte 0, the template's attribute
//                                 list and the reference of the template it extends
// Attributes are looked up on the object first, then along its template chain.
//
// Errors (section "IdlgCat", IdlgCat_error): 1 not a dialog catalogue, 2 another format
// version, 3 file not found, 4 context not found (its name as additional information),
// 6 file not loadable (the path as additional information).
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "Strings.hpp"

void IdlgCat_Init();

extern std::uint8_t IdlgCat_error;

inline constexpr std::uint32_t IdlgCat_magic = 24291;
inline constexpr std::uint32_t IdlgCat_version = 4;

using IdlgCat_Attrs = std::vector<std::pair<const char*, const char*>>;

struct IdlgCat_Template {
  const char* name;
  IdlgCat_Attrs attrs;
  const IdlgCat_Template* base;
};

struct IdlgCat_AObj {
  const char* name;
  const char* note;
  std::int32_t number;
  const IdlgCat_Template* tmpl;
  IdlgCat_Attrs attrs;
};

struct IdlgCat_RObj {
  const char* name;
  std::int32_t number;
  std::int32_t aobj;
  const IdlgCat_Template* tmpl;
  IdlgCat_Attrs attrs;
  std::vector<IdlgCat_RObj> children;
};

struct IdlgCat_Context {
  const char* name;
  const char* catalogue;
  std::vector<IdlgCat_AObj> aobjs;
  std::vector<IdlgCat_RObj> robjs;
};

// The value of key on the object or along its template chain; nullptr when absent.
const char* IdlgCat_Attr(const IdlgCat_Attrs& own, const IdlgCat_Template* tmpl,
                         std::string_view key);

// Loads the catalogue (".drf" added when the name has no extension) from
// <ZOLTENV directory>/<language>/<name> for the current language, then "eng", then
// "deu". A catalogue already loaded is not loaded again. False on error (3 or 6).
bool IdlgCat_UseContextCat(StrIn name);
// Loads one file by path (errors 1, 2, 6); the pool keeps it under its file name.
bool IdlgCat_LoadFile(StrIn path);

// The template of that name, newest catalogue first; nullptr when none has it.
const IdlgCat_Context* IdlgCat_Find(StrIn name);
// The same, reporting error 4 when absent.
const IdlgCat_Context* IdlgCat_GetContext(StrIn name);
// Every template of every loaded catalogue (newest catalogue first).
std::vector<const IdlgCat_Context*> IdlgCat_AllContexts();
// Names of the loaded catalogues, newest first.
std::vector<const char*> IdlgCat_Catalogues();
