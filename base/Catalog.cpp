#include "Catalog.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "BStorage.hpp"
#include "DirAcces.hpp"
#include "Messages.hpp"
#include "UCommon.hpp"

unsigned Catalog_catError = Catalog_ok;

namespace {

constexpr std::size_t kNameSize = 16;
constexpr std::size_t kRecordHead = kNameSize + 2 + 2;

// One section record; index and texts point into the catalogue's block.
struct Section {
  char name[kNameSize];
  std::uint16_t count;
  std::uint16_t textSize;
  const unsigned char* index;  // count pairs (number, offset), little-endian
  const char* texts;           // textSize bytes followed by a NUL of our own
};

std::uint16_t U16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

}  // namespace

struct Catalog_Rec {
  void* block = nullptr;
  std::size_t blockSize = 0;
  std::vector<Section> sections;
  const Section* enumSection = nullptr;
  std::size_t enumNext = 0;
};

void Catalog_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "Catalog");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  Messages_Init();
  BStorage_Init();
  DirAcces_Init();
}

void Catalog_GetLanguage(StrOut lang, StrIn deflt) {
  const char* value = std::getenv("LANGUAGE");
  if (value == nullptr || *value == '\0') value = std::getenv("LANG");
  if (value == nullptr || *value == '\0') {
    Strings_Assign(deflt, lang);
    return;
  }
  std::string_view v(value);
  static constexpr std::pair<std::string_view, std::string_view> kPrefixes[] = {
      {"de", "deu"}, {"en", "eng"}, {"fr", "fra"}, {"it", "ita"},
      {"es", "spa"}, {"pl", "pol"}, {"pt", "por"}};
  for (const auto& [prefix, code] : kPrefixes) {
    if (v.starts_with(prefix)) {
      v = code;
      break;
    }
  }
  if (v.starts_with("german") || v.starts_with("German")) {
    v = "deu";
  } else if (v.starts_with("English")) {
    v = "eng";
  }
  Strings_Assign(v, lang);
}

namespace {

// Opens lang/fileName relative to the current directory, otherwise below each directory
// of ZOLTENV (with its computed default when the variable is not set). The file
// descriptor, or -1; path receives the file that was opened.
int OpenAlongZoltEnv(std::string_view lang, std::string_view fileName, std::string& path) {
  const std::string relative = std::string(lang) + "/" + std::string(fileName);
  path = relative;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) return fd;
  static char env[4096];
  if (!DirAcces_EnvVar("ZOLTENV", env)) env[0] = '\0';
  std::string_view dirs = StrIn(env).view();
  while (!dirs.empty()) {
    const std::size_t colon = dirs.find(':');
    const std::string_view dir = dirs.substr(0, colon);
    dirs = colon == std::string_view::npos ? std::string_view() : dirs.substr(colon + 1);
    if (dir.empty()) continue;
    path = std::string(dir) + "/" + relative;
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) return fd;
  }
  return -1;
}

bool ReadWholeFile(int fd, std::vector<unsigned char>& bytes) {
  unsigned char buf[16384];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.insert(bytes.end(), buf, buf + n);
  }
}

void ReportDamaged(const std::string& path) {
  Messages_SupplyAdditionalInfo("::OpenCatalogue: damaged message catalogue '" + path + "'");
  Messages_Error("Catalog", 0);
}

// Builds a catalogue from the file's bytes; reports damage itself.
Catalog_Catalogue Parse(const std::vector<unsigned char>& bytes, const std::string& path) {
  // First pass: find the records and check that each is complete.
  struct Extent {
    std::size_t at;
    std::uint16_t count, textSize;
  };
  std::vector<Extent> extents;
  std::size_t at = 0;
  std::size_t blockSize = 0;
  while (bytes.size() - at >= kRecordHead) {
    const std::uint16_t count = U16(&bytes[at + kNameSize]);
    const std::uint16_t textSize = U16(&bytes[at + kNameSize + 2]);
    if (count > Catalog_maxCount) break;
    const std::size_t body = std::size_t{count} * 4 + textSize;
    if (bytes.size() - at - kRecordHead < body) {
      ReportDamaged(path);
      return nullptr;
    }
    for (std::size_t i = 0; i < count; ++i) {
      if (U16(&bytes[at + kRecordHead + 4 * i + 2]) >= textSize) {
        ReportDamaged(path);
        return nullptr;
      }
    }
    extents.push_back({at, count, textSize});
    blockSize += body + 1;
    at += kRecordHead + body;
  }

  auto cat = new Catalog_Rec;
  if (blockSize > 0) {
    BStorage_ALLOCATE(cat->block, blockSize);
    if (cat->block == nullptr) {
      delete cat;
      return nullptr;
    }
    cat->blockSize = blockSize;
  }
  // Second pass: copy each record's index and texts into the block, each text block
  // closed by a NUL so that no lookup can run past it.
  auto* out = static_cast<unsigned char*>(cat->block);
  for (const Extent& e : extents) {
    Section s{};
    std::memcpy(s.name, &bytes[e.at], kNameSize);
    s.count = e.count;
    s.textSize = e.textSize;
    const std::size_t indexSize = std::size_t{e.count} * 4;
    std::memcpy(out, &bytes[e.at + kRecordHead], indexSize + e.textSize);
    s.index = out;
    s.texts = reinterpret_cast<const char*>(out + indexSize);
    out[indexSize + e.textSize] = 0;
    out += indexSize + e.textSize + 1;
    cat->sections.push_back(s);
  }
  return cat;
}

Catalog_Catalogue OpenIn(std::string_view fileName, std::string_view lang, bool& found) {
  std::string path;
  const int fd = OpenAlongZoltEnv(lang, fileName, path);
  found = fd >= 0;
  if (!found) return nullptr;
  std::vector<unsigned char> bytes;
  const bool ok = ReadWholeFile(fd, bytes);
  ::close(fd);
  if (!ok) {
    ReportDamaged(path);
    return nullptr;
  }
  return Parse(bytes, path);
}

Catalog_Catalogue OpenFirstOf(std::string_view fileName,
                              std::initializer_list<std::string_view> langs) {
  for (const std::string_view lang : langs) {
    if (lang.empty()) continue;
    bool found = false;
    Catalog_Catalogue cat = OpenIn(fileName, lang, found);
    if (found) {
      Catalog_catError = cat ? Catalog_ok : Catalog_fileDamaged;
      return cat;
    }
  }
  Catalog_catError = Catalog_fileNotFound;
  return nullptr;
}

const Section* FindSection(const Catalog_Rec& cat, StrIn section) {
  for (const Section& s : cat.sections) {
    const int cmp = Strings_CompareStr(s.name, section);
    if (cmp == 0) return &s;
    if (cmp > 0) break;
  }
  return nullptr;
}

}  // namespace

Catalog_Catalogue Catalog_OpenCatalogue(StrIn fileName) {
  char lang[4];
  Catalog_GetLanguage(lang, "eng");
  return OpenFirstOf(fileName.view(), {StrIn(lang).view(), "eng", "deu"});
}

std::vector<std::string> Catalog_SearchedDirectories() {
  char lang[4];
  Catalog_GetLanguage(lang, "eng");
  std::vector<std::string> langs;
  for (const std::string_view l :
       {StrIn(lang).view(), std::string_view("eng"), std::string_view("deu")}) {
    if (!l.empty() && std::find(langs.begin(), langs.end(), l) == langs.end())
      langs.emplace_back(l);
  }
  // The same walk as OpenAlongZoltEnv's, per language.
  char env[4096];
  if (!DirAcces_EnvVar("ZOLTENV", env)) env[0] = '\0';
  std::vector<std::string> dirs;
  for (const std::string& l : langs) {
    dirs.push_back("./" + l);
    std::string_view rest = StrIn(env).view();
    while (!rest.empty()) {
      const std::size_t colon = rest.find(':');
      const std::string_view dir = rest.substr(0, colon);
      rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
      if (!dir.empty()) dirs.push_back(std::string(dir) + "/" + l);
    }
  }
  return dirs;
}

Catalog_Catalogue Catalog_OpenForeignCatalogue(StrIn fileName, StrIn lang) {
  return OpenFirstOf(fileName.view(), {lang.view()});
}

void Catalog_CloseCatalogue(Catalog_Catalogue& cat) {
  if (cat == nullptr) {
    Catalog_catError = Catalog_noCatalogue;
    return;
  }
  BStorage_DEALLOCATE(cat->block, cat->blockSize);
  delete cat;
  cat = nullptr;
  Catalog_catError = Catalog_ok;
}

const char* Catalog_GetStringRef(Catalog_Catalogue cat, StrIn section, std::uint32_t number) {
  static const char kAbsent[] = "???";
  if (cat == nullptr) {
    Catalog_catError = Catalog_noCatalogue;
    return kAbsent;
  }
  const Section* s = FindSection(*cat, section);
  if (s == nullptr) {
    Catalog_catError = Catalog_sectionNotFound;
    return kAbsent;
  }
  for (std::size_t i = 0; i < s->count; ++i) {
    const std::uint16_t n = U16(s->index + 4 * i);
    if (n == number) {
      Catalog_catError = Catalog_ok;
      return s->texts + U16(s->index + 4 * i + 2);
    }
    if (n > number) break;
  }
  Catalog_catError = Catalog_numberNotFound;
  return kAbsent;
}

void Catalog_GetString(Catalog_Catalogue cat, StrIn section, std::uint32_t number, StrOut text) {
  const char* ref = Catalog_GetStringRef(cat, section, number);
  const unsigned err = Catalog_catError;
  Strings_Assign(StrIn::FromC(ref), text);
  Catalog_catError = err;
}

void Catalog_StartSection(Catalog_Catalogue cat, StrIn section) {
  if (cat == nullptr) {
    Catalog_catError = Catalog_noCatalogue;
    return;
  }
  cat->enumSection = FindSection(*cat, section);
  cat->enumNext = 0;
  Catalog_catError = cat->enumSection ? Catalog_ok : Catalog_enumNotFound;
}

const char* Catalog_NextStringRef(Catalog_Catalogue cat, std::uint32_t& number) {
  number = 0;
  if (cat == nullptr) {
    Catalog_catError = Catalog_noCatalogue;
    return nullptr;
  }
  Catalog_catError = Catalog_ok;
  const Section* s = cat->enumSection;
  if (s == nullptr || cat->enumNext >= s->count) return nullptr;
  const unsigned char* pair = s->index + 4 * cat->enumNext++;
  number = U16(pair);
  return s->texts + U16(pair + 2);
}
