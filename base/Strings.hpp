// Bounded strings: character arrays of fixed capacity N = HIGH + 1. The value is the
// characters before the first NUL, or all N characters when the array holds no NUL.
// Every operation truncates silently and reports nothing.
//
// Arrays are passed through two views that remember the HIGH bound:
//   StrIn  - an input value. Built implicitly from a char array (its HIGH is N - 1),
//            a string literal, a std::string or a std::string_view. Operations work as
//            if on a private copy, so the same array may be input and output at once.
//   StrOut - an output array written in place. Built implicitly from a non-const char
//            array only, so a literal or a pointer cannot be passed by mistake.
// Characters are compared as unsigned bytes (Latin-1 sorts after ASCII).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

class StrIn {
 public:
  template <std::size_t N>
  constexpr StrIn(const char (&a)[N]) noexcept : p_(a), high_(N - 1) {
    static_assert(N > 0);
  }
  StrIn(const std::string& s) noexcept : p_(s.c_str()), high_(s.size()) {}
  StrIn(std::string_view s) noexcept
      : p_(s.empty() ? "" : s.data()), high_(s.empty() ? 0 : s.size() - 1) {}
  // An array given by address and HIGH bound (for the C-style layers).
  constexpr StrIn(const char* p, std::size_t high) noexcept : p_(p), high_(high) {}
  // A NUL-terminated C string.
  static StrIn FromC(const char* s) noexcept;

  const char* data() const noexcept { return p_; }
  std::size_t high() const noexcept { return high_; }
  // Characters before the first NUL, at most HIGH + 1.
  std::size_t length() const noexcept;
  // The value as a view (never includes the terminator).
  std::string_view view() const noexcept { return {p_, length()}; }
  std::string str() const { return std::string(view()); }
  // Character at i as unsigned code; i must be <= HIGH.
  unsigned char at(std::size_t i) const noexcept { return static_cast<unsigned char>(p_[i]); }

 private:
  const char* p_;
  std::size_t high_;
};

class StrOut {
 public:
  template <std::size_t N>
  constexpr StrOut(char (&a)[N]) noexcept : p_(a), high_(N - 1) {
    static_assert(N > 0);
  }
  constexpr StrOut(char* p, std::size_t high) noexcept : p_(p), high_(high) {}

  char* data() const noexcept { return p_; }
  std::size_t high() const noexcept { return high_; }
  std::size_t capacity() const noexcept { return high_ + 1; }
  std::size_t length() const noexcept { return StrIn(p_, high_).length(); }
  std::string_view view() const noexcept { return {p_, length()}; }
  operator StrIn() const noexcept { return StrIn(p_, high_); }

 private:
  char* p_;
  std::size_t high_;
};

void Strings_Init();

// Copies src into dst, at most dst's capacity; NUL-terminates when dst has room left.
void Strings_Assign(StrIn src, StrOut dst);
std::size_t Strings_Length(StrIn s);
// -1, 0 or +1 by unsigned character order.
int Strings_CompareStr(StrIn a, StrIn b);
bool Strings_Equal(StrIn a, StrIn b);
// dst := a followed by b, truncated; dst may be a or b.
void Strings_Concat(StrIn a, StrIn b, StrOut dst);
// dst := up to len characters of src from index; positions beyond src's HIGH give NUL.
void Strings_Copy(StrIn src, std::size_t index, std::size_t len, StrOut dst);
void Strings_Delete(StrOut s, std::size_t index, std::size_t len);
// Inserts src before index only when the whole result (with its terminator) fits.
void Strings_Insert(StrIn src, StrOut dst, std::size_t index);
// First / last position of pattern in s; HIGH(s) + 1 when absent.
std::size_t Strings_Pos(StrIn pattern, StrIn s);
std::size_t Strings_LastPos(StrIn pattern, StrIn s);
