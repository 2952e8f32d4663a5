#include "Oresourc.hpp"

#include <string>

#include "DirAcces.hpp"
#include "Odirs.hpp"
#include "SFilMisc.hpp"
#include "SRM.hpp"
#include "Strings.hpp"
#include "UCommon.hpp"
#include "Utility.hpp"

namespace {

// Every blank removed, wherever it stands.
void StripBlanks(StrIn in, StrOut out) {
  std::string s;
  for (char c : in.view()) {
    if (c != ' ') s += c;
  }
  Strings_Assign(s, out);
}

}  // namespace

void Oresourc_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "Oresourc");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  Utility_Init();
  DirAcces_Init();
  SFilMisc_Init();
  SRM_Init();
  Odirs_Init();
}

void Oresourc_OrderRes(StrIn orderPath, bool exclusive, StrOut resourceName) {
  Oresourc_Init();
  char path[1024];
  StripBlanks(orderPath, path);
  if (path[0] != '/') {
    char dir[1024], last[1024];
    DirAcces_ExcludePath(path, dir, last);
    DirAcces_IncludePath(Odirs_orderDir, last, path);
  }
  SFilMisc_RequireExtension(path, ".aif");
  Oresourc_BuildResource(path, exclusive, resourceName);
}

void Oresourc_BuildResource(StrIn path, bool exclusive, StrOut resourceName) {
  Oresourc_Init();
  char p[1024];
  StripBlanks(path, p);
  if (p[0] == '\0') {
    Strings_Assign("", resourceName);
    return;
  }
  char name[1024] = "*:";
  Strings_Concat(name, p, name);
  if (exclusive) {
    SRM_UpdateResource(name);
  } else {
    SRM_ReadResource(name);
  }
  Strings_Assign(name, resourceName);
}

bool Oresourc_Reserve(StrIn resourceName) {
  Oresourc_Init();
  for (int attempt = 1; attempt <= Oresourc_attempts; ++attempt) {
    if (attempt > 1) Utility_Delay(Oresourc_retryDelay);
    if (SRM_Reserve(resourceName, true)) return true;
  }
  return false;
}

void Oresourc_Release(StrIn resourceName) {
  Oresourc_Init();
  SRM_Release(resourceName);
}
