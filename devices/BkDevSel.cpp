// Device lists, capabilities, media IDs and readiness (see BkDevSel.hpp).
#include "BkDevSel.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "BRegEx.hpp"
#include "CfConfig.hpp"
#include "DirAcces.hpp"
#include "DynStr.hpp"
#include "DynStrIO.hpp"
#include "Messages.hpp"
#include "Rmt.hpp"
#include "SDevAllo.hpp"
#include "Strings.hpp"
#include "TpTape.hpp"
#include "UCommon.hpp"

namespace {

constexpr char kSection[] = "BkDevSel";
constexpr char kFileBackupAlt[] = "$$$";

bool fileBackupMode = false;

std::string LocalHost() {
  char host[128] = {};
  DirAcces_GetMachineName(host);
  return StrIn(host).str();
}

std::string Str(DS ds) { return ds == dsNil ? std::string() : std::string(DSStr(ds)); }

void SetDs(DS& ds, std::string_view text) {
  DSFree(&ds);
  ds = text.empty() ? dsNil : DSCreateStr(text, 0);
}

// Runs a configured command; its output without the trailing newline goes to out.
bool Run(DS command, std::string* out) {
  DS output = dsNil;
  const int status = DSRunCmd(command, &output, -1);
  if (out != nullptr) {
    *out = Str(output);
    if (!out->empty() && out->back() == '\n') out->pop_back();
  }
  DSFree(&output);
  return status == 0;
}

void RunQuiet(DS command) {
  if (command != dsNil && DSLength(command) > 0) Run(command, nullptr);
}

bool Set(DS ds) { return ds != dsNil && DSLength(ds) > 0; }

void ClearRecordLinks(DevListEntry& e) {
  e.record.next = nullptr;
  e.record.selected = false;
}

DevListEntry* NewEntry(const SDevAllo_Device& record) {
  auto* e = new DevListEntry{};
  e->record = record;
  ClearRecordLinks(*e);
  Strings_Assign(record.description, e->label);
  BkDevSel_FillCaps(*e);
  return e;
}

DevListEntry* NewSeparator() {
  auto* e = new DevListEntry{};
  return e;
}

void TapeDefaults(DevListEntry& e) {
  e.canAppend = true;
  e.softCompress = false;
  e.dirSize = 0;
  const bool c = e.compression;
  BkDevSel_TapeCaps& t = e.tape;
  t.blkDevice = 0;
  e.blkHeader = 20480;
  e.blkData = 30720;
  switch (e.subtype) {
    case BkDevSel_tpExa:
      t.nativeCapacity = c ? 4294967296.0 : 2147483648.0;
      t.maxCapacity = c ? 8589934592.0 : 2147483648.0;
      e.canAppend = c;
      break;
    case BkDevSel_tpMammoth:
    case BkDevSel_tpMammoth2:
      t.nativeCapacity = 21474836480.0;
      t.maxCapacity = c ? 42949672960.0 : 21474836480.0;
      e.canAppend = c;
      break;
    case BkDevSel_tpDat:
      t.nativeCapacity = 4294967296.0;
      t.maxCapacity = c ? 8589934592.0 : 4294967296.0;
      break;
    case BkDevSel_tpDlt:
      t.nativeCapacity = 21474836480.0;
      t.maxCapacity = c ? 42949672960.0 : 21474836480.0;
      break;
    case BkDevSel_tpAmpex:
      t.nativeCapacity = t.maxCapacity = 107374182400.0;
      t.blkDevice = 1048576;
      e.blkHeader = e.blkData = 2097152;
      break;
    case BkDevSel_tpAit:
    case BkDevSel_tpAit2:
      t.nativeCapacity = 26843545600.0;
      t.maxCapacity = 53687091200.0;
      e.blkHeader = e.blkData = 64512;
      break;
    default:
      t.nativeCapacity = t.maxCapacity = 0;
      e.blkHeader = e.blkData = 32768;
      break;
  }
}

void DiskDefaults(DevListEntry& e) {
  e.canAppend = true;
  e.softCompress = false;
  e.blkHeader = e.blkData = 32768;
  switch (e.subtype) {
    case BkDevSel_dskFloppy:
      e.dirSize = 32768;
      e.disk.capacity = 1509949.44;
      break;
    case BkDevSel_dskMod:
      e.dirSize = 1015808;
      e.disk.capacity = 1073741824.0;
      break;
    case BkDevSel_dskShuttle:
      e.dirSize = 1015808;
      e.disk.capacity = 2147483648.0;
      break;
    default:
      e.dirSize = 0;
      e.disk.capacity = 104857600.0;
      break;
  }
}

void FsDefaults(DevListEntry& e) {
  BkDevSel_FsCaps& f = e.fs;
  e.subtype = BkDevSel_fsUnix;
  SetDs(f.root, e.record.devName);
  SetDs(f.rootR, e.record.devName);
  SetDs(f.rootW, e.record.altDevName[0] != '\0' ? e.record.altDevName : e.record.devName);
  f.capacity = 4724464025.6;
  e.canAppend = e.softCompress = true;
  e.blkHeader = e.blkData = 32768;
  e.dirSize = -1;
  f.readOnly = f.writeOnce = f.manualFlush = false;
}

// A string key of the section: absent keys leave value alone.
bool CfgString(CfSection s, const char* key, std::string& value) {
  CfEntry entry = CfGetExactEntry(s, key);
  if (entry == CfEntryNil()) return false;
  DS ds = dsNil;
  CfAssignFromRawValue(entry, &ds);
  value = Str(ds);
  DSFree(&ds);
  return true;
}

void CfgCommand(CfSection s, const char* key, DS& ds) {
  std::string v;
  if (CfgString(s, key, v)) SetDs(ds, v);
}

void ApplyFsSettings(DevListEntry& e, CfSection s) {
  BkDevSel_FsCaps& f = e.fs;
  std::string v;
  if (CfgString(s, "root", v) && !v.empty()) {
    SetDs(f.rootR, v);
    SetDs(f.rootW, v);
  }
  CfgCommand(s, "rootR", f.rootR);
  CfgCommand(s, "rootW", f.rootW);
  f.capacity = CfRealFromCfg(s, "capacity", f.capacity);
  f.readOnly = CfBoolFromCfg(s, "readOnly", f.readOnly);
  f.writeOnce = CfBoolFromCfg(s, "writeOnce", f.writeOnce);
  f.manualFlush = CfBoolFromCfg(s, "manualFlush", f.manualFlush);
  if (CfgString(s, "mountCmd", v) && !v.empty()) {
    SetDs(f.mountCmdR, v);
    SetDs(f.mountCmdW, v);
  }
  CfgCommand(s, "mountCmdR", f.mountCmdR);
  CfgCommand(s, "mountCmdW", f.mountCmdW);
  if (CfgString(s, "umountCmd", v) && !v.empty()) {
    SetDs(f.umountCmdR, v);
    SetDs(f.umountCmdW, v);
  }
  CfgCommand(s, "umountCmdR", f.umountCmdR);
  CfgCommand(s, "umountCmdW", f.umountCmdW);
  CfgCommand(s, "eraseCmd", f.eraseCmd);
  CfgCommand(s, "flushCmd", f.flushCmd);
  CfgCommand(s, "unloadCmd", f.unloadCmd);
  CfgCommand(s, "getCapacityCmd", f.getCapacityCmd);
  CfgCommand(s, "getFreeSpaceCmd", f.getFreeSpaceCmd);
}

void ReadSettings(DevListEntry& e) {
  const Messages_Ignoring quiet;
  CfFile cfg = CfRead("devices.cfg", nullptr);
  if (cfg != CfFileNil()) {
    CfSection s = CfGetExactSection(cfg, e.record.altDevName);
    if (s != CfSectionNil() && e.baseType == BkDevSel_filesys) ApplyFsSettings(e, s);
    CfDestroy(&cfg);
  }
  Messages_ForgetErrorReasons();
}

void Release(DevListEntry& e) {
  if (e.allocated) SDevAllo_ReleaseDevice(e.resourceID);
  if (e.isArchive) SDevAllo_ReleaseDevice(e.storeResourceID);
  e.allocated = false;
}

void FreeEntry(DevListEntry* e, bool release) {
  if (release) Release(*e);
  BkDevSel_FreeCaps(*e);
  delete e;
}

void SeparatorLabels(BkDevSel_DevList list) {
  const unsigned width = std::min(127u, BkDevSel_LongestDescription(list));
  for (DevListEntry* e = list; e != nullptr; e = e->next) {
    if (e->record.devClass == 0) Strings_Assign(std::string(width, '-'), e->label);
  }
}

// Appends the entries of the masked classes, a separator before each class group when
// the list already has entries. take gives the entry for a record, or nullptr.
template <typename Take>
BkDevSel_DevList Build(SDevAllo_DevList records, std::uint32_t classMask, Take&& take) {
  BkDevSel_DevList head = nullptr;
  DevListEntry** tail = &head;
  for (int c = 1; c <= SDevAllo_lastClass; ++c) {
    if ((classMask & (1u << c)) == 0) continue;
    bool first = true;
    for (const SDevAllo_Device* r = records; r != nullptr; r = r->next) {
      if (r->devClass != c) continue;
      DevListEntry* e = take(*r);
      if (e == nullptr) continue;
      if (first && head != nullptr) {
        *tail = NewSeparator();
        tail = &(*tail)->next;
      }
      first = false;
      e->next = nullptr;
      *tail = e;
      tail = &e->next;
    }
  }
  SeparatorLabels(head);
  return head;
}

// Mounting of file-system devices.
bool MountRead(BkDevSel_FsCaps& f, std::string& root) {
  if (Set(f.mountCmdR)) return Run(f.mountCmdR, &root);
  if (Set(f.rootR)) {
    root = Str(f.rootR);
    return true;
  }
  return false;
}

bool SameMount(const BkDevSel_FsCaps& f) {
  return Set(f.mountCmdR) && Set(f.mountCmdW) && Str(f.mountCmdR) == Str(f.mountCmdW);
}

bool MountWrite(BkDevSel_FsCaps& f, std::string& rootW, bool& readOk, std::string& rootR) {
  if (SameMount(f)) {
    readOk = MountRead(f, rootR);
    rootW = rootR;
    return readOk;
  }
  bool ok = false;
  if (Set(f.mountCmdW)) {
    ok = Run(f.mountCmdW, &rootW);
  } else if (Set(f.rootW)) {
    rootW = Str(f.rootW);
    ok = true;
  }
  readOk = ok && MountRead(f, rootR);
  return ok;
}

void UnmountRead(BkDevSel_FsCaps& f) {
  if (SameMount(f)) return;
  RunQuiet(f.umountCmdR);
}

void UnmountAll(BkDevSel_FsCaps& f) {
  UnmountRead(f);
  RunQuiet(f.umountCmdW);
}

bool Exists(const std::string& path) { return DirAcces_Access(path, DirAcces_exists); }

void FsReady(DevListEntry& e, bool forWrite, bool& ready, bool& writable) {
  BkDevSel_FsCaps& f = e.fs;
  std::string rootR, rootW;
  const Messages_Ignoring quiet;
  if (!forWrite) {
    ready = MountRead(f, rootR);
    writable = false;
    SetDs(f.root, rootR);
  } else if (f.readOnly) {
    ready = true;
    writable = false;
  } else {
    bool readOk = false;
    ready = MountWrite(f, rootW, readOk, rootR);
    if (ready && readOk) {
      const std::string headerR = rootR + "/DHEADER";
      if (Exists(headerR) && f.writeOnce) {
        ready = false;
        UnmountAll(f);
      } else if (Exists(headerR) && rootR != rootW) {
        DS cmd = DSCreateStr("rm -f " + rootW + "/DHEADER " + rootW + "/[0-9]*", 0);
        Run(cmd, nullptr);
        DSFree(&cmd);
        if (Exists(rootW + "/DHEADER")) {
          ready = false;
          UnmountAll(f);
        } else {
          DirAcces_CopyFile(headerR, rootW + "/DHEADER");
        }
      }
      if (ready) UnmountRead(f);
    }
    writable = ready;
    SetDs(f.root, rootW);
  }
  if (ready && Set(f.root)) {
    const std::string root = Str(f.root);
    if (!Exists(root)) {
      DirAcces_RecursiveMkDir(root, 0777);
      DirAcces_ChMod(root, 0777);
    }
    DirAcces_DirEntry st{};
    DirAcces_FileStatN(root, st);
    ready = DirAcces_dirError == 0 && DirAcces_IsDirectory(st);
    if (!ready) writable = false;
  }
  Messages_ForgetErrorReasons();
}

void TpOrDskReady(DevListEntry& e, bool& ready, bool& writable) {
  const std::string path = e.isLocal ? std::string(e.record.devName)
                                     : std::string(e.record.host) + ":" + e.record.devName;
  ready = writable = false;
  if (e.baseType == BkDevSel_tape && rmtTpInitTape(path.c_str(), e.isLocal) != 0) return;
  int fd = rmtopen(path.c_str(), e.isLocal, 0);
  if (fd < 0) return;
  ready = true;
  rmtclose(fd);
  fd = rmtopen(path.c_str(), e.isLocal, 2);
  if (fd >= 0) {
    writable = true;
    rmtclose(fd);
  }
}

}  // namespace

void BkDevSel_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "BkDevSel");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  Messages_Init();
  DirAcces_Init();
  DynStr_Init();
  DynStrIO_Init();
  BRegEx_Init();
  CfConfig_Init();
  TpTape_Init();
  Rmt_Init();
  SDevAllo_Init();
}

// ---- Classes and their texts ----

std::uint8_t BkDevSel_GetBaseDevType(std::uint8_t devClass) {
  switch (devClass) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
      return BkDevSel_disk;
    case 7:
    case 8:
    case 9:
      return BkDevSel_tape;
    case 10:
      return BkDevSel_proof;
    case 11:
      return BkDevSel_plot;
    case 12:
      return BkDevSel_filesys;
    case 13:
      return BkDevSel_text;
    default:
      return BkDevSel_unknownType;
  }
}

const char* BkDevSel_BaseDevTypeToString(std::uint8_t baseType) {
  static constexpr const char* kTexts[] = {"unknown", "tape", "disk", "filesys",
                                           "proof",   "plot", "text"};
  return baseType <= 6 ? kTexts[baseType] : "really_unknown";
}

std::uint8_t BkDevSel_TpGetSubType(std::uint8_t devClass, StrIn description) {
  if (devClass < 7 || devClass > 9) return BkDevSel_tpUnknown;
  std::string text = description.str();
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  // The order matters: "exa" before the Mammoth drives, "mammoth2" before "mammoth".
  static constexpr std::pair<const char*, std::uint8_t> kPatterns[] = {
      {"exa", BkDevSel_tpExa},         {"mammoth2", BkDevSel_tpMammoth2},
      {"mammoth", BkDevSel_tpMammoth}, {"dat", BkDevSel_tpDat},
      {"dlt", BkDevSel_tpDlt},         {"dst|ampex", BkDevSel_tpAmpex},
      {"ait2", BkDevSel_tpAit2},       {"ait", BkDevSel_tpAit}};
  for (const auto& [pattern, subtype] : kPatterns) {
    if (RegMatchPat(pattern, text.c_str())) return subtype;
  }
  return BkDevSel_tpUnknown;
}

const char* BkDevSel_TpSubTypeToString(std::uint8_t subtype) {
  static constexpr const char* kTexts[] = {"unknown", "exa",   "mammoth", "mammoth2", "dat",
                                           "dlt",     "ampex", "ait",     "ait2",     "generic"};
  return subtype <= 9 ? kTexts[subtype] : "really_unknown";
}

std::uint8_t BkDevSel_DskGetSubType(std::uint8_t devClass) {
  switch (devClass) {
    case 1:
    case 2:
      return BkDevSel_dskFloppy;
    case 3:
    case 4:
      return BkDevSel_dskShuttle;
    case 5:
    case 6:
      return BkDevSel_dskMod;
    default:
      return 0;
  }
}

const char* BkDevSel_DskSubTypeToString(std::uint8_t subtype) {
  static constexpr const char* kTexts[] = {"unknown", "floppy", "mod", "shuttle", "generic"};
  return subtype <= 4 ? kTexts[subtype] : "really_unknown";
}

const char* BkDevSel_FsSubTypeToString(std::uint8_t subtype) {
  static constexpr const char* kTexts[] = {"unknown", "unix", "iso", "pcfs", "macfs"};
  return subtype <= 4 ? kTexts[subtype] : "really_unknown";
}

bool BkDevSel_TpGetCompression(std::uint8_t devClass, std::uint8_t subtype) {
  return devClass == SDevAllo_exa8500 && subtype != BkDevSel_tpAmpex;
}

// ---- Catalogue ----

void BkDevSel_SetFileBackupMode(bool on) { fileBackupMode = on; }

SDevAllo_DevList BkDevSel_GetListOfAllDevices() {
  SDevAllo_DevList list = SDevAllo_GetListOfAllDevices();
  if (!fileBackupMode) return list;
  SDevAllo_Device** link = &list;
  while (*link != nullptr && !((*link)->devClass == SDevAllo_mod270 &&
                               std::strcmp((*link)->altDevName, kFileBackupAlt) == 0)) {
    link = &(*link)->next;
  }
  if (*link == nullptr) {
    auto* d = new SDevAllo_Device{};
    d->devClass = SDevAllo_mod270;
    Messages_GetMsg(kSection, 3, d->description);
    Strings_Assign(LocalHost(), d->host);
    DirAcces_IncludeSpecialPath(DirAcces_projectsPath, "file_backups", d->devName);
    Strings_Assign(kFileBackupAlt, d->altDevName);
    d->next = list;
    list = d;
    link = &list;
  }
  SDevAllo_Device* fb = *link;
  DirAcces_DirEntry st{};
  Messages_Ignoring quiet;
  if (Exists(fb->devName)) {
    DirAcces_FileStatN(fb->devName, st);
    if (!DirAcces_IsDirectory(st)) {
      *link = fb->next;
      delete fb;
    }
  } else {
    DirAcces_RecursiveMkDir(fb->devName, 0777);
    DirAcces_ChMod(fb->devName, 0777);
  }
  Messages_ForgetErrorReasons();
  quiet.Close();
  return list;
}

// ---- Lists ----

void BkDevSel_SetupDevList(BkDevSel_DevList& list, std::uint32_t classMask) {
  BkDevSel_DevList old = list;
  SDevAllo_DevList records = BkDevSel_GetListOfAllDevices();
  list = Build(records, classMask, [old](const SDevAllo_Device& r) -> DevListEntry* {
    if (!r.inUse) return NewEntry(r);
    // A device in use comes back only as the entry this process chose and holds.
    for (DevListEntry* o = old; o != nullptr; o = o->next) {
      if (o->selected && o->record.devClass == r.devClass &&
          std::strcmp(o->label, r.description) == 0 &&
          std::strcmp(o->record.devName, r.devName) == 0) {
        DevListEntry* carried = BkDevSel_CopyDevListEntry(*o);
        o->selected = o->allocated = false;
        return carried;
      }
    }
    return nullptr;
  });
  SDevAllo_Destroy(records);
  BkDevSel_DestroyDevList(old, true);
}

void BkDevSel_SetupFullDevList(BkDevSel_DevList& list, std::uint32_t classMask) {
  BkDevSel_DestroyDevList(list, false);
  SDevAllo_DevList records = BkDevSel_GetListOfAllDevices();
  list = Build(records, classMask, [](const SDevAllo_Device& r) { return NewEntry(r); });
  SDevAllo_Destroy(records);
}

void BkDevSel_SetupDevListByDevName(BkDevSel_DevList& list, StrIn name) {
  BkDevSel_DestroyDevList(list, false);
  SDevAllo_DevList records = BkDevSel_GetListOfAllDevices();
  DevListEntry** tail = &list;
  for (const SDevAllo_Device* r = records; r != nullptr; r = r->next) {
    if (name.view() == r->devName || name.view() == r->altDevName) {
      *tail = NewEntry(*r);
      tail = &(*tail)->next;
    }
  }
  SDevAllo_Destroy(records);
}

DevListEntry* BkDevSel_CopyDevListEntry(const DevListEntry& entry) {
  auto* e = new DevListEntry(entry);
  e->next = nullptr;
  BkDevSel_FsCaps& f = e->fs;
  for (DS* ds :
       {&f.root, &f.rootR, &f.rootW, &f.mountCmdR, &f.mountCmdW, &f.umountCmdR, &f.umountCmdW,
        &f.eraseCmd, &f.flushCmd, &f.unloadCmd, &f.getCapacityCmd, &f.getFreeSpaceCmd}) {
    if (*ds != dsNil) *ds = DSCreateStr(DSStr(*ds), 0);
  }
  return e;
}

void BkDevSel_DestroyDevListEntry(BkDevSel_DevList& list, DevListEntry* entry, bool release) {
  if (entry == nullptr) return;
  for (DevListEntry** link = &list; *link != nullptr; link = &(*link)->next) {
    if (*link == entry) {
      *link = entry->next;
      break;
    }
  }
  FreeEntry(entry, release);
}

void BkDevSel_DestroyDevList(BkDevSel_DevList& list, bool release) {
  while (list != nullptr) {
    DevListEntry* next = list->next;
    FreeEntry(list, release);
    list = next;
  }
}

DevListEntry* BkDevSel_FirstDev(BkDevSel_DevList list) {
  while (list != nullptr && list->record.devClass == 0) list = list->next;
  return list;
}

DevListEntry* BkDevSel_NextDev(DevListEntry* entry) {
  return entry == nullptr ? nullptr : BkDevSel_FirstDev(entry->next);
}

DevListEntry* BkDevSel_FirstSelectedDev(BkDevSel_DevList list) {
  while (list != nullptr && !list->selected) list = list->next;
  return list;
}

DevListEntry* BkDevSel_NextSelectedDev(DevListEntry* entry) {
  return entry == nullptr ? nullptr : BkDevSel_FirstSelectedDev(entry->next);
}

unsigned BkDevSel_CountSelectedDevs(BkDevSel_DevList list) {
  unsigned n = 0;
  for (DevListEntry* e = BkDevSel_FirstSelectedDev(list); e != nullptr;
       e = BkDevSel_NextSelectedDev(e))
    ++n;
  return n;
}

unsigned BkDevSel_LongestDescription(BkDevSel_DevList list) {
  std::size_t n = 0;
  for (DevListEntry* e = BkDevSel_FirstDev(list); e != nullptr; e = BkDevSel_NextDev(e)) {
    n = std::max(n, StrIn(e->label).length());
  }
  return static_cast<unsigned>(n);
}

void BkDevSel_DevsToString(BkDevSel_DevList list, StrOut text) {
  std::string joined;
  for (DevListEntry* e = BkDevSel_FirstSelectedDev(list); e != nullptr;
       e = BkDevSel_NextSelectedDev(e)) {
    if (!joined.empty()) joined += ", ";
    joined += StrIn(e->label).view();
  }
  Strings_Assign(joined, text);
}

// ---- Reservations ----

bool BkDevSel_AllocateThisDevice(DevListEntry& entry, bool forWrite) {
  entry.allocated = SDevAllo_AllocateThisDevice(entry.record, forWrite, entry.resourceID);
  return entry.allocated;
}

DevListEntry* BkDevSel_AllocateOneDevice(BkDevSel_DevList list, bool forWrite) {
  for (DevListEntry* e = BkDevSel_FirstDev(list); e != nullptr; e = BkDevSel_NextDev(e)) {
    if (BkDevSel_AllocateThisDevice(*e, forWrite)) {
      e->selected = true;
      return e;
    }
  }
  return nullptr;
}

void BkDevSel_ReleaseDevice(DevListEntry& entry) {
  entry.allocated = false;
  entry.record.inUse = false;
  SDevAllo_ReleaseDevice(entry.resourceID);
}

bool BkDevSel_DeviceInUse(const DevListEntry& entry) {
  return entry.allocated || entry.record.inUse;
}

// ---- Capacities and media IDs ----

void BkDevSel_DevDescToCapacity(const DevListEntry& entry, double& min, double& max) {
  switch (entry.baseType) {
    case BkDevSel_tape:
      min = entry.tape.nativeCapacity;
      max = entry.tape.maxCapacity;
      break;
    case BkDevSel_disk:
      min = max = entry.disk.capacity;
      break;
    case BkDevSel_filesys:
      min = max = entry.fs.capacity;
      break;
    default:
      min = max = 0;
      break;
  }
}

void BkDevSel_DeviceCapacity(const DevListEntry* entry, double& min, double& max) {
  if (entry == nullptr) {
    min = max = 0;
    return;
  }
  BkDevSel_DevDescToCapacity(*entry, min, max);
}

void BkDevSel_SetNativeCapacity(DevListEntry& entry, double value) {
  switch (entry.baseType) {
    case BkDevSel_tape:
      entry.tape.nativeCapacity = value;
      entry.tape.maxCapacity = entry.compression ? 2 * value : value;
      break;
    case BkDevSel_disk:
      entry.disk.capacity = value;
      break;
    case BkDevSel_filesys:
      entry.fs.capacity = value;
      break;
    default:
      break;
  }
}

int BkDevSel_DevClassToMediaID(std::uint8_t devClass, std::uint8_t subtype) {
  switch (devClass) {
    case 1:
      return 3;
    case 2:
      return 2;
    case 5:
      return 5;
    case 6:
      return 6;
    case 7:
      return 1;
    case 8:
      return 0;
    case 9:
      switch (subtype) {
        case BkDevSel_tpDat:
          return 7;
        case BkDevSel_tpDlt:
          return 8;
        case BkDevSel_tpAmpex:
          return 9;
        case BkDevSel_tpAit:
          return 10;
        case BkDevSel_tpAit2:
          return 11;
        case BkDevSel_tpGeneric:
          return 14;
        default:
          return 4;
      }
    case 12:
      return 15;
    default:
      return BkDevSel_mediaIDNone;
  }
}

std::uint8_t BkDevSel_MediaIDToDevClass(int id) {
  switch (id) {
    case 0:
      return 8;
    case 1:
      return 7;
    case 2:
      return 2;
    case 3:
      return 1;
    case 4:
    case 7:
    case 8:
    case 9:
    case 10:
    case 11:
    case 14:
      return 9;
    case 5:
      return 5;
    case 6:
      return 6;
    case 15:
      return 12;
    default:
      return 0;
  }
}

void BkDevSel_MediaIDToString(int id, StrOut text) {
  if (id > 10 || 10 + id < 0) {
    Strings_Assign("?????", text);
    return;
  }
  Messages_GetMsg(kSection, static_cast<std::uint32_t>(10 + id), text);
}

void BkDevSel_MediaIDToCapacity(int id, double& min, double& max) {
  DevListEntry e{};
  BkDevSel_MediaIDToString(id, e.label);
  Strings_Assign(e.label, e.record.description);
  e.record.devClass = BkDevSel_MediaIDToDevClass(id);
  BkDevSel_FillCaps(e);
  BkDevSel_DevDescToCapacity(e, min, max);
  BkDevSel_FreeCaps(e);
}

void BkDevSel_FillCaps(DevListEntry& e) {
  const std::uint8_t c = e.record.devClass;
  e.baseType = BkDevSel_GetBaseDevType(c);
  e.isLocal = LocalHost() == e.record.host;
  switch (e.baseType) {
    case BkDevSel_tape:
      e.subtype = BkDevSel_TpGetSubType(c, e.record.description);
      e.compression = BkDevSel_TpGetCompression(c, e.subtype);
      TapeDefaults(e);
      break;
    case BkDevSel_disk:
      e.subtype = BkDevSel_DskGetSubType(c);
      DiskDefaults(e);
      break;
    case BkDevSel_filesys:
      FsDefaults(e);
      break;
    default:
      return;
  }
  ReadSettings(e);
}

void BkDevSel_FreeCaps(DevListEntry& e) {
  BkDevSel_FsCaps& f = e.fs;
  for (DS* ds :
       {&f.root, &f.rootR, &f.rootW, &f.mountCmdR, &f.mountCmdW, &f.umountCmdR, &f.umountCmdW,
        &f.eraseCmd, &f.flushCmd, &f.unloadCmd, &f.getCapacityCmd, &f.getFreeSpaceCmd}) {
    DSFree(ds);
  }
}

// ---- Readiness ----

void BkDevSel_CheckDevReady(DevListEntry& entry, bool forWrite, bool& ready, bool& writable) {
  entry.forWrite = forWrite;
  switch (entry.baseType) {
    case BkDevSel_tape:
    case BkDevSel_disk:
      TpOrDskReady(entry, ready, writable);
      break;
    case BkDevSel_filesys:
      FsReady(entry, forWrite, ready, writable);
      break;
    default:
      ready = writable = false;
      break;
  }
}

void BkDevSel_Unmount(DevListEntry& entry) {
  if (entry.baseType == BkDevSel_filesys) UnmountAll(entry.fs);
}
