#include "SFilMisc.hpp"

#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "DirAcces.hpp"
#include "Processe.hpp"
#include "StringOp.hpp"
#include "Strings.hpp"
#include "UCommon.hpp"

namespace {

constexpr std::size_t kMaxFileName = 254;
constexpr std::string_view kUnresolvedTmp = "${TMP}";

unsigned tmpCounter = 0;

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EndsWithNoCase(std::string_view s, std::string_view end) {
  if (end.size() > s.size()) return false;
  std::string_view tail = s.substr(s.size() - end.size());
  for (std::size_t i = 0; i < end.size(); ++i) {
    if (AsciiLower(tail[i]) != AsciiLower(end[i])) return false;
  }
  return true;
}

// Index where the last path component begins.
std::size_t ComponentStart(std::string_view name) {
  std::size_t slash = name.rfind('/');
  return slash == std::string_view::npos ? 0 : slash + 1;
}

std::string_view Suffix(std::string_view name) {
  std::size_t start = ComponentStart(name);
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot <= start) return {};
  return name.substr(dot);
}

bool IsDigits(std::string_view s, std::size_t from, std::size_t count) {
  if (s.size() < from + count) return false;
  for (std::size_t i = from; i < from + count; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
  }
  return true;
}

std::string_view FileNameOf(std::string_view path) { return path.substr(ComponentStart(path)); }

}  // namespace

void SFilMisc_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "SFilMisc");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  StringOp_Init();
  DirAcces_Init();
  Processe_Init();
}

void SFilMisc_SuffixOf(StrIn name, StrOut suffix) {
  std::string copy = name.str();
  Strings_Assign(Suffix(copy), suffix);
}

bool SFilMisc_HasSuffix(StrIn name) { return !Suffix(name.view()).empty(); }

bool SFilMisc_HasRightSuffix(StrIn name, StrIn suffix) {
  std::string_view s = Suffix(name.view());
  return !s.empty() && s == suffix.view();
}

void SFilMisc_StripExtension(StrOut name, StrIn ext) {
  std::string_view e = ext.view();
  if (e.empty() || !EndsWithNoCase(name.view(), e)) return;
  name.data()[name.length() - e.size()] = '\0';
}

void SFilMisc_StripSuffix(StrOut name, StrIn suffix) { SFilMisc_StripExtension(name, suffix); }

void SFilMisc_StripAnySuffix(StrOut name) {
  std::size_t n = Suffix(name.view()).size();
  if (n > 0) name.data()[name.length() - n] = '\0';
}

void SFilMisc_RequireExtension(StrOut path, StrIn ext) {
  std::string all = std::string(path.view());
  std::size_t start = ComponentStart(all);
  std::string dir = all.substr(0, start);
  std::string file = all.substr(start);
  std::string e = ext.str();
  if (!e.empty() && EndsWithNoCase(file, e)) file.resize(file.size() - e.size());
  std::size_t room = e.size() >= kMaxFileName ? 0 : kMaxFileName - e.size();
  if (file.size() > room) file.resize(room);
  Strings_Assign(dir + file + e, path);
}

void SFilMisc_RequireSuffix(StrOut path, StrIn suffix) { SFilMisc_RequireExtension(path, suffix); }

void SFilMisc_EscapeShMetaChars(StrOut s) {
  std::string out;
  for (char c : s.view()) {
    if (StringOp_IsShellMetaChar(c)) out += '\\';
    out += c;
  }
  Strings_Assign(out, s);
}

void SFilMisc_UnescapeShMetaChars(StrOut s) {
  std::string_view in = s.view();
  std::string out;
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '\\' && i + 1 < in.size() && StringOp_IsShellMetaChar(in[i + 1])) ++i;
    out += in[i];
  }
  Strings_Assign(out, s);
}

void SFilMisc_GetArg(StrOut s, StrOut arg) {
  std::string_view in = s.view();
  std::size_t i = 0;
  while (i < in.size() && StringOp_IsWhite(in[i])) ++i;
  std::string word;
  if (i < in.size() && in[i] == '"') {
    std::size_t close = in.find('"', i + 1);
    if (close == std::string_view::npos) close = in.size();
    word = std::string(in.substr(i + 1, close - i - 1));
    i = close < in.size() ? close + 1 : close;
  } else {
    std::size_t end = i;
    while (end < in.size() && !StringOp_IsWhite(in[end])) ++end;
    word = std::string(in.substr(i, end - i));
    i = end;
  }
  while (i < in.size() && StringOp_IsWhite(in[i])) ++i;
  std::string rest(in.substr(i));
  Strings_Assign(word, arg);
  Strings_Assign(rest, s);
}

void SFilMisc_ChMod(StrIn path, StrIn mode) {
  unsigned value = 0;
  for (char c : mode.view()) {
    if (c < '0' || c > '7') break;
    value = value * 8 + static_cast<unsigned>(c - '0');
  }
  DirAcces_ChMod(path, value);
}

bool SFilMisc_Newer(StrIn a, StrIn b) {
  struct stat sa, sb;
  if (::stat(a.str().c_str(), &sa) != 0) return false;
  if (::stat(b.str().c_str(), &sb) != 0) return true;
  if (sa.st_mtim.tv_sec != sb.st_mtim.tv_sec) return sa.st_mtim.tv_sec > sb.st_mtim.tv_sec;
  return sa.st_mtim.tv_nsec > sb.st_mtim.tv_nsec;
}

void SFilMisc_CreateTmpNameWD(StrOut name, StrIn ext) {
  char machine[256];
  DirAcces_GetMachineName(machine);
  char head[64];
  std::snprintf(head, sizeof head, "T%06d-%05u-", Processe_GetPID(), tmpCounter++);
  std::string text = std::string(head) + std::string(StrIn(machine).view().substr(0, 16));
  Strings_Assign(text, name);
  if (!ext.view().empty()) SFilMisc_RequireExtension(name, ext);
}

namespace {

void TmpNameIn(unsigned special, std::string_view subdir, StrOut path, StrIn ext) {
  char name[1024];
  SFilMisc_CreateTmpNameWD(name, ext);
  char root[1024];
  DirAcces_GetSpecialPath(special, root);
  char dir[1024];
  DirAcces_IncludePath(root, subdir, dir);
  DirAcces_IncludePath(dir, name, path);
}

}  // namespace

void SFilMisc_CreateTmpName(StrOut path, StrIn ext) { TmpNameIn(DirAcces_tmpPath, "", path, ext); }

void SFilMisc_CreateUniqueVarName(StrOut path, StrIn ext) {
  TmpNameIn(DirAcces_datPath, "tmp", path, ext);
}

void SFilMisc_CreateUnresolvedTmpName(StrOut path, StrIn ext) {
  char name[1024];
  SFilMisc_CreateTmpNameWD(name, ext);
  DirAcces_IncludePath(kUnresolvedTmp, name, path);
}

bool SFilMisc_IsUnresolvedTmpDir(StrIn path) { return path.view().starts_with(kUnresolvedTmp); }

bool SFilMisc_IsTmpName(StrIn path) {
  std::string_view n = FileNameOf(path.view());
  return n.size() > 14 && n[0] == 'T' && IsDigits(n, 1, 6) && n[7] == '-' && IsDigits(n, 8, 5) &&
         n[13] == '-';
}

bool SFilMisc_IsOldTmpName(StrIn path) {
  std::string_view n = FileNameOf(path.view());
  return n.size() >= 7 && n[0] == 'T' && IsDigits(n, 1, 6);
}

void SFilMisc_IncludeZoltlibPath(StrIn relPath, StrOut path) {
  std::string_view rel = relPath.view();
  if (!rel.empty() && rel[0] == '/') rel.remove_prefix(1);
  DirAcces_IncludeSpecialPath(DirAcces_libPath, rel, path);
}
