#include "CIO.hpp"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <limits>

#include "BConvert.hpp"
#include "StringOp.hpp"
#include "UCommon.hpp"

namespace {

CIO_DynStrTextProc dsText = nullptr;
CIO_DynStrAssignProc dsAssign = nullptr;

// Widths and precisions beyond these are taken as these: a field never grows without
// bound because of a mistyped number.
constexpr std::size_t kMaxWidth = 65535;
constexpr int kMaxRealPrecision = 100;

using Args = std::initializer_list<CIO_Arg>;
using Outs = std::initializer_list<CIO_Out>;

// ---------------------------------------------------------------------------------------
// Reading the format text

struct Directive {
  bool star = false;  // "*": width from an argument; in a scanner: do not store
  bool plus = false;  // "p"
  unsigned size = 0;  // "b", "h", "l", "ll": required byte width of the argument
  bool left = false;
  bool zero = false;
  std::size_t width = 0;
  int precision = -1;  // -1: none given
  bool alt = false;
  char letter = 0;
};

enum class Item { End, Char, Directive };

bool IsOctal(char c) { return c >= '0' && c <= '7'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// The character a backslash at f[i] stands for; i moves past the escape.
char Escape(std::string_view f, std::size_t& i) {
  if (i + 1 >= f.size()) {
    ++i;
    return '\\';
  }
  const char c = f[i + 1];
  static constexpr std::string_view from = "ntrfbvae\\\"'";
  static constexpr std::string_view to = "\n\t\r\f\b\v\a\x1b\\\"'";
  if (const std::size_t k = from.find(c); k != std::string_view::npos) {
    i += 2;
    return to[k];
  }
  if (IsOctal(c)) {
    unsigned v = 0;
    std::size_t j = i + 1;
    for (int n = 0; n < 3 && j < f.size() && IsOctal(f[j]); ++n, ++j) v = v * 8 + (f[j] - '0');
    i = j;
    return static_cast<char>(v & 0xFF);
  }
  if (c == 'x' && i + 2 < f.size() && HexValue(f[i + 2]) >= 0) {
    unsigned v = 0;
    std::size_t j = i + 2;
    for (int n = 0; n < 2 && j < f.size() && HexValue(f[j]) >= 0; ++n, ++j) {
      v = v * 16 + HexValue(f[j]);
    }
    i = j;
    return static_cast<char>(v);
  }
  ++i;  // not an escape: the backslash stands for itself
  return '\\';
}

std::size_t ReadNumber(std::string_view f, std::size_t& j) {
  std::size_t v = 0;
  while (j < f.size() && IsDigit(f[j])) {
    v = std::min(v * 10 + (f[j] - '0'), kMaxWidth);
    ++j;
  }
  return v;
}

// Parses the directive whose "%" is at f[i]; i moves past its letter.
void ParseDirective(std::string_view f, std::size_t& i, Directive& d) {
  std::size_t j = i + 1;
  d = Directive{};
  for (bool more = true; more && j < f.size();) {
    switch (f[j]) {
      case '*':
        d.star = true;
        break;
      case 'p':
        d.plus = true;
        break;
      case 'b':
        d.size = 1;
        break;
      case 'h':
        d.size = 2;
        break;
      case 'l':
        d.size = 8;
        if (j + 1 < f.size() && f[j + 1] == 'l') ++j;
        break;
      default:
        more = false;
        continue;
    }
    ++j;
  }
  for (; j < f.size() && (f[j] == '-' || f[j] == '0'); ++j) {
    (f[j] == '-' ? d.left : d.zero) = true;
  }
  d.width = ReadNumber(f, j);
  if (j + 1 < f.size() && f[j] == '.' && IsDigit(f[j + 1])) {
    ++j;
    d.precision = static_cast<int>(ReadNumber(f, j));
  }
  if (j < f.size() && f[j] == '.') {
    d.alt = true;
    ++j;
  }
  if (j >= f.size()) HALT();  // the text ends inside the directive
  d.letter = f[j];
  if (std::string_view("BCcDSXxadoutfs").find(d.letter) == std::string_view::npos) HALT();
  i = j + 1;
}

// The next piece of the format: a literal character (escapes and "%%" translated) or a
// directive.
Item NextItem(std::string_view f, std::size_t& i, char& ch, Directive& d) {
  if (i >= f.size()) return Item::End;
  if (f[i] == '\\') {
    ch = Escape(f, i);
    return Item::Char;
  }
  if (f[i] == '%') {
    if (i + 1 < f.size() && f[i + 1] == '%') {
      ch = '%';
      i += 2;
      return Item::Char;
    }
    ParseDirective(f, i, d);
    return Item::Directive;
  }
  ch = f[i++];
  return Item::Char;
}

// ---------------------------------------------------------------------------------------
// Formatting

bool IsInteger(CIO_Arg::Kind k) { return k == CIO_Arg::Kind::Int || k == CIO_Arg::Kind::Card; }

// The two's complement bits of an integer argument within its own width.
std::uint64_t Bits(const CIO_Arg& a) {
  if (a.kind() == CIO_Arg::Kind::Card) return a.cardValue();
  const auto v = static_cast<std::uint64_t>(a.intValue());
  return a.size() >= 8 ? v : v & ((std::uint64_t{1} << (8 * a.size())) - 1);
}

std::string Radix(std::uint64_t v, unsigned base, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char buf[64];
  std::size_t n = sizeof buf;
  do {
    buf[--n] = digits[v % base];
    v /= base;
  } while (v != 0);
  return std::string(buf + n, sizeof buf - n);
}

std::string Decimal(std::uint64_t v) {
  char buf[32] = "";
  BConvert_Card64ToStr(buf, v, 0);
  return buf;
}

std::string Grouped(const std::string& digits) {
  std::string out;
  for (std::size_t k = 0; k < digits.size(); ++k) {
    if (k > 0 && (digits.size() - k) % 3 == 0) out += ',';
    out += digits[k];
  }
  return out;
}

void Pad(std::string& out, std::size_t n) { out.append(n, ' '); }

// head (sign, prefix) and body (digits) in the field: zero fill goes between them.
void PutNumber(std::string& out, const Directive& d, std::string_view head, std::string_view body) {
  const std::size_t len = head.size() + body.size();
  const std::size_t fill = d.width > len ? d.width - len : 0;
  if (d.left) {
    out.append(head).append(body);
    Pad(out, fill);
  } else if (d.zero) {
    out.append(head).append(fill, '0').append(body);
  } else {
    Pad(out, fill);
    out.append(head).append(body);
  }
}

void PutText(std::string& out, const Directive& d, std::string_view text) {
  const std::size_t fill = d.width > text.size() ? d.width - text.size() : 0;
  if (!d.left) Pad(out, fill);
  out.append(text);
  if (d.left) Pad(out, fill);
}

std::string ShellEscaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (StringOp_IsShellMetaChar(c)) out += '\\';
    out += c;
  }
  return out;
}

std::string QuotedChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  std::string out = "'";
  static constexpr std::string_view plain = "\n\t\r\f\b\v\a\\'";
  static constexpr std::string_view named = "ntrfbva\\'";
  if (const std::size_t k = plain.find(c); k != std::string_view::npos) {
    out.append(1, '\\').append(1, named[k]);
  } else if (u == 0) {
    out += "\\0";
  } else if (u < 32 || u == 127 || (u >= 128 && u < 160)) {
    out += (u < 16 ? "\\x0" : "\\x") + Radix(u, 16, false);
  } else {
    out += c;
  }
  return out + "'";
}

std::string SetText(std::uint64_t bits, unsigned members, bool ranges) {
  std::string out = "{";
  for (unsigned k = 0; k < members; ++k) {
    if (!(bits >> k & 1)) continue;
    unsigned last = k;
    if (ranges) {
      while (last + 1 < members && (bits >> (last + 1) & 1)) ++last;
    }
    if (out.size() > 1) out += ',';
    out += std::to_string(k);
    if (last > k) out += ".." + std::to_string(last);
    k = last;
  }
  return out + "}";
}

// The real in exponent form with three exponent digits: 1.500000E+003.
std::string ExponentForm(double v, int precision) {
  char buf[160];
  std::snprintf(buf, sizeof buf, "%.*E", precision, v);
  std::string s = buf;
  const std::size_t e = s.find('E');
  if (e == std::string::npos || e + 2 > s.size()) return s;
  std::string exp = s.substr(e + 2);
  while (exp.size() < 3) exp.insert(0, "0");
  return s.substr(0, e + 2) + exp;
}

class Formatter {
 public:
  Formatter(std::string& out, Args args) : out_(out), args_(args) {}

  void Run(StrIn fmt) {
    const std::string_view f = fmt.view();
    std::size_t i = 0;
    char ch = 0;
    Directive d;
    for (Item it; (it = NextItem(f, i, ch, d)) != Item::End;) {
      if (it == Item::Char) {
        out_ += ch;
      } else {
        Put(d);
      }
    }
    if (next_ != args_.size()) HALT();  // an argument without a directive
  }

 private:
  const CIO_Arg& Take() {
    if (next_ >= args_.size()) HALT();  // a directive without an argument
    return args_.begin()[next_++];
  }

  void Put(Directive& d) {
    if (d.star) {
      const CIO_Arg& w = Take();
      if (!IsInteger(w.kind())) HALT();
      const bool negative = w.kind() == CIO_Arg::Kind::Int && w.intValue() < 0;
      const std::uint64_t mag = negative ? 0 - static_cast<std::uint64_t>(w.intValue())
                                         : static_cast<std::uint64_t>(w.cardValue());
      d.left = d.left || negative;
      d.width = static_cast<std::size_t>(std::min<std::uint64_t>(mag, kMaxWidth));
    }
    const CIO_Arg& a = Take();
    using K = CIO_Arg::Kind;
    const K k = a.kind();
    if (d.size != 0 && (k == K::Str || k == K::Set || k == K::DynStr || a.size() != d.size)) {
      HALT();
    }
    switch (d.letter) {
      case 'd':
      case 'u':
      case 'o':
      case 't':
      case 'x':
      case 'X':
        if (!IsInteger(k)) HALT();
        PutInteger(d, a);
        break;
      case 'f':
        if (k != K::Real) HALT();
        PutReal(d, a.realValue());
        break;
      case 'a':
        if (k != K::Address && k != K::DynStr) HALT();
        PutAddress(d, a.address());
        break;
      case 'c':
      case 'C': {
        if (k != K::Char && !(IsInteger(k) && a.size() == 1)) HALT();
        const char c = k == K::Char ? a.charValue() : static_cast<char>(Bits(a));
        PutText(out_, d, d.alt ? QuotedChar(c) : std::string(1, c));
        break;
      }
      case 'B':
        if (k != K::Bool) HALT();
        PutText(out_, d, a.boolValue() ? (d.alt ? "T" : "TRUE") : (d.alt ? "F" : "FALSE"));
        break;
      case 's':
        if (k != K::Str) HALT();
        PutString(d, a.text().view());
        break;
      case 'D':
        if (k != K::DynStr) HALT();
        PutDynStr(d, static_cast<const DynStrRec*>(a.address()));
        break;
      case 'S':
        if (k != K::Set) HALT();
        PutText(out_, d, SetText(a.cardValue(), a.size(), d.alt));
        break;
    }
  }

  void PutInteger(const Directive& d, const CIO_Arg& a) {
    bool negative = false;
    std::uint64_t mag = Bits(a);
    if (d.letter == 'd' && a.kind() == CIO_Arg::Kind::Int && a.intValue() < 0) {
      negative = true;
      mag = 0 - static_cast<std::uint64_t>(a.intValue());
    }
    std::string digits;
    switch (d.letter) {
      case 'o':
        digits = Radix(mag, 8, false);
        break;
      case 't':
        digits = Radix(mag, 2, false);
        break;
      case 'x':
        digits = Radix(mag, 16, false);
        break;
      case 'X':
        digits = Radix(mag, 16, true);
        break;
      default:
        digits = Decimal(mag);
        break;
    }
    if (d.precision > 0 && digits.size() < static_cast<std::size_t>(d.precision)) {
      digits.insert(0, d.precision - digits.size(), '0');
    }
    std::string head = negative ? "-" : (d.plus && d.letter == 'd' ? "+" : "");
    if (d.alt) {
      switch (d.letter) {
        case 'd':
        case 'u':
          digits = Grouped(digits);
          break;
        case 'o':
          if (digits[0] != '0') head += '0';
          break;
        case 't':
          head += "0b";
          break;
        case 'x':
          head += "0x";
          break;
        case 'X':
          head += "0X";
          break;
      }
    }
    PutNumber(out_, d, head, digits);
  }

  void PutReal(const Directive& d, double v) {
    const int precision = d.precision < 0 ? 6 : std::min(d.precision, kMaxRealPrecision);
    const bool negative = std::signbit(v) && v != 0;
    std::string head = negative ? "-" : (d.plus ? "+" : "");
    const double mag = std::fabs(v);
    if (std::isnan(v)) return PutText(out_, d, "NaN");
    if (std::isinf(v)) return PutText(out_, d, head + "Inf");
    if (d.alt) return PutNumber(out_, d, head, ExponentForm(mag, precision));
    char buf[512] = "";
    BConvert_RealToStr(buf, mag, 0, precision);
    PutNumber(out_, d, head, buf);
  }

  void PutAddress(const Directive& d, const void* p) {
    std::string digits = Radix(reinterpret_cast<std::uintptr_t>(p), 16, false);
    if (d.precision > 0 && digits.size() < static_cast<std::size_t>(d.precision)) {
      digits.insert(0, d.precision - digits.size(), '0');
    }
    PutNumber(out_, d, d.alt ? "0x" : "", digits);
  }

  void PutString(const Directive& d, std::string_view text) {
    if (d.precision >= 0) text = text.substr(0, d.precision);
    if (d.alt) return PutText(out_, d, ShellEscaped(text));
    PutText(out_, d, text);
  }

  void PutDynStr(const Directive& d, const DynStrRec* ds) {
    if (dsText != nullptr) {
      const char* t = dsText(ds);
      return PutString(d, t != nullptr ? std::string_view(t) : std::string_view());
    }
    PutText(out_, d,
            ds == nullptr
                ? std::string("<DS nil>")
                : "<DS 0x" + Radix(reinterpret_cast<std::uintptr_t>(ds), 16, false) + ">");
  }

  std::string& out_;
  Args args_;
  std::size_t next_ = 0;
};

// The process-wide work text of the formatting calls, reused so that the whole result
// is not allocated anew on every call; a nested call (a hook printing) gets its own.
class WorkText {
 public:
  WorkText() : shared_(!busy_) {
    if (shared_) {
      busy_ = true;
      Shared().clear();
    }
  }
  ~WorkText() {
    if (shared_) busy_ = false;
  }
  WorkText(const WorkText&) = delete;
  WorkText& operator=(const WorkText&) = delete;

  std::string& text() { return shared_ ? Shared() : own_; }

 private:
  static std::string& Shared() {
    static std::string s;
    return s;
  }
  static inline bool busy_ = false;
  bool shared_;
  std::string own_;
};

void Pr(std::FILE* stream, StrIn fmt, Args args) {
  WorkText w;
  Formatter(w.text(), args).Run(fmt);
  if (stream == stderr) std::fflush(stdout);
  std::fwrite(w.text().data(), 1, w.text().size(), stream);
}

bool WriteAll(int file, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(file, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool FPr(int file, StrIn fmt, Args args) {
  WorkText w;
  Formatter(w.text(), args).Run(fmt);
  if (file == STDOUT_FILENO) std::fflush(stdout);
  return WriteAll(file, w.text());
}

void SPr(StrOut dst, StrIn fmt, Args args) {
  WorkText w;
  Formatter(w.text(), args).Run(fmt);
  Strings_Assign(StrIn(w.text()), dst);
}

// ---------------------------------------------------------------------------------------
// Scanning

class Scanner {
 public:
  Scanner(StrIn text, Outs outs) : text_(text.view()), outs_(outs) {}

  int Run(StrIn fmt) {
    const std::string_view f = fmt.view();
    std::size_t i = 0;
    char ch = 0;
    Directive d;
    for (Item it; (it = NextItem(f, i, ch, d)) != Item::End;) {
      if (it == Item::Directive) {
        Field(d);  // checked against its output even after a failure
      } else if (!failed_ && IsSpace(ch)) {
        SkipSpace();
      } else if (!failed_) {
        failed_ = !(pos_ < text_.size() && text_[pos_] == ch);
        if (!failed_) ++pos_;
      }
    }
    if (next_ != outs_.size()) HALT();  // an output without a directive
    return stored_;
  }

 private:
  void SkipSpace() {
    while (pos_ < text_.size() && IsSpace(text_[pos_])) ++pos_;
  }

  // Checks that out can take the field of d; a mismatch is a programming error.
  static void Check(const Directive& d, const CIO_Out& out) {
    using K = CIO_Out::Kind;
    const K k = out.kind();
    const bool integer = k == K::Int || k == K::Card;
    if (d.size != 0 && (!integer || out.size() != d.size)) HALT();
    bool fits = false;
    switch (d.letter) {
      case 'd':
      case 'u':
      case 'o':
      case 't':
      case 'x':
      case 'X':
        fits = integer;
        break;
      case 'f':
        fits = k == K::Real || k == K::Float;
        break;
      case 's':
        fits = k == K::Str || k == K::String;
        break;
      case 'D':
        fits = k == K::DynStr && dsAssign != nullptr;
        break;
      case 'c':
      case 'C':
        fits = k == K::Char || (integer && out.size() == 1);
        break;
      case 'B':
        fits = k == K::Bool;
        break;
      case 'S':
        fits = k == K::Set;
        break;
      case 'a':
        fits = k == K::Address;
        break;
    }
    if (!fits) HALT();
  }

  void Field(const Directive& d) {
    const CIO_Out* out = nullptr;
    if (!d.star) {
      if (next_ >= outs_.size()) HALT();  // a directive without an output
      out = &outs_.begin()[next_++];
      Check(d, *out);
    }
    if (failed_) return;
    if (d.letter != 'c' && d.letter != 'C') SkipSpace();
    std::string_view field = text_.substr(pos_);
    if (d.width > 0) field = field.substr(0, d.width);
    std::size_t used = 0;
    const bool ok = Read(d, field, out, used);
    if (!ok) {
      failed_ = true;
      return;
    }
    pos_ += used;
    if (out != nullptr) ++stored_;
  }

  // Reads one field from the front of f into out (nullptr: read only).
  static bool Read(const Directive& d, std::string_view f, const CIO_Out* out, std::size_t& used) {
    switch (d.letter) {
      case 'd':
        return ReadInteger(f, 10, true, out, used);
      case 'u':
        return ReadInteger(f, 10, false, out, used);
      case 'o':
        return ReadInteger(f, 8, false, out, used);
      case 't':
        return ReadInteger(f, 2, false, out, used);
      case 'x':
      case 'X':
        return ReadInteger(f, 16, false, out, used);
      case 'f':
        return ReadReal(f, out, used);
      case 'a':
        return ReadAddress(f, out, used);
      case 'c':
      case 'C':
        if (f.empty()) return false;
        if (out != nullptr) {
          if (out->kind() == CIO_Out::Kind::Char) {
            *static_cast<char*>(out->target()) = f[0];
          } else {
            *static_cast<unsigned char*>(out->target()) = static_cast<unsigned char>(f[0]);
          }
        }
        used = 1;
        return true;
      case 'B':
        return ReadBool(f, out, used);
      case 'S':
        return ReadSet(f, out, used);
      default:
        return ReadString(d, f, out, used);  // s, D
    }
  }

  // Digits of base at the front of f (after an optional "0x" for 16 or "0b" for 2).
  static bool ReadDigits(std::string_view f, unsigned base, std::uint64_t& v, std::size_t& j) {
    if (base == 16 || base == 2) {
      const char mark = base == 16 ? 'x' : 'b';
      if (j + 2 < f.size() && f[j] == '0' && (f[j + 1] | 0x20) == mark && HexValue(f[j + 2]) >= 0 &&
          static_cast<unsigned>(HexValue(f[j + 2])) < base) {
        j += 2;
      }
    }
    const std::size_t start = j;
    v = 0;
    for (; j < f.size(); ++j) {
      const int h = HexValue(f[j]);
      if (h < 0 || static_cast<unsigned>(h) >= base) break;
      if (v > (std::numeric_limits<std::uint64_t>::max() - h) / base) return false;
      v = v * base + h;
    }
    return j > start;
  }

  static bool ReadInteger(std::string_view f, unsigned base, bool sign, const CIO_Out* out,
                          std::size_t& used) {
    std::size_t j = 0;
    bool negative = false;
    if (sign && !f.empty() && (f[0] == '-' || f[0] == '+')) {
      negative = f[0] == '-';
      j = 1;
    }
    std::uint64_t mag = 0;
    if (!ReadDigits(f, base, mag, j)) return false;
    used = j;
    if (out == nullptr) return true;
    const unsigned bits = 8 * out->size();
    if (out->kind() == CIO_Out::Kind::Int) {
      const std::uint64_t limit = std::uint64_t{1} << (bits - 1);  // magnitude of the minimum
      if (mag > (negative ? limit : limit - 1)) return false;
      const std::int64_t v =
          negative ? static_cast<std::int64_t>(0 - mag) : static_cast<std::int64_t>(mag);
      switch (out->size()) {
        case 1:
          *static_cast<signed char*>(out->target()) = static_cast<signed char>(v);
          break;
        case 2:
          *static_cast<short*>(out->target()) = static_cast<short>(v);
          break;
        case 4:
          *static_cast<std::int32_t*>(out->target()) = static_cast<std::int32_t>(v);
          break;
        default:
          *static_cast<std::int64_t*>(out->target()) = v;
          break;
      }
    } else {
      if (negative && mag != 0) return false;
      if (bits < 64 && mag >> bits != 0) return false;
      switch (out->size()) {
        case 1:
          *static_cast<std::uint8_t*>(out->target()) = static_cast<std::uint8_t>(mag);
          break;
        case 2:
          *static_cast<std::uint16_t*>(out->target()) = static_cast<std::uint16_t>(mag);
          break;
        case 4:
          *static_cast<std::uint32_t*>(out->target()) = static_cast<std::uint32_t>(mag);
          break;
        default:
          *static_cast<std::uint64_t*>(out->target()) = mag;
          break;
      }
    }
    return true;
  }

  static bool ReadReal(std::string_view f, const CIO_Out* out, std::size_t& used) {
    char buf[512];
    Strings_Assign(StrIn(f.substr(0, sizeof buf - 1)), buf);
    const std::size_t before = std::strlen(buf);
    double v = 0;
    BConvert_StrToReal(buf, v);
    if (!BConvert_done) return false;
    used = before - std::strlen(buf);
    if (out == nullptr) return true;
    if (out->kind() == CIO_Out::Kind::Float) {
      *static_cast<float*>(out->target()) = static_cast<float>(v);
    } else {
      *static_cast<double*>(out->target()) = v;
    }
    return true;
  }

  static bool ReadAddress(std::string_view f, const CIO_Out* out, std::size_t& used) {
    std::size_t j = 0;
    std::uint64_t v = 0;
    if (!ReadDigits(f, 16, v, j)) return false;
    used = j;
    if (out != nullptr) {
      *static_cast<const void**>(out->target()) =
          reinterpret_cast<const void*>(static_cast<std::uintptr_t>(v));
    }
    return true;
  }

  static bool ReadBool(std::string_view f, const CIO_Out* out, std::size_t& used) {
    std::size_t j = 0;
    std::string word;
    for (; j < f.size() && std::isalpha(static_cast<unsigned char>(f[j])); ++j) {
      word += static_cast<char>(std::toupper(static_cast<unsigned char>(f[j])));
    }
    bool v = false;
    if (word == "TRUE" || word == "T") {
      v = true;
    } else if (word != "FALSE" && word != "F") {
      return false;
    }
    used = j;
    if (out != nullptr) *static_cast<bool*>(out->target()) = v;
    return true;
  }

  static bool ReadSet(std::string_view f, const CIO_Out* out, std::size_t& used) {
    const unsigned members = out != nullptr ? out->size() : 64;
    std::size_t j = 0;
    auto skip = [&] {
      while (j < f.size() && IsSpace(f[j])) ++j;
    };
    auto member = [&](std::uint64_t& v) {
      skip();
      return ReadDigits(f, 10, v, j) && v < members;
    };
    if (f.empty() || f[0] != '{') return false;
    ++j;
    skip();
    std::uint64_t bits = 0;
    if (j < f.size() && f[j] == '}') {
      ++j;
    } else {
      for (;;) {
        std::uint64_t lo = 0, hi = 0;
        if (!member(lo)) return false;
        hi = lo;
        skip();
        if (f.substr(j, 2) == "..") {
          j += 2;
          if (!member(hi) || hi < lo) return false;
          skip();
        }
        for (std::uint64_t k = lo; k <= hi; ++k) bits |= std::uint64_t{1} << k;
        if (j >= f.size()) return false;
        if (f[j++] == '}') break;
        if (f[j - 1] != ',') return false;
      }
    }
    used = j;
    if (out != nullptr) out->storeSet(bits);
    return true;
  }

  static bool ReadString(const Directive& d, std::string_view f, const CIO_Out* out,
                         std::size_t& used) {
    if (f.empty()) return false;
    std::size_t j = 0;
    if (d.alt && d.letter == 's') {
      while (j < f.size() && f[j] != '\n') ++j;
    } else {
      while (j < f.size() && !IsSpace(f[j])) ++j;
      if (j == 0) return false;
    }
    used = j;
    const std::string_view word = f.substr(0, j);
    if (out == nullptr) return true;
    switch (out->kind()) {
      case CIO_Out::Kind::Str:
        Strings_Assign(StrIn(word), out->array());
        break;
      case CIO_Out::Kind::String:
        static_cast<std::string*>(out->target())->assign(word);
        break;
      default:
        dsAssign(std::string(word).c_str(), static_cast<DynStrRec**>(out->target()));
    }
    return true;
  }

  std::string_view text_;
  Outs outs_;
  std::size_t pos_ = 0;
  std::size_t next_ = 0;
  int stored_ = 0;
  bool failed_ = false;
};

// The outputs live in the caller's list for the whole call.
int Sc(StrIn text, StrIn fmt, Outs outs) {
  Scanner scanner(text, outs);
  return scanner.Run(fmt);
}

}  // namespace

void CIO_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "CIO");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  StringOp_Init();
  BConvert_Init();
}

void CIO_SetDynStrHooks(CIO_DynStrTextProc text, CIO_DynStrAssignProc assign) {
  dsText = text;
  dsAssign = assign;
}

void CIO_Pr1(StrIn fmt, CIO_Arg a1) { Pr(stdout, fmt, {a1}); }
void CIO_Pr2(StrIn fmt, CIO_Arg a1, CIO_Arg a2) { Pr(stdout, fmt, {a1, a2}); }
void CIO_Pr3(StrIn fmt, CIO_Arg a1, CIO_Arg a2, CIO_Arg a3) { Pr(stdout, fmt, {a1, a2, a3}); }
void CIO_Pr4(StrIn fmt, CIO_Arg a1, CIO_Arg a2, CIO_Arg a3, CIO_Arg a4) {
  Pr(stdout, fmt, {a1, a2, a3, a4});
}
void CIO_Pr5(StrIn fmt, CIO_Arg a1, CIO_Arg a2, CIO_Arg a3, CIO_Arg a4, CIO_Arg a5) {
  Pr(stdout, fmt, {a1, a2, a3, a4, a5});
}

void CIO_PrLn() { std::fputc('\n', stdout); }
void CIO_Flush() { std::fflush(stdout); }

void CIO_Msg(StrIn text) {
  const std::string_view t = text.view();
  std::fwrite(t.data(), 1, t.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void CIO_EPr1(StrIn fmt, CIO_Arg a1) { Pr(stderr, fmt, {a1}); }
void CIO_EPr2(StrIn fmt, CIO_Arg a1, CIO_Arg a2) { Pr(stderr, fmt, {a1, a2}); }
void CIO_EPr3(StrIn fmt, CIO_Arg a1, CIO_Arg a2, CIO_Arg a3) { Pr(stderr, fmt, {a1, a2, a3}); }
void CIO_EPr4(StrIn fmt, CIO_Arg a1, CIO_Arg a2, CIO_Arg a3, CIO_Arg a4) {
  Pr(stderr, fmt, {a1, a2, a3, a4});
}
void CIO_EPr5(StrIn fmt, CIO_Arg a1, CIO_Arg a2, CIO_Arg a3, CIO_Arg a4, CIO_Arg a5) {
  Pr(stderr, fmt, {a1, a2, a3, a4, a5});
}

bool CIO_FPr1(int file, StrIn fmt, CIO_Arg a1) { return FPr(file, fmt, {a1}); }
bool CIO_FPr2(int file, StrIn fmt, CIO_Arg a1, CIO_Arg a2) { return FPr(file, fmt, {a1, a2}); }
bool CIO_FPr3(int file, StrIn fmt, CIO_Arg a1, CIO_Arg a2, CIO_Arg a3) {
  return FPr(file, fmt, {a1, a2, a3});
}
bool CIO_FPr4(int file, StrIn fmt, CIO_Arg a1, CIO_Arg a2, CIO_Arg a3, CIO_Arg a4) {
  return FPr(file, fmt, {a1, a2, a3, a4});
}
bool CIO_FPr5(int file, StrIn fmt, CIO_Arg a1, CIO_Arg a2, CIO_Arg a3, CIO_Arg a4, CIO_Arg a5) {
  return FPr(file, fmt, {a1, a2, a3, a4, a5});
}

void CIO_SPr1(StrOut dst, StrIn fmt, CIO_Arg a1) { SPr(dst, fmt, {a1}); }
void CIO_SPr2(StrOut dst, StrIn fmt, CIO_Arg a1, CIO_Arg a2) { SPr(dst, fmt, {a1, a2}); }
void CIO_SPr3(StrOut dst, StrIn fmt, CIO_Arg a1, CIO_Arg a2, CIO_Arg a3) {
  SPr(dst, fmt, {a1, a2, a3});
}
void CIO_SPr4(StrOut dst, StrIn fmt, CIO_Arg a1, CIO_Arg a2, CIO_Arg a3, CIO_Arg a4) {
  SPr(dst, fmt, {a1, a2, a3, a4});
}
void CIO_SPr5(StrOut dst, StrIn fmt, CIO_Arg a1, CIO_Arg a2, CIO_Arg a3, CIO_Arg a4, CIO_Arg a5) {
  SPr(dst, fmt, {a1, a2, a3, a4, a5});
}

int CIO_Sc1(StrIn text, StrIn fmt, CIO_Out o1) { return Sc(text, fmt, {o1}); }
int CIO_Sc2(StrIn text, StrIn fmt, CIO_Out o1, CIO_Out o2) { return Sc(text, fmt, {o1, o2}); }
int CIO_Sc3(StrIn text, StrIn fmt, CIO_Out o1, CIO_Out o2, CIO_Out o3) {
  return Sc(text, fmt, {o1, o2, o3});
}
int CIO_Sc4(StrIn text, StrIn fmt, CIO_Out o1, CIO_Out o2, CIO_Out o3, CIO_Out o4) {
  return Sc(text, fmt, {o1, o2, o3, o4});
}
int CIO_Sc5(StrIn text, StrIn fmt, CIO_Out o1, CIO_Out o2, CIO_Out o3, CIO_Out o4, CIO_Out o5) {
  return Sc(text, fmt, {o1, o2, o3, o4, o5});
}
