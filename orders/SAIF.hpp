// The tiled image container of the suite, as far as order info files use it: the file
// header and the tag list, a list of named byte strings stored behind the pixel area.
//
// File layout (all integers unsigned, least significant byte first):
//   offset  0  2 bytes  magic 25892
//           2  2        version 1
//           4  2        width (pixels per line)      6  2  height (lines)
//           8  2        tiles across (width + 127) / 128
//          10  2        tiles down (height + 47) / 48
//          12  2        tile width 128              14  2  tile height 48
//          16  2        channels
//          18  4        position of the tag list
//          22  4        data start 1024
// The pixel area holds tiles of 128 x 48 bytes per channel from the data start; a new
// file puts the tag list directly behind it. The tag list is a sequence of
//   2 bytes data length n (1..65535), 128 bytes tag name (at most 127 characters,
//   NUL-filled), n bytes data
// ended by a length of 0 or by the end of the file.
//
// In memory the tags of an open file live in a hash table keyed by the exact tag name.
// The tag list is read once when the file is opened and written back by SAIF_Flush and
// SAIF_Close only when a tag was inserted, replaced or destroyed since. Writing back goes
// through a copy of the file under a temporary name in the same directory that is then
// renamed over the file, so that a reader never sees a half-written tag list.
//
// Errors are kept in SAIF_aifError and raised as ("SAIF", number) after the file name as
// additional information:
//   4 not a container file (magic)        5 header cut short
//   6 unsupported version                 7 unsupported tile size or read error
//   11 tag list unreadable or unwritable
// A file that cannot be opened at all sets SAIF_aifError to 3; the file layer has then
// already reported why.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "Strings.hpp"

struct SAIF_File;
using SAIF = SAIF_File*;
inline constexpr SAIF SAIF_Nil = nullptr;

extern std::uint32_t SAIF_aifError;

inline constexpr std::uint16_t SAIF_magic = 25892;
inline constexpr std::uint16_t SAIF_version = 1;
inline constexpr std::uint16_t SAIF_tileWidth = 128;
inline constexpr std::uint16_t SAIF_tileHeight = 48;
inline constexpr std::uint32_t SAIF_dataStart = 1024;
inline constexpr std::size_t SAIF_tagNameSize = 128;  // the name field, NUL-filled
inline constexpr std::size_t SAIF_maxTagData = 65535;

void SAIF_Init();

// Opens an existing container and reads its header and tag list. nil on failure.
SAIF SAIF_Open(StrIn fileName, std::uint32_t& width, std::uint32_t& height, std::uint32_t& channels,
               bool readOnly);
// Creates (or truncates) a container of the given size with an empty tag list.
SAIF SAIF_Create(StrIn fileName, std::uint32_t width, std::uint32_t height, std::uint32_t channels);
// Writes back a changed tag list, closes the file and sets file to nil.
void SAIF_Close(SAIF& file);
// Writes back a changed tag list.
void SAIF_Flush(SAIF file);

// Copies at most data.size() bytes of the tag's data into data and sets length to the
// number copied; length 0 when the tag does not exist.
void SAIF_TagRetrieve(SAIF file, StrIn name, std::size_t& length, std::span<char> data);
// Creates or replaces the tag with the first min(length, data.size()) bytes of data.
// Storing no byte or more than SAIF_maxTagData bytes is a programming error (HALT).
void SAIF_TagInsertOrReplace(SAIF file, StrIn name, std::size_t length, std::span<const char> data);
// Removes the tag when it exists.
void SAIF_TagDestroy(SAIF file, StrIn name);
// Walk over all tags in table order: name, length and (cut to data.size()) data of the
// first / next tag; false at the end.
bool SAIF_FirstTag(SAIF file, StrOut name, std::size_t& length, std::span<char> data);
bool SAIF_NextTag(SAIF file, StrOut name, std::size_t& length, std::span<char> data);

// Position of the tag list (for tests and tools that look at the layout).
std::uint32_t SAIF_TagListPosition(SAIF file);
