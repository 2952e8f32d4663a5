#include "Messages.hpp"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <unordered_map>
#include <vector>

#include "BStorage.hpp"
#include "Catalog.hpp"
#include "Msg.hpp"
#include "Processe.hpp"
#include "SPrintf.hpp"
#include "UCommon.hpp"

char Messages_message[5120];

namespace {

constexpr std::size_t kMaxReasons = 48;
constexpr unsigned kMaxLevel = 63;
constexpr std::size_t kShortInfo = 127;

enum Kind : unsigned char { kError = 0, kInfo = 1, kLongInfo = 2 };

struct Entry {
  Kind kind = kError;
  char section[16] = {};
  std::uint32_t number = 0;
  char info[kShortInfo + 1] = {};
  std::string longInfo;  // kind 2 only
};

// The reason stack and its brackets (process-wide).
Entry stack[kMaxReasons];
std::size_t depth = 0;
unsigned level = 0;
std::size_t levelDepth[kMaxLevel + 1] = {};
bool pushing = true;
bool crashed = false;
bool delayedFlush = false;

// The catalogue pool, most recently added first.
struct PoolEntry {
  char fileName[128];
  Catalog_Catalogue cat;
};
// The pools live as long as the process: no destructor at exit may cut them off from
// the catalogues they hold while termination procedures may still look texts up.
std::vector<PoolEntry>& pool = *new std::vector<PoolEntry>;
char nativeLanguage[4] = "eng";
std::unordered_map<std::string, std::vector<Catalog_Catalogue>>& foreignPools =
    *new std::unordered_map<std::string, std::vector<Catalog_Catalogue>>;
Catalog_Catalogue enumCatalogue = nullptr;

// --- the stack ---------------------------------------------------------------------

void PopEntry() {
  Entry& e = stack[--depth];
  e.longInfo.clear();
  e.longInfo.shrink_to_fit();
  for (std::size_t& mark : levelDepth) {
    if (mark > depth) mark = depth;
  }
}

void Flush() {
  while (depth > 0) PopEntry();
}

// Applies a pending delayed flush; the new top entry, or nullptr when the stack is full.
Entry* NewEntry() {
  if (delayedFlush) {
    Flush();
    delayedFlush = false;
  }
  if (depth == kMaxReasons) return nullptr;
  return &stack[depth];
}

void Pushed() { levelDepth[level] = ++depth; }

// --- texts -------------------------------------------------------------------------

void NotFound(StrIn section, std::uint32_t number, StrOut text) {
  Strings_Assign("*** ERROR (" + section.str() + ", " + std::to_string(number) +
                     ") : message text not found ***",
                 text);
}

// Asks the catalogues in order; the first that has (section, number) supplies the text.
template <typename Catalogues, typename Project>
bool LookUp(const Catalogues& cats, Project catalogueOf, StrIn section, std::uint32_t number,
            StrOut text) {
  for (const auto& c : cats) {
    const char* ref = Catalog_GetStringRef(catalogueOf(c), section, number);
    if (Catalog_catError == Catalog_ok) {
      Strings_Assign(StrIn::FromC(ref), text);
      return true;
    }
  }
  NotFound(section, number, text);
  return false;
}

Catalog_Catalogue PoolCatalogue(const PoolEntry& e) { return e.cat; }
Catalog_Catalogue Itself(Catalog_Catalogue cat) { return cat; }

std::string Text(StrIn section, std::uint32_t number) {
  char text[5120];
  Messages_GetMsg(section, number, text);
  return StrIn(text).str();
}

void CloseForeignPools() {
  for (auto& [lang, cats] : foreignPools) {
    for (Catalog_Catalogue& cat : cats) Catalog_CloseCatalogue(cat);
  }
  foreignPools.clear();
}

// The pool of language lang, opened on first use from the names of the native pool.
// Catalogues missing in that language are left out.
const std::vector<Catalog_Catalogue>& ForeignPool(const std::string& lang) {
  const auto known = foreignPools.find(lang);
  if (known != foreignPools.end()) return known->second;
  std::vector<Catalog_Catalogue> cats;
  {
    const Messages_Ignoring quiet;
    for (const PoolEntry& e : pool) {
      Catalog_Catalogue cat = Catalog_OpenForeignCatalogue(e.fileName, lang);
      if (cat != nullptr) cats.push_back(cat);
    }
    Messages_ForgetErrorReasons();
  }
  return foreignPools.emplace(lang, std::move(cats)).first->second;
}

// --- output ------------------------------------------------------------------------

void WriteAll(int fd, const std::string& text) {
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

// The last component of the program's invocation path, "???" when unknown.
std::string ProgramName() {
  const std::string_view path = program_invocation_name ? program_invocation_name : "";
  const std::string_view name = path.substr(path.find_last_of('/') + 1);
  return name.empty() ? "???" : std::string(name);
}

// The system's signal 7 asks for a post-mortem stop; in the local numbering of Linux it
// is 16 (SIGSTKFLT), elsewhere SIGEMT. Its default action ends the process.
int PostMortemSignal() {
#if defined(SIGSTKFLT)
  return SIGSTKFLT;
#elif defined(SIGEMT)
  return SIGEMT;
#else
  return SIGABRT;
#endif
}

void Terminate() {
  if (crashed) Messages_ShowError(2);
}

}  // namespace

void Messages_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "Messages");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  Catalog_Init();
  Processe_Init();
  BStorage_Init();
  SPrintf_Init();
  Msg_Init();
  Processe_InstallTerminationProcedure(Terminate);
  Catalog_GetLanguage(nativeLanguage, "eng");
  // A missing general catalogue is no reason to stop: its texts show as not found.
  {
    const Messages_Ignoring quiet;
    Messages_UseMsgCat("zoltmsg");
    Messages_UseMsgCat("zolterr");
    Messages_ForgetErrorReasons();
  }
  MsgPlugModula(
      Messages_message, sizeof Messages_message,
      MsgOperations{Messages_Error, Messages_IgnoreErrors, Messages_IgnoreLevel,
                    Messages_ErrorCount, Messages_ErrorReason, Messages_SupplyAdditionalInfo,
                    Messages_ForgetErrorReasons, Messages_UseMsgCat, Messages_GetMessage});
}

void Messages_Error(StrIn section, std::uint32_t number) {
  if (crashed) return;
  if (pushing) {
    if (Entry* e = NewEntry()) {
      e->kind = kError;
      Strings_Assign(section, e->section);
      e->number = number;
      Pushed();
    }
  }
  if (level > 0) return;

  // Fatal: nothing recorded from here on belongs to the chain.
  level = 1;
  pushing = false;
  char debug[16];
  const char* env = std::getenv("DEBUG");
  Strings_Assign(StrIn::FromC(env ? env : ""), debug);
  if (StrIn(debug).length() > 0) {
    Messages_ShowError(2);
    WriteAll(2, "DebugModeExit !\n");
    ::kill(::getpid(), PostMortemSignal());
  }
  crashed = true;
  Processe_SetExitStatus(2);
  Processe_Exit();
}

void Messages_IgnoreErrors(bool on) {
  if (on) {
    if (level == 0) delayedFlush = true;
    if (level == kMaxLevel) {
      level = 0;
      Messages_Error("Messages", 2);
      return;
    }
    levelDepth[++level] = depth;
  } else if (level > 0) {
    --level;
  } else {
    Messages_Error("Messages", 1);
  }
}

unsigned Messages_IgnoreLevel() { return level; }

unsigned Messages_ErrorCount(bool sinceLevel) {
  return static_cast<unsigned>(sinceLevel ? depth - levelDepth[level] : depth);
}

void Messages_ForgetErrorReasons() {
  if (crashed) return;
  while (depth > levelDepth[level]) PopEntry();
}

void Messages_SupplyAdditionalInfo(StrIn text) {
  if (!pushing) return;
  Entry* e = NewEntry();
  if (e == nullptr) return;
  const std::string_view t = text.view();
  if (t.size() <= kShortInfo) {
    e->kind = kInfo;
    Strings_Assign(t, e->info);
  } else {
    e->kind = kLongInfo;
    e->longInfo.assign(t);
  }
  Pushed();
}

bool Messages_ErrorReason(StrOut text) {
  if (depth == 0) {
    Strings_Assign("", text);
    return false;
  }
  const Entry& e = stack[depth - 1];
  switch (e.kind) {
    case kInfo:
      Strings_Assign("    " + StrIn(e.info).str(), text);
      break;
    case kLongInfo:
      Strings_Assign(e.longInfo, text);
      break;
    case kError: {
      const bool wasPushing = pushing;
      pushing = false;
      Messages_GetMsg(e.section, e.number, text);
      pushing = wasPushing;
      break;
    }
  }
  PopEntry();
  return true;
}

void Messages_ShowError(int file) {
  if (depth == 0) return;
  const bool wasPushing = pushing;
  pushing = false;
  std::string out = "\n" + Text("Messages", 100) + "\n";
  for (std::size_t i = depth; i-- > 0;) {
    const Entry& e = stack[i];
    switch (e.kind) {
      case kInfo:
        out += "\t" + StrIn(e.info).str() + "\n";
        break;
      case kLongInfo:
        out += "\t" + e.longInfo + "\n";
        break;
      case kError: {
        const std::string section = StrIn(e.section).str();
        std::string number = std::to_string(e.number);
        if (number.size() < 3) number.insert(0, 3 - number.size(), ' ');
        out += "  (" + section + ", " +
               std::string(section.size() < 8 ? 8 - section.size() : 0, ' ') + number +
               ") : " + Text(e.section, e.number) + "\n";
        break;
      }
    }
  }
  char trailer[5120];
  Messages_GetMsg("Messages", 103, trailer);
  if (Messages_IsUndefMessage(trailer)) {
    out += Text("Messages", 101);
  } else {
    SPrintf_String(trailer, ProgramName());
    out += StrIn(trailer).str();
  }
  out += "\n" + Text("Messages", 102) + "\n";
  Flush();
  pushing = wasPushing;
  WriteAll(file, Messages_ForOutput(file, out));
}

namespace {

bool UTF8Locale() {
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* v = std::getenv(name);
    if (v == nullptr || *v == '\0') continue;
    std::string lower(v);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower.find("utf-8") != std::string::npos || lower.find("utf8") != std::string::npos;
  }
  return false;
}

bool IsUTF8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const std::size_t n = c < 0x80         ? 1
                          : (c >> 5) == 6  ? 2
                          : (c >> 4) == 14 ? 3
                          : (c >> 3) == 30 ? 4
                                           : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return false;
    }
    i += n;
  }
  return true;
}

}  // namespace

std::string Messages_ForOutput(int fd, std::string_view text) {
  if (!::isatty(fd) || !UTF8Locale()) return std::string(text);
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size() - 1) + 1;
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end);
    if (IsUTF8(line)) {
      out.append(line);
      continue;
    }
    for (const char ch : line) {
      const auto c = static_cast<unsigned char>(ch);
      if (c < 0x80) {
        out.push_back(ch);
      } else {
        out.push_back(static_cast<char>(0xC0 | c >> 6));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
      }
    }
  }
  return out;
}

void Messages_TerminateIf(bool condition) {
  if (!condition) return;
  Messages_ShowError(2);
  Processe_SetExitStatus(1);
  Processe_Exit();
}

void Messages_UseMsgCat(StrIn name) {
  char fileName[128];
  Strings_Concat(name, ".srf", fileName);
  for (const PoolEntry& e : pool) {
    if (Strings_Equal(e.fileName, fileName)) return;
  }
  Catalog_Catalogue cat = Catalog_OpenCatalogue(fileName);
  if (cat == nullptr) {
    // The catalogue with the words for this may be the one missing: then the words
    // below stand in, so that the name and the places searched are always shown.
    std::string missing = Text("Catalog", 1), searched = Text("Catalog", 3);
    if (Messages_IsUndefMessage(missing)) missing = "Message catalogue missing: '";
    if (Messages_IsUndefMessage(searched)) searched = "Directories searched:";
    const char* separator = " ";
    for (const std::string& dir : Catalog_SearchedDirectories()) {
      searched += separator + dir;
      separator = ", ";
    }
    Messages_SupplyAdditionalInfo(searched);
    Messages_SupplyAdditionalInfo(missing + StrIn(fileName).str() + "'");
    Messages_Error("Catalog", 1);
    return;
  }
  PoolEntry entry{};
  Strings_Assign(fileName, entry.fileName);
  entry.cat = cat;
  pool.insert(pool.begin(), entry);
  // The other languages' pools follow the native one; they are rebuilt on next use.
  CloseForeignPools();
}

void Messages_ReloadAllMsgCats() {
  CloseForeignPools();
  enumCatalogue = nullptr;
  Catalog_GetLanguage(nativeLanguage, "eng");
  const Messages_Ignoring quiet;
  for (auto it = pool.begin(); it != pool.end();) {
    Catalog_CloseCatalogue(it->cat);
    it->cat = Catalog_OpenCatalogue(it->fileName);
    it = it->cat == nullptr ? pool.erase(it) : it + 1;
  }
  Messages_ForgetErrorReasons();
}

void Messages_GetMsg(StrIn section, std::uint32_t number, StrOut text) {
  LookUp(pool, PoolCatalogue, section, number, text);
}

void Messages_GetMessage(StrIn section, std::uint32_t number) {
  Messages_GetMsg(section, number, Messages_message);
}

bool Messages_GetForeignMsg(StrIn language, StrIn section, std::uint32_t number, StrOut text) {
  if (Strings_Equal(language, nativeLanguage))
    return LookUp(pool, PoolCatalogue, section, number, text);
  if (language.length() == 0) {
    NotFound(section, number, text);
    return false;
  }
  return LookUp(ForeignPool(language.str()), Itself, section, number, text);
}

void Messages_GetForeignMessage(StrIn language, StrIn section, std::uint32_t number) {
  Messages_GetForeignMsg(language, section, number, Messages_message);
}

bool Messages_IsUndefMessage() { return Messages_IsUndefMessage(Messages_message); }

bool Messages_IsUndefMessage(StrIn text) { return text.view().starts_with("*** ERROR ("); }

void Messages_StartSection(StrIn section) {
  enumCatalogue = nullptr;
  for (const PoolEntry& e : pool) {
    Catalog_StartSection(e.cat, section);
    if (Catalog_catError == Catalog_ok) {
      enumCatalogue = e.cat;
      return;
    }
  }
  Messages_SupplyAdditionalInfo(Text("Catalog", 2) + section.str() + "'");
  Messages_Error("Catalog", 6);
}

void Messages_NextMessage(std::uint32_t& number) {
  number = 0;
  const char* ref = enumCatalogue ? Catalog_NextStringRef(enumCatalogue, number) : nullptr;
  Strings_Assign(StrIn::FromC(ref ? ref : ""), Messages_message);
}
