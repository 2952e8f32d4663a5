// File lists: sorted insertion, selection, file marks, view paths, and lists built from
// directory trees.
#include "BkFLists.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "BRegEx.hpp"
#include "BkMisc.hpp"
#include "DirAcces1.hpp"
#include "RecPool.hpp"
#include "UCommon.hpp"

void BkFLists_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "BkFLists");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  Utility_Init();
  DirAcces_Init();
  DynStr_Init();
  BRegEx_Init();
  BkMisc_Init();
  DirAcces1_Init();
  RecPool_Init();
}

namespace {

// Paths of sorted insertion are copied into a buffer of this size first.
constexpr std::size_t kPathCapacity = 1024;
constexpr int kMarkLimit = 65536;

std::string_view WithoutDotSlash(std::string_view path) {
  if (path.size() >= 2 && path[0] == '.' && path[1] == '/') path.remove_prefix(2);
  return path;
}

// A new unlinked entry with path and the attributes of info; nullptr when no memory is
// left.
// Entries come from a pool: lists of a million entries are read from media headers.
// Never destroyed, so lists freed by other modules' static destructors stay valid.
RecPool& Entries() {
  static RecPool* pool = new RecPool(sizeof(FileEntry), alignof(FileEntry));
  return *pool;
}

FileEntry* NewEntry(std::string_view path, bool selected, const DirAcces_DirEntry& info) {
  void* room = Entries().Take();
  if (room == nullptr) return nullptr;
  auto* e = new (room) FileEntry{};
  e->selected = selected;
  e->path = DSCreateStr(path, 0);
  e->view = DSIncRef(e->path);
  e->errorKind = BkFLists_errNone;
  e->tapeNumber = 1;
  e->fileMark = 0;
  BkFLists_SetAttributes(*e, info);
  e->followSymlinks = false;
  e->savedSelection = false;
  return e;
}

void FreeEntry(FileEntry* e) {
  DSFree(&e->view);
  DSFree(&e->path);
  Entries().Give(e);
}

// Links e before `before` (nullptr: at the end), keeping the first entry's back link on
// the last entry.
void LinkBefore(FileList& list, FileEntry* e, FileEntry* before) {
  if (list == nullptr) {
    e->next = nullptr;
    e->prev = e;
    list = e;
    return;
  }
  FileEntry* last = list->prev;
  if (before == nullptr) {
    e->prev = last;
    e->next = nullptr;
    last->next = e;
    list->prev = e;
  } else if (before == list) {
    e->prev = last;
    e->next = list;
    list->prev = e;
    list = e;
  } else {
    e->prev = before->prev;
    e->next = before;
    before->prev->next = e;
    before->prev = e;
  }
}

// What inserting a path that is already listed changes.
void Refresh(FileEntry& e, const FileEntry& from) {
  e.selected = from.selected;
  e.size = from.size;
  e.modified = from.modified;
  e.isDir = from.isDir;
  e.isSymlink = from.isSymlink;
  e.mode = from.mode;
  e.uid = from.uid;
  e.gid = from.gid;
  e.nlink = from.nlink;
  e.inode = from.inode;
  e.devNo = from.devNo;
}

// The entry a sorted insertion of path stops at: the first whose path is not lower.
FileEntry* FirstNotBelow(FileList list, const char* path) {
  FileEntry* e = list;
  while (e != nullptr && DSCmpStr(e->path, path) < 0) e = e->next;
  return e;
}

// Entries collected in walk order, inserted into a list in one go with the result of
// inserting them one by one in that order. Sorting the batch and merging it with the
// sorted list replaces the walk from the list's start for every entry.
class Batch {
 public:
  ~Batch() {
    for (FileEntry* e : entries_) FreeEntry(e);
  }

  bool Add(const std::string& path, bool selected, const DirAcces_DirEntry& info, int errorKind) {
    FileEntry* e = NewEntry(path, selected, info);
    if (e == nullptr) return false;
    e->errorKind = errorKind;
    try {
      entries_.push_back(e);
    } catch (const std::bad_alloc&) {
      FreeEntry(e);
      return false;
    }
    return true;
  }

  // The merge equals insertion one by one also on a list that is not sorted (one made
  // by appending): every entry the cursor has passed sorts below the previous path and
  // so below the current one, so the cursor stops where a walk from the start would.
  void InsertInto(FileList& list) {
    // No allocation happens from here on, so the text addresses stay valid.
    struct Key {
      const char* text;
      FileEntry* entry;
    };
    std::vector<Key> keys;
    keys.reserve(entries_.size());
    for (FileEntry* e : entries_) keys.push_back({DSStr(e->path), e});
    entries_.clear();
    std::stable_sort(keys.begin(), keys.end(),
                     [](const Key& a, const Key& b) { return std::strcmp(a.text, b.text) < 0; });

    FileEntry* cursor = list;
    for (std::size_t i = 0; i < keys.size();) {
      // A path walked twice: the first insertion made the entry, later ones refreshed it.
      FileEntry* e = keys[i].entry;
      std::size_t j = i + 1;
      for (; j < keys.size() && std::strcmp(keys[j].text, keys[i].text) == 0; ++j) {
        Refresh(*e, *keys[j].entry);
        e->errorKind = keys[j].entry->errorKind;
      }
      while (cursor != nullptr && std::strcmp(DSStr(cursor->path), keys[i].text) < 0) {
        cursor = cursor->next;
      }
      if (cursor != nullptr && std::strcmp(DSStr(cursor->path), keys[i].text) == 0) {
        Refresh(*cursor, *e);
        cursor->errorKind = e->errorKind == BkFLists_errNone ? cursor->errorKind : e->errorKind;
        FreeEntry(e);
      } else {
        LinkBefore(list, e, cursor);
      }
      for (std::size_t k = i + 1; k < j; ++k) FreeEntry(keys[k].entry);
      i = j;
    }
  }

 private:
  std::vector<FileEntry*> entries_;
};

struct WalkRecord {
  bool selected;
  Batch target;
  Batch errors;
  std::string path;  // reused for every visit
};

bool BuildVisit(StrIn dirPath, const DirAcces_DirEntry& info, bool isDirectory, bool isPreVisit,
                int walkError, void* clientData) {
  if (isDirectory && !isPreVisit) return true;
  auto& w = *static_cast<WalkRecord*>(clientData);

  // The full path is kept whole, also when it is too long to have been examined.
  std::string& path = w.path;
  path.assign(dirPath.view());
  const std::string_view name = StrIn::FromC(info.name).view();
  if (!path.empty() && path.back() != '/' && !name.empty()) path += '/';
  path += name;
  path.erase(0, path.size() - WithoutDotSlash(path).size());

  const bool readable = BkMisc_IsReadable(info);
  if (walkError == DirAcces1_ok && readable) {
    return w.target.Add(path, w.selected, info, BkFLists_errNone);
  }
  int kind = BkFLists_errNotReadable;
  if (walkError == DirAcces1_cannotExamine) {
    kind = BkFLists_errCannotExamine;
  } else if (walkError == DirAcces1_cannotOpen) {
    kind = BkFLists_errCannotOpenDir;
  } else if (readable) {
    kind = BkFLists_errOther;
  }
  return w.errors.Add(path, w.selected, info, kind);
}

}  // namespace

void BkFLists_SetAttributes(FileEntry& entry, const DirAcces_DirEntry& info) {
  entry.size = info.size;
  entry.modified.date = {info.day, info.month, info.year, 0};
  entry.modified.time = {info.hour, info.minute, info.second, 0};
  entry.isDir = info.isDirectory;
  entry.isSymlink = info.isSymlink;
  entry.mode = info.mode;
  entry.uid = info.uid;
  entry.gid = info.gid;
  entry.nlink = info.links;
  entry.inode = info.inode;
  entry.devNo = (static_cast<std::uint64_t>(info.device[0]) << 32) | info.device[1];
}

// ---- Building and destroying ----

FileEntry* BkFLists_InsertInFileList(FileList& list, StrIn path, bool selected,
                                     const DirAcces_DirEntry& info) {
  // The path as a bounded string of the path capacity: a longer one is cut there, and a
  // full buffer has no terminator to look for.
  char buffer[kPathCapacity];
  Strings_Assign(path, buffer);
  const std::string cleaned(WithoutDotSlash(StrIn(buffer).view()));
  FileEntry* at = FirstNotBelow(list, cleaned.c_str());
  if (at != nullptr && DSCmpStr(at->path, cleaned.c_str()) == 0) {
    at->selected = selected;
    BkFLists_SetAttributes(*at, info);
    return at;
  }
  FileEntry* e = NewEntry(cleaned, selected, info);
  if (e != nullptr) LinkBefore(list, e, at);
  return e;
}

FileEntry* BkFLists_AppendOnFileList(FileList& list, StrIn path, bool selected,
                                     const DirAcces_DirEntry& info, int fileMark, int tapeNumber) {
  FileEntry* e = NewEntry(WithoutDotSlash(path.view()), selected, info);
  if (e == nullptr) return nullptr;
  e->fileMark = fileMark;
  e->tapeNumber = tapeNumber;
  LinkBefore(list, e, nullptr);
  return e;
}

void BkFLists_DeleteSelectedEntries(FileList& list) {
  FileList kept = nullptr;
  FileEntry* e = list;
  while (e != nullptr) {
    FileEntry* next = e->next;
    if (e->selected) {
      FreeEntry(e);
    } else {
      LinkBefore(kept, e, nullptr);
    }
    e = next;
  }
  list = kept;
}

void BkFLists_DestroyFileList(FileList& list) {
  while (list != nullptr) {
    FileEntry* next = list->next;
    FreeEntry(list);
    list = next;
  }
}

// ---- Selection ----

void BkFLists_SelectAllFiles(FileList list, bool flag) {
  for (FileEntry* e = list; e != nullptr; e = e->next) e->selected = flag;
}

long BkFLists_SelectMatchingFiles(FileList list, StrIn pattern, bool flag) {
  Reg regex = RegComp(pattern.str().c_str(), regExtended | regNoSub);
  if (regex == regNil) return 0;
  long count = 0;
  for (FileEntry* e = list; e != nullptr; e = e->next) {
    if (DSMatch(e->path, regex)) {
      e->selected = flag;
      ++count;
    }
  }
  RegFree(regex);
  return count;
}

void BkFLists_SelectByFileMark(FileList list, int mark, bool flag) {
  for (FileEntry* e = list; e != nullptr; e = e->next) {
    if (e->fileMark == mark) e->selected = flag;
  }
}

void BkFLists_SelectByTapeAndMark(FileList list, int tape, int mark, bool flag) {
  for (FileEntry* e = list; e != nullptr; e = e->next) {
    if (e->tapeNumber == tape && e->fileMark == mark) e->selected = flag;
  }
}

bool BkFLists_SelectByPath(FileList list, DS path, DS base, bool flag) {
  const bool joined = DSLength(base) > 0;
  DS full = dsNil;
  bool found = false;
  for (FileEntry* e = list; e != nullptr; e = e->next) {
    DS candidate = e->path;
    if (joined) {
      DSIncludePath(base, e->path, &full);
      candidate = full;
    }
    const int cmp = DSCmp(candidate, path);
    if (cmp == 0) {
      e->selected = flag;
      found = true;
    }
    if (cmp >= 0) break;
  }
  DSFree(&full);
  return found;
}

bool BkFLists_OneSelected(FileList list) {
  for (FileEntry* e = list; e != nullptr; e = e->next) {
    if (e->selected) return true;
  }
  return false;
}

bool BkFLists_AllSelected(FileList list) {
  for (FileEntry* e = list; e != nullptr; e = e->next) {
    if (!e->selected) return false;
  }
  return true;
}

long BkFLists_NumberOfSelectedFiles(FileList list) {
  long n = 0;
  for (FileEntry* e = list; e != nullptr; e = e->next) n += e->selected ? 1 : 0;
  return n;
}

double BkFLists_SizeOfSelectedFiles(FileList list) {
  double size = 0.0;
  for (FileEntry* e = list; e != nullptr; e = e->next) {
    if (e->selected) size += e->size;
  }
  return size;
}

void BkFLists_PushSelection(FileList list) {
  for (FileEntry* e = list; e != nullptr; e = e->next) e->savedSelection = e->selected;
}

void BkFLists_PopSelection(FileList list) {
  for (FileEntry* e = list; e != nullptr; e = e->next) e->selected = e->savedSelection;
}

// ---- File marks ----

void BkFLists_SetFileMarkValue(FileList list, int mark) {
  for (FileEntry* e = list; e != nullptr; e = e->next) {
    if (!e->selected) continue;
    e->fileMark = mark;
    e->tapeNumber = 1;
  }
}

void BkFLists_GetFileMarkRange(FileList list, int& min, int& max) {
  bool any = false;
  for (FileEntry* e = list; e != nullptr; e = e->next) {
    if (!e->selected) continue;
    if (!any || e->fileMark < min) min = e->fileMark;
    if (!any || e->fileMark > max) max = e->fileMark;
    any = true;
  }
}

bool BkFLists_DenseFileMarks(FileList list, int& min, int& max) {
  std::vector<bool> seen(kMarkLimit, false);
  bool any = false;
  bool inRange = true;
  int lo = 0;
  int hi = 0;
  for (FileEntry* e = list; e != nullptr; e = e->next) {
    if (!e->selected) continue;
    const int m = e->fileMark;
    if (m >= 0 && m < kMarkLimit) {
      seen[static_cast<std::size_t>(m)] = true;
    } else {
      inRange = false;
    }
    if (!any || m < lo) lo = m;
    if (!any || m > hi) hi = m;
    any = true;
  }
  if (!any) return false;
  min = lo;
  max = hi;
  if (!inRange) return false;
  for (int m = lo; m <= hi; ++m) {
    if (!seen[static_cast<std::size_t>(m)]) return false;
  }
  return true;
}

void BkFLists_OffsetFileMarks(FileList list, int offset) {
  for (FileEntry* e = list; e != nullptr; e = e->next) {
    if (e->selected) e->fileMark += offset;
  }
}

// ---- Building from a directory tree ----

bool BkFLists_BuildFileList1(FileList& list, StrIn startPath, bool followSymlinks, bool selected,
                             FileList& errorList) {
  WalkRecord w{selected, {}, {}, {}};
  const bool complete = DirAcces1_FTW(startPath, followSymlinks, BuildVisit, &w);
  w.target.InsertInto(list);
  FileList errors = nullptr;
  w.errors.InsertInto(errors);
  errorList = errors;
  return complete;
}

// ---- View paths ----

void BkFLists_LoadView(FileList list) {
  for (FileEntry* e = list; e != nullptr; e = e->next) {
    if (e->view == e->path) continue;
    DSFree(&e->view);
    e->view = DSIncRef(e->path);
  }
}

void BkFLists_CutPathHeadV(FileList list, StrIn head, bool& ok) {
  ok = true;
  const std::string h = head.str();
  if (h.empty() || list == nullptr) return;
  DS headDS = DSCreateStr(h.c_str(), 0);
  const bool below = DSThisPathHead(list->view, headDS);
  DSFree(&headDS);
  if (!below) {
    ok = false;
    return;
  }
  for (FileEntry* e = list; e != nullptr; e = e->next) {
    long cut = static_cast<long>(h.size());
    if (cut < DSLength(e->view) && DSGetChar(e->view, cut) == '/') ++cut;
    if (DSRefCount(e->view) > 1) {
      DS own = dsNil;
      DSDelete(e->view, 0, cut, &own);
      DSFree(&e->view);
      e->view = own;
    } else {
      DSDelete(e->view, 0, cut, &e->view);
    }
  }
}

namespace {

// The head of paths that share no directory: "/" for absolute ones, "." when all are
// plain relative paths, otherwise nothing.
std::string NoCommonHead(FileList list) {
  if (DSGetChar(list->path, 0) == '/') return "/";
  for (FileEntry* e = list; e != nullptr; e = e->next) {
    const std::string_view p = DSStr(e->path);
    if (p.starts_with("/") || p.starts_with("./") || p.starts_with("../")) return "";
  }
  return ".";
}

}  // namespace

void BkFLists_MaxCommonHead(FileList list, StrOut head) {
  Strings_Assign("", head);
  if (list == nullptr) return;
  if (list->next == nullptr) {
    DS dir = dsNil;
    DS name = dsNil;
    DSExcludePath(list->path, &dir, &name);
    if (DSCmpStr(dir, ".") != 0) Strings_Assign(StrIn::FromC(DSStr(dir)), head);
    DSFree(&dir);
    DSFree(&name);
    return;
  }
  const std::string first = DSStr(list->path);
  const std::string second = DSStr(list->next->path);
  std::size_t common = 0;
  while (common < first.size() && common < second.size() && first[common] == second[common]) {
    ++common;
  }
  std::string h = first.substr(0, common);
  const std::size_t slash = h.rfind('/');
  h.resize(slash == std::string::npos ? 0 : slash);

  if (!h.empty()) {
    DS headDS = DSCreateStr(h.c_str(), 0);
    for (FileEntry* e = list->next->next; e != nullptr && !h.empty(); e = e->next) {
      while (!h.empty() && !DSThisPathHead(e->path, headDS)) {
        const std::size_t last = h.rfind('/');
        h.resize(last == std::string::npos ? 0 : last);
        DSAssignStr(h.c_str(), &headDS);
      }
    }
    DSFree(&headDS);
  }
  if (h.empty()) h = NoCommonHead(list);
  Strings_Assign(h, head);
}
