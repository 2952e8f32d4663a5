#include "BConvert.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "UCommon.hpp"

bool BConvert_done = false;

namespace {

// Appends text to s right-justified in width characters, as every writer does.
void Append(StrOut s, const char* text, std::size_t len, std::size_t width) {
  std::size_t pos = s.length();
  BConvert_done = false;
  for (std::size_t pad = width > len ? width - len : 0; pad > 0; --pad) {
    if (pos > s.high()) return;
    s.data()[pos++] = ' ';
  }
  for (std::size_t i = 0; i < len; ++i) {
    if (pos > s.high()) return;
    s.data()[pos++] = text[i];
  }
  if (pos <= s.high()) s.data()[pos] = '\0';
  BConvert_done = true;
}

// Digits of magnitude in base (10 or 16) into the end of buf, "-" in front when
// negative; returns the first character.
char* Digits(char* end, std::uint64_t magnitude, unsigned base, bool negative) {
  char* p = end;
  do {
    *--p = "0123456789ABCDEF"[magnitude % base];
    magnitude /= base;
  } while (magnitude != 0);
  if (negative) *--p = '-';
  return p;
}

void AppendNumber(StrOut s, std::uint64_t magnitude, bool negative, std::size_t width,
                  unsigned base = 10) {
  char buf[24];
  char* end = buf + sizeof buf;
  const char* p = Digits(end, magnitude, base, negative);
  Append(s, p, static_cast<std::size_t>(end - p), width);
}

std::uint64_t Magnitude(std::int64_t value) {
  return value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
}

bool IsDigit(char ch) { return ch >= '0' && ch <= '9'; }

// Reads blanks, an optional "-" (when allowed) and digits from the front of s and
// removes them. The value is accepted while its magnitude stays within limit.
void ReadInteger(StrOut s, bool signedRead, std::uint64_t positiveLimit,
                 std::uint64_t negativeLimit, std::uint64_t& magnitude, bool& negative) {
  const std::size_t len = s.length();
  const char* d = s.data();
  std::size_t i = 0;
  while (i < len && d[i] == ' ') ++i;
  negative = false;
  if (signedRead && i < len && d[i] == '-') {
    negative = true;
    ++i;
  }
  const std::uint64_t limit = negative ? negativeLimit : positiveLimit;
  magnitude = 0;
  bool any = false;
  bool overflow = false;
  for (; i < len && IsDigit(d[i]); ++i) {
    const unsigned digit = static_cast<unsigned>(d[i] - '0');
    any = true;
    if (overflow) continue;
    if (magnitude > (limit - digit) / 10) {
      overflow = true;
    } else {
      magnitude = magnitude * 10 + digit;
    }
  }
  Strings_Delete(s, 0, i);
  BConvert_done = any && !overflow;
}

}  // namespace

void BConvert_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "BConvert");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
}

void BConvert_CardToStr(StrOut s, std::uint32_t value, std::size_t width) {
  AppendNumber(s, value, false, width);
}

void BConvert_IntToStr(StrOut s, std::int32_t value, std::size_t width) {
  AppendNumber(s, Magnitude(value), value < 0, width);
}

void BConvert_Card64ToStr(StrOut s, std::uint64_t value, std::size_t width) {
  AppendNumber(s, value, false, width);
}

void BConvert_Int64ToStr(StrOut s, std::int64_t value, std::size_t width) {
  AppendNumber(s, Magnitude(value), value < 0, width);
}

void BConvert_CardToStrInHex(StrOut s, std::uint32_t value, std::size_t width) {
  AppendNumber(s, value, false, width, 16);
}

namespace {

constexpr int kSignificant = 14;

// The first 14 significant decimal digits of v > 0, and the power of ten of the first
// one. The caller has already added its half unit, so the digits are cut, not rounded
// again; they are cut from v rounded to one digit more, so that binary noise (0.3 held
// as 0.2999...) never shows.
void SignificantDigits(double v, char (&digits)[kSignificant], int& exponent) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*e", kSignificant, v);
  digits[0] = text[0];
  std::memcpy(digits + 1, text + 2, kSignificant - 1);
  exponent = std::atoi(std::strchr(text, 'e') + 1);
}

// Fixed point: "-", integer digits, "." and precision decimals. Writes at most cap
// characters to out and returns the full length.
std::size_t FixedText(double value, int precision, char* out, std::size_t cap) {
  std::size_t n = 0;
  auto put = [&](char ch) {
    if (n < cap) out[n] = ch;
    ++n;
  };
  if (value < 0) put('-');
  double v = std::fabs(value) + 0.5 * std::pow(10.0, -precision);
  char digits[kSignificant];
  int exponent = 0;
  if (v > 0 && std::isfinite(v)) {
    SignificantDigits(v, digits, exponent);
  } else {
    std::memset(digits, '0', sizeof digits);
  }
  auto digitAt = [&](int power) {
    const int idx = exponent - power;
    return idx >= 0 && idx < kSignificant ? digits[idx] : '0';
  };
  for (int power = exponent < 0 ? 0 : exponent; power >= 0; --power) put(digitAt(power));
  if (precision > 0) {
    put('.');
    for (int power = -1; power >= -precision; --power) put(digitAt(power));
  }
  return n;
}

// Exponent form d.dddE+ddd with decimals digits after the point.
std::size_t ExponentText(double value, int decimals, char* out, std::size_t cap) {
  char text[400];
  std::snprintf(text, sizeof text, "%.*E", decimals, value);
  // Three exponent digits instead of the C library's two (no exponent: inf or nan).
  if (char* e = std::strchr(text, 'E'); e != nullptr) {
    const int exponent = std::atoi(e + 1);
    std::snprintf(e, sizeof text - static_cast<std::size_t>(e - text), "E%c%03d",
                  exponent < 0 ? '-' : '+', exponent < 0 ? -exponent : exponent);
  }
  const std::size_t len = std::strlen(text);
  std::memcpy(out, text, len < cap ? len : cap);
  return len;
}

}  // namespace

void BConvert_RealToStr(StrOut s, double value, std::size_t width, int precision) {
  // The text goes into a private buffer first; the buffer is as large as the longest
  // string anyone appends to, a longer number could not fit anyway.
  char text[5120 + 1];
  std::size_t len;
  if (precision >= 0) {
    len = FixedText(value, precision, text, sizeof text);
  } else {
    if (width < 9) width = 9;
    const std::size_t decimals = std::min<std::size_t>(width - 8, 300);
    len = ExponentText(value, static_cast<int>(decimals), text, sizeof text);
  }
  if (len > sizeof text) {  // longer than any bounded string: cannot fit
    len = sizeof text;
  }
  Append(s, text, len, width);
  if (len == sizeof text) BConvert_done = false;
}

void BConvert_StrToCard(StrOut s, std::uint32_t& value) {
  std::uint64_t magnitude = 0;
  bool negative = false;
  constexpr std::uint64_t max = std::numeric_limits<std::uint32_t>::max();
  ReadInteger(s, false, max, max, magnitude, negative);
  if (BConvert_done) value = static_cast<std::uint32_t>(magnitude);
}

void BConvert_StrToInt(StrOut s, std::int32_t& value) {
  std::uint64_t magnitude = 0;
  bool negative = false;
  constexpr std::uint64_t max = std::numeric_limits<std::int32_t>::max();
  ReadInteger(s, true, max, max + 1, magnitude, negative);
  if (!BConvert_done) return;
  const std::int64_t v = static_cast<std::int64_t>(magnitude);
  value = static_cast<std::int32_t>(negative ? -v : v);
}

void BConvert_StrToInt64(StrOut s, std::int64_t& value) {
  std::uint64_t magnitude = 0;
  bool negative = false;
  constexpr std::uint64_t max = std::numeric_limits<std::int64_t>::max();
  ReadInteger(s, true, max, max + 1, magnitude, negative);
  if (!BConvert_done) return;
  value =
      negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
}

void BConvert_StrToReal(StrOut s, double& value) {
  const std::size_t len = s.length();
  const char* d = s.data();
  std::size_t i = 0;
  while (i < len && d[i] == ' ') ++i;
  const std::size_t signAt = i;
  if (i < len && (d[i] == '+' || d[i] == '-')) ++i;
  const std::size_t numberAt = i;
  std::size_t mantissaDigits = 0;
  for (; i < len && IsDigit(d[i]); ++i) ++mantissaDigits;
  if (i < len && d[i] == '.') {
    ++i;
    for (; i < len && IsDigit(d[i]); ++i) ++mantissaDigits;
  }
  if (mantissaDigits > 0 && i < len && (d[i] == 'E' || d[i] == 'e')) {
    // The exponent counts only with at least one digit; otherwise the letter stays.
    std::size_t j = i + 1;
    if (j < len && (d[j] == '+' || d[j] == '-')) ++j;
    if (j < len && IsDigit(d[j])) {
      while (j < len && IsDigit(d[j])) ++j;
      i = j;
    }
  }
  BConvert_done = false;
  if (mantissaDigits > 0) {
    double v = 0;
    // from_chars takes no "+", so the number is read without its sign.
    const auto result = std::from_chars(d + numberAt, d + i, v, std::chars_format::general);
    if (result.ec == std::errc() && result.ptr == d + i) {
      value = signAt < numberAt && d[signAt] == '-' ? -v : v;
      BConvert_done = true;
    }
  }
  Strings_Delete(s, 0, i);
}

void BConvert_StrToStr(StrOut s, StrIn t) {
  const std::size_t want = s.length() + t.length();
  Strings_Concat(s, t, s);
  BConvert_done = s.length() == want;
}
