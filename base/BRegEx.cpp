#include "BRegEx.hpp"

#include <regex.h>

#include <cstdlib>
#include <new>
#include <string>

#include "Messages.hpp"
#include "Strings.hpp"
#include "UCommon.hpp"

struct RegCompiled {
  regex_t re;
};

struct RegMatchArray {
  std::size_t count;
  regmatch_t* pairs;
};

namespace {

int regError = 0;
int regErrno = 0;

int CompFlags(int flags) {
  int f = 0;
  if (flags & regExtended) f |= REG_EXTENDED;
  if (flags & regIgnoreCase) f |= REG_ICASE;
  if (flags & regNewline) f |= REG_NEWLINE;
  if (flags & regNoSub) f |= REG_NOSUB;
  return f;
}

int ExecFlags(int flags) {
  int f = 0;
  if (flags & regNotBol) f |= REG_NOTBOL;
  if (flags & regNotEol) f |= REG_NOTEOL;
  return f;
}

// Makes sure matches holds at least n pairs; false when memory ran out.
bool Reserve(RegMatches& matches, std::size_t n) {
  if (matches != regMatchNil && matches->count >= n) return true;
  auto* pairs = static_cast<regmatch_t*>(std::calloc(n, sizeof(regmatch_t)));
  if (pairs == nullptr) return false;
  if (matches == regMatchNil) {
    matches = new (std::nothrow) RegMatchArray{0, nullptr};
    if (matches == regMatchNil) {
      std::free(pairs);
      return false;
    }
  }
  std::free(matches->pairs);
  matches->pairs = pairs;
  matches->count = n;
  return true;
}

}  // namespace

void BRegEx_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "BRegEx");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  Messages_Init();
}

Reg RegComp(const char* pattern, int flags) {
  Reg regex = new RegCompiled;
  const int rc = ::regcomp(&regex->re, pattern, CompFlags(flags));
  regErrno = rc;
  if (rc == 0) {
    regError = 0;
    return regex;
  }
  char why[256];
  ::regerror(rc, &regex->re, why, sizeof why);
  delete regex;
  regError = 3;
  std::string info = std::string("::RegComp: ") + why + " in \"" + pattern + "\"";
  Messages_SupplyAdditionalInfo(info);
  Messages_Error("BRegEx", 3);
  return regNil;
}

bool RegExec(Reg regex, const char* text, std::size_t offset, std::size_t nmatch,
             RegMatches& matches, int flags) {
  regErrno = 0;
  if (regex == regNil) {
    regError = 3;
    return false;
  }
  if (nmatch > 0 && !Reserve(matches, nmatch)) {
    regError = 2;
    return false;
  }
  regmatch_t* pairs = nmatch > 0 ? matches->pairs : nullptr;
  for (std::size_t i = 0; i < nmatch; ++i) pairs[i].rm_so = pairs[i].rm_eo = -1;
  const int rc = ::regexec(&regex->re, text + offset, nmatch, pairs, ExecFlags(flags));
  if (rc == REG_NOMATCH) {
    regError = 0;
    return false;
  }
  if (rc != 0) {
    regErrno = rc;
    regError = 3;
    return false;
  }
  for (std::size_t i = 0; i < nmatch; ++i) {
    if (pairs[i].rm_so >= 0) {
      pairs[i].rm_so += static_cast<regoff_t>(offset);
      pairs[i].rm_eo += static_cast<regoff_t>(offset);
    }
  }
  regError = 0;
  return true;
}

bool RegExecPat(const char* pattern, const char* text, std::size_t nmatch, RegMatches& matches) {
  Reg regex = RegComp(pattern, regExtended);
  if (regex == regNil) return false;
  const bool found = RegExec(regex, text, 0, nmatch, matches, 0);
  RegFree(regex);
  return found;
}

bool RegMatch(Reg regex, const char* text) {
  RegMatches none = regMatchNil;
  const bool found = RegExec(regex, text, 0, 0, none, 0);
  if (!found) regError = 3;
  return found;
}

bool RegMatchPat(const char* pattern, const char* text) {
  Reg regex = RegComp(pattern, regExtended | regNoSub);
  if (regex == regNil) return false;
  const bool found = RegMatch(regex, text);
  RegFree(regex);
  return found;
}

std::size_t RegNSubs(Reg regex) { return regex == regNil ? 0 : regex->re.re_nsub + 1; }

void RegLimits(RegMatches matches, std::size_t i, long& start, long& end) {
  if (matches == regMatchNil || i >= matches->count) {
    start = end = -1;
    return;
  }
  start = matches->pairs[i].rm_so;
  end = matches->pairs[i].rm_eo;
}

void RegFree(Reg& regex) {
  if (regex == regNil) return;
  ::regfree(&regex->re);
  delete regex;
  regex = regNil;
}

void RegMatchFree(RegMatches& matches) {
  if (matches == regMatchNil) return;
  std::free(matches->pairs);
  delete matches;
  matches = regMatchNil;
}

int RegError() { return regError; }
int RegErrno() { return regErrno; }
