// Command scripts and archive jobs.
#include "BkJobs.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "BFileIO.hpp"
#include "BkArchivNames.hpp"
#include "BkArchivText.hpp"
#include "BkFLists.hpp"
#include "BkMisc.hpp"
#include "DirAcces.hpp"
#include "Messages.hpp"
#include "Processe.hpp"
#include "StringOp.hpp"
#include "UCommon.hpp"
#include "Utility.hpp"

namespace {

constexpr char kSection[] = "BkArchiv";
constexpr std::size_t kNotifyLineMax = 512;
constexpr std::size_t kRmCommandMax = 127;

// The one script under construction.
struct ScriptState {
  std::string rootScriptDir;
  std::string scriptDir;   // as the job sees it (network root and host in front for other hosts)
  std::string scriptName;  // the same for the script file
  std::string localDir;    // scriptDir on this machine
  std::string localName;
  bool isSubDir = false;
  bool allOK = false;
  bool valuesValid = false;
  std::FILE* script = nullptr;
};
ScriptState st;

// File names that a line-per-name list cannot carry, left out of the current script.
std::vector<std::string> refusedNames;

std::string Str(StrIn s) { return s.str(); }

bool Exists(const std::string& path) {
  struct stat sb {};
  return ::lstat(path.c_str(), &sb) == 0;
}

// A backslash before every shell metacharacter, and before "~" so that no tilde
// expansion changes a path.
std::string Escape(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (char ch : text) {
    if (StringOp_IsShellMetaChar(ch) || ch == '~') out += '\\';
    out += ch;
  }
  return out;
}

// The network root and "/<host>" in front of an absolute path.
std::string UnderNfs(std::string_view host, std::string_view path) {
  char out[4096];
  DirAcces_NetPath(StrIn(host), StrIn(path), out);
  return out;
}

void WriteRaw(std::string_view text) {
  if (st.script == nullptr) {
    st.allOK = false;
    return;
  }
  if (!text.empty() && std::fwrite(text.data(), 1, text.size(), st.script) != text.size()) {
    st.allOK = false;
  }
  if (std::fputc('\n', st.script) == EOF) st.allOK = false;
}

void L(std::string_view text) { WriteRaw(text); }
void L(std::string_view a, std::string_view b) { WriteRaw(std::string(a) + std::string(b)); }

// Takes the next counter value from ".counter" under the lock of the file (other tools
// share it). False when the file exists but cannot be used.
bool NextCounter(long& value) {
  const std::string path = st.rootScriptDir + "/.counter";
  int fd = ::open(path.c_str(), O_RDWR);
  bool fresh = false;
  if (fd < 0) {
    if (errno != ENOENT) return false;
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
    if (fd < 0 && errno == EEXIST)
      fd = ::open(path.c_str(), O_RDWR);
    else
      fresh = fd >= 0;
    if (fd < 0) return false;
    if (fresh) ::fchmod(fd, 0666);
  }
  bool ok = ::flock(fd, LOCK_EX) == 0;
  if (ok) {
    char buf[64] = {};
    const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
    if (n < 0) {
      ok = false;
    } else if (n == 0) {
      value = 0;  // created just now (by us or a competitor that has not written yet)
    } else {
      value = std::strtol(buf, nullptr, 10) + 1;
    }
    if (ok) {
      char line[32];
      const int len = std::snprintf(line, sizeof line, "%8ld\n", value);
      ok = ::pwrite(fd, line, static_cast<std::size_t>(len), 0) == len;
    }
    ::flock(fd, LOCK_UN);
  }
  ::close(fd);
  return ok;
}

void SetRootScriptDir() {
  const char* tmp = std::getenv("TMP");
  st.rootScriptDir = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
  if (st.rootScriptDir.size() > 1 && st.rootScriptDir.back() == '/') st.rootScriptDir.pop_back();
  st.rootScriptDir += "/scripts";
}

std::string Message(std::uint32_t number) {
  char text[1024];
  Messages_GetMsg(kSection, number, text);
  return text;
}

// A notify text as one shell word: each line escaped, lines joined by "\\n".
std::string NotifyWord(std::string_view text) {
  std::string out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find('\n', start);
    out += Escape(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) break;
    out += "\\\\n";
    start = end + 1;
  }
  return out;
}

void NotifyLine(std::string_view name, std::string_view text) {
  std::string line = std::string(name) + "=" + NotifyWord(text);
  if (line.size() > kNotifyLineMax) line.resize(kNotifyLineMax);
  L(line);
}

std::string DsText(DS ds) { return ds == dsNil ? std::string() : std::string(DSStr(ds)); }

bool FsCommandSet(DS ds) { return ds != dsNil && DSLength(ds) > 0; }

void ErrMark() {
  char reason[5120];
  while (Messages_ErrorReason(reason)) {
  }
  Messages_SupplyAdditionalInfo(" --- --- --- --- --- --- --- --- --- --- --- --- --- ");
}

// The end of a write or read script: a file-system medium unmounted (by the command of
// that direction) and unloaded by its own commands, any other medium unloaded; then the
// caller's final command and the exit.
void EmitScriptEnd(const DevListEntry& device, DS umountCmd, std::string_view umountTitle,
                   StrIn finalCommand) {
  if (device.baseType == BkDevSel_filesys) {
    for (const auto& [cmd, title] : {std::pair<DS, std::string_view>{umountCmd, umountTitle},
                                     {device.fs.unloadCmd, "#--- Unload"}}) {
      if (!FsCommandSet(cmd)) continue;
      L(title);
      L(DsText(cmd));
      L("CheckFail");
      L("");
    }
  } else {
    L("Unload");
    L("");
  }
  if (finalCommand.length() > 0) {
    L(finalCommand.view());
    L("");
  }
  L("Exit");
}

// The archive's base directory as the script names it.
std::string ScriptBaseDir(const DevListEntry& device, const Archive* a, std::string_view dir) {
  if (std::string_view(a->host) != std::string_view(device.record.host)) {
    return Escape(UnderNfs(a->host, dir));
  }
  return Escape(dir);
}

// The path of one list entry as an echo argument; names with a line feed are refused.
bool EchoLine(const FileEntry* e) {
  std::string path = DsText(e->path);
  if (e->isDir) path += '/';
  if (path.find('\n') != std::string::npos) {
    std::string shown;
    for (char ch : path) shown += ch == '\n' ? std::string("\\n") : std::string(1, ch);
    refusedNames.push_back(shown);
    return false;
  }
  L("echo ", Escape(path));
  return true;
}

// The file list as a one-name-a-line block, or "WFM" when none of its names can go.
void ListBlock(const std::vector<const FileEntry*>& files, std::string_view pipeTo) {
  std::vector<const FileEntry*> usable;
  for (const FileEntry* e : files) {
    if (DsText(e->path).find('\n') == std::string::npos)
      usable.push_back(e);
    else
      EchoLine(e);  // records the refusal
  }
  if (usable.empty()) {
    L("WFM");
    return;
  }
  L("(");
  for (const FileEntry* e : usable) EchoLine(e);
  L(pipeTo);
}

void WriteDataFiles(Archive* a) {
  FileList list = a->files;
  BkFLists_SelectAllFiles(list, true);
  int lo = 0, hi = -1;
  BkFLists_GetFileMarkRange(list, lo, hi);
  const std::string pipe = std::string(") | WriteFileList") +
                           ((list != nullptr && list->followSymlinks) ? " FOLLOW" : "");
  for (int m = lo; m <= hi; ++m) {
    BkFLists_SelectAllFiles(list, false);
    BkFLists_SelectByTapeAndMark(list, 1, m, true);
    L("#--- fileList" + std::to_string(m));
    std::vector<const FileEntry*> files;
    for (const FileEntry* e = list; e != nullptr; e = e->next) {
      if (e->selected) files.push_back(e);
    }
    if (files.empty())
      L("WFM");
    else
      ListBlock(files, pipe);
    L("CheckFail");
  }
}

void ReadDataFiles(Archive* a, long& p) {
  FileList list = a->files;
  int s = 0, l = -1;
  BkFLists_GetFileMarkRange(list, s, l);
  if (l < s) return;
  long k = s - p;
  for (int m = s; m <= l; ++m) {
    std::vector<const FileEntry*> files;
    for (const FileEntry* e = list; e != nullptr; e = e->next) {
      if (e->selected && e->fileMark == m) files.push_back(e);
    }
    if (files.empty()) {
      ++k;
      continue;
    }
    if (k > 0) {
      p += k;
      L("FileF " + std::to_string(k) + " " + std::to_string(p));
      L("CheckFail");
      k = 0;
    }
    L("AssertFileMark " + std::to_string(m));
    const std::string mark = "#--- fileList" + std::to_string(m);
    L(mark);
    L("(");
    for (const FileEntry* e : files) EchoLine(e);
    L(") | ReadFileList " + mark);
    L("CheckFail");
    ++p;
  }
}

// The refused names of the current script, one a line, for the library to report.
bool WriteRefused() {
  if (refusedNames.empty()) return true;
  const std::string path = st.localDir + "/REFUSED";
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  for (const auto& n : refusedNames) std::fprintf(f, "%s\n", n.c_str());
  return std::fclose(f) == 0;
}

bool WriteHeaderFile(const std::string& name, Header* hdr, bool copy) {
  BFileIO_File f = BFileIO_Create(name, 1);
  if (f == BFileIO_Nil) return false;
  BkArchiv_bkaError = 0;
  BkArchiv_GenHeader(f, hdr, copy);
  const bool ok = BkArchiv_bkaError == 0;
  BFileIO_Close(f);
  return ok && BFileIO_ioError == 0;
}

// Closes the script writer's ignore bracket, then reports the failure with its texts.
void Fail(Messages_Ignoring& quiet, std::uint8_t number, std::initializer_list<const char*> texts) {
  quiet.Close();
  for (const char* t : texts) Messages_SupplyAdditionalInfo(StrIn::FromC(t));
  BkArchiv_ReportError(number);
}

}  // namespace

BkArchiv_DevInfo BkJobs_DevInfo(const DevListEntry& d) {
  BkArchiv_DevInfo info{};
  info.baseType = d.baseType;
  info.nativeCapacity = d.tape.nativeCapacity;
  info.maxCapacity = d.tape.maxCapacity;
  info.blkDevice = d.tape.blkDevice;
  info.capacity = d.baseType == BkDevSel_disk ? d.disk.capacity : d.fs.capacity;
  info.blkHeader = d.blkHeader;
  info.blkData = d.blkData;
  info.dirSize = static_cast<std::int32_t>(d.dirSize);
  info.softCompress = d.softCompress;
  info.mediaId = BkDevSel_DevClassToMediaID(d.record.devClass, d.subtype);
  return info;
}

void BkJobs_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "BkJobs");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  StringOp_Init();
  Messages_Init();
  Utility_Init();
  BFileIO_Init();
  Processe_Init();
  DynStr_Init();
  DirAcces_Init();
  BkMisc_Init();
  BkFLists_Init();
  BkArchivNames_Init();
  BkArchiv_Init();
  BkArchivText_Init();
  BkDevSel_Init();
  SJobQues_Init();
  SetRootScriptDir();
  if (!Exists(st.rootScriptDir)) {
    ::mkdir(st.rootScriptDir.c_str(), 0777);
    ::chmod(st.rootScriptDir.c_str(), 0777);
  }
}

void BkJobs_GetRootScriptDir(StrOut dir) { Strings_Assign(st.rootScriptDir, dir); }

// ---------------------------------------------------------------- script writing

bool BkJobs_CmdScript_BeginCmdScript(StrIn baseName, bool ownDir, bool isLocal) {
  if (st.script != nullptr) {
    std::fclose(st.script);
    st.script = nullptr;
  }
  st.scriptDir.clear();
  st.scriptName.clear();
  st.allOK = true;
  st.valuesValid = false;
  st.isSubDir = ownDir;
  refusedNames.clear();
  std::string name;
  for (;;) {
    long counter = 0;
    if (!NextCounter(counter)) return false;
    name = Str(baseName) + "-" + std::to_string(counter);
    if (!ownDir) {
      st.localDir = st.rootScriptDir;
      st.localName = st.rootScriptDir + "/" + name;
      if (Exists(st.localName)) continue;
    } else {
      st.localDir = st.rootScriptDir + "/" + name;
      if (Exists(st.localDir)) continue;
      if (::mkdir(st.localDir.c_str(), 0777) != 0) {
        if (errno == EEXIST) continue;  // taken by another tool meanwhile
        return false;
      }
      ::chmod(st.localDir.c_str(), 0777);
      st.localName = st.localDir + "/" + name;
    }
    break;
  }
  const int fd = ::open(st.localName.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
  if (fd < 0 || (st.script = ::fdopen(fd, "w")) == nullptr) {
    if (fd >= 0) ::close(fd);
    return false;
  }
  st.scriptDir = st.localDir;
  st.scriptName = st.localName;
  if (!isLocal) {
    st.scriptDir = UnderNfs(BkMisc_localHost, st.localDir);
    st.scriptName = UnderNfs(BkMisc_localHost, st.localName);
  }
  L("#!/usr/bin/env bash");
  L("scriptDir=", st.scriptDir);
  L("scriptName=", st.scriptName);
  L("scriptSubdir=", ownDir ? "1" : "");
  L("export scriptDir scriptName scriptSubdir");
  L("");
  st.valuesValid = st.allOK;
  return st.valuesValid;
}

void BkJobs_CmdScript_Line(StrIn text) { L(text.view()); }
void BkJobs_CmdScript_Line2(StrIn a, StrIn b) { L(a.view(), b.view()); }
void BkJobs_CmdScript_Line3(StrIn a, StrIn b, StrIn c) { L(Str(a) + Str(b) + Str(c)); }
void BkJobs_CmdScript_DLine(DS text) { L(DsText(text)); }
void BkJobs_CmdScript_DLine2(StrIn text, DS tail) { L(text.view(), DsText(tail)); }
bool BkJobs_CmdScript_Status() { return st.allOK; }

bool BkJobs_CmdScript_FinishCmdScript() {
  if (st.script == nullptr) return false;
  if (std::fclose(st.script) != 0) st.allOK = false;
  st.script = nullptr;
  if (::chmod(st.localName.c_str(), 0777) != 0) st.allOK = false;
  if (!WriteRefused()) st.allOK = false;
  return st.allOK;
}

void BkJobs_CmdScript_GetScriptDir(StrOut dir) { Strings_Assign(st.scriptDir, dir); }
void BkJobs_CmdScript_GetScriptName(StrOut name) { Strings_Assign(st.scriptName, name); }

void BkJobs_CmdScript_CleanUpCmdScript() {
  if (st.script != nullptr) {
    std::fclose(st.script);
    st.script = nullptr;
  }
  if (!st.valuesValid) return;
  if (st.isSubDir) {
    std::string cmd = "rm -r " + st.localDir;
    if (cmd.size() > kRmCommandMax) cmd.resize(kRmCommandMax);
    Processe_System(cmd);
  } else {
    ::unlink(st.localName.c_str());
  }
  st.valuesValid = false;
}

// ---------------------------------------------------------------- script generation

bool BkJobs_EmitScriptHead(Header* hdr, const DevListEntry& device, StrIn notifyOK,
                           StrIn notifyError, bool forWrite, StrOut dirFile) {
  char text[1024];
  BkArchiv_MediaFormatToStr(hdr->mediaFormat, text);
  L("mfmt=", text);
  L("VERSION=" + std::to_string(hdr->version));
  L("export mfmt VERSION");
  L("");
  L("devType=", BkDevSel_BaseDevTypeToString(device.baseType));
  const bool fileSys = device.baseType == BkDevSel_filesys;
  if (device.baseType == BkDevSel_tape) {
    L("device=", device.record.devName);
    L("tapeType=", BkDevSel_TpSubTypeToString(device.subtype));
  } else if (device.baseType == BkDevSel_disk) {
    L("device='" + Escape(device.record.devName) + "'");
    L("diskType=", BkDevSel_DskSubTypeToString(device.subtype));
  } else if (fileSys) {
    L("device=", DsText(device.fs.root));
  }
  L("desc=\"" + std::string(device.record.description) + "\"");
  L("host=", device.record.host);
  L("export devType device tapeType diskType fmDirName desc host");
  L("");
  L("blkHeader=" + std::to_string(hdr->blkHeader));
  L("blkData=" + std::to_string(hdr->blkData));
  L("blkDevice=" + std::to_string(hdr->blkDevice));
  L("export blkHeader blkData blkDevice");
  L("");
  const bool raw = hdr->mediaFormat == mfmtRawTar || hdr->mediaFormat == mfmtRawCpio;
  Strings_Assign(std::string_view(raw ? "" : "HEADER"), dirFile);
  L("dirFile=", dirFile.view());
  BkArchiv_GetHeaderNameOnMedia(hdr->mediaFormat, text);
  L("dirFileM=", text);
  L("dirSize=" + std::to_string(hdr->dirSize));
  L("export dirFile dirFileM dirSize");
  L("");
  L("newHeader=", hdr->newHeader ? "1" : "");
  L("export newHeader");
  L("");
  L("softCompress=", hdr->softCompress ? "1" : "");
  L("export softCompress");
  L("");
  if (device.isArchive) {
    L("isArchive=1");
    L("archiveFile=", device.archiveFile);
  } else {
    L("isArchive=");
  }
  L("");
  char env[5120];
  BkMisc_GetInheritEnvStr(env);
  L(std::string_view(env));
  L("");
  std::string ok = Str(notifyOK), err = Str(notifyError);
  if (ok.empty()) ok = Message(forWrite ? 200 : 202);
  if (err.empty()) err = Message(forWrite ? 201 : 203);
  NotifyLine("notifyOK", ok);
  NotifyLine("notifyError", err);
  L("export notifyOK notifyError");
  L("");
  L("cd $scriptDir");
  L("");
  L(std::string(". ") + BkJobs_backupSh + " || exit 1");
  L("");
  const bool labelled = device.isArchive || hdr->expectLabel[0] != '\0';
  if (fileSys && labelled && forWrite && FsCommandSet(device.fs.mountCmdW)) {
    L("#--- MountW");
    L("AllOK");
    L(DsText(device.fs.mountCmdW));
    L("CheckFail");
    L("");
  }
  if (fileSys && labelled && !forWrite && FsCommandSet(device.fs.mountCmdR)) {
    L("#--- MountR");
    L("AllOK");
    L(DsText(device.fs.mountCmdR));
    L("CheckFail");
    L("");
  }
  L("expectLabel=");
  const std::string label = device.isArchive ? device.storeLabel : hdr->expectLabel;
  if (device.isArchive || !label.empty()) {
    L("LoadMedia " + label + " " + device.record.devName);
    L("CheckFail");
    L("expectLabel=", label);
  }
  L("");
  L("#--- end of header");
  L("");
  return true;
}

bool BkJobs_EmitFMDIR(Header* hdr) {
  const std::string local = st.localDir + "/FMDIR";
  std::FILE* f = std::fopen(local.c_str(), "w");
  if (f == nullptr) return false;
  if (hdr->fmDir == nullptr) {
    auto* second = new (std::nothrow) FmDirEntry{nullptr, 1, 0};
    auto* first = new (std::nothrow) FmDirEntry{second, 0, 0};
    if (first == nullptr || second == nullptr) {
      delete first;
      delete second;
      std::fclose(f);
      Messages_SupplyAdditionalInfo("::EmitFMDIR: NEW() failed");
      return false;
    }
    const std::int64_t size = hdr->dirSize > 0 ? hdr->dirSize : 0;
    second->startBlock = static_cast<std::uint32_t>((size + 511) / 512);
    hdr->fmDir = first;
  }
  bool ok = std::fprintf(f, "%u\n", hdr->fmDirPos) > 0;
  for (const FmDirEntry* e = hdr->fmDir; e != nullptr; e = e->next) {
    ok = std::fprintf(f, "%u %u\n", e->fileNo, e->startBlock) > 0 && ok;
  }
  ok = std::fclose(f) == 0 && ok;
  ::chmod(local.c_str(), 0666);
  L("fmDirName=", st.scriptDir + "/FMDIR");
  L("");
  return ok;
}

void BkJobs_MkWriteScript(const DevListEntry& device, Header* hdr, StrIn headerCopyDest,
                          StrIn finalCommand, StrIn notifyOK, StrIn notifyError,
                          StrOut scriptPath) {
  Strings_Assign("", scriptPath);
  BkArchiv_bkaError = 0;
  Messages_Ignoring quiet;
  if (hdr->newHeader) BkArchiv_SetDevInfo(hdr, BkJobs_DevInfo(device));
  ErrMark();
  if (!BkJobs_CmdScript_BeginCmdScript(BkJobs_cmdScript, true, device.isLocal)) {
    Fail(quiet, 17, {"::MkWriteScript: error creating command script"});
    return;
  }
  if (!BkMisc_PushDir(st.localDir)) {
    BkJobs_CmdScript_FinishCmdScript();
    Fail(quiet, 17, {"::MkWriteScript: error entering script dir"});
    return;
  }
  auto failIn = [&](const char* text, bool remove) {
    if (remove)
      BkJobs_CmdScript_CleanUpCmdScript();
    else
      BkJobs_CmdScript_FinishCmdScript();
    BkMisc_PopDir();
    Fail(quiet, 17, {text});
  };
  char dirFile[128];
  BkJobs_EmitScriptHead(hdr, device, notifyOK, notifyError, true, dirFile);
  const bool copy = headerCopyDest.length() > 0;
  const std::string hdrFile = st.localDir + "/" + dirFile;
  if (dirFile[0] == '\0') {
    failIn("::MkWriteScript: error creating dirFile", false);
    return;
  }
  Utility_GetSysDateTime(hdr->modified.date, hdr->modified.time);
  if (!WriteHeaderFile(hdrFile, hdr, false) ||
      (copy && !WriteHeaderFile(hdrFile + ".arch", hdr, true))) {
    failIn("::MkWriteScript: error from GenHeader()", true);
    return;
  }
  bool headOK = BkJobs_CmdScript_Status();
  if (device.baseType == BkDevSel_disk || device.baseType == BkDevSel_filesys) {
    headOK = BkJobs_EmitFMDIR(hdr) && headOK;
  }
  if (!headOK) {
    failIn("::MkWriteScript: EmitScriptHead failed", false);
    return;
  }

  // The body.
  const bool fileSys = device.baseType == BkDevSel_filesys;
  const std::string nd = std::to_string(hdr->nextData);
  if (hdr->dirSize != 0) {
    L("DataPartition");
    L("CheckFail");
    L("");
  }
  if (hdr->newHeader) {
    L("REW");
  } else if (hdr->recovered) {
    L("REW");
    L("FileF " + nd + " " + nd);
  } else {
    L("EOD " + nd);
  }
  L("CheckFail");
  L("");
  if (hdr->dirSize == 0) {
    L("WriteHeader");
    L("CheckFail");
    L("");
  }
  for (Archive* a = hdr->archives; a != nullptr; a = a->next) {
    if (!a->isNew) continue;
    L("#--- --- --- --- --- --- --- --- --- ");
    L("");
    L("baseDir=", ScriptBaseDir(device, a, a->baseDir));
    L("allOK=");
    L("cd \"$baseDir\" || Exit");
    WriteDataFiles(a);
    L("");
  }
  if (hdr->mediaFormat == mfmtStdA || hdr->mediaFormat == mfmtStdTarA) {
    L("WriteHeader");
    L("CheckFail");
    L("");
  }
  if (hdr->dirSize != 0) {
    for (const char* s :
         {"HeaderPartition", "CheckFail", "REW", "CheckFail", "WriteHeader", "CheckFail", ""}) {
      L(s);
    }
    if (fileSys && FsCommandSet(device.fs.flushCmd)) {
      L("#--- Flush");
      L(DsText(device.fs.flushCmd));
      L("CheckFail");
      L("");
    }
  }
  L("newHdr=");
  auto target = [&](std::string_view path) {
    return device.isLocal ? std::string(path) : UnderNfs(BkMisc_localHost, path);
  };
  if (device.isArchive) {
    L("cd $scriptDir");
    L("cp $dirFile ", target(device.archiveFile));
    L("newHdr=", target(device.archiveFile));
    L("");
  }
  if (copy) {
    L("cd $scriptDir");
    L("cp $dirFile.arch ", target(headerCopyDest.view()));
    L("newHdr=", target(headerCopyDest.view()));
    L("");
  }
  L("UpdateMediaInfo \"$expectLabel\" \"$newHdr\"");
  L("");
  EmitScriptEnd(device, device.fs.umountCmdW, "#--- UmountW", finalCommand);
  const bool bodyOK = BkJobs_CmdScript_Status();
  if (!BkJobs_CmdScript_FinishCmdScript() || !bodyOK) {
    failIn("::MkWriteScript: error from EmitScript()", true);
    return;
  }
  BkMisc_PopDir();
  Messages_ForgetErrorReasons();
  quiet.Close();
  Strings_Assign(st.scriptName, scriptPath);
}

void BkJobs_MkReadScript(const DevListEntry& device, Header* hdr, StrIn restoreDir,
                         StrIn finalCommand, StrIn notifyOK, StrIn notifyError, StrOut scriptPath) {
  Strings_Assign("", scriptPath);
  BkArchiv_bkaError = 0;
  Messages_Ignoring quiet;
  hdr->blkDevice = 0;
  if (hdr->dirSize == 0) hdr->dirSize = static_cast<std::int32_t>(device.dirSize);
  if (hdr->blkHeader == 0) hdr->blkHeader = device.blkHeader;
  if (hdr->blkData == 0) hdr->blkData = device.blkData;
  if (device.baseType == BkDevSel_tape) hdr->blkDevice = device.tape.blkDevice;
  ErrMark();
  if (!BkJobs_CmdScript_BeginCmdScript(BkJobs_cmdScript, true, device.isLocal)) {
    Fail(quiet, 16, {"::MkReadScript: error from BeginCmdScript"});
    return;
  }
  const bool fileSys = device.baseType == BkDevSel_filesys;
  char dirFile[128];
  // A header read from a medium says per archive whether its data were compressed: the
  // script decompresses when the archives it reads were written so.
  const bool headerCompress = hdr->softCompress;
  for (const Archive* a = hdr->archives; a != nullptr; a = a->next) {
    if (a->softCompress && BkFLists_OneSelected(a->files)) hdr->softCompress = true;
  }
  BkJobs_EmitScriptHead(hdr, device, notifyOK, notifyError, false, dirFile);
  hdr->softCompress = headerCompress;
  bool headOK = BkJobs_CmdScript_Status();
  if (device.baseType == BkDevSel_disk || fileSys) headOK = BkJobs_EmitFMDIR(hdr) && headOK;
  if (hdr->dirSize != 0) {
    L("DataPartition");
    L("CheckFail");
    L("");
  }
  L("REW");
  L("CheckFail");
  L("");
  if (!headOK) {
    BkJobs_CmdScript_CleanUpCmdScript();
    Fail(quiet, 16, {"::MkReadScript: EmitScriptHead failed"});
    return;
  }
  long p = 0;
  for (Archive* a = hdr->archives; a != nullptr; a = a->next) {
    if (!BkFLists_OneSelected(a->files)) continue;
    const std::string dir = restoreDir.length() > 0 ? Str(restoreDir) : std::string(a->baseDir);
    L("baseDir=", ScriptBaseDir(device, a, dir));
    L("allOK=");
    L("[ -d \"$baseDir\" ] || mkdir -m 777 -p \"$baseDir\" || Exit");
    L("cd \"$baseDir\" || Exit");
    ReadDataFiles(a, p);
    L("");
  }
  L("REW");
  L("");
  EmitScriptEnd(device, device.fs.umountCmdR, "#--- UmountR", finalCommand);
  const bool bodyOK = BkJobs_CmdScript_Status();
  if (!BkJobs_CmdScript_FinishCmdScript() || !bodyOK) {
    BkJobs_CmdScript_CleanUpCmdScript();
    Fail(quiet, 16,
         {"::MkReadScript: error after EmitScriptTail/FinishCmdScript",
          "::MkReadScript: failed to create cmd script"});
    return;
  }
  Messages_ForgetErrorReasons();
  quiet.Close();
  Strings_Assign(st.scriptName, scriptPath);
}

// ---------------------------------------------------------------- jobs

namespace {

SJobQues_Job* MakeJob(const DevListEntry& device, StrIn script, StrIn readableCommand,
                      StrIn preconditionScript) {
  SJobQues_Job* job = SJobQues_CreateJob();
  if (job == nullptr) return nullptr;
  const std::string path = Str(script);
  const std::size_t slash = path.rfind('/');
  Strings_Assign(path.substr(0, slash == std::string::npos ? 0 : slash), job->workDir);
  Strings_Assign(path.substr(slash == std::string::npos ? 0 : slash + 1), job->command);
  job->arguments[0] = '\0';
  job->flag1 = false;
  job->cpuUsage = 0;
  Strings_Assign(preconditionScript, job->scriptPrecondition);
  if (device.isArchive) {
    SJobQues_AddResourceToPrecondition(job, "*:" + std::string(device.record.devName) + ":*");
    if (device.record.altDevName[0] != '\0') {
      SJobQues_AddResourceToPrecondition(job, "*:" + std::string(device.record.altDevName) + ":*");
    }
    SJobQues_InheritResourceToJob(job, device.storeResourceID);
  } else {
    SJobQues_InheritResourceToJob(job, device.resourceID);
  }
  SJobQues_SetReadableCommand(job, readableCommand);
  return job;
}

int Submit(const DevListEntry& device, SJobQues_Job* job, std::uint8_t missing) {
  if (job == nullptr) {
    BkArchiv_bkaError = missing;
    return missing;
  }
  Messages_Ignoring quiet;
  SJobQues_Submit(device.record.host, job);
  const int error = SJobQues_error;
  quiet.Close();
  SJobQues_DestroyJob(job);
  if (error != 0) {
    BkArchiv_ReportError(22);
    return 22;
  }
  BkArchiv_bkaError = 0;
  return 0;
}

}  // namespace

SJobQues_Job* BkJobs_MkWriteJob(const DevListEntry& device, Header* hdr, StrIn headerCopyDest,
                                StrIn readableCommand, StrIn preconditionScript, StrIn finalCommand,
                                StrIn notifyOK, StrIn notifyError) {
  char script[1024];
  BkJobs_MkWriteScript(device, hdr, headerCopyDest, finalCommand, notifyOK, notifyError, script);
  if (BkArchiv_bkaError != 0) return nullptr;
  return MakeJob(device, script, readableCommand, preconditionScript);
}

SJobQues_Job* BkJobs_MkReadJob(const DevListEntry& device, Header* hdr, StrIn restoreDir,
                               StrIn readableCommand, StrIn preconditionScript, StrIn finalCommand,
                               StrIn notifyOK, StrIn notifyError) {
  char script[1024];
  BkJobs_MkReadScript(device, hdr, restoreDir, finalCommand, notifyOK, notifyError, script);
  if (BkArchiv_bkaError != 0) return nullptr;
  return MakeJob(device, script, readableCommand, preconditionScript);
}

int BkJobs_StartWriteArchives(const DevListEntry& device, Header* hdr, StrIn headerCopyDest,
                              StrIn readableCommand, StrIn preconditionScript, StrIn notifyOK,
                              StrIn notifyError) {
  SJobQues_Job* job = BkJobs_MkWriteJob(device, hdr, headerCopyDest, readableCommand,
                                        preconditionScript, "", notifyOK, notifyError);
  return Submit(device, job, 19);
}

int BkJobs_StartReadArchives(const DevListEntry& device, Header* hdr, StrIn restoreDir,
                             StrIn readableCommand, StrIn preconditionScript, StrIn notifyOK,
                             StrIn notifyError) {
  SJobQues_Job* job = BkJobs_MkReadJob(device, hdr, restoreDir, readableCommand, preconditionScript,
                                       "", notifyOK, notifyError);
  return Submit(device, job, 18);
}

bool BkJobs_WriteLabel(const DevListEntry& device, Header* hdr) {
  char script[1024];
  BkJobs_MkWriteScript(device, hdr, "", "", "NO_NOTIFY", "NO_NOTIFY", script);
  if (BkArchiv_bkaError != 0 || script[0] == '\0') return false;
  Processe_System(script);
  return Processe_LastExitCode() == 0;
}
