#include "Jk.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>

#include "CfConfig.hpp"
#include "DynStr.hpp"
#include "FuFile.hpp"
#include "Scsi.hpp"
#include "Socket.hpp"
#include "UCommon.hpp"

namespace {

CfFile config = nullptr;
bool configRead = false;

void RealSleep(int seconds) {
  if (seconds > 0) ::sleep(static_cast<unsigned>(seconds));
}
void (*sleeper)(int) = RealSleep;

std::string CustomerDir() {
  const char* v = std::getenv("VM_CUSTOMER");
  std::string dir = v && *v ? v : "/customer";
  return dir.substr(0, dir.find(':'));
}

CfFile Config() {
  if (!configRead) {
    configRead = true;
    const std::string path = CustomerDir() + "/juke.conf";
    config = CfRead(path.c_str(), nullptr);  // errors ignored: no file, no jukeboxes
  }
  return config;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Reads keys of one section and remembers which were asked for.
class Keys {
 public:
  explicit Keys(CfSection s) : s_(s) {}
  bool Has(const std::string& key) {
    asked_.insert(Lower(key));
    return CfGetExactEntry(s_, key.c_str()) != CfEntryNil();
  }
  std::string Str(const std::string& key, const std::string& def) {
    if (!Has(key)) return def;
    char buffer[4096];
    CfStrFromCfg(s_, key.c_str(), buffer, sizeof buffer, def.c_str());
    return buffer;
  }
  long Long(const std::string& key, long def) {
    return Has(key) ? CfLongFromCfg(s_, key.c_str(), def) : def;
  }
  bool Bool(const std::string& key, bool def) {
    return Has(key) ? CfBoolFromCfg(s_, key.c_str(), def) : def;
  }
  // The per-drive key wins over the common one.
  std::string DriveStr(int n, const char* fmt, const char* common, const std::string& def) {
    const std::string key = Format(fmt, n);
    if (Has(key)) return Str(key, def);
    return common ? Str(common, def) : def;
  }
  long DriveLong(int n, const char* fmt, const char* common, long def) {
    const std::string key = Format(fmt, n);
    if (Has(key)) return Long(key, def);
    return common ? Long(common, def) : def;
  }
  bool DriveBool(int n, const char* fmt, const char* common, bool def) {
    const std::string key = Format(fmt, n);
    if (Has(key)) return Bool(key, def);
    return common ? Bool(common, def) : def;
  }
  std::vector<int> IntArr(const std::string& key) {
    std::vector<std::int32_t> a;
    if (Has(key)) CfIntArrFromCfg(s_, key.c_str(), a);
    return {a.begin(), a.end()};
  }
  // Reports every entry nobody asked for; true when there is none.
  bool AllUsed() {
    bool ok = true;
    for (CfEntry e = CfGetFirstEntry(s_, ".*"); e != CfEntryNil(); e = CfGetNextEntry(s_)) {
      const std::string name = CfGetEntryName(e);
      if (asked_.count(Lower(name)) != 0) continue;
      DS raw = CfGetRawValue(e);
      std::fprintf(stderr, "unused entry '%s=%s' in juke.conf\n", name.c_str(),
                   raw ? DSStr(raw) : "");
      ok = false;
    }
    return ok;
  }
  static std::string Format(const char* fmt, int n) {
    char key[128];
    std::snprintf(key, sizeof key, fmt, n);
    return key;
  }

 private:
  CfSection s_;
  std::set<std::string> asked_;
};

CfSection SectionOf(const std::string& name) {
  CfFile f = Config();
  if (f == CfFileNil()) return CfSectionNil();
  return CfGetExactSection(f, ("jukebox/" + name).c_str());
}

void ReadCommon(Keys& k, JkJukeDesc& d) {
  d.comment = k.Str("JukeComment", "");
  d.type = k.Str("JukeType", "");
  d.device = k.Str("JukeDev", "/dev/juke");
  d.server = k.Str("JukeServer", "");
  d.stateFile = k.Str("JukeState", "/projects/backups/.jukestate." + d.name);
  d.loadSleepTime = static_cast<int>(k.Long("LoadSleepTime", 60));
  d.unloadSleepTime = static_cast<int>(k.Long("UnloadSleepTime", 0));
  d.retrySleepTime = static_cast<int>(k.Long("RetrySleepTime", 20));
  d.resetSleepTime = static_cast<int>(k.Long("ResetSleepTime", 20));
  d.cleanSleepTime = static_cast<int>(k.Long("CleanSleepTime", 120));
  d.maxLockTime = k.Long("MaxLockTime", 300);
}

// The drives' settings and the cleaning slots, once the driver has told the elements.
bool ReadElements(Keys& k, JkJukeDesc& d) {
  for (JkElement& e : d.drives) {
    const int n = e.index;
    const std::string type = k.DriveStr(n, "Drive%dType", "DriveType", "");
    if (!type.empty()) e.driveType = JkStrToDriveType(type);
    e.device = k.DriveStr(n, "Drive%dDev", nullptr, Keys::Format("/dev/jukedrive%d", n));
    e.scsiDevice = k.DriveStr(n, "Drive%dScsi", nullptr, Keys::Format("/dev/jukedrive%d.scsi", n));
    e.resetOnError = k.DriveBool(n, "ResetDrive%dOnError", "ResetDriveOnError", false);
    e.pollForReady = k.DriveBool(n, "PollDrive%dForReady", "PollDriveForReady", false);
    e.pollSleepTime =
        static_cast<int>(k.DriveLong(n, "Drive%dPollSleepTime", "DrivePollSleepTime", 10));
    if (e.pollSleepTime < 1) e.pollSleepTime = 10;
  }
  d.cleaningTapes = k.IntArr("CleaningTapes");
  bool ok = true;
  for (int slot : d.cleaningTapes) {
    if (slot < 0 || slot >= d.nSlots) {
      std::fprintf(stderr, "bad slot for CleaningTapes: %d\n", slot);
      ok = false;
      continue;
    }
    d.slots[static_cast<std::size_t>(slot)].cleaningMedia = true;
  }
  return k.AllUsed() && ok;
}

JkElement* Select(std::vector<JkElement>& list, int index, const char* what) {
  if (index < 0 || index >= static_cast<int>(list.size())) {
    std::fprintf(stderr, "%s: bad pos %d\n", what, index);
    return nullptr;
  }
  return &list[static_cast<std::size_t>(index)];
}

bool Complain(const char* text) {
  std::fprintf(stderr, "%s\n", text);
  return false;
}

// A driver move, tried again after the retry time when it fails.
template <typename F>
bool Retry(JkJukeDesc& d, F move) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (attempt > 0) sleeper(d.retrySleepTime);
    if (move()) return true;
  }
  return false;
}

// The medium of from goes to to, with its texts and its origin.
void Carry(JkJukeDesc& d, JkElement& from, JkElement& to, bool keepOrigin) {
  to.description = from.description;
  to.label = from.label;
  to.full = true;
  to.changed = from.changed;
  if (keepOrigin) {
    to.fromID = from.fromID;
    to.fromIndex = from.fromIndex;
  } else {
    to.fromID = from.id;
    to.fromIndex = from.index;
  }
  from.description.clear();
  from.label.clear();
  from.full = false;
  from.fromID = -1;
  from.fromIndex = -1;
  d.modified = true;
}

std::string OneLine(const std::string& s) {
  std::string out = s;
  std::replace(out.begin(), out.end(), '\n', ' ');
  return out;
}

}  // namespace

void Jk_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "Jk");
  if (!init) return;
  UCommon_Init();
  DynStr_Init();
  CfConfig_Init();
  FuFile_Init();
  Scsi_Init();
  Socket_Init();
  for (const JkDriver* driver : Juke_SPI_Drivers()) driver->InitDriver();
}

void Jk_SetSleep(void (*sleep)(int)) { sleeper = sleep ? sleep : RealSleep; }

int JkStrToDriveType(std::string_view text) {
  for (int t = 0; t <= jkFilesys; ++t) {
    if (text == JkDriveTypeToStr(t)) return t;
  }
  return jkUnknown;
}

const char* JkDriveTypeToStr(int type) {
  static const char* const names[] = {"unknown", "tape", "disk", "cdrom", "file", "filesys"};
  return type >= 0 && type <= jkFilesys ? names[type] : names[0];
}

void Jk_ForgetConfig() {
  if (config != CfFileNil()) CfDestroy(&config);
  config = CfFileNil();
  configRead = false;
}

bool JkQueryJukes(std::vector<JkJukeInfo>& list) {
  list.clear();
  CfFile f = Config();
  if (f == CfFileNil()) return true;
  for (CfSection s = CfGetFirstSection(f, "^jukebox/"); s != CfSectionNil();
       s = CfGetNextSection(f)) {
    JkJukeInfo info;
    const char* section = CfGetSectionName(s);
    info.name = section && std::strlen(section) > 8 ? section + 8 : "<unknown jukebox>";
    char buffer[4096];
    CfStrFromCfg(s, "JukeComment", buffer, sizeof buffer, "");
    info.comment = buffer;
    CfStrFromCfg(s, "JukeDev", buffer, sizeof buffer, "/dev/juke");
    info.device = buffer;
    CfStrFromCfg(s, "JukeType", buffer, sizeof buffer, "");
    info.type = buffer;
    CfStrFromCfg(s, "JukeServer", buffer, sizeof buffer, "");
    info.server = buffer;
    list.push_back(std::move(info));
  }
  return true;
}

void JkFreeJukeList(std::vector<JkJukeInfo>& list) { list.clear(); }

bool Jk_ConfigureDesc(JkJukeDesc& d) {
  CfSection s = SectionOf(d.name);
  if (s == CfSectionNil()) {
    std::fprintf(stderr, "no jukebox section for '%s' in juke.conf\n", d.name.c_str());
    return false;
  }
  Keys k(s);
  ReadCommon(k, d);
  return true;
}

bool JkLoadState(const char* name, JkJukeDesc& d) {
  Jk_Init();
  const bool remote = d.remote;
  const int fd = d.serverFd;
  d = JkJukeDesc{};
  d.remote = remote;
  d.serverFd = fd;
  d.name = name ? name : "";
  CfSection s = SectionOf(d.name);
  if (s == CfSectionNil()) {
    std::fprintf(stderr, "no jukebox section for '%s' in juke.conf\n", d.name.c_str());
    return false;
  }
  Keys k(s);
  ReadCommon(k, d);
  const JkDriver* driver = d.remote ? Juke_SPI_Find("NET") : Juke_SPI_Find(d.type);
  if (driver == nullptr) {
    std::fprintf(stderr, "no jukebox driver for type '%s'\n", d.type.c_str());
    return false;
  }
  d.driver = driver;
  if (!driver->LoadState(d)) return false;
  if (!ReadElements(k, d)) return false;
  d.modified = false;
  return true;
}

bool JkSaveState(JkJukeDesc& d) {
  if (d.driver == nullptr || !d.driver->SaveState(d)) return false;
  d.modified = false;
  return true;
}

bool JkUpdateState(JkJukeDesc& d) {
  if (d.driver == nullptr) return false;
  bool modified = false;
  if (!d.driver->StateModified(d, modified)) return false;
  if (!modified) return true;
  JkJukeDesc fresh;
  fresh.remote = d.remote;
  fresh.serverFd = d.serverFd;
  fresh.lockFd = d.lockFd;
  if (!JkLoadState(d.name.c_str(), fresh)) return false;
  fresh.lockFd = d.lockFd;
  d = std::move(fresh);
  return true;
}

bool JkCopyJukeDesc(JkJukeDesc& to, const JkJukeDesc& from) {
  if (from.driver == nullptr) return false;
  return from.driver->CopyJukeDesc(to, from);
}

void JkFreeJukeDesc(JkJukeDesc& d) {
  if (d.driver) d.driver->FreeJukeDesc(d);
  d = JkJukeDesc{};
}

JkElement* JkSelectRobo(JkJukeDesc& d, int i) { return Select(d.robos, i, "JkSelectRobo"); }
JkElement* JkSelectSlot(JkJukeDesc& d, int i) { return Select(d.slots, i, "JkSelectSlot"); }
JkElement* JkSelectPort(JkJukeDesc& d, int i) { return Select(d.ports, i, "JkSelectPort"); }
JkElement* JkSelectDrive(JkJukeDesc& d, int i) { return Select(d.drives, i, "JkSelectDrive"); }
JkElement* JkSelectSlotByID(JkJukeDesc& d, int id) {
  for (JkElement& e : d.slots) {
    if (e.id == id) return &e;
  }
  return nullptr;
}

int Jk_ElementNumber(const JkJukeDesc& d, const JkElement& e) {
  int base = 0;
  for (const auto* list : {&d.robos, &d.slots, &d.ports, &d.drives}) {
    if (!list->empty() && &e >= list->data() && &e < list->data() + list->size()) {
      return base + static_cast<int>(&e - list->data());
    }
    base += static_cast<int>(list->size());
  }
  return -1;
}

JkElement* Jk_ElementByNumber(JkJukeDesc& d, int n) {
  if (n < 0) return nullptr;
  for (auto* list : {&d.robos, &d.slots, &d.ports, &d.drives}) {
    if (n < static_cast<int>(list->size())) return &(*list)[static_cast<std::size_t>(n)];
    n -= static_cast<int>(list->size());
  }
  return nullptr;
}

bool JkLockJukeBox(JkJukeDesc& d) { return d.driver && d.driver->LockJukeBox(d); }
bool JkUnlockJukeBox(JkJukeDesc& d) { return d.driver && d.driver->UnlockJukeBox(d); }

bool JkInitInventory(JkJukeDesc& d) {
  if (d.driver == nullptr || !d.driver->InitInventory(d)) return false;
  for (auto* list : {&d.slots, &d.ports, &d.drives}) {
    for (JkElement& e : *list) e.changed = false;
  }
  d.modified = true;
  return true;
}

bool JkSetDescription(JkJukeDesc& d, JkElement& e, const char* text) {
  if (d.driver == nullptr || !d.driver->SetDescription(d, e, text)) return false;
  e.description = OneLine(text ? text : "");
  d.modified = true;
  return true;
}

bool JkSetLabel(JkJukeDesc& d, JkElement& e, const char* text) {
  if (d.driver == nullptr || !d.driver->SetLabel(d, e, text)) return false;
  e.label = OneLine(text ? text : "");
  d.modified = true;
  return true;
}

bool JkResetDrive(JkJukeDesc& d, JkElement& drive) {
  if (d.driver == nullptr || !d.driver->ResetDrive(d, drive)) return false;
  sleeper(d.resetSleepTime);
  return true;
}

bool JkLoadMedia(JkJukeDesc& d, JkElement& slot, JkElement& drive) {
  if (!slot.full) return Complain("JkLoadMedia: source slot empty");
  if (drive.full) return Complain("JkLoadMedia: destination drive full");
  if (!Retry(d, [&] { return d.driver->LoadMedia(d, slot, drive); })) {
    if (drive.resetOnError) JkResetDrive(d, drive);
    return Complain("JkLoadMedia: Juke_SPI_LoadMedia failed");
  }
  Carry(d, slot, drive, false);
  sleeper(d.loadSleepTime);
  // A drive that needs longer than the load time is asked until its device is there.
  for (int polls = 0; drive.pollForReady && polls < 30; ++polls) {
    if (::access(drive.device.c_str(), F_OK) == 0) break;
    sleeper(drive.pollSleepTime);
  }
  return true;
}

bool JkUnloadMedia(JkJukeDesc& d, JkElement& drive, JkElement& slot) {
  if (!drive.full) return Complain("JkUnloadMedia: source drive empty");
  if (slot.full) return Complain("JkUnloadMedia: destination slot full");
  if (!Retry(d, [&] { return d.driver->UnloadMedia(d, drive, slot); })) {
    if (drive.resetOnError) JkResetDrive(d, drive);
    return Complain("JkUnloadMedia: Juke_SPI_UnloadMedia failed");
  }
  Carry(d, drive, slot, false);
  sleeper(d.unloadSleepTime);
  return true;
}

bool JkPutBackMedia(JkJukeDesc& d, JkElement& drive) {
  if (!drive.full) {
    std::fprintf(stderr, "JkPutBackMedia: no media loaded\n");
    return true;
  }
  JkElement* home = nullptr;
  if (drive.fromIndex >= 0 && drive.fromIndex < static_cast<int>(d.slots.size())) {
    home = &d.slots[static_cast<std::size_t>(drive.fromIndex)];
  } else if (drive.fromIndex < 0) {
    home = JkSelectSlotByID(d, drive.fromID);
  }
  if (home == nullptr || home->full) {
    home = nullptr;
    for (JkElement& s : d.slots) {
      if (!s.full && !s.cleaningMedia) {
        home = &s;
        break;
      }
    }
  }
  if (home == nullptr) return Complain("JkPutBackMedia: no free slot");
  return JkUnloadMedia(d, drive, *home);
}

bool JkDoLoadMedia(JkJukeDesc& d, int slotIndex, int driveIndex) {
  JkElement* drive = driveIndex >= 0 && driveIndex < static_cast<int>(d.drives.size())
                         ? &d.drives[static_cast<std::size_t>(driveIndex)]
                         : nullptr;
  if (drive == nullptr) return Complain("JkDoLoadMedia: drive not found");
  JkElement* slot = slotIndex >= 0 && slotIndex < static_cast<int>(d.slots.size())
                        ? &d.slots[static_cast<std::size_t>(slotIndex)]
                        : nullptr;
  if (slot == nullptr) return Complain("JkDoLoadMedia: slot not found");
  if (drive->full && !JkPutBackMedia(d, *drive)) {
    return Complain("JkDoLoadMedia: JkPutBackMedia failed");
  }
  return JkLoadMedia(d, *slot, *drive);
}

bool JkDoLoadByLabel(JkJukeDesc& d, const char* label, int driveIndex) {
  const std::string wanted = label ? label : "";
  for (JkElement& e : d.drives) {
    if (!e.full || e.label != wanted) continue;
    if (e.index == driveIndex) return true;
    if (!JkPutBackMedia(d, e)) {
      std::fprintf(stderr, "JkDoLoadByLabel: media drive %d; JkPutBackMedia failed\n", e.index);
      return false;
    }
  }
  JkElement* drive = driveIndex >= 0 && driveIndex < static_cast<int>(d.drives.size())
                         ? &d.drives[static_cast<std::size_t>(driveIndex)]
                         : nullptr;
  if (drive == nullptr) return Complain("JkDoLoadByLabel: drive not found");
  if (drive->full && !JkPutBackMedia(d, *drive)) {
    return Complain("JkDoLoadByLabel: JkPutBackMedia failed");
  }
  for (JkElement& s : d.slots) {
    if (s.full && s.label == wanted) return JkLoadMedia(d, s, *drive);
  }
  return false;
}

bool JkImportMedia(JkJukeDesc& d, JkElement& slot) {
  if (slot.full) return Complain("ImportMedia: destination slot full");
  JkElement* port = nullptr;
  for (JkElement& p : d.ports) {
    if (p.full) {
      port = &p;
      break;
    }
  }
  if (port == nullptr) return Complain("ImportMedia: no media in a port");
  if (!Retry(d, [&] { return d.driver->ImportMedia(d, *port, slot); })) {
    return Complain("ImportMedia: Juke_SPI_ImportMedia failed");
  }
  Carry(d, *port, slot, false);
  slot.changed = true;
  return true;
}

bool JkExportMedia(JkJukeDesc& d, JkElement& slot) {
  if (!slot.full) return Complain("ExportMedia: source slot empty");
  JkElement* port = nullptr;
  for (JkElement& p : d.ports) {
    if (!p.full) {
      port = &p;
      break;
    }
  }
  if (port == nullptr) return Complain("ExportMedia: no empty port");
  if (!Retry(d, [&] { return d.driver->ExportMedia(d, slot, *port); })) {
    return Complain("ExportMedia: Juke_SPI_ExportMedia failed");
  }
  Carry(d, slot, *port, false);
  return true;
}

bool JkCleanDrive(JkJukeDesc& d, JkElement& slot, JkElement& drive) {
  if (!slot.full) return Complain("JkCleanDrive: source slot empty");
  if (drive.full) return Complain("JkCleanDrive: destination drive full");
  if (!d.driver->CleanDrive(d, slot, drive)) {
    return Complain("JkCleanDrive: Juke_SPI_CleanDrive failed");
  }
  sleeper(d.cleanSleepTime);
  d.modified = true;
  return true;
}

// ---- the state file ----------------------------------------------------------------

bool Juke_SPU_BuildJukeState(const JkJukeDesc& d, std::string& text) {
  if (d.robos.empty() || d.slots.empty() || d.drives.empty()) {
    std::fprintf(stderr, "Juke_SPU_BuildJukeState: bad values in jukeDesc\n");
    return false;
  }
  std::ostringstream out;
  out << "JukeState Version 1.0\n"
      << "nRobos  = " << d.robos.size() << "\n"
      << "nSlots  = " << d.slots.size() << "\n"
      << "nPorts  = " << d.ports.size() << "\n"
      << "nDrives = " << d.drives.size() << "\n";
  auto element = [&](const char* word, const JkElement& e, bool media) {
    out << word << " id = " << e.id << "\n"
        << "fromID/fromIndex = " << e.fromID << "/" << e.fromIndex << "\n";
    if (media) {
      out << OneLine(e.description) << "\n"
          << OneLine(e.label) << "\n"
          << (e.cleaningMedia ? "cleaningMedia" : "noCleaningMedia") << "\n";
    }
    out << (e.ok ? "ok" : "failed") << "\n";
    if (media) {
      out << (e.full ? "full" : "empty") << "\n" << (e.changed ? "changed" : "notChanged") << "\n";
    }
  };
  for (const JkElement& e : d.robos) element("robo", e, false);
  for (const JkElement& e : d.slots) element("slot", e, true);
  for (const JkElement& e : d.ports) element("port", e, true);
  for (const JkElement& e : d.drives) {
    element("drive", e, true);
    out << "driveType = " << e.driveType << "\n";
  }
  text = out.str();
  return true;
}

bool Juke_SPU_WriteStateFile(JkJukeDesc& d) {
  std::string text;
  if (!Juke_SPU_BuildJukeState(d, text)) return false;
  FuBackupFile(d.stateFile.c_str());
  const std::string tmp = d.stateFile + ".tmp";
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    std::fprintf(stderr, "Juke_SPU_WriteStateFile: open(%s) failed: %s\n", tmp.c_str(),
                 std::strerror(errno));
    return false;
  }
  const bool wrote = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::fchmod(fd, 0666);
  ::close(fd);
  if (!wrote || ::rename(tmp.c_str(), d.stateFile.c_str()) != 0) {
    std::fprintf(stderr, "Juke_SPU_WriteStateFile: cannot write '%s': %s\n", d.stateFile.c_str(),
                 std::strerror(errno));
    ::unlink(tmp.c_str());
    return false;
  }
  struct stat st {};
  if (::stat(d.stateFile.c_str(), &st) == 0) d.stateStamp = st.st_mtime;
  return true;
}

namespace {

// Reads the state text line by line; every line has its one expected shape.
class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}
  bool Line(std::string& line) {
    if (pos_ >= text_.size()) return false;
    const std::size_t nl = text_.find('\n', pos_);
    if (nl == std::string_view::npos) return false;  // every line ends with a newline
    line.assign(text_.substr(pos_, nl - pos_));
    pos_ = nl + 1;
    ++lineNo_;
    return true;
  }
  bool Int(const char* prefix, int& value) {
    std::string line;
    if (!Line(line) || line.compare(0, std::strlen(prefix), prefix) != 0) return false;
    return Number(line.substr(std::strlen(prefix)), value);
  }
  bool Pair(int& a, int& b) {
    std::string line;
    const char* prefix = "fromID/fromIndex = ";
    if (!Line(line) || line.compare(0, std::strlen(prefix), prefix) != 0) return false;
    const std::string rest = line.substr(std::strlen(prefix));
    const std::size_t slash = rest.find('/');
    return slash != std::string::npos && Number(rest.substr(0, slash), a) &&
           Number(rest.substr(slash + 1), b);
  }
  bool Word(const char* yes, const char* no, bool& value) {
    std::string line;
    if (!Line(line)) return false;
    if (line == yes) return value = true, true;
    if (line == no) return value = false, true;
    return false;
  }
  bool AtEnd() const { return pos_ == text_.size(); }
  int LineNo() const { return lineNo_; }

 private:
  static bool Number(const std::string& s, int& value) {
    if (s.empty() || s.size() > 11) return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(s.c_str(), &end, 10);
    if (*end != '\0' || errno != 0 || v < -1000000 || v > 1000000) return false;
    value = static_cast<int>(v);
    return true;
  }
  std::string_view text_;
  std::size_t pos_ = 0;
  int lineNo_ = 0;
};

bool ScanElement(Scanner& s, const char* prefix, JkElement& e, bool media, bool drive) {
  if (!s.Int(prefix, e.id) || !s.Pair(e.fromID, e.fromIndex)) return false;
  if (media && (!s.Line(e.description) || !s.Line(e.label) ||
                !s.Word("cleaningMedia", "noCleaningMedia", e.cleaningMedia))) {
    return false;
  }
  if (!s.Word("ok", "failed", e.ok)) return false;
  if (media && (!s.Word("full", "empty", e.full) || !s.Word("changed", "notChanged", e.changed))) {
    return false;
  }
  return !drive || s.Int("driveType = ", e.driveType);
}

}  // namespace

bool Juke_SPU_ScanJukeState(std::string_view text, JkJukeDesc& d, bool merge, std::string& error) {
  Scanner s(text);
  std::string line;
  int counts[4] = {};
  if (!s.Line(line) || line != "JukeState Version 1.0" || !s.Int("nRobos  = ", counts[0]) ||
      !s.Int("nSlots  = ", counts[1]) || !s.Int("nPorts  = ", counts[2]) ||
      !s.Int("nDrives = ", counts[3])) {
    error = "bad state header in line " + std::to_string(s.LineNo());
    return false;
  }
  for (int c : counts) {
    if (c < 0 || c > 10000) {
      error = "bad element count";
      return false;
    }
  }
  std::vector<JkElement> lists[4];
  const char* prefixes[4] = {"robo id = ", "slot id = ", "port id = ", "drive id = "};
  for (int k = 0; k < 4; ++k) {
    for (int i = 0; i < counts[k]; ++i) {
      JkElement e;
      e.index = i;
      if (!ScanElement(s, prefixes[k], e, k != 0, k == 3)) {
        error = "bad element in line " + std::to_string(s.LineNo());
        return false;
      }
      lists[k].push_back(std::move(e));
    }
  }
  if (!s.AtEnd()) {
    error = "extra lines after line " + std::to_string(s.LineNo());
    return false;
  }
  std::vector<JkElement>* target[4] = {&d.robos, &d.slots, &d.ports, &d.drives};
  if (!merge) {
    for (int k = 0; k < 4; ++k) {
      // Drive settings from the configuration stay with the drives.
      if (k == 3) {
        for (std::size_t i = 0; i < lists[3].size() && i < d.drives.size(); ++i) {
          JkElement& n = lists[3][i];
          const JkElement& o = d.drives[i];
          n.device = o.device;
          n.scsiDevice = o.scsiDevice;
          n.resetOnError = o.resetOnError;
          n.pollForReady = o.pollForReady;
          n.pollSleepTime = o.pollSleepTime;
        }
      }
      *target[k] = std::move(lists[k]);
    }
  } else {
    for (int k = 0; k < 4; ++k) {
      if (lists[k].size() != target[k]->size()) {
        error = "the state file does not fit the jukebox";
        return false;
      }
      for (std::size_t i = 0; i < lists[k].size(); ++i) {
        if (lists[k][i].id != (*target[k])[i].id) {
          error = "the state file does not fit the jukebox";
          return false;
        }
      }
    }
    // The driver knows what is there; the file knows what it is.
    for (int k = 1; k < 4; ++k) {
      for (std::size_t i = 0; i < lists[k].size(); ++i) {
        JkElement& t = (*target[k])[i];
        const JkElement& f = lists[k][i];
        t.cleaningMedia = t.cleaningMedia || f.cleaningMedia;
        if (k == 3) t.driveType = f.driveType;
        if (!t.full) continue;
        if (f.full) {
          t.description = f.description;
          t.label = f.label;
          t.changed = f.changed;
        } else {
          t.changed = true;  // arrived since the state was saved
        }
        if (t.fromID < 0 && f.full) {
          t.fromID = f.fromID;
          t.fromIndex = f.fromIndex;
        }
      }
    }
  }
  d.nRobos = static_cast<int>(d.robos.size());
  d.nSlots = static_cast<int>(d.slots.size());
  d.nPorts = static_cast<int>(d.ports.size());
  d.nDrives = static_cast<int>(d.drives.size());
  return true;
}

bool Juke_SPU_MergeStateFile(JkJukeDesc& d) {
  struct stat st {};
  if (::stat(d.stateFile.c_str(), &st) != 0 && errno == ENOENT) {
    std::fprintf(stderr, "Juke_SPU_MergeStateFile: '%s' does not exist\n", d.stateFile.c_str());
    return false;
  }
  FILE* f = std::fopen(d.stateFile.c_str(), "r");
  if (f == nullptr) {
    std::fprintf(stderr, "Juke_SPU_MergeStateFile: fopen(%s) failed: %s\n", d.stateFile.c_str(),
                 std::strerror(errno));
    return false;
  }
  if (::fstat(::fileno(f), &st) != 0) {
    std::fprintf(stderr, "Juke_SPU_MergeStateFile: fstat() failed: %s\n", std::strerror(errno));
    std::fclose(f);
    return false;
  }
  std::string text;
  char buffer[8192];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) text.append(buffer, n);
  std::fclose(f);
  std::string error;
  if (!Juke_SPU_ScanJukeState(text, d, true, error)) {
    std::fprintf(stderr, "Juke_SPU_MergeStateFile: ScanJukeState() failed !\n");
    std::fprintf(stderr, "%s: %s\n", d.stateFile.c_str(), error.c_str());
    return false;
  }
  d.stateStamp = st.st_mtime;
  return true;
}
