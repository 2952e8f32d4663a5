// The vocabulary by which media are told apart: media formats and their header file
// names, the media names generated from the date and a daily counter, the rules that
// recognise such names, and identification labels.
//
// A media name is "yyyymmddcc.ii": the date, the two-digit counter of the day and the
// two-digit media identifier of the device class, followed by "cI.N" for volume I of a
// set of N >= 2 volumes. Names with a two-digit year ("yymmddcc.si") and with a
// duplicate suffix ("-d" after the counter) are recognised but never generated.
//
// The daily counter lives in the file ".counter" of the local archive directory; reading
// and writing it never reports an error (an unreadable file counts as a new day).
#pragma once

#include <cstdint>

#include "Strings.hpp"
#include "Utility.hpp"

void BkArchivNames_Init();

// Media formats: how a medium is laid out and where its header is.
enum BkArchiv_MediaFormat : std::uint8_t {
  mfmtUnknown = 0,     // no header recognised
  mfmtATar = 1,        // old backup, tar stream with a content list
  mfmtACpio = 2,       // old backup, cpio stream with a content list
  mfmtFolvaneTar = 3,  // old sheet-layout tar
  mfmtStdTar = 4,      // standard header as first tar member
  mfmtStdTarA = 5,     // the same, appendable
  mfmtStd = 6,         // standard header as first cpio member
  mfmtStdA = 7,        // the same, appendable
  mfmtStdD = 8,        // disk or file-system medium with a file-mark directory
  mfmtStdF = 9,        // reserved: a header file name, no reader or writer
  mfmtRawTar = 10,     // tar stream without header
  mfmtRawCpio = 11,    // cpio stream without header
  mfmtLast = 12,       // end of the list, never a medium's format
};

// The media identifier of no known kind of medium.
inline constexpr int BkArchiv_mediaIDNone = -1;

// The local archive directory ("backups" below the projects directory), where header
// copies and the counter file live; stdArchivDir is the copy taken at start-up.
extern char BkArchiv_archivDir[1024];
extern char BkArchiv_stdArchivDir[1024];

// The format's name ("mfmtStdA"); empty for values beyond mfmtLast.
void BkArchiv_MediaFormatToStr(std::uint8_t mediaFormat, StrOut text);
// The format whose name is text; mfmtUnknown for any other text, "mfmtLast" included.
void BkArchiv_StrToMediaFormat(StrIn text, std::uint8_t& mediaFormat);
// Formats with the standard header text (mfmtStdTar .. mfmtStdF).
bool BkArchiv_IsStdFmt(std::uint8_t mediaFormat);
// A nextData read from a medium: 0..65535 on mfmtStdD and mfmtStdF, 1..65535 elsewhere.
bool BkArchiv_IsLegalNextData(std::uint8_t mediaFormat, std::uint32_t value);
// The name of the header file on the medium; empty for formats without one.
void BkArchiv_GetHeaderNameOnMedia(std::uint8_t mediaFormat, StrOut name);

// The counter for today: the stored one when the file is from today, else 1.
std::uint32_t BkArchiv_ReadCounter();
// Stores today's date and counter (permissions 0666); false when that failed.
bool BkArchiv_WriteCounter(std::uint32_t counter);
// The media name for today.
void BkArchiv_MakeName(std::uint32_t counter, int mediaId, int volIndex, int volCount, StrOut name);
// A fresh name from the counter, path := the name in the archive directory, and the next
// counter stored (1 after 99). The result is that of storing the counter.
bool BkArchiv_GenMediaLabel(int mediaId, int volIndex, int volCount, StrOut name, StrOut path);

// The name has one of the three recognised forms.
bool BkArchiv_LegalArchiveName(StrIn name);
// Splits a media name. Outputs not found stay -1, except mediaId (BkArchiv_mediaIDNone),
// dupNo (0), volIndex (0) and volCount (1).
void BkArchiv_DecodeName(StrIn name, int& day, int& month, int& year, int& counter, int& shortDigit,
                         int& mediaId, int& dupNo, int& volIndex, int& volCount);

// "dd.mm.yyyy hh:mm:ss", the way headers and labels write a moment.
void BkArchiv_DateTimeText(const Utility_Date& date, const Utility_Time& time, StrOut text);
// Identification label: name "_" mediaType "_" dateText, every blank made "_".
void BkArchiv_MkLabelFromData(StrIn name, StrIn mediaType, StrIn dateText, StrOut label);
