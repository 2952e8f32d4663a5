// Fuzz target for the parsers of the older media: old backup content lists (tar and
// cpio), raw tar and cpio path lists and the old sheet-layout header. The first byte of
// an input chooses the parser, the rest is the text.
//
// Properties checked on every input:
//   - parsing never crashes, whatever the bytes;
//   - a failure is error 9; a success gives one archive whose files are all selected,
//     with non-empty paths and file marks as the format writes them (1 for old backup
//     lists, 0 for raw lists, at least 1 for the sheet layout).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "BkArchivRead.hpp"
#include "DynStr.hpp"
#include "FuzzDriver.hpp"
#include "Messages.hpp"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "BkArchivOld_fuzz: %s\n", what);
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

void Check(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  Init();
  static const std::uint8_t formats[] = {mfmtATar, mfmtACpio, mfmtRawTar, mfmtRawCpio,
                                         mfmtFolvaneTar};
  const std::uint8_t format = formats[data[0] % 5];
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  Header* hdr = nullptr;
  BkArchiv_NewHeader(hdr, format, "", "");
  if (format == mfmtFolvaneTar) {
    BkArchiv_ParseFolvaneTarHeader(text, hdr);
  } else {
    BkArchiv_ParseContentList(text, format, hdr);
  }
  Messages_ForgetErrorReasons();
  if (BkArchiv_bkaError == 0) {
    if (hdr->archives == nullptr || hdr->archives->next != nullptr) Fail("not one archive");
    for (const FileEntry* e = hdr->archives->files; e != nullptr; e = e->next) {
      if (!e->selected) Fail("file not selected");
      if (DSStr(e->path)[0] == '\0' && format != mfmtFolvaneTar) Fail("empty path");
      const bool raw = format == mfmtRawTar || format == mfmtRawCpio;
      if (format == mfmtFolvaneTar ? e->fileMark < 1 : e->fileMark != (raw ? 0 : 1)) {
        Fail("file mark out of place");
      }
    }
  } else if (BkArchiv_bkaError != 9) {
    Fail("failure other than error 9");
  }
  BkArchiv_DestroyHeaderAndArchives(hdr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Check(data, size);
  return 0;
}

#ifndef ZOLT_LIBFUZZER
int main(int argc, char** argv) {
  const zolt::fuzz::DriverOptions options{
      "BkArchivOld_fuzz",
      std::string("\x04") +
          "4 1\nORDER\n\n01.02.1998 03:04:05\nx\nSECTION FILES\n"
          "a 1 01.02.1998 03:04:05 0 1\n\nSECTION END\n",
      {"\n", "SECTION ", "FILES", "END", " ", "./", "4 ", "99", "01.02.1998", "03:04:05",
       std::string(300, 'a'), std::string(1, '\0')},
      20000,
      64};
  return zolt::fuzz::RunDriver(argc, argv, options, [](const std::uint8_t* d, std::size_t n) {
    LLVMFuzzerTestOneInput(d, n);
  });
}
#endif
