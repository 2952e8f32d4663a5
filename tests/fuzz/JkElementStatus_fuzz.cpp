// Fuzz target for the SCSI jukebox driver's reader of READ ELEMENT STATUS replies, which
// takes whatever a changer answers.
//
// Properties checked on every input:
//   - parsing never reads beyond the reply (the input is copied into a buffer of exactly
//     its size, so the sanitizers see any overrun) and never crashes;
//   - a refused reply leaves the descriptor as it was;
//   - an accepted reply gives lists whose counts agree with their sizes and whose indexes
//     are the positions, and no more elements than 12-byte descriptors fit in the reply.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "FuzzDriver.hpp"
#include "Jk.hpp"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "JkElementStatus_fuzz: %s\n", what);
  std::abort();
}

void CheckList(const std::vector<JkElement>& list, int count) {
  if (static_cast<int>(list.size()) != count) Fail("count differs from the list");
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list[i].index != static_cast<int>(i)) Fail("index is not the position");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::unique_ptr<unsigned char[]> copy(new unsigned char[size ? size : 1]);
  if (size) std::memcpy(copy.get(), data, size);
  JkJukeDesc d;
  d.slots.resize(3);
  d.nSlots = 3;
  std::string error;
  if (!Juke_SPI_SCSI_ParseElementStatus(copy.get(), size, d, error)) {
    if (d.slots.size() != 3 || d.nSlots != 3 || error.empty())
      Fail("refusal changed the descriptor");
    return 0;
  }
  CheckList(d.robos, d.nRobos);
  CheckList(d.slots, d.nSlots);
  CheckList(d.ports, d.nPorts);
  CheckList(d.drives, d.nDrives);
  const std::size_t all = d.robos.size() + d.slots.size() + d.ports.size() + d.drives.size();
  if (all * 12 > size) Fail("more elements than the reply holds");
  return 0;
}

#ifndef ZOLT_LIBFUZZER
int main(int argc, char** argv) {
  std::string fallback(8, '\0');
  fallback[7] = 20;
  fallback += std::string("\x02\0\0\x0c\0\0\0\x0c\0\x07\x01\0\0\0\0\0\0\0\0\0", 20);
  const zolt::fuzz::DriverOptions options{
      "JkElementStatus_fuzz",
      fallback,
      {std::string(1, '\0'), "\x0c", "\xff", "\x01", "\x04", "\x80", "\x83\x02"},
      20000,
      32};
  return zolt::fuzz::RunDriver(argc, argv, options, [](const std::uint8_t* d, std::size_t n) {
    LLVMFuzzerTestOneInput(d, n);
  });
}
#endif
