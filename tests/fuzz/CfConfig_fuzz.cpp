// Fuzz target for the reader of sectioned configuration files, which reads files that
// people edit by hand.
//
// Properties checked on every input:
//   - reading never crashes; it either gives a file with error 0 or no file and an error;
//   - the sections of a file have different keys (headers of one key are merged), and
//     each is what an exact lookup of its own name finds;
//   - an exact lookup of an entry's name finds the first entry of that key;
//   - every typed getter, the iterations and the dump run on every entry;
//   - the file written back as one "[name]" line per section and one "name = value" (or
//     "name") line per entry reads again into the same sections and entries.
//
// In a fuzz build (ZOLT_FUZZ) this is a libFuzzer target. Otherwise main() below is a
// plain driver: it runs every file of the directories or files named on the command line
// and then a fixed number of pseudo-random mutations of them.
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "CfConfig.hpp"
#include "FuzzDriver.hpp"
#include "Messages.hpp"

namespace {

namespace fs = std::filesystem;

[[noreturn]] void Fail(const char* what, const std::string& input) {
  std::fprintf(stderr, "CfConfig_fuzz: %s\n--- input ---\n%s\n---\n", what, input.c_str());
  std::abort();
}

// A private directory for the input file and the run file of the process.
const fs::path& WorkDir() {
  static const fs::path dir = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/cffuzz-XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) std::abort();
    ::setenv("ZOLTDAT", templ.c_str(), 1);
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(WorkDir(), ignored);
    });
    return fs::path(templ);
  }();
  return dir;
}

void Setup() {
  static bool done = false;
  if (done) return;
  done = true;
  WorkDir();
  CfConfig_Init();
}

struct Item {
  std::string section, entry, value;
  bool hasValue;
  bool operator==(const Item&) const = default;
};

CfFile ReadText(const std::string& text) {
  const fs::path path = WorkDir() / "input.cfg";
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
  }
  return CfRead(path.c_str(), nullptr);
}

std::vector<Item> Walk(CfFile file, const std::string& input, FILE* sink) {
  std::vector<Item> items;
  for (CfSection s = CfGetFirstSection(file, nullptr); s; s = CfGetNextSection(file)) {
    const std::string name = CfGetSectionName(s);
    if (CfGetExactSection(file, name.c_str()) != s) Fail("a section hides behind another", input);
    for (CfEntry e = CfGetFirstEntry(s, nullptr); e; e = CfGetNextEntry(s)) {
      const char* entry = CfGetEntryName(e);
      DS raw = CfGetRawValue(e);
      items.push_back({name, entry, raw != dsNil ? DSStr(raw) : "", raw != dsNil});
      CfEntry first = CfGetExactEntry(s, entry);
      if (first == nullptr || CfGetLineNo(first) > CfGetLineNo(e)) {
        Fail("an exact lookup missed the first entry", input);
      }
      CfLongFromCfg(s, entry, 0);
      CfULongFromCfg(s, entry, 0);
      CfRealFromCfg(s, entry, 0);
      CfCharFromCfg(s, entry, 0);
      CfBoolFromCfg(s, entry, false);
      std::vector<std::int32_t> ints;
      std::vector<double> reals;
      CfIntArrFromCfg(s, entry, ints);
      CfRealArrFromCfg(s, entry, reals);
      char buffer[16];
      CfStrFromCfg(s, entry, buffer, sizeof buffer, "x");
      DS ds = dsNil;
      CfDynStrFromCfg(s, entry, &ds, nullptr);
      DSFree(&ds);
    }
    for (CfEntry e = CfGetFirstEntry(s, "^[a-m]"); e; e = CfGetNextEntry(s)) {
      const int c = std::tolower(static_cast<unsigned char>(CfGetEntryName(e)[0]));
      if (c < 'a' || c > 'm') Fail("an iteration handed out a name the pattern misses", input);
    }
  }
  CfDumpConfig(file, sink, false);
  return items;
}

std::string WriteBack(const std::vector<Item>& items) {
  std::string text;
  const std::string* section = nullptr;
  for (const Item& i : items) {
    if (section == nullptr || *section != i.section) text += "[ " + i.section + " ]\n";
    section = &i.section;
    // A name that is empty or begins with "[" comes from a logical line that a
    // continuation begins with its joining blank ("\\" alone on a line, then "= v" or
    // "[x = v"): such a line is not a section header, and its name is trimmed. Written
    // alone on a line the entry would be a bad line or a header, so it is written the way
    // it came.
    if (i.entry.empty() || i.entry[0] == '[') text += "\\\n";
    text += i.hasValue ? i.entry + " = " + i.value + "\n" : i.entry + "\n";
  }
  return text;
}

void Check(const std::uint8_t* data, std::size_t size) {
  Setup();
  static FILE* sink = std::fopen("/dev/null", "w");
  const std::string input(reinterpret_cast<const char*>(data), size);
  Messages_Ignoring quiet;
  CfFile file = ReadText(input);
  if ((file == nullptr) != (CfError() != 0)) Fail("result and error disagree", input);
  if (file != nullptr) {
    const std::vector<Item> items = Walk(file, input, sink);
    CfDestroy(&file);
    // Sections without entries, texts cut at a NUL byte and blanks escaped at the end of
    // a name (trimmed with the name, leaving its backslash at the end of the line) do not
    // survive writing back.
    bool writable = input.find('\0') == std::string::npos;
    for (const Item& i : items) writable = writable && (i.entry.empty() || i.entry.back() != '\\');
    std::vector<Item> again;
    if (writable) {
      CfFile back = ReadText(WriteBack(items));
      if (back == nullptr) Fail("the file written back cannot be read", input);
      again = Walk(back, input, sink);
      CfDestroy(&back);
      if (again != items) Fail("the file written back reads differently", input);
    }
  }
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
      "CfConfig_fuzz",
      "[s]\na = 1\n",
      {"[", "]", "=", "#", "\"", "'", "\\", "\n", " ", "\t", ",", std::string(1, '\0')},
      5000,
      16};
  const int rc = zolt::fuzz::RunDriver(
      argc, argv, options,
      [](const std::uint8_t* d, std::size_t n) { LLVMFuzzerTestOneInput(d, n); });
  return rc;
}
#endif
