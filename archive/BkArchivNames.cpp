#include "BkArchivNames.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "BConvert.hpp"
#include "BFileIO.hpp"
#include "BOutIn.hpp"
#include "BkMisc.hpp"
#include "DirAcces.hpp"
#include "DynStr.hpp"
#include "Messages.hpp"
#include "SPrintf.hpp"
#include "SRegExpr.hpp"
#include "StringOp.hpp"
#include "UCommon.hpp"

char BkArchiv_archivDir[1024];
char BkArchiv_stdArchivDir[1024];

namespace {

struct FormatInfo {
  const char* name;
  const char* headerFile;  // empty: the format has no header file
};

constexpr FormatInfo kFormats[mfmtLast + 1] = {
    {"mfmtUnknown", ""},
    {"mfmtATar", "/projects/tmp/content0"},
    {"mfmtACpio", "/projects/tmp/content0"},
    {"mfmtFolvaneTar", "HEADER"},
    {"mfmtStdTar", "SHEADER"},
    {"mfmtStdTarA", "AHEADER"},
    {"mfmtStd", "SHEADER"},
    {"mfmtStdA", "AHEADER"},
    {"mfmtStdD", "DHEADER"},
    {"mfmtStdF", "FHEADER"},
    {"mfmtRawTar", ""},
    {"mfmtRawCpio", ""},
    {"mfmtLast", ""},
};

// The names as the scripts and old labels spell them, kept as dynamic strings.
DS formatNames[mfmtLast + 1];

// The three forms of a media name.
SRegExpr shortName = SRegExpr_Nil;   // yymmddcc[-d].si
SRegExpr longName = SRegExpr_Nil;    // yyyymmddcc[-d].ii
SRegExpr volumeName = SRegExpr_Nil;  // yyyymmddcc[-d].iicI.N

constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

void CounterPath(StrOut path) { DirAcces_IncludePath(BkArchiv_archivDir, ".counter", path); }

void Today(Utility_Date& date) {
  Utility_Time time;
  Utility_GetSysDateTime(date, time);
}

// Two decimal digits at i (callers matched the text against a pattern first).
int Digits(StrIn s, std::size_t i, std::size_t n) {
  int v = 0;
  for (std::size_t k = 0; k < n; ++k) v = v * 10 + (s.at(i + k) - '0');
  return v;
}

// Takes "-" followed by a known month name off the front of s; the month 1..12 or 0.
unsigned TakeMonth(StrOut s) {
  const std::string_view v = s.view();
  if (v.size() < 4 || v[0] != '-') return 0;
  for (unsigned m = 0; m < 12; ++m) {
    if (v.substr(1, 3) == kMonths[m]) {
      Strings_Delete(s, 0, 4);
      return m + 1;
    }
  }
  return 0;
}

}  // namespace

void BkArchivNames_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "BkArchivNames");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  StringOp_Init();
  BConvert_Init();
  SPrintf_Init();
  Messages_Init();
  BFileIO_Init();
  BOutIn_Init();
  Utility_Init();
  DirAcces_Init();
  DynStr_Init();
  SRegExpr_Init();
  BkMisc_Init();
  DirAcces_IncludeSpecialPath(DirAcces_projectsPath, "backups", BkArchiv_archivDir);
  Strings_Assign(BkArchiv_archivDir, BkArchiv_stdArchivDir);
  for (int f = 0; f <= mfmtLast; ++f) formatNames[f] = DSCreateStr(kFormats[f].name, 0);
  shortName = SRegExpr_Create("^[0-9]{8}(-[0-9])?\\.[0-9]{2}$");
  longName = SRegExpr_Create("^[0-9]{10}(-[0-9])?\\.[0-9]{2}$");
  volumeName = SRegExpr_Create("^[0-9]{10}(-[0-9])?\\.[0-9]{2}c[0-9]\\.[0-9]$");
}

void BkArchiv_MediaFormatToStr(std::uint8_t mediaFormat, StrOut text) {
  Strings_Assign(StrIn::FromC(mediaFormat <= mfmtLast ? DSStr(formatNames[mediaFormat]) : ""),
                 text);
}

void BkArchiv_StrToMediaFormat(StrIn text, std::uint8_t& mediaFormat) {
  mediaFormat = mfmtUnknown;
  for (int f = 0; f < mfmtLast; ++f) {
    if (DSCmpStr(formatNames[f], text.str().c_str()) == 0) {
      mediaFormat = static_cast<std::uint8_t>(f);
      return;
    }
  }
}

bool BkArchiv_IsStdFmt(std::uint8_t mediaFormat) {
  return mediaFormat >= mfmtStdTar && mediaFormat <= mfmtStdF;
}

bool BkArchiv_IsLegalNextData(std::uint8_t mediaFormat, std::uint32_t value) {
  const std::uint32_t lowest = mediaFormat == mfmtStdD || mediaFormat == mfmtStdF ? 0 : 1;
  return value >= lowest && value <= 65535;
}

void BkArchiv_GetHeaderNameOnMedia(std::uint8_t mediaFormat, StrOut name) {
  Strings_Assign(StrIn::FromC(mediaFormat <= mfmtLast ? kFormats[mediaFormat].headerFile : ""),
                 name);
}

std::uint32_t BkArchiv_ReadCounter() {
  char path[1024];
  CounterPath(path);
  char text[128] = "";
  {
    const Messages_Ignoring quiet;
    BFileIO_File f = BFileIO_Open(path, FileIO_readOnly);
    if (f != BFileIO_Nil) BOutIn_ReadString(f, text);
    BFileIO_Close(f);
  }
  Messages_ForgetErrorReasons();
  // " 5-Dec-2026     3": day, month name, year, then the counter.
  std::uint32_t day = 0, year = 0, counter = 0;
  BConvert_StrToCard(text, day);
  if (!BConvert_done) return 1;
  const unsigned month = TakeMonth(text);
  if (month == 0 || text[0] != '-') return 1;
  Strings_Delete(text, 0, 1);
  BConvert_StrToCard(text, year);
  if (!BConvert_done) return 1;
  BConvert_StrToCard(text, counter);
  if (!BConvert_done) return 1;
  Utility_Date today;
  Today(today);
  if (today.day != day || today.month != month || today.year != year) return 1;
  return counter;
}

bool BkArchiv_WriteCounter(std::uint32_t counter) {
  Utility_Date today;
  Today(today);
  char text[128] = "%2d-%s-%d%6d";
  SPrintf_Card(text, today.day);
  SPrintf_String(text, StrIn::FromC(kMonths[(today.month + 11) % 12]));
  SPrintf_Card(text, today.year);
  SPrintf_Card(text, counter);
  // Written beside the counter and renamed over it, so a reader never sees half a file.
  char path[1024], tmp[1024];
  CounterPath(path);
  char suffix[32] = ".%d";
  SPrintf_Int(suffix, static_cast<std::int32_t>(::getpid()));
  Strings_Concat(path, suffix, tmp);
  bool ok = false;
  {
    const Messages_Ignoring quiet;
    BFileIO_File f = BFileIO_Create(tmp, 1);
    ok = f != BFileIO_Nil;
    if (ok) {
      BOutIn_WriteString(f, text);
      ok = BOutIn_done;
      BFileIO_Close(f);
      ok = ok && BFileIO_ioError == 0;
      if (ok) DirAcces_ChMod(tmp, 0666);
      ok = ok && DirAcces_dirError == 0;
      if (ok) DirAcces_AtomicRename(tmp, path);
      ok = ok && DirAcces_dirError == 0;
      if (!ok) DirAcces_Remove(tmp);
    }
  }
  Messages_ForgetErrorReasons();
  return ok;
}

void BkArchiv_MakeName(std::uint32_t counter, int mediaId, int volIndex, int volCount,
                       StrOut name) {
  Utility_Date today;
  Today(today);
  char text[128] = "%04d%02d%02d%02d.%02d";
  if (volCount > 1) Strings_Concat(text, "c%d.%d", text);
  SPrintf_Card(text, today.year);
  SPrintf_Card(text, today.month);
  SPrintf_Card(text, today.day);
  SPrintf_Card(text, counter);
  SPrintf_Int(text, mediaId);
  if (volCount > 1) {
    SPrintf_Int(text, volIndex);
    SPrintf_Int(text, volCount);
  }
  Strings_Assign(text, name);
}

namespace {

// Holds the lock of the day's counter while it lives, so that two processes naming media
// at once never read the same counter. The lock is a record lock on a file beside the
// counter (the counter file itself is replaced by every write); it works on network
// file systems too. Without the lock file (an archive directory that cannot be written)
// nothing is held: the counter cannot be written then either.
class CounterLock {
 public:
  CounterLock() {
    char path[1024];
    CounterPath(path);
    Strings_Concat(path, ".lock", path);
    fd_ = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) return;
    ::fchmod(fd_, 0666);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    while (::fcntl(fd_, F_SETLKW, &lock) != 0 && errno == EINTR) {
    }
  }
  ~CounterLock() {
    if (fd_ >= 0) ::close(fd_);  // closing gives the lock back
  }
  CounterLock(const CounterLock&) = delete;
  CounterLock& operator=(const CounterLock&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace

bool BkArchiv_GenMediaLabel(int mediaId, int volIndex, int volCount, StrOut name, StrOut path) {
  const CounterLock lock;
  const std::uint32_t counter = BkArchiv_ReadCounter();
  BkArchiv_MakeName(counter, mediaId, volIndex, volCount, name);
  DirAcces_IncludePath(BkArchiv_archivDir, name, path);
  return BkArchiv_WriteCounter(counter >= 99 ? 1 : counter + 1);
}

bool BkArchiv_LegalArchiveName(StrIn name) {
  return SRegExpr_Match(shortName, name) || SRegExpr_Match(longName, name) ||
         SRegExpr_Match(volumeName, name);
}

void BkArchiv_DecodeName(StrIn name, int& day, int& month, int& year, int& counter, int& shortDigit,
                         int& mediaId, int& dupNo, int& volIndex, int& volCount) {
  day = month = year = counter = shortDigit = -1;
  mediaId = BkArchiv_mediaIDNone;
  dupNo = 0;
  volIndex = 0;
  volCount = 1;
  if (SRegExpr_Match(shortName, name)) {
    year = Digits(name, 0, 2) + 1900;
    month = Digits(name, 2, 2);
    day = Digits(name, 4, 2);
    counter = Digits(name, 6, 2);
    std::size_t suffix = 9;
    if (name.at(8) == '-') {
      dupNo = Digits(name, 9, 1);
      suffix = 11;
    }
    shortDigit = Digits(name, suffix, 1);
    mediaId = Digits(name, suffix + 1, 1);
    return;
  }
  const bool volume = SRegExpr_Match(volumeName, name);
  if (!volume && !SRegExpr_Match(longName, name)) return;
  year = Digits(name, 0, 4);
  month = Digits(name, 4, 2);
  day = Digits(name, 6, 2);
  counter = Digits(name, 8, 2);
  std::size_t suffix = 11;
  if (name.at(10) == '-') {
    dupNo = Digits(name, 11, 1);
    suffix = 13;
  }
  mediaId = Digits(name, suffix, 2);
  if (volume) {
    volIndex = Digits(name, suffix + 3, 1);
    volCount = Digits(name, suffix + 5, 1);
  }
}

void BkArchiv_DateTimeText(const Utility_Date& date, const Utility_Time& time, StrOut text) {
  char s[BkMisc_dateAndTimeMax];
  Strings_Assign(std::string_view(s, BkMisc_PutDateAndTime(date, time, s)), text);
}

void BkArchiv_MkLabelFromData(StrIn name, StrIn mediaType, StrIn dateText, StrOut label) {
  // Each part is cut to a label's capacity before the parts are joined.
  char part[128], result[128];
  Strings_Assign(name, result);
  Strings_Concat(result, "_", result);
  Strings_Assign(mediaType, part);
  Strings_Concat(result, part, result);
  Strings_Concat(result, "_", result);
  Strings_Assign(dateText, part);
  Strings_Concat(result, part, result);
  StringOp_ReplaceChar(result, ' ', '_');
  Strings_Assign(result, label);
}
