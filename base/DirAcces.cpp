#include "DirAcces.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "Messages.hpp"
#include "Processe.hpp"
#include "UArgs.hpp"
#include "UCommon.hpp"

extern char** environ;

std::uint8_t DirAcces_dirError = 0;

struct DirAcces_DirStream {
  DIR* dir = nullptr;
  std::string path;
};

namespace {

// ---- State ----

bool chDirUsed = false;
std::string logicalDir;  // valid once DirAcces_ChDir succeeded
std::string canonicalDir;
std::optional<std::string> nodeName;
DirAcces_NodeNameSource nodeNameSource = nullptr;
std::string installRoot;            // prefix of the fixed installation directories
DirAcces_DirStream currentListing;  // the listing of GetFirstEntry / GetNextEntry
std::string lastFilePath;

// ---- Small helpers ----

void Put(const std::string& s, StrOut out) { Strings_Assign(StrIn(s), out); }

std::uint8_t FromErrno(int err) {
  switch (err) {
    case 0:
      return 0;
    case ENOENT:
      return 1;
    case EEXIST:
      return 2;
    case ENOTDIR:
      return 3;
    case EPERM:
    case EACCES:
    case EROFS:
      return 6;
    case ENXIO:
    case E2BIG:
    case EBADF:
      return 7;
    case EXDEV:
      return 11;
    default:
      return 9;
  }
}

// Reports value: the operation and its path, then the error code (the system error
// number, or 100 plus the value for the module's own errors).
void Report(std::uint8_t value, int sysErr, const char* op, const std::string& path) {
  DirAcces_dirError = value;
  Messages_SupplyAdditionalInfo(std::string("::") + op + ": " + path);
  const int code = sysErr != 0 ? sysErr : 100 + value;
  Messages_SupplyAdditionalInfo("DirAcces.Error : code = " + std::to_string(code));
  Messages_Error("DirAcces", value);
}

void ReportErrno(int sysErr, const char* op, const std::string& path) {
  Report(FromErrno(sysErr), sysErr, op, path);
}

// Runs a system call that returns 0 on success and reports its failure.
bool Sys(int rc, const char* op, const std::string& path) {
  DirAcces_dirError = 0;
  if (rc == 0) return true;
  ReportErrno(errno, op, path);
  return false;
}

std::vector<std::string> SplitList(const std::string& list) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t colon = list.find(':', start);
    parts.push_back(list.substr(start, colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return parts;
}

std::string FirstElement(const std::string& list) {
  const std::string first = list.substr(0, list.find(':'));
  return first.empty() ? "/" : first;
}

std::string StripTrailingSlashes(std::string p) {
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

std::string Join(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  const bool dirSlash = dir.back() == '/';
  const bool nameSlash = !name.empty() && name.front() == '/';
  if (dirSlash && nameSlash) return dir + name.substr(1);
  if (dirSlash || nameSlash) return dir + name;
  return dir + "/" + name;
}

// Directory part and last component, split at the last "/".
std::pair<std::string, std::string> Split(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {"", path};
  const std::string dir = path.substr(0, slash);
  return {dir.empty() ? "/" : dir, path.substr(slash + 1)};
}

// path resolved textually against base: "." components vanish, ".." removes the
// component before it (never above the root), as a shell does for its logical directory.
std::string Normalize(const std::string& base, const std::string& path) {
  std::vector<std::string> parts;
  auto add = [&parts](const std::string& p) {
    std::size_t start = 0;
    while (start <= p.size()) {
      std::size_t slash = p.find('/', start);
      if (slash == std::string::npos) slash = p.size();
      const std::string c = p.substr(start, slash - start);
      if (c == "..") {
        if (!parts.empty()) parts.pop_back();
      } else if (!c.empty() && c != ".") {
        parts.push_back(c);
      }
      start = slash + 1;
    }
  };
  if (path.empty() || path.front() != '/') add(base);
  add(path);
  std::string out;
  for (const auto& c : parts) out += "/" + c;
  return out.empty() ? "/" : out;
}

std::string SystemCwd() {
  std::vector<char> buf(4096);
  while (::getcwd(buf.data(), buf.size()) == nullptr) {
    if (errno != ERANGE) return std::string();
    buf.resize(buf.size() * 2);
  }
  return buf.data();
}

std::optional<std::string> Getenv(const std::string& name) {
  const char* v = std::getenv(name.c_str());
  if (v == nullptr) return std::nullopt;
  return std::string(v);
}

bool PutEnv(const std::string& name, const std::string& value) {
  DirAcces_dirError = 0;
  if (name.empty() || name.find('=') != std::string::npos) {
    Report(8, 0, "PutEnvVar", name);
    return false;
  }
  if (::setenv(name.c_str(), value.c_str(), 1) != 0) {
    Report(8, errno, "PutEnvVar", name);
    return false;
  }
  return true;
}

bool Accessible(const std::string& path, unsigned mode) {
  static const int how[] = {R_OK, W_OK, X_OK, F_OK};
  if (mode > 3 || path.empty()) {
    errno = mode > 3 ? EINVAL : ENOENT;
    return false;
  }
  return ::access(path.c_str(), how[mode]) == 0;
}

// A fixed installation directory, below the test root when one is set.
std::string Installed(const std::string& path) {
  return installRoot.empty() ? path : StripTrailingSlashes(installRoot) + path;
}

std::string NodeName() {
  if (!nodeName) {
    std::string name;
    bool ok = false;
    if (nodeNameSource != nullptr) {
      ok = nodeNameSource(name);
    } else {
      struct utsname u {};
      ok = ::uname(&u) == 0;
      if (ok) name = u.nodename;
    }
    nodeName = ok && !name.empty() ? name : "NONAME";
  }
  return *nodeName;
}

// ---- Environment defaults ----

std::string EnvValue(const std::string& name);

std::string InstanceFilename() {
  const std::string home = Getenv("VELMAR_INSTANCE_HOME").value_or(Installed("/etc/opt/velmar"));
  return Join(home, "instance." + EnvValue("VELMAR_INSTANCE"));
}

// The directory that holds the running program: the directory of its invocation path,
// or the element of PATH where a bare name is found, or what the system says.
std::string ProgramDir() {
  char arg0[4096];
  std::string invoked;
  if (UArgs_GetParam(0, arg0) && arg0[0] != '\0') {
    invoked = arg0;
  } else if (program_invocation_name != nullptr) {
    invoked = program_invocation_name;
  }
  const std::string cwd = SystemCwd();
  if (invoked.find('/') != std::string::npos) {
    // A relative invocation path only holds while the directory has not been changed.
    if (invoked.front() == '/' || Accessible(Normalize(cwd, invoked), DirAcces_searchable)) {
      return Normalize(cwd, Split(invoked).first);
    }
  } else if (!invoked.empty()) {
    for (const auto& dir : SplitList(Getenv("PATH").value_or(""))) {
      const std::string candidate = Join(dir.empty() ? "." : dir, invoked);
      struct stat st {};
      if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && Accessible(candidate, 2)) {
        return Normalize(cwd, dir.empty() ? "." : dir);
      }
    }
  }
  char exe[4096];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n > 0) return Split(std::string(exe, static_cast<std::size_t>(n))).first;
  return cwd;
}

std::string DefaultZoltlib() {
  const std::string progDir = ProgramDir();
  const std::string path = Getenv("PATH").value_or("");
  if (!DirAcces_ContainsPath(path, progDir))
    PutEnv("PATH", path.empty() ? progDir : path + ":" + progDir);
  const std::string lib = progDir == "/" ? "/" : Split(progDir).first;
  PutEnv("VELMAR_DISTRIBUTION", lib);
  const std::string instance = InstanceFilename();
  if (Accessible(instance, DirAcces_exists)) {
    std::fprintf(stderr, "Warning: instance file available but ignored: %s\n", instance.c_str());
  }
  return lib;
}

// The first of the candidates that passes the access test, else the fallback.
std::string FirstAccessible(std::initializer_list<std::string> candidates, unsigned mode,
                            const std::string& fallback) {
  for (const auto& c : candidates) {
    if (Accessible(c, mode)) return c;
  }
  return fallback;
}

// The computed default of a variable that has one.
std::optional<std::string> Default(const std::string& name) {
  if (name == "ZOLTLIB") return DefaultZoltlib();
  if (name == "VM_CUSTOMER") {
    return FirstAccessible({Installed("/etc/opt/velmar"), Installed("/opt/velmar/customer")},
                           DirAcces_writable, EnvValue("ZOLTLIB") + "/customer");
  }
  if (name == "VM_NODE") return EnvValue("VM_CUSTOMER");
  if (name == "VM_PROJECTS") {
    return FirstAccessible({Installed("/projects")}, DirAcces_searchable,
                           Installed("/opt/velmar/projects"));
  }
  if (name == "ZOLTENV") return EnvValue("VM_CUSTOMER") + ":" + EnvValue("ZOLTLIB") + "/env";
  if (name == "ZOLTDAT") {
    return FirstAccessible({Installed("/opt/velmar/var"), Installed("/var/opt/velmar")},
                           DirAcces_writable, EnvValue("ZOLTLIB") + "/dat");
  }
  if (name == "VELMAR_INSTANCE") return "default";
  if (name == "VELSC") return EnvValue("ZOLTLIB") + "/postscript";
  if (name == "HOST") return NodeName();
  if (name == "ICONS") {
    return Join(EnvValue("VM_PROJECTS"), "icons") + ":" + Join(EnvValue("ZOLTLIB"), "icons");
  }
  if (name == "TMP") {
    const std::string projectsTmp = EnvValue("VM_PROJECTS") + "/tmp";
    return Accessible(projectsTmp, DirAcces_searchable) ? projectsTmp : "/tmp";
  }
  return std::nullopt;
}

// The value, or the default, which is then exported. Without either: empty.
std::optional<std::string> LookupEnv(const std::string& name) {
  if (auto v = Getenv(name)) return v;
  auto d = Default(name);
  if (d) PutEnv(name, *d);
  return d;
}

// As LookupEnv; a data directory that cannot be written ends the program.
std::optional<std::string> CheckedEnv(const std::string& name) {
  auto value = LookupEnv(name);
  if (name == "ZOLTDAT") {
    // Run files and logs go there; a program that cannot write them must not start.
    const std::string dir = FirstElement(value.value_or(""));
    if (!Accessible(dir, DirAcces_writable)) {
      std::fprintf(stderr, "*** Fatal: Can't write to directory $ZOLTDAT==%s\n", dir.c_str());
      std::fflush(stderr);
      Processe_SetExitStatus(2);  // the system's failure exit: callers must see it failed
      Processe_Exit();
    }
  }
  return value;
}

std::string EnvValue(const std::string& name) { return CheckedEnv(name).value_or(""); }

const char* SpecialVariable(unsigned n) {
  static const char* const names[] = {"VM_PROJECTS", "VM_CUSTOMER", "VM_NODE", "ZOLTENV",
                                      "ZOLTLIB",     "ZOLTDAT",     "TMP"};
  return n < 7 ? names[n] : nullptr;
}

std::string SpecialPath(unsigned n) {
  const char* var = SpecialVariable(n);
  return var != nullptr ? FirstElement(EnvValue(var)) : "/";
}

// ---- File status ----

void Fill(const struct stat64& st, const std::string& name, DirAcces_DirEntry& e) {
  Put(name, e.name);
  e.size = static_cast<double>(st.st_size);
  std::tm tm{};
  const std::time_t mtime = st.st_mtime;
  ::localtime_r(&mtime, &tm);
  e.day = static_cast<unsigned>(tm.tm_mday);
  e.month = static_cast<unsigned>(tm.tm_mon + 1);
  e.year = static_cast<unsigned>(tm.tm_year + 1900);
  e.hour = static_cast<unsigned>(tm.tm_hour);
  e.minute = static_cast<unsigned>(tm.tm_min);
  e.second = static_cast<unsigned>(tm.tm_sec);
  e.millisecond = 0;
  e.accessTime = st.st_atime;
  e.changeTime = st.st_ctime;
  e.modifyTime = st.st_mtime;
  e.isDirectory = S_ISDIR(st.st_mode);
  e.isSymlink = S_ISLNK(st.st_mode);
  e.mode = st.st_mode;
  e.uid = st.st_uid;
  e.gid = st.st_gid;
  e.links = static_cast<std::uint32_t>(st.st_nlink);
  e.inode = st.st_ino;
  e.reserved = 0;
  const auto dev = static_cast<std::uint64_t>(st.st_dev);
  e.device[0] = static_cast<std::uint32_t>(dev >> 32);
  e.device[1] = static_cast<std::uint32_t>(dev & 0xffffffffu);
}

void StatPath(StrIn path, DirAcces_DirEntry& entry, bool follow, const char* op) {
  DirAcces_dirError = 0;
  const std::string p = path.str();
  struct stat64 st {};
  const int rc = follow ? ::stat64(p.c_str(), &st) : ::lstat64(p.c_str(), &st);
  if (rc != 0) {
    ReportErrno(errno, op, p);
    return;
  }
  Fill(st, Split(p).second, entry);
}

// The next entry of a listing that can be examined; false at the end.
bool NextEntry(DirAcces_DirStream& s, DirAcces_DirEntry& entry, bool follow) {
  DirAcces_dirError = 0;
  if (s.dir == nullptr) return false;
  while (const dirent64* d = ::readdir64(s.dir)) {
    struct stat64 st {};
    if (::fstatat64(::dirfd(s.dir), d->d_name, &st, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
      continue;
    }
    Fill(st, d->d_name, entry);
    return true;
  }
  return false;
}

bool OpenListing(DirAcces_DirStream& s, const std::string& path, const char* op) {
  if (s.dir != nullptr) ::closedir(s.dir);
  s.dir = ::opendir(path.c_str());
  s.path = path;
  if (s.dir == nullptr) {
    ReportErrno(errno, op, path);
    return false;
  }
  DirAcces_dirError = 0;
  return true;
}

// The listing of the current directory is closed when it reaches its end.
bool NextOfCurrent(DirAcces_DirEntry& entry, bool follow) {
  if (NextEntry(currentListing, entry, follow)) return true;
  if (currentListing.dir != nullptr) {
    ::closedir(currentListing.dir);
    currentListing.dir = nullptr;
  }
  return false;
}

bool FirstOfCurrent(DirAcces_DirEntry& entry, bool follow) {
  if (!OpenListing(currentListing, ".", "GetFirstEntry")) return false;
  return NextOfCurrent(entry, follow);
}

// ---- Copying and moving ----

// The failing call of a tree operation: system error and the path it concerned.
struct Failure {
  int err = 0;
  std::string path;
};

Failure CopyRegular(const std::string& from, const std::string& to, const struct stat64& st) {
  const int in = ::open(from.c_str(), O_RDONLY);
  if (in < 0) return {errno, from};
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, st.st_mode & 07777);
  if (out < 0) {
    const int err = errno;
    ::close(in);
    return {err, to};
  }
  Failure failure;
  std::vector<char> buf(1 << 16);
  for (;;) {
    const ssize_t got = ::read(in, buf.data(), buf.size());
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      failure = {errno, from};
      break;
    }
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = ::write(out, buf.data() + done, static_cast<std::size_t>(got - done));
      if (put < 0) {
        if (errno == EINTR) continue;
        failure = {errno, to};
        break;
      }
      done += put;
    }
    if (failure.err != 0) break;
  }
  if (failure.err == 0) {
    // The copy keeps the original's times so that a later comparison by date holds.
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out, times);
    ::fchmod(out, st.st_mode & 07777);
  }
  ::close(in);
  if (::close(out) != 0 && failure.err == 0) failure = {errno, to};
  return failure;
}

Failure CopyTree(const std::string& from, const std::string& to, bool follow) {
  struct stat64 st {};
  if ((follow ? ::stat64(from.c_str(), &st) : ::lstat64(from.c_str(), &st)) != 0) {
    return {errno, from};
  }
  if (S_ISREG(st.st_mode)) return CopyRegular(from, to, st);
  if (S_ISLNK(st.st_mode)) {
    std::vector<char> target(4096);
    const ssize_t n = ::readlink(from.c_str(), target.data(), target.size());
    if (n < 0) return {errno, from};
    if (::symlink(std::string(target.data(), static_cast<std::size_t>(n)).c_str(), to.c_str()) !=
        0) {
      return {errno, to};
    }
    return {};
  }
  if (!S_ISDIR(st.st_mode)) return {};  // devices, fifos and sockets are not copied
  if (::mkdir(to.c_str(), 0700) != 0 && errno != EEXIST) return {errno, to};
  DIR* d = ::opendir(from.c_str());
  if (d == nullptr) return {errno, from};
  Failure failure;
  while (const dirent64* e = ::readdir64(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    failure = CopyTree(Join(from, name), Join(to, name), false);
    if (failure.err != 0) break;
  }
  ::closedir(d);
  if (failure.err == 0 && ::chmod(to.c_str(), st.st_mode & 07777) != 0) failure = {errno, to};
  return failure;
}

Failure RemoveTree(const std::string& path) {
  struct stat64 st {};
  if (::lstat64(path.c_str(), &st) != 0) return {errno, path};
  if (!S_ISDIR(st.st_mode)) {
    if (::unlink(path.c_str()) != 0) return {errno, path};
    return {};
  }
  DIR* d = ::opendir(path.c_str());
  if (d == nullptr) return {errno, path};
  Failure failure;
  while (const dirent64* e = ::readdir64(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    failure = RemoveTree(Join(path, name));
    if (failure.err != 0) break;
  }
  ::closedir(d);
  if (failure.err == 0 && ::rmdir(path.c_str()) != 0) failure = {errno, path};
  return failure;
}

bool Check(const Failure& f, const char* op) {
  DirAcces_dirError = 0;
  if (f.err == 0) return true;
  ReportErrno(f.err, op, f.path);
  return false;
}

bool IsRegular(const std::string& path, const char* op) {
  struct stat64 st {};
  if (::stat64(path.c_str(), &st) != 0) {
    ReportErrno(errno, op, path);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    Report(7, 0, op, path + " is not a regular file");
    return false;
  }
  return true;
}

}  // namespace

void DirAcces_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "DirAcces");
  if (!init) return;
  UCommon_Init();
  UArgs_Init();
  Strings_Init();
  Messages_Init();
  Processe_Init();
  FileIO_Init();
  BFileIO_Init();
}

// ---- Paths ----

void DirAcces_IncludePath(StrIn dir, StrIn name, StrOut path) {
  Put(Join(dir.str(), name.str()), path);
}

void DirAcces_ExcludePath(StrIn path, StrOut dir, StrOut name) {
  const auto [d, n] = Split(path.str());
  Put(d, dir);
  Put(n, name);
}

namespace {
std::string Head(const std::string& p) {
  if (p.empty()) return "";
  if (p.front() == '/') return "/";
  return p.substr(0, p.find('/'));
}
}  // namespace

void DirAcces_GetPathHead(StrIn path, StrOut head) { Put(Head(path.str()), head); }

void DirAcces_CutPathHead(StrOut path, StrOut head) {
  const std::string p = std::string(path.view());
  const std::string h = Head(p);
  std::size_t rest = h.size();
  while (rest < p.size() && p[rest] == '/') ++rest;
  Put(h, head);
  Put(p.substr(rest), path);
}

bool DirAcces_PathStartsWith(StrIn path, StrIn prefix) {
  const std::string p = path.str();
  const std::string pre = StripTrailingSlashes(prefix.str());
  if (pre.empty()) return true;
  if (pre == "/") return !p.empty() && p.front() == '/';
  if (p.compare(0, pre.size(), pre) != 0) return false;
  return p.size() == pre.size() || p[pre.size()] == '/';
}

bool DirAcces_ReplacePathHead(StrIn path, StrIn oldHead, StrIn newHead, StrOut result) {
  const std::string p = path.str();
  if (!DirAcces_PathStartsWith(path, oldHead)) {
    Put(p, result);
    return false;
  }
  const std::string old = StripTrailingSlashes(oldHead.str());
  std::size_t restStart = old == "/" ? 1 : old.size();
  while (restStart < p.size() && p[restStart] == '/') ++restStart;
  const std::string rest = p.substr(std::min(restStart, p.size()));
  Put(rest.empty() ? newHead.str() : Join(newHead.str(), rest), result);
  return true;
}

bool DirAcces_ContainsPath(StrIn pathList, StrIn path) {
  const std::string want = StripTrailingSlashes(path.str());
  for (const auto& element : SplitList(pathList.str())) {
    if (StripTrailingSlashes(element) == want) return true;
  }
  return false;
}

// ---- File status ----

bool DirAcces_Access(StrIn path, unsigned mode) {
  DirAcces_dirError = 0;
  const bool ok = Accessible(path.str(), mode);
  if (!ok) DirAcces_dirError = mode > 3 ? 7 : FromErrno(errno);
  return ok;
}

void DirAcces_FileStatN(StrIn path, DirAcces_DirEntry& entry) {
  StatPath(path, entry, true, "FileStatN");
}

void DirAcces_LFileStatN(StrIn path, DirAcces_DirEntry& entry) {
  StatPath(path, entry, false, "LFileStatN");
}

void DirAcces_FileStatF(FileIO_File file, DirAcces_DirEntry& entry) {
  DirAcces_dirError = 0;
  struct stat64 st {};
  if (::fstat64(file, &st) != 0) {
    ReportErrno(errno, "FileStatF", "descriptor " + std::to_string(file));
    return;
  }
  Fill(st, "", entry);
}

bool DirAcces_IsRegularFile(const DirAcces_DirEntry& e) { return S_ISREG(e.mode); }
bool DirAcces_IsDirectory(const DirAcces_DirEntry& e) { return S_ISDIR(e.mode); }
bool DirAcces_IsFifo(const DirAcces_DirEntry& e) { return S_ISFIFO(e.mode); }
bool DirAcces_IsSymlink(const DirAcces_DirEntry& e) { return S_ISLNK(e.mode); }
bool DirAcces_IsBlockSpecial(const DirAcces_DirEntry& e) { return S_ISBLK(e.mode); }
bool DirAcces_IsCharacterSpecial(const DirAcces_DirEntry& e) { return S_ISCHR(e.mode); }
bool DirAcces_IsSocket(const DirAcces_DirEntry& e) { return S_ISSOCK(e.mode); }

// ---- Listings ----

bool DirAcces_GetFirstEntry(DirAcces_DirEntry& entry) { return FirstOfCurrent(entry, true); }
bool DirAcces_GetNextEntry(DirAcces_DirEntry& entry) { return NextOfCurrent(entry, true); }
bool DirAcces_LGetFirstEntry(DirAcces_DirEntry& entry) { return FirstOfCurrent(entry, false); }
bool DirAcces_LGetNextEntry(DirAcces_DirEntry& entry) { return NextOfCurrent(entry, false); }

DirAcces_Dir DirAcces_OpenDir(StrIn path) {
  auto* s = new DirAcces_DirStream;
  if (!OpenListing(*s, path.str(), "OpenDir")) {
    delete s;
    return DirAcces_NilDir;
  }
  return s;
}

bool DirAcces_GetDirEntry(DirAcces_Dir dir, DirAcces_DirEntry& entry, bool followLinks) {
  DirAcces_dirError = 0;
  if (dir == DirAcces_NilDir) {
    Report(7, EBADF, "GetDirEntry", "");
    return false;
  }
  return NextEntry(*dir, entry, followLinks);
}

bool DirAcces_GetSmallDirEntry(DirAcces_Dir dir, StrOut name) {
  DirAcces_dirError = 0;
  if (dir == DirAcces_NilDir || dir->dir == nullptr) {
    Report(7, EBADF, "GetSmallDirEntry", "");
    return false;
  }
  const dirent64* d = ::readdir64(dir->dir);
  if (d == nullptr) return false;
  Put(d->d_name, name);
  return true;
}

bool DirAcces_StatInDir(DirAcces_Dir dir, StrIn name, bool followLinks, DirAcces_DirEntry& entry) {
  DirAcces_dirError = 0;
  if (dir == DirAcces_NilDir || dir->dir == nullptr) {
    Report(7, EBADF, "StatInDir", "");
    return false;
  }
  const std::string n = name.str();
  struct stat64 st {};
  if (::fstatat64(::dirfd(dir->dir), n.c_str(), &st, followLinks ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
    ReportErrno(errno, "StatInDir", Join(dir->path, n));
    return false;
  }
  Fill(st, n, entry);
  return true;
}

void DirAcces_CloseDir(DirAcces_Dir& dir) {
  DirAcces_dirError = 0;
  if (dir == DirAcces_NilDir) return;
  if (dir->dir != nullptr) ::closedir(dir->dir);
  delete dir;
  dir = DirAcces_NilDir;
}

// ---- Changing the file system ----

void DirAcces_MkDir(StrIn path) {
  DirAcces_dirError = 0;
  const std::string p = path.str();
  if (::mkdir(p.c_str(), 0777) == 0) return;
  const int err = errno;
  if (err == EEXIST) {
    Report(4, 0, "MkDir", p);
  } else {
    ReportErrno(err, "MkDir", p);
  }
}

bool DirAcces_RecursiveMkDir(StrIn path, unsigned mode) {
  DirAcces_dirError = 0;
  const std::string p = StripTrailingSlashes(path.str());
  if (p.empty()) {
    Report(1, ENOENT, "RecursiveMkDir", p);
    return false;
  }
  // Every prefix ending before a "/" is a parent; the path itself comes last.
  for (std::size_t i = 1; i <= p.size(); ++i) {
    if (i < p.size() && p[i] != '/') continue;
    if (i < p.size() && p[i - 1] == '/') continue;  // doubled slash
    const std::string dir = p.substr(0, i);
    struct stat64 st {};
    if (::stat64(dir.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) {
        Report(3, ENOTDIR, "RecursiveMkDir", dir);
        return false;
      }
      continue;
    }
    if (::mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
      ReportErrno(errno, "RecursiveMkDir", dir);
      return false;
    }
    if (mode > 0 && ::chmod(dir.c_str(), mode) != 0) {
      ReportErrno(errno, "RecursiveMkDir", dir);
      return false;
    }
  }
  return true;
}

void DirAcces_RmDir(StrIn path) {
  const std::string p = path.str();
  Sys(::rmdir(p.c_str()), "RmDir", p);
}

void DirAcces_Remove(StrIn path) {
  const std::string p = path.str();
  Sys(::unlink(p.c_str()), "Remove", p);
}

void DirAcces_Rename(StrIn oldPath, StrIn newPath) {
  DirAcces_dirError = 0;
  const std::string from = oldPath.str();
  const std::string to = newPath.str();
  if (::link(from.c_str(), to.c_str()) != 0) {
    const int err = errno;
    // Directories cannot be hard-linked; they are renamed when the target is free.
    struct stat64 st {};
    if (err == EPERM && ::lstat64(from.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      if (::lstat64(to.c_str(), &st) == 0) {
        Report(2, EEXIST, "Rename", to);
        return;
      }
      Sys(::rename(from.c_str(), to.c_str()), "Rename", from);
      return;
    }
    ReportErrno(err, "Rename", to);
    return;
  }
  if (::unlink(from.c_str()) != 0) {
    const int err = errno;
    ::unlink(to.c_str());
    ReportErrno(err, "Rename", from);
  }
}

void DirAcces_AtomicRename(StrIn oldPath, StrIn newPath) {
  const std::string from = oldPath.str();
  Sys(::rename(from.c_str(), newPath.str().c_str()), "AtomicRename", from);
}

void DirAcces_Link(StrIn existing, StrIn newPath) {
  const std::string to = newPath.str();
  Sys(::link(existing.str().c_str(), to.c_str()), "Link", to);
}

void DirAcces_Symlink(StrIn target, StrIn linkPath) {
  const std::string to = linkPath.str();
  Sys(::symlink(target.str().c_str(), to.c_str()), "Symlink", to);
}

void DirAcces_ReadLink(StrIn path, StrOut target) {
  DirAcces_dirError = 0;
  const std::string p = path.str();
  std::vector<char> buf(4096);
  const ssize_t n = ::readlink(p.c_str(), buf.data(), buf.size());
  if (n < 0) {
    Put("", target);
    ReportErrno(errno, "ReadLink", p);
    return;
  }
  Put(std::string(buf.data(), static_cast<std::size_t>(n)), target);
}

void DirAcces_RealPath(StrIn path, StrOut real) {
  DirAcces_dirError = 0;
  const std::string p = path.str();
  char* r = ::realpath(p.c_str(), nullptr);
  if (r == nullptr) {
    Put("", real);
    ReportErrno(errno, "RealPath", p);
    return;
  }
  Put(r, real);
  std::free(r);
}

void DirAcces_Copy(StrIn from, StrIn to) { Check(CopyTree(from.str(), to.str(), true), "Copy"); }

void DirAcces_Move(StrIn from, StrIn to) {
  DirAcces_dirError = 0;
  const std::string f = from.str();
  const std::string t = to.str();
  if (::rename(f.c_str(), t.c_str()) == 0) return;
  if (errno != EXDEV) {
    ReportErrno(errno, "Move", f);
    return;
  }
  if (Check(CopyTree(f, t, false), "Move")) Check(RemoveTree(f), "Move");
}

void DirAcces_CopyFile(StrIn from, StrIn to) {
  DirAcces_dirError = 0;
  const std::string f = from.str();
  if (!IsRegular(f, "CopyFile")) return;
  struct stat64 st {};
  if (::stat64(f.c_str(), &st) != 0) {
    ReportErrno(errno, "CopyFile", f);
    return;
  }
  Check(CopyRegular(f, to.str(), st), "CopyFile");
}

void DirAcces_MoveFile(StrIn from, StrIn to) {
  DirAcces_dirError = 0;
  const std::string f = from.str();
  if (!IsRegular(f, "MoveFile")) return;
  DirAcces_Move(from, to);
}

void DirAcces_ChMod(StrIn path, unsigned mode) {
  const std::string p = path.str();
  Sys(::chmod(p.c_str(), mode), "ChMod", p);
}

void DirAcces_Touch(StrIn path) {
  DirAcces_dirError = 0;
  const std::string p = path.str();
  const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT, 0666);
  if (fd < 0) {
    ReportErrno(errno, "Touch", p);
    return;
  }
  const int rc = ::futimens(fd, nullptr);
  const int err = errno;
  ::close(fd);
  if (rc != 0) ReportErrno(err, "Touch", p);
}

void DirAcces_ChTimes(StrIn path, std::int64_t accessTime, std::int64_t modifyTime) {
  const std::string p = path.str();
  struct timespec times[2]{};
  times[0].tv_sec = static_cast<std::time_t>(accessTime);
  times[1].tv_sec = static_cast<std::time_t>(modifyTime);
  Sys(::utimensat(AT_FDCWD, p.c_str(), times, 0), "ChTimes", p);
}

std::int64_t DirAcces_LastModified(StrIn path) {
  DirAcces_dirError = 0;
  const std::string p = path.str();
  struct stat64 st {};
  if (::stat64(p.c_str(), &st) != 0) {
    ReportErrno(errno, "LastModified", p);
    return 0;
  }
  return st.st_mtime;
}

bool DirAcces_FilesEqual(StrIn a, StrIn b) {
  DirAcces_dirError = 0;
  std::FILE* fa = std::fopen(a.str().c_str(), "rb");
  std::FILE* fb = fa != nullptr ? std::fopen(b.str().c_str(), "rb") : nullptr;
  bool equal = fb != nullptr;
  if (!equal) DirAcces_dirError = FromErrno(errno);
  std::vector<char> ba(1 << 16), bb(1 << 16);
  while (equal) {
    const std::size_t na = std::fread(ba.data(), 1, ba.size(), fa);
    const std::size_t nb = std::fread(bb.data(), 1, bb.size(), fb);
    if (na != nb || std::memcmp(ba.data(), bb.data(), na) != 0) equal = false;
    if (na < ba.size()) break;
  }
  if (fa != nullptr) std::fclose(fa);
  if (fb != nullptr) std::fclose(fb);
  return equal;
}

bool DirAcces_OnSameFilesystem(StrIn a, StrIn b) {
  DirAcces_dirError = 0;
  struct stat64 sa {
  }, sb{};
  if (::stat64(a.str().c_str(), &sa) != 0 || ::stat64(b.str().c_str(), &sb) != 0) {
    DirAcces_dirError = FromErrno(errno);
    return false;
  }
  return sa.st_dev == sb.st_dev;
}

// ---- Current directory ----

void DirAcces_ChDir(StrIn path) {
  DirAcces_dirError = 0;
  const std::string p = path.str();
  if (p.empty()) {
    ReportErrno(ENOENT, "ChDir", p);
    return;
  }
  const std::string base = chDirUsed ? logicalDir : SystemCwd();
  const std::string target = Normalize(base, p);
  if (::chdir(target.c_str()) != 0) {
    ReportErrno(errno, "ChDir", p);
    return;
  }
  chDirUsed = true;
  logicalDir = target;
  canonicalDir = SystemCwd();
}

void DirAcces_CurrentDir(StrOut path) {
  DirAcces_dirError = 0;
  Put(chDirUsed ? logicalDir : SystemCwd(), path);
}

// ---- Environment ----

bool DirAcces_EnvVar(StrIn name, StrOut value) {
  DirAcces_dirError = 0;
  const auto v = CheckedEnv(name.str());
  Put(v.value_or(""), value);
  return v.has_value();
}

void DirAcces_PutEnvVar(StrIn name, StrIn value) { PutEnv(name.str(), value.str()); }

bool DirAcces_GetNthEnvVar(std::size_t n, StrOut name, StrOut value) {
  DirAcces_dirError = 0;
  for (std::size_t i = 0; environ != nullptr && environ[i] != nullptr; ++i) {
    if (i != n) continue;
    const std::string entry = environ[i];
    const std::size_t eq = entry.find('=');
    Put(entry.substr(0, eq), name);
    Put(eq == std::string::npos ? "" : entry.substr(eq + 1), value);
    return true;
  }
  Put("", name);
  Put("", value);
  return false;
}

void DirAcces_GetNetRoot(StrOut root) {
  DirAcces_dirError = 0;
  const std::string value = EnvValue("VM_NETROOT");
  Put(value.empty() ? "/nfs" : value, root);
}

void DirAcces_NetPath(StrIn host, StrIn path, StrOut result) {
  DirAcces_dirError = 0;
  std::string value = EnvValue("VM_NETROOT");
  if (value.empty()) value = "/nfs";
  if (value.back() != '/') value += '/';
  value += host.view();
  if (path.view().empty() || path.view().front() != '/') value += '/';
  value += path.view();
  Put(value, result);
}

void DirAcces_GetSpecialPath(unsigned n, StrOut path) {
  DirAcces_dirError = 0;
  Put(SpecialPath(n), path);
}

void DirAcces_IncludeSpecialPath(unsigned n, StrIn name, StrOut path) {
  DirAcces_dirError = 0;
  Put(Join(SpecialPath(n), name.str()), path);
}

bool DirAcces_AccessSpecial(unsigned n, StrIn name, unsigned mode, StrOut path) {
  DirAcces_dirError = 0;
  const char* var = SpecialVariable(n);
  const std::vector<std::string> dirs =
      var != nullptr ? SplitList(EnvValue(var)) : std::vector<std::string>{"/"};
  for (const auto& dir : dirs) {
    const std::string candidate = Join(dir.empty() ? "/" : dir, name.str());
    if (Accessible(candidate, mode)) {
      Put(candidate, path);
      return true;
    }
  }
  Put("", path);
  DirAcces_dirError = 7;
  return false;
}

bool DirAcces_CheckFlag(StrIn name) {
  DirAcces_dirError = 0;
  const std::string flag = name.str();
  if (auto v = Getenv("VM_" + flag)) {
    std::string lower = *v;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower != "false" && lower != "no" && lower != "off";
  }
  return Accessible(Join(SpecialPath(DirAcces_customerPath), flag), DirAcces_exists);
}

void DirAcces_SetFlag(StrIn name, bool on) {
  DirAcces_dirError = 0;
  const std::string flag = name.str();
  if (Getenv("VM_" + flag)) {
    PutEnv("VM_" + flag, on ? "on" : "off");
    return;
  }
  const std::string file = Join(SpecialPath(DirAcces_customerPath), flag);
  if (on) {
    DirAcces_Touch(file);
  } else if (::unlink(file.c_str()) != 0 && errno != ENOENT) {
    ReportErrno(errno, "SetFlag", file);
  }
}

bool DirAcces_CheckIntFlag(StrIn name, std::int64_t& value) {
  DirAcces_dirError = 0;
  const auto v = Getenv("VM_" + name.str());
  if (!v || v->empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long x = std::strtoll(v->c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  value = x;
  return true;
}

bool DirAcces_CheckRealFlag(StrIn name, double& value) {
  DirAcces_dirError = 0;
  const auto v = Getenv("VM_" + name.str());
  if (!v || v->empty()) return false;
  char* end = nullptr;
  errno = 0;
  const double x = std::strtod(v->c_str(), &end);
  if (errno != 0 || *end != '\0') return false;
  value = x;
  return true;
}

bool DirAcces_CheckStringFlag(StrIn name, StrOut value) {
  DirAcces_dirError = 0;
  const auto v = Getenv("VM_" + name.str());
  if (!v) return false;
  Put(*v, value);
  return true;
}

void DirAcces_GetMachineName(StrOut name) {
  DirAcces_dirError = 0;
  Put(EnvValue("HOST"), name);
}

void DirAcces_GetNodeName(StrOut name) {
  DirAcces_dirError = 0;
  Put(NodeName(), name);
}

void DirAcces_GetInstanceFilename(StrOut path) {
  DirAcces_dirError = 0;
  Put(InstanceFilename(), path);
}

// ---- Lookups ----

namespace {

// Tries file itself (when asked) and then each element of list joined with file; the
// first candidate that try accepts is kept as the last file path. The reasons of the
// failed attempts are forgotten; when none succeeds error 7 is reported.
template <class Try>
bool Lookup(const std::string& list, const std::string& file, bool fileFirst, const char* op,
            const std::string& what, Try&& attempt) {
  DirAcces_dirError = 0;
  std::vector<std::string> candidates;
  if (fileFirst) candidates.push_back(file);
  if (!list.empty()) {
    for (const auto& dir : SplitList(list)) candidates.push_back(Join(dir, file));
  }
  for (const auto& candidate : candidates) {
    Messages_Ignoring quiet;
    const bool ok = attempt(candidate);
    quiet.Close();
    if (ok) {
      lastFilePath = candidate;
      return true;
    }
    Messages_ForgetErrorReasons();
  }
  lastFilePath.clear();
  char text[256];
  Messages_GetMsg("DirAcces", 1, text);
  Messages_SupplyAdditionalInfo(std::string(StrIn(text).view()) + what + ", " + file);
  Report(7, 0, op, file);
  return false;
}

}  // namespace

FileIO_File DirAcces_PathLookup(StrIn variable, StrIn file, unsigned mode) {
  const std::string var = variable.str();
  FileIO_File f = FileIO_Nil;
  Lookup(EnvValue(var), file.str(), true, "PathLookup", var, [&](const std::string& p) {
    f = FileIO_Open(p, mode);
    return FileIO_ioError == 0 && f != FileIO_Nil;
  });
  return f;
}

BFileIO_File DirAcces_BPathLookup(StrIn variable, StrIn file, unsigned mode) {
  const std::string var = variable.str();
  BFileIO_File f = BFileIO_Nil;
  Lookup(EnvValue(var), file.str(), true, "BPathLookup", var, [&](const std::string& p) {
    f = BFileIO_Open(p, mode);
    return BFileIO_ioError == 0 && f != BFileIO_Nil;
  });
  return f;
}

bool DirAcces_PathLookup1(StrIn variable, StrIn file, unsigned accessMode, StrOut path) {
  const std::string var = variable.str();
  const bool found = Lookup(EnvValue(var), file.str(), true, "PathLookup1", var,
                            [&](const std::string& p) { return Accessible(p, accessMode); });
  Put(found ? lastFilePath : std::string(), path);
  return found;
}

bool DirAcces_Lookup(StrIn pathList, StrIn file, unsigned accessMode, StrOut path) {
  const std::string list = pathList.str();
  const bool found = Lookup(list, file.str(), false, "Lookup", list,
                            [&](const std::string& p) { return Accessible(p, accessMode); });
  Put(found ? lastFilePath : std::string(), path);
  return found;
}

void DirAcces_LastFilePath(StrOut path) { Put(lastFilePath, path); }

// ---- Seams ----

void DirAcces_SetInstallRoot(StrIn root) { installRoot = root.str(); }

void DirAcces_InstalledPath(StrIn path, StrOut result) { Put(Installed(path.str()), result); }

void DirAcces_SetNodeNameSource(DirAcces_NodeNameSource source) {
  nodeNameSource = source;
  nodeName.reset();
}
