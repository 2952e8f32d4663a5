#include "DSFUtils.hpp"

#include <strings.h>

#include <string>

#include "FuFile.hpp"
#include "Messages.hpp"
#include "SFilMisc.hpp"
#include "Strings.hpp"
#include "UCommon.hpp"

void DSFUtils_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "DSFUtils");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  Messages_Init();
  BFileIO_Init();
  DirAcces_Init();
  DynStr_Init();
  FuFile_Init();
  SFilMisc_Init();
}

namespace {

// The bounded string of a dynamic-string argument.
struct Name {
  explicit Name(DS ds) { DSToStr(ds, text, sizeof text); }
  operator StrIn() const { return StrIn::FromC(text); }
  char text[1024];
};

using Maker = void (*)(StrOut, StrIn);

void MakeName(Maker make, DS* result, DS suffix) {
  char name[1024];
  make(StrOut(name, sizeof name - 1), Name(suffix));
  DSAssignStr(name, result);
}

// The entry of dir whose name equals component without regard to case.
bool FindIgnoringCase(const std::string& dir, const std::string& component, std::string& found) {
  Messages_Ignoring quiet;
  DirAcces_Dir d = DirAcces_OpenDir(dir.empty() ? std::string(".") : dir);
  bool ok = false;
  if (d != DirAcces_NilDir) {
    char entry[1024];
    while (!ok && DirAcces_GetSmallDirEntry(d, entry)) {
      if (::strcasecmp(entry, component.c_str()) == 0) {
        found = entry;
        ok = true;
      }
    }
    DirAcces_CloseDir(d);
  }
  quiet.Close();
  Messages_ForgetErrorReasons();
  return ok;
}

}  // namespace

BFileIO_File DSBCreate(DS name, unsigned mode) { return BFileIO_Create(Name(name), mode); }
BFileIO_File DSBOpen(DS name, unsigned mode) { return BFileIO_Open(Name(name), mode); }
void DSAtomicRename(DS oldPath, DS newPath) { DirAcces_AtomicRename(Name(oldPath), Name(newPath)); }
void DSRemove(DS path) { DirAcces_Remove(Name(path)); }
void DSSymlink(DS target, DS linkPath) { DirAcces_Symlink(Name(target), Name(linkPath)); }

void DSReadLink(DS path, DS* target) {
  char text[1024];
  DirAcces_ReadLink(Name(path), text);
  DSAssignStr(text, target);
}

void DSCopy(DS from, DS to) { DirAcces_Copy(Name(from), Name(to)); }
bool DSAccess(DS path, unsigned mode) { return DirAcces_Access(Name(path), mode); }

bool DSAccessICASE(DS path, unsigned mode, DS* found) {
  const Name name(path);
  if (DirAcces_Access(name, mode)) {
    DSAssignStr(name.text, found);
    return true;
  }
  const std::string text = name.text;
  std::string result = text.starts_with('/') ? "/" : "";
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('/', at);
    if (end == std::string::npos) end = text.size();
    const std::string component = text.substr(at, end - at);
    at = end + 1;
    if (component.empty()) continue;
    const std::string dir = result;
    const std::string joined =
        dir.empty() || dir.ends_with('/') ? dir + component : dir + "/" + component;
    std::string match;
    if (DirAcces_Access(joined, DirAcces_exists)) {
      result = joined;
    } else if (FindIgnoringCase(dir, component, match)) {
      result = dir.empty() || dir.ends_with('/') ? dir + match : dir + "/" + match;
    } else {
      return false;
    }
  }
  if (result.empty() || !DirAcces_Access(result, mode)) return false;
  DSAssignStr(result.c_str(), found);
  return true;
}

void DSFileStatN(DS path, DirAcces_DirEntry& entry) { DirAcces_FileStatN(Name(path), entry); }
void DSChDir(DS path) { DirAcces_ChDir(Name(path)); }
bool DSAssertDir(DS path, unsigned mode) { return FuAssertDir(Name(path).text, mode); }
void DSChMod(DS path, DS mode) { SFilMisc_ChMod(Name(path), Name(mode)); }

void DSCreateLongTmpNameWD(DS* name, DS suffix) {
  MakeName(SFilMisc_CreateTmpNameWD, name, suffix);
}
void DSCreateLongTmpName(DS* path, DS suffix) { MakeName(SFilMisc_CreateTmpName, path, suffix); }
void DSCreateLongUniqueVarName(DS* path, DS suffix) {
  MakeName(SFilMisc_CreateUniqueVarName, path, suffix);
}
