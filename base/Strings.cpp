#include "Strings.hpp"

#include <algorithm>
#include <cstring>

#include "UCommon.hpp"

namespace {

// True when the input's array lies within the output's array: only then can writing
// the output change the input while it is still being read.
bool Inside(const StrIn& in, const StrOut& out) {
  const char* p = in.data();
  return p >= out.data() && p < out.data() + out.capacity();
}

}  // namespace

StrIn StrIn::FromC(const char* s) noexcept {
  if (s == nullptr) return StrIn("", 0);
  return StrIn(s, std::strlen(s));
}

std::size_t StrIn::length() const noexcept {
  const void* nul = std::memchr(p_, 0, high_ + 1);
  return nul == nullptr ? high_ + 1 : static_cast<std::size_t>(static_cast<const char*>(nul) - p_);
}

void Strings_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "Strings");
  if (!init) return;
  UCommon_Init();
}

void Strings_Assign(StrIn src, StrOut dst) {
  const std::size_t n = std::min(src.length(), dst.capacity());
  std::memmove(dst.data(), src.data(), n);
  if (n < dst.capacity()) dst.data()[n] = '\0';
}

std::size_t Strings_Length(StrIn s) { return s.length(); }

int Strings_CompareStr(StrIn a, StrIn b) {
  std::size_t i = 0;
  while (i <= a.high() && i <= b.high() && a.at(i) == b.at(i) && a.at(i) != 0) ++i;
  const unsigned char ca = i <= a.high() ? a.at(i) : 0;
  const unsigned char cb = i <= b.high() ? b.at(i) : 0;
  if (ca == cb) return 0;
  return ca < cb ? -1 : 1;
}

bool Strings_Equal(StrIn a, StrIn b) { return Strings_CompareStr(a, b) == 0; }

void Strings_Concat(StrIn a, StrIn b, StrOut dst) {
  const std::size_t cap = dst.capacity();
  const std::size_t la = std::min(a.length(), cap);
  const std::size_t lb = std::min(b.length(), cap - la);
  // b goes to its place first: when dst is a, a's text stays below la untouched; when
  // dst is b, b is read before a overwrites the front.
  std::memmove(dst.data() + la, b.data(), lb);
  std::memmove(dst.data(), a.data(), la);
  if (la + lb < cap) dst.data()[la + lb] = '\0';
}

void Strings_Copy(StrIn src, std::size_t index, std::size_t len, StrOut dst) {
  const std::size_t n = std::min(len, dst.capacity());
  std::size_t avail = 0;
  if (index <= src.high()) avail = std::min(n, src.high() + 1 - index);
  if (avail > 0) std::memmove(dst.data(), src.data() + index, avail);
  std::memset(dst.data() + avail, 0, n - avail);
  if (n < dst.capacity()) dst.data()[n] = '\0';
}

void Strings_Delete(StrOut s, std::size_t index, std::size_t len) {
  if (index > s.high()) return;
  len = std::min(len, s.high() - index + 1);
  const std::size_t length = s.length();
  if (len == 0 || index >= length) return;
  const std::size_t from = std::min(index + len, length);
  const std::size_t moved = length - from;
  std::memmove(s.data() + index, s.data() + from, moved);
  s.data()[index + moved] = '\0';
}

void Strings_Insert(StrIn src, StrOut dst, std::size_t index) {
  const std::size_t ls = src.length();
  const std::size_t ld = dst.length();
  // Only a whole result that keeps its terminator is written; an index beyond the text
  // would leave a hole, so it is refused as well.
  if (ls == 0 || index > ld || index + ls > dst.capacity() || ld + ls > dst.high()) return;
  char* d = dst.data();
  const bool alias = Inside(src, dst);
  const std::size_t offset = alias ? static_cast<std::size_t>(src.data() - d) : 0;
  std::memmove(d + index + ls, d + index, ld - index + 1);
  if (!alias) {
    std::memmove(d + index, src.data(), ls);
    return;
  }
  // src lives in dst: its characters at or after index have just moved up by ls. The
  // reads below index or from index + ls on never meet the writes in between.
  for (std::size_t k = 0; k < ls; ++k) {
    const std::size_t q = offset + k;
    d[index + k] = q < index ? d[q] : d[q + ls];
  }
}

std::size_t Strings_Pos(StrIn pattern, StrIn s) {
  const std::size_t lp = pattern.length();
  const std::size_t ls = s.length();
  if (lp == 0) return 0;
  for (std::size_t i = 0; i + lp <= ls; ++i) {
    if (std::memcmp(s.data() + i, pattern.data(), lp) == 0) return i;
  }
  return s.high() + 1;
}

std::size_t Strings_LastPos(StrIn pattern, StrIn s) {
  const std::size_t lp = pattern.length();
  const std::size_t ls = s.length();
  if (lp > ls) return s.high() + 1;
  for (std::size_t i = ls - lp + 1; i-- > 0;) {
    if (std::memcmp(s.data() + i, pattern.data(), lp) == 0) return i;
  }
  return s.high() + 1;
}
