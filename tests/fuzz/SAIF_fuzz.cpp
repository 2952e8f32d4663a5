// Fuzz target for the reader of the container of order info files, which reads whatever
// lies in an orders directory.
//
// Properties checked on every input:
//   - opening never crashes; it gives a handle and error 0, or nil and an error;
//   - a file that was opened (for writing) and closed unchanged, or that did not open,
//     keeps its bytes: reading never rewrites;
//   - every tag of the walk has a name of at most 127 characters and 1 to 65535 bytes,
//     and a lookup of its name gives the same bytes;
//   - the tags written into a new container read back the same.
//
// Built with clang, this is a libFuzzer target, otherwise a plain driver (FuzzDriver.hpp).
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "FuzzDriver.hpp"
#include "Messages.hpp"
#include "SAIF.hpp"

namespace {

namespace fs = std::filesystem;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "SAIF_fuzz: %s\n", what);
  std::abort();
}

const fs::path& WorkDir() {
  static const fs::path dir = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/saiffuzz-XXXXXX";
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

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

using Tags = std::map<std::string, std::string>;

Tags Walk(SAIF file) {
  Tags tags;
  char name[SAIF_tagNameSize];
  static std::vector<char> data(SAIF_maxTagData);
  std::size_t length = 0;
  for (bool more = SAIF_FirstTag(file, name, length, data); more;
       more = SAIF_NextTag(file, name, length, data)) {
    const std::string key = StrIn(name).str();
    if (key.size() > SAIF_tagNameSize - 1) Fail("a tag name is too long");
    if (length == 0 || length > SAIF_maxTagData) Fail("a tag has a bad length");
    static std::vector<char> again(SAIF_maxTagData);
    std::size_t againLength = 0;
    SAIF_TagRetrieve(file, key, againLength, again);
    if (againLength != length || !std::equal(data.begin(), data.begin() + length, again.begin())) {
      Fail("a lookup by name gives other bytes than the walk");
    }
    if (!tags.emplace(key, std::string(data.data(), length)).second) Fail("a tag name repeats");
  }
  return tags;
}

void Check(const std::uint8_t* bytes, std::size_t size) {
  static bool ready = false;
  if (!ready) {
    WorkDir();
    SAIF_Init();
    ready = true;
  }
  const std::string input(reinterpret_cast<const char*>(bytes), size);
  const fs::path path = WorkDir() / "input.aif";
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(input.data(), static_cast<std::streamsize>(input.size()));
  }
  Messages_Ignoring quiet;
  std::uint32_t width = 0, height = 0, channels = 0;
  SAIF file = SAIF_Open(path.string(), width, height, channels, false);
  if ((file == SAIF_Nil) != (SAIF_aifError != 0)) Fail("result and error disagree");
  if (file != SAIF_Nil) {
    const Tags tags = Walk(file);
    SAIF_Close(file);
    if (SAIF_aifError != 0) Fail("closing an unchanged file failed");

    const fs::path copy = WorkDir() / "copy.aif";
    SAIF made = SAIF_Create(copy.string(), 0, 0, 1);
    if (made == SAIF_Nil) Fail("a new container cannot be made");
    for (const auto& [name, data] : tags) {
      SAIF_TagInsertOrReplace(made, name, data.size(), data);
    }
    SAIF_Close(made);
    SAIF back = SAIF_Open(copy.string(), width, height, channels, true);
    if (back == SAIF_Nil) Fail("the container written cannot be opened");
    if (Walk(back) != tags) Fail("the container written reads differently");
    SAIF_Close(back);
  }
  if (Slurp(path) != input) Fail("reading changed the file");
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
  // The smallest container: header, tag list at 1024 with one tag "A" = "x".
  std::string fallback(1024, '\0');
  const unsigned char header[] = {36, 101, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 128,
                                  0,  48,  0, 1, 0, 0, 4, 0, 0, 0, 4, 0, 0};
  fallback.replace(0, sizeof header, reinterpret_cast<const char*>(header), sizeof header);
  fallback +=
      std::string("\x01\x00", 2) + "A" + std::string(127, '\0') + "x" + std::string(2, '\0');
  const zolt::fuzz::DriverOptions options{
      "SAIF_fuzz",
      fallback,
      {std::string(1, '\0'), std::string(2, '\0'), "\xff", "\xff\xff", "\x01", "\x80", "$e",
       std::string(128, '\0'), "ORDERINFO"},
      1500,
      200};
  return zolt::fuzz::RunDriver(argc, argv, options, [](const std::uint8_t* d, std::size_t n) {
    LLVMFuzzerTestOneInput(d, n);
  });
}
#endif
