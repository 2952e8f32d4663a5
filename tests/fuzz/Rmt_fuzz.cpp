// Fuzz target for the reader of remote tape server replies, which takes whatever the
// other end of a pipe sends.
//
// Properties checked on every input (fed through a real pipe, closed at its end):
//   - reading replies one after another always ends (a broken reply or the end of the
//     pipe), never crashes and never reads more than the input;
//   - a value is at most 64 characters; an error number lies within 0..4095;
//   - RmtReplyNumber accepts exactly the texts that are an optional sign and decimal
//     digits within the range of a long long.
//
// Built with clang, this is a libFuzzer target; otherwise main() below is the plain
// driver of FuzzDriver.hpp.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuzzDriver.hpp"
#include "Rmt.hpp"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& input) {
  std::fprintf(stderr, "Rmt_fuzz: %s\n--- input ---\n%s\n---\n", what, input.c_str());
  std::abort();
}

void CheckNumber(std::string text, const std::string& input) {
  text.resize(std::strlen(text.c_str()));  // the function sees a C string
  long long n = 0;
  const bool accepted = RmtReplyNumber(text.c_str(), &n);
  std::size_t i = text.empty() || (text[0] != '-' && text[0] != '+') ? 0 : 1;
  bool digits = i < text.size();
  for (; i < text.size(); ++i) digits = digits && text[i] >= '0' && text[i] <= '9';
  errno = 0;
  const long long expected = digits ? std::strtoll(text.c_str(), nullptr, 10) : 0;
  const bool fits = digits && errno == 0;
  if (accepted != fits || (accepted && n != expected)) Fail("number accepted wrongly", input);
}

void Check(const std::uint8_t* data, std::size_t size) {
  static const bool ready = [] {
    RmtSetTimeouts(0, 0);  // everything is in the pipe already
    return true;
  }();
  (void)ready;
  const std::string input(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 60000));
  CheckNumber(input.substr(0, input.find('\n')), input);
  int fds[2];
  if (::pipe(fds) != 0) std::abort();
  if (::write(fds[1], input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
    std::abort();
  }
  ::close(fds[1]);
  char value[80];
  int err = -1;
  for (std::size_t replies = 0;; ++replies) {
    if (replies > input.size()) Fail("more replies than bytes", input);
    const RmtReply r = RmtReadReply(fds[0], value, sizeof value, &err);
    if (r == RmtReply::Broken) break;
    if (r == RmtReply::Value && std::strlen(value) > 64) Fail("value longer than a line", input);
    if (r != RmtReply::Value && (err < 0 || err > 4095)) Fail("error number out of range", input);
  }
  ::close(fds[0]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Check(data, size);
  return 0;
}

#ifndef ZOLT_LIBFUZZER
int main(int argc, char** argv) {
  const zolt::fuzz::DriverOptions options{
      "Rmt_fuzz",
      "A0\nE5\nI/O error\nF22\nbad\n",
      {"A", "E", "F", "\n", " ", "-", "9", "0", std::string(70, '1'), std::string(1, '\0')},
      20000,
      32};
  return zolt::fuzz::RunDriver(argc, argv, options, [](const std::uint8_t* d, std::size_t n) {
    LLVMFuzzerTestOneInput(d, n);
  });
}
#endif
