// Fuzz target for the media header parser: header texts come from media and from header
// copies that anybody may have edited.
//
// Properties checked on every input:
//   - parsing never crashes, whatever the bytes, for a tape and for a disk medium;
//   - a header that parsed is written again, and that text parses to an equal header
//     (the same media and archive comments and file-mark directory too), whose text is
//     the same again; only a header with a comment line "END COMMENT" (a comment cut to
//     its capacity inside a line) is refused, with error 10 and nothing written. Not read
//     again is a header with a path that still begins with "./" after reading, because
//     the file list takes one such prefix off at every reading.
//
// In a fuzz build (ZOLT_FUZZ) this is a libFuzzer target. Otherwise main() below is a plain
// driver: it runs every file of the directories or files named on the command line
// and then a fixed number of pseudo-random mutations of them.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "BkArchivText.hpp"
#include "FuzzDriver.hpp"
#include "Messages.hpp"

namespace {

long roundTrips = 0;  // headers that parsed and were written again

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "BkArchivText_fuzz: %s\n", what);
  std::abort();
}

void Init() {
  static const bool done = [] {
    // A fuzz run is no program of the suite: it leaves no run file in the data directory
    // (which, without an installation, lies in the build tree).
    ::setenv("VM_NO_RUN_FILE", "on", 0);
    BkArchivText_Init();
    return true;
  }();
  (void)done;
}

// Parses text as read from a medium of the given format; nullptr when it fails.
Header* Parse(const std::string& text, std::uint8_t format) {
  if (text.empty()) return nullptr;  // nothing to read: the version line is missing
  std::string copy = text;
  std::FILE* f = ::fmemopen(copy.data(), copy.size(), "r");
  if (f == nullptr) Fail("fmemopen failed");
  Header* hdr = nullptr;
  BkArchiv_NewHeader(hdr, format, "", "");
  hdr->newHeader = false;
  bool isEmpty = false;
  BkArchiv_ParseStdSHeader(f, hdr, format, isEmpty);
  std::fclose(f);
  Messages_ForgetErrorReasons();
  if (BkArchiv_bkaError != 0) BkArchiv_DestroyHeaderAndArchives(hdr);
  return hdr;
}

// The text of the header; empty when the writer refused it (error 10, nothing written).
std::string Write(Header* hdr) {
  char* buf = nullptr;
  std::size_t size = 0;
  std::FILE* f = ::open_memstream(&buf, &size);
  BkArchiv_GenStdSHeader(f, hdr, false);
  const int error = BkArchiv_bkaError;
  Messages_ForgetErrorReasons();
  std::fclose(f);
  std::string text(buf, size);
  std::free(buf);
  if (error != 0 && (error != 10 || !text.empty())) Fail("a parsed header cannot be written");
  return text;
}

// A comment read up to its capacity can end inside a line that then reads "END COMMENT";
// the writer refuses such a header, since the line would close the comment block early.
bool HoldsCommentEnd(std::string_view rest) {
  for (;;) {
    const std::size_t end = rest.find('\n');
    if (rest.substr(0, end) == "END COMMENT") return true;
    if (end == std::string_view::npos) return false;
    rest.remove_prefix(end + 1);
  }
}

bool Unwritable(const Header* hdr) {
  if (HoldsCommentEnd(StrIn(hdr->mediaComment).view())) return true;
  for (const Archive* a = hdr->archives; a != nullptr; a = a->next) {
    if (HoldsCommentEnd(StrIn(a->archiveComment).view())) return true;
  }
  return false;
}

bool HasDotSlashPath(const Header* hdr) {
  for (const Archive* a = hdr->archives; a != nullptr; a = a->next) {
    for (const FileEntry* e = a->files; e != nullptr; e = e->next) {
      const char* p = DSStr(e->path);
      if (p[0] == '.' && p[1] == '/') return true;
    }
  }
  return false;
}

bool SameExtras(const Header* a, const Header* b) {
  if (!Strings_Equal(a->mediaComment, b->mediaComment)) return false;
  for (const Archive *x = a->archives, *y = b->archives; x != nullptr; x = x->next, y = y->next) {
    if (!Strings_Equal(x->archiveComment, y->archiveComment) ||
        x->softCompress != y->softCompress) {
      return false;
    }
  }
  const FmDirEntry *x = a->fmDir, *y = b->fmDir;
  for (; x != nullptr && y != nullptr; x = x->next, y = y->next) {
    if (x->fileNo != y->fileNo || x->startBlock != y->startBlock) return false;
  }
  return x == nullptr && y == nullptr;
}

void Check(const std::uint8_t* data, std::size_t size) {
  Init();
  const Messages_Ignoring quiet;  // a failed parse is an answer, not the end
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (std::uint8_t format : {mfmtStdA, mfmtStdD}) {
    Header* first = Parse(text, format);
    if (first == nullptr) continue;
    const std::string written = Write(first);
    if (written.empty() != Unwritable(first)) {
      Fail(written.empty() ? "a parsed header is refused" : "a comment ending early is written");
    }
    if (!written.empty() && !HasDotSlashPath(first)) {
      Header* second = Parse(written, format);
      if (second == nullptr) Fail("a written header does not parse");
      if (!BkArchiv_HeadersEqual(first, second) || !SameExtras(first, second)) {
        Fail("a written header parses to another header");
      }
      if (Write(second) != written) Fail("writing is not stable");
      ++roundTrips;
      BkArchiv_DestroyHeaderAndArchives(second);
    }
    BkArchiv_DestroyHeaderAndArchives(first);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Check(data, size);
  return 0;
}

#ifndef ZOLT_LIBFUZZER
int main(int argc, char** argv) {
  const zolt::fuzz::DriverOptions options{"BkArchivText_fuzz",
                                          "10\nNONAME\nEMPTY_MEDIA\n",
                                          {"\n", " ", "\\", "\t", "\r", "\x1a", "-", "0",
                                           "9999999999", "END COMMENT\n", "BEGIN ARCHIVE\n", "./"},
                                          20000,
                                          64};
  const int rc = zolt::fuzz::RunDriver(
      argc, argv, options,
      [](const std::uint8_t* d, std::size_t n) { LLVMFuzzerTestOneInput(d, n); });
  std::printf("BkArchivText_fuzz: %ld parsed headers written and read again\n", roundTrips);
  return rc;
}
#endif
