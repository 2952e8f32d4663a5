// File lists: the contents of an archive, and the working set of every order or form
// that is to be backed up.
//
// A list is a pointer to its first entry (nullptr for the empty list). Entries are
// chained forward by next; prev points to the predecessor, and the first entry's prev
// points to the last entry, so the end of a list is reached without a walk.
// Lists built by BkFLists_InsertInFileList are sorted by path in byte order (the order
// DSCmp gives, the same as "LC_ALL=C sort") and hold each path once; lists built by
// BkFLists_AppendOnFileList keep the order of appending.
//
// Stored paths never begin with "./". An entry owns one reference to each of its two
// dynamic strings (view starts as the same string as path); a list owns its entries.
#pragma once

#include <cstdint>

#include "DirAcces.hpp"
#include "DynStr.hpp"
#include "Strings.hpp"
#include "Utility.hpp"

void BkFLists_Init();

// Why an entry is in an error list.
inline constexpr int BkFLists_errNone = 0;
inline constexpr int BkFLists_errCannotExamine = 1;  // the file cannot be examined
inline constexpr int BkFLists_errCannotOpenDir = 2;  // the directory cannot be opened
inline constexpr int BkFLists_errNotReadable = 3;    // no read permission for the process
inline constexpr int BkFLists_errOther = 5;          // readable, but the walk failed on it

// Modification time of a file, local time (weekday and millisecond unused, 0).
struct BkFLists_DateTime {
  Utility_Date date;
  Utility_Time time;
};

// Fields are ordered for size (a header of a million files holds a million entries).
struct FileEntry {
  FileEntry* next;
  FileEntry* prev;
  DS view;  // the path as shown to the user
  DS path;  // relative to the archive's base directory
  // Attribute group, always set together from a DirAcces_DirEntry
  // (BkFLists_SetAttributes).
  double size;  // bytes
  std::uint64_t inode;
  std::uint64_t devNo;
  BkFLists_DateTime modified;
  std::uint32_t mode;
  std::uint32_t uid, gid;
  std::uint32_t nlink;
  bool isDir;
  bool isSymlink;  // as examined (see followSymlinks)
  // End of the attribute group.
  bool selected;        // belongs to the current working set
  bool followSymlinks;  // the file was, or is to be, read through symbolic links
  bool savedSelection;  // kept by BkFLists_PushSelection
  int errorKind;        // BkFLists_err...
  int tapeNumber;       // medium of a multi-medium archive that holds the file; 1 when new
  int fileMark;         // data file on the medium that holds the file, 0..65535; 0 when new
};

using FileList = FileEntry*;

// Copies the attribute group (size .. devNo) from a file's status.
void BkFLists_SetAttributes(FileEntry& entry, const DirAcces_DirEntry& info);

// ---- Building and destroying ----

// Sorted insertion of path (a leading "./" removed). An entry with the same path gets the
// new selection and attributes and is returned; its view, marks, errorKind and
// followSymlinks stay. A new entry starts with errorKind 0, tapeNumber 1, fileMark 0,
// followSymlinks and savedSelection false. nullptr when no memory is left (list
// unchanged).
FileEntry* BkFLists_InsertInFileList(FileList& list, StrIn path, bool selected,
                                     const DirAcces_DirEntry& info);
// Appends at the end without sorting or looking for an equal path (a leading "./" is
// removed); nullptr when no memory is left.
FileEntry* BkFLists_AppendOnFileList(FileList& list, StrIn path, bool selected,
                                     const DirAcces_DirEntry& info, int fileMark, int tapeNumber);
// Unlinks and frees every selected entry.
void BkFLists_DeleteSelectedEntries(FileList& list);
// Frees every entry; list becomes nullptr.
void BkFLists_DestroyFileList(FileList& list);

// ---- Selection ----

void BkFLists_SelectAllFiles(FileList list, bool flag);
// Sets selected := flag on every entry whose path contains a match of the POSIX extended
// regular expression (callers anchor it themselves) and returns how many matched. A
// pattern that does not compile is reported by the expression module; the result is 0
// and nothing changes.
long BkFLists_SelectMatchingFiles(FileList list, StrIn pattern, bool flag);
void BkFLists_SelectByFileMark(FileList list, int mark, bool flag);
void BkFLists_SelectByTapeAndMark(FileList list, int tape, int mark, bool flag);
// On a sorted list: the first entry whose path (joined to base when base is not empty)
// equals path gets selected := flag and the result is true. The scan gives up at the
// first entry that sorts after path.
bool BkFLists_SelectByPath(FileList list, DS path, DS base, bool flag);
// Some entry selected (false for the empty list) / every entry selected (true for it).
bool BkFLists_OneSelected(FileList list);
bool BkFLists_AllSelected(FileList list);
long BkFLists_NumberOfSelectedFiles(FileList list);
double BkFLists_SizeOfSelectedFiles(FileList list);
// One level: a second push before the pop overwrites the saved selection.
void BkFLists_PushSelection(FileList list);
void BkFLists_PopSelection(FileList list);

// ---- File marks (all on the selected entries) ----

// fileMark := mark and tapeNumber := 1.
void BkFLists_SetFileMarkValue(FileList list, int mark);
// Smallest and largest fileMark; min and max untouched when nothing is selected.
void BkFLists_GetFileMarkRange(FileList list, int& min, int& max);
// True when every value from the smallest to the largest fileMark occurs; false when
// nothing is selected (min, max untouched then) or a value in between is missing.
bool BkFLists_DenseFileMarks(FileList list, int& min, int& max);
// fileMark += offset.
void BkFLists_OffsetFileMarks(FileList list, int offset);

// ---- Building from a directory tree ----

// Walks the tree at startPath (DirAcces1_FTW) and inserts every file that can be
// examined and read into list with the given selection, exactly as inserting them one
// by one in walk order would, without walking the list for every file. The others go,
// sorted the same way, into a new error list with their errorKind; errorList is set to it
// (a list it held before is not freed). Paths too long to examine are error entries
// with their whole path. Walked from ".", the start directory is entered as ".".
// The result is the walk's: false when it stopped early (no memory left).
bool BkFLists_BuildFileList1(FileList& list, StrIn startPath, bool followSymlinks, bool selected,
                             FileList& errorList);

// ---- View paths ----

// view := path for every entry (shared reference).
void BkFLists_LoadView(FileList list);
// Removes head (and the "/" after it) from the front of every view. ok is false and
// nothing changes when the first entry's view does not lie below head; an empty head or
// list changes nothing with ok true.
void BkFLists_CutPathHeadV(FileList list, StrIn head, bool& ok);
// The longest leading directory shared by all paths: the common prefix of the first two
// cut back to its last "/", shortened by whole components until every further path lies
// below it. When nothing is shared: "/" for absolute paths, "." when every path is
// relative and begins neither with "./" nor with "../", else empty. A single entry gives
// its directory part (empty for a name without directory), the empty list empty.
void BkFLists_MaxCommonHead(FileList list, StrOut head);
