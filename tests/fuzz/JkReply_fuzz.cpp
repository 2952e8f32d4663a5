// Fuzz target for the network jukebox driver's reader of server replies, which takes
// whatever the other end of the connection sends.
//
// Properties checked on every input (fed through a real pipe, closed at its end):
//   - reading replies one after another always ends (a broken reply or the end of the
//     pipe), never crashes and never reads more than the input;
//   - DATA never gives more than 4096 bytes, and exactly the number announced;
//   - OK and ERROR texts are at most one line of 4096 bytes.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FuzzDriver.hpp"
#include "Jk.hpp"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& input) {
  std::fprintf(stderr, "JkReply_fuzz: %s\n--- input ---\n%s\n---\n", what, input.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Beyond the pipe's buffer a write would wait for a reader.
  const std::string input(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 60000));
  int fds[2];
  if (::pipe(fds) != 0) std::abort();
  if (::write(fds[1], input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
    std::abort();
  }
  ::close(fds[1]);
  long long n = 0;
  std::string text;
  for (std::size_t replies = 0;; ++replies) {
    if (replies > input.size()) Fail("more replies than bytes", input);
    const JkReply r = Juke_SPI_NET_ReadReply(fds[0], n, text);
    if (r == JkReply::Broken) break;
    if (r == JkReply::Data && (n > JkNetMaxData || text.size() != static_cast<std::size_t>(n))) {
      Fail("data of the wrong size", input);
    }
    if (r != JkReply::Data &&
        (text.size() > JkNetMaxData || text.find('\n') != std::string::npos)) {
      Fail("text longer than a line", input);
    }
  }
  ::close(fds[0]);
  return 0;
}

#ifndef ZOLT_LIBFUZZER
int main(int argc, char** argv) {
  const zolt::fuzz::DriverOptions options{"JkReply_fuzz",
                                          "OK 1\nERROR -1 locked\nDATA 3\nabcOK 0\n",
                                          {"OK ", "ERROR ", "DATA ", "\n", " ", "-", "4096", "4097",
                                           std::string(70, '1'), std::string(1, '\0')},
                                          20000,
                                          32};
  return zolt::fuzz::RunDriver(argc, argv, options, [](const std::uint8_t* d, std::size_t n) {
    LLVMFuzzerTestOneInput(d, n);
  });
}
#endif
