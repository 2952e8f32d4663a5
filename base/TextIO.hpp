// The text reading and writing shared by OutIn (descriptor files) and BOutIn (buffered
// files). Not a module of its own: both modules instantiate these templates with a
// small adapter over their file layer:
//
//   struct Adapter {
//     bool Get(char& ch);   // one text character; false at the end of the file or on error
//     void Unget();         // pushes the last character back (also the end of the file)
//     bool Put(const char* p, std::size_t n);  // true when all n were written
//   };
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "BConvert.hpp"
#include "Strings.hpp"

namespace zolt::textio {

// Characters up to and excluding the next line end, or until s is full (the rest of the
// line stays unread), or the end of the file. False when the file ended before a
// character was read.
template <class A>
bool ReadString(A& a, StrOut s) {
  std::size_t n = 0;
  char ch;
  bool any = false;
  while (n < s.capacity()) {
    if (!a.Get(ch)) {
      if (n < s.capacity()) s.data()[n] = '\0';
      return any;
    }
    any = true;
    if (ch == '\n') break;
    s.data()[n++] = ch;
  }
  if (n < s.capacity()) s.data()[n] = '\0';
  return true;
}

template <class A>
void ReadLn(A& a) {
  char ch;
  while (a.Get(ch) && ch != '\n') {
  }
}

// Skips characters below 33; then collects the characters for which accept(text so far,
// ch) holds and pushes the first other one back. Empty when the file ended first.
template <class A, class Accept>
std::string ReadToken(A& a, Accept accept) {
  char ch;
  do {
    if (!a.Get(ch)) return std::string();
  } while (static_cast<unsigned char>(ch) < 33);
  std::string text;
  while (accept(text, ch)) {
    text += ch;
    if (!a.Get(ch)) break;
  }
  a.Unget();
  return text;
}

inline bool IsDigit(char ch) { return ch >= '0' && ch <= '9'; }

inline bool HasDigit(const std::string& s) {
  for (char c : s) {
    if (IsDigit(c)) return true;
  }
  return false;
}

// Converts the whole token with a BConvert reader; false (x unchanged) when the token is
// not exactly one number or the number overflows.
template <class T>
bool Convert(const std::string& token, T& x, void (*reader)(StrOut, T&)) {
  if (!HasDigit(token)) return false;
  std::vector<char> buf(token.begin(), token.end());
  buf.push_back('\0');
  T value{};
  reader(StrOut(buf.data(), buf.size() - 1), value);
  if (!BConvert_done || buf[0] != '\0') return false;
  x = value;
  return true;
}

template <class A>
bool ReadCard(A& a, std::uint32_t& x) {
  const std::string t = ReadToken(a, [](const std::string&, char ch) { return IsDigit(ch); });
  return Convert(t, x, BConvert_StrToCard);
}

template <class A>
bool ReadInt(A& a, std::int32_t& x) {
  const std::string t = ReadToken(
      a, [](const std::string& s, char ch) { return IsDigit(ch) || (s.empty() && ch == '-'); });
  return Convert(t, x, BConvert_StrToInt);
}

template <class A>
bool ReadReal(A& a, double& x) {
  // Sign, digits with one decimal point, then an exponent with its own sign and digits.
  const std::string t = ReadToken(a, [](const std::string& s, char ch) {
    const std::size_t e = s.find_first_of("Ee");
    if (IsDigit(ch)) return true;
    if (ch == '+' || ch == '-') return s.empty() || (e != std::string::npos && e + 1 == s.size());
    if (ch == '.') return e == std::string::npos && s.find('.') == std::string::npos;
    if (ch == 'E' || ch == 'e') return e == std::string::npos && HasDigit(s);
    return false;
  });
  return Convert(t, x, BConvert_StrToReal);
}

template <class A>
bool WriteString(A& a, StrIn s) {
  const std::size_t n = s.length();
  return n == 0 || a.Put(s.data(), n);
}

template <class A>
bool WriteLn(A& a) {
  return a.Put("\n", 1);
}

// Formats with a BConvert writer into a buffer large enough for any width.
template <class A, class Writer>
bool WriteNumber(A& a, std::size_t width, Writer write) {
  std::vector<char> buf(width + 64, '\0');
  write(StrOut(buf.data(), buf.size() - 1));
  return WriteString(a, StrIn(buf.data(), buf.size() - 1));
}

template <class A>
bool WriteCard(A& a, std::uint32_t x, std::size_t width) {
  return WriteNumber(a, width, [&](StrOut s) { BConvert_CardToStr(s, x, width); });
}

template <class A>
bool WriteInt(A& a, std::int32_t x, std::size_t width) {
  return WriteNumber(a, width, [&](StrOut s) { BConvert_IntToStr(s, x, width); });
}

template <class A>
bool WriteReal(A& a, double x, std::size_t width, int decimals) {
  // Fixed point of a huge value needs room for all its integer digits.
  return WriteNumber(a, width + 320 + (decimals > 0 ? static_cast<std::size_t>(decimals) : 0),
                     [&](StrOut s) { BConvert_RealToStr(s, x, width, decimals); });
}

}  // namespace zolt::textio
