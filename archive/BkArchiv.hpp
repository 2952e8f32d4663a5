// The media header in memory: one Header per medium, its archives in medium order, each
// archive with its file list, and the file-mark directory of media without file marks.
//
// Failures set BkArchiv_bkaError (every operation clears it first) and are reported under
// the message section "BkArchiv":
//   2 device base type not supported     3 no header found on the medium
//   4 media format not supported here    5 first header block not readable
//   7 header could not be read           8 header version mismatch
//   9 header text not parsable           10 header text could not be written
//   12 no memory for a header            13 archive cannot be added
//   14 no memory for an empty archive    15 raw medium without force
//   23 old cpio header with more than one archive
//   24 file marks not dense              25 file marks not starting at 0
//   26 no file list
// Outside an ignore bracket a reported error is fatal (see Messages.hpp); callers that
// handle failures bracket the call and read bkaError afterwards.
#pragma once

#include <cstdint>

#include "BkArchivNames.hpp"
#include "BkFLists.hpp"
#include "StrHash.hpp"
#include "Strings.hpp"
#include "Utility.hpp"

void BkArchiv_Init();

extern std::uint8_t BkArchiv_bkaError;

// A moment as headers keep it (weekday and millisecond are never written).
using BkArchiv_DateTime = BkFLists_DateTime;

struct BkArchiv_Colour {
  std::uint32_t red, green, blue;
};

// Where a data file starts on a medium without file marks, in units of 512 bytes.
struct FmDirEntry {
  FmDirEntry* next;
  std::uint32_t fileNo;
  std::uint32_t startBlock;
};

struct Archive {
  Archive* next;
  bool selected;  // list item fields of the dialogs
  char displayText[128];
  BkArchiv_Colour colour;
  char archiveType[128];  // "Offset-Folvane", "OldFolvane", "Raw Tar", ...
  char archiveComment[4096];
  BkArchiv_DateTime created;
  char host[128];
  char baseDir[1024];         // the files' paths are relative to it
  char writtenBaseDir[1024];  // baseDir as made or read; baseDir may change for a restore
  double mbAvail;
  double mbNeeded;
  FileList files;  // owned by the archive
  bool isNew;      // added in this run, not yet on the medium
  bool softCompress;
};

struct Header {
  std::uint8_t mediaFormat;  // BkArchiv_MediaFormat
  std::uint32_t version;     // always 10
  char label[128];           // media name; "NONAME" until one is assigned
  char expectLabel[128];     // identification label the medium is expected to carry
  char mediaType[128];       // "EMPTY_MEDIA" marks an empty medium
  char mediaComment[4096];   // lines separated by 10; the first is the description
  BkArchiv_DateTime created;
  BkArchiv_DateTime modified;
  Archive* archives;
  Archive* currArchive;  // cursor of GetFirstArchive / GetNextArchive
  std::uint32_t nextDataRead;
  std::uint32_t nextData;  // next free data file on the medium
  double minCapacity;
  double maxCapacity;
  std::int32_t dirSize;  // bytes reserved for the header on the medium
  std::uint32_t blkHeader;
  std::uint32_t blkData;
  std::uint32_t blkDevice;  // tape device block size; 0 for disks and file systems
  std::uint32_t fmDirPos;   // position of the header text behind "END DIR"
  FmDirEntry* fmDir;
  bool newHeader;      // made for a fresh medium in this run
  bool appendPending;  // appendable header read from a non-empty medium, nothing added yet
  bool appended;       // an archive was added to such a header
  bool recovered;
  std::int32_t lastValidHdr;
  char contentFile[1024];
  bool softCompress;
};

// What a header takes from a device description.
struct BkArchiv_DevInfo {
  std::uint8_t baseType;    // 1 tape, 2 disk, 3 file system
  double nativeCapacity;    // tape: without compression
  double maxCapacity;       // tape: with compression
  std::uint32_t blkDevice;  // tape
  double capacity;          // disk and file system
  std::uint32_t blkHeader;
  std::uint32_t blkData;
  std::int32_t dirSize;
  bool softCompress;
  int mediaId;  // media identifier of the device class
};

// Records error n, supplies its catalogue text as additional information and raises it.
void BkArchiv_ReportError(std::uint8_t n);

// ---- Construction and destruction ----

// A fresh header: version 10, label "NONAME", created and modified now, nextData 1 (0 for
// mfmtStdD), newHeader true, lastValidHdr -1, everything else zero or empty.
void BkArchiv_NewHeader(Header*& hdr, std::uint8_t mediaFormat, StrIn mediaType,
                        StrIn mediaComment);
// The header of an empty medium in device, with a newly generated label. The result is
// that of storing the label counter.
bool BkArchiv_GetEmptyHeader(const BkArchiv_DevInfo& device, std::uint8_t mediaFormat,
                             StrIn comment1, StrIn comment2, Header*& hdr);
// Capacities, block sizes, dirSize and softCompress from the device.
void BkArchiv_SetDevInfo(Header* hdr, const BkArchiv_DevInfo& device);
// Adds an archive for writing; fileList passes to the archive. The file marks of the list
// must run densely from 0; they are moved behind the medium's last data file.
void BkArchiv_NewArchive(Header* hdr, Archive*& archive, StrIn archiveType, StrIn archiveComment,
                         StrIn host, StrIn baseDir, FileList fileList);
// Appends an archive of the given type made now on the local host, without files. A
// caller that appends many archives in a row passes the last one as after, which saves
// the walk to the end of the list.
void BkArchiv_AppendEmptyArchive(Header* hdr, Archive*& archive, StrIn archiveType,
                                 Archive* after = nullptr);
// Frees every file list, archive, file-mark entry and the header; hdr becomes nullptr.
void BkArchiv_DestroyHeaderAndArchives(Header*& hdr);
// Format, version, label, media type, both moments, nextDataRead, nextData and the
// archives pairwise (type, creation, baseDir and the file entries) agree.
bool BkArchiv_HeadersEqual(const Header* a, const Header* b);

// Identification label of the header: label, media type and creation moment.
void BkArchiv_MkLabelFromHdr(const Header* hdr, StrOut label);

// ---- Accessors ----

std::uint8_t BkArchiv_GetMediaFormat(const Header* hdr);
void BkArchiv_SetMediaFormat(Header* hdr, std::uint8_t mediaFormat);
bool BkArchiv_IsNewHeader(const Header* hdr);
bool BkArchiv_IsRecoveredHeader(const Header* hdr);
void BkArchiv_GetExpectLabel(const Header* hdr, StrOut label);
void BkArchiv_SetExpectLabel(Header* hdr, StrIn label);
// The media type; isEmpty tells whether it is "EMPTY_MEDIA".
void BkArchiv_GetMediaType(const Header* hdr, StrOut mediaType, bool& isEmpty);
void BkArchiv_SetMediaType(Header* hdr, StrIn mediaType);
void BkArchiv_GetMediaComment(const Header* hdr, StrOut comment);
void BkArchiv_SetMediaComment(Header* hdr, StrIn comment);
// The first line of the media comment.
void BkArchiv_GetMediaDescription(const Header* hdr, StrOut description);
// Walk over the archives; false (archive nullptr) at the end.
bool BkArchiv_GetFirstArchive(Header* hdr, Archive*& archive);
bool BkArchiv_GetNextArchive(Header* hdr, Archive*& archive);
bool BkArchiv_IsNewArchive(const Archive* archive);
void BkArchiv_GetArchiveType(const Archive* archive, StrOut type);
void BkArchiv_SetArchiveType(Archive* archive, StrIn type);
void BkArchiv_GetArchiveComment(const Archive* archive, StrOut comment);
void BkArchiv_SetArchiveComment(Archive* archive, StrIn comment);
void BkArchiv_GetArchiveHost(const Archive* archive, StrOut host);
void BkArchiv_SetArchiveHost(Archive* archive, StrIn host);
void BkArchiv_GetArchiveBaseDir(const Archive* archive, StrOut baseDir);
void BkArchiv_SetArchiveBaseDir(Archive* archive, StrIn baseDir);
FileList BkArchiv_GetArchiveFiles(const Archive* archive);
void BkArchiv_SetArchiveFiles(Archive* archive, FileList files);
double BkArchiv_GetMBAvail(const Archive* archive);
void BkArchiv_SetMBAvail(Archive* archive, double mb);
double BkArchiv_GetMBNeeded(const Archive* archive);
void BkArchiv_SetMBNeeded(Archive* archive, double mb);

// ---- Selection: one archive, or every archive of a header ----

void BkArchiv_ArSelectAllFiles(Archive* archive, bool flag);
void BkArchiv_ArSelectByFileMark(Archive* archive, int mark, bool flag);
// With relative, path is compared with the entries' paths joined to the archive's baseDir.
bool BkArchiv_ArSelectByPath(Archive* archive, StrIn path, bool relative, bool flag);
double BkArchiv_ArSizeOfSelectedFiles(const Archive* archive);
long BkArchiv_ArNumberOfSelectedFiles(const Archive* archive);
bool BkArchiv_ArOneSelected(const Archive* archive);
bool BkArchiv_ArAllSelected(const Archive* archive);
void BkArchiv_ArPushSelection(Archive* archive);
void BkArchiv_ArPopSelection(Archive* archive);

void BkArchiv_HdrSelectAllFiles(Header* hdr, bool flag);
void BkArchiv_HdrSelectByFileMark(Header* hdr, int mark, bool flag);
// True when the path was found in any archive.
bool BkArchiv_HdrSelectByPath(Header* hdr, StrIn path, bool relative, bool flag);
double BkArchiv_HdrSizeOfSelectedFiles(const Header* hdr);
long BkArchiv_HdrNumberOfSelectedFiles(const Header* hdr);
bool BkArchiv_HdrOneSelected(const Header* hdr);
bool BkArchiv_HdrAllSelected(const Header* hdr);
void BkArchiv_HdrPushSelection(Header* hdr);
void BkArchiv_HdrPopSelection(Header* hdr);

// ---- Comments with "%%key value" lines ----

// Appends the line "%%" key " " value (a line feed first unless the comment is empty).
void BkArchiv_EncodeComment(StrOut comment, StrIn key, StrIn value);
// A table of 8 buckets from each key of a "%%" line to its value (a char[128] owned by
// the table). description gets the first line when that is not a key line.
StrHash BkArchiv_DecodeComment(StrIn comment, StrOut description);
void BkArchiv_DestroyCommentHash(StrHash& table);
