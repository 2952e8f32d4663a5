#include "SPrintf.hpp"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <initializer_list>

#include "BConvert.hpp"
#include "StringOp.hpp"
#include "UCommon.hpp"

char SPrintf_tmp[5120];

namespace {

enum class Cut { kNone, kKeepLeft, kKeepRight };

// One directive found and removed from the format text.
struct Directive {
  std::size_t pos = 0;  // where the value goes
  std::int32_t width = 0;
  std::int32_t precision = 0;
  bool zeroFill = false;
  Cut cut = Cut::kNone;
};

bool IsFlag(char ch) {
  return (ch >= '0' && ch <= '9') || ch == '.' || ch == '!' || ch == '$' || ch == '-' || ch == '+';
}

// Reads the flag characters between "%" and the letter, given in SPrintf_tmp.
void ReadFlags(Directive& d) {
  StrOut flags(SPrintf_tmp);
  d.zeroFill = SPrintf_tmp[0] == '0';
  BConvert_StrToInt(flags, d.width);
  if (SPrintf_tmp[0] == '.') {
    Strings_Delete(flags, 0, 1);
    BConvert_StrToInt(flags, d.precision);
  }
  if (SPrintf_tmp[0] == '!') d.cut = Cut::kKeepLeft;
  if (SPrintf_tmp[0] == '$') d.cut = Cut::kKeepRight;
}

// Finds the first directive of letter in fmt, collapsing every "%%" passed on the way,
// and removes it. False when fmt holds none.
bool TakeDirective(StrOut fmt, char letter, Directive& d) {
  d.precision = letter == 'f' ? 6 : 0;
  char* f = fmt.data();
  std::size_t i = 0;
  for (;;) {
    std::size_t len = fmt.length();
    while (i < len && f[i] != '%') ++i;
    if (i >= len) return false;
    std::size_t j = i + 1;
    while (j < len && IsFlag(f[j])) ++j;
    if (j < len && f[j] == letter) {
      Strings_Copy(fmt, i + 1, j - i - 1, SPrintf_tmp);
      ReadFlags(d);
      Strings_Delete(fmt, i, j - i + 1);
      d.pos = i;
      return true;
    }
    if (j == i + 1 && j < len && f[j] == '%') {
      Strings_Delete(fmt, i, 1);
      i = i + 1;
    } else {
      i = j;
    }
  }
}

std::size_t Magnitude(std::int32_t width) {
  return width < 0 ? static_cast<std::size_t>(-static_cast<std::int64_t>(width))
                   : static_cast<std::size_t>(width);
}

// Blanks after the text of SPrintf_tmp up to w characters, as far as the buffer goes.
void PadRight(std::size_t w) {
  const std::size_t len = StrOut(SPrintf_tmp).length();
  const std::size_t end = std::min(w, sizeof SPrintf_tmp);
  if (len >= end) return;
  std::memset(SPrintf_tmp + len, ' ', end - len);
  if (end < sizeof SPrintf_tmp) SPrintf_tmp[end] = '\0';
}

void ApplyCut(Cut cut, std::size_t w) {
  StrOut tmp(SPrintf_tmp);
  const std::size_t len = tmp.length();
  if (cut == Cut::kNone || len <= w) return;
  if (cut == Cut::kKeepLeft) {
    SPrintf_tmp[w] = '\0';
    if (w > 5) SPrintf_tmp[w - 1] = '>';
  } else {
    Strings_Delete(tmp, 0, len - w);
    if (w > 5) SPrintf_tmp[0] = '<';
  }
}

// Cut, zero fill and insertion of a converted number; a number that does not fit is
// dropped with its directive.
void PlaceNumber(StrOut fmt, const Directive& d) {
  ApplyCut(d.cut, Magnitude(d.width));
  if (d.zeroFill) {
    for (char* p = SPrintf_tmp; p < SPrintf_tmp + sizeof SPrintf_tmp && *p == ' '; ++p) *p = '0';
  }
  Strings_Insert(SPrintf_tmp, fmt, d.pos);
}

// Fills the first d directive with a number that convert appends at a given width.
template <typename Convert>
void FillNumber(StrOut fmt, char letter, Convert convert) {
  Directive d;
  if (!TakeDirective(fmt, letter, d)) return;
  SPrintf_tmp[0] = '\0';
  const std::size_t w = Magnitude(d.width);
  if (d.width >= 0) {
    convert(d, w);
  } else {
    convert(d, 0);
    PadRight(w);
  }
  PlaceNumber(fmt, d);
}

SPrintf_LocalTime SystemClock() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min};
}

SPrintf_ClockFn localClock = SystemClock;

}  // namespace

void SPrintf_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "SPrintf");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  StringOp_Init();
  BConvert_Init();
}

void SPrintf_Int(StrOut fmt, std::int32_t value) {
  FillNumber(fmt, 'd', [value](const Directive&, std::size_t w) {
    BConvert_IntToStr(SPrintf_tmp, value, w);
  });
}

void SPrintf_Card(StrOut fmt, std::uint32_t value) {
  FillNumber(fmt, 'd', [value](const Directive&, std::size_t w) {
    BConvert_CardToStr(SPrintf_tmp, value, w);
  });
}

void SPrintf_Int64(StrOut fmt, std::int64_t value) {
  FillNumber(fmt, 'd', [value](const Directive&, std::size_t w) {
    BConvert_Int64ToStr(SPrintf_tmp, value, w);
  });
}

void SPrintf_Card64(StrOut fmt, std::uint64_t value) {
  FillNumber(fmt, 'd', [value](const Directive&, std::size_t w) {
    BConvert_Card64ToStr(SPrintf_tmp, value, w);
  });
}

void SPrintf_Real(StrOut fmt, double value) {
  FillNumber(fmt, 'f', [value](const Directive& d, std::size_t w) {
    BConvert_RealToStr(SPrintf_tmp, value, w, d.precision);
  });
}

void SPrintf_Char(StrOut fmt, char ch) {
  Directive d;
  if (!TakeDirective(fmt, 'c', d)) return;
  Strings_Insert(StrIn(&ch, 0), fmt, d.pos);
}

void SPrintf_String(StrOut fmt, StrIn text) {
  // The text may live in fmt or in the work buffer: keep what can ever be used of it
  // (the work buffer's worth) before either changes.
  const std::size_t len = text.length();
  char value[sizeof SPrintf_tmp];
  const std::size_t kept = std::min(len, sizeof value);
  std::memcpy(value, text.data(), kept);
  if (kept < sizeof value) value[kept] = '\0';  // an empty text too: nothing of an older one
  const StrIn copy(value, kept == 0 ? 0 : kept - 1);

  Directive d;
  if (!TakeDirective(fmt, 's', d)) return;
  StrOut tmp(SPrintf_tmp);
  std::size_t w = Magnitude(d.width);
  if (d.width < 0) {
    Strings_Assign(copy, tmp);
    PadRight(w);
  } else {
    SPrintf_tmp[0] = '\0';
    PadRight(len < w ? w - len : 0);
    Strings_Concat(tmp, copy, tmp);
  }
  Cut cut = d.cut;
  const std::size_t used = fmt.length();
  if (used + len > fmt.high()) {
    // Too long for the format text: keep the end of the value, marked, so that the
    // whole result still fits with its terminator.
    w = fmt.high() - used;
    cut = Cut::kKeepRight;
  }
  if (len > w) ApplyCut(cut, w);
  Strings_Insert(SPrintf_tmp, fmt, d.pos);
}

void SPrintf_EscapedPath(StrOut fmt, StrIn path) {
  char escaped[sizeof SPrintf_tmp];
  Strings_Assign(path, escaped);
  SPrintf_EscapeShellMetaChars(escaped);
  SPrintf_String(fmt, escaped);
}

namespace {

// Fills a %s of fmt with three numbers put into a date or time layout.
void FillLayout(StrOut fmt, const char* layout, std::initializer_list<int> values) {
  char text[32];
  Strings_Assign(StrIn::FromC(layout), text);
  for (int v : values) SPrintf_Int(text, v);
  SPrintf_String(fmt, text);
}

}  // namespace

void SPrintf_Date(StrOut fmt) {
  const SPrintf_LocalTime t = localClock();
  FillLayout(fmt, "%02d.%02d.%d", {t.day, t.month, t.year});
}

void SPrintf_ISODate(StrOut fmt) {
  const SPrintf_LocalTime t = localClock();
  FillLayout(fmt, "%d-%02d-%02d", {t.year, t.month, t.day});
}

void SPrintf_Time(StrOut fmt) {
  const SPrintf_LocalTime t = localClock();
  FillLayout(fmt, "%02d:%02d", {t.hour, t.minute});
}

void SPrintf_EscapeShellMetaChars(StrOut s) {
  const std::size_t len = s.length();
  char* d = s.data();
  std::size_t total = len;
  for (std::size_t i = 0; i < len; ++i) total += StringOp_IsShellMetaChar(d[i]);
  // Filled from the end, so every character moves up before anything overwrites it;
  // what does not fit is cut off.
  std::size_t pos = total;
  for (std::size_t i = len; i-- > 0;) {
    const char ch = d[i];
    if (--pos <= s.high()) d[pos] = ch;
    if (StringOp_IsShellMetaChar(ch) && --pos <= s.high()) d[pos] = '\\';
  }
  if (total <= s.high()) d[total] = '\0';
}

SPrintf_ClockFn SPrintf_SetClock(SPrintf_ClockFn newClock) {
  const SPrintf_ClockFn previous = localClock;
  localClock = newClock != nullptr ? newClock : SystemClock;
  return previous;
}
