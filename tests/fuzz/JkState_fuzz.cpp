// Fuzz target for the scanner of jukebox state files, which reads files that other
// programs (and people) may have written.
//
// Properties checked on every input:
//   - scanning never crashes; a refused text leaves the descriptor as it was and says why;
//   - an accepted text, written again, gives the same text (the format has one spelling),
//     and scanning it in merge mode into the descriptor it made is accepted.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FuzzDriver.hpp"
#include "Jk.hpp"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& input) {
  std::fprintf(stderr, "JkState_fuzz: %s\n--- input ---\n%s\n---\n", what, input.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  JkJukeDesc d;
  d.slots.resize(2);
  std::string error;
  if (!Juke_SPU_ScanJukeState(input, d, false, error)) {
    if (d.slots.size() != 2 || error.empty()) Fail("refusal changed the descriptor", input);
    return 0;
  }
  std::string text;
  if (!Juke_SPU_BuildJukeState(d, text)) {
    // Without robots, slots or drives nothing is written; that is all it may refuse.
    if (!d.robos.empty() && !d.slots.empty() && !d.drives.empty()) Fail("not written", input);
    return 0;
  }
  if (text != input) {
    // Numbers may be spelt differently ("+1", "01"); the text written must be stable.
    JkJukeDesc again;
    std::string second;
    if (!Juke_SPU_ScanJukeState(text, again, false, error) ||
        !Juke_SPU_BuildJukeState(again, second) || second != text) {
      Fail("written text does not read back", input);
    }
  }
  if (!Juke_SPU_ScanJukeState(text, d, true, error)) Fail("merge into its own elements", input);
  return 0;
}

#ifndef ZOLT_LIBFUZZER
int main(int argc, char** argv) {
  const zolt::fuzz::DriverOptions options{
      "JkState_fuzz",
      "JukeState Version 1.0\nnRobos  = 1\nnSlots  = 1\nnPorts  = 0\nnDrives = 1\n"
      "robo id = 0\nfromID/fromIndex = -1/-1\nok\n"
      "slot id = 1\nfromID/fromIndex = -1/-1\ndesc\nLABEL\nnoCleaningMedia\nok\nfull\nnotChanged\n"
      "drive id = 2\nfromID/fromIndex = 1/0\n\n\ncleaningMedia\nfailed\nempty\nchanged\n"
      "driveType = 1\n",
      {"\n", " = ", "-1", "1", "99999999999", "ok\n", "full\n", "/", "+", "nSlots  = 3\n"},
      20000,
      64};
  return zolt::fuzz::RunDriver(argc, argv, options, [](const std::uint8_t* d, std::size_t n) {
    LLVMFuzzerTestOneInput(d, n);
  });
}
#endif
