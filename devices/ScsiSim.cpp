#include "ScsiSim.hpp"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <utility>

#include "Scsi.hpp"
#include "UCommon.hpp"

namespace {

// The SCSI ioctls of the Linux kernel (<scsi/scsi.h> would also define macros named like
// the changer commands of this library).
constexpr unsigned long kGetIdLun = 0x5382;
constexpr unsigned long kGetBusNumber = 0x5386;

constexpr const char* kState = "changer.state";
constexpr const char* kLock = "changer.lock";

enum Kind { kRobot = 1, kSlot = 2, kPort = 3, kDrive = 4 };  // element type codes

struct Element {
  Element() = default;
  explicit Element(Kind k) : kind(k) {}
  Kind kind = kRobot;
  std::string medium;  // empty: no medium
  int from = -1;
  std::string status = "ok";
  std::string device;
};

struct Changer {
  std::string dir;
  std::vector<Element> elements;  // address = index
};

// The reply prepared by a write and taken by the next read.
struct Pending {
  std::string dir;
  bool replyReady = false;
  std::vector<unsigned char> reply;  // header and data
  unsigned char sense[16] = {};      // kept for REQUEST SENSE
};
std::map<int, Pending> opened;

int KindOf(const std::string& word) {
  if (word == "robot") return kRobot;
  if (word == "slot") return kSlot;
  if (word == "port") return kPort;
  if (word == "drive") return kDrive;
  return 0;
}
const char* KindWord(Kind k) {
  switch (k) {
    case kRobot:
      return "robot";
    case kSlot:
      return "slot";
    case kPort:
      return "port";
    default:
      return "drive";
  }
}

bool Load(const std::string& dir, Changer& c, std::string& error) {
  c.dir = dir;
  c.elements.clear();
  std::ifstream in(dir + "/" + kState);
  if (!in) {
    error = dir + ": no changer state";
    return false;
  }
  std::string line;
  int last = 0;
  for (int n = 1; std::getline(in, line); ++n) {
    std::istringstream words(line);
    std::string kind, medium, from, status, device;
    if (!(words >> kind >> medium >> from >> status)) {
      error = dir + ": damaged changer state in line " + std::to_string(n);
      return false;
    }
    words >> device;
    Element e;
    const int k = KindOf(kind);
    if (k == 0 || k < last || (status != "ok" && status != "failed" && status != "absent")) {
      error = dir + ": damaged changer state in line " + std::to_string(n);
      return false;
    }
    last = k;
    e.kind = static_cast<Kind>(k);
    e.medium = medium == "-" ? "" : medium;
    e.from = from == "-" ? -1 : std::atoi(from.c_str());
    e.status = status;
    e.device = device;
    c.elements.push_back(e);
  }
  return true;
}

bool Save(const Changer& c, std::string& error) {
  const std::string path = c.dir + "/" + kState;
  const std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    for (const Element& e : c.elements) {
      out << KindWord(e.kind) << ' ' << (e.medium.empty() ? "-" : e.medium) << ' '
          << (e.from < 0 ? std::string("-") : std::to_string(e.from)) << ' ' << e.status;
      if (!e.device.empty()) out << ' ' << e.device;
      out << '\n';
    }
    if (!out.flush()) {
      error = tmp + ": " + std::strerror(errno);
      return false;
    }
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

// Holds the changer's lock for one command.
class Lock {
 public:
  explicit Lock(const std::string& dir)
      : fd_(::open((dir + "/" + kLock).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666)) {
    if (fd_ >= 0) ::flock(fd_, LOCK_EX);
  }
  ~Lock() {
    if (fd_ >= 0) ::close(fd_);
  }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

 private:
  int fd_;
};

void SetSense(unsigned char* s, int key, int asc, int ascq) {
  std::memset(s, 0, 16);
  if (key == 0) return;
  s[0] = 0x70;
  s[2] = static_cast<unsigned char>(key);
  s[7] = 8;
  s[12] = static_cast<unsigned char>(asc);
  s[13] = static_cast<unsigned char>(ascq);
}

void Put16(unsigned char* p, int v) {
  p[0] = static_cast<unsigned char>(v >> 8);
  p[1] = static_cast<unsigned char>(v);
}
void Put24(unsigned char* p, int v) {
  p[0] = static_cast<unsigned char>(v >> 16);
  Put16(p + 1, v & 0xffff);
}
int Get16(const unsigned char* p) { return (p[0] << 8) | p[1]; }

struct Outcome {
  std::vector<unsigned char> data;
  int key = 0, asc = 0, ascq = 0;
};

void Illegal(Outcome& o, int asc, int ascq) {
  o.key = 5;
  o.asc = asc;
  o.ascq = ascq;
}

void Inquiry(Outcome& o) {
  o.data.assign(36, 0);
  o.data[0] = 8;     // medium changer
  o.data[1] = 0x80;  // removable
  o.data[2] = 2;
  o.data[3] = 2;
  o.data[4] = 31;
  std::memcpy(&o.data[8], "ZOLT    ", 8);
  std::memcpy(&o.data[16], "VIRTUAL CHANGER ", 16);
  std::memcpy(&o.data[32], "1.0 ", 4);
}

// First address and number of each kind (the kinds are contiguous).
void Range(const Changer& c, Kind k, int& first, int& n) {
  first = 0;
  n = 0;
  for (std::size_t a = 0; a < c.elements.size(); ++a) {
    if (c.elements[a].kind != k) continue;
    if (n++ == 0) first = static_cast<int>(a);
  }
}

void ModeSense(const Changer& c, const unsigned char* cmd, Outcome& o) {
  if ((cmd[2] & 0x3f) != 0x1D) return Illegal(o, 0x24, 0);
  o.data.assign(24, 0);
  o.data[0] = 23;
  o.data[4] = 0x1D;
  o.data[5] = 0x12;
  int at = 6;
  for (Kind k : {kRobot, kSlot, kPort, kDrive}) {
    int first = 0, n = 0;
    Range(c, k, first, n);
    Put16(&o.data[at], first);
    Put16(&o.data[at + 2], n);
    at += 4;
  }
}

void ReadElementStatus(const Changer& c, const unsigned char* cmd, Outcome& o) {
  const int type = cmd[1] & 0x0f;
  const int start = Get16(cmd + 2);
  int count = Get16(cmd + 4);
  if (type > 4) return Illegal(o, 0x24, 0);
  std::vector<unsigned char> pages;
  int reported = 0, firstReported = -1;
  for (Kind k : {kRobot, kSlot, kPort, kDrive}) {
    if (type != 0 && type != k) continue;
    std::vector<unsigned char> descs;
    for (std::size_t a = 0; a < c.elements.size() && count > 0; ++a) {
      const Element& e = c.elements[a];
      if (e.kind != k || static_cast<int>(a) < start) continue;
      unsigned char d[12] = {};
      Put16(d, static_cast<int>(a));
      d[2] = static_cast<unsigned char>((e.medium.empty() ? 0 : 1) | (k == kPort ? 0x32 : 0) |
                                        (k != kRobot ? 0x08 : 0));
      if (e.status != "ok") {
        d[2] |= 4;
        d[4] = e.status == "failed" ? 0x80 : 0x83;
        d[5] = e.status == "failed" ? 0x00 : 0x02;
      }
      if (!e.medium.empty() && e.from >= 0) {
        d[9] = 0x80;
        Put16(d + 10, e.from);
      }
      descs.insert(descs.end(), d, d + 12);
      if (firstReported < 0) firstReported = static_cast<int>(a);
      ++reported;
      --count;
    }
    if (descs.empty()) continue;
    unsigned char h[8] = {static_cast<unsigned char>(k), 0};
    Put16(h + 2, 12);
    Put24(h + 5, static_cast<int>(descs.size()));
    pages.insert(pages.end(), h, h + 8);
    pages.insert(pages.end(), descs.begin(), descs.end());
  }
  o.data.assign(8, 0);
  Put16(&o.data[0], firstReported < 0 ? 0 : firstReported);
  Put16(&o.data[2], reported);
  Put24(&o.data[5], static_cast<int>(pages.size()));
  o.data.insert(o.data.end(), pages.begin(), pages.end());
}

// Absolute, so that the drive's link resolves wherever the drive's path lies.
std::string MediumPath(const Changer& c, const Element& e) {
  char real[PATH_MAX];
  const std::string dir = ::realpath(c.dir.c_str(), real) ? std::string(real) : c.dir;
  return dir + "/media/" + e.medium;
}

void MoveMedium(Changer& c, const unsigned char* cmd, Outcome& o) {
  const int robot = Get16(cmd + 2), from = Get16(cmd + 4), to = Get16(cmd + 6);
  const int n = static_cast<int>(c.elements.size());
  if (robot >= n || from >= n || to >= n || c.elements[robot].kind != kRobot ||
      c.elements[from].kind == kRobot || c.elements[to].kind == kRobot) {
    return Illegal(o, 0x21, 0x01);
  }
  Element& src = c.elements[from];
  Element& dst = c.elements[to];
  if (c.elements[robot].status != "ok" || src.status != "ok" || dst.status != "ok") {
    o.key = 4;  // hardware error
    o.asc = 0x15;
    o.ascq = 0x01;
    return;
  }
  if (src.medium.empty()) return Illegal(o, 0x3B, 0x0E);
  if (!dst.medium.empty()) return Illegal(o, 0x3B, 0x0D);
  if (src.kind == kDrive && !src.device.empty()) ::unlink(src.device.c_str());
  if (dst.kind == kDrive && !dst.device.empty()) {
    ::unlink(dst.device.c_str());
    if (::symlink(MediumPath(c, src).c_str(), dst.device.c_str()) != 0) {
      o.key = 4;
      o.asc = 0x53;  // media load failed
      o.ascq = 0;
      return;
    }
  }
  dst.medium = src.medium;
  dst.from = src.kind == kDrive ? src.from : from;
  src.medium.clear();
  src.from = -1;
}

Outcome Execute(const std::string& dir, const unsigned char* cmd, Pending& p) {
  Outcome o;
  Lock lock(dir);
  Changer c;
  std::string error;
  if (!Load(dir, c, error)) {
    std::fprintf(stderr, "vchanger: %s\n", error.c_str());
    o.key = 4;
    o.asc = 0x3E;  // logical unit has not self-configured
    return o;
  }
  switch (cmd[0]) {
    case 0x00:
      break;    // TEST UNIT READY
    case 0x03:  // REQUEST SENSE
      o.data.assign(p.sense, p.sense + 16);
      if (o.data[0] == 0) o.data[0] = 0x70, o.data[7] = 8;
      break;
    case 0x12:
      Inquiry(o);
      break;
    case 0x1A:
      ModeSense(c, cmd, o);
      break;
    case 0xB8:
      ReadElementStatus(c, cmd, o);
      break;
    case 0x07:
      break;  // INITIALIZE ELEMENT STATUS: the state is always known
    case 0xA5:
      MoveMedium(c, cmd, o);
      if (o.key == 0 && !Save(c, error)) {
        std::fprintf(stderr, "vchanger: %s\n", error.c_str());
        o.key = 4;
        o.asc = 0x3E;
      }
      break;
    default:
      Illegal(o, 0x20, 0);
      break;
  }
  return o;
}

bool Claims(const char* path) { return ScsiSim_IsChanger(path); }

int SimOpen(const char* path, int) {
  const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  Pending p;
  p.dir = path;
  opened[fd] = std::move(p);
  return fd;
}

int SimClose(int fd) {
  opened.erase(fd);
  return ::close(fd);
}

ssize_t SimWrite(int fd, const void* buffer, std::size_t size) {
  auto it = opened.find(fd);
  if (it == opened.end() || size < static_cast<std::size_t>(ScsiHeaderLen) + 6) {
    errno = EINVAL;
    return -1;
  }
  Pending& p = it->second;
  sg_header h{};
  std::memcpy(&h, buffer, sizeof h);
  const auto* cmd = static_cast<const unsigned char*>(buffer) + ScsiHeaderLen;
  const std::size_t group = cmd[0] >> 5;
  const std::size_t cmdLen = h.twelve_byte ? 12 : group == 0 ? 6 : group <= 2 ? 10 : 12;
  if (size < ScsiHeaderLen + cmdLen) {
    errno = EINVAL;
    return -1;
  }
  Outcome o = Execute(p.dir, cmd, p);
  SetSense(p.sense, o.key, o.asc, o.ascq);
  sg_header reply = h;
  reply.result = 0;
  reply.target_status = o.key ? 1 : 0;  // CHECK CONDITION
  std::memcpy(reply.sense_buffer, p.sense, 16);
  const std::size_t room = h.reply_len > ScsiHeaderLen ? h.reply_len - ScsiHeaderLen : 0;
  const std::size_t n = std::min(room, o.data.size());
  p.reply.assign(reinterpret_cast<unsigned char*>(&reply),
                 reinterpret_cast<unsigned char*>(&reply) + sizeof reply);
  p.reply.insert(p.reply.end(), o.data.begin(), o.data.begin() + static_cast<long>(n));
  p.reply.resize(ScsiHeaderLen + room, 0);
  p.replyReady = true;
  return static_cast<ssize_t>(size);
}

ssize_t SimRead(int fd, void* buffer, std::size_t size) {
  auto it = opened.find(fd);
  if (it == opened.end() || !it->second.replyReady) {
    errno = EAGAIN;
    return -1;
  }
  Pending& p = it->second;
  const std::size_t n = std::min(size, p.reply.size());
  std::memcpy(buffer, p.reply.data(), n);
  p.replyReady = false;
  return static_cast<ssize_t>(n);
}

int SimIoctl(int, unsigned long request, void* argument) {
  if (request == kGetIdLun) {
    std::memset(argument, 0, 2 * sizeof(int));
    return 0;
  }
  if (request == kGetBusNumber) {
    *static_cast<int*>(argument) = 0;
    return 0;
  }
  if (request == SG_SET_TIMEOUT) return 0;
  errno = ENOTTY;
  return -1;
}

const ScsiSgOps simOps{"vchanger", Claims, SimOpen, SimClose, SimWrite, SimRead, SimIoctl};

}  // namespace

void ScsiSim_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "ScsiSim");
  if (!init) return;
  UCommon_Init();
  Scsi_Init();
  Scsi_SPI_Register(simOps);
}

bool ScsiSim_IsChanger(const char* path) {
  struct stat st {};
  return path != nullptr && ::stat((std::string(path) + "/" + kState).c_str(), &st) == 0 &&
         S_ISREG(st.st_mode);
}

bool ScsiSim_Create(const char* dir, int slots, int ports,
                    const std::vector<std::string>& driveDevices, std::string& error) {
  if (ScsiSim_IsChanger(dir)) {
    error = std::string(dir) + ": a changer is there already";
    return false;
  }
  ::mkdir(dir, 0777);
  ::mkdir((std::string(dir) + "/media").c_str(), 0777);
  Changer c;
  c.dir = dir;
  c.elements.push_back(Element(kRobot));
  for (int i = 0; i < slots; ++i) c.elements.push_back(Element(kSlot));
  for (int i = 0; i < ports; ++i) c.elements.push_back(Element(kPort));
  for (const std::string& d : driveDevices) {
    Element e(kDrive);
    e.device = d;
    c.elements.push_back(e);
  }
  Lock lock(dir);
  return Save(c, error);
}

bool ScsiSim_PlaceMedium(const char* dir, int slot, const char* name, std::string& error) {
  Lock lock(dir);
  Changer c;
  if (!Load(dir, c, error)) return false;
  int first = 0, n = 0;
  Range(c, kSlot, first, n);
  if (slot < 0 || slot >= n || !c.elements[first + slot].medium.empty()) {
    error = "no empty slot " + std::to_string(slot);
    return false;
  }
  c.elements[first + slot].medium = name;
  return Save(c, error);
}

bool ScsiSim_SetStatus(const char* dir, int address, const char* status, std::string& error) {
  Lock lock(dir);
  Changer c;
  if (!Load(dir, c, error)) return false;
  if (address < 0 || address >= static_cast<int>(c.elements.size())) {
    error = "no element " + std::to_string(address);
    return false;
  }
  c.elements[address].status = status;
  return Save(c, error);
}
