#include "SrcFile.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BConvert.hpp"
#include "BFileIO.hpp"
#include "DirAcces.hpp"
#include "FileIO.hpp"
#include "Messages.hpp"
#include "Processe.hpp"
#include "SPrintf.hpp"
#include "StrHash.hpp"
#include "StringOp.hpp"
#include "Strings.hpp"
#include "UCommon.hpp"
#include "Utility.hpp"

std::uint8_t SrcFile_error = 0;

namespace {

constexpr std::string_view kGlobalPrefix = "[global]";
constexpr std::size_t kMaxFileKey = SrcFile_keySize - 1;
// Room for any number in its written form (a real of 1e308 has 309 digits before the point).
constexpr std::size_t kNumberSize = 400;
// The text handed to the message callback when an rc file exists but is write-protected.
constexpr std::uint32_t kReadOnlyWarning = 100;

// A value of any type, used for registry-owned storage and for the last saved value.
struct Value {
  bool b = false;
  std::uint8_t e = 0;
  std::uint32_t c = 0;
  std::int32_t i = 0;
  double r = 0.0;
  std::string s;
};

struct Entry {
  SrcFile_Type type = SrcFile_Type::boolean;
  void* var = nullptr;         // the program's variable, or &own's member
  std::size_t high = 0;        // HIGH bound of a string variable
  std::unique_ptr<Value> own;  // storage while the key is not defined
  Value last;
  SrcFile_CardValidator cardValidator = nullptr;
  SrcFile_IntValidator intValidator = nullptr;
  SrcFile_RealValidator realValidator = nullptr;
  SrcFile_StringValidator stringValidator = nullptr;
  void* validatorArg = nullptr;
  std::uint8_t maximum = 255;
  char description[SrcFile_descriptionSize] = {};
  bool defined = false;
  SrcFile_ChangeCallback callback = nullptr;
  void* callbackArg = nullptr;
};

StrHash table = StrHash_Nil;
char machineName[128];
std::string lastFile;  // the last rc file opened, named in errors 4 and 5
SrcFile_MessageCallback messageCallback = nullptr;
SrcFile_BeforeRenameHook beforeRename;
bool autoSaveInstalled = false;
unsigned autoSaveLocation = SrcFile_home;

void IgnoreMessage(StrIn) {}

bool IsString(SrcFile_Type t) { return t >= SrcFile_Type::string0; }

// String kinds share one type: a setting keeps the kind it was defined with.
bool SameType(SrcFile_Type a, SrcFile_Type b) { return a == b || (IsString(a) && IsString(b)); }

Entry* Find(StrIn key) { return StrHash_GetPointer<Entry>(table, key); }

// ---- Access to the bound variable ----

Value Current(const Entry& e) {
  Value v;
  switch (e.type) {
    case SrcFile_Type::boolean:
      v.b = *static_cast<bool*>(e.var);
      break;
    case SrcFile_Type::enumeration:
      v.e = *static_cast<std::uint8_t*>(e.var);
      break;
    case SrcFile_Type::cardinal:
      v.c = *static_cast<std::uint32_t*>(e.var);
      break;
    case SrcFile_Type::integer:
      v.i = *static_cast<std::int32_t*>(e.var);
      break;
    case SrcFile_Type::real:
      v.r = *static_cast<double*>(e.var);
      break;
    default:
      v.s = std::string(StrIn(static_cast<const char*>(e.var), e.high).view());
      break;
  }
  return v;
}

void Store(Entry& e, const Value& v) {
  switch (e.type) {
    case SrcFile_Type::boolean:
      *static_cast<bool*>(e.var) = v.b;
      break;
    case SrcFile_Type::enumeration:
      *static_cast<std::uint8_t*>(e.var) = v.e > e.maximum ? 0 : v.e;
      break;
    case SrcFile_Type::cardinal:
      *static_cast<std::uint32_t*>(e.var) = v.c;
      break;
    case SrcFile_Type::integer:
      *static_cast<std::int32_t*>(e.var) = v.i;
      break;
    case SrcFile_Type::real:
      *static_cast<double*>(e.var) = v.r;
      break;
    default:
      Strings_Assign(v.s, StrOut(static_cast<char*>(e.var), e.high));
      break;
  }
}

bool Equal(SrcFile_Type t, const Value& a, const Value& b) {
  switch (t) {
    case SrcFile_Type::boolean:
      return a.b == b.b;
    case SrcFile_Type::enumeration:
      return a.e == b.e;
    case SrcFile_Type::cardinal:
      return a.c == b.c;
    case SrcFile_Type::integer:
      return a.i == b.i;
    case SrcFile_Type::real:
      return a.r == b.r;
    default:
      return a.s == b.s;
  }
}

// Registry-owned storage for a key that was loaded but not defined.
void BindOwn(Entry& e) {
  e.own = std::make_unique<Value>();
  switch (e.type) {
    case SrcFile_Type::boolean:
      e.var = &e.own->b;
      break;
    case SrcFile_Type::enumeration:
      e.var = &e.own->e;
      break;
    case SrcFile_Type::cardinal:
      e.var = &e.own->c;
      break;
    case SrcFile_Type::integer:
      e.var = &e.own->i;
      break;
    case SrcFile_Type::real:
      e.var = &e.own->r;
      break;
    default:
      e.own->s.assign(SrcFile_stringSize, '\0');
      e.var = e.own->s.data();
      e.high = SrcFile_stringSize - 1;
      break;
  }
}

// ---- Definition ----

struct Definition {
  SrcFile_Type type;
  void* var;
  std::size_t high = 0;
  std::uint8_t maximum = 255;
  std::string_view description;
  SrcFile_CardValidator cardValidator = nullptr;
  SrcFile_IntValidator intValidator = nullptr;
  SrcFile_RealValidator realValidator = nullptr;
  SrcFile_StringValidator stringValidator = nullptr;
  void* arg = nullptr;
};

void Define(StrIn key, const Definition& d) {
  SrcFile_error = 0;
  Entry* e = Find(key);
  if (e != nullptr && e->defined) {
    Messages_SupplyAdditionalInfo(key);
    SrcFile_Error(1);
    return;
  }
  if (e != nullptr && !SameType(e->type, d.type)) {
    Messages_SupplyAdditionalInfo(key);
    SrcFile_Error(3);
    return;
  }
  if (e == nullptr) {
    auto fresh = std::make_unique<Entry>();
    e = fresh.release();
    StrHash_PutPointer(table, key, e);
    e->type = d.type;
    e->var = d.var;
    e->high = d.high;
    e->maximum = d.maximum;
    e->last = Current(*e);
  } else {
    Value loaded = Current(*e);
    e->type = d.type;
    e->var = d.var;
    e->high = d.high;
    e->maximum = d.maximum;
    Store(*e, loaded);
    e->own.reset();
    e->last = Current(*e);
  }
  e->defined = true;
  Strings_Assign(d.description, e->description);
  e->cardValidator = d.cardValidator;
  e->intValidator = d.intValidator;
  e->realValidator = d.realValidator;
  e->stringValidator = d.stringValidator;
  e->validatorArg = d.arg;
}

SrcFile_Type StringType(unsigned kind) {
  return static_cast<SrcFile_Type>(static_cast<unsigned>(SrcFile_Type::string0) + (kind & 3));
}

// ---- Queries and changes ----

// The entry of key when it is (defined or, for foreign queries, known) and of type t.
Entry* Checked(StrIn key, SrcFile_Type t, bool foreign) {
  SrcFile_error = 0;
  Entry* e = Find(key);
  if (e == nullptr || (!foreign && !e->defined)) {
    Messages_SupplyAdditionalInfo(key);
    SrcFile_Error(2);
    return nullptr;
  }
  bool fits =
      SameType(e->type, t) || (t == SrcFile_Type::cardinal && e->type == SrcFile_Type::enumeration);
  if (!fits) {
    Messages_SupplyAdditionalInfo(key);
    SrcFile_Error(3);
    return nullptr;
  }
  return e;
}

void Changed(Entry& e) {
  if (e.callback != nullptr) e.callback(e.callbackArg);
}

void Reject(StrIn key) {
  Messages_SupplyAdditionalInfo(key);
  SrcFile_Error(5);
}

void SetString(StrIn key, std::optional<unsigned> kind, StrIn s, bool callback) {
  Entry* e = Checked(key, SrcFile_Type::string0, false);
  if (e == nullptr) return;
  if (e->description[0] != '\0' && e->stringValidator != nullptr &&
      !e->stringValidator(s, e->validatorArg)) {
    Reject(key);
    return;
  }
  if (kind) e->type = StringType(*kind);
  Strings_Assign(s, StrOut(static_cast<char*>(e->var), e->high));
  if (callback) Changed(*e);
}

// ---- Files ----

std::string FileName(std::string_view program) {
  if (program.empty()) return ".velmarrc";
  return "." + std::string(program) + "rc";
}

std::string LocationDir(unsigned location) {
  char dir[1024];
  switch (location) {
    case SrcFile_customer:
      DirAcces_GetSpecialPath(DirAcces_customerPath, dir);
      break;
    case SrcFile_home: {
      const Messages_Ignoring quiet;
      DirAcces_EnvVar("HOME", dir);
    }
      Messages_ForgetErrorReasons();
      break;
    default:
      Strings_Assign(".", dir);
      break;
  }
  return std::string(StrIn(dir).view());
}

std::string LocationPath(unsigned location, const std::string& name) {
  char path[1024];
  DirAcces_IncludePath(LocationDir(location), name, path);
  return std::string(StrIn(path).view());
}

bool Exists(const std::string& path) { return DirAcces_Access(path, DirAcces_exists); }

BFileIO_File TryOpen(const std::string& path) {
  Messages_Ignoring quiet;
  BFileIO_File f = BFileIO_Open(path, FileIO_readOnly);
  quiet.Close();
  Messages_ForgetErrorReasons();
  return f;
}

void Close(BFileIO_File& f) {
  {
    const Messages_Ignoring quiet;
    BFileIO_Close(f);
  }
  Messages_ForgetErrorReasons();
}

// Opens path; while that fails and the file exists (someone is replacing it), retries
// every 100 milliseconds until waitMs are used up.
BFileIO_File OpenWaiting(const std::string& path, std::uint32_t waitMs) {
  BFileIO_File f = TryOpen(path);
  for (std::uint32_t waited = 0; f == BFileIO_Nil && waited < waitMs && Exists(path);
       waited += 100) {
    Utility_Delay(100);
    f = TryOpen(path);
  }
  return f;
}

bool IsEmpty(BFileIO_File f) {
  DirAcces_DirEntry entry;
  Messages_Ignoring quiet;
  DirAcces_FileStatF(BFileIO_FileDesc(f), entry);
  const bool empty = DirAcces_dirError != 0 || entry.size < 1;
  quiet.Close();
  Messages_ForgetErrorReasons();
  return empty;
}

// Opens path, or its ".backup" copy when path does not open or is empty.
BFileIO_File OpenRc(const std::string& path, std::uint32_t waitMs) {
  BFileIO_File f = OpenWaiting(path, waitMs);
  if (f != BFileIO_Nil && !IsEmpty(f)) {
    lastFile = path;
    return f;
  }
  if (f != BFileIO_Nil) Close(f);
  std::string backup = path + ".backup";
  f = OpenWaiting(backup, waitMs);
  if (f != BFileIO_Nil) lastFile = backup;
  return f;
}

std::string ReadAll(BFileIO_File f) {
  std::string text;
  char buffer[4096];
  {
    const Messages_Ignoring quiet;
    do {
      BFileIO_Read(f, buffer, sizeof buffer);
      text.append(buffer, BFileIO_bytesTransferred);
    } while (BFileIO_ioError == 0 && BFileIO_bytesTransferred > 0);
  }
  Messages_ForgetErrorReasons();
  return text;
}

// One parsed line of an rc file.
struct Line {
  SrcFile_Type type;
  std::string key;  // without prefix
  Value value;
};

enum class ParseResult { ignored, ok, bad };

std::string LeftStripped(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && StringOp_IsWhite(s[i])) ++i;
  return std::string(s.substr(i));
}

ParseResult ParseLine(std::string_view text, Line& line) {
  if (text.empty()) return ParseResult::ignored;
  const char* letter = std::strchr(SrcFile_typeLetters, text[0]);
  if (text[0] == '\0' || letter == nullptr) return ParseResult::ignored;
  line.type = static_cast<SrcFile_Type>(letter - SrcFile_typeLetters);
  if (text.size() < 2) return ParseResult::bad;
  std::string_view rest = text.substr(2);
  std::size_t eq = rest.find('=');
  if (eq == std::string_view::npos || eq == 0 || eq > kMaxFileKey) return ParseResult::bad;
  line.key = std::string(rest.substr(0, eq));
  if (line.key.find('\0') != std::string::npos) return ParseResult::bad;
  std::string_view valueText = rest.substr(eq + 1);
  if (IsString(line.type)) {
    // Stripped first: the blank of the written form "= value" is no part of the value.
    line.value.s = LeftStripped(valueText);
    if (line.value.s.size() > SrcFile_stringSize) line.value.s.resize(SrcFile_stringSize);
    std::size_t nul = line.value.s.find('\0');
    if (nul != std::string::npos) line.value.s.resize(nul);
    return ParseResult::ok;
  }
  // Numbers are read from a bounded copy; what follows the number is ignored.
  char number[kNumberSize];
  Strings_Assign(valueText.substr(0, sizeof number - 1), number);
  switch (line.type) {
    case SrcFile_Type::boolean: {
      std::string word = LeftStripped(valueText);
      if (word == "ON" || word == "TRUE") {
        line.value.b = true;
      } else if (word == "OFF" || word == "FALSE") {
        line.value.b = false;
      } else {
        return ParseResult::bad;
      }
      return ParseResult::ok;
    }
    case SrcFile_Type::enumeration:
    case SrcFile_Type::cardinal: {
      std::uint32_t c = 0;
      BConvert_StrToCard(number, c);
      if (!BConvert_done) return ParseResult::bad;
      line.value.c = c;
      line.value.e = c > 255 ? 0 : static_cast<std::uint8_t>(c);
      return ParseResult::ok;
    }
    case SrcFile_Type::integer: {
      std::int32_t i = 0;
      BConvert_StrToInt(number, i);
      if (!BConvert_done) return ParseResult::bad;
      line.value.i = i;
      return ParseResult::ok;
    }
    default: {
      double r = 0;
      BConvert_StrToReal(number, r);
      if (!BConvert_done) return ParseResult::bad;
      line.value.r = r;
      return ParseResult::ok;
    }
  }
}

void BadLine(std::string_view text) {
  char info[256];
  Strings_Concat("::SrcFile_Load: bad line: ", text.substr(0, 200), info);
  Messages_SupplyAdditionalInfo(info);
  SrcFile_Error(4);
}

// Enumeration values travel in c as read from the file.
void TakeValue(Entry& e, const Line& line) {
  Value v = line.value;
  if (e.type == SrcFile_Type::enumeration) v.e = line.value.c > e.maximum ? 0 : line.value.e;
  Store(e, v);
}

void Apply(const Line& line, std::string_view prefix, std::string_view text, bool strict) {
  // A key like "[x]y" names a setting of section x; a program's own file cannot hold it,
  // since saving puts it into the section's file. Taking it would move it there.
  if (prefix.empty() && line.key[0] == '[' && line.key.find(']') != std::string::npos) {
    if (strict) BadLine(text);
    return;
  }
  std::string key = std::string(prefix) + line.key;
  Entry* e = Find(key);
  if (e == nullptr) {
    e = new Entry;
    e->type = line.type;
    BindOwn(*e);
    StrHash_PutPointer(table, key, e);
    TakeValue(*e, line);
    e->last = Current(*e);
  } else if (SameType(e->type, line.type)) {
    TakeValue(*e, line);
    e->last = Current(*e);
  } else {
    if (strict) BadLine(text);
    return;
  }
  Changed(*e);
}

// Calls f with every line of text (without its line end) until f returns false.
template <class F>
void ForEachLine(std::string_view text, F f) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    if (!f(text.substr(pos, end - pos))) return;
    pos = end + 1;
  }
}

// The whole file at path; false when it cannot be opened.
bool ReadText(const std::string& path, std::string& text) {
  BFileIO_File f = TryOpen(path);
  if (f == BFileIO_Nil) return false;
  text = ReadAll(f);
  Close(f);
  return true;
}

void Parse(std::string_view text, std::string_view prefix, bool strict) {
  ForEachLine(text, [&](std::string_view lineText) {
    Line line;
    ParseResult r = ParseLine(lineText, line);
    if (r == ParseResult::bad && strict) {
      BadLine(lineText);
      return false;
    }
    if (r == ParseResult::ok) Apply(line, prefix, lineText, strict);
    return SrcFile_error == 0;
  });
}

void LoadFile(BFileIO_File f, bool global, bool strict) {
  std::string text = ReadAll(f);
  Close(f);
  SrcFile_LoadText(text, global, strict);
}

// ---- Writing ----

void FormatReal(double x, StrOut s) {
  Strings_Assign("", s);
  double m = x < 0 ? -x : x;
  if (m <= 0.9999999) {
    BConvert_RealToStr(s, x, 18, -1);
    return;
  }
  int decimals = m <= 9.999999   ? 13
                 : m <= 99.99999 ? 12
                 : m <= 999.9999 ? 11
                 : m <= 9999.999 ? 10
                                 : 9;
  BConvert_RealToStr(s, x, 15, decimals);
}

std::string FormatLine(const Entry& e, std::string_view key) {
  char letter = SrcFile_typeLetters[static_cast<unsigned>(e.type)];
  std::string out;
  out += letter;
  out += ' ';
  out += key;
  out += "= ";
  Value v = Current(e);
  char number[kNumberSize];
  number[0] = '\0';
  switch (e.type) {
    case SrcFile_Type::boolean:
      out += v.b ? "ON" : "OFF";
      break;
    case SrcFile_Type::enumeration:
      BConvert_CardToStr(number, v.e, 0);
      out += number;
      break;
    case SrcFile_Type::cardinal:
      BConvert_CardToStr(number, v.c, 0);
      out += number;
      break;
    case SrcFile_Type::integer:
      BConvert_IntToStr(number, v.i, 0);
      out += number;
      break;
    case SrcFile_Type::real:
      FormatReal(v.r, number);
      out += number;
      break;
    default:
      out += v.s;
      break;
  }
  out += '\n';
  return out;
}

// Splits a table key into its section ("[global]x" -> "global") and the key in the file.
void SplitKey(std::string_view full, std::string_view& section, std::string_view& key) {
  std::size_t close = full.find(']');
  if (!full.empty() && full[0] == '[' && close != std::string_view::npos) {
    section = full.substr(1, close - 1);
    key = full.substr(close + 1);
  } else {
    section = {};
    key = full;
  }
}

// Takes into the registry what another process saved meanwhile, for every setting this
// process has not changed since it was loaded or saved.
void Merge(const std::string& path, std::string_view prefix) {
  std::string text;
  if (!ReadText(path, text)) return;
  ForEachLine(text, [&](std::string_view lineText) {
    Line line;
    if (ParseLine(lineText, line) != ParseResult::ok) return true;
    Entry* e = Find(std::string(prefix) + line.key);
    if (e != nullptr && SameType(e->type, line.type) && Equal(e->type, Current(*e), e->last))
      TakeValue(*e, line);
    return true;
  });
}

// The lines of every setting of section, in the table's order; saved marks them as
// written (their last value becomes the current one).
std::string Lines(std::string_view section, bool saved) {
  std::string text;
  char key[SrcFile_keySize + 16];
  for (StrHash_Value v = StrHash_GetFirst(table, key); v != 0; v = StrHash_GetNext(table, key)) {
    Entry& e = *reinterpret_cast<Entry*>(v);
    std::string_view entrySection, fileKey;
    SplitKey(StrIn(key).view(), entrySection, fileKey);
    if (entrySection != section) continue;
    if (saved) e.last = Current(e);
    text += FormatLine(e, fileKey);
  }
  return text;
}

void Remove(const std::string& path) {
  {
    const Messages_Ignoring quiet;
    DirAcces_Remove(path);
  }
  Messages_ForgetErrorReasons();
}

// Writes text, flushes it to the disk and closes f; true when all of it got there.
bool WriteAndClose(BFileIO_File f, const std::string& text) {
  Messages_Ignoring quiet;
  BFileIO_Write(f, text.data(), text.size());
  bool ok = BFileIO_ioError == 0 && BFileIO_bytesTransferred == text.size();
  if (ok) BFileIO_Flush(f);
  if (ok) BFileIO_Sync(f);
  ok = ok && BFileIO_ioError == 0;
  BFileIO_Close(f);
  ok = ok && BFileIO_ioError == 0;
  quiet.Close();
  Messages_ForgetErrorReasons();
  return ok;
}

void SaveToFile(const std::string& name, std::string_view section, unsigned location) {
  SrcFile_error = 0;
  std::string path = LocationPath(location, name);
  lastFile = path;
  if (Exists(path) && !DirAcces_Access(path, DirAcces_writable)) {
    char text[1024];
    Messages_GetMsg("SrcFile", kReadOnlyWarning, text);
    SPrintf_String(text, path);
    messageCallback(StrIn(text));
  }
  char pid[32] = "";
  BConvert_IntToStr(pid, Processe_GetPID(), 0);
  std::string tmp = path + "." + StrIn(machineName).str() + "-" + StrIn(pid).str() + ".tmp";

  Messages_Ignoring quietCreate;
  BFileIO_File f = BFileIO_Create(tmp, FileIO_writeOnly);
  quietCreate.Close();
  Messages_ForgetErrorReasons();
  if (f == BFileIO_Nil) {
    Messages_SupplyAdditionalInfo(tmp);
    SrcFile_Error(5);
    return;
  }

  std::string prefix = section.empty() ? std::string() : "[" + std::string(section) + "]";
  Merge(path, prefix);

  if (!WriteAndClose(f, Lines(section, true))) {
    Remove(tmp);
    Messages_SupplyAdditionalInfo(tmp);
    SrcFile_Error(5);
    return;
  }
  {
    const Messages_Ignoring quiet;
    DirAcces_ChMod(tmp, 0666);
  }
  Messages_ForgetErrorReasons();
  if (beforeRename) beforeRename(tmp, path);
  Messages_Ignoring quietRename;
  DirAcces_AtomicRename(tmp, path);
  const bool renamed = DirAcces_dirError == 0;
  if (renamed) DirAcces_CopyFile(path, path + ".backup");
  quietRename.Close();
  Messages_ForgetErrorReasons();
  if (!renamed) {
    Remove(tmp);
    Messages_SupplyAdditionalInfo(path);
    SrcFile_Error(5);
  }
}

void LoadNamed(StrIn program, bool searched, unsigned location, bool strict) {
  SrcFile_error = 0;
  std::string name = FileName(program.view());
  bool global = program.view().empty();
  BFileIO_File f = BFileIO_Nil;
  if (searched) {
    f = OpenRc(name, 500);
    if (f == BFileIO_Nil) f = OpenRc(LocationPath(SrcFile_home, name), 1000);
    if (f == BFileIO_Nil) f = OpenRc(LocationPath(SrcFile_customer, name), 1000);
    if (f == BFileIO_Nil) return;
  } else {
    std::string path = LocationPath(location, name);
    f = OpenRc(path, 1000);
    if (f == BFileIO_Nil) {
      if (strict) {
        Messages_SupplyAdditionalInfo(path);
        SrcFile_Error(6);
      }
      return;
    }
  }
  LoadFile(f, global, strict);
}

void AutoSaveProc() { SrcFile_Save(autoSaveLocation); }

}  // namespace

void SrcFile_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "SrcFile");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  StringOp_Init();
  SPrintf_Init();
  BConvert_Init();
  Messages_Init();
  Processe_Init();
  DirAcces_Init();
  FileIO_Init();
  BFileIO_Init();
  StrHash_Init();
  Utility_Init();
  messageCallback = IgnoreMessage;
  table = StrHash_CreateTable(256);
  DirAcces_GetMachineName(machineName);
  SrcFile_Load("");
}

void SrcFile_Error(std::uint8_t n) {
  SrcFile_error = n;
  if ((n == 4 || n == 5) && !lastFile.empty()) Messages_SupplyAdditionalInfo(lastFile);
  Messages_Error("SrcFile", n);
}

// ---- Definition ----

void SrcFile_DefineBool(StrIn key, bool& b) { SrcFile_SDefineBool(key, "", b); }
void SrcFile_DefineCard(StrIn key, std::uint32_t& x) {
  SrcFile_SDefineCard(key, "", nullptr, nullptr, x);
}
void SrcFile_DefineInt(StrIn key, std::int32_t& x) {
  SrcFile_SDefineInt(key, "", nullptr, nullptr, x);
}
void SrcFile_DefineReal(StrIn key, double& x) { SrcFile_SDefineReal(key, "", nullptr, nullptr, x); }
void SrcFile_DefineString(StrIn key, StrOut s) {
  SrcFile_SDefineString(key, "", nullptr, nullptr, s);
}
void SrcFile_DefineEnum(StrIn key, std::uint8_t& e, std::uint8_t maximum) {
  SrcFile_SDefineEnum(key, "", 0, e, maximum);
}

void SrcFile_SDefineBool(StrIn key, StrIn description, bool& b) {
  Define(key, {.type = SrcFile_Type::boolean, .var = &b, .description = description.view()});
}
void SrcFile_SDefineCard(StrIn key, StrIn description, SrcFile_CardValidator validator, void* arg,
                         std::uint32_t& x) {
  Define(key, {.type = SrcFile_Type::cardinal,
               .var = &x,
               .description = description.view(),
               .cardValidator = validator,
               .arg = arg});
}
void SrcFile_SDefineInt(StrIn key, StrIn description, SrcFile_IntValidator validator, void* arg,
                        std::int32_t& x) {
  Define(key, {.type = SrcFile_Type::integer,
               .var = &x,
               .description = description.view(),
               .intValidator = validator,
               .arg = arg});
}
void SrcFile_SDefineReal(StrIn key, StrIn description, SrcFile_RealValidator validator, void* arg,
                         double& x) {
  Define(key, {.type = SrcFile_Type::real,
               .var = &x,
               .description = description.view(),
               .realValidator = validator,
               .arg = arg});
}
void SrcFile_SDefineString(StrIn key, StrIn description, SrcFile_StringValidator validator,
                           void* arg, StrOut s) {
  SrcFile_SDefineStringS(key, description, 0, validator, arg, s);
}
void SrcFile_SDefineStringS(StrIn key, StrIn description, unsigned kind,
                            SrcFile_StringValidator validator, void* arg, StrOut s) {
  std::size_t high = std::min(s.high(), SrcFile_stringSize - 1);
  Define(key, {.type = StringType(kind),
               .var = s.data(),
               .high = high,
               .description = description.view(),
               .stringValidator = validator,
               .arg = arg});
}
void SrcFile_SDefineEnum(StrIn key, StrIn description, std::uint8_t zero, std::uint8_t& e,
                         std::uint8_t maximum) {
  if (zero != 0) {
    SrcFile_error = 0;
    Messages_SupplyAdditionalInfo(key);
    SrcFile_Error(3);
    return;
  }
  Define(key, {.type = SrcFile_Type::enumeration,
               .var = &e,
               .maximum = maximum,
               .description = description.view()});
}

bool SrcFile_IsDefined(StrIn key) {
  SrcFile_error = 0;
  Entry* e = Find(key);
  return e != nullptr && e->defined;
}

void SrcFile_SUndefine(StrIn key) {
  SrcFile_error = 0;
  Entry* e = Find(key);
  if (e == nullptr) return;
  StrHash_DestroyEntry(table, key);
  delete e;
}

void SrcFile_UndefineI(StrIn key) {
  SrcFile_error = 0;
  Entry* e = Find(key);
  if (e == nullptr || !e->defined) {
    Messages_SupplyAdditionalInfo(key);
    SrcFile_Error(2);
    return;
  }
  SrcFile_SUndefine(key);
}

// ---- Queries ----

namespace {

bool QueryBool(StrIn key, bool foreign) {
  Entry* e = Checked(key, SrcFile_Type::boolean, foreign);
  return e != nullptr && *static_cast<bool*>(e->var);
}
std::uint32_t QueryCard(StrIn key, bool foreign) {
  Entry* e = Checked(key, SrcFile_Type::cardinal, foreign);
  if (e == nullptr) return 0;
  if (e->type == SrcFile_Type::enumeration) return *static_cast<std::uint8_t*>(e->var);
  return *static_cast<std::uint32_t*>(e->var);
}
std::int32_t QueryInt(StrIn key, bool foreign) {
  Entry* e = Checked(key, SrcFile_Type::integer, foreign);
  return e == nullptr ? 0 : *static_cast<std::int32_t*>(e->var);
}
double QueryReal(StrIn key, bool foreign) {
  Entry* e = Checked(key, SrcFile_Type::real, foreign);
  return e == nullptr ? 0.0 : *static_cast<double*>(e->var);
}
void QueryStringS(StrIn key, unsigned& kind, StrOut s, bool foreign) {
  Strings_Assign("", s);
  kind = 0;
  Entry* e = Checked(key, SrcFile_Type::string0, foreign);
  if (e == nullptr) return;
  kind = static_cast<unsigned>(e->type) - static_cast<unsigned>(SrcFile_Type::string0);
  Strings_Assign(StrIn(static_cast<const char*>(e->var), e->high), s);
}

}  // namespace

bool SrcFile_QueryBool(StrIn key) { return QueryBool(key, false); }
std::uint32_t SrcFile_QueryCard(StrIn key) { return QueryCard(key, false); }
std::int32_t SrcFile_QueryInt(StrIn key) { return QueryInt(key, false); }
double SrcFile_QueryReal(StrIn key) { return QueryReal(key, false); }
void SrcFile_QueryString(StrIn key, StrOut s) {
  unsigned kind;
  QueryStringS(key, kind, s, false);
}
void SrcFile_QueryStringS(StrIn key, unsigned& kind, StrOut s) {
  QueryStringS(key, kind, s, false);
}

bool SrcFile_QueryBoolForeignProcess(StrIn key) { return QueryBool(key, true); }
std::uint32_t SrcFile_QueryCardForeignProcess(StrIn key) { return QueryCard(key, true); }
std::int32_t SrcFile_QueryIntForeignProcess(StrIn key) { return QueryInt(key, true); }
double SrcFile_QueryRealForeignProcess(StrIn key) { return QueryReal(key, true); }
void SrcFile_QueryStringForeignProcess(StrIn key, StrOut s) {
  unsigned kind;
  QueryStringS(key, kind, s, true);
}
void SrcFile_QueryStringSForeignProcess(StrIn key, unsigned& kind, StrOut s) {
  QueryStringS(key, kind, s, true);
}

// ---- Changes ----

void SrcFile_SetBool(StrIn key, bool value) {
  Entry* e = Checked(key, SrcFile_Type::boolean, false);
  if (e == nullptr) return;
  *static_cast<bool*>(e->var) = value;
  Changed(*e);
}

void SrcFile_SetCard(StrIn key, std::uint32_t value) {
  Entry* e = Checked(key, SrcFile_Type::cardinal, false);
  if (e == nullptr) return;
  if (e->type == SrcFile_Type::enumeration) {
    if (value > e->maximum) {
      Reject(key);
      return;
    }
    *static_cast<std::uint8_t*>(e->var) = static_cast<std::uint8_t>(value);
  } else {
    if (e->description[0] != '\0' && e->cardValidator != nullptr &&
        !e->cardValidator(value, e->validatorArg)) {
      Reject(key);
      return;
    }
    *static_cast<std::uint32_t*>(e->var) = value;
  }
  Changed(*e);
}

void SrcFile_SetInt(StrIn key, std::int32_t value) {
  Entry* e = Checked(key, SrcFile_Type::integer, false);
  if (e == nullptr) return;
  if (e->description[0] != '\0' && e->intValidator != nullptr &&
      !e->intValidator(value, e->validatorArg)) {
    Reject(key);
    return;
  }
  *static_cast<std::int32_t*>(e->var) = value;
  Changed(*e);
}

void SrcFile_SetReal(StrIn key, double value) {
  Entry* e = Checked(key, SrcFile_Type::real, false);
  if (e == nullptr) return;
  if (e->description[0] != '\0' && e->realValidator != nullptr &&
      !e->realValidator(value, e->validatorArg)) {
    Reject(key);
    return;
  }
  *static_cast<double*>(e->var) = value;
  Changed(*e);
}

void SrcFile_SetString(StrIn key, StrIn s) { SetString(key, std::nullopt, s, true); }
void SrcFile_SetStringS(StrIn key, unsigned kind, StrIn s) { SetString(key, kind, s, true); }
void SrcFile_SetStringSnoCB(StrIn key, unsigned kind, StrIn s) { SetString(key, kind, s, false); }

void SrcFile_DefineICB(StrIn key, SrcFile_ChangeCallback callback, void* arg) {
  SrcFile_error = 0;
  Entry* e = Find(key);
  if (e == nullptr) {
    Messages_SupplyAdditionalInfo(key);
    SrcFile_Error(2);
    return;
  }
  e->callback = callback;
  e->callbackArg = arg;
}

void SrcFile_DefineMessageCallback(SrcFile_MessageCallback callback) {
  SrcFile_error = 0;
  messageCallback = callback != nullptr ? callback : IgnoreMessage;
}

// ---- Files ----

std::string SrcFile_SaveText(bool global) {
  SrcFile_error = 0;
  return Lines(global ? "global" : "", false);
}

void SrcFile_LoadText(std::string_view text, bool global, bool strict) {
  SrcFile_error = 0;
  Parse(text, global ? kGlobalPrefix : std::string_view(), strict);
}

void SrcFile_Load(StrIn program) { LoadNamed(program, true, 0, false); }

void SrcFile_LoadFromLocation(StrIn program, unsigned location) {
  LoadNamed(program, false, location, false);
}

void SrcFile_LoadFromLocationAndName(StrIn program, unsigned location) {
  LoadNamed(program, false, location, true);
}

void SrcFile_GetEntryFromLocation(StrIn program, unsigned location, StrIn key, StrOut value) {
  SrcFile_error = 0;
  Strings_Assign("", value);
  std::string text;
  if (!ReadText(LocationPath(location, FileName(program.view())), text)) return;
  std::string wanted = key.str() + "=";
  ForEachLine(text, [&](std::string_view line) {
    // The second word: after the type letter and the blanks that follow it.
    std::size_t start = line.find_first_not_of(" \t");
    if (start != std::string_view::npos) start = line.find_first_of(" \t", start);
    if (start != std::string_view::npos) start = line.find_first_not_of(" \t", start);
    if (start == std::string_view::npos || line.substr(start, wanted.size()) != wanted) return true;
    Strings_Assign(LeftStripped(line.substr(start + wanted.size())), value);
    return false;
  });
}

void SrcFile_Save(unsigned location) { SaveToFile(FileName(Processe_ProgramName()), "", location); }

void SrcFile_SaveGlobal(unsigned location) { SaveToFile(FileName(""), "global", location); }

void SrcFile_SaveToLocation(StrIn program, unsigned location) {
  bool global = program.view().empty();
  SaveToFile(FileName(program.view()), global ? "global" : "", location);
}

void SrcFile_AutoSave(unsigned location) {
  SrcFile_error = 0;
  autoSaveLocation = location;
  if (autoSaveInstalled) return;
  autoSaveInstalled = true;
  Processe_InstallTerminationProcedure(AutoSaveProc);
}

// ---- Defaults list ----

SrcFile_DefaultsList SrcFile_GetDefaultsList(StrIn excludedWords) {
  SrcFile_error = 0;
  std::vector<std::string> excluded;
  {
    std::string words = excludedWords.str();
    std::size_t pos = 0;
    while ((pos = words.find_first_not_of(' ', pos)) != std::string::npos) {
      std::size_t end = words.find(' ', pos);
      if (end == std::string::npos) end = words.size();
      excluded.push_back(words.substr(pos, end - pos));
      pos = end;
    }
  }
  std::vector<SrcFile_DefaultsEntry*> items;
  char key[SrcFile_keySize + 16];
  for (StrHash_Value v = StrHash_GetFirst(table, key); v != 0; v = StrHash_GetNext(table, key)) {
    const Entry& e = *reinterpret_cast<const Entry*>(v);
    std::string_view description = StrIn(e.description).view();
    if (description.empty()) continue;
    bool skip = std::any_of(excluded.begin(), excluded.end(),
                            [&](const std::string& w) { return description.starts_with(w); });
    if (skip) continue;
    std::size_t close = description.find(">>");
    if (description.starts_with("<<") && close != std::string_view::npos) {
      description.remove_prefix(close + 2);
      while (!description.empty() && description[0] == ' ') description.remove_prefix(1);
    }
    auto* item = new SrcFile_DefaultsEntry{};
    Strings_Assign(description, item->description);
    Strings_Assign(key, item->key);
    item->type = e.type;
    items.push_back(item);
  }
  std::stable_sort(items.begin(), items.end(), [](const auto* a, const auto* b) {
    return Strings_CompareStr(a->description, b->description) > 0;
  });
  SrcFile_DefaultsList list = nullptr;
  for (auto it = items.rbegin(); it != items.rend(); ++it) {
    (*it)->next = list;
    list = *it;
  }
  return list;
}

void SrcFile_DestroyDefaultsList(SrcFile_DefaultsList& list) {
  while (list != nullptr) {
    SrcFile_DefaultsEntry* next = list->next;
    delete list;
    list = next;
  }
}

void SrcFile_SetBeforeRenameHook(SrcFile_BeforeRenameHook hook) { beforeRename = std::move(hook); }
