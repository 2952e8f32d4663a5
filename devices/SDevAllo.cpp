// The device catalogue and device reservations (see SDevAllo.hpp).
#include "SDevAllo.hpp"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>
#include <vector>

#include "DirAcces.hpp"
#include "Messages.hpp"
#include "SRM.hpp"
#include "Strings.hpp"
#include "UCommon.hpp"

int SDevAllo_error = 0;

namespace {

constexpr char kSection[] = "SDevAllo";
constexpr char kCatalogue[] = "devices.Velmar";
constexpr std::size_t kMaxLine = 5120;

// Index = class.
constexpr const char* kClassNames[] = {
    "",        "floppy35", "floppy525", "shuttle", "aillicShuttle", "mod270", "mod1GB",
    "magtape", "exa8200",  "exa8500",   "novaJET", "formplot",      "unixFS", "textPrinter"};

SDevAllo_DevList catalogue = nullptr;  // kept for the process
std::string cataloguePath;

std::string LocalHost() {
  char host[128] = {};
  DirAcces_GetMachineName(host);
  return StrIn(host).str();
}

// Cut to one less than the capacity, so that the text stays terminated.
void Put(std::string_view text, char* dst, std::size_t capacity) {
  Strings_Assign(text.substr(0, capacity - 1), StrOut(dst, capacity - 1));
}

void Note(const std::string& file, long line, const char* why) {
  std::fprintf(stderr, "SDevAllo: %s:%ld: %s, line skipped\n", file.c_str(), line, why);
}

// The fields of one line: split at colons not escaped by a backslash (an escaped colon
// that ends the line splits all the same).
std::vector<std::string> Fields(std::string_view line) {
  std::vector<std::string> fields(1);
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == ':' && (i == 0 || line[i - 1] != '\\' || i + 1 == line.size())) {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

std::string_view Trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

SDevAllo_Device* CopyRecord(const SDevAllo_Device& from) {
  auto* d = new SDevAllo_Device(from);
  d->next = nullptr;
  return d;
}

bool QueryInUse(const SDevAllo_Device& d) {
  char id[256] = {};
  SDevAllo_BuildResourceID(d.host, d.devName, false, id);
  // A manager that cannot be reached leaves the device looking free; allocation will
  // tell the truth.
  const Messages_Ignoring quiet;
  const bool inUse = SRM_QueryInUse(id);
  Messages_ForgetErrorReasons();
  return inUse;
}

// The catalogue, read on first use and again while it gave nothing.
SDevAllo_DevList Default() {
  if (catalogue != nullptr) return catalogue;
  char path[1024] = {};
  // The lookup's own reason stays on the stack beneath ours.
  Messages_Ignoring quiet;
  const bool found = DirAcces_PathLookup1("ZOLTENV", kCatalogue, DirAcces_readable, path);
  quiet.Close();
  if (!found) {
    SDevAllo_error = 1;
    cataloguePath.clear();
    char dirs[1024] = {};
    DirAcces_EnvVar("ZOLTENV", dirs);
    Messages_SupplyAdditionalInfo("::Default: " + std::string(kCatalogue) +
                                  " not found along ZOLTENV (" + StrIn(dirs).str() + ")");
    Messages_Error(kSection, 1);
    return nullptr;
  }
  cataloguePath = StrIn(path).str();
  std::ifstream in(cataloguePath, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  catalogue = SDevAllo_ParseCatalogue(text.str(), cataloguePath, LocalHost());
  SDevAllo_error = catalogue == nullptr ? 3 : 0;
  return catalogue;
}

template <typename Keep>
SDevAllo_DevList Copy(Keep&& keep) {
  SDevAllo_error = 0;
  SDevAllo_DevList head = nullptr;
  SDevAllo_Device** tail = &head;
  for (const SDevAllo_Device* d = Default(); d != nullptr; d = d->next) {
    if (!keep(*d)) continue;
    SDevAllo_Device* c = CopyRecord(*d);
    c->inUse = QueryInUse(*d);
    *tail = c;
    tail = &c->next;
  }
  return SDevAllo_error != 0 ? (SDevAllo_Destroy(head), nullptr) : head;
}

}  // namespace

void SDevAllo_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "SDevAllo");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  Messages_Init();
  DirAcces_Init();
  SRM_Init();
}

std::uint8_t SDevAllo_ClassOfName(StrIn name) {
  const std::string_view n = Trim(name.view());
  if (n == "exabyte") return SDevAllo_exa8200;
  for (int c = 1; c <= SDevAllo_lastClass; ++c) {
    if (n == kClassNames[c]) return static_cast<std::uint8_t>(c);
  }
  return SDevAllo_unknown;
}

const char* SDevAllo_ClassName(std::uint8_t devClass) {
  return devClass <= SDevAllo_lastClass ? kClassNames[devClass] : "";
}

SDevAllo_DevList SDevAllo_ParseCatalogue(const std::string& text, const std::string& fileName,
                                         StrIn localHost, bool quiet) {
  SDevAllo_DevList head = nullptr;
  SDevAllo_Device** tail = &head;
  std::size_t pos = 0;
  long lineNo = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + pos, std::min(end - pos, kMaxLine));
    pos = end + 1;
    ++lineNo;
    line = line.substr(0, line.find('\0'));  // text ends at a NUL, as in any C reader
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const auto start = line.find_first_not_of(" \t");
    line = start == std::string_view::npos ? std::string_view() : line.substr(start);
    for (std::size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '#' && (i == 0 || line[i - 1] != '\\')) {
        line = line.substr(0, i);
        break;
      }
    }
    if (line.empty()) continue;
    const std::vector<std::string> f = Fields(line);
    if (f.size() > 5) {
      if (!quiet) Note(fileName, lineNo, "more than five fields");
      continue;
    }
    if (f.size() < 3 || f[2].empty()) {
      if (!quiet) Note(fileName, lineNo, "no device name");
      continue;
    }
    auto* d = new SDevAllo_Device{};
    d->devClass = SDevAllo_ClassOfName(f[0]);
    Put(f[1].empty() ? localHost.view() : std::string_view(f[1]), d->host, sizeof d->host);
    Put(f[2], d->devName, sizeof d->devName);
    if (f.size() > 3) Put(f[3], d->altDevName, sizeof d->altDevName);
    if (f.size() > 4) Put(f[4], d->description, sizeof d->description);
    *tail = d;
    tail = &d->next;
  }
  return head;
}

const std::string& SDevAllo_CataloguePath() { return cataloguePath; }

void SDevAllo_Reset() {
  SDevAllo_Destroy(catalogue);
  cataloguePath.clear();
  SDevAllo_error = 0;
}

SDevAllo_DevList SDevAllo_GetListOfAllDevices() {
  return Copy([](const SDevAllo_Device&) { return true; });
}

SDevAllo_DevList SDevAllo_GetListOfFreeDevices(std::uint8_t devClass) {
  SDevAllo_DevList all =
      Copy([devClass](const SDevAllo_Device& d) { return d.devClass == devClass; });
  // Records in use are dropped after the query, which every copy makes.
  SDevAllo_Device** link = &all;
  while (*link != nullptr) {
    if ((*link)->inUse) {
      SDevAllo_Device* gone = *link;
      *link = gone->next;
      delete gone;
    } else {
      link = &(*link)->next;
    }
  }
  return all;
}

SDevAllo_DevList SDevAllo_GetListOfDevices(std::uint8_t devClass, StrIn host) {
  const std::string h = host.length() == 0 ? LocalHost() : host.str();
  return Copy([devClass, &h](const SDevAllo_Device& d) {
    return d.devClass == devClass && (d.host[0] == '\0' || h == d.host);
  });
}

void SDevAllo_Destroy(SDevAllo_DevList& list) {
  while (list != nullptr) {
    SDevAllo_Device* next = list->next;
    delete list;
    list = next;
  }
}

bool SDevAllo_AllocateDevice(SDevAllo_DevList& list, bool forWrite, StrOut host, StrOut devName,
                             StrOut resourceID) {
  const SDevAllo_Device* chosen = list;
  while (chosen != nullptr && !chosen->selected) chosen = chosen->next;
  bool ok = false;
  if (chosen == nullptr) {
    SDevAllo_error = 5;
    Strings_Assign("", resourceID);
  } else {
    Strings_Assign(chosen->host, host);
    Strings_Assign(chosen->devName, devName);
    ok = SDevAllo_AllocateThisDevice(*chosen, forWrite, resourceID);
  }
  SDevAllo_Destroy(list);
  return ok;
}

bool SDevAllo_AllocateThisDevice(const SDevAllo_Device& device, bool forWrite, StrOut resourceID) {
  SDevAllo_BuildResourceID(device.host, device.devName, forWrite, resourceID);
  // The reservation must not outlive this process: the manager drops it when we die.
  Messages_Ignoring quiet;
  const bool granted = SRM_Reserve(resourceID, true);
  Messages_ForgetErrorReasons();
  quiet.Close();
  SDevAllo_error = granted ? 0 : 6;
  return granted;
}

void SDevAllo_ReleaseDevice(StrIn resourceID) {
  if (resourceID.length() == 0) return;
  const Messages_Ignoring quiet;
  SRM_Release(resourceID);
  Messages_ForgetErrorReasons();
}

void SDevAllo_BuildResourceID(StrIn host, StrIn devName, bool forWrite, StrOut id) {
  std::string name = host.length() == 0 ? LocalHost() : host.str();
  name += ':';
  for (const char c : devName.view()) name += c == '|' ? 'X' : c;
  char full[256] = {};
  Strings_Assign(name, full);
  forWrite ? SRM_UpdateResource(full) : SRM_ReadResource(full);
  Strings_Assign(full, id);
}

bool SDevAllo_DevnameFromAltdevn(StrIn altDevName, StrOut devName) {
  const std::string local = LocalHost();
  for (const SDevAllo_Device* d = Default(); d != nullptr; d = d->next) {
    if (local == d->host && altDevName.view() == d->altDevName) {
      Strings_Assign(d->devName, devName);
      return true;
    }
  }
  return false;
}
