// The media header as text: the writer and the parser of the standard header, and the
// content list of old cpio media.
//
// The standard text, one item a line, every line ending in a line feed:
//   10 / label / media type / created / modified / nextData / minCapacity / maxCapacity /
//   dirSize / blkHeader / blkData / "BEGIN COMMENT" / comment lines / "END COMMENT" /
//   "BEGIN DIR" / archive blocks / "END DIR" / ["BEGIN FMDIR" / "fileNo startBlock" ... /
//   "END FMDIR"] / ["BEGIN FULLPATHS" / full paths / "END FULLPATHS"]
// A moment is "dd.mm.yyyy hh:mm:ss". An archive block:
//   "BEGIN ARCHIVE" / type / created / "C" or "N" (software compression) /
//   "BEGIN COMMENT" / lines / "END COMMENT" / "BEGIN FILES" / baseDir /
//   one line per file: path (blank and backslash escaped by a backslash), "F", "D" or
//   "S", size modulo 2^32, date, time, file mark, tape number / "END FILES" / "END ARCHIVE"
//
// Errors as in BkArchiv.hpp. Parse failures supply a text ("::ParseStdSHeader: ...") as
// additional information and set bkaError (9, or 8 for a version mismatch) without
// raising an error; the caller reports and destroys the partly filled header.
#pragma once

#include <cstdint>

#include "BFileIO.hpp"
#include "BkArchiv.hpp"

void BkArchivText_Init();

// Writes the header in the form its format asks for: the standard text (mfmtStdTar,
// mfmtStd, mfmtStdD), the standard text with nextData one higher while the header is new
// or was appended to (mfmtStdTarA, mfmtStdA; on those media every job ends with a header
// copy in data file nextData), or the path list of old cpio media (mfmtACpio, at most one
// archive). Any other format is error 4. Full paths only for local copies.
void BkArchiv_GenHeader(BFileIO_File file, Header* hdr, bool withFullPaths);
// The standard text; sets fmDirPos.
void BkArchiv_GenStdSHeader(BFileIO_File file, Header* hdr, bool withFullPaths);
// Parses the standard text from the file's current position into hdr (made by the
// caller). mediaFormat is the format the medium was found to have; it decides the legal
// range of nextData. isEmpty: the header is that of an empty medium ("EMPTY_MEDIA"),
// whose text may end after the media comment.
//
// Lines are read the way the text layer reads them: tabs arrive as blanks, carriage
// returns vanish, character 26 ends a read, and a line longer than 5119 characters goes
// on as the next line. A character pushed back with BFileIO_UngetChar is not seen.
void BkArchiv_ParseStdSHeader(BFileIO_File file, Header* hdr, std::uint8_t mediaFormat,
                              bool& isEmpty);
