#include "CfConfig.hpp"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "BRegEx.hpp"
#include "DynStrIO.hpp"
#include "Env.hpp"
#include "FuFile.hpp"
#include "Messages.hpp"
#include "Msg.hpp"
#include "UCommon.hpp"

// The state of an iteration over sections or entries: the pattern (regNil matches
// everything) and where the next step starts.
template <class Rec>
struct CfIteration {
  bool hasPattern = false;
  std::string pattern;
  Reg regex = regNil;
  Rec* current = nullptr;
  bool fromStart = false;  // the next step begins at the first element
  bool begun = false;
};

struct CfEntryRec {
  CfEntryRec* next = nullptr;
  CfSectionRec* section = nullptr;
  long lineNo = 0;
  std::string name;
  std::string key;
  DS value = dsNil;
  void* slot = nullptr;
  bool used = false;
  bool linked = false;
};

struct CfSectionRec {
  CfSectionRec* next = nullptr;
  CfFileRec* file = nullptr;
  std::string name;
  std::string key;
  CfEntryRec* first = nullptr;
  CfEntryRec* last = nullptr;
  CfIteration<CfEntryRec> iteration;
  DS comment = dsNil;
  bool written = false;
  bool used = false;
  bool linked = false;
};

struct CfFileRec {
  DS fileName = dsNil;
  CfAttribsRec attribs;
  CfSectionRec* first = nullptr;
  CfSectionRec* last = nullptr;
  CfIteration<CfSectionRec> iteration;
};

namespace {

constexpr std::size_t kMaxName = 4094;
constexpr const char* kTruePattern = "true|on|yes|1";
constexpr const char* kFalsePattern = "false|off|no|0";
constexpr const char* kListSeparator = "[ \t]*,[ \t]*";
constexpr int kLastText = 22;  // the highest number with a text of its own

int cfError = 0;
int cfErrno = 0;

void Clear() {
  cfError = 0;
  cfErrno = 0;
}

void Keep(int n) {
  cfError = n;
  cfErrno = 0;
}

// The texts of this layer's reports live in their own catalogue, opened on first need.
void UseCatalogue() {
  static bool added = false;
  if (added) return;
  added = true;
  MsgIgnoreErrors(true);
  MsgUseMsgCat("LBASEmsg");
  MsgForgetErrorReasons();
  MsgIgnoreErrors(false);
}

void Report(int n, const std::string& info, int err = 0) {
  UseCatalogue();
  cfError = n;
  cfErrno = err;
  MsgSupplyAdditionalInfo(info.c_str());
  MsgError("CfgFile", static_cast<unsigned>(n));
}

bool IsWhite(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string Trim(std::string_view s) {
  while (!s.empty() && IsWhite(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsWhite(s.back())) s.remove_suffix(1);
  return std::string(s);
}

std::string KeyOf(std::string_view name, bool ignoreCase) {
  std::string key(name);
  if (ignoreCase) {
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return key;
}

const char* Text(DS ds) { return ds == dsNil ? "(null)" : DSStr(ds); }

// A copy of text in the default heap (whatever heap a source string lives in).
DS NewString(const char* text) { return DSCreateHStr(dsHeapNil, text, 0); }

CfAttribsRec Defaults() {
  CfAttribsRec a;
  const char* env = EnvGetZOLTENV();
  a.searchPath = env != nullptr ? env : "";
  a.defaultSectionName = "DEFAULTS";
  a.commentChar = '#';
  a.ignoreCaseSections = true;
  a.ignoreCaseEntries = true;
  a.markUsed = true;
  a.sectionPattern = "^[[]([^][]+)[]]$";
  a.entryPattern = "^([^=]+)=[\t ]*(.*)";
  a.nameOnlyPattern = "^[^=]+$";
  return a;
}

// Compiles a pattern inside an ignore bracket; one that does not compile is error 21.
Reg Compile(const std::string& pattern, int flags) {
  MsgIgnoreErrors(true);
  Reg regex = RegComp(pattern.c_str(), flags);
  MsgIgnoreErrors(false);
  MsgForgetErrorReasons();
  if (regex == regNil) Report(21, pattern);
  return regex;
}

// ---------------------------------------------------------------- lists

template <class Rec>
void ResetIteration(CfIteration<Rec>& it) {
  RegFree(it.regex);
  it = CfIteration<Rec>();
}

// Takes rec out of the list first..last; an iteration that stands on it steps back to its
// predecessor so that the next step still finds the element after it.
template <class Rec>
void Unlink(Rec*& first, Rec*& last, CfIteration<Rec>& it, Rec* rec) {
  Rec* before = nullptr;
  for (Rec* p = first; p != nullptr && p != rec; p = p->next) before = p;
  (before == nullptr ? first : before->next) = rec->next;
  if (last == rec) last = before;
  if (it.current == rec) {
    it.current = before;
    it.fromStart = before == nullptr;
  }
  rec->next = nullptr;
  rec->linked = false;
}

template <class Rec>
void Append(Rec*& first, Rec*& last, Rec* rec) {
  rec->next = nullptr;
  (last == nullptr ? first : last->next) = rec;
  last = rec;
  rec->linked = true;
}

void FreeEntry(CfEntryRec* e) {
  DSFree(&e->value);
  delete e;
}

void FreeSection(CfSectionRec* s) {
  for (CfEntryRec* e = s->first; e != nullptr;) {
    CfEntryRec* next = e->next;
    FreeEntry(e);
    e = next;
  }
  DSFree(&s->comment);
  ResetIteration(s->iteration);
  delete s;
}

CfSectionRec* MakeSection(CfFileRec* file, const char* name, DS comment) {
  auto* s = new CfSectionRec;
  s->file = file;
  s->name = Trim(name != nullptr ? name : "");
  s->key = KeyOf(s->name, file->attribs.ignoreCaseSections);
  s->comment = comment;
  return s;
}

CfEntryRec* MakeEntry(CfSectionRec* section, std::string_view name, const char* value,
                      long lineNo) {
  auto* e = new CfEntryRec;
  e->section = section;
  e->lineNo = lineNo;
  e->name = Trim(name);
  e->key = KeyOf(e->name, section->file->attribs.ignoreCaseEntries);
  if (value != nullptr) e->value = NewString(value);
  return e;
}

CfSectionRec* FindSection(CfFileRec* file, const std::string& key) {
  for (CfSectionRec* s = file->first; s != nullptr; s = s->next) {
    if (s->key == key) return s;
  }
  return nullptr;
}

// One step of an iteration: the next element whose name the pattern finds.
template <class Rec>
Rec* Step(Rec* first, CfIteration<Rec>& it, bool markUsed) {
  if (!it.begun) return nullptr;
  Rec* p = it.fromStart ? first : (it.current != nullptr ? it.current->next : nullptr);
  it.fromStart = false;
  while (p != nullptr && it.regex != regNil && !RegMatch(it.regex, p->name.c_str())) p = p->next;
  it.current = p;
  if (p != nullptr && markUsed) p->used = true;
  return p;
}

template <class Rec>
bool BeginIteration(CfIteration<Rec>& it, const char* pattern, bool ignoreCase) {
  ResetIteration(it);
  if (pattern != nullptr) {
    it.hasPattern = true;
    it.pattern = pattern;
  }
  if (pattern != nullptr && *pattern != '\0') {
    it.regex = Compile(pattern, regExtended | regNoSub | (ignoreCase ? regIgnoreCase : 0));
    if (it.regex == regNil) return false;
  }
  it.begun = true;
  it.fromStart = true;
  return true;
}

// ---------------------------------------------------------------- reading

// The compiled patterns of the attributes and the state of one reading.
struct Reader {
  CfFileRec* file;
  Reg section = regNil;
  Reg entry = regNil;
  Reg nameOnly = regNil;
  RegMatches matches = regMatchNil;
  CfSectionRec* current = nullptr;
  DS pending = dsNil;  // comment lines waiting for the next header

  ~Reader() {
    RegFree(section);
    RegFree(entry);
    RegFree(nameOnly);
    RegMatchFree(matches);
    DSFree(&pending);
  }

  bool Compile() {
    const CfAttribsRec& a = file->attribs;
    section = ::Compile(a.sectionPattern, regExtended);
    if (section != regNil) entry = ::Compile(a.entryPattern, regExtended);
    if (entry != regNil) nameOnly = ::Compile(a.nameOnlyPattern, regExtended | regNoSub);
    return nameOnly != regNil;
  }

  std::string Group(const std::string& line, std::size_t i) {
    long start = 0, end = 0;
    RegLimits(matches, i, start, end);
    if (start < 0 || end < start) return std::string();
    return line.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
  }

  // A header: its entries join an earlier section of the same key, if there is one.
  bool Header(const std::string& line) {
    if (!RegExec(section, line.c_str(), 0, 2, matches, 0)) {
      Report(12, line);
      return false;
    }
    const std::string name = Trim(Group(line, 1));
    CfSectionRec* s = FindSection(file, KeyOf(name, file->attribs.ignoreCaseSections));
    if (s == nullptr) {
      s = MakeSection(file, name.c_str(), pending);
      pending = dsNil;
      Append(file->first, file->last, s);
    } else if (pending != dsNil) {
      if (s->comment == dsNil) {
        s->comment = pending;
        pending = dsNil;
      } else {
        DSConcat(s->comment, pending, &s->comment);
        DSFree(&pending);
      }
    }
    current = s;
    return true;
  }

  bool Entry(const std::string& line, long lineNo) {
    if (current == nullptr) {
      const std::string& name = file->attribs.defaultSectionName;
      current = FindSection(file, KeyOf(name, file->attribs.ignoreCaseSections));
      if (current == nullptr) {
        current = MakeSection(file, name.c_str(), dsNil);
        Append(file->first, file->last, current);
      }
    }
    CfEntryRec* e;
    if (RegExec(entry, line.c_str(), 0, 3, matches, 0)) {
      e = MakeEntry(current, Group(line, 1), Group(line, 2).c_str(), lineNo);
    } else if (RegMatch(nameOnly, line.c_str())) {
      e = MakeEntry(current, line, nullptr, lineNo);
    } else {
      Report(9, line);
      return false;
    }
    Append(current->first, current->last, e);
    return true;
  }

  // Reads every logical line; false after the first error.
  bool Run(FILE* stream, const std::string& given) {
    if (!Compile()) return false;
    DS line = dsNil;
    long lineNo = 0, firstLine = 0;
    bool ok = true;
    while (ok &&
           DSXReadLine(stream, &line, &lineNo, &firstLine, file->attribs.commentChar, &pending)) {
      const std::string text(DSStr(line), static_cast<std::size_t>(DSLength(line)));
      if (text.empty()) continue;
      ok = text[0] == '[' ? Header(text) : Entry(text, firstLine);
    }
    DSFree(&line);
    if (ok && DSIOError() == 3) {
      Keep(1);  // the open quote has been reported by the line reader
      ok = false;
    } else if (ok && DSIOError() != 0) {
      Report(1, "::" + given, DSIOErrno());
      ok = false;
    }
    return ok;
  }
};

}  // namespace

void CfConfig_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "CfConfig");
  if (!init) return;
  UCommon_Init();
  DynStr_Init();
  DynStrIO_Init();
  BRegEx_Init();
  Msg_Init();
  Messages_Init();
  FuFile_Init();
  Env_Init();
}

CfAttribs CfGetDefaultAttribs() {
  Clear();
  return new CfAttribsRec(Defaults());
}

CfFile CfNewFile(const char* name, CfAttribs attribs) {
  Clear();
  auto* file = new CfFileRec;
  file->attribs = attribs != nullptr ? *attribs : Defaults();
  if (name != nullptr) file->fileName = NewString(name);
  return file;
}

CfFile CfRead(const char* name, CfAttribs attribs) {
  Clear();
  std::string given = name != nullptr ? name : "";
  if (given.size() > kMaxName) given.resize(kMaxName);
  CfAttribsRec a = attribs != nullptr ? *attribs : Defaults();
  std::string path = given;
  if (given.find('/') == std::string::npos) {
    char found[kMaxName + 1];
    MsgIgnoreErrors(true);
    const bool ok = FuLookup(given.c_str(), a.searchPath.c_str(), F_OK, found, sizeof found);
    MsgIgnoreErrors(false);
    MsgForgetErrorReasons();
    if (!ok) {
      Report(2, "::" + given);
      return nullptr;
    }
    path = found;
  }
  FILE* stream = std::fopen(path.c_str(), "r");
  if (stream == nullptr) {
    Report(3, "::" + given, errno);
    return nullptr;
  }
  CfFile file = CfNewFile(path.c_str(), &a);
  bool ok;
  {
    Reader reader{file};
    ok = reader.Run(stream, given);
  }
  std::fclose(stream);
  if (!ok) {
    const int n = cfError, err = cfErrno;
    CfDestroy(&file);
    cfError = n;
    cfErrno = err;
    return nullptr;
  }
  Clear();
  return file;
}

void CfDestroy(CfFile* file) {
  Clear();
  if (*file == nullptr) return;
  for (CfSectionRec* s = (*file)->first; s != nullptr;) {
    CfSectionRec* next = s->next;
    FreeSection(s);
    s = next;
  }
  DSFree(&(*file)->fileName);
  ResetIteration((*file)->iteration);
  delete *file;
  *file = nullptr;
}

void CfDestroy(CfAttribs* attribs) {
  Clear();
  delete *attribs;
  *attribs = nullptr;
}

CfFile CfFileNil() {
  Clear();
  return nullptr;
}

CfSection CfSectionNil() { return nullptr; }

CfEntry CfEntryNil() { return nullptr; }

// ---------------------------------------------------------------- building in memory

CfSection CfNewSection(CfFile file, const char* name, const char* comment) {
  Clear();
  return MakeSection(file, name, comment != nullptr ? NewString(comment) : dsNil);
}

void CfAddSection(CfSection section) {
  Clear();
  if (section == nullptr || section->linked) return;
  Append(section->file->first, section->file->last, section);
  section->written = true;
}

void CfDelSection(CfSection* section) {
  Clear();
  CfSection s = *section;
  if (s == nullptr) return;
  if (s->linked) Unlink(s->file->first, s->file->last, s->file->iteration, s);
  FreeSection(s);
  *section = nullptr;
}

CfEntry CfNewEntry(CfSection section, const char* name, const char* value, long lineNo) {
  Clear();
  return MakeEntry(section, name != nullptr ? name : "", value, lineNo);
}

void CfAddEntry(CfEntry entry) {
  Clear();
  if (entry == nullptr || entry->linked) return;
  Append(entry->section->first, entry->section->last, entry);
  entry->section->written = true;
}

void CfDelEntry(CfEntry* entry) {
  Clear();
  CfEntry e = *entry;
  if (e == nullptr) return;
  CfSectionRec* s = e->section;
  if (e->linked) {
    Unlink(s->first, s->last, s->iteration, e);
    s->written = true;
  }
  FreeEntry(e);
  *entry = nullptr;
}

// ---------------------------------------------------------------- sections

CfSection CfGetExactSection(CfFile file, const char* name) {
  Clear();
  if (file == nullptr) {
    Keep(22);
    return nullptr;
  }
  CfSectionRec* s =
      FindSection(file, KeyOf(Trim(name != nullptr ? name : ""), file->attribs.ignoreCaseSections));
  if (s == nullptr) {
    Keep(22);
    return nullptr;
  }
  if (file->attribs.markUsed) s->used = true;
  return s;
}

CfSection CfGetFirstSection(CfFile file, const char* pattern) {
  Clear();
  if (file == nullptr) return nullptr;
  if (!BeginIteration(file->iteration, pattern, file->attribs.ignoreCaseSections)) return nullptr;
  return Step(file->first, file->iteration, file->attribs.markUsed);
}

CfSection CfGetNextSection(CfFile file) {
  Clear();
  if (file == nullptr) return nullptr;
  return Step(file->first, file->iteration, file->attribs.markUsed);
}

const char* CfGetSectionName(CfSection section) {
  Clear();
  return section != nullptr ? section->name.c_str() : nullptr;
}

const char* CfGetSectionComment(CfSection section) {
  Clear();
  return section != nullptr && section->comment != dsNil ? DSStr(section->comment) : nullptr;
}

bool CfGetSectionUsed(CfSection section) {
  Clear();
  return section != nullptr && section->used;
}

void CfSetSectionUsed(CfSection section, bool used) {
  Clear();
  if (section != nullptr) section->used = used;
}

bool CfGetSectionWritten(CfSection section) {
  Clear();
  return section != nullptr && section->written;
}

// ---------------------------------------------------------------- entries

CfEntry CfGetExactEntry(CfSection section, const char* name) {
  Clear();
  if (section == nullptr) {
    Keep(6);
    return nullptr;
  }
  const std::string wanted = Trim(name != nullptr ? name : "");
  const std::string key = KeyOf(wanted, section->file->attribs.ignoreCaseEntries);
  CfEntryRec* found = section->first;
  while (found != nullptr && found->key != key) found = found->next;
  if (found == nullptr) {
    Keep(6);
    return nullptr;
  }
  if (section->file->attribs.markUsed) found->used = true;
  for (CfEntryRec* e = found->next; e != nullptr; e = e->next) {
    if (e->key == key) {
      Report(13, "::CfGetExactEntry: " + wanted + " again in line " + std::to_string(e->lineNo));
      break;
    }
  }
  return found;
}

CfEntry CfGetFirstEntry(CfSection section, const char* pattern) {
  Clear();
  if (section == nullptr) return nullptr;
  const CfAttribsRec& a = section->file->attribs;
  if (!BeginIteration(section->iteration, pattern, a.ignoreCaseEntries)) return nullptr;
  return Step(section->first, section->iteration, a.markUsed);
}

CfEntry CfGetNextEntry(CfSection section) {
  Clear();
  if (section == nullptr) return nullptr;
  return Step(section->first, section->iteration, section->file->attribs.markUsed);
}

const char* CfGetEntryName(CfEntry entry) {
  Clear();
  return entry != nullptr ? entry->name.c_str() : nullptr;
}

bool CfGetEntryUsed(CfEntry entry) {
  Clear();
  return entry != nullptr && entry->used;
}

void CfSetEntryUsed(CfEntry entry, bool used) {
  Clear();
  if (entry != nullptr) entry->used = used;
}

long CfGetLineNo(CfEntry entry) {
  Clear();
  return entry != nullptr ? entry->lineNo : 0;
}

DS CfGetRawValue(CfEntry entry) {
  Clear();
  return entry != nullptr ? entry->value : dsNil;
}

void CfSetRawValue(CfEntry entry, DS ds) {
  Clear();
  if (entry == nullptr) return;
  if (ds != dsNil) DSIncRef(ds);
  DSFree(&entry->value);
  entry->value = ds;
  entry->section->written = true;
}

void CfAssignToRawValue(CfEntry entry, DS ds) {
  Clear();
  if (entry == nullptr) return;
  if (entry->value == dsNil) {
    entry->value = DSCreateH(dsHeapNil, ds, 0);
  } else {
    DSAssign(ds, &entry->value);
  }
  entry->section->written = true;
}

void CfAssignFromRawValue(CfEntry entry, DS* ds) {
  Clear();
  if (entry == nullptr || entry->value == dsNil) {
    DSFree(ds);
  } else {
    DSAssign(entry->value, ds);
  }
}

void CfAssignStrFromRawValue(CfEntry entry, char* buffer, std::size_t n) {
  Clear();
  DSToStr(entry != nullptr ? entry->value : dsNil, buffer, static_cast<long>(n));
}

void* CfGetValue(CfEntry entry) {
  Clear();
  return entry != nullptr ? entry->slot : nullptr;
}

void CfSetValue(CfEntry entry, void* value) {
  Clear();
  if (entry != nullptr) entry->slot = value;
}

// ---------------------------------------------------------------- typed getters

namespace {

// The entry of a getter when it has a value; nullptr otherwise (error 6 or 20 kept).
CfEntryRec* ValueEntry(CfSection section, const char* name) {
  CfEntryRec* e = CfGetExactEntry(section, name);
  if (e != nullptr && e->value == dsNil) {
    Keep(20);
    return nullptr;
  }
  return e;
}

template <class T, class Convert>
long ListFromCfg(CfSection section, const char* name, std::vector<T>& array, Convert convert) {
  array.clear();
  CfEntryRec* e = ValueEntry(section, name);
  if (e == nullptr) return 0;
  DS* words = nullptr;
  const long count = DSShWords(e->value, kListSeparator, &words, 1);
  if (count < 0) {
    Report(19, name);
    return 0;
  }
  array.reserve(static_cast<std::size_t>(count));
  for (long i = 0; i < count; ++i) array.push_back(convert(DSStr(words[i])));
  DSFreeArr(&words);
  return count;
}

}  // namespace

void CfDynStrFromCfg(CfSection section, const char* name, DS* ds, const char* defaultText) {
  if (CfEntryRec* e = ValueEntry(section, name)) {
    DSAssign(e->value, ds);
  } else if (defaultText != nullptr) {
    DSAssignStr(defaultText, ds);
  } else {
    DSFree(ds);
  }
}

void CfDynStrFromCfg1(CfSection section, const char* name, DS* ds, DS defaultDs) {
  if (CfEntryRec* e = ValueEntry(section, name)) {
    DSAssign(e->value, ds);
  } else if (defaultDs != dsNil) {
    DSAssign(defaultDs, ds);
  } else {
    DSFree(ds);
  }
}

void CfStrFromCfg(CfSection section, const char* name, char* buffer, std::size_t n,
                  const char* defaultText) {
  if (CfEntryRec* e = ValueEntry(section, name)) {
    DSToStr(e->value, buffer, static_cast<long>(n));
  } else if (n > 0) {
    const char* text = defaultText != nullptr ? defaultText : "";
    const std::size_t len = std::min(std::strlen(text), n - 1);
    std::memmove(buffer, text, len);
    buffer[len] = '\0';
  }
}

long CfLongFromCfg(CfSection section, const char* name, long defaultValue) {
  CfEntryRec* e = ValueEntry(section, name);
  return e != nullptr ? std::strtol(DSStr(e->value), nullptr, 0) : defaultValue;
}

int CfIntFromCfg(CfSection section, const char* name, int defaultValue) {
  return static_cast<int>(CfLongFromCfg(section, name, defaultValue));
}

unsigned long CfULongFromCfg(CfSection section, const char* name, unsigned long defaultValue) {
  CfEntryRec* e = ValueEntry(section, name);
  return e != nullptr ? std::strtoul(DSStr(e->value), nullptr, 0) : defaultValue;
}

unsigned CfUintFromCfg(CfSection section, const char* name, unsigned defaultValue) {
  return static_cast<unsigned>(CfULongFromCfg(section, name, defaultValue));
}

unsigned CfCardFromCfg(CfSection section, const char* name, unsigned defaultValue) {
  return CfUintFromCfg(section, name, defaultValue);
}

double CfRealFromCfg(CfSection section, const char* name, double defaultValue) {
  CfEntryRec* e = ValueEntry(section, name);
  return e != nullptr ? std::strtod(DSStr(e->value), nullptr) : defaultValue;
}

char CfCharFromCfg(CfSection section, const char* name, char defaultValue) {
  CfEntryRec* e = ValueEntry(section, name);
  if (e == nullptr) return defaultValue;
  if (DSLength(e->value) != 1) {
    Report(15, name);
    return defaultValue;
  }
  return DSGetChar(e->value, 0);
}

bool CfBoolFromCfg(CfSection section, const char* name, bool defaultValue) {
  CfEntryRec* e = CfGetExactEntry(section, name);
  if (e == nullptr) return defaultValue;
  if (e->value == dsNil) return true;
  DS lower = dsNil;
  DSToLower(e->value, &lower);
  const bool isTrue = DSMatchPat(lower, kTruePattern);
  const bool isFalse = !isTrue && DSMatchPat(lower, kFalsePattern);
  DSFree(&lower);
  if (isTrue || isFalse) return isTrue;
  Report(14, name);
  return defaultValue;
}

long CfIntArrFromCfg(CfSection section, const char* name, std::vector<std::int32_t>& array) {
  return ListFromCfg(section, name, array, [](const char* word) {
    return static_cast<std::int32_t>(std::strtol(word, nullptr, 10));
  });
}

long CfRealArrFromCfg(CfSection section, const char* name, std::vector<double>& array) {
  return ListFromCfg(section, name, array,
                     [](const char* word) { return std::strtod(word, nullptr); });
}

// ---------------------------------------------------------------- diagnostics

void CfDumpConfig(CfFile file, FILE* stream, bool unusedOnly) {
  if (file == nullptr) return;
  auto flag = [](bool b) { return b ? "TRUE" : "FALSE"; };
  std::fprintf(stream, "\nFILE\n");
  std::fprintf(stream, "cfFileName = %s\n", Text(file->fileName));
  for (CfSectionRec* s = file->first; s != nullptr; s = s->next) {
    std::fprintf(stream, "\nSECTION\n");
    std::fprintf(stream, "  sectionName    '%s'\n", s->name.c_str());
    if (s->iteration.hasPattern) {
      std::fprintf(stream, "  entryRexPat    '%s'\n", s->iteration.pattern.c_str());
    }
    std::fprintf(stream, "  comment        '%s'\n", Text(s->comment));
    std::fprintf(stream, "  written        %s\n", flag(s->written));
    std::fprintf(stream, "  used           %s\n", flag(s->used));
    std::fprintf(stream, "\n");
    for (CfEntryRec* e = s->first; e != nullptr; e = e->next) {
      if (unusedOnly && e->used) continue;
      std::fprintf(stream, "ENTRY\n");
      std::fprintf(stream, "  lineNo       %ld\n", e->lineNo);
      std::fprintf(stream, "  entryName    '%s'\n", e->name.c_str());
      std::fprintf(stream, "  rawValue     '%s'\n", Text(e->value));
      std::fprintf(stream, "  used         %s\n", flag(e->used));
    }
  }
}

int CfError() { return cfError; }

int CfErrno() { return cfErrno; }

void CfStrError(int n, char* buffer, std::size_t size) {
  if (size == 0) return;
  UseCatalogue();
  const unsigned number = n < 0 || n > kLastText ? 2u : static_cast<unsigned>(n);
  MsgGetMessage("CfgFile", number, buffer, size - 1);
  buffer[size - 1] = '\0';
}
