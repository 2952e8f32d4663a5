#include "StringOp.hpp"

#include <algorithm>
#include <cstring>

#include "UCommon.hpp"

namespace {

unsigned char U(char ch) { return static_cast<unsigned char>(ch); }

// The characters stripping removes: blank, backspace, line feed, form feed, return.
bool IsStripped(char ch) {
  switch (U(ch)) {
    case 32:
    case 8:
    case 10:
    case 12:
    case 13:
      return true;
    default:
      return false;
  }
}

// A one-character string viewed in place.
StrIn OneChar(const char& ch) { return StrIn(&ch, 0); }

// Keeps the first n characters of s (n <= its length).
void Cut(StrOut s, std::size_t n) {
  if (n <= s.high()) s.data()[n] = '\0';
}

}  // namespace

void StringOp_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "StringOp");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
}

void StringOp_LStrip(StrOut s) {
  const std::size_t len = s.length();
  std::size_t n = 0;
  while (n < len && IsStripped(s.data()[n])) ++n;
  Strings_Delete(s, 0, n);
}

void StringOp_RStrip(StrOut s) {
  std::size_t len = s.length();
  while (len > 0 && IsStripped(s.data()[len - 1])) --len;
  Cut(s, len);
}

void StringOp_LRStrip(StrOut s) {
  StringOp_LStrip(s);
  StringOp_RStrip(s);
}

void StringOp_Assign(StrIn src, StrOut dst) { Strings_Assign(src, dst); }
std::size_t StringOp_Length(StrIn s) { return Strings_Length(s); }
int StringOp_CompareStr(StrIn a, StrIn b) { return Strings_CompareStr(a, b); }
bool StringOp_Equal(StrIn a, StrIn b) { return Strings_Equal(a, b); }

char StringOp_Lower(char ch) {
  const unsigned char c = U(ch);
  if ((c >= 'A' && c <= 'Z') || (c >= 192 && c <= 222 && c != 215)) {
    return static_cast<char>(c + 32);
  }
  return ch;
}

char StringOp_Upper(char ch) {
  const unsigned char c = U(ch);
  if ((c >= 'a' && c <= 'z') || (c >= 224 && c <= 254 && c != 247)) {
    return static_cast<char>(c - 32);
  }
  return ch;
}

void StringOp_LowShift(StrOut s) {
  const std::size_t len = s.length();
  for (std::size_t i = 0; i < len; ++i) s.data()[i] = StringOp_Lower(s.data()[i]);
}

void StringOp_UpShift(StrOut s) {
  const std::size_t len = s.length();
  for (std::size_t i = 0; i < len; ++i) s.data()[i] = StringOp_Upper(s.data()[i]);
}

void StringOp_NextWord(StrOut s, StrOut word) {
  StringOp_LStrip(s);
  char delimiter = ' ';
  if (s.data()[0] == '"') {
    Strings_Delete(s, 0, 1);
    delimiter = '"';
  }
  const std::size_t len = s.length();
  if (len == 0) {
    Strings_Assign(StringOp_Null, word);
    return;
  }
  std::size_t end = StringOp_CharPos(s, false, delimiter, 0);
  if (end > s.high()) {
    Strings_Assign(s, word);
    Cut(s, 0);
    return;
  }
  if (delimiter == ' ') {
    for (std::size_t i = 0; i < end; ++i) {
      if (IsStripped(s.data()[i])) {
        end = i;
        break;
      }
    }
  }
  Strings_Copy(s, 0, end, word);
  // The closing quote goes with the word; a blank stays for the next call to strip.
  Strings_Delete(s, 0, delimiter == '"' ? end + 1 : end);
}

void StringOp_LastWord(StrOut s, StrOut word) {
  StringOp_LRStrip(s);
  std::size_t len = s.length();
  const bool quoted = len > 0 && s.data()[len - 1] == '"';
  if (quoted) Cut(s, --len);
  if (len == 0) {
    Strings_Assign(StringOp_Null, word);
    return;
  }
  std::size_t i = len;
  while (i > 0 && (quoted ? s.data()[i - 1] != '"' : !IsStripped(s.data()[i - 1]))) --i;
  if (i == 0) {
    Strings_Assign(s, word);
    Cut(s, 0);
    return;
  }
  // i is just after the delimiter; the opening quote goes with the word, a blank stays.
  Strings_Copy(s, i, len - i, word);
  Cut(s, quoted ? i - 1 : i);
}

void StringOp_NextToken(StrOut s, char separator, StrOut token) {
  const std::size_t p = StringOp_CharPos(s, false, separator, 0);
  if (p > s.high()) {
    Strings_Assign(s, token);
    Cut(s, 0);
    return;
  }
  Strings_Copy(s, 0, p, token);
  Strings_Delete(s, 0, p + 1);
}

std::size_t StringOp_NumTokens(StrIn s, char separator) {
  const std::size_t len = s.length();
  if (len == 0) return 0;
  std::size_t separators = 0;
  for (std::size_t i = 0; i < len; ++i) separators += s.data()[i] == separator;
  // A separator at the very end leaves s empty, so no token follows it.
  return s.data()[len - 1] == separator ? separators : separators + 1;
}

void StringOp_NextLine(StrOut s, StrOut line) {
  const std::size_t p = StringOp_CharPos(s, false, '\n', 0);
  if (p > s.high()) {
    Strings_Assign(s, line);
    Cut(s, 0);
    return;
  }
  const std::size_t end = p > 0 && s.data()[p - 1] == '\r' ? p - 1 : p;
  Strings_Copy(s, 0, end, line);
  Strings_Delete(s, 0, p + 1);
}

bool StringOp_IsAlpha(char ch) {
  const unsigned char c = U(ch);
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= 192 && c <= 254 && c != 215 && c != 247);
}

bool StringOp_IsDecimalNum(char ch) { return ch >= '0' && ch <= '9'; }

bool StringOp_IsWhite(char ch) { return ch == ' ' || ch == 8 || ch == 12; }

bool StringOp_IsWhiteOrLn(char ch) { return StringOp_IsWhite(ch) || ch == 10 || ch == 13; }

bool StringOp_IsShellMetaChar(char ch) {
  return ch != '\0' && std::strchr(" \t`'\"\\!#$&|;(){}[]<>*?", ch) != nullptr;
}

bool StringOp_ReplaceFirst(StrOut s, StrIn old, StrIn new_) {
  const std::size_t lo = old.length();
  if (lo == 0) return false;
  const std::size_t p = Strings_Pos(old, s);
  if (p > s.high()) return false;
  Strings_Delete(s, p, lo);
  Strings_Insert(new_, s, p);
  return true;
}

bool StringOp_ReplaceAll(StrOut s, StrIn old, StrIn new_) {
  const std::size_t lo = old.length();
  const std::size_t ln = new_.length();
  if (lo == 0) return false;
  bool replaced = false;
  std::size_t start = 0;
  for (;;) {
    const std::size_t p = StringOp_StringPos(s, old, start);
    if (p > s.high()) return replaced;
    replaced = true;
    const std::size_t before = s.length();
    Strings_Delete(s, p, lo);
    Strings_Insert(new_, s, p);
    // Continue behind the inserted text (or at p when it did not fit).
    start = s.length() + lo == before + ln ? p + ln : p;
  }
}

bool StringOp_ReplaceStr(StrOut s, StrIn old, StrIn new_) {
  return StringOp_ReplaceAll(s, old, new_);
}

void StringOp_ReplaceChar(StrOut s, char old, char new_) {
  const std::size_t len = s.length();
  for (std::size_t i = 0; i < len; ++i) {
    if (s.data()[i] == old) s.data()[i] = new_;
  }
}

void StringOp_ConcatChar(StrOut s, char ch) {
  const std::size_t len = s.length();
  if (len > s.high()) return;
  s.data()[len] = ch;
  Cut(s, len + 1);
}

void StringOp_InsertChar(StrOut s, char ch, std::size_t index) {
  Strings_Insert(OneChar(ch), s, index);
}

bool StringOp_ContainsChar(StrIn s, char ch) {
  return std::memchr(s.data(), ch, s.length()) != nullptr;
}

void StringOp_DeleteChars(StrOut s, StrIn set) {
  const std::size_t len = s.length();
  char* d = s.data();
  std::size_t kept = 0;
  for (std::size_t i = 0; i < len; ++i) {
    if (!StringOp_ContainsChar(set, d[i])) d[kept++] = d[i];
  }
  Cut(s, kept);
}

void StringOp_PrefixChar(StrOut s, char ch) { StringOp_InsertChar(s, ch, 0); }

std::size_t StringOp_CharPos(StrIn s, bool honourBackslash, char ch, std::size_t start) {
  const std::size_t len = s.length();
  for (std::size_t i = start; i < len; ++i) {
    if (s.data()[i] != ch) continue;
    if (honourBackslash) {
      std::size_t backslashes = 0;
      while (backslashes < i && s.data()[i - 1 - backslashes] == '\\') ++backslashes;
      if (backslashes % 2 == 1) continue;
    }
    return i;
  }
  return s.high() + 1;
}

std::size_t StringOp_StringPos(StrIn s, StrIn pattern, std::size_t start) {
  if (start > s.high()) return s.high() + 1;
  const std::size_t p = Strings_Pos(pattern, StrIn(s.data() + start, s.high() - start));
  return p + start;  // "absent" maps to HIGH(s) + 1 as well
}

void StringOp_CenterStr(StrOut s, std::size_t width) {
  const std::size_t len = s.length();
  if (width <= len || len >= s.high()) return;
  // The blanks must leave room for the terminator.
  const std::size_t n = std::min((width - len) / 2, s.high() - len);
  std::memmove(s.data() + n, s.data(), len + 1);
  std::memset(s.data(), ' ', n);
}

namespace {

// The escape sequence of one character into out (1 to 4 characters); returns its size.
std::size_t EscapeOf(char ch, char* out) {
  const unsigned char c = U(ch);
  const char* letters = "btn.fr";  // codes 8..13, 11 has no letter
  if (ch == '\\' || ch == '"') {
    out[0] = '\\';
    out[1] = ch;
    return 2;
  }
  if (c >= 8 && c <= 13 && c != 11) {
    out[0] = '\\';
    out[1] = letters[c - 8];
    return 2;
  }
  if (c < 32 || c == 127) {
    out[0] = '\\';
    out[1] = static_cast<char>('0' + (c >> 6));
    out[2] = static_cast<char>('0' + ((c >> 3) & 7));
    out[3] = static_cast<char>('0' + (c & 7));
    return 4;
  }
  out[0] = ch;
  return 1;
}

}  // namespace

void StringOp_Escape(StrIn src, StrOut dst) {
  const std::size_t len = src.length();
  char seq[4];
  std::size_t total = 0;
  for (std::size_t i = 0; i < len; ++i) total += EscapeOf(src.data()[i], seq);
  // Filled from the end: every character's escape lands at or after its own position,
  // so src may be dst itself.
  std::size_t pos = total;
  for (std::size_t i = len; i-- > 0;) {
    const std::size_t n = EscapeOf(src.data()[i], seq);
    pos -= n;
    for (std::size_t k = 0; k < n; ++k) {
      if (pos + k <= dst.high()) dst.data()[pos + k] = seq[k];
    }
  }
  Cut(dst, total);
}

void StringOp_Unescape(StrIn src, StrOut dst) {
  const std::size_t len = src.length();
  const char* s = src.data();
  char* d = dst.data();
  std::size_t out = 0;
  // The result is never longer than src, so src may be dst itself.
  for (std::size_t i = 0; i < len && out <= dst.high(); ++i) {
    char ch = s[i];
    if (ch == '\\' && i + 1 < len) {
      ch = s[++i];
      switch (ch) {
        case 'b':
          ch = 8;
          break;
        case 't':
          ch = 9;
          break;
        case 'n':
          ch = 10;
          break;
        case 'f':
          ch = 12;
          break;
        case 'r':
          ch = 13;
          break;
        default:
          if (ch >= '0' && ch <= '7') {
            unsigned code = 0;
            std::size_t digits = 0;
            while (digits < 3 && i < len && s[i] >= '0' && s[i] <= '7') {
              code = code * 8 + static_cast<unsigned>(s[i] - '0');
              ++i;
              ++digits;
            }
            --i;
            ch = static_cast<char>(code & 0xFF);
          }
      }
    }
    d[out++] = ch;
  }
  Cut(dst, out);
}
