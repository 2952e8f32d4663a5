#include "Odirs.hpp"

#include <algorithm>
#include <string>
#include <string_view>

#include "DirAcces.hpp"
#include "Messages.hpp"
#include "SPrintf.hpp"
#include "Strings.hpp"
#include "UCommon.hpp"

char Odirs_jobDir[128];
char Odirs_orderDir[128];
char Odirs_schemeDir[128];
char Odirs_thisHost[128];
Odirs_NameList Odirs_currDir = nullptr;
Odirs_NameList Odirs_nfree = nullptr;

namespace {

bool IsLowerOrDigit(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Changes the working directory with every error suppressed and forgotten.
bool QuietChDir(StrIn path) {
  Messages_Ignoring quiet;
  DirAcces_ChDir(path);
  const bool ok = DirAcces_dirError == 0;
  quiet.Close();
  Messages_ForgetErrorReasons();
  return ok;
}

}  // namespace

void Odirs_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "Odirs");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  SPrintf_Init();
  Messages_Init();
  DirAcces_Init();
  DirAcces_InstalledPath(Odirs_defJobDir, Odirs_jobDir);
  DirAcces_InstalledPath(Odirs_defOrderDir, Odirs_orderDir);
  DirAcces_InstalledPath(Odirs_defSchemeDir, Odirs_schemeDir);
  Odirs_currDir = nullptr;
  DirAcces_GetMachineName(Odirs_thisHost);
  Odirs_MkDir(Odirs_jobDir);
  Odirs_MkDir(Odirs_orderDir);
  Odirs_MkDir(Odirs_schemeDir);
}

void Odirs_SetDirs(StrIn jobDir, StrIn orderDir, StrIn schemeDir) {
  Odirs_Init();
  Strings_Assign(jobDir, Odirs_jobDir);
  Strings_Assign(orderDir, Odirs_orderDir);
  Strings_Assign(schemeDir, Odirs_schemeDir);
}

void Odirs_MkDir(StrIn path) {
  Odirs_Init();
  std::string p;
  for (char c : path.view()) {
    if (c != ' ') p += c;
  }
  {
    const Messages_Ignoring quiet;
    DirAcces_MkDir(p);
    if (DirAcces_dirError == 0) DirAcces_ChMod(p, 0777);
  }
  Messages_ForgetErrorReasons();
}

void Odirs_GetHost(StrIn path, StrOut host) {
  Odirs_Init();
  std::string_view p = path.view();
  char netRoot[1024];
  DirAcces_GetNetRoot(netRoot);
  std::string ownRoot = StrIn(netRoot).str();
  while (!ownRoot.empty() && ownRoot.back() == '/') ownRoot.pop_back();
  ownRoot += '/';
  for (std::string_view prefix : {std::string_view(ownRoot), std::string_view("/tmp_mnt/net/"),
                                  std::string_view("/nfs/"), std::string_view("/net/")}) {
    if (p.starts_with(prefix)) {
      p.remove_prefix(prefix.size());
      Strings_Assign(p.substr(0, p.find('/')), host);
      return;
    }
  }
  Strings_Assign(Odirs_thisHost, host);
}

void Odirs_JobPath(StrIn host, StrIn name, StrOut path) {
  Odirs_Init();
  char prefix[1024] = "";
  if (host.length() > 0 && !Strings_Equal(host, Odirs_thisHost) &&
      DirAcces_CheckFlag("NFS_PREFIX_BEHAVIOUR")) {
    DirAcces_NetPath(host, "", prefix);
  }
  std::string_view dir = StrIn(Odirs_jobDir).view();
  if (prefix[0] != '\0' && dir.starts_with('/')) dir.remove_prefix(1);
  char joined[1024];
  DirAcces_IncludePath(prefix, dir, joined);
  DirAcces_IncludePath(joined, name, path);
}

bool Odirs_NameOK(StrIn name) {
  const std::string_view n = name.view();
  if (n.size() != 13 || !IsLowerOrDigit(n[0])) return false;
  for (std::size_t i = 1; i < 8; ++i) {
    if (!IsLowerOrDigit(n[i]) && n[i] != '_') return false;
  }
  return IsDigit(n[8]) && IsDigit(n[9]) && n[10] == '.' && n[11] >= 'a' && n[11] <= 'z' &&
         IsDigit(n[12]);
}

bool Odirs_ChangeToJobOnHost(StrIn host, StrIn name) {
  Odirs_Init();
  if (!Odirs_NameOK(name)) return false;
  char here[1024];
  DirAcces_CurrentDir(here);
  char path[1024];
  Odirs_JobPath(host, name, path);
  if (!QuietChDir(path)) return false;
  Odirs_NameEntry* e = Odirs_NNew();
  Strings_Assign(here, e->text);
  e->next = Odirs_currDir;
  Odirs_currDir = e;
  return true;
}

void Odirs_ReturnToCurrent() {
  Odirs_Init();
  Odirs_NameEntry* top = Odirs_currDir;
  if (top == nullptr) return;
  QuietChDir(top->text);
  Odirs_currDir = top->next;
  Odirs_NDispose(top);
}

Odirs_NameEntry* Odirs_NNew() {
  Odirs_NameEntry* e = Odirs_nfree;
  if (e != nullptr) {
    Odirs_nfree = e->next;
  } else {
    e = new Odirs_NameEntry;
  }
  *e = Odirs_NameEntry{};
  return e;
}

void Odirs_NDispose(Odirs_NameEntry*& entry) {
  if (entry == nullptr) return;
  entry->next = Odirs_nfree;
  Odirs_nfree = entry;
  entry = nullptr;
}

void Odirs_GetName(StrIn text, StrOut name) {
  std::string_view t = text.view();
  t.remove_prefix(std::min(t.size(), t.find_first_not_of(' ')));
  std::size_t end = 0;
  if (!t.empty() && t[0] == '"') {
    t.remove_prefix(1);
    end = t.find('"');
  } else {
    end = t.find(' ');
  }
  Strings_Assign(t.substr(0, end), name);
}

Odirs_NameEntry* Odirs_SearchName(Odirs_NameList list, StrIn name) {
  char entryName[128];
  for (Odirs_NameEntry* e = list; e != nullptr; e = e->next) {
    Odirs_GetName(e->text, entryName);
    if (Strings_Equal(entryName, name)) return e;
  }
  return nullptr;
}

void Odirs_SortedInsert(Odirs_NameList& list, StrIn text, bool selected) {
  Odirs_NameEntry* e = Odirs_NNew();
  Strings_Assign(text, e->text);
  e->selected = selected;
  Odirs_NameEntry** at = &list;
  while (*at != nullptr && Strings_CompareStr(e->text, (*at)->text) >= 0) at = &(*at)->next;
  e->next = *at;
  *at = e;
}

Odirs_NameEntry* Odirs_Selected(Odirs_NameList list) {
  for (Odirs_NameEntry* e = list; e != nullptr; e = e->next) {
    if (e->selected) return e;
  }
  return nullptr;
}

void Odirs_DestroyNamelist(Odirs_NameList& list) {
  while (list != nullptr) {
    Odirs_NameEntry* e = list;
    list = e->next;
    Odirs_NDispose(e);
  }
}
