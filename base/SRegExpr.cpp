#include "SRegExpr.hpp"

#include <regex.h>

#include <cstring>
#include <string>

#include "UCommon.hpp"

struct SRegExpr_Rec {
  regex_t re;
  bool matchAll;
};

namespace {

SRegExpr_Rec matchAllRec{{}, true};

}  // namespace

void SRegExpr_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "SRegExpr");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
}

SRegExpr SRegExpr_Create(StrIn pattern) {
  SRegExpr handle = new SRegExpr_Rec{{}, false};
  if (::regcomp(&handle->re, pattern.str().c_str(), REG_EXTENDED | REG_NOSUB) != 0) {
    delete handle;
    return SRegExpr_Nil;
  }
  return handle;
}

bool SRegExpr_Match(SRegExpr handle, StrIn text) {
  if (handle == SRegExpr_Nil) return false;
  if (handle->matchAll) return true;
  // A text shorter than its capacity is already terminated; only a full one needs a copy.
  if (text.length() <= text.high()) return ::regexec(&handle->re, text.data(), 0, nullptr, 0) == 0;
  return ::regexec(&handle->re, text.str().c_str(), 0, nullptr, 0) == 0;
}

SRegExpr SRegExpr_MatchAll() { return &matchAllRec; }

void SRegExpr_Destroy(SRegExpr& handle) {
  if (handle == SRegExpr_Nil) return;
  if (!handle->matchAll) {
    ::regfree(&handle->re);
    delete handle;
  }
  handle = SRegExpr_Nil;
}

bool SRegExpr_IsMetachar(char ch) {
  return ch != '\0' && std::strchr(".*[]^$\\+?|()", ch) != nullptr;
}
