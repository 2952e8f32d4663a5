// The three jukebox drivers behind the table of Jk.hpp: FILESYS, NET and SCSI.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <regex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>

#include "Jk.hpp"
#include "Scsi.hpp"
#include "Socket.hpp"

namespace {

// ---- shared by the local drivers ---------------------------------------------------

// The jukebox lock: a file beside the state file, made exclusively. A lock older than
// MaxLockTime belongs to a holder that died or forgot it and is taken over.
bool LocalLock(JkJukeDesc& d) {
  if (d.lockFd >= 0) return true;
  const std::string path = d.stateFile + ".lock";
  for (int attempt = 0; attempt < 2; ++attempt) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      char pid[32];
      const int n = std::snprintf(pid, sizeof pid, "%d\n", static_cast<int>(::getpid()));
      if (::write(fd, pid, static_cast<std::size_t>(n)) != n) {
        ::close(fd);
        ::unlink(path.c_str());
        return false;
      }
      d.lockFd = fd;
      return true;
    }
    struct stat st {};
    if (errno != EEXIST || ::stat(path.c_str(), &st) != 0) break;
    if (std::time(nullptr) - st.st_mtime <= d.maxLockTime) {
      std::fprintf(stderr, "JkLockJukeBox: jukebox '%s' is locked\n", d.name.c_str());
      return false;
    }
    ::unlink(path.c_str());  // stale
  }
  std::fprintf(stderr, "JkLockJukeBox: cannot lock '%s': %s\n", path.c_str(), std::strerror(errno));
  return false;
}

bool LocalUnlock(JkJukeDesc& d) {
  if (d.lockFd < 0) return true;
  ::close(d.lockFd);
  d.lockFd = -1;
  ::unlink((d.stateFile + ".lock").c_str());
  return true;
}

bool LocalSave(JkJukeDesc& d) { return Juke_SPU_WriteStateFile(d); }

bool LocalModified(JkJukeDesc& d, bool& modified) {
  struct stat st {};
  modified = ::stat(d.stateFile.c_str(), &st) == 0 && st.st_mtime != d.stateStamp;
  return true;
}

bool Copy(JkJukeDesc& to, const JkJukeDesc& from) {
  to = from;
  to.lockFd = -1;
  to.serverFd = -1;
  return true;
}

void LocalFree(JkJukeDesc& d) { LocalUnlock(d); }
bool Yes() { return true; }
bool YesText(JkJukeDesc&, const JkElement&, const char*) { return true; }

// The origins as indexes of slots, once the ids are known.
void FromIndexes(JkJukeDesc& d) {
  for (auto* list : {&d.robos, &d.slots, &d.ports, &d.drives}) {
    for (JkElement& e : *list) {
      e.fromIndex = -1;
      if (e.fromID < 0) continue;
      for (const JkElement& s : d.slots) {
        if (s.id == e.fromID) e.fromIndex = s.index;
      }
    }
  }
}

void Counts(JkJukeDesc& d) {
  d.nRobos = static_cast<int>(d.robos.size());
  d.nSlots = static_cast<int>(d.slots.size());
  d.nPorts = static_cast<int>(d.ports.size());
  d.nDrives = static_cast<int>(d.drives.size());
}

void MergeSaved(JkJukeDesc& d) {
  struct stat st {};
  if (::stat(d.stateFile.c_str(), &st) == 0) Juke_SPU_MergeStateFile(d);
}

// ---- FILESYS --------------------------------------------------------------------

const char* const kFsDirs[4] = {"robos", "slots", "ports", "drives"};
const char* const kFsPrefix[4] = {"robo.", "slot.", "port.", "drive."};

std::string FsElementDir(const JkJukeDesc& d, int kind, int id) {
  return d.device + "/" + kFsDirs[kind] + "/" + kFsPrefix[kind] + std::to_string(id);
}

// The medium in an element directory ("" when empty).
std::string FsMedium(const std::string& dir) {
  DIR* dp = ::opendir(dir.c_str());
  if (dp == nullptr) return "";
  std::string medium;
  while (dirent* de = ::readdir(dp)) {
    const std::string n = de->d_name;
    if (n == "." || n == ".." || n == "KAPUTT" || n == "FROM" || n == "MEDIUM") continue;
    medium = n;
    break;
  }
  ::closedir(dp);
  return medium;
}

bool FsLoadKind(JkJukeDesc& d, int kind, std::vector<JkElement>& list) {
  const std::string dir = d.device + "/" + kFsDirs[kind];
  DIR* dp = ::opendir(dir.c_str());
  if (dp == nullptr) {
    std::fprintf(stderr, "juke_spi_pseudo.LoadState: cannot open '%s': %s\n", dir.c_str(),
                 std::strerror(errno));
    return false;
  }
  std::vector<int> ids;
  const std::string prefix = kFsPrefix[kind];
  while (dirent* de = ::readdir(dp)) {
    const std::string n = de->d_name;
    if (n.compare(0, prefix.size(), prefix) != 0) continue;
    char* end = nullptr;
    const long id = std::strtol(n.c_str() + prefix.size(), &end, 10);
    if (*end == '\0' && end != n.c_str() + prefix.size() && id >= 0 && id < 65536) {
      ids.push_back(static_cast<int>(id));
    }
  }
  ::closedir(dp);
  std::sort(ids.begin(), ids.end());
  list.clear();
  for (int id : ids) {
    const std::string edir = FsElementDir(d, kind, id);
    JkElement e;
    e.id = id;
    e.index = static_cast<int>(list.size());
    struct stat st {};
    e.ok = ::stat((edir + "/KAPUTT").c_str(), &st) != 0;
    if (::stat((edir + "/core").c_str(), &st) == 0) {
      std::fprintf(stderr, "juke_spi_pseudo.LoadState: core file detected\n");
      return false;
    }
    if (FILE* f = std::fopen((edir + "/FROM").c_str(), "r")) {
      if (std::fscanf(f, "%d", &e.fromID) != 1) e.fromID = -1;
      std::fclose(f);
    }
    const std::string medium = FsMedium(edir);
    e.full = !medium.empty();
    if (e.full) e.description = medium;
    if (!e.full) e.fromID = -1;
    if (kind == 3) e.driveType = jkFilesys;
    list.push_back(std::move(e));
  }
  return true;
}

bool FsLoad(JkJukeDesc& d) {
  std::vector<JkElement>* lists[4] = {&d.robos, &d.slots, &d.ports, &d.drives};
  for (int k = 0; k < 4; ++k) {
    if (!FsLoadKind(d, k, *lists[k])) return false;
  }
  Counts(d);
  FromIndexes(d);
  MergeSaved(d);
  return true;
}

bool FsFail(const char* text) {
  std::fputs(text, stderr);
  return false;
}

// Moves the medium between two element directories through the robot's.
bool FsMove(JkJukeDesc& d, int robotIndex, int srcKind, const JkElement& src, int dstKind,
            const JkElement& dst) {
  if (robotIndex < 0 || robotIndex >= static_cast<int>(d.robos.size())) {
    return FsFail("FS_MOVE_MEDIUM: not a media transport element\n");
  }
  const std::string robo = FsElementDir(d, 0, d.robos[static_cast<std::size_t>(robotIndex)].id);
  const std::string from = FsElementDir(d, srcKind, src.id);
  const std::string to = FsElementDir(d, dstKind, dst.id);
  struct stat st {};
  if (::stat((from + "/KAPUTT").c_str(), &st) == 0)
    return FsFail("FS_MOVE_MEDIUM: source not ok !\n");
  const std::string medium = FsMedium(from);
  if (medium.empty()) return FsFail("FS_MOVE_MEDIUM: source empty !\n");
  if (::stat((robo + "/KAPUTT").c_str(), &st) == 0)
    return FsFail("FS_MOVE_MEDIUM: robo not ok !\n");
  if (!FsMedium(robo).empty()) return FsFail("FS_MOVE_MEDIUM: robo not empty !\n");
  if (::stat((to + "/KAPUTT").c_str(), &st) == 0) {
    return FsFail("FS_MOVE_MEDIUM: destination not ok !\n");
  }
  if (!FsMedium(to).empty()) return FsFail("FS_MOVE_MEDIUM: destination not empty !\n");
  if (::rename((from + "/" + medium).c_str(), (to + "/" + medium).c_str()) != 0) {
    std::fprintf(stderr, "FS_MOVE_MEDIUM: rename failed: %s\n", std::strerror(errno));
    return false;
  }
  // The origin travels with the medium; a medium leaving its slot remembers that slot.
  int origin = src.id;
  if (FILE* f = std::fopen((from + "/FROM").c_str(), "r")) {
    if (srcKind == 3 && std::fscanf(f, "%d", &origin) != 1) origin = src.id;
    std::fclose(f);
  }
  ::unlink((from + "/FROM").c_str());
  ::unlink((from + "/MEDIUM").c_str());
  if (FILE* f = std::fopen((to + "/FROM").c_str(), "w")) {
    std::fprintf(f, "%d\n", origin);
    std::fclose(f);
  }
  if (dstKind == 3) {
    ::unlink((to + "/MEDIUM").c_str());
    if (::symlink(medium.c_str(), (to + "/MEDIUM").c_str()) != 0) {
      std::fprintf(stderr, "FS_MOVE_MEDIUM: symlink failed: %s\n", std::strerror(errno));
      return false;
    }
  }
  return true;
}

bool FsLoadMedia(JkJukeDesc& d, const JkElement& s, const JkElement& dr) {
  return FsMove(d, 0, 1, s, 3, dr);
}
bool FsUnloadMedia(JkJukeDesc& d, const JkElement& dr, const JkElement& s) {
  return FsMove(d, 0, 3, dr, 1, s);
}
bool FsImport(JkJukeDesc& d, const JkElement& p, const JkElement& s) {
  return FsMove(d, 0, 2, p, 1, s);
}
bool FsExport(JkJukeDesc& d, const JkElement& s, const JkElement& p) {
  return FsMove(d, 0, 1, s, 2, p);
}
bool FsClean(JkJukeDesc& d, const JkElement& s, const JkElement& dr) {
  return FsMove(d, 0, 1, s, 3, dr) && FsMove(d, 0, 3, dr, 1, s);
}
bool FsInventory(JkJukeDesc& d) {
  JkJukeDesc fresh = d;
  if (!FsLoad(fresh)) return false;
  d.robos = fresh.robos;
  d.slots = fresh.slots;
  d.ports = fresh.ports;
  for (std::size_t i = 0; i < d.drives.size() && i < fresh.drives.size(); ++i) {
    d.drives[i].full = fresh.drives[i].full;
    d.drives[i].ok = fresh.drives[i].ok;
  }
  return true;
}
bool FsResetDrive(JkJukeDesc&, const JkElement&) { return true; }

const JkDriver fsDriver{"FILESYS",     "Pseudo-Jukebox Juke_SPI_PSEUDO",
                        Yes,           FsInventory,
                        FsLoad,        LocalSave,
                        LocalModified, Copy,
                        LocalFree,     LocalLock,
                        LocalUnlock,   YesText,
                        YesText,       FsResetDrive,
                        FsLoadMedia,   FsUnloadMedia,
                        FsImport,      FsExport,
                        FsClean};

// ---- SCSI ----------------------------------------------------------------------

int Get16(const unsigned char* p) { return (p[0] << 8) | p[1]; }
std::size_t Get24(const unsigned char* p) {
  return (static_cast<std::size_t>(p[0]) << 16) | (static_cast<std::size_t>(p[1]) << 8) | p[2];
}

ScsiChannel* ScsiOpenChanger(const JkJukeDesc& d) {
  ScsiChannel* c = ScsiOpen(d.device.c_str());
  if (c == nullptr) {
    std::fprintf(stderr, "cannot ScsiOpen('%s') %s\n", d.device.c_str(),
                 std::strerror(ScsiErrno ? ScsiErrno : EIO));
  }
  return c;
}

bool ScsiLoad(JkJukeDesc& d) {
  ScsiChannel* c = ScsiOpenChanger(d);
  if (c == nullptr) return false;
  std::unique_ptr<unsigned char, void (*)(void*)> buffer(
      static_cast<unsigned char*>(std::calloc(1, ScsiMaxBuff)), std::free);
  if (!buffer) {
    std::fprintf(stderr, "JukeCmds.LoadState(): cannot allocate %d byte buffer\n", ScsiMaxBuff);
    ScsiClose(c);
    return false;
  }
  const int rc = READ_ELEMENT_STATUS(c, 0, 100, buffer.get(), ScsiMaxBuff);
  ScsiClose(c);
  if (rc != 0) {
    std::fprintf(stderr, "JukeCmds.LoadState(): READ ELEMENT STATUS failed\n");
    return false;
  }
  std::string error;
  if (!Juke_SPI_SCSI_ParseElementStatus(buffer.get(), ScsiMaxBuff, d, error)) {
    std::fprintf(stderr, "JukeCmds.LoadState(): %s\n", error.c_str());
    return false;
  }
  MergeSaved(d);
  return true;
}

bool ScsiMove(JkJukeDesc& d, const JkElement& src, const JkElement& dst) {
  if (d.robos.empty()) return false;
  ScsiChannel* c = ScsiOpenChanger(d);
  if (c == nullptr) return false;
  const int rc = MOVE_MEDIUM(c, d.robos[0].id, src.id, dst.id);
  unsigned char s[16] = {};
  ScsiGetSense(nullptr, s, 16);
  ScsiClose(c);
  if (rc != 0) {
    std::fprintf(stderr, "JukeCmds.MoveMedium(%d, %d): sense key %x, asc %02x, ascq %02x\n", src.id,
                 dst.id, s[2] & 0x0f, s[12], s[13]);
    return false;
  }
  return true;
}

bool ScsiLoadMedia(JkJukeDesc& d, const JkElement& s, const JkElement& dr) {
  return ScsiMove(d, s, dr);
}
bool ScsiUnloadMedia(JkJukeDesc& d, const JkElement& dr, const JkElement& s) {
  return ScsiMove(d, dr, s);
}
bool ScsiImport(JkJukeDesc& d, const JkElement& p, const JkElement& s) { return ScsiMove(d, p, s); }
bool ScsiExport(JkJukeDesc& d, const JkElement& s, const JkElement& p) { return ScsiMove(d, s, p); }
bool ScsiClean(JkJukeDesc& d, const JkElement& s, const JkElement& dr) {
  return ScsiMove(d, s, dr) && ScsiMove(d, dr, s);
}
bool ScsiInventory(JkJukeDesc& d) {
  ScsiChannel* c = ScsiOpenChanger(d);
  if (c == nullptr) return false;
  const int rc = INITIALIZE_ELEMENT_STATUS(c);
  ScsiClose(c);
  return rc == 0;
}
bool ScsiResetDrive(JkJukeDesc&, const JkElement& drive) {
  ScsiChannel* c = ScsiOpen(drive.scsiDevice.c_str());
  if (c == nullptr) return false;
  const int rc = ScsiReset(c);
  ScsiClose(c);
  return rc == 0;
}
bool ScsiInit() {
  Scsi_Init();
  return true;
}

const JkDriver scsiDriver{"SCSI",        "SCSI-Jukebox Juke_SPI_SCSI",
                          ScsiInit,      ScsiInventory,
                          ScsiLoad,      LocalSave,
                          LocalModified, Copy,
                          LocalFree,     LocalLock,
                          LocalUnlock,   YesText,
                          YesText,       ScsiResetDrive,
                          ScsiLoadMedia, ScsiUnloadMedia,
                          ScsiImport,    ScsiExport,
                          ScsiClean};

// ---- NET -----------------------------------------------------------------------

constexpr int kTimeoutMs = 600000;  // a move with its sleeps may take minutes

// Reads one line (without its newline) of at most max bytes.
bool ReadLine(int fd, std::string& line, std::size_t max) {
  line.clear();
  for (;;) {
    char c;
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, kTimeoutMs) <= 0) return false;
      continue;
    }
    if (n <= 0) return false;
    if (c == '\n') return true;
    if (line.size() >= max) return false;
    line.push_back(c);
  }
}

bool ReadBytes(int fd, std::string& data, std::size_t n) {
  data.resize(n);
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::read(fd, data.data() + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, kTimeoutMs) <= 0) return false;
      continue;
    }
    if (r <= 0) return false;
    got += static_cast<std::size_t>(r);
  }
  return true;
}

// Matches text against an extended pattern; the groups go to out.
bool Match(const char* pattern, const std::string& text, std::vector<std::string>& out) {
  regex_t re;
  if (::regcomp(&re, pattern, REG_EXTENDED) != 0) return false;
  regmatch_t m[4];
  const bool ok = ::regexec(&re, text.c_str(), 4, m, 0) == 0;
  out.clear();
  if (ok) {
    for (const regmatch_t& g : m) {
      out.push_back(g.rm_so < 0 ? ""
                                : text.substr(static_cast<std::size_t>(g.rm_so),
                                              static_cast<std::size_t>(g.rm_eo - g.rm_so)));
    }
  }
  ::regfree(&re);
  return ok;
}

bool Send(int fd, const std::string& line) {
  const std::string l = line + "\n";
  return Socket_WriteAll(fd, l.data(), l.size());
}

bool Connect(JkJukeDesc& d) {
  if (d.serverFd >= 0) return true;
  std::vector<std::string> g;
  if (!Match("([^:]+):([0-9]+)", d.server, g)) {
    std::fprintf(stderr, "juke_spi_net: bad JukeServer '%s'\n", d.server.c_str());
    return false;
  }
  std::string error;
  int fd = Socket_Connect(g[1], std::atoi(g[2].c_str()), 0, error);
  if (fd < 0) {
    std::fprintf(stderr, "juke_spi_net: ConnectToJukeServer: %s\n", error.c_str());
    return false;
  }
  std::string line;
  if (!ReadLine(fd, line, JkNetMaxData) ||
      !Match("^Hi, i'm a jukebox server \\(proto=([0-9]+)\\.([0-9]+)\\)", line, g)) {
    std::fprintf(stderr, "juke_spi_net: ConnectToJukeServer: bad greeting\n");
    Socket_Close(fd);
    return false;
  }
  const int major = std::atoi(g[1].c_str()), minor = std::atoi(g[2].c_str());
  if (major < 1) {
    std::fprintf(stderr, "juke_spi_net: ConnectToJukeServer: incompatible protocol\n");
    std::fprintf(stderr, "client: %d.%d / server: %d.%d\n", 1, 0, major, minor);
    Socket_Close(fd);
    return false;
  }
  char hello[512];
  std::snprintf(hello, sizeof hello, "Hi jukebox server, i'm %s (%d) on %s (proto=%d.%d)",
                "juke_spi_net", static_cast<int>(::getpid()), Socket_NodeName().c_str(), 1, 0);
  if (!Send(fd, hello) || !ReadLine(fd, line, JkNetMaxData) || line != "i love you") {
    std::fprintf(stderr, "juke_spi_net: ConnectToJukeServer: no love from the server\n");
    Socket_Close(fd);
    return false;
  }
  d.serverFd = fd;
  return true;
}

// One request; the reply's number and text (the data for DATA).
JkReply Request(JkJukeDesc& d, const std::string& line, long long& number, std::string& text) {
  if (!Connect(d)) return JkReply::Broken;
  if (!Send(d.serverFd, line)) {
    Socket_Close(d.serverFd);
    return JkReply::Broken;
  }
  const JkReply r = Juke_SPI_NET_ReadReply(d.serverFd, number, text);
  if (r == JkReply::Broken) {
    std::fprintf(stderr, "juke_spi_net: broken reply to '%s'\n", line.c_str());
    Socket_Close(d.serverFd);
  } else if (r == JkReply::Error) {
    std::fprintf(stderr, "juke_spi_net: %s: %s\n", line.c_str(), text.c_str());
  }
  return r;
}

bool Ok(JkJukeDesc& d, const std::string& line) {
  long long n = 0;
  std::string text;
  return Request(d, line, n, text) == JkReply::Ok;
}

std::string Fmt(const char* fmt, int a, int b = 0) {
  char line[128];
  std::snprintf(line, sizeof line, fmt, a, b);
  return line;
}

bool NetLoad(JkJukeDesc& d) {
  long long n = 0;
  std::string text;
  if (Request(d, "LoadState " + d.name, n, text) != JkReply::Data) return false;
  std::string error;
  if (!Juke_SPU_ScanJukeState(text, d, false, error)) {
    std::fprintf(stderr, "juke_spi_net: LoadState: %s\n", error.c_str());
    return false;
  }
  if (Request(d, "StateModified -1", n, text) != JkReply::Ok) return false;
  d.stateStamp = n;
  return true;
}
bool NetSave(JkJukeDesc& d) { return Ok(d, "SaveState"); }
bool NetModified(JkJukeDesc& d, bool& modified) {
  long long n = 0;
  std::string text;
  char line[64];
  std::snprintf(line, sizeof line, "StateModified %lld", d.stateStamp);
  if (Request(d, line, n, text) != JkReply::Ok) return false;
  modified = n != d.stateStamp;
  return true;
}
void NetFree(JkJukeDesc& d) { Socket_Close(d.serverFd); }
bool NetLock(JkJukeDesc& d) { return Ok(d, "LockJukeBox"); }
bool NetUnlock(JkJukeDesc& d) { return Ok(d, "UnlockJukeBox"); }
bool NetInventory(JkJukeDesc& d) { return Ok(d, "InitInventory"); }
bool NetSetDescription(JkJukeDesc& d, const JkElement& e, const char* text) {
  return Ok(d, Fmt("SetDescription %d ", Jk_ElementNumber(d, e)) + (text ? text : ""));
}
bool NetSetLabel(JkJukeDesc& d, const JkElement& e, const char* text) {
  return Ok(d, Fmt("SetLabel %d ", Jk_ElementNumber(d, e)) + (text ? text : ""));
}
bool NetResetDrive(JkJukeDesc& d, const JkElement& dr) {
  return Ok(d, Fmt("ResetDrive %d", dr.index));
}
bool NetLoadMedia(JkJukeDesc& d, const JkElement& s, const JkElement& dr) {
  return Ok(d, Fmt("LoadMedia %d %d", s.index, dr.index));
}
bool NetUnloadMedia(JkJukeDesc& d, const JkElement& dr, const JkElement& s) {
  return Ok(d, Fmt("UnloadMedia %d %d", dr.index, s.index));
}
bool NetImport(JkJukeDesc& d, const JkElement&, const JkElement& s) {
  return Ok(d, Fmt("ImportMedia %d", s.index));
}
bool NetExport(JkJukeDesc& d, const JkElement& s, const JkElement&) {
  return Ok(d, Fmt("ExportMedia %d", s.index));
}
bool NetClean(JkJukeDesc& d, const JkElement& s, const JkElement& dr) {
  return Ok(d, Fmt("CleanDrive %d %d", s.index, dr.index));
}
bool NetInit() {
  Socket_Init();
  return true;
}

const JkDriver netDriver{"NET",        "Pseudo-Jukebox Juke_SPI_NET",
                         NetInit,      NetInventory,
                         NetLoad,      NetSave,
                         NetModified,  Copy,
                         NetFree,      NetLock,
                         NetUnlock,    NetSetDescription,
                         NetSetLabel,  NetResetDrive,
                         NetLoadMedia, NetUnloadMedia,
                         NetImport,    NetExport,
                         NetClean};

}  // namespace

const std::vector<const JkDriver*>& Juke_SPI_Drivers() {
  static const std::vector<const JkDriver*> drivers{&fsDriver, &netDriver, &scsiDriver};
  return drivers;
}

const JkDriver* Juke_SPI_Find(std::string_view name) {
  for (const JkDriver* d : Juke_SPI_Drivers()) {
    if (name == d->name) return d;
  }
  return nullptr;
}

JkReply Juke_SPI_NET_ReadReply(int fd, long long& number, std::string& text) {
  std::string line;
  number = 0;
  text.clear();
  if (!ReadLine(fd, line, JkNetMaxData)) return JkReply::Broken;
  std::vector<std::string> g;
  if (Match("^OK (.*)", line, g)) {
    text = g[1];
    number = std::strtoll(text.c_str(), nullptr, 10);
    return JkReply::Ok;
  }
  if (Match("^ERROR ([-0-9][0-9]*) (.*)", line, g)) {
    number = std::strtoll(g[1].c_str(), nullptr, 10);
    text = g[2];
    return JkReply::Error;
  }
  if (Match("^DATA ([0-9]+)$", line, g)) {
    if (g[1].size() > 9 || std::atol(g[1].c_str()) > JkNetMaxData) {
      std::fprintf(stderr, "juke_spi_net: too much data\n");
      return JkReply::Broken;
    }
    number = std::atol(g[1].c_str());
    if (!ReadBytes(fd, text, static_cast<std::size_t>(number))) return JkReply::Broken;
    return JkReply::Data;
  }
  return JkReply::Broken;
}

bool Juke_SPI_SCSI_ParseElementStatus(const unsigned char* b, std::size_t length, JkJukeDesc& d,
                                      std::string& error) {
  if (length < 8) {
    error = "element status reply too short";
    return false;
  }
  const std::size_t available = std::min(Get24(b + 5), length - 8);
  std::vector<JkElement> lists[4];
  std::size_t at = 8;
  const std::size_t end = 8 + available;
  while (at < end) {
    if (end - at < 8) {
      error = "element status page header beyond the buffer";
      return false;
    }
    const int type = b[at] & 0x0f;
    const std::size_t descLen = static_cast<std::size_t>(Get16(b + at + 2));
    const std::size_t bytes = Get24(b + at + 5);
    at += 8;
    if (descLen == 0) {
      error = "element descriptor length 0";
      return false;
    }
    if (descLen < 12) {
      error = "element descriptor too short";
      return false;
    }
    if (bytes > end - at) {
      error = "element status page beyond the buffer";
      return false;
    }
    if (type < 1 || type > 4) {
      error = "unknown element type " + std::to_string(type);
      return false;
    }
    for (std::size_t p = at; p + descLen <= at + bytes; p += descLen) {
      const unsigned char* e = b + p;
      JkElement el;
      el.id = Get16(e);
      el.full = (e[2] & 1) != 0;
      el.fromID = (e[9] & 0x80) ? Get16(e + 10) : -1;
      if (e[2] & 4) {
        if (type == 2 && e[4] == 0x83 && e[5] == 0x02) continue;  // no magazine there
        std::fprintf(stderr, "element %d: exception, asc %02x ascq %02x\n", el.id, e[4], e[5]);
        el.ok = false;
      }
      if (type == 4) el.driveType = jkTape;
      auto& list = lists[type == 1 ? 0 : type == 2 ? 1 : type == 3 ? 2 : 3];
      el.index = static_cast<int>(list.size());
      list.push_back(std::move(el));
    }
    at += bytes;
  }
  // Drive settings from the configuration stay with the drives.
  for (std::size_t i = 0; i < lists[3].size() && i < d.drives.size(); ++i) {
    lists[3][i].device = d.drives[i].device;
    lists[3][i].scsiDevice = d.drives[i].scsiDevice;
  }
  d.robos = std::move(lists[0]);
  d.slots = std::move(lists[1]);
  d.ports = std::move(lists[2]);
  d.drives = std::move(lists[3]);
  Counts(d);
  FromIndexes(d);
  return true;
}
