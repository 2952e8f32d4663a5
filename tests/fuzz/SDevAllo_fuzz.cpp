// Fuzz target for the reader of the device catalogue, a file that people edit by hand.
//
// Properties checked on every input:
//   - reading never crashes and gives at most one record per line;
//   - every record has a device name and a host (the local one when the line gave none),
//     a known class, and fields that are terminated within their capacity;
//   - no field holds a colon that would have split it (one not preceded by a backslash).
//
// Built with clang, this is a libFuzzer target. Otherwise main() below is a plain
// driver: it runs every file named on the command line and mutations of them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuzzDriver.hpp"
#include "SDevAllo.hpp"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& input) {
  std::fprintf(stderr, "SDevAllo_fuzz: %s\n--- input ---\n%s\n---\n", what, input.c_str());
  std::abort();
}

bool Terminated(const char* field, std::size_t capacity) {
  return std::memchr(field, '\0', capacity) != nullptr;
}

bool BareColon(const char* field) {
  for (std::size_t i = 0; field[i] != '\0'; ++i) {
    if (field[i] == ':' && (i == 0 || field[i - 1] != '\\')) return true;
  }
  return false;
}

void Check(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  SDevAllo_DevList list = SDevAllo_ParseCatalogue(text, "fuzz", "fuzzhost", true);
  const long lines = std::count(text.begin(), text.end(), '\n') + 1;
  long records = 0;
  for (const SDevAllo_Device* d = list; d != nullptr; d = d->next) {
    ++records;
    if (!Terminated(d->description, sizeof d->description) ||
        !Terminated(d->host, sizeof d->host) || !Terminated(d->devName, sizeof d->devName) ||
        !Terminated(d->altDevName, sizeof d->altDevName)) {
      Fail("field not terminated", text);
    }
    if (d->devName[0] == '\0') Fail("record without device name", text);
    if (d->host[0] == '\0') Fail("record without host", text);
    if (d->devClass > SDevAllo_lastClass) Fail("class out of range", text);
    if (BareColon(d->host) || BareColon(d->devName) || BareColon(d->altDevName)) {
      Fail("unescaped colon inside a field", text);
    }
  }
  if (records > lines) Fail("more records than lines", text);
  SDevAllo_Destroy(list);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Check(data, size);
  return 0;
}

#ifndef ZOLT_LIBFUZZER
int main(int argc, char** argv) {
  const zolt::fuzz::DriverOptions options{"SDevAllo_fuzz",
                                          "exa8500::/dev/nst0::Mammoth drive\n",
                                          {":", "\\:", "#", "\\#", "\n", " ", "\t", "unixFS",
                                           "exabyte", std::string(1, '\0'), std::string(200, 'a')},
                                          20000,
                                          64};
  return zolt::fuzz::RunDriver(argc, argv, options, [](const std::uint8_t* d, std::size_t n) {
    LLVMFuzzerTestOneInput(d, n);
  });
}
#endif
