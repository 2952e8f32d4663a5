// The file-tree walk that file lists are built from.
#include "DirAcces1.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "Messages.hpp"
#include "UCommon.hpp"

void DirAcces1_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "DirAcces1");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  Messages_Init();
  DirAcces_Init();
}

namespace {

struct Walk {
  bool follow;
  DirAcces1_Visit visit;
  void* clientData;
};

// A file that fails to be examined is a visit, not an error of the program: the status
// call runs inside an ignore bracket and its reasons are dropped.
template <class StatCall>
bool Quietly(StatCall stat) {
  Messages_Ignoring quiet;
  const bool ok = stat();
  quiet.Close();
  if (!ok) Messages_ForgetErrorReasons();
  return ok;
}

bool Examine(const std::string& path, bool follow, DirAcces_DirEntry& info) {
  return Quietly([&] {
    if (follow) {
      DirAcces_FileStatN(path, info);
    } else {
      DirAcces_LFileStatN(path, info);
    }
    return DirAcces_dirError == 0;
  });
}

// An entry of the open directory, looked up by its name alone.
bool ExamineIn(DirAcces_Dir dir, const char* name, bool follow, DirAcces_DirEntry& info) {
  return Quietly([&] { return DirAcces_StatInDir(dir, StrIn::FromC(name), follow, info); });
}

// The record of a file that could not be examined: only its name.
DirAcces_DirEntry NameOnly(std::string_view name) {
  DirAcces_DirEntry info{};
  const std::size_t n = std::min(name.size(), sizeof info.name - 1);
  std::memcpy(info.name, name.data(), n);
  return info;
}

// path := dir "/" name (no second "/" after a dir that ends in one). The buffer is
// reused for every entry of a directory.
void Child(const std::string& dir, std::string_view name, std::string& path) {
  path.assign(dir);
  if (!path.empty() && path.back() != '/') path += '/';
  path += name;
}

bool Visit(const Walk& w, const std::string& dir, const DirAcces_DirEntry& info, bool isDir,
           bool isPre, int walkError) {
  return w.visit(dir, info, isDir, isPre, walkError, w.clientData);
}

struct Queued {
  std::string path;
  DirAcces_DirEntry info;
};

// Walks path, already examined as info, lying in dir.
bool WalkFrom(const Walk& w, const std::string& dir, const std::string& path,
              const DirAcces_DirEntry& info) {
  if (!info.isDirectory) return Visit(w, dir, info, false, false, DirAcces1_ok);

  Messages_Ignoring quiet;
  DirAcces_Dir handle = DirAcces_OpenDir(path);
  quiet.Close();
  if (handle == DirAcces_NilDir) {
    Messages_ForgetErrorReasons();
    // Reported as a visit before the (unreadable) contents, so that a visitor that skips
    // post-visits still sees it.
    return Visit(w, dir, info, true, true, DirAcces1_cannotOpen);
  }
  if (!Visit(w, dir, info, true, true, DirAcces1_ok)) {
    DirAcces_CloseDir(handle);
    return false;
  }

  bool going = true;
  std::vector<Queued> subdirs;
  char name[DirAcces1_maxName + 2];
  DirAcces_DirEntry child{};
  std::string childPath;
  while (going && DirAcces_GetSmallDirEntry(handle, name)) {
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    const std::size_t nameLength = std::strlen(name);
    Child(path, {name, nameLength}, childPath);
    if (nameLength > DirAcces1_maxName || childPath.size() > DirAcces1_maxPath) {
      going = Visit(w, path, NameOnly(name), false, false, DirAcces1_cannotExamine);
    } else if (!ExamineIn(handle, name, w.follow, child)) {
      going = Visit(w, path, NameOnly(name), false, false, DirAcces1_cannotExamine);
    } else if (child.isDirectory) {
      subdirs.push_back({childPath, child});
    } else {
      going = Visit(w, path, child, false, false, DirAcces1_ok);
    }
  }
  DirAcces_CloseDir(handle);

  for (std::size_t i = 0; going && i < subdirs.size(); ++i) {
    going = WalkFrom(w, path, subdirs[i].path, subdirs[i].info);
  }
  if (going) going = Visit(w, dir, info, true, false, DirAcces1_ok);
  return going;
}

}  // namespace

bool DirAcces1_FTW(StrIn startPath, bool followSymlinks, DirAcces1_Visit visit, void* clientData) {
  const Walk w{followSymlinks, visit, clientData};
  std::string start = startPath.str();
  while (start.size() > 1 && start.back() == '/') start.pop_back();

  // The start's directory and name, split at the last "/" ("/" for a top-level path).
  const std::size_t slash = start.rfind('/');
  std::string dir;
  std::string_view name = start;
  if (slash != std::string::npos) {
    dir.assign(start, 0, slash == 0 ? 1 : slash);
    name = std::string_view(start).substr(slash + 1);
  }

  if (start.size() > DirAcces1_maxPath || name.size() > DirAcces1_maxName) {
    return Visit(w, dir, NameOnly(name), false, false, DirAcces1_cannotExamine);
  }
  DirAcces_DirEntry info{};
  if (!Examine(start, followSymlinks, info)) {
    return Visit(w, dir, NameOnly(name), false, false, DirAcces1_cannotExamine);
  }
  return WalkFrom(w, dir, start, info);
}
