// Fuzz target for the known-media reader: ".knownmedia" lies in a directory every tool of
// the site writes to, and may be cut short or edited by hand.
//
// Properties checked on every input:
//   - reading never crashes, whatever the bytes;
//   - a list that was read is written again, and that text reads to a list of the same
//     length whose text is the same again (fields cut to their capacity stay cut);
//   - a text that does not end with "END MEDIAINFOFILE" gives an empty list.
//
// In a fuzz build (ZOLT_FUZZ) this is a libFuzzer target. Otherwise main() below is the
// plain driver of FuzzDriver.hpp.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "BkStore.hpp"
#include "FuzzDriver.hpp"
#include "Messages.hpp"

namespace {

long roundTrips = 0;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "BkStore_fuzz: %s\n", what);
  std::abort();
}

void Init() {
  static const bool done = [] {
    ::setenv("VM_NO_RUN_FILE", "on", 0);
    BkStore_Init();
    // One bracket for the whole run: every input's reasons are looked at and forgotten.
    static Messages_Ignoring quiet;
    return true;
  }();
  (void)done;
}

unsigned Count(MediaInfoList list) {
  unsigned n = 0;
  for (; list != nullptr; list = list->next) ++n;
  return n;
}

std::string Written(MediaInfoList list) {
  const std::string path = "/tmp/BkStore_fuzz." + std::to_string(::getpid());
  if (!BkStore_SaveMediaInfo(list, path)) Fail("the list could not be written");
  std::string text;
  if (FILE* f = std::fopen(path.c_str(), "r")) {
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    std::fclose(f);
  }
  ::unlink(path.c_str());
  return text;
}

void Check(const std::uint8_t* data, std::size_t size) {
  Init();
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  MediaInfoList list = nullptr;
  BkStore_ParseMediaInfo(text, list, nullptr);
  const bool ended = text.size() >= 18 && (text.ends_with("\nEND MEDIAINFOFILE") ||
                                           text.find("\nEND MEDIAINFOFILE\n") != text.npos);
  if (list != nullptr && !ended) Fail("an unfinished file gave entries");
  if (list == nullptr) return;
  const std::string once = Written(list);
  MediaInfoList again = nullptr;
  BkStore_ParseMediaInfo(once, again, nullptr);
  if (Count(again) != Count(list)) Fail("the written list reads to another length");
  if (Written(again) != once) Fail("the written list does not read back to the same text");
  ++roundTrips;
  BkStore_DestroyMediaInfo(list, false);
  BkStore_DestroyMediaInfo(again, false);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Check(data, size);
  return 0;
}

#ifndef ZOLT_LIBFUZZER
int main(int argc, char** argv) {
  const zolt::fuzz::DriverOptions options{
      "BkStore_fuzz",
      "MEDIAINFOFILE\nEND MEDIAINFOFILE\n",
      {"\n", "MEDIAINFO\n", "END MEDIAINFO\n", "JOBINFO\n", "END JOBINFO\n", "END MEDIAINFOFILE\n",
       "1e308", "-", "nan", " ", "0"},
      20000,
      64};
  const int rc = zolt::fuzz::RunDriver(
      argc, argv, options,
      [](const std::uint8_t* d, std::size_t n) { LLVMFuzzerTestOneInput(d, n); });
  std::printf("BkStore_fuzz: %ld lists written and read again\n", roundTrips);
  return rc;
}
#endif
