// The media store: the local copies of the headers of every medium this system wrote or
// read, one file per medium in the local archive directory, named by its media name, and
// the list of known media made from them for the restore dialogs. The list is cached in
// ".knownmedia" beside the copies and refreshed from the directory whenever it is asked
// for; the refresh holds a lock on ".knownmedia.lock" from the scan to the rename of the
// new cache, so two tools recording media at once never lose one another's lines.
//
// Which archives of a medium show, and as which lines, is decided by the archive
// directory handlers: each matches archive types by an extended regular expression, the
// most recently announced handler first.
//
// Failures set BkStore_bksError and are reported under the section "BkStore":
//   1 header copy unreadable, device mismatch or bad filter   2 unknown medium
//   7 label could not be written   8 header copy already exists (no message)
//   9 header copy could not be written
#pragma once

#include <cstdint>

#include "BkArchiv.hpp"
#include "BkDevSel.hpp"
#include "Strings.hpp"

void BkStore_Init();

extern std::uint8_t BkStore_bksError;
// Records error n of the store and raises it with its catalogue text.
void BkStore_Fail(std::uint8_t n);

struct JobInfo {
  JobInfo* next;
  std::uint8_t selected;
  char text[128];
  BkDevSel_Rgb colour;
};

struct MediaInfo {
  MediaInfo* next;
  bool selected;
  char displayText[128];
  BkDevSel_Rgb colour, background;
  bool visited;     // seen during the current refresh
  bool known;       // belongs to the list of all known media
  bool accessible;  // reachable in a jukebox
  bool reserved;
  char reservationName[128];
  std::int32_t mediaId;
  double stamp[2];  // modification time of the header copy when it was read: s, ns
  double minCapacity, maxCapacity;
  double used;
  char created[128], modified[128];
  char mediaType[128];
  char name[128];
  char description[128];
  char label[128];
  char path[128];
  JobInfo* jobs;
  DevListEntry* device;  // owned by the entry, except in the list of all known media
};
using MediaInfoList = MediaInfo*;

// Placeholders for dialogs: empty texts, both capacities -1.
extern MediaInfo BkStore_emptyMediaInfo;
extern JobInfo BkStore_emptyJobInfo;

// The pattern of media types a caller kind sees ("" for none; "." for all).
const char* BkStore_BkDirs_CalledFromToArchiveTypePattern(std::uint8_t calledFrom);

// ---- The media list ----

// Destroys list, refreshes the known media and returns a copy of those the caller sees.
void BkStore_GetMediaInfo(std::uint8_t calledFrom, MediaInfoList& list);
// The known entry with mi's label; false (error 2) when there is none.
bool BkStore_AssertKnownMedia(const MediaInfo* mi, MediaInfo*& known);
MediaInfo* BkStore_SelectByLabel(MediaInfoList list, StrIn label);
MediaInfo* BkStore_SelectByName(MediaInfoList list, StrIn name);
MediaInfo* BkStore_FirstSelectedMedia(MediaInfoList list);
MediaInfo* BkStore_NextSelectedMedia(MediaInfo* mi);
unsigned BkStore_CountSelectedMedias(MediaInfoList list);
void BkStore_CopyMediaInfo(MediaInfoList from, MediaInfoList& to);
MediaInfo* BkStore_CopyMediaInfoEntry(const MediaInfo* mi);
// Appends entry behind last (nullptr: the end of list); last becomes entry.
void BkStore_AppendMediaInfo(MediaInfoList& list, MediaInfo*& last, MediaInfo* entry);
// With release, held reservations are given back and the known entries' reservation flag
// and device cleared.
void BkStore_DestroyMediaInfo(MediaInfoList& list, bool release);
MediaInfo* BkStore_NewMediaInfo();
MediaInfo* BkStore_NewMediaInfoFromHeader(Header* hdr);
// The entry of a header copy; nullptr when it cannot be read or parsed.
MediaInfo* BkStore_NewMediaInfoFromFile(StrIn fileName);
// Inserts the entry of a header copy in description order; false when unreadable.
bool BkStore_InsertMediaInfo(MediaInfoList& list, StrIn fileName);
// Writes list to path by a temporary file and a rename; false when that failed.
bool BkStore_SaveMediaInfo(MediaInfoList list, StrIn path);
// Reads a list written by SaveMediaInfo (file errors suppressed; damaged entries are
// reported on standard error with their line and skipped as the format rules say).
void BkStore_LoadMediaInfo(MediaInfoList& list, StrIn path);
// The same on a text (also for the fuzz target); warnings go to the callback when set.
using BkStore_Warn = void (*)(int line, const char* what);
void BkStore_ParseMediaInfo(std::string_view text, MediaInfoList& list, BkStore_Warn warn);

// ---- Header copies ----

bool BkStore_HeaderToArchive(Header* hdr, bool overwrite);
bool BkStore_HeaderFromArchive(StrIn label, Header*& hdr);
bool BkStore_UpdateMediaInfo(StrIn label, Header* hdr);
bool BkStore_RemoveMediaInfoByLabel(StrIn label);
bool BkStore_RemoveMediaInfoByName(StrIn name);
void BkStore_ReadHeader(DevListEntry& device, bool force, Header*& hdr, bool& recovered,
                        bool& isEmpty);

// ---- Reservations and devices ----

bool BkStore_ReserveMedia(MediaInfo* mi, bool update);
void BkStore_ReleaseMedia(MediaInfo* mi);
bool BkStore_ReserveDevice(MediaInfo* mi, bool forWrite);
void BkStore_ReleaseDevice(MediaInfo* mi);
bool BkStore_GetDevice(MediaInfo* mi, DevListEntry*& device);
void BkStore_SetDevice(MediaInfo* mi, DevListEntry* device);
void BkStore_UnsetDevice(MediaInfo* mi);
void BkStore_SetupDevList(int mediaId, BkDevSel_DevList& list);
void BkStore_SetupFullDevList(int mediaId, BkDevSel_DevList& list);
bool BkStore_AssertLabel(const DevListEntry& device, StrIn expectedLabel);
// The seam under AssertLabel: reads the identification label and media type of the
// medium in a device; false when the first block cannot be read.
using BkStore_LabelReader = bool (*)(const DevListEntry& device, StrOut label, StrOut mediaType);
void BkStore_SetLabelReader(BkStore_LabelReader reader);

// ---- Search ----

struct SearchMediaParams;
SearchMediaParams* BkStore_NewSearchMediaParams();
void BkStore_DestroySearchMediaParams(SearchMediaParams*& params);
bool BkStore_SetMediaFilter(SearchMediaParams* params, StrIn text);
bool BkStore_SetJobFilter(SearchMediaParams* params, StrIn text);
// mode 0 first, 1 previous, 2 next, 3 all.
bool BkStore_SearchMedia(MediaInfoList list, int mode, bool wrap, SearchMediaParams* params);
