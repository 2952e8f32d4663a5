// Fuzz target for the rc-file reader of the resource settings, which reads files that users
// edit by hand and that other processes rewrite.
//
// Properties checked on every input:
//   - lenient loading never crashes and never reports an error; strict loading reports
//     nothing or a bad line (4), never anything else;
//   - what a save would write reads back strictly without an error;
//   - reading that text again and writing it once more gives the same lines (reals within
//     the precision they are written with).
//
// In a fuzz build (ZOLT_FUZZ) this is a libFuzzer target. Otherwise main() below is a plain driver:
// it runs every file of the directories or files named on the command line and then a
// fixed number of pseudo-random mutations of them (FUZZ_ROUNDS, default 20000).
#include <unistd.h>

#include <cmath>
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

#include "FuzzDriver.hpp"
#include "Messages.hpp"
#include "SrcFile.hpp"

namespace {

[[noreturn]] void Fail(const char* what, std::string_view text) {
  std::fprintf(stderr, "SrcFile_fuzz: %s\n--- text ---\n%.*s\n", what,
               static_cast<int>(text.size()), text.data());
  std::abort();
}

// The settings modules want their directories; give them a private one.
void Start() {
  static bool started = false;
  if (started) return;
  started = true;
  char dir[] = "/tmp/srcfile-fuzz-XXXXXX";
  if (::mkdtemp(dir) == nullptr) Fail("no temporary directory", "");
  static std::string root = dir;
  std::atexit([] { std::filesystem::remove_all(root); });
  for (const char* var :
       {"HOME", "VM_CUSTOMER", "VM_PROJECTS", "VM_NODE", "ZOLTDAT", "ZOLTENV", "ZOLTLIB", "TMP"})
    ::setenv(var, dir, 1);
  SrcFile_Init();
}

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return lines;
}

// Forgets every key the text may have brought in, so that inputs do not pile up.
void Forget(std::string_view text) {
  for (std::string_view line : Lines(text)) {
    if (line.size() < 3) continue;
    std::size_t eq = line.find('=', 2);
    if (eq == std::string_view::npos || eq - 2 >= SrcFile_keySize) continue;
    std::string key(line.substr(2, eq - 2));
    SrcFile_SUndefine(key);
    SrcFile_SUndefine("[global]" + key);
  }
}

bool SameLines(std::string_view a, std::string_view b) {
  std::vector<std::string_view> la = Lines(a), lb = Lines(b);
  if (la.size() != lb.size()) return false;
  for (std::size_t i = 0; i < la.size(); ++i) {
    if (la[i] == lb[i]) continue;
    std::size_t ea = la[i].find("= "), eb = lb[i].find("= ");
    if (la[i][0] != 'R' || ea != eb || la[i].substr(0, ea) != lb[i].substr(0, eb)) return false;
    double x = std::strtod(std::string(la[i].substr(ea + 2)).c_str(), nullptr);
    double y = std::strtod(std::string(lb[i].substr(eb + 2)).c_str(), nullptr);
    if (std::fabs(x - y) > 1e-12 * std::fmax(1.0, std::fabs(x))) return false;
  }
  return true;
}

void Check(const std::uint8_t* data, std::size_t size) {
  Start();
  std::string_view input(reinterpret_cast<const char*>(data), size);
  Messages_Ignoring quiet;

  SrcFile_LoadText(input, false, false);
  if (SrcFile_error != 0) Fail("lenient loading reported an error", input);
  const std::string written = SrcFile_SaveText(false);
  SrcFile_LoadText(written, false, true);
  if (SrcFile_error != 0) Fail("a saved text does not read back strictly", written);
  const std::string again = SrcFile_SaveText(false);
  if (!SameLines(written, again))
    Fail("reading a saved text changed it", written + "---\n" + again);
  Forget(input);

  SrcFile_LoadText(input, true, true);
  if (SrcFile_error != 0 && SrcFile_error != 4) Fail("strict loading: unexpected error", input);
  Forget(input);

  quiet.Close();
  Messages_ForgetErrorReasons();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Check(data, size);
  return 0;
}

#ifndef ZOLT_LIBFUZZER
int main(int argc, char** argv) {
  const zolt::fuzz::DriverOptions options{
      "SrcFile_fuzz",
      "C count= 3\nB on= ON\nR r= 1.5\nS s= text\n",
      {"B", "E", "C", "I", "R", "S", "P", "F", "M", "=", " ", "\t", "\n", std::string(1, '\0'), "-",
       "9", ".", "e", "\xff"},
      20000,
      24};
  const int rc = zolt::fuzz::RunDriver(
      argc, argv, options,
      [](const std::uint8_t* d, std::size_t n) { LLVMFuzzerTestOneInput(d, n); });
  return rc;
}
#endif
