// Reading the header of a medium: the first block of a tape, disk or file system, the
// format it carries, the header head and identification label, the header text copied to
// a temporary file and parsed; on appendable tapes the newest header copy at the end, and
// when that is unreadable a walk over the header pairs from the beginning. Old media (old
// backup content lists, the old sheet-layout tar header) and raw tar or cpio streams are
// read into ordinary headers too.
//
// Media are read only forwards, one block at a time, through the remote-capable device
// calls (rmt...): a disk image may be a pipe or a remote connection.
//
// Errors as in BkArchiv.hpp, with the failing step as additional information
// ("::ReadHeader : ..."). Lower-layer errors are suppressed while a medium is read and
// forgotten on success.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "BFileIO.hpp"
#include "BkArchiv.hpp"
#include "BkDevSel.hpp"

void BkArchivRead_Init();

// Progress texts of the recovery walk; the result is ignored.
using BkArchiv_RhNotifyCB = bool (*)(void* arg, StrIn message);
bool BkArchiv_RhNotifyCBNop(void* arg, StrIn message);

// The first eleven lines of a standard header text, and what the first block tells of
// other formats.
struct BkArchiv_HdrHead {
  std::uint8_t mediaFormat = mfmtUnknown;
  std::uint32_t version = 0;
  char name[128] = "";
  char mediaType[128] = "";
  char createdText[128] = "";
  char modifiedText[128] = "";
  std::uint32_t nextData = 0;
  std::int32_t dirSize = 0;
  std::uint32_t blockLength = 0;  // of the block the head was read from
  char label[256] = "";
  bool isEmpty = false;
};

// What the first block of a medium carries: the format, and where the header text lies
// within the block (offset, size). The member's date and time for old and raw formats.
struct BkArchiv_BlockFormat {
  std::uint8_t mediaFormat = mfmtUnknown;
  long textOffset = 0;
  long long textSize = 0;
  BkArchiv_DateTime date{};
};
// Recognises the first member of a block (tar, GNU tar, then cpio). Only the member
// recognisers are used: a plain header file is told by the caller.
BkArchiv_BlockFormat BkArchiv_CheckHeader(const unsigned char* block, std::size_t length);
// The header head from the text in block (zero-filled after the text); for non-standard
// formats only the dates and the label. bkaError 8 or 9 with a text supplied on failure.
void BkArchiv_StdDataFromText(const BkArchiv_BlockFormat& format, std::string_view text,
                              BkArchiv_HdrHead& head);

// First-block check of the medium in device (tapes are rewound first); the medium is
// closed afterwards. bkaError 5 when it cannot be read; atEnd (no error) when it holds
// nothing; 9 when the header text does not start in the first block.
void BkArchiv_CheckForHeader(const DevListEntry& device, BkArchiv_HdrHead& head, bool& atEnd);
void BkArchiv_CheckForHeader(const DevListEntry& device, std::uint8_t& mediaFormat,
                             std::uint32_t& version, StrOut name, StrOut mediaType,
                             StrOut createdText, StrOut modifiedText, std::uint32_t& nextData,
                             std::int32_t& dirSize, std::uint32_t& blockLength, StrOut label,
                             bool& isEmpty, bool& atEnd);

// Reads and parses the header of the medium in device; hdr is nullptr on failure.
// recovered: the walk over the header pairs found it. With keepContent the header text
// stays in the file named by the header's contentFile.
void BkArchiv_XReadHeader(const DevListEntry& device, bool force, bool recover,
                          BkArchiv_RhNotifyCB notify, void* notifyArg, bool keepContent,
                          Header*& hdr, bool& recovered, bool& isEmpty);
void BkArchiv_ReadHeader(const DevListEntry& device, bool force, Header*& hdr, bool& recovered,
                         bool& isEmpty);

// Parses a header text of the given format from an open file (error 4 for formats
// without a parser here).
void BkArchiv_ParseHeader(BFileIO_File file, std::uint8_t mediaFormat, Header*& hdr, bool& isEmpty);
// A local header copy: appendable when it parses so, a disk header otherwise.
void BkArchiv_ParseArchiveHeader(BFileIO_File file, Header*& hdr, bool& isEmpty);

// The parsers of the older formats on a whole text, into a header made by the caller
// (open for the fuzz targets). bkaError 9 on failure.
// mediaFormat: mfmtATar, mfmtACpio, mfmtRawTar or mfmtRawCpio.
void BkArchiv_ParseContentList(std::string_view text, std::uint8_t mediaFormat, Header* hdr);
void BkArchiv_ParseFolvaneTarHeader(std::string_view text, Header* hdr);
