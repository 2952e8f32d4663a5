// Small helpers of the archive and media toolkit.
#include "BkMisc.hpp"

#include <sys/statvfs.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "BConvert.hpp"
#include "BRegEx.hpp"
#include "DynStrIO.hpp"
#include "Messages.hpp"
#include "UCommon.hpp"

char BkMisc_localHost[128];
char BkMisc_sEOLN[2];

namespace {

std::uint32_t processUid = 0;
std::uint32_t processGid = 0;
std::vector<std::string> dirStack;

void Put(std::string_view text, StrOut out) { Strings_Assign(text, out); }

bool IsBlankOrTab(char ch) { return ch == ' ' || ch == '\t'; }

// The mode bits that grant the access of the other-users bit `other` (4, 2 or 1).
bool Permits(const DirAcces_DirEntry& info, std::uint32_t other) {
  std::uint32_t mask = other;
  if (info.uid == processUid) mask |= other << 6;
  if (info.gid == processGid) mask |= other << 3;
  return (info.mode & mask) != 0;
}

// Runs op inside an ignore bracket; true when it raised nothing.
template <class Op>
bool Quietly(Op op) {
  {
    const Messages_Ignoring quiet;
    op();
  }
  if (DirAcces_dirError == 0) return true;
  Messages_ForgetErrorReasons();
  return false;
}

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

}  // namespace

void BkMisc_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "BkMisc");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  BConvert_Init();
  Utility_Init();
  Messages_Init();
  DirAcces_Init();
  DynStr_Init();
  DynStrIO_Init();
  BRegEx_Init();
  DirAcces_GetMachineName(BkMisc_localHost);
  Put("\n", BkMisc_sEOLN);
  processUid = static_cast<std::uint32_t>(::geteuid());
  processGid = static_cast<std::uint32_t>(::getegid());
}

void BkMisc_SetProcessIds(std::uint32_t uid, std::uint32_t gid) {
  processUid = uid;
  processGid = gid;
}

// ---- Dates and times ----

namespace {

// At least two digits, as "%02u" writes them.
char* PutTwo(unsigned v, char* out) {
  if (v < 100) {
    out[0] = static_cast<char>('0' + v / 10);
    out[1] = static_cast<char>('0' + v % 10);
    return out + 2;
  }
  char digits[10];
  int n = 0;
  for (; v != 0; v /= 10) digits[n++] = static_cast<char>('0' + v % 10);
  while (n > 0) *out++ = digits[--n];
  return out;
}

char* PutTriple(unsigned a, unsigned b, unsigned c, char separator, char* out) {
  out = PutTwo(a, out);
  *out++ = separator;
  out = PutTwo(b, out);
  *out++ = separator;
  return PutTwo(c, out);
}

// One number in the base library's way: leading blanks, digits, no overflow.
bool TakeCard(const char*& p, const char* end, unsigned& value) {
  while (p < end && *p == ' ') ++p;
  std::uint64_t v = 0;
  bool any = false;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    any = true;
    if (v <= 0xFFFFFFFFu) v = v * 10 + static_cast<unsigned>(*p - '0');
  }
  if (!any || v > 0xFFFFFFFFu) return false;
  value = static_cast<unsigned>(v);
  return true;
}

// Three numbers, each with the separator after it; what was read is kept on a failure.
bool TakeTriple(const char*& p, const char* end, unsigned& a, unsigned& b, unsigned& c) {
  for (unsigned* x : {&a, &b, &c}) {
    if (!TakeCard(p, end, *x)) return false;
    if (p < end) ++p;
  }
  return true;
}

// Characters as a number whose lowest byte is the first character, whatever the
// machine's byte order: one load, turned round on a big-endian machine.
template <class Word>
Word LoadFirstLow(const char* p) {
  Word v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) {
    if constexpr (sizeof v == 8) {
      v = __builtin_bswap64(v);
    } else {
      v = __builtin_bswap32(v);
    }
  }
  return v;
}

// "dd.mm.yyyy hh:mm:ss" and one separator, read without the general conversions (a header
// of a million files carries one on every file line). The form is checked eight
// characters at a time: the separators must be the writer's own ('.', '.', ' ', ':', ':'),
// each digit place a character '0'..'9' (its high half 3, and adding 6 keeps it there),
// and the character after the seconds no digit.
bool TakeWritten(const char*& at, const char* end, Utility_Date& date, Utility_Time& time) {
  const char* p = at;
  while (p < end && *p == ' ') ++p;  // as the number conversion skips them
  if (end - p < 20) return false;
  constexpr std::uint64_t kPlaces = 0xF0F0FFF0F0FFF0F0u, kSixes = 0x0606000606000606u;
  constexpr std::uint64_t kHighs = 0xF0F000F0F000F0F0u, kThrees = 0x3030003030003030u;
  const auto day = LoadFirstLow<std::uint64_t>(p), middle = LoadFirstLow<std::uint64_t>(p + 8);
  const auto seconds = LoadFirstLow<std::uint32_t>(p + 16);
  const bool form =
      (day & kPlaces) == 0x30302E30302E3030u && ((day + kSixes) & kHighs) == kThrees &&
      (middle & kPlaces) == 0x30303A3030203030u && ((middle + kSixes) & kHighs) == kThrees &&
      (seconds & 0x00F0F0FFu) == 0x0030303Au &&
      ((seconds + 0x00060600u) & 0x00F0F000u) == 0x00303000u &&
      static_cast<unsigned>(p[19] - '0') >= 10u;
  if (!form) return false;
  auto two = [p](int i) { return static_cast<unsigned>((p[i] - '0') * 10 + (p[i + 1] - '0')); };
  date.day = two(0);
  date.month = two(3);
  date.year = two(6) * 100 + two(8);
  time.hour = two(11);
  time.minute = two(14);
  time.second = two(17);
  at = p + 20;
  return true;
}

// Runs a reader of [p, end) on the front of a bounded string and takes off what it read.
template <class Take>
bool TakeFront(StrOut text, Take take) {
  const char* begin = text.data();
  const char* p = begin;
  const bool ok = take(p, begin + text.length());
  Strings_Delete(text, 0, static_cast<std::size_t>(p - begin));
  return ok;
}

}  // namespace

std::size_t BkMisc_PutDateAndTime(const Utility_Date& date, const Utility_Time& time, char* out) {
  char* p = PutTriple(date.day, date.month, date.year, '.', out);
  *p++ = ' ';
  p = PutTriple(time.hour, time.minute, time.second, ':', p);
  return static_cast<std::size_t>(p - out);
}

bool BkMisc_TakeDate(const char*& p, const char* end, Utility_Date& date) {
  return TakeTriple(p, end, date.day, date.month, date.year);
}

bool BkMisc_TakeTime(const char*& p, const char* end, Utility_Time& time) {
  return TakeTriple(p, end, time.hour, time.minute, time.second);
}

bool BkMisc_TakeDateAndTime(const char*& p, const char* end, Utility_Date& date,
                            Utility_Time& time) {
  return TakeWritten(p, end, date, time) ||
         (BkMisc_TakeDate(p, end, date) && BkMisc_TakeTime(p, end, time));
}

void BkMisc_DateToStr(const Utility_Date& date, StrOut text) {
  char buffer[BkMisc_dateAndTimeMax];
  const char* end = PutTriple(date.day, date.month, date.year, '.', buffer);
  Put(std::string_view(buffer, static_cast<std::size_t>(end - buffer)), text);
}

void BkMisc_TimeToStr(const Utility_Time& time, StrOut text) {
  char buffer[BkMisc_dateAndTimeMax];
  const char* end = PutTriple(time.hour, time.minute, time.second, ':', buffer);
  Put(std::string_view(buffer, static_cast<std::size_t>(end - buffer)), text);
}

void BkMisc_DateAndTimeToStr(const Utility_Date& date, const Utility_Time& time, StrOut text) {
  char buffer[BkMisc_dateAndTimeMax];
  Put(std::string_view(buffer, BkMisc_PutDateAndTime(date, time, buffer)), text);
}

bool BkMisc_StrToDate(StrOut text, Utility_Date& date) {
  return TakeFront(
      text, [&date](const char*& p, const char* end) { return BkMisc_TakeDate(p, end, date); });
}

bool BkMisc_StrToTime(StrOut text, Utility_Time& time) {
  return TakeFront(
      text, [&time](const char*& p, const char* end) { return BkMisc_TakeTime(p, end, time); });
}

bool BkMisc_StrToDateAndTime(StrOut text, Utility_Date& date, Utility_Time& time) {
  return TakeFront(text, [&](const char*& p, const char* end) {
    return BkMisc_TakeDateAndTime(p, end, date, time);
  });
}

// ---- Lines, fields, escaping ----

bool BkMisc_StrFromStr(StrOut text, StrOut line) {
  const std::string t(text.view());
  const std::size_t lf = t.find('\n');
  const std::size_t end = lf == std::string::npos ? t.size() : lf;
  Put(std::string_view(t).substr(0, end), line);
  Put(std::string_view(t).substr(lf == std::string::npos ? end : lf + 1), text);
  return end > 0;
}

bool BkMisc_FieldFromStr(StrOut text, StrOut field) {
  const std::string t(text.view());
  std::size_t begin = 0;
  while (begin < t.size() && IsBlankOrTab(t[begin])) ++begin;
  std::size_t end = begin;
  while (end < t.size() && !IsBlankOrTab(t[end])) ++end;
  Put(std::string_view(t).substr(begin, end - begin), field);
  Put(std::string_view(t).substr(end), text);
  return end > begin;
}

bool BkMisc_FieldFromStr1(StrOut text, StrOut field) {
  const std::string t(text.view());
  std::size_t i = 0;
  while (i < t.size() && IsBlankOrTab(t[i])) ++i;
  std::string f;
  while (i < t.size() && t[i] != ' ') {
    if (t[i] == '\\' && i + 1 < t.size()) ++i;
    f += t[i++];
  }
  if (i < t.size()) ++i;  // the blank that ends the field
  Put(f, field);
  Put(std::string_view(t).substr(i), text);
  return !f.empty();
}

void BkMisc_EscapeSpaces(StrIn text, StrOut escaped) {
  std::string e;
  for (const char ch : text.view()) {
    if (ch == '\\' || ch == ' ') e += '\\';
    e += ch;
  }
  Put(e, escaped);
}

void BkMisc_Concat3(StrIn a, StrIn b, StrIn c, StrOut result) {
  std::string r(a.view());
  r += b.view();
  r += c.view();
  Put(r, result);
}

int BkMisc_VCompareStr(StrIn a, StrIn b) { return Strings_CompareStr(a, b); }

// ---- Paths ----

bool BkMisc_ThisPathHead(StrIn path, StrIn head) {
  const std::string_view p = path.view();
  const std::string_view h = head.view();
  if (h.empty() || p.size() < h.size() || p.substr(0, h.size()) != h) return false;
  if (p.size() == h.size()) return h == "/";
  return p[h.size()] == '/' || h.back() == '/';
}

int BkMisc_PathHeadCmp(StrIn a, StrIn b) {
  const std::string_view x = a.view();
  const std::string_view y = b.view();
  std::size_t i = 0;
  while (i < x.size() && i < y.size() && x[i] == y[i]) ++i;
  if (i == y.size() && (i == x.size() || x[i] == '/')) return 0;
  const int cx = i < x.size() ? static_cast<unsigned char>(x[i]) : -1;
  const int cy = i < y.size() ? static_cast<unsigned char>(y[i]) : -1;
  return cx < cy ? -1 : 1;
}

bool BkMisc_PathOK(StrIn path, StrOut existing) {
  std::string p(path.view());
  if (Exists(p)) {
    Put(p, existing);
    return true;
  }
  for (;;) {
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    const std::size_t slash = p.rfind('/');
    if (slash == std::string::npos) {
      Put(".", existing);
      return false;
    }
    p.resize(slash == 0 ? 1 : slash);
    if (Exists(p)) {
      Put(p, existing);
      return false;
    }
  }
}

bool BkMisc_AssertDir(StrIn path, unsigned mode) {
  Quietly([&] { DirAcces_RecursiveMkDir(path, mode); });
  DirAcces_DirEntry info{};
  return Quietly([&] { DirAcces_FileStatN(path, info); }) && info.isDirectory;
}

bool BkMisc_PushDir(StrIn dir) {
  char current[1024];
  if (!Quietly([&] { DirAcces_CurrentDir(current); })) return false;
  if (!Quietly([&] { DirAcces_ChDir(dir); })) return false;
  dirStack.emplace_back(current);
  return true;
}

bool BkMisc_PopDir() {
  if (dirStack.empty()) return false;
  const std::string dir = dirStack.back();
  dirStack.pop_back();
  return Quietly([&] { DirAcces_ChDir(dir); });
}

int BkMisc_DirStackDepth() { return static_cast<int>(dirStack.size()); }

// ---- Sizes and space ----

void BkMisc_SizeToMBStr(double size, StrOut text) {
  const bool small = size < 1000000.0;
  Put("", text);
  BConvert_RealToStr(text, small ? size / 1024.0 : size / 1048576.0, 0, 2);
  BConvert_StrToStr(text, small ? " KB" : " MB");
}

double BkMisc_DiskSpace(StrIn path) {
  char existing[1024];
  BkMisc_PathOK(path, existing);
  struct statvfs fs {};
  if (::statvfs(existing, &fs) != 0) return -1.0;
  const double blocks512 =
      static_cast<double>(fs.f_bfree) * static_cast<double>(fs.f_frsize) / 512.0;
  return static_cast<double>(static_cast<std::uint64_t>(blocks512)) * 512.0;
}

// ---- Permissions ----

bool BkMisc_IsReadable(const DirAcces_DirEntry& info) { return Permits(info, 04); }
bool BkMisc_IsWriteable(const DirAcces_DirEntry& info) { return Permits(info, 02); }
bool BkMisc_IsExecutable(const DirAcces_DirEntry& info) { return Permits(info, 01); }

// ---- Environment of commands ----

void BkMisc_GetDisplay(StrOut display) {
  char value[1024];
  char host[1024];
  DirAcces_EnvVar("DISPLAY", value);
  if (value[0] == '\0') {
    Put(":0.0", display);
  } else if (value[0] == ':') {
    DirAcces_EnvVar("HOST", host);
    Strings_Concat(host, value, display);
  } else {
    Put(value, display);
  }
}

void BkMisc_GetInheritEnvStr(StrOut text) {
  char display[1024];
  char libPath[5120];
  BkMisc_GetDisplay(display);
  std::string s = "DISPLAY=";
  s += display;
  s += "; export DISPLAY";
  if (DirAcces_EnvVar("LD_LIBRARY_PATH", libPath)) {
    s += ";LD_LIBRARY_PATH=";
    s += libPath;
    s += ";export LD_LIBRARY_PATH";
  }
  Put(s, text);
}

// ---- Matching and commands ----

bool BkMisc_Match(StrIn pattern, StrIn text) {
  return RegMatchPat(pattern.str().c_str(), text.str().c_str());
}

int BkMisc_DSRunCmd(DS command, DS* output) {
  const int status = DSRunCmd(command, output, -1);
  if (status != -1 && DSLength(command) > 0) DSChomp(*output, output);
  return status;
}
