#include "Env.hpp"

#include <cstdlib>
#include <optional>
#include <string>

#include "Catalog.hpp"
#include "DirAcces.hpp"
#include "Processe.hpp"
#include "UCommon.hpp"

namespace {

struct Kept {
  std::optional<std::string> zoltlib, zoltenv, zoltdat, language, distrib;
};
Kept kept;
std::optional<std::string> execName;

const char* Variable(std::optional<std::string>& slot, const char* name) {
  if (!slot) {
    char value[5120];
    DirAcces_EnvVar(StrIn::FromC(name), value);
    slot = value;
  }
  return slot->c_str();
}

}  // namespace

void Env_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "Env");
  if (!init) return;
  UCommon_Init();
  Catalog_Init();
  DirAcces_Init();
  Processe_Init();
}

const char* EnvGetZOLTLIB() { return Variable(kept.zoltlib, "ZOLTLIB"); }

const char* EnvGetZOLTENV() { return Variable(kept.zoltenv, "ZOLTENV"); }

const char* EnvGetZOLTDAT() { return Variable(kept.zoltdat, "ZOLTDAT"); }

const char* EnvGetLANGUAGE() {
  if (!kept.language) {
    char lang[64];
    Catalog_GetLanguage(lang, "eng");
    kept.language = lang;
  }
  return kept.language->c_str();
}

const char* EnvGetDistribDir() {
  if (!kept.distrib) {
    const std::string lib = EnvGetZOLTLIB();  // computing its default sets the variable
    const char* distrib = std::getenv("VELMAR_DISTRIBUTION");
    kept.distrib = distrib != nullptr && *distrib != '\0' ? distrib : lib;
  }
  return kept.distrib->c_str();
}

void EnvSetExecName(const char* name) { execName = name != nullptr ? name : ""; }

const char* EnvGetExecName() { return execName ? execName->c_str() : Processe_ProgramName(); }

void EnvReset() { kept = Kept{}; }
