// Reading headers from media. See BkArchivRead.hpp.
#include "BkArchivRead.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "BkArchivNames.hpp"
#include "BkArchivText.hpp"
#include "BkFLists.hpp"
#include "DirAcces.hpp"
#include "DynStr.hpp"
#include "Messages.hpp"
#include "Rmt.hpp"
#include "SFilMisc.hpp"
#include "Strings.hpp"
#include "TpTape.hpp"
#include "UCommon.hpp"
#include "Utility.hpp"

namespace {

constexpr char kSection[] = "BkArchiv";
constexpr long kHdrBlock = 10240;
constexpr char kContentPrefix[] = "/projects/tmp/content";
// A header text larger than this is not a header: nobody lists that many files.
constexpr long long kMaxText = 1LL << 30;

bool IsAppendable(std::uint8_t f) { return f == mfmtStdTarA || f == mfmtStdA; }
bool IsOldOrRaw(std::uint8_t f) {
  return f == mfmtATar || f == mfmtACpio || f == mfmtRawTar || f == mfmtRawCpio;
}

void Supply(const std::string& text) { Messages_SupplyAdditionalInfo(text); }

std::string DateText(const BkArchiv_DateTime& m) {
  char text[64];
  BkArchiv_DateTimeText(m.date, m.time, text);
  return text;
}

// The medium of one reading operation, and what has been read of it.
struct Reader {
  const DevListEntry& dev;
  int fd = -1;
  bool isFile = false;  // the plain "DHEADER" of a file system
  std::vector<unsigned char> block;
  long blockLen = 0;
  BkArchiv_BlockFormat format;
  std::int32_t lastValidHdr = -1;
  bool recovered = false;
  BkArchiv_RhNotifyCB notify = BkArchiv_RhNotifyCBNop;
  void* notifyArg = nullptr;

  explicit Reader(const DevListEntry& d) : dev(d) {}
  ~Reader() { Close(); }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  bool Tape() const { return dev.baseType == BkDevSel_tape; }
  void Close() {
    if (fd >= 0) rmtclose(fd);
    fd = -1;
  }
  std::string DevPath() const {
    if (dev.isLocal || dev.record.host[0] == '\0') return dev.record.devName;
    return std::string(dev.record.host) + ":" + dev.record.devName;
  }
  bool Local() const { return dev.isLocal || dev.record.host[0] == '\0'; }

  // One tape block, or length bytes of a disk or file (as many reads as a pipe needs).
  long ReadBlock(long length) {
    if (Tape()) {
      char* buffer = nullptr;
      long size = 0;
      const long n = rmtTpReadBlock(fd, &buffer, &size);
      if (n > 0) block.assign(buffer, buffer + n);
      std::free(buffer);
      blockLen = n > 0 ? n : 0;
      return n;
    }
    block.assign(static_cast<std::size_t>(length), 0);
    long got = 0;
    while (got < length) {
      const long n = rmtread(fd, reinterpret_cast<char*>(block.data()) + got,
                             static_cast<std::size_t>(length - got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return got > 0 ? got : -1;
      if (n == 0) break;
      got += n;
    }
    blockLen = got;
    return got;
  }

  // The first block; readable and atEnd as the medium tells.
  void ReadFirst(long length, bool& readable, bool& atEnd) {
    readable = false;
    atEnd = false;
    if (length == 0) length = dev.blkHeader != 0 ? static_cast<long>(dev.blkHeader) : kHdrBlock;
    const bool opened = fd < 0;
    if (opened) {
      std::string path;
      if (dev.baseType == BkDevSel_filesys) {
        const char* root = dev.fs.root != nullptr ? DSStr(dev.fs.root) : "";
        if (rmtaccess(
                (Local() ? std::string(root) : std::string(dev.record.host) + ":" + root).c_str(),
                Local(), 3) != 1) {
          Supply(root);
          Supply("::ReadFirstHdrBlock : missing root dir");
          return;
        }
        path = std::string(root) + "/DHEADER";
        if (!Local()) path = std::string(dev.record.host) + ":" + path;
        if (rmtaccess(path.c_str(), Local(), 3) != 1) {
          readable = atEnd = true;
          return;
        }
        isFile = true;
      } else if (dev.baseType == BkDevSel_tape || dev.baseType == BkDevSel_disk) {
        path = DevPath();
      } else {
        Supply("::ReadFirstHdrBlock : unsupported devType");
        return;
      }
      fd = rmtopen(path.c_str(), Local(), 0);
      if (fd < 0) {
        Supply("::ReadFirstHdrBlock : open failed");
        return;
      }
    }
    if (Tape()) {
      if (opened && rmtTpTapeOp(fd, TpRewind, 1) != 0) {
        Close();
        return;
      }
      const long n = ReadBlock(0);
      readable = true;
      atEnd = n < 1;
    } else {
      // A stream that cannot seek (a pipe) stands at its start when just opened.
      if (opened && rmtlseek(fd, 0, SEEK_SET) == -1 && errno != ESPIPE) {
        Close();
        return;
      }
      const long n = ReadBlock(length);
      readable = n >= 0;
      atEnd = n == 0;
    }
    if (!readable || atEnd) {
      block.clear();
      blockLen = 0;
      if (opened) Close();
    }
  }

  // The format of the block in hand; a plain header file when no member is found.
  void Recognise() {
    format = BkArchiv_CheckHeader(block.data(), static_cast<std::size_t>(blockLen));
    if (format.mediaFormat != mfmtUnknown || !isFile) return;
    BkArchiv_BlockFormat plain;
    plain.mediaFormat = mfmtStdD;
    BkArchiv_HdrHead head;
    const std::size_t n = std::min<std::size_t>(128, static_cast<std::size_t>(blockLen));
    {
      Messages_Ignoring quiet;
      BkArchiv_StdDataFromText(plain, std::string_view(reinterpret_cast<char*>(block.data()), n),
                               head);
      Messages_ForgetErrorReasons();
    }
    if (BkArchiv_bkaError != 0) return;
    int flag = 0;
    long long mtime = 0, size = 0;
    if (rmtfstat(fd, &flag, &mtime, &size) != 0) return;
    plain.textSize = size;
    std::time_t t = static_cast<std::time_t>(mtime);
    std::tm tm{};
    localtime_r(&t, &tm);
    plain.date.date = {static_cast<unsigned>(tm.tm_mday), static_cast<unsigned>(tm.tm_mon + 1),
                       static_cast<unsigned>(tm.tm_year + 1900), 0};
    plain.date.time = {static_cast<unsigned>(tm.tm_hour), static_cast<unsigned>(tm.tm_min),
                       static_cast<unsigned>(tm.tm_sec), 0};
    format = plain;
  }

  // The head of the block in hand; false when the text does not start in it or the
  // head does not read.
  bool Head(BkArchiv_HdrHead& head) {
    const long limit = std::min(blockLen, kHdrBlock);
    if (format.textOffset >= limit) {
      BkArchiv_bkaError = 9;
      Supply("::FCheckForHeader: cannot reach first data");
      return false;
    }
    std::string text(reinterpret_cast<const char*>(block.data()) + format.textOffset,
                     static_cast<std::size_t>(limit - format.textOffset));
    if (static_cast<long long>(text.size()) > format.textSize) {
      text.resize(static_cast<std::size_t>(std::max(0LL, format.textSize)));
    }
    text.resize(kHdrBlock, '\0');
    BkArchiv_StdDataFromText(format, text, head);
    head.blockLength = static_cast<std::uint32_t>(blockLen);
    return BkArchiv_bkaError == 0;
  }

  // The first-block check at the tape's position.
  bool CheckHere(BkArchiv_HdrHead& head) {
    bool readable = false, atEnd = false;
    ReadFirst(kHdrBlock, readable, atEnd);
    if (!readable || atEnd) return false;
    Recognise();
    return Head(head);
  }

  bool ReadAndRecogniseAppendable() {
    if (ReadBlock(0) < 1) return false;
    Recognise();
    return IsAppendable(format.mediaFormat);
  }

  bool FindLastHeader() {
    for (int n = 1; n <= 2; ++n) {
      if (rmtTpTapeOp(fd, TpSpaceToEndOfData, 1) == 0 &&
          rmtTpTapeOp(fd, TpBackwardSpaceFiles, n + 1) == 0 &&
          rmtTpTapeOp(fd, TpForwardSpaceFiles, 1) == 0 && ReadAndRecogniseAppendable()) {
        return true;
      }
    }
    Supply("::FindLastHeader: calling DoRecover");
    return DoRecover();
  }

  void Note(int walk, const std::string& text) {
    Utility_Date d;
    Utility_Time t;
    Utility_GetSysDateTime(d, t);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%02u.%02u.%02u %02u:%02u:%02u", d.day, d.month,
                  d.year % 100, t.hour, t.minute, t.second);
    notify(notifyArg, "Recover" + std::to_string(walk) + ": " + stamp + " " + text);
  }

  // Ends a walk at the last valid header.
  bool SeekLastValid(int walk) {
    if (rmtTpSeekTo(fd, lastValidHdr) == 0) return true;
    Note(walk, "failed to seek to last valid header at " + std::to_string(lastValidHdr));
    Supply("::ReadHeader.Recover" + std::to_string(walk) + " : cannot seek to last valid header");
    return false;
  }

  bool NoValid(int walk) {
    Note(walk, "no valid header");
    Supply("::no valid archive found");
    return false;
  }

  // Recover0 moves by rewinding and spacing from the start, Recover1 by spacing forward.
  bool Walk(int walk) {
    const std::string name = "::ReadHeader.Recover" + std::to_string(walk);
    Note(walk, "Start");
    if (rmtTpTapeOp(fd, TpRewind, 1) != 0) {
      Supply(name + " : cannot rewind");
      return false;
    }
    lastValidHdr = 0;
    long pos = 0;
    bool first = true;
    auto stop = [&] {
      if (first) return NoValid(walk);
      Note(walk, "lastValidHdr = " + std::to_string(lastValidHdr));
      return SeekLastValid(walk);
    };
    for (;;) {
      Note(walk, "check first header at " + std::to_string(pos));
      BkArchiv_HdrHead one;
      if (!CheckHere(one) || !IsAppendable(one.mediaFormat) ||
          static_cast<long>(one.nextData) <= pos) {
        Note(walk, "first header at " + std::to_string(pos) + " bad");
        return stop();
      }
      Note(walk, "first header at " + std::to_string(pos) + " ok");
      const long second = static_cast<long>(one.nextData) - 1;
      const bool moved =
          walk == 0 ? rmtTpSeekTo(fd, static_cast<int>(second)) == 0
                    : rmtTpTapeOp(fd, TpForwardSpaceFiles, static_cast<int>(second - pos)) == 0;
      if (!moved) {
        Note(walk, "seek to second header at " + std::to_string(second) + " failed");
        return stop();
      }
      pos = second;
      BkArchiv_HdrHead two;
      const bool same =
          CheckHere(two) && two.mediaFormat == one.mediaFormat && two.version == one.version &&
          std::strcmp(two.name, one.name) == 0 && std::strcmp(two.mediaType, one.mediaType) == 0 &&
          std::strcmp(two.createdText, one.createdText) == 0 &&
          std::strcmp(two.modifiedText, one.modifiedText) == 0 && two.nextData == one.nextData &&
          two.dirSize == one.dirSize && two.blockLength == one.blockLength;
      if (!same) {
        Note(walk, "second header at " + std::to_string(pos) + " bad");
        if (first) return NoValid(walk);
        Note(walk, "lastValidHdr = " + std::to_string(lastValidHdr));
        if (rmtTpTapeOp(fd, TpRewind, 1) != 0) {
          Supply(name + " : cannot rewind 2");
          return false;
        }
        return SeekLastValid(walk);
      }
      Note(walk, "second header at " + std::to_string(pos) + " ok");
      first = false;
      lastValidHdr = static_cast<std::int32_t>(one.nextData) - 1;
      const bool next = walk == 0 ? rmtTpSeekTo(fd, static_cast<int>(one.nextData)) == 0
                                  : rmtTpTapeOp(fd, TpForwardSpaceFiles,
                                                static_cast<int>(one.nextData - pos)) == 0;
      if (!next) {
        Note(walk, "seek to next data at " + std::to_string(one.nextData) +
                       " failed; lastValidHdr = " + std::to_string(lastValidHdr));
        return SeekLastValid(walk);
      }
      Note(walk, "checking for next header pair at " + std::to_string(one.nextData));
      pos = static_cast<long>(one.nextData);
    }
  }

  bool DoRecover() {
    if (DirAcces_CheckFlag("BK_NORECOVER")) {
      Supply("::ReadHeader.DoRecover : no recover; /customer/BK_NORECOVER exists");
      return false;
    }
    int walk = 1;
    if (DirAcces_CheckFlag("BK_RECOVER0")) {
      Supply("::ReadHeader.DoRecover : using Recover0(); /customer/BK_RECOVER0 exists");
      walk = 0;
    }
    if (Walk(walk)) {
      recovered = true;
      if (ReadAndRecogniseAppendable()) return true;
    }
    lastValidHdr = -1;
    return false;
  }
};

// Lines of a text as the old media wrote them: line feeds end lines, a carriage return
// before one is dropped.
struct Lines {
  std::string_view text;
  std::size_t at = 0;
  bool Next(std::string& line, std::size_t max = 5119) {
    if (at >= text.size()) return false;
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    line.assign(text.substr(at, std::min(end - at, max)));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    at = end + 1;
    return true;
  }
};

bool ToCard(const std::string& s, std::uint32_t& v) {
  char* end = nullptr;
  errno = 0;
  const char* p = s.c_str();
  while (*p == ' ') ++p;
  if (*p < '0' || *p > '9') return false;
  const unsigned long long x = std::strtoull(p, &end, 10);
  while (*end == ' ') ++end;
  if (errno != 0 || *end != '\0' || x > 0xFFFFFFFFULL) return false;
  v = static_cast<std::uint32_t>(x);
  return true;
}
bool ToInt(const std::string& s, std::int32_t& v) {
  char* end = nullptr;
  errno = 0;
  const long long x = std::strtoll(s.c_str(), &end, 10);
  while (*end == ' ') ++end;
  if (errno != 0 || end == s.c_str() || *end != '\0' || x < INT32_MIN || x > INT32_MAX)
    return false;
  v = static_cast<std::int32_t>(x);
  return true;
}
bool ToReal(const std::string& s, double& v) {
  char* end = nullptr;
  v = std::strtod(s.c_str(), &end);
  while (*end == ' ') ++end;
  return end != s.c_str() && *end == '\0';
}

bool ParseMoment(const std::string& date, const std::string& time, BkArchiv_DateTime& m) {
  unsigned d = 0, mo = 0, y = 0, h = 0, mi = 0, s = 0;
  char extra = 0;
  if (std::sscanf(date.c_str(), "%2u.%2u.%4u%c", &d, &mo, &y, &extra) != 3 ||
      std::sscanf(time.c_str(), "%2u:%2u:%2u%c", &h, &mi, &s, &extra) != 3 || d < 1 || d > 31 ||
      mo < 1 || mo > 12 || h > 23 || mi > 59 || s > 59) {
    return false;
  }
  m.date = {d, mo, y, 0};
  m.time = {h, mi, s, 0};
  return true;
}

std::string Msg(std::uint32_t n) {
  char text[5120];
  Messages_GetMsg(kSection, n, text);
  return text;
}

// Error 9 with catalogue message n as the reason.
void Bad(std::uint32_t n) {
  Supply(Msg(n));
  BkArchiv_bkaError = 9;
}

bool AppendFile(Archive* a, const std::string& path, double size, const BkArchiv_DateTime& m,
                int mark, int tape) {
  // The file list takes one leading "./" off; nothing may be left of the path then.
  std::string_view p(path.c_str());  // a NUL read from the medium ends the path
  if (p.starts_with("./")) p.remove_prefix(2);
  if (p.empty()) return false;
  DirAcces_DirEntry info{};
  info.size = size;
  info.day = m.date.day;
  info.month = m.date.month;
  info.year = m.date.year;
  info.hour = m.time.hour;
  info.minute = m.time.minute;
  info.second = m.time.second;
  return BkFLists_AppendOnFileList(a->files, path, true, info, mark, tape) != nullptr;
}

// Parses by format without raising; bkaError tells the outcome.
void ParseQuiet(BFileIO_File file, std::uint8_t mediaFormat, Header*& hdr, bool& isEmpty) {
  isEmpty = false;
  BkArchiv_NewHeader(hdr, mediaFormat, "", "");
  if (hdr == nullptr) return;
  hdr->newHeader = false;
  hdr->nextDataRead = hdr->nextData = 2;
  switch (mediaFormat) {
    case mfmtATar:
    case mfmtACpio:
    case mfmtFolvaneTar:
    case mfmtRawTar:
    case mfmtRawCpio: {
      std::string text;
      char buffer[65536];
      for (;;) {
        BFileIO_Read(file, buffer, sizeof buffer);
        if (BFileIO_bytesTransferred == 0) break;
        text.append(buffer, BFileIO_bytesTransferred);
        if (static_cast<long long>(text.size()) > kMaxText) break;
      }
      if (mediaFormat == mfmtFolvaneTar) {
        BkArchiv_ParseFolvaneTarHeader(text, hdr);
      } else {
        BkArchiv_ParseContentList(text, mediaFormat, hdr);
      }
      break;
    }
    case mfmtStdTar:
    case mfmtStd:
    case mfmtStdD:
    case mfmtStdTarA:
    case mfmtStdA:
      BkArchiv_ParseStdSHeader(file, hdr, mediaFormat, isEmpty);
      if (BkArchiv_bkaError == 0 && IsAppendable(mediaFormat)) {
        if (isEmpty) {
          hdr->nextDataRead = hdr->nextData = 1;
        } else {
          hdr->appendPending = true;
        }
      }
      break;
    default:
      BkArchiv_bkaError = 4;
  }
  if (BkArchiv_bkaError != 0) {
    const std::uint8_t n = BkArchiv_bkaError;
    BkArchiv_DestroyHeaderAndArchives(hdr);
    BkArchiv_bkaError = n;
    return;
  }
  hdr->expectLabel[0] = '\0';
  if (BkArchiv_IsStdFmt(mediaFormat)) BkArchiv_MkLabelFromHdr(hdr, hdr->expectLabel);
  if (isEmpty) hdr->newHeader = true;
  for (Archive* a = hdr->archives; a != nullptr; a = a->next) {
    if (mediaFormat == mfmtATar || mediaFormat == mfmtACpio) {
      // An entry followed by one below it was a directory.
      for (FileEntry* e = a->files; e != nullptr && e->next != nullptr; e = e->next) {
        const std::string_view path = DSStr(e->path), below = DSStr(e->next->path);
        if (below.size() > path.size() && below.substr(0, path.size()) == path &&
            (below[path.size()] == '/' || path.ends_with('/'))) {
          e->isDir = true;
        }
      }
    }
    BkFLists_SelectAllFiles(a->files, true);
    a->isNew = false;
  }
}

}  // namespace

void BkArchivRead_Init() {
  static bool done = false;
  if (done) return;
  done = true;
  UCommon_Init();
  Strings_Init();
  Messages_Init();
  BFileIO_Init();
  DirAcces_Init();
  DynStr_Init();
  Utility_Init();
  SFilMisc_Init();
  TpTape_Init();
  Rmt_Init();
  BkFLists_Init();
  BkDevSel_Init();
  BkArchivNames_Init();
  BkArchiv_Init();
  BkArchivText_Init();
}

bool BkArchiv_RhNotifyCBNop(void*, StrIn) { return true; }

BkArchiv_BlockFormat BkArchiv_CheckHeader(const unsigned char* block, std::size_t length) {
  BkArchiv_BlockFormat f;
  if (block == nullptr || length < 512) return f;
  char name[1024] = "";
  TpEntry e{};
  e.name = name;
  e.nameLength = sizeof name;
  bool tar = true;
  if (!TpIsTar(block, length, e) && !TpIsGTar(block, length, e)) {
    tar = false;
    if (!TpIsCpio(block, length, e)) return f;
  }
  const std::string_view n = name;
  if (n.starts_with(kContentPrefix)) {
    f.mediaFormat = tar ? mfmtATar : mfmtACpio;
  } else if (tar) {
    f.mediaFormat = n == "HEADER"    ? mfmtFolvaneTar
                    : n == "SHEADER" ? mfmtStdTar
                    : n == "AHEADER" ? mfmtStdTarA
                                     : mfmtRawTar;
  } else {
    f.mediaFormat = n == "SHEADER"   ? mfmtStd
                    : n == "AHEADER" ? mfmtStdA
                    : n == "DHEADER" ? mfmtStdD
                                     : mfmtRawCpio;
  }
  f.textOffset = e.headerLength;
  f.textSize = e.dataLength;
  f.date.date = {static_cast<unsigned>(e.time.day), static_cast<unsigned>(e.time.month),
                 static_cast<unsigned>(e.time.year), 0};
  f.date.time = {static_cast<unsigned>(e.time.hour), static_cast<unsigned>(e.time.minute),
                 static_cast<unsigned>(e.time.second), 0};
  return f;
}

void BkArchiv_StdDataFromText(const BkArchiv_BlockFormat& format, std::string_view text,
                              BkArchiv_HdrHead& head) {
  BkArchiv_bkaError = 0;
  head = BkArchiv_HdrHead{};
  head.mediaFormat = format.mediaFormat;
  if (!BkArchiv_IsStdFmt(format.mediaFormat)) {
    if (IsOldOrRaw(format.mediaFormat)) {
      const std::string date = DateText(format.date);
      Strings_Assign(date, head.createdText);
      Strings_Assign(date, head.modifiedText);
      char fmtName[64];
      BkArchiv_MediaFormatToStr(format.mediaFormat, fmtName);
      BkArchiv_MkLabelFromData("", fmtName, date, head.label);
    } else {
      Strings_Assign("unkown_label", head.label);
    }
    return;
  }
  const std::size_t nul = text.find('\0');
  Lines lines{text.substr(0, nul)};
  std::string line[11];
  int count = 0;
  while (count < 11 && lines.Next(line[count], 127)) ++count;
  std::uint32_t version = 0;
  if (count < 1 || !ToCard(line[0], version) || version != 10) {
    Supply("::StdDataFromText: wrong version");
    BkArchiv_bkaError = 8;
    return;
  }
  if (count < 11) {
    Supply("::StdDataFromText: error reading header head");
    BkArchiv_bkaError = 9;
    return;
  }
  head.version = version;
  Strings_Assign(line[1], head.name);
  Strings_Assign(line[2], head.mediaType);
  Strings_Assign(line[3], head.createdText);
  Strings_Assign(line[4], head.modifiedText);
  double capacity = 0;
  std::uint32_t blk = 0;
  if (!ToCard(line[5], head.nextData) || !ToReal(line[6], capacity) || !ToReal(line[7], capacity) ||
      !ToInt(line[8], head.dirSize) || !ToCard(line[9], blk) || !ToCard(line[10], blk)) {
    Supply("::StdDataFromText: error in numeric conversion");
    BkArchiv_bkaError = 9;
    return;
  }
  BkArchiv_MkLabelFromData(head.name, head.mediaType, head.createdText, head.label);
  head.isEmpty = std::string_view(head.mediaType) == "EMPTY_MEDIA";
}

void BkArchiv_CheckForHeader(const DevListEntry& device, BkArchiv_HdrHead& head, bool& atEnd) {
  BkArchiv_bkaError = 0;
  head = BkArchiv_HdrHead{};
  atEnd = false;
  Messages_Ignoring quiet;
  Reader r(device);
  bool readable = false;
  r.ReadFirst(kHdrBlock, readable, atEnd);
  std::uint8_t error = 0;
  if (!readable) {
    error = 5;
  } else if (!atEnd) {
    r.Recognise();
    if (!r.Head(head)) error = BkArchiv_bkaError;
  }
  r.Close();
  quiet.Close();
  if (error != 0) {
    BkArchiv_ReportError(error);
  } else {
    Messages_ForgetErrorReasons();
  }
}

void BkArchiv_CheckForHeader(const DevListEntry& device, std::uint8_t& mediaFormat,
                             std::uint32_t& version, StrOut name, StrOut mediaType,
                             StrOut createdText, StrOut modifiedText, std::uint32_t& nextData,
                             std::int32_t& dirSize, std::uint32_t& blockLength, StrOut label,
                             bool& isEmpty, bool& atEnd) {
  BkArchiv_HdrHead head;
  BkArchiv_CheckForHeader(device, head, atEnd);
  mediaFormat = head.mediaFormat;
  version = head.version;
  Strings_Assign(head.name, name);
  Strings_Assign(head.mediaType, mediaType);
  Strings_Assign(head.createdText, createdText);
  Strings_Assign(head.modifiedText, modifiedText);
  nextData = head.nextData;
  dirSize = head.dirSize;
  blockLength = head.blockLength;
  Strings_Assign(head.label, label);
  isEmpty = head.isEmpty;
}

namespace {

// The header text of the medium into a temporary file; 0 or the error.
std::uint8_t ReadContent(Reader& r, bool force, bool recover, bool keepContent, BFileIO_File& tmp,
                         std::string& tmpName) {
  r.lastValidHdr = -1;
  bool readable = false, atEnd = false;
  r.ReadFirst(kHdrBlock, readable, atEnd);
  if (!readable || atEnd) {
    Supply("::ReadHeader: ReadFirstHdrBlock failed");
    return 7;
  }
  r.Recognise();
  const std::uint8_t f = r.format.mediaFormat;
  if ((f == mfmtRawTar || f == mfmtRawCpio) && !force) {
    Supply("::ReadHeader : raw tar or cpio without 'force'");
    return 15;
  }
  switch (f) {
    case mfmtUnknown:
      return 3;
    case mfmtATar:
    case mfmtACpio:
    case mfmtFolvaneTar:
    case mfmtStdTar:
    case mfmtStd:
    case mfmtStdD:
      break;
    case mfmtStdTarA:
    case mfmtStdA:
      if (!r.Tape()) break;  // a disk holds one header at its start
      if (recover) {
        if (!r.DoRecover()) {
          Supply("::ReadHeader : could not find valid header");
          return 7;
        }
      } else if (!r.FindLastHeader()) {
        Supply("::ReadHeader : could not find last header");
        return 7;
      }
      break;
    case mfmtRawTar:
      Supply(":: ReadHeader : raw tar format not implemented");
      break;
    case mfmtRawCpio:
      Supply(":: ReadHeader : raw cpio format not implemented");
      break;
    default:
      return 4;
  }
  if (r.format.textSize < 0 || r.format.textSize > kMaxText) {
    Supply("::ReadHeader : error reading content list");
    return 7;
  }
  char name[1024];
  SFilMisc_CreateTmpName(name, "hdr");
  tmp = BFileIO_Create(name, FileIO_readWrite);
  if (tmp == BFileIO_Nil) {
    Supply("::ReadHeader : CreateTmpFile failed");
    return 7;
  }
  if (keepContent) {
    tmpName = name;
  } else {
    ::unlink(name);
  }
  long offset = r.format.textOffset;
  long long left = r.format.textSize;
  const long length = r.blockLen;
  for (;;) {
    const long long here = std::min<long long>(left, std::max(0L, r.blockLen - offset));
    if (here > 0) {
      BFileIO_Write(tmp, r.block.data() + offset, static_cast<std::size_t>(here));
      if (BFileIO_bytesTransferred != static_cast<std::size_t>(here)) {
        Supply("::ReadHeader : error writing to tempfile; disk full ?");
        return 7;
      }
    }
    left -= here;
    if (left <= 0) break;
    if (r.ReadBlock(length) < 1) {
      Supply("::ReadHeader : error reading content list");
      return 7;
    }
    offset = 0;
  }
  BFileIO_Flush(tmp);
  BFileIO_Seek(tmp, 0, 0);
  return 0;
}

}  // namespace

void BkArchiv_XReadHeader(const DevListEntry& device, bool force, bool recover,
                          BkArchiv_RhNotifyCB notify, void* notifyArg, bool keepContent,
                          Header*& hdr, bool& recovered, bool& isEmpty) {
  BkArchiv_bkaError = 0;
  hdr = nullptr;
  recovered = false;
  isEmpty = false;
  if (device.baseType < BkDevSel_tape || device.baseType > BkDevSel_filesys) {
    BkArchiv_ReportError(2);
    return;
  }
  Messages_Ignoring quiet;
  std::uint8_t error = 0;
  if (device.isArchive) {
    BFileIO_File f = BFileIO_Open(device.archiveFile, FileIO_readOnly);
    if (f == BFileIO_Nil) {
      error = 7;
    } else {
      BkArchiv_ParseArchiveHeader(f, hdr, isEmpty);
      error = BkArchiv_bkaError;
      BFileIO_Close(f);
    }
  } else {
    Reader r(device);
    r.notify = notify != nullptr ? notify : BkArchiv_RhNotifyCBNop;
    r.notifyArg = notifyArg;
    BFileIO_File tmp = BFileIO_Nil;
    std::string tmpName;
    error = ReadContent(r, force, recover, keepContent, tmp, tmpName);
    r.Close();
    if (error == 0) {
      ParseQuiet(tmp, r.format.mediaFormat, hdr, isEmpty);
      error = BkArchiv_bkaError;
      if (error != 0) Supply("::ReadHeader : error from ParseHeader");
    }
    if (hdr != nullptr) {
      recovered = r.recovered;
      hdr->recovered = r.recovered;
      hdr->lastValidHdr = r.lastValidHdr;
      if (keepContent) Strings_Assign(tmpName, hdr->contentFile);
      const std::uint8_t f = r.format.mediaFormat;
      if (f == mfmtATar || f == mfmtACpio) {
        hdr->created = hdr->modified = r.format.date;
        if (hdr->archives != nullptr) hdr->archives->created = r.format.date;
      }
    } else if (!tmpName.empty()) {
      ::unlink(tmpName.c_str());
    }
    BFileIO_Close(tmp);
  }
  quiet.Close();
  if (error != 0) {
    BkArchiv_DestroyHeaderAndArchives(hdr);
    BkArchiv_ReportError(error);
  } else {
    Messages_ForgetErrorReasons();
  }
}

void BkArchiv_ReadHeader(const DevListEntry& device, bool force, Header*& hdr, bool& recovered,
                         bool& isEmpty) {
  BkArchiv_XReadHeader(device, force, false, BkArchiv_RhNotifyCBNop, nullptr, false, hdr, recovered,
                       isEmpty);
}

void BkArchiv_ParseHeader(BFileIO_File file, std::uint8_t mediaFormat, Header*& hdr,
                          bool& isEmpty) {
  ParseQuiet(file, mediaFormat, hdr, isEmpty);
  if (BkArchiv_bkaError != 0) BkArchiv_ReportError(BkArchiv_bkaError);
}

void BkArchiv_ParseArchiveHeader(BFileIO_File file, Header*& hdr, bool& isEmpty) {
  Messages_Ignoring quiet;
  ParseQuiet(file, mfmtStdA, hdr, isEmpty);
  if (hdr != nullptr) {
    if (hdr->dirSize != 0) hdr->mediaFormat = mfmtStdD;
  } else {
    BFileIO_Seek(file, 0, 0);
    ParseQuiet(file, mfmtStdD, hdr, isEmpty);
  }
  const std::uint8_t error = BkArchiv_bkaError;
  quiet.Close();
  if (error != 0) {
    BkArchiv_ReportError(error);
  } else {
    Messages_ForgetErrorReasons();
  }
}

void BkArchiv_ParseContentList(std::string_view text, std::uint8_t mediaFormat, Header* hdr) {
  BkArchiv_bkaError = 0;
  const char* type = mediaFormat == mfmtATar     ? "OldBackup Tar"
                     : mediaFormat == mfmtACpio  ? "OldBackup Cpio"
                     : mediaFormat == mfmtRawTar ? "Raw Tar"
                                                 : "Raw Cpio";
  Strings_Assign(StrIn::FromC(type), hdr->mediaType);
  Strings_Assign(Msg(100), hdr->mediaComment);
  hdr->blkHeader = hdr->blkData = 10240;
  hdr->blkDevice = 0;
  Archive* a = nullptr;
  BkArchiv_AppendEmptyArchive(hdr, a, StrIn::FromC(type));
  if (a == nullptr) return;
  Strings_Assign(hdr->mediaComment, a->archiveComment);
  Strings_Assign("/", a->baseDir);
  Strings_Assign("/", a->writtenBaseDir);
  BkArchiv_DateTime old{};
  old.date = {3, 3, 1971, 0};
  Lines lines{text};
  std::string line;
  bool firstLine = true;
  const bool raw = mediaFormat == mfmtRawTar || mediaFormat == mfmtRawCpio;
  while (lines.Next(line, 257)) {
    if (line.empty()) break;
    if (!AppendFile(a, line, 0, old, raw ? 0 : 1, 1)) return Bad(2009);
    firstLine = false;
  }
  if (firstLine) return Bad(2009);
  std::uint32_t comment = 0;
  if (mediaFormat == mfmtACpio) {
    hdr->blkHeader = hdr->blkData = 5120;
    comment = 101;
  } else if (mediaFormat == mfmtRawTar) {
    comment = 103;
  } else if (mediaFormat == mfmtRawCpio) {
    hdr->blkHeader = hdr->blkData = 5120;
    comment = 104;
  }
  if (comment != 0) {
    Strings_Assign(Msg(comment), hdr->mediaComment);
    Strings_Assign(hdr->mediaComment, a->archiveComment);
  }
}

void BkArchiv_ParseFolvaneTarHeader(std::string_view text, Header* hdr) {
  BkArchiv_bkaError = 0;
  Strings_Assign("OldFolvane", hdr->mediaType);
  hdr->blkHeader = 20480;
  hdr->blkData = 30720;
  hdr->blkDevice = 0;
  Archive* a = nullptr;
  BkArchiv_AppendEmptyArchive(hdr, a, "OldFolvane");
  if (a == nullptr) return;
  Lines lines{text};
  std::string line;
  unsigned kind = 0, revision = 0;
  char extra = 0;
  if (!lines.Next(line) || std::sscanf(line.c_str(), "%u %u %c", &kind, &revision, &extra) != 2 ||
      kind != 4) {
    return Bad(2012);
  }
  if (revision < 1 || revision > 99) return Bad(2024);
  std::string order, master;
  if (!lines.Next(order) || order.empty()) return Bad(2016);
  if (!lines.Next(master)) return Bad(2017);
  char comment[4096];
  Strings_Assign(Msg(102), comment);
  std::string filled = comment;
  if (const std::size_t at = filled.find("%s"); at != std::string::npos) {
    filled.replace(at, 2, order);
  }
  Strings_Assign(filled, hdr->mediaComment);
  Strings_Assign(filled, a->archiveComment);
  if (!master.empty()) BkArchiv_EncodeComment(hdr->mediaComment, "MASTERJOB", master);
  std::string moment;
  char date[32] = "", time[32] = "";
  if (!lines.Next(moment) || std::sscanf(moment.c_str(), "%31s %31s", date, time) != 2 ||
      !ParseMoment(date, time, hdr->modified)) {
    return Bad(2032);
  }
  a->created = hdr->modified;
  char base[1024];
  DirAcces_IncludeSpecialPath(DirAcces_projectsPath, "dgjobs", base);
  Strings_Assign(base, a->baseDir);
  Strings_Assign(base, a->writtenBaseDir);
  lines.Next(line);
  for (;;) {
    if (!lines.Next(line) || !line.starts_with("SECTION ")) return Bad(2008);
    const std::string name = line.substr(8);
    if (name == "END") return;
    if (name != "FILES") return Bad(2013);
    while (lines.Next(line) && !line.empty()) {
      char path[1024], fdate[32], ftime[32];
      double size = 0;
      int mark = 0, tape = 0;
      BkArchiv_DateTime m{};
      if (std::sscanf(line.c_str(), "%1023s %lf %31s %31s %d %d", path, &size, fdate, ftime, &mark,
                      &tape) != 6 ||
          !ParseMoment(fdate, ftime, m) || mark < 0 || mark >= 65535) {
        return Bad(2009);
      }
      std::string_view p = path;
      if (p.starts_with("./")) p.remove_prefix(2);
      if (!AppendFile(a, order + "/" + std::string(p), size, m, mark + 1, tape)) return Bad(2009);
    }
  }
}
