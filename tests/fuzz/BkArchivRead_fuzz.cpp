// Fuzz target for the first block of a medium: whatever a tape, disk or pipe hands over
// is recognised (tar, GNU tar, cpio member, or a plain header file) and its header head
// and identification label are read, the way the header reader does it.
//
// Properties checked on every input:
//   - recognition and the head never crash or read beyond the block;
//   - a recognised member has its header text starting inside or after its own header,
//     with a size that is not negative;
//   - a head that read has version 10, NUL-terminated texts and a label that is built
//     from them; a standard format whose head did not read says why (error 8 or 9).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "BkArchivRead.hpp"
#include "FuzzDriver.hpp"
#include "Messages.hpp"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "BkArchivRead_fuzz: %s\n", what);
  std::abort();
}

void Init() {
  static const bool done = [] {
    // A fuzz run is no suite program: no run file, nothing written outside its sandbox.
    ::setenv("VM_NO_RUN_FILE", "on", 0);
    BkArchivRead_Init();
    // One bracket for the whole run: every input's reasons are looked at and forgotten.
    static Messages_Ignoring quiet;
    return true;
  }();
  (void)done;
}

bool Terminated(const char* text, std::size_t size) {
  return std::memchr(text, '\0', size) != nullptr;
}

void CheckHead(const BkArchiv_BlockFormat& f, std::string_view text) {
  BkArchiv_HdrHead head;
  BkArchiv_StdDataFromText(f, text, head);
  Messages_ForgetErrorReasons();
  if (!Terminated(head.label, sizeof head.label) || !Terminated(head.name, sizeof head.name) ||
      !Terminated(head.mediaType, sizeof head.mediaType)) {
    Fail("text not terminated");
  }
  if (!BkArchiv_IsStdFmt(f.mediaFormat)) {
    if (BkArchiv_bkaError != 0) Fail("error on a non-standard format");
    return;
  }
  if (BkArchiv_bkaError == 0) {
    if (head.version != 10) Fail("head read with a wrong version");
    if (std::strncmp(head.label, head.name, std::strlen(head.name)) != 0 &&
        std::strchr(head.name, ' ') == nullptr) {
      Fail("label does not start with the name");
    }
  } else if (BkArchiv_bkaError != 8 && BkArchiv_bkaError != 9) {
    Fail("unexpected error of the head");
  }
}

void Check(const std::uint8_t* data, std::size_t size) {
  Init();
  // The block exactly as long as the input, so that reading past it is caught.
  std::vector<unsigned char> block(data, data + size);
  const BkArchiv_BlockFormat f = BkArchiv_CheckHeader(block.data(), block.size());
  if (f.mediaFormat != mfmtUnknown) {
    if (f.textOffset <= 0 || f.textSize < 0) Fail("member text outside the member");
    if (static_cast<std::size_t>(f.textOffset) < block.size()) {
      const std::size_t n =
          std::min<std::size_t>(block.size() - f.textOffset, static_cast<std::size_t>(f.textSize));
      CheckHead(f, std::string_view(reinterpret_cast<const char*>(block.data()) + f.textOffset, n));
    }
  }
  // The same bytes as a file system's plain header file.
  BkArchiv_BlockFormat plain;
  plain.mediaFormat = mfmtStdD;
  CheckHead(plain, std::string_view(reinterpret_cast<const char*>(data), size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Check(data, size);
  return 0;
}

#ifndef ZOLT_LIBFUZZER
int main(int argc, char** argv) {
  const zolt::fuzz::DriverOptions options{
      "BkArchivRead_fuzz",
      "10\nNAME\nTYPE\n01.01.2026 00:00:00\n01.01.2026 00:00:00\n1\n1\n1\n0\n10240\n10240\n",
      {"ustar", std::string("ustar  \0", 8), "070707", "070701", "AHEADER", "SHEADER", "DHEADER",
       "HEADER", "/projects/tmp/content", "\n", "10\n", "EMPTY_MEDIA", std::string(1, '\0'),
       "99999999999999999999", "-1"},
      20000,
      64};
  return zolt::fuzz::RunDriver(argc, argv, options, [](const std::uint8_t* d, std::size_t n) {
    LLVMFuzzerTestOneInput(d, n);
  });
}
#endif
