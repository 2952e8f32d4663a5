// Typed formatting: a format text and up to five arguments in one call, every directive
// handled in order. Used for diagnostic output and for composing shell commands.
//
// Families (N = number of arguments, 1..5):
//   CIO_PrN   standard output          CIO_EPrN  standard error
//   CIO_FPrN  a descriptor file        CIO_SPrN  a bounded string
//   CIO_ScN   scans a text into output arguments
// beside them CIO_PrLn, CIO_Flush and CIO_Msg.
//
// Each argument is a CIO_Arg that remembers its kind and size, so the directive and the
// argument together fix the conversion. A directive whose letter does not suit its
// argument, an unknown letter, a missing argument or an argument left over is a
// programming error and ends the program through HALT.
//
// Format text. Backslash escapes are translated: \n \t \r \f \b \v \a \e \\ \" \',
// \ooo (one to three octal digits) and \xHH (one or two hex digits). Any other
// backslash is kept as it stands. "%%" is a literal "%".
//
// Directive: "%" [modifiers] [width] ["." precision] ["."] letter
//   modifiers, in any order:
//     *        the width is taken from the next argument (an integer) before the value;
//              in a scanner: the field is read but not stored, and takes no argument
//     p        signed numbers (d, f) show "+" when not negative
//     b h l ll the integer argument must be 1, 2, 8 or 8 bytes wide (e.g. "%ld" for
//              int64); without one any integer width is accepted
//   width      optional "-" (left-justify) and "0" (fill with zeros after the sign or
//              prefix; numbers only), then digits. A minimum: nothing is ever cut.
//   precision  f: decimals (default 6, at most 100); d u o t x X: minimum digits;
//              s D: at most that many characters of the text; ignored elsewhere.
//   "."        directly before the letter: the alternative form.
//
// Letter  argument                   normal form            alternative form
//   B     bool                       TRUE / FALSE           T / F
//   C c   char (or an 8-bit integer) the character          quoted: 'a', '\n', '\x01'
//   D     dynamic string handle      its text               shell-escaped text
//   S     std::bitset<N> (N <= 64)   {1,3,4,5}              ranges joined: {1,3..5}
//   X x   integer                    hex digits (upper/lower) with prefix 0X / 0x
//   a     address (any pointer)      lower-case hex digits  with prefix 0x
//   d     integer                    signed decimal         digits grouped: -1,234,567
//   u     integer                    unsigned decimal       digits grouped: 1,234,567
//   o     integer                    octal digits           with a leading 0
//   t     integer                    binary digits          with prefix 0b
//   f     double (or float)          fixed point            exponent form: 1.500000E+003
//   s     bounded string             its text               shell-escaped text
// Shell-escaped means a backslash before every shell metacharacter (blank, tab, quotes,
// backslash, ! # $ & | ; ( ) { } [ ] < > * ?), so the text passes through a shell as one
// word. Integers keep the signedness of their own type: %d of an unsigned value prints it
// unsigned, %u/%o/%t/%x of a negative value print the two's complement of the
// argument's own width. A dynamic string that is nil prints as the empty text.
//
// Pointers: a char array, std::string, string_view, StrIn/StrOut or const char* is a
// string (a null const char* prints as the empty text); every other pointer is an address
// (cast a char* to const void* to print its address).
//
// Bounded-string results are cut silently to the capacity of the destination, like the
// rest of the bounded-string family: a result that fills the array exactly carries no
// terminator.
//
// Scanners read a text and store into output arguments (CIO_Out, built from references
// and output arrays); they return the number of values stored and stop at the first
// field that does not match. A blank (or tab, line end) in the format matches any run of
// white space in the text, also none; any other character must match itself. Fields:
//   d u o t x X  an integer in that base (d may carry "-" or "+", x/X an optional 0x);
//                a value outside the range of the output's own type does not match
//   f            a real: sign, digits with an optional point, optional exponent
//   s            a word (up to white space); alternative form: the rest of the line
//   D            a word stored into a dynamic string (needs the dynamic-string hooks)
//   c C          one character, white space included (no blanks are skipped)
//   B            TRUE, FALSE, T or F in any case
//   S            a set as printed: {1,3..5}
//   a            an address in hex, with or without 0x
// A width limits the characters a field may take. Every field but c and C first skips
// white space. Strings are cut to the capacity of their output array.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "Strings.hpp"

// The descriptor behind a dynamic-string handle (owned by DynStr).
struct DynStrRec;

// How CIO reaches the texts of dynamic strings without importing their module. DynStr
// installs both at its initialisation; until then %D prints "<DS 0x...>" (the handle's
// address, "<DS nil>" for nil) and a %D field in a scanner is a programming error.
//   text:   the NUL-terminated text of a handle (nullptr is taken as empty)
//   assign: stores text into the handle variable *ds (creating the string when nil)
using CIO_DynStrTextProc = const char* (*)(const DynStrRec* ds);
using CIO_DynStrAssignProc = void (*)(const char* text, DynStrRec** ds);
void CIO_SetDynStrHooks(CIO_DynStrTextProc text, CIO_DynStrAssignProc assign);

// One argument of a formatting call: its kind, its size in bytes and its value.
class CIO_Arg {
 public:
  enum class Kind : std::uint8_t { Bool, Char, Int, Card, Real, Address, Str, Set, DynStr };

  CIO_Arg(bool v) noexcept : kind_(Kind::Bool), size_(1) { v_.b = v; }
  CIO_Arg(char v) noexcept : kind_(Kind::Char), size_(1) { v_.c = v; }
  CIO_Arg(signed char v) noexcept : CIO_Arg(std::int64_t{v}, 1) {}
  CIO_Arg(unsigned char v) noexcept : CIO_Arg(std::uint64_t{v}, 1) {}
  CIO_Arg(short v) noexcept : CIO_Arg(std::int64_t{v}, 2) {}
  CIO_Arg(unsigned short v) noexcept : CIO_Arg(std::uint64_t{v}, 2) {}
  CIO_Arg(int v) noexcept : CIO_Arg(std::int64_t{v}, 4) {}
  CIO_Arg(unsigned v) noexcept : CIO_Arg(std::uint64_t{v}, 4) {}
  CIO_Arg(long v) noexcept : CIO_Arg(std::int64_t{v}, sizeof(long)) {}
  CIO_Arg(unsigned long v) noexcept : CIO_Arg(std::uint64_t{v}, sizeof(long)) {}
  CIO_Arg(long long v) noexcept : CIO_Arg(std::int64_t{v}, 8) {}
  CIO_Arg(unsigned long long v) noexcept : CIO_Arg(std::uint64_t{v}, 8) {}
  CIO_Arg(double v) noexcept : kind_(Kind::Real), size_(8) { v_.r = v; }
  CIO_Arg(const void* p) noexcept : kind_(Kind::Address), size_(sizeof p) { v_.p = p; }
  CIO_Arg(const DynStrRec* ds) noexcept : kind_(Kind::DynStr), size_(sizeof ds) { v_.p = ds; }

  template <std::size_t N>
  CIO_Arg(const char (&a)[N]) noexcept : CIO_Arg(StrIn(a)) {}
  CIO_Arg(StrIn s) noexcept : kind_(Kind::Str), size_(0), high_(s.high()) { v_.s = s.data(); }
  CIO_Arg(StrOut s) noexcept : CIO_Arg(StrIn(s)) {}
  CIO_Arg(const std::string& s) noexcept : CIO_Arg(StrIn(s)) {}
  CIO_Arg(std::string_view s) noexcept : CIO_Arg(StrIn(s)) {}
  // A NUL-terminated C string. A template taking a reference, so that a char array
  // still binds to the array form above and keeps its HIGH bound.
  template <class P,
            std::enable_if_t<std::is_same_v<P, const char*> || std::is_same_v<P, char*>, int> = 0>
  CIO_Arg(const P& s) noexcept : CIO_Arg(s ? StrIn::FromC(s) : StrIn("")) {}

  template <std::size_t N>
  CIO_Arg(const std::bitset<N>& set) noexcept : kind_(Kind::Set), size_(N) {
    static_assert(N <= 64, "a set of at most 64 members");
    v_.u = set.to_ullong();
  }

  Kind kind() const noexcept { return kind_; }
  // Bytes of a number, character or handle; members of a set; 0 for a string.
  unsigned size() const noexcept { return size_; }
  bool boolValue() const noexcept { return v_.b; }
  char charValue() const noexcept { return v_.c; }
  std::int64_t intValue() const noexcept { return v_.i; }
  std::uint64_t cardValue() const noexcept { return v_.u; }
  double realValue() const noexcept { return v_.r; }
  const void* address() const noexcept { return v_.p; }
  StrIn text() const noexcept { return StrIn(v_.s, high_); }

 private:
  CIO_Arg(std::int64_t v, unsigned size) noexcept : kind_(Kind::Int), size_(size) { v_.i = v; }
  CIO_Arg(std::uint64_t v, unsigned size) noexcept : kind_(Kind::Card), size_(size) { v_.u = v; }

  Kind kind_;
  unsigned size_;
  std::size_t high_ = 0;
  union {
    bool b;
    char c;
    std::int64_t i;
    std::uint64_t u;
    double r;
    const void* p;
    const char* s;
  } v_;
};

// One output argument of a scanner: where to store and what kind of value fits there.
class CIO_Out {
 public:
  enum class Kind : std::uint8_t {
    Bool,
    Char,
    Int,
    Card,
    Real,
    Float,
    Address,
    Str,
    String,
    Set,
    DynStr
  };

  CIO_Out(bool& v) noexcept : kind_(Kind::Bool), size_(1), p_(&v) {}
  CIO_Out(char& v) noexcept : kind_(Kind::Char), size_(1), p_(&v) {}
  CIO_Out(signed char& v) noexcept : kind_(Kind::Int), size_(1), p_(&v) {}
  CIO_Out(unsigned char& v) noexcept : kind_(Kind::Card), size_(1), p_(&v) {}
  CIO_Out(short& v) noexcept : kind_(Kind::Int), size_(2), p_(&v) {}
  CIO_Out(unsigned short& v) noexcept : kind_(Kind::Card), size_(2), p_(&v) {}
  CIO_Out(int& v) noexcept : kind_(Kind::Int), size_(4), p_(&v) {}
  CIO_Out(unsigned& v) noexcept : kind_(Kind::Card), size_(4), p_(&v) {}
  CIO_Out(long& v) noexcept : kind_(Kind::Int), size_(sizeof v), p_(&v) {}
  CIO_Out(unsigned long& v) noexcept : kind_(Kind::Card), size_(sizeof v), p_(&v) {}
  CIO_Out(long long& v) noexcept : kind_(Kind::Int), size_(8), p_(&v) {}
  CIO_Out(unsigned long long& v) noexcept : kind_(Kind::Card), size_(8), p_(&v) {}
  CIO_Out(double& v) noexcept : kind_(Kind::Real), size_(8), p_(&v) {}
  CIO_Out(float& v) noexcept : kind_(Kind::Float), size_(4), p_(&v) {}
  CIO_Out(const void*& v) noexcept : kind_(Kind::Address), size_(sizeof v), p_(&v) {}
  CIO_Out(void*& v) noexcept : kind_(Kind::Address), size_(sizeof v), p_(&v) {}
  CIO_Out(DynStrRec*& ds) noexcept : kind_(Kind::DynStr), size_(sizeof ds), p_(&ds) {}
  template <std::size_t N>
  CIO_Out(char (&a)[N]) noexcept : CIO_Out(StrOut(a)) {}
  CIO_Out(StrOut s) noexcept : kind_(Kind::Str), size_(0), p_(s.data()), high_(s.high()) {}
  CIO_Out(std::string& s) noexcept : kind_(Kind::String), size_(0), p_(&s) {}
  template <std::size_t N>
  CIO_Out(std::bitset<N>& set) noexcept : kind_(Kind::Set), size_(N), p_(&set) {
    static_assert(N <= 64, "a set of at most 64 members");
    store_set_ = [](void* p, std::uint64_t bits) {
      *static_cast<std::bitset<N>*>(p) = std::bitset<N>(bits);
    };
  }

  Kind kind() const noexcept { return kind_; }
  // Bytes of a number, character or handle; members of a set; 0 for a string.
  unsigned size() const noexcept { return size_; }
  void* target() const noexcept { return p_; }
  StrOut array() const noexcept { return StrOut(static_cast<char*>(p_), high_); }
  void storeSet(std::uint64_t bits) const noexcept { store_set_(p_, bits); }

 private:
  Kind kind_;
  unsigned size_;
  void* p_;
  std::size_t high_ = 0;
  void (*store_set_)(void*, std::uint64_t) = nullptr;
};

void CIO_Init();

// Standard output (buffered; CIO_Flush, CIO_Msg and HALT flush it).
void CIO_Pr1(StrIn fmt, CIO_Arg a1);
void CIO_Pr2(StrIn fmt, CIO_Arg a1, CIO_Arg a2);
void CIO_Pr3(StrIn fmt, CIO_Arg a1, CIO_Arg a2, CIO_Arg a3);
void CIO_Pr4(StrIn fmt, CIO_Arg a1, CIO_Arg a2, CIO_Arg a3, CIO_Arg a4);
void CIO_Pr5(StrIn fmt, CIO_Arg a1, CIO_Arg a2, CIO_Arg a3, CIO_Arg a4, CIO_Arg a5);
// A line end on standard output.
void CIO_PrLn();
// Writes out what standard output holds buffered.
void CIO_Flush();
// text as it stands (no directives, no escapes) and a line end on standard output,
// flushed at once.
void CIO_Msg(StrIn text);

// Standard error (standard output is flushed first, so the two keep their order).
void CIO_EPr1(StrIn fmt, CIO_Arg a1);
void CIO_EPr2(StrIn fmt, CIO_Arg a1, CIO_Arg a2);
void CIO_EPr3(StrIn fmt, CIO_Arg a1, CIO_Arg a2, CIO_Arg a3);
void CIO_EPr4(StrIn fmt, CIO_Arg a1, CIO_Arg a2, CIO_Arg a3, CIO_Arg a4);
void CIO_EPr5(StrIn fmt, CIO_Arg a1, CIO_Arg a2, CIO_Arg a3, CIO_Arg a4, CIO_Arg a5);

// A descriptor file, written unbuffered. False when not every byte could be written.
bool CIO_FPr1(int file, StrIn fmt, CIO_Arg a1);
bool CIO_FPr2(int file, StrIn fmt, CIO_Arg a1, CIO_Arg a2);
bool CIO_FPr3(int file, StrIn fmt, CIO_Arg a1, CIO_Arg a2, CIO_Arg a3);
bool CIO_FPr4(int file, StrIn fmt, CIO_Arg a1, CIO_Arg a2, CIO_Arg a3, CIO_Arg a4);
bool CIO_FPr5(int file, StrIn fmt, CIO_Arg a1, CIO_Arg a2, CIO_Arg a3, CIO_Arg a4, CIO_Arg a5);

// dst := the formatted text, cut to dst's capacity. Arguments may be dst itself.
void CIO_SPr1(StrOut dst, StrIn fmt, CIO_Arg a1);
void CIO_SPr2(StrOut dst, StrIn fmt, CIO_Arg a1, CIO_Arg a2);
void CIO_SPr3(StrOut dst, StrIn fmt, CIO_Arg a1, CIO_Arg a2, CIO_Arg a3);
void CIO_SPr4(StrOut dst, StrIn fmt, CIO_Arg a1, CIO_Arg a2, CIO_Arg a3, CIO_Arg a4);
void CIO_SPr5(StrOut dst, StrIn fmt, CIO_Arg a1, CIO_Arg a2, CIO_Arg a3, CIO_Arg a4, CIO_Arg a5);

// Scans text by fmt; the number of values stored.
int CIO_Sc1(StrIn text, StrIn fmt, CIO_Out o1);
int CIO_Sc2(StrIn text, StrIn fmt, CIO_Out o1, CIO_Out o2);
int CIO_Sc3(StrIn text, StrIn fmt, CIO_Out o1, CIO_Out o2, CIO_Out o3);
int CIO_Sc4(StrIn text, StrIn fmt, CIO_Out o1, CIO_Out o2, CIO_Out o3, CIO_Out o4);
int CIO_Sc5(StrIn text, StrIn fmt, CIO_Out o1, CIO_Out o2, CIO_Out o3, CIO_Out o4, CIO_Out o5);
