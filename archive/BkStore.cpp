#include "BkStore.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <regex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "BFileIO.hpp"
#include "BkArchivNames.hpp"
#include "BkArchivRead.hpp"
#include "BkArchivText.hpp"
#include "BkMisc.hpp"
#include "DynStr.hpp"
#include "Messages.hpp"
#include "SRM.hpp"
#include "StrHash.hpp"
#include "UCommon.hpp"

std::uint8_t BkStore_bksError = 0;
MediaInfo BkStore_emptyMediaInfo{};
JobInfo BkStore_emptyJobInfo{};

namespace {

constexpr char kSection[] = "BkStore";
constexpr char kKnownMedia[] = ".knownmedia";

// The whole list of known media, nil until first needed.
MediaInfo* allKnownMedia = nullptr;
bool loaded = false;

void Report(std::uint8_t n) {
  BkStore_bksError = n;
  char text[1024];
  Messages_GetMsg(kSection, n, text);
  Messages_SupplyAdditionalInfo(text);
  Messages_Error(kSection, n);
}

template <std::size_t N>
void Set(char (&field)[N], std::string_view value) {
  const std::size_t n = value.size() < N - 1 ? value.size() : N - 1;
  std::memcpy(field, value.data(), n);
  field[n] = '\0';
}

std::string StoreFile(std::string_view name) {
  return std::string(BkArchiv_stdArchivDir) + "/" + std::string(name);
}

// ---------------------------------------------------------------- handlers

using Setup = void (*)(Header* hdr, Archive* archive, MediaInfo* mi, long arg);

struct DirHandler {
  DirHandler* next;
  int number;
  const char* name;
  const char* pattern;
  Setup setup;
  long arg;
};

DirHandler* handlers = nullptr;  // the most recently announced first

void Announce(const char* name, const char* pattern, Setup setup) {
  static int count = 0;
  handlers = new DirHandler{handlers, ++count, name, pattern, setup, 0};
}

void ClearJobs(MediaInfo* mi) {
  while (mi->jobs != nullptr) {
    JobInfo* j = mi->jobs;
    mi->jobs = j->next;
    delete j;
  }
}

void AddJob(MediaInfo* mi, const std::string& text) {
  JobInfo* j = new JobInfo{};
  Set(j->text, text);
  JobInfo** end = &mi->jobs;
  while (*end != nullptr) end = &(*end)->next;
  *end = j;
}

std::string Printf(const char* format, const char* a, const char* b, const char* c = nullptr) {
  char text[1024];
  if (c == nullptr) {
    std::snprintf(text, sizeof text, format, a, b);
  } else {
    std::snprintf(text, sizeof text, format, a, b, c);
  }
  return text;
}

std::string ArchiveDate(const Archive* a) {
  char text[64];
  std::snprintf(text, sizeof text, "%02u.%02u.%02u", a->created.date.day, a->created.date.month,
                a->created.date.year);
  return text;
}

// The comment keys of an archive, released with the object.
class Keys {
 public:
  explicit Keys(const Archive* a) { table_ = BkArchiv_DecodeComment(a->archiveComment, desc_); }
  ~Keys() { BkArchiv_DestroyCommentHash(table_); }
  Keys(const Keys&) = delete;
  Keys& operator=(const Keys&) = delete;
  const char* Get(const std::string& key) const {
    return StrHash_GetPointer<char>(table_, StrIn(key));
  }
  const char* Description() const { return desc_; }

 private:
  StrHash table_;
  char desc_[4096] = "";
};

std::string FirstPath(const Archive* a) {
  return a->files != nullptr ? std::string(DSStr(a->files->path)) : std::string();
}

void SetupBackup(Header* hdr, Archive*, MediaInfo* mi, long) {
  ClearJobs(mi);
  for (Archive* a = hdr->archives; a != nullptr; a = a->next) {
    const Keys keys(a);
    const std::string date = ArchiveDate(a);
    const char* about = keys.Description()[0] != '\0' ? keys.Description() : a->archiveType;
    AddJob(mi, Printf("%8s %s", date.c_str(), about));
    for (int k = 0;; ++k) {
      const char* v = keys.Get("c" + std::to_string(k));
      if (v == nullptr) break;
      AddJob(mi, Printf("%8s %s", date.c_str(), v));
    }
  }
}

void SetupFolvane(Header*, Archive* a, MediaInfo* mi, long) {
  std::string first = FirstPath(a);
  first = first.substr(0, first.find('/'));
  AddJob(mi, Printf("%8s %s", ArchiveDate(a).c_str(), first.c_str()));
}

void SetupOffset(Header* hdr, Archive*, MediaInfo* mi, long) {
  ClearJobs(mi);
  for (Archive* a = hdr->archives; a != nullptr; a = a->next) {
    const Keys keys(a);
    const char* about = keys.Get("DESCRIPTION");
    if (keys.Get("HOST") == nullptr || about == nullptr) continue;
    std::string first = FirstPath(a);
    if (first.size() >= 4 && first.compare(first.size() - 4, 4, ".aif") == 0) {
      first.resize(first.size() - 4);
    }
    AddJob(mi, Printf("%11s %8s %s", first.c_str(), ArchiveDate(a).c_str(), about));
  }
}

void SetupTarvik(Header*, Archive* a, MediaInfo* mi, long) {
  const Keys keys(a);
  const char* type = keys.Get("TYPE");
  if (type == nullptr || std::strcmp(type, "ORDER+FORMS") != 0) return;
  const char* order = keys.Get("ORDERNAME");
  const char* about = keys.Get("DESCRIPTION");
  AddJob(mi,
         Printf("%8s %s -> %s", ArchiveDate(a).c_str(), order ? order : "", about ? about : ""));
}

void SetupByType(Header* hdr, MediaInfo* mi, const char* wanted) {
  ClearJobs(mi);
  for (Archive* a = hdr->archives; a != nullptr; a = a->next) {
    const Keys keys(a);
    const char* type = keys.Get("TYPE");
    if (type == nullptr || std::strcmp(type, wanted) != 0) continue;
    std::string base = a->baseDir;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    AddJob(mi, Printf("%8s %s", ArchiveDate(a).c_str(), base.substr(base.rfind('/') + 1).c_str()));
  }
}

void SetupRavelo(Header* hdr, Archive*, MediaInfo* mi, long) { SetupByType(hdr, mi, "ORDER"); }
void SetupKestrin(Header* hdr, Archive*, MediaInfo* mi, long) { SetupByType(hdr, mi, "JOB"); }

// ---------------------------------------------------------------- entries

void FormatDisplay(MediaInfo* mi) {
  char text[512];
  std::snprintf(text, sizeof text, "%-30s %9.2f %9.2f", mi->description,
                mi->minCapacity / 1048576.0, mi->used / 1048576.0);
  Set(mi->displayText, text);
}

void DestroyEntry(MediaInfo* mi) {
  ClearJobs(mi);
  if (mi->device != nullptr) {
    BkDevSel_DevList alone = mi->device;
    BkDevSel_DestroyDevListEntry(alone, mi->device, false);
  }
  delete mi;
}

MediaInfo* FindKnown(const char* label) {
  for (MediaInfo* m = allKnownMedia; m != nullptr; m = m->next) {
    if (std::strcmp(m->label, label) == 0) return m;
  }
  return nullptr;
}

void InsertSorted(MediaInfoList& list, MediaInfo* mi) {
  MediaInfo** at = &list;
  while (*at != nullptr && std::strcmp((*at)->description, mi->description) <= 0) {
    at = &(*at)->next;
  }
  mi->next = *at;
  *at = mi;
}

// ---------------------------------------------------------------- the cache file

void Line(std::string& out, std::string_view s) {
  out.append(s);
  out.push_back('\n');
}

std::string Real(const char* format, double v) {
  char text[400];
  std::snprintf(text, sizeof text, format, v);
  return text;
}

bool ParseReal(const std::string& s, double& v) {
  const char* p = s.c_str();
  char* end = nullptr;
  errno = 0;
  v = std::strtod(p, &end);
  if (end == p || errno != 0) return false;
  while (*end == ' ') ++end;
  return *end == '\0';
}

void WarnStderr(int line, const char* what) {
  std::fprintf(stderr, "BkStore: %s line %d: %s\n", kKnownMedia, line, what);
}

// Holds the lock of the cache while it lives: from the scan of the archive directory to
// the rename of the new cache, so that the last writer has seen every header copy that
// was complete before it began. A record lock on a file of its own (the cache itself is
// replaced by every write); without it (directory not writable) nothing is held, and
// nothing can be written either.
class CacheLock {
 public:
  CacheLock() {
    const std::string path = StoreFile(".knownmedia.lock");
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) return;
    ::fchmod(fd_, 0666);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    while (::fcntl(fd_, F_SETLKW, &lock) != 0 && errno == EINTR) {
    }
  }
  ~CacheLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  CacheLock(const CacheLock&) = delete;
  CacheLock& operator=(const CacheLock&) = delete;

 private:
  int fd_ = -1;
};

bool FileStamp(const std::string& path, double stamp[2]) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  stamp[0] = static_cast<double>(st.st_mtim.tv_sec);
  stamp[1] = static_cast<double>(st.st_mtim.tv_nsec);
  return true;
}

bool Later(const double a[2], const double b[2]) {
  return a[0] > b[0] || (a[0] == b[0] && a[1] > b[1]);
}

// The refresh of the known media from the archive directory.
void MyGetMediaInfo() {
  const CacheLock lock;
  const std::string cache = StoreFile(kKnownMedia);
  if (!loaded) {
    BkStore_LoadMediaInfo(allKnownMedia, cache);
    loaded = true;
  }
  for (MediaInfo* m = allKnownMedia; m != nullptr; m = m->next) m->visited = false;
  if (DIR* dir = ::opendir(BkArchiv_stdArchivDir)) {
    while (const dirent* e = ::readdir(dir)) {
      const std::string fileName = e->d_name;
      if (!BkArchiv_LegalArchiveName(fileName)) continue;
      double stamp[2];
      if (!FileStamp(StoreFile(fileName), stamp)) continue;
      MediaInfo* old = BkStore_SelectByName(allKnownMedia, fileName);
      if (old != nullptr) {
        old->visited = true;
        if (!Later(stamp, old->stamp)) continue;
      }
      MediaInfo* mi = BkStore_NewMediaInfoFromFile(fileName);
      if (mi == nullptr) {
        // A copy that cannot be read is reported and left out; the others go on.
        std::fprintf(stderr, "BkStore: header copy %s cannot be read\n", fileName.c_str());
        continue;
      }
      if (old != nullptr) {
        std::memcpy(old->displayText, mi->displayText, sizeof old->displayText);
        old->minCapacity = mi->minCapacity;
        old->maxCapacity = mi->maxCapacity;
        old->used = mi->used;
        Set(old->created, mi->created);
        Set(old->modified, mi->modified);
        Set(old->mediaType, mi->mediaType);
        Set(old->name, mi->name);
        Set(old->description, mi->description);
        Set(old->label, mi->label);
        Set(old->path, mi->path);
        ClearJobs(old);
        old->jobs = mi->jobs;
        mi->jobs = nullptr;
        DestroyEntry(mi);
        mi = old;
      } else {
        InsertSorted(allKnownMedia, mi);
      }
      mi->visited = true;
      mi->stamp[0] = stamp[0];
      mi->stamp[1] = stamp[1];
    }
    ::closedir(dir);
  }
  for (MediaInfo** at = &allKnownMedia; *at != nullptr;) {
    MediaInfo* m = *at;
    if (m->visited) {
      at = &m->next;
      continue;
    }
    *at = m->next;
    if (m->reserved) SRM_Release(m->reservationName);
    m->device = nullptr;  // the known entry only names the device of a caller's entry
    DestroyEntry(m);
  }
  BkStore_SaveMediaInfo(allKnownMedia, cache);
  for (MediaInfo* m = allKnownMedia; m != nullptr; m = m->next) m->known = true;
}

void EnsureLoaded() {
  if (!loaded) MyGetMediaInfo();
}

}  // namespace

void BkStore_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "BkStore");
  if (!init) return;
  UCommon_Init();
  BFileIO_Init();
  BkArchivNames_Init();
  BkArchivRead_Init();
  BkArchivText_Init();
  BkMisc_Init();
  DynStr_Init();
  Messages_Init();
  SRM_Init();
  StrHash_Init();
  Strings_Init();
  BkArchiv_Init();
  BkDevSel_Init();
  BkStore_emptyMediaInfo.minCapacity = BkStore_emptyMediaInfo.maxCapacity = -1;
  Announce("Backup", "OldBackup.*|Backup|EMPTY_MEDIA", SetupBackup);
  Announce("Folvane", "OldFolvane|Folvane|EMPTY_MEDIA", SetupFolvane);
  Announce("Offset-Folvane", "Offset-Folvane|EMPTY_MEDIA", SetupOffset);
  Announce("Tarvik", "Tarvik|EMPTY_MEDIA", SetupTarvik);
  Announce("RaveloManager", "Ravelo|EMPTY_MEDIA", SetupRavelo);
  Announce("Kestrin", "Kestrin|EMPTY_MEDIA", SetupKestrin);
}

const char* BkStore_BkDirs_CalledFromToArchiveTypePattern(std::uint8_t calledFrom) {
  static constexpr const char* kPatterns[] = {"",
                                              ".",
                                              ".*Backup.*|EMPTY_MEDIA",
                                              "Folvane|OldFolvane|Tarvik|EMPTY_MEDIA",
                                              "Offset-Folvane|EMPTY_MEDIA",
                                              "Tarvik|Folvane|EMPTY_MEDIA",
                                              "Ravelo|EMPTY_MEDIA",
                                              "Kestrin|EMPTY_MEDIA"};
  return calledFrom < 8 ? kPatterns[calledFrom] : "";
}

// ---------------------------------------------------------------- the media list

void BkStore_GetMediaInfo(std::uint8_t calledFrom, MediaInfoList& list) {
  BkStore_DestroyMediaInfo(list, false);
  MyGetMediaInfo();
  const std::string pattern = BkStore_BkDirs_CalledFromToArchiveTypePattern(calledFrom);
  if (calledFrom == 1) {
    BkStore_CopyMediaInfo(allKnownMedia, list);
    return;
  }
  if (pattern.empty()) return;
  MediaInfo* last = nullptr;
  for (MediaInfo* m = allKnownMedia; m != nullptr; m = m->next) {
    if (BkMisc_Match(pattern, m->mediaType)) {
      BkStore_AppendMediaInfo(list, last, BkStore_CopyMediaInfoEntry(m));
    }
  }
}

bool BkStore_AssertKnownMedia(const MediaInfo* mi, MediaInfo*& known) {
  BkStore_bksError = 0;
  EnsureLoaded();
  known = mi != nullptr ? FindKnown(mi->label) : nullptr;
  if (known == nullptr) Report(2);
  return known != nullptr;
}

MediaInfo* BkStore_SelectByLabel(MediaInfoList list, StrIn label) {
  for (MediaInfo* m = list; m != nullptr; m = m->next) {
    if (Strings_Equal(m->label, label)) return m;
  }
  return nullptr;
}

MediaInfo* BkStore_SelectByName(MediaInfoList list, StrIn name) {
  for (MediaInfo* m = list; m != nullptr; m = m->next) {
    if (Strings_Equal(m->name, name)) return m;
  }
  return nullptr;
}

MediaInfo* BkStore_FirstSelectedMedia(MediaInfoList list) {
  for (MediaInfo* m = list; m != nullptr; m = m->next) {
    if (m->selected) return m;
  }
  return nullptr;
}

MediaInfo* BkStore_NextSelectedMedia(MediaInfo* mi) {
  return mi != nullptr ? BkStore_FirstSelectedMedia(mi->next) : nullptr;
}

unsigned BkStore_CountSelectedMedias(MediaInfoList list) {
  unsigned n = 0;
  for (MediaInfo* m = list; m != nullptr; m = m->next) n += m->selected ? 1 : 0;
  return n;
}

MediaInfo* BkStore_CopyMediaInfoEntry(const MediaInfo* mi) {
  MediaInfo* copy = new MediaInfo(*mi);
  copy->next = nullptr;
  copy->jobs = nullptr;
  for (const JobInfo* j = mi->jobs; j != nullptr; j = j->next) AddJob(copy, j->text);
  copy->device = mi->device != nullptr ? BkDevSel_CopyDevListEntry(*mi->device) : nullptr;
  return copy;
}

void BkStore_CopyMediaInfo(MediaInfoList from, MediaInfoList& to) {
  MediaInfo* last = nullptr;
  for (MediaInfo* m = from; m != nullptr; m = m->next) {
    BkStore_AppendMediaInfo(to, last, BkStore_CopyMediaInfoEntry(m));
  }
}

void BkStore_AppendMediaInfo(MediaInfoList& list, MediaInfo*& last, MediaInfo* entry) {
  if (last == nullptr) {
    last = list;
    while (last != nullptr && last->next != nullptr) last = last->next;
  }
  entry->next = nullptr;
  (last == nullptr ? list : last->next) = entry;
  last = entry;
}

void BkStore_DestroyMediaInfo(MediaInfoList& list, bool release) {
  while (list != nullptr) {
    MediaInfo* m = list;
    list = m->next;
    if (release) {
      if (m->reserved) SRM_Release(m->reservationName);
      if (MediaInfo* k = m != FindKnown(m->label) ? FindKnown(m->label) : nullptr) {
        k->reserved = false;
        k->device = nullptr;
      }
    }
    DestroyEntry(m);
  }
}

MediaInfo* BkStore_NewMediaInfo() {
  MediaInfo* mi = new MediaInfo{};
  mi->mediaId = BkArchiv_mediaIDNone;
  return mi;
}

MediaInfo* BkStore_NewMediaInfoFromHeader(Header* hdr) {
  MediaInfo* mi = BkStore_NewMediaInfo();
  if (hdr->maxCapacity != 0) {
    mi->minCapacity = hdr->minCapacity;
    mi->maxCapacity = hdr->maxCapacity;
  } else {
    BkDevSel_MediaIDToCapacity(mi->mediaId, mi->minCapacity, mi->maxCapacity);
  }
  BkArchiv_HdrSelectAllFiles(hdr, true);
  mi->used = BkArchiv_HdrSizeOfSelectedFiles(hdr);
  char text[128];
  BkArchiv_DateTimeText(hdr->created.date, hdr->created.time, text);
  Set(mi->created, text);
  BkArchiv_DateTimeText(hdr->modified.date, hdr->modified.time, text);
  Set(mi->modified, text);
  Set(mi->mediaType, hdr->mediaType);
  Set(mi->name, hdr->label);
  char description[4096];
  BkArchiv_GetMediaDescription(hdr, description);
  Set(mi->description, description[0] != '\0' ? description : mi->name);
  BkArchiv_MkLabelFromHdr(hdr, mi->label);
  for (Archive* a = hdr->archives; a != nullptr; a = a->next) {
    for (DirHandler* h = handlers; h != nullptr; h = h->next) {
      if (BkMisc_Match(StrIn::FromC(h->pattern), a->archiveType)) {
        h->setup(hdr, a, mi, h->arg);
        break;
      }
    }
  }
  FormatDisplay(mi);
  return mi;
}

MediaInfo* BkStore_NewMediaInfoFromFile(StrIn fileName) {
  const std::string path = StoreFile(fileName.view());
  Header* hdr = nullptr;
  {
    const Messages_Ignoring quiet;
    BFileIO_File f = BFileIO_Open(path, FileIO_readOnly);
    if (f != BFileIO_Nil) {
      bool isEmpty = false;
      BkArchiv_ParseArchiveHeader(f, hdr, isEmpty);
      BFileIO_Close(f);
    }
  }
  Messages_ForgetErrorReasons();
  if (hdr == nullptr) return nullptr;
  MediaInfo* mi = BkStore_NewMediaInfoFromHeader(hdr);
  BkArchiv_DestroyHeaderAndArchives(hdr);
  int d, m, y, c, s, dup, vi, vc;
  BkArchiv_DecodeName(fileName, d, m, y, c, s, mi->mediaId, dup, vi, vc);
  Set(mi->name, fileName.view());
  Set(mi->path, path);
  return mi;
}

bool BkStore_InsertMediaInfo(MediaInfoList& list, StrIn fileName) {
  MediaInfo* mi = BkStore_NewMediaInfoFromFile(fileName);
  if (mi != nullptr) InsertSorted(list, mi);
  return mi != nullptr;
}

bool BkStore_SaveMediaInfo(MediaInfoList list, StrIn path) {
  std::string out;
  Line(out, "MEDIAINFOFILE");
  for (MediaInfo* m = list; m != nullptr; m = m->next) {
    Line(out, "MEDIAINFO");
    Line(out, m->displayText);
    Line(out, Real("%.1f", m->stamp[0]));
    Line(out, Real("%.1f", m->stamp[1]));
    Line(out, std::to_string(m->mediaId));
    Line(out, Real("%10.1f", m->minCapacity));
    Line(out, Real("%10.1f", m->maxCapacity));
    Line(out, Real("%10.1f", m->used));
    for (const char* s :
         {m->created, m->modified, m->mediaType, m->name, m->description, m->label, m->path}) {
      Line(out, s);
    }
    for (JobInfo* j = m->jobs; j != nullptr; j = j->next) {
      Line(out, "JOBINFO");
      Line(out, j->text);
      Line(out, "END JOBINFO");
    }
    Line(out, "END MEDIAINFO");
  }
  Line(out, "END MEDIAINFOFILE");
  const std::string target = path.str();
  const std::string tmp = target + "." + std::to_string(::getpid());
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  ::fchmod(fd, 0666);
  bool ok = ::write(fd, out.data(), out.size()) == static_cast<ssize_t>(out.size());
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(tmp.c_str(), target.c_str()) == 0;
  if (!ok) ::unlink(tmp.c_str());
  return ok;
}

void BkStore_ParseMediaInfo(std::string_view text, MediaInfoList& list, BkStore_Warn warn) {
  BkStore_DestroyMediaInfo(list, false);
  std::size_t pos = 0;
  int lineNo = 0;
  auto next = [&](std::string& line) {
    if (pos >= text.size()) return false;
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    line.assign(text.substr(pos, end - pos));
    pos = end + 1;
    ++lineNo;
    return true;
  };
  auto say = [&](const char* what) {
    if (warn != nullptr) warn(lineNo, what);
  };
  std::string line;
  if (!next(line) || line != "MEDIAINFOFILE") {
    if (lineNo > 0) say("not a known-media file");
    return;
  }
  MediaInfo* last = nullptr;
  bool complete = false;
  while (next(line)) {
    if (line == "END MEDIAINFOFILE") {
      complete = true;
      break;
    }
    if (line != "MEDIAINFO") {
      say("entry does not start with MEDIAINFO; the rest is skipped");
      break;
    }
    MediaInfo* mi = BkStore_NewMediaInfo();
    bool ok = next(line);
    Set(mi->displayText, line);
    double v[6] = {};
    for (int i = 0; ok && i < 6; ++i) ok = next(line) && ParseReal(line, v[i]);
    if (ok) {
      mi->stamp[0] = v[0];
      mi->stamp[1] = v[1];
      mi->mediaId = v[2] >= -2147483648.0 && v[2] <= 2147483647.0 && v[2] == static_cast<int>(v[2])
                        ? static_cast<std::int32_t>(v[2])
                        : BkArchiv_mediaIDNone;
      mi->minCapacity = v[3];
      mi->maxCapacity = v[4];
      mi->used = v[5];
    }
    for (char* field : {mi->created, mi->modified, mi->mediaType, mi->name, mi->description,
                        mi->label, mi->path}) {
      ok = ok && next(line);
      if (ok) Set(*reinterpret_cast<char(*)[128]>(field), line);
    }
    while (ok && next(line) && line == "JOBINFO") {
      std::string jobText;
      ok = next(jobText) && next(line) && line == "END JOBINFO";
      if (ok) AddJob(mi, jobText);
    }
    if (!ok || line != "END MEDIAINFO") {
      say("entry does not end with END MEDIAINFO; it and the rest are skipped");
      DestroyEntry(mi);
      break;
    }
    BkStore_AppendMediaInfo(list, last, mi);
  }
  if (!complete) {
    say("file does not end with END MEDIAINFOFILE; the list is dropped");
    BkStore_DestroyMediaInfo(list, false);
  }
}

void BkStore_LoadMediaInfo(MediaInfoList& list, StrIn path) {
  std::string text;
  if (FILE* f = std::fopen(path.str().c_str(), "r")) {
    char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    std::fclose(f);
  } else {
    BkStore_DestroyMediaInfo(list, false);
    return;  // no cache yet: an empty list
  }
  BkStore_ParseMediaInfo(text, list, WarnStderr);
}

// ---------------------------------------------------------------- header copies

bool BkStore_HeaderToArchive(Header* hdr, bool overwrite) {
  BkStore_bksError = 0;
  if (!BkArchiv_IsStdFmt(hdr->mediaFormat) && hdr->label[0] == '\0') HALT();
  const std::string path = StoreFile(hdr->label);
  if (!overwrite && ::access(path.c_str(), F_OK) == 0) {
    BkStore_bksError = 8;
    return false;
  }
  // Written under a temporary name and moved into place, so a refresh never reads half
  // a copy; without overwrite the move fails when the copy appeared meanwhile.
  const std::string tmp = path + ".tmp" + std::to_string(::getpid());
  bool ok = false;
  {
    const Messages_Ignoring quiet;
    BFileIO_File f = BFileIO_Create(tmp, 1);
    if (f != BFileIO_Nil) {
      BkArchiv_GenHeader(f, hdr, true);
      ok = BkArchiv_bkaError == 0 && BFileIO_ioError == 0;
      BFileIO_Close(f);
      ok = ok && BFileIO_ioError == 0 && ::chmod(tmp.c_str(), 0666) == 0;
    }
  }
  Messages_ForgetErrorReasons();
  bool exists = false;
  if (ok && overwrite) {
    ok = ::rename(tmp.c_str(), path.c_str()) == 0;
  } else if (ok) {
    ok = ::link(tmp.c_str(), path.c_str()) == 0;
    exists = !ok && errno == EEXIST;
  }
  ::unlink(tmp.c_str());
  if (exists) {
    BkStore_bksError = 8;
    return false;
  }
  if (!ok) Report(9);
  return ok;
}

bool BkStore_HeaderFromArchive(StrIn label, Header*& hdr) {
  BkStore_bksError = 0;
  hdr = nullptr;
  MyGetMediaInfo();
  const MediaInfo* known = FindKnown(label.str().c_str());
  if (known == nullptr) {
    Report(2);
    return false;
  }
  {
    const Messages_Ignoring quiet;
    BFileIO_File f = BFileIO_Open(known->path, FileIO_readOnly);
    if (f != BFileIO_Nil) {
      bool isEmpty = false;
      BkArchiv_ParseArchiveHeader(f, hdr, isEmpty);
      BFileIO_Close(f);
    }
  }
  if (hdr == nullptr) {
    char info[1200] = "::HeaderFromArchive: ";
    Strings_Concat(info, known->path, info);
    Messages_SupplyAdditionalInfo(info);
    Report(1);
    return false;
  }
  Messages_ForgetErrorReasons();
  return true;
}

namespace {

bool RemoveCopy(const MediaInfo* known) {
  if (known == nullptr) return true;
  if (::unlink(known->path) != 0 && errno != ENOENT) {
    char info[1200] = "::RemoveMediaInfo: ";
    Strings_Concat(info, known->path, info);
    Messages_SupplyAdditionalInfo(info);
    Report(1);
    return false;
  }
  return true;
}

}  // namespace

bool BkStore_UpdateMediaInfo(StrIn label, Header* hdr) {
  BkStore_bksError = 0;
  MyGetMediaInfo();
  if (!RemoveCopy(FindKnown(label.str().c_str()))) return false;
  MyGetMediaInfo();
  return BkStore_HeaderToArchive(hdr, true);
}

bool BkStore_RemoveMediaInfoByLabel(StrIn label) {
  BkStore_bksError = 0;
  MyGetMediaInfo();
  const bool ok = RemoveCopy(FindKnown(label.str().c_str()));
  MyGetMediaInfo();
  return ok;
}

bool BkStore_RemoveMediaInfoByName(StrIn name) {
  BkStore_bksError = 0;
  MyGetMediaInfo();
  const bool ok = RemoveCopy(BkStore_SelectByName(allKnownMedia, name));
  MyGetMediaInfo();
  return ok;
}

void BkStore_ReadHeader(DevListEntry& device, bool force, Header*& hdr, bool& recovered,
                        bool& isEmpty) {
  BkStore_bksError = 0;
  recovered = false;
  isEmpty = false;
  if (!device.isArchive) {
    BkArchiv_ReadHeader(device, force, hdr, recovered, isEmpty);
    return;
  }
  hdr = nullptr;
  {
    const Messages_Ignoring quiet;
    BFileIO_File f = BFileIO_Open(device.archiveFile, FileIO_readOnly);
    if (f != BFileIO_Nil) {
      BkArchiv_ParseArchiveHeader(f, hdr, isEmpty);
      BFileIO_Close(f);
    }
  }
  if (hdr == nullptr) {
    Report(1);
    return;
  }
  Messages_ForgetErrorReasons();
}

// ---------------------------------------------------------------- reservations, devices

bool BkStore_ReserveMedia(MediaInfo* mi, bool update) {
  BkStore_bksError = 0;
  if (mi == nullptr || mi->reserved) return false;
  MediaInfo* known = nullptr;
  {
    const Messages_Ignoring quiet;
    BkStore_AssertKnownMedia(mi, known);
  }
  Messages_ForgetErrorReasons();
  if (known == nullptr) return false;
  char name[128] = "*:";
  Strings_Concat(name, mi->name, name);
  if (update) {
    SRM_UpdateResource(name);
  } else {
    SRM_ReadResource(name);
  }
  if (!SRM_Reserve(name, false)) return false;
  for (MediaInfo* m : {mi, known}) {
    m->reserved = true;
    Set(m->reservationName, name);
  }
  return true;
}

void BkStore_ReleaseMedia(MediaInfo* mi) {
  if (mi == nullptr) return;
  MediaInfo* known = nullptr;
  {
    const Messages_Ignoring quiet;
    if (!BkStore_AssertKnownMedia(mi, known)) return;
  }
  Messages_ForgetErrorReasons();
  if (mi->reserved) SRM_Release(mi->reservationName);
  mi->reserved = known->reserved = false;
}

bool BkStore_ReserveDevice(MediaInfo* mi, bool forWrite) {
  if (mi == nullptr || mi->device == nullptr) return false;
  if (!BkDevSel_AllocateThisDevice(*mi->device, forWrite)) return false;
  if (MediaInfo* known = FindKnown(mi->label); known != nullptr && known != mi) {
    known->device = mi->device;
  }
  return true;
}

void BkStore_ReleaseDevice(MediaInfo* mi) {
  if (mi == nullptr || mi->device == nullptr) return;
  BkDevSel_ReleaseDevice(*mi->device);
  if (MediaInfo* known = FindKnown(mi->label); known != nullptr && known != mi) {
    known->device = nullptr;
  }
}

bool BkStore_GetDevice(MediaInfo* mi, DevListEntry*& device) {
  BkStore_bksError = 0;
  device = mi != nullptr ? mi->device : nullptr;
  MediaInfo* known = mi != nullptr ? FindKnown(mi->label) : nullptr;
  if (known != nullptr && known != mi && known->device != mi->device) {
    Messages_SupplyAdditionalInfo("::GetDevice(): 'dev' different in 'mi' and 'miAll'");
    Report(1);
    return false;
  }
  return true;
}

void BkStore_SetDevice(MediaInfo* mi, DevListEntry* device) {
  if (mi == nullptr) return;
  mi->device = device;
  if (MediaInfo* known = FindKnown(mi->label); known != nullptr) known->device = device;
}

void BkStore_UnsetDevice(MediaInfo* mi) { BkStore_SetDevice(mi, nullptr); }

namespace {

void ReduceToMediaId(int mediaId, BkDevSel_DevList& list) {
  if (mediaId == BkArchiv_mediaIDNone) return;
  for (DevListEntry* d = list; d != nullptr;) {
    DevListEntry* next = d->next;
    if (BkDevSel_DevClassToMediaID(d->record.devClass, d->subtype) != mediaId) {
      BkDevSel_DestroyDevListEntry(list, d, false);
    }
    d = next;
  }
}

std::uint32_t ClassMask(int mediaId) {
  if (mediaId == BkArchiv_mediaIDNone) return ~0u;
  return 1u << BkDevSel_MediaIDToDevClass(mediaId);
}

// The label and media type the first block of the medium names.
bool ReadLabelFromMedium(const DevListEntry& device, StrOut label, StrOut mediaType) {
  std::uint8_t format = 0;
  std::uint32_t version = 0, nextData = 0, blockLength = 0;
  std::int32_t dirSize = 0;
  char name[128], created[128], modified[128];
  bool isEmpty = false, atEnd = false;
  const Messages_Ignoring quiet;
  BkArchiv_CheckForHeader(device, format, version, name, mediaType, created, modified, nextData,
                          dirSize, blockLength, label, isEmpty, atEnd);
  return BkArchiv_bkaError == 0 && !atEnd;
}

BkStore_LabelReader labelReader = ReadLabelFromMedium;

}  // namespace

void BkStore_SetupDevList(int mediaId, BkDevSel_DevList& list) {
  BkDevSel_SetupDevList(list, ClassMask(mediaId));
  ReduceToMediaId(mediaId, list);
}

void BkStore_SetupFullDevList(int mediaId, BkDevSel_DevList& list) {
  BkDevSel_SetupFullDevList(list, ClassMask(mediaId));
  ReduceToMediaId(mediaId, list);
}

void BkStore_SetLabelReader(BkStore_LabelReader reader) {
  labelReader = reader != nullptr ? reader : ReadLabelFromMedium;
}

bool BkStore_AssertLabel(const DevListEntry& device, StrIn expectedLabel) {
  char label[128] = "", mediaType[128] = "";
  const bool read = labelReader(device, StrOut(label), StrOut(mediaType));
  Messages_ForgetErrorReasons();
  if (!read) return false;
  const std::string expected = expectedLabel.str();
  if (expected == label) return true;
  const std::string type = mediaType;
  if (type != "Offset-Folvane" && type != "Ravelo") return false;
  const std::size_t cut = expected.find('_');
  return cut != std::string::npos && "NONAME" + expected.substr(cut) == label;
}

// ---------------------------------------------------------------- search

struct SearchMediaParams {
  regex_t media, job;
  bool hasMedia = false, hasJob = false;
};

SearchMediaParams* BkStore_NewSearchMediaParams() { return new SearchMediaParams{}; }

void BkStore_DestroySearchMediaParams(SearchMediaParams*& params) {
  if (params == nullptr) return;
  if (params->hasMedia) ::regfree(&params->media);
  if (params->hasJob) ::regfree(&params->job);
  delete params;
  params = nullptr;
}

namespace {

bool SetFilter(regex_t& rx, bool& has, StrIn text) {
  BkStore_bksError = 0;
  const std::string t = text.str();
  regex_t fresh;
  if (!t.empty() && ::regcomp(&fresh, t.c_str(), REG_EXTENDED | REG_NOSUB) != 0) {
    char info[300] = "::SetFilter: bad pattern ";
    Strings_Concat(info, text, info);
    Messages_SupplyAdditionalInfo(info);
    Report(1);
    return false;
  }
  if (has) ::regfree(&rx);
  has = !t.empty();
  if (has) rx = fresh;
  return true;
}

bool Matches(const MediaInfo* m, const SearchMediaParams* p) {
  if (p->hasMedia && ::regexec(&p->media, m->displayText, 0, nullptr, 0) == 0) return true;
  if (p->hasJob) {
    for (const JobInfo* j = m->jobs; j != nullptr; j = j->next) {
      if (::regexec(&p->job, j->text, 0, nullptr, 0) == 0) return true;
    }
  }
  return false;
}

}  // namespace

bool BkStore_SetMediaFilter(SearchMediaParams* params, StrIn text) {
  return SetFilter(params->media, params->hasMedia, text);
}

bool BkStore_SetJobFilter(SearchMediaParams* params, StrIn text) {
  return SetFilter(params->job, params->hasJob, text);
}

bool BkStore_SearchMedia(MediaInfoList list, int mode, bool wrap, SearchMediaParams* params) {
  if (mode < 0 || mode > 3) HALT();
  MediaInfo* current = BkStore_FirstSelectedMedia(list);
  for (MediaInfo* m = list; m != nullptr; m = m->next) m->selected = false;
  bool found = false;
  auto pick = [&](MediaInfo* m) {
    if (!Matches(m, params)) return false;
    m->selected = found = true;
    return true;
  };
  switch (mode) {
    case 0:
      for (MediaInfo* m = list; m != nullptr && !pick(m);) m = m->next;
      break;
    case 3:
      for (MediaInfo* m = list; m != nullptr; m = m->next) pick(m);
      break;
    case 2: {
      bool wrapped = current == nullptr;
      for (MediaInfo* m = current != nullptr ? current->next : list;;) {
        if (m == nullptr) {
          if (!wrap || wrapped) break;
          wrapped = true;
          m = list;
          continue;
        }
        if (pick(m)) break;
        m = m->next;
      }
      break;
    }
    case 1: {
      // Backwards over a list linked forwards: the entries in an array.
      std::vector<MediaInfo*> all;
      std::size_t at = 0;
      for (MediaInfo* m = list; m != nullptr; m = m->next) {
        if (m == current) at = all.size();
        all.push_back(m);
      }
      bool wrapped = current == nullptr;
      std::size_t i = current != nullptr ? at : all.size();
      for (;;) {
        if (i == 0) {
          if (!wrap || wrapped || all.empty()) break;
          wrapped = true;
          i = all.size();
          continue;
        }
        if (pick(all[--i])) break;
      }
      break;
    }
  }
  return found;
}

void BkStore_Fail(std::uint8_t n) { Report(n); }
