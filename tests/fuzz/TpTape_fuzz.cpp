// Fuzz target for the tar and cpio recognisers, which look at the first block of any
// medium put into a drive.
//
// Properties checked on every input:
//   - no recogniser reads outside the block or crashes;
//   - a block is never both tar and GNU tar;
//   - a recognised name is NUL-terminated within the caller's length;
//   - header lengths follow their format: 512 for tar, even for binary cpio, a multiple
//     of 4 for new ASCII cpio, 76 and more for portable ASCII cpio; months are 1..12.
//
// Built with clang, this is a libFuzzer target; otherwise main() below is the plain
// driver of FuzzDriver.hpp.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzDriver.hpp"
#include "TpTape.hpp"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "TpTape_fuzz: %s\n", what);
  std::abort();
}

void CheckEntry(const TpEntry& e, const char* name, std::size_t length) {
  if (std::memchr(name, '\0', length) == nullptr) Fail("name not terminated");
  if (e.headerLength <= 0) Fail("header length not positive");
  if (e.time.month < 1 || e.time.month > 12) Fail("month out of range");
}

void Check(const std::uint8_t* data, std::size_t size) {
  // The block exactly as long as the input, so that reading past it is caught.
  std::vector<unsigned char> block(data, data + size);
  char name[40];
  const std::size_t lengths[] = {sizeof name, 1, 7};
  for (std::size_t length : lengths) {
    std::memset(name, 'x', sizeof name);
    TpEntry e{name, length, {}, 0, 0, nullptr};
    const bool tar = TpIsTar(block.data(), block.size(), e);
    if (tar) {
      CheckEntry(e, name, length);
      if (e.headerLength != 512) Fail("tar header not 512 bytes");
    }
    if (TpIsGTar(block.data(), block.size(), e)) {
      if (tar) Fail("tar and GNU tar at once");
      CheckEntry(e, name, length);
    }
    if (TpIsCpio(block.data(), block.size(), e)) {
      CheckEntry(e, name, length);
      const std::string options = e.cpioOptions;
      if (options.empty() && e.headerLength % 2 != 0) Fail("odd binary header");
      if (options == "-c" && e.headerLength % 4 != 0) Fail("new ASCII header not aligned");
      if (options == "-H odc" && e.headerLength < 76) Fail("portable header too short");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Check(data, size);
  return 0;
}

#ifndef ZOLT_LIBFUZZER
int main(int argc, char** argv) {
  std::string fallback(512, '\0');
  fallback.replace(257, 6, std::string("ustar\0", 6));
  const zolt::fuzz::DriverOptions options{
      "TpTape_fuzz",
      fallback,
      {"ustar", std::string("ustar  \0", 8), "070707", "070701", "\xc7\x71", "\x71\xc7", "7", "f",
       " ", std::string(1, '\0'), std::string(300, '0')},
      20000,
      64};
  return zolt::fuzz::RunDriver(argc, argv, options, [](const std::uint8_t* d, std::size_t n) {
    LLVMFuzzerTestOneInput(d, n);
  });
}
#endif
