#include "Scsi.hpp"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "UCommon.hpp"

int ScsiError = 0;
int ScsiErrno = 0;

static_assert(sizeof(sg_header) == ScsiHeaderLen, "the sg header is 36 bytes");

namespace {

// The SCSI ioctls of the Linux kernel (<scsi/scsi.h> would also define macros named like
// the changer commands of this library).
constexpr unsigned long kGetIdLun = 0x5382;
constexpr unsigned long kGetBusNumber = 0x5386;

int scsiDebug = 0;
int packId = 0;
ScsiChannel* channels[ScsiMaxChannels];
ScsiRequest* shared = nullptr;

int LinuxOpen(const char* path, int flags) { return ::open(path, flags); }
int LinuxClose(int fd) { return ::close(fd); }
ssize_t LinuxWrite(int fd, const void* b, std::size_t n) { return ::write(fd, b, n); }
ssize_t LinuxRead(int fd, void* b, std::size_t n) { return ::read(fd, b, n); }
int LinuxIoctl(int fd, unsigned long request, void* argument) {
  return ::ioctl(fd, request, argument);
}

const ScsiSgOps linuxOps{"sg", nullptr, LinuxOpen, LinuxClose, LinuxWrite, LinuxRead, LinuxIoctl};
std::vector<const ScsiSgOps*> registered;

const ScsiSgOps& OpsFor(const char* path) {
  for (auto it = registered.rbegin(); it != registered.rend(); ++it) {
    if ((*it)->claims && (*it)->claims(path)) return **it;
  }
  return linuxOps;
}

int Fail(int code) {
  ScsiError = code;
  return -1;
}

ScsiChannel* Chan(int fd) {
  if (fd < 0 || fd >= ScsiMaxChannels || channels[fd] == nullptr) {
    ScsiError = SCSI_EBADCHAN;
    return nullptr;
  }
  return channels[fd];
}

void Put16(unsigned char* p, unsigned v) {
  p[0] = static_cast<unsigned char>(v >> 8);
  p[1] = static_cast<unsigned char>(v);
}
void Put24(unsigned char* p, unsigned long v) {
  p[0] = static_cast<unsigned char>(v >> 16);
  Put16(p + 1, static_cast<unsigned>(v & 0xffff));
}
void Put32(unsigned char* p, unsigned long v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  Put24(p + 1, v & 0xffffff);
}
unsigned long Get32(const unsigned char* p) {
  return (static_cast<unsigned long>(p[0]) << 24) | (static_cast<unsigned long>(p[1]) << 16) |
         (static_cast<unsigned long>(p[2]) << 8) | p[3];
}

// Flushes what an earlier process left unread in the sg driver.
void FlushInput(ScsiChannel* c) {
  const int flags = ::fcntl(c->fd, F_GETFL);
  if (flags >= 0) ::fcntl(c->fd, F_SETFL, flags | O_NONBLOCK);
  std::vector<unsigned char> junk(ScsiBuffLen);
  for (;;) {
    const ssize_t n = c->ops->read(c->fd, junk.data(), junk.size());
    if (n <= 0) break;
    std::printf("sg_flush_input: flushed %d bytes \n", static_cast<int>(n));
  }
  if (flags >= 0) ::fcntl(c->fd, F_SETFL, flags);
}

int Simple6(ScsiChannel* c, unsigned char op, unsigned char byte4) {
  const unsigned char cmd[6] = {op, 0, 0, 0, byte4, 0};
  return Scsi6Submit(c, cmd, nullptr, 0, false);
}

bool SenseOk(const ScsiRequest* r) { return (r->sense[2] & 0x0f) == 0 && r->result == 0; }

}  // namespace

void Scsi_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "Scsi");
  if (!init) return;
  UCommon_Init();
  SetDebug();
}

void SetDebug() {
  if (const char* e = std::getenv("DEBUG_SCSI")) {
    scsiDebug = std::atoi(e);
    std::fprintf(stderr, "scsi_debug set to %d\n", scsiDebug);
  }
}

const char* ScsiStrError(int code) {
  switch (code) {
    case 0:
      return "no error";
    case 1:
      return "NULL pointer";
    case 4:
      return "ScsiOpen() failed";
    case 5:
      return "ScsiClose() failed";
    default:
      return "unknown errcode";
  }
}

const char* ScsiDeviceTypeToStr(int type) {
  static const char* const names[] = {"Direct-Access Device",
                                      "Sequential-Access Device",
                                      "Printer Device",
                                      "Processor Device",
                                      "Write-Once Device",
                                      "CD-ROM Device",
                                      "Scanner Device",
                                      "Optical Memory Device",
                                      "Medium Changer Device",
                                      "Communications Device",
                                      "ASC IT8 (Graphic Arts Pre-Press Device)",
                                      "ASC IT8 (Graphic Arts Pre-Press Device)"};
  if (type >= 0 && type <= 11) return names[type];
  if (type >= 12 && type <= 30) return "<Reserved Device Type>";
  return "<Unknown Device Type>";
}

const ScsiSgOps& Scsi_SPI_Linux() { return linuxOps; }
void Scsi_SPI_Register(const ScsiSgOps& ops) { registered.push_back(&ops); }

ScsiChannel* ScsiOpen(const char* path) {
  if (path == nullptr) {
    Fail(SCSI_ENULL);
    return nullptr;
  }
  auto* c = static_cast<ScsiChannel*>(std::calloc(1, sizeof(ScsiChannel)));
  if (c == nullptr) {
    Fail(SCSI_ENOMEMCHAN);
    return nullptr;
  }
  std::snprintf(c->path, sizeof c->path, "%s", path);
  c->fd = -1;
  c->ops = &OpsFor(path);
  c->address = ScsiAddress{};
  struct stat st {};
  if (c->ops != &linuxOps) {
    // A device of another kind is its own true name.
    std::snprintf(c->trueName, sizeof c->trueName, "%s", path);
    st.st_mode = S_IFCHR;
  } else if (::realpath(path, c->trueName) == nullptr || ::lstat(c->trueName, &st) != 0) {
    ScsiErrno = errno;
    std::free(c);
    Fail(SCSI_EPATH);
    return nullptr;
  }
  if (S_ISREG(st.st_mode)) {
    c->isScsi = false;
    c->fd = ::open(c->trueName, O_RDWR);
    if (c->fd < 0) {
      ScsiErrno = errno;
      std::free(c);
      Fail(SCSI_EFILEOPEN);
      return nullptr;
    }
  } else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
    c->isScsi = true;
    c->fd = c->ops->open(c->trueName, O_RDWR);
    if (c->fd < 0) {
      ScsiErrno = errno;
      std::free(c);
      Fail(SCSI_EOPEN);
      return nullptr;
    }
    int idlun[2] = {0, 0};
    if (c->ops->ioctl(c->fd, kGetIdLun, idlun) == 0) {
      c->address.id = idlun[0] & 0xff;
      c->address.lun = (idlun[0] >> 8) & 0xff;
      c->address.channel = (idlun[0] >> 16) & 0xff;
      c->address.host = (idlun[0] >> 24) & 0xff;
    }
    int bus = -1;
    if (c->ops->ioctl(c->fd, kGetBusNumber, &bus) != 0) bus = -1;
    c->address.bus = bus;
    FlushInput(c);
    int timeout = 6050;
    if (c->ops->ioctl(c->fd, SG_SET_TIMEOUT, &timeout) != 0) {
      std::fprintf(stderr, "Cannot set SG_SET_TIMEOUT.\n");
    }
  } else {
    std::free(c);
    Fail(SCSI_EPATH);
    return nullptr;
  }
  if (c->fd >= ScsiMaxChannels) {
    ScsiClose(c);
    Fail(SCSI_EBADCHAN);
    return nullptr;
  }
  channels[c->fd] = c;
  return c;
}

int ScsiClose(ScsiChannel* c) {
  if (c == nullptr) return Fail(SCSI_ENULL);
  if (c->fd >= 0 && c->fd < ScsiMaxChannels && channels[c->fd] == c) channels[c->fd] = nullptr;
  const int rc = c->isScsi ? c->ops->close(c->fd) : ::close(c->fd);
  if (rc != 0) ScsiErrno = errno;
  std::free(c);
  return rc != 0 ? Fail(SCSI_ECLOSE) : 0;
}

int ScsiGetFd(const ScsiChannel* c) { return c ? c->fd : Fail(SCSI_ENULL); }
const ScsiAddress* ScsiGetInfo(const ScsiChannel* c) { return c ? &c->address : nullptr; }

ScsiRequest* ScsiNewReq() {
  auto* r = static_cast<ScsiRequest*>(std::calloc(1, sizeof(ScsiRequest)));
  if (r == nullptr) Fail(SCSI_ENOMEMREQ);
  return r;
}
void ScsiFreeReq(ScsiRequest* r) {
  if (r == shared) shared = nullptr;
  std::free(r);
}

static int Build(ScsiRequest* r, int len, const unsigned char* cmd, void* data, int length,
                 bool toDevice) {
  if (r == nullptr || cmd == nullptr) return Fail(SCSI_ENULL);
  r->cmdLen = len;
  std::memset(r->cmd, 0, sizeof r->cmd);
  std::memcpy(r->cmd, cmd, static_cast<std::size_t>(len));
  r->data = static_cast<unsigned char*>(data);
  r->dataLen = data ? length : 0;
  r->toDevice = toDevice;
  std::memset(r->sense, 0, sizeof r->sense);
  r->result = 0;
  return 0;
}
int Scsi6(ScsiRequest* r, const unsigned char c[6], void* d, int n, bool to) {
  return Build(r, 6, c, d, n, to);
}
int Scsi10(ScsiRequest* r, const unsigned char c[10], void* d, int n, bool to) {
  return Build(r, 10, c, d, n, to);
}
int Scsi12(ScsiRequest* r, const unsigned char c[12], void* d, int n, bool to) {
  return Build(r, 12, c, d, n, to);
}

int ScsiSubmit(ScsiChannel* c, ScsiRequest* r) {
  if (c == nullptr || r == nullptr) return Fail(SCSI_ENULL);
  return Scsi_SPI_ScsiSubmit(c, r);
}

static ScsiRequest* Shared() {
  if (shared == nullptr) shared = ScsiNewReq();
  return shared;
}
int Scsi6Submit(ScsiChannel* c, const unsigned char cmd[6], void* d, int n, bool to) {
  ScsiRequest* r = Shared();
  if (r == nullptr || Scsi6(r, cmd, d, n, to) != 0) return -1;
  return ScsiSubmit(c, r);
}
int Scsi10Submit(ScsiChannel* c, const unsigned char cmd[10], void* d, int n, bool to) {
  ScsiRequest* r = Shared();
  if (r == nullptr || Scsi10(r, cmd, d, n, to) != 0) return -1;
  return ScsiSubmit(c, r);
}
int Scsi12Submit(ScsiChannel* c, const unsigned char cmd[12], void* d, int n, bool to) {
  ScsiRequest* r = Shared();
  if (r == nullptr || Scsi12(r, cmd, d, n, to) != 0) return -1;
  return ScsiSubmit(c, r);
}

int ScsiGetSense(const ScsiRequest* r, unsigned char* buffer, int length) {
  if (r == nullptr) r = shared;
  if (r == nullptr || buffer == nullptr) return Fail(SCSI_ENULL);
  const int n = std::clamp(length, 0, 16);
  std::memcpy(buffer, r->sense, static_cast<std::size_t>(n));
  return n;
}

int ScsiReset(ScsiChannel*) {
  std::printf("'reset' not implemented !\n");
  return -1;
}
int ScsiResetAll(ScsiChannel*) {
  std::printf("'reset all' not implemented !\n");
  return -1;
}

int Scsi_SPI_ScsiSubmit(ScsiChannel* c, ScsiRequest* r) {
  const int out = r->toDevice ? r->dataLen : 0;
  const int in = r->toDevice ? 0 : r->dataLen;
  if (r->dataLen < 0 || ScsiHeaderLen + r->cmdLen + r->dataLen > ScsiBuffLen) {
    std::fprintf(stderr, "SCSI request too large: %d bytes\n",
                 ScsiHeaderLen + r->cmdLen + r->dataLen);
    return -1;
  }
  sg_header h{};
  h.pack_len = ScsiHeaderLen + r->cmdLen + out;
  h.reply_len = ScsiHeaderLen + in;
  h.pack_id = ++packId;
  h.result = 0;
  h.twelve_byte = r->cmdLen == 12 ? 1 : 0;
  std::memcpy(r->buffer, &h, sizeof h);
  std::memcpy(r->buffer + ScsiHeaderLen, r->cmd, static_cast<std::size_t>(r->cmdLen));
  if (out > 0) {
    std::memcpy(r->buffer + ScsiHeaderLen + r->cmdLen, r->data, static_cast<std::size_t>(out));
  }
  sigset_t all, old;
  sigfillset(&all);
  if (sigprocmask(SIG_BLOCK, &all, &old) != 0) {
    std::fprintf(stderr, "SCSI blocking signals failed: %s\n", std::strerror(errno));
  }
  const ssize_t wrote = c->ops->write(c->fd, r->buffer, static_cast<std::size_t>(h.pack_len));
  const int writeErrno = errno;
  ssize_t got = -1;
  int readErrno = 0;
  if (wrote >= 0) {
    got = c->ops->read(c->fd, r->buffer, static_cast<std::size_t>(h.reply_len));
    readErrno = errno;
  }
  if (sigprocmask(SIG_SETMASK, &old, nullptr) != 0) {
    std::fprintf(stderr, "reinstalling signal mask failed: %s\n", std::strerror(errno));
  }
  if (wrote < 0) {
    std::fprintf(stderr, "SCSI write(generic) result = 0x%x cmd = 0x%x\n",
                 static_cast<unsigned>(wrote), r->cmd[0]);
    std::fprintf(stderr, "%s\n", std::strerror(writeErrno));
    ScsiErrno = writeErrno;
    return static_cast<int>(wrote);
  }
  sg_header reply{};
  if (got >= ScsiHeaderLen) std::memcpy(&reply, r->buffer, sizeof reply);
  std::memcpy(r->sense, reply.sense_buffer, sizeof r->sense);
  r->result = got < ScsiHeaderLen ? -1 : reply.result;
  if (got < ScsiHeaderLen || reply.result != 0) {
    std::fprintf(stderr, "read(generic) result = 0x%x cmd = 0x%x\n",
                 static_cast<unsigned>(got < 0 ? readErrno : reply.result), r->cmd[0]);
    const unsigned char* s = r->sense;
    std::fprintf(stderr, "read(generic) sense %x %x %x %x %x %x %x %x %x %x %x %x %x %x %x %x\n",
                 s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], s[8], s[9], s[10], s[11], s[12],
                 s[13], s[14], s[15]);
  }
  if (in > 0 && got > ScsiHeaderLen) {
    const auto n = std::min<ssize_t>(got - ScsiHeaderLen, in);
    std::memcpy(r->data, r->buffer + ScsiHeaderLen, static_cast<std::size_t>(n));
  }
  return 0;
}

// --- the common commands -----------------------------------------------------------

int ScsiInquiry(ScsiChannel* c, unsigned char* buffer, int size, ScsiInquiryData* p) {
  if (c == nullptr || buffer == nullptr) return Fail(SCSI_ENULL);
  if (size <= 4) return Fail(SCSI_EINQSIZE);
  unsigned char cmd[6] = {0x12, 0, 0, 0, 5, 0};
  std::memset(buffer, 0, static_cast<std::size_t>(size));
  if (Scsi6Submit(c, cmd, buffer, 5, false) != 0 || !SenseOk(shared)) return -1;
  const int whole = buffer[4] + 5;
  if (whole > size || whole > 255) return Fail(SCSI_EINQSIZE);
  cmd[4] = static_cast<unsigned char>(whole);
  if (Scsi6Submit(c, cmd, buffer, whole, false) != 0 || !SenseOk(shared)) return -1;
  if (p != nullptr) {
    std::memset(p, 0, sizeof *p);
    const unsigned char* b = buffer;
    p->qualifier = b[0] >> 5;
    p->deviceType = b[0] & 0x1f;
    p->removable = b[1] >> 7;
    p->typeModifier = b[1] & 0x7f;
    p->isoVersion = b[2] >> 6;
    p->ecmaVersion = (b[2] >> 3) & 7;
    p->ansiVersion = b[2] & 7;
    p->aenc = b[3] >> 7;
    p->trmIOP = (b[3] >> 6) & 1;
    p->responseFormat = b[3] & 0x0f;
    std::memcpy(p->additional, b + 4, 3);
    p->relAdr = b[7] >> 7;
    p->wBus32 = (b[7] >> 6) & 1;
    p->wBus16 = (b[7] >> 5) & 1;
    p->sync = (b[7] >> 4) & 1;
    p->linked = (b[7] >> 3) & 1;
    p->reserved = (b[7] >> 2) & 1;
    p->cmdQue = (b[7] >> 1) & 1;
    p->sftRe = b[7] & 1;
    auto text = [&](char* to, int from, int n) {
      const int have = std::clamp(whole - from, 0, n);
      std::memcpy(to, b + from, static_cast<std::size_t>(have));
      to[have] = '\0';
    };
    text(p->vendor, 8, 8);
    text(p->product, 16, 16);
    text(p->revision, 32, 4);
    const int vs = std::clamp(whole - 36, 0, 20);
    std::memcpy(p->vendorSpecific, b + 36, static_cast<std::size_t>(vs));
  }
  return 0;
}

int ScsiReadCapacity(ScsiChannel* c, unsigned long* lastBlock, unsigned long* blockSize) {
  unsigned char cmd[10] = {0x25};
  unsigned char data[8] = {};
  if (Scsi10Submit(c, cmd, data, 8, false) != 0 || !SenseOk(shared)) return -1;
  if (lastBlock) *lastBlock = Get32(data);
  if (blockSize) *blockSize = Get32(data + 4);
  return 0;
}

int ScsiReadBlockLimits(ScsiChannel* c, unsigned long* max, unsigned long* min) {
  unsigned char cmd[6] = {0x05};
  unsigned char data[6] = {};
  if (Scsi6Submit(c, cmd, data, 6, false) != 0 || !SenseOk(shared)) return -1;
  if (max) *max = (static_cast<unsigned long>(data[1]) << 16) | (data[2] << 8) | data[3];
  if (min) *min = (static_cast<unsigned long>(data[4]) << 8) | data[5];
  return 0;
}

int ScsiRequestSense(ScsiChannel* c, unsigned char* buffer, int length) {
  unsigned char cmd[6] = {0x03, 0, 0, 0, static_cast<unsigned char>(std::clamp(length, 0, 255))};
  return Scsi6Submit(c, cmd, buffer, std::clamp(length, 0, 255), false);
}

int ScsiLock(ScsiChannel* c) { return Simple6(c, 0x1E, 1); }
int ScsiUnlock(ScsiChannel* c) { return Simple6(c, 0x1E, 0); }
int ScsiStart(ScsiChannel* c) { return Simple6(c, 0x1B, 1); }
int ScsiStop(ScsiChannel* c) { return Simple6(c, 0x1B, 0); }
int ScsiEject(ScsiChannel* c) { return Simple6(c, 0x1B, 2); }
int ScsiReserve(ScsiChannel* c) { return Simple6(c, 0x16, 0); }
int ScsiRelease(ScsiChannel* c) { return Simple6(c, 0x17, 0); }

int ScsiModeSense6(ScsiChannel* c, int pageControl, int page, unsigned char* buffer, int length,
                   ScsiModeHeader* p) {
  if (buffer == nullptr) return Fail(SCSI_ENULL);
  const int n = std::clamp(length, 0, 255);
  unsigned char cmd[6] = {0x1A,
                          0,
                          static_cast<unsigned char>((pageControl & 3) * 64 + (page & 63)),
                          0,
                          static_cast<unsigned char>(n),
                          0};
  if (Scsi6Submit(c, cmd, buffer, n, false) != 0) return -1;
  if (p != nullptr && n >= 4) {
    p->dataLength = buffer[0];
    p->mediumType = buffer[1];
    p->deviceSpecific = buffer[2];
    p->descriptorLength = buffer[3];
    p->densityCode = 0;
    p->nBlocks = 0;
    p->reserved = 0;
    p->blockLength = 0;
    if (buffer[3] >= 8 && n >= 12) {
      p->densityCode = buffer[4];
      p->nBlocks = (static_cast<unsigned long>(buffer[5]) << 16) | (buffer[6] << 8) | buffer[7];
      p->reserved = buffer[8];
      p->blockLength =
          (static_cast<unsigned long>(buffer[9]) << 16) | (buffer[10] << 8) | buffer[11];
    }
    p->firstPage = 4 + buffer[3] < n ? buffer + 4 + buffer[3] : nullptr;
  }
  return 0;
}

int ScsiModeSelect6(ScsiChannel* c, int pf, int sp, unsigned char* buffer, int length) {
  const int n = std::clamp(length, 0, 255);
  unsigned char cmd[6] = {0x15,
                          static_cast<unsigned char>((pf ? 0x10 : 0) | (sp ? 1 : 0)),
                          0,
                          0,
                          static_cast<unsigned char>(n),
                          0};
  return Scsi6Submit(c, cmd, buffer, n, true);
}

int ScsiModeSense10(ScsiChannel* c, int pageControl, int page, unsigned char* buffer, int length) {
  unsigned char cmd[10] = {0x5A, 0,
                           static_cast<unsigned char>((pageControl & 3) * 64 + (page & 63))};
  Put16(cmd + 7, static_cast<unsigned>(std::clamp(length, 0, 0xffff)));
  return Scsi10Submit(c, cmd, buffer, length, false);
}

int ScsiModeSelect10(ScsiChannel* c, int pf, int sp, unsigned char* buffer, int length) {
  unsigned char cmd[10] = {0x55, static_cast<unsigned char>((pf ? 0x10 : 0) | (sp ? 1 : 0))};
  Put16(cmd + 7, static_cast<unsigned>(std::clamp(length, 0, 0xffff)));
  return Scsi10Submit(c, cmd, buffer, length, true);
}

int ScsiRead(ScsiChannel* c, void* buffer, unsigned long block, int count, int blockSize) {
  unsigned char cmd[6] = {0x08};
  Put24(cmd + 1, block & 0x1fffff);
  cmd[4] = static_cast<unsigned char>(count);
  if (Scsi6Submit(c, cmd, buffer, count * blockSize, false) != 0 || !SenseOk(shared)) return -1;
  return 0;
}
int ScsiWrite(ScsiChannel* c, const void* buffer, unsigned long block, int count, int blockSize) {
  unsigned char cmd[6] = {0x0A};
  Put24(cmd + 1, block & 0x1fffff);
  cmd[4] = static_cast<unsigned char>(count);
  if (Scsi6Submit(c, cmd, const_cast<void*>(buffer), count * blockSize, true) != 0 ||
      !SenseOk(shared)) {
    return -1;
  }
  return 0;
}
int ScsiReadExtended(ScsiChannel* c, void* buffer, unsigned long block, int count, int bs) {
  unsigned char cmd[10] = {0x28};
  Put32(cmd + 2, block);
  Put16(cmd + 7, static_cast<unsigned>(count));
  if (Scsi10Submit(c, cmd, buffer, count * bs, false) != 0 || !SenseOk(shared)) return -1;
  return 0;
}
int ScsiWriteExtended(ScsiChannel* c, const void* buffer, unsigned long block, int count, int bs) {
  unsigned char cmd[10] = {0x2A};
  Put32(cmd + 2, block);
  Put16(cmd + 7, static_cast<unsigned>(count));
  if (Scsi10Submit(c, cmd, const_cast<void*>(buffer), count * bs, true) != 0 || !SenseOk(shared)) {
    return -1;
  }
  return 0;
}

int INITIALIZE_ELEMENT_STATUS(ScsiChannel* c) {
  unsigned char cmd[6] = {0x07, 0, 0, 0, 0, 0x80};
  if (Scsi6Submit(c, cmd, nullptr, 0, false) != 0 || !SenseOk(shared)) return -1;
  return 0;
}

int READ_ELEMENT_STATUS(ScsiChannel* c, int first, int count, unsigned char* buffer, int length) {
  unsigned char cmd[12] = {0xB8, 0};
  Put16(cmd + 2, static_cast<unsigned>(first));
  Put16(cmd + 4, static_cast<unsigned>(count));
  Put24(cmd + 7, static_cast<unsigned long>(length));
  if (Scsi12Submit(c, cmd, buffer, length, false) != 0 || !SenseOk(shared)) return -1;
  return 0;
}

int MOVE_MEDIUM(ScsiChannel* c, int transport, int source, int destination) {
  unsigned char cmd[12] = {0xA5, 0};
  Put16(cmd + 2, static_cast<unsigned>(transport));
  Put16(cmd + 4, static_cast<unsigned>(source));
  Put16(cmd + 6, static_cast<unsigned>(destination));
  if (Scsi12Submit(c, cmd, nullptr, 0, false) != 0 || !SenseOk(shared)) return -1;
  return 0;
}

// --- the dev_ layer ----------------------------------------------------------------

namespace {

bool Capacity(ScsiChannel* c) {
  if (c->capacityKnown) return true;
  if (c->isScsi) {
    unsigned char sense[256];
    ScsiRequestSense(c, sense, 255);  // clears a pending unit attention
    unsigned long last = 0, size = 0;
    if (ScsiReadCapacity(c, &last, &size) != 0 || size == 0) {
      ScsiError = SCSI_ECAPACITY;
      return false;
    }
    c->lastBlock = last;
    c->blockSize = size;
  } else {
    struct stat st {};
    if (::fstat(c->fd, &st) != 0) {
      ScsiErrno = errno;
      ScsiError = SCSI_ECAPACITY;
      return false;
    }
    c->lastBlock = st.st_size > 0 ? static_cast<unsigned long>((st.st_size - 1) / 512) : 0;
    c->blockSize = 512;
  }
  c->capacityKnown = true;
  return true;
}

long long Size(const ScsiChannel* c) {
  return static_cast<long long>(c->lastBlock + 1) * static_cast<long long>(c->blockSize);
}

// Moves bytes at the channel's position through whole blocks: a partial block at either
// end is read whole and, for writing, patched and written back.
ssize_t Transfer(ScsiChannel* c, unsigned char* data, std::size_t size, bool write) {
  if (!Capacity(c)) return -1;
  const long long bs = static_cast<long long>(c->blockSize);
  long long pos = c->position;
  const long long end = std::min<long long>(Size(c), pos + static_cast<long long>(size));
  if (pos >= end) return 0;
  std::vector<unsigned char> block(static_cast<std::size_t>(bs));
  std::size_t done = 0;
  const long long chunkBlocks = std::max<long long>(1, ScsiMaxBuff / bs);
  while (pos < end) {
    const long long first = pos / bs;
    const long long offset = pos % bs;
    if (offset != 0 || end - pos < bs) {
      const long long n = std::min(bs - offset, end - pos);
      if (ScsiReadExtended(c, block.data(), static_cast<unsigned long>(first), 1,
                           static_cast<int>(bs)) != 0) {
        break;
      }
      if (write) {
        std::memcpy(block.data() + offset, data + done, static_cast<std::size_t>(n));
        if (ScsiWriteExtended(c, block.data(), static_cast<unsigned long>(first), 1,
                              static_cast<int>(bs)) != 0) {
          break;
        }
      } else {
        std::memcpy(data + done, block.data() + offset, static_cast<std::size_t>(n));
      }
      pos += n;
      done += static_cast<std::size_t>(n);
      continue;
    }
    const long long blocks = std::min((end - pos) / bs, chunkBlocks);
    const int rc = write ? ScsiWriteExtended(c, data + done, static_cast<unsigned long>(first),
                                             static_cast<int>(blocks), static_cast<int>(bs))
                         : ScsiReadExtended(c, data + done, static_cast<unsigned long>(first),
                                            static_cast<int>(blocks), static_cast<int>(bs));
    if (rc != 0) break;
    pos += blocks * bs;
    done += static_cast<std::size_t>(blocks * bs);
  }
  c->position = pos;
  return done == 0 && size > 0 ? -1 : static_cast<ssize_t>(done);
}

}  // namespace

int dev_open(const char* path, int mode) {
  ScsiChannel* c = ScsiOpen(path);
  if (c == nullptr) return -1;
  c->mode = mode;
  c->position = 0;
  return c->fd;
}

int dev_close(int fd) {
  ScsiChannel* c = Chan(fd);
  return c ? ScsiClose(c) : -1;
}

long dev_nblocks(int fd) {
  ScsiChannel* c = Chan(fd);
  if (c == nullptr || !Capacity(c)) return -1;
  return static_cast<long>(c->lastBlock + 1);
}

long dev_blocksize(int fd) {
  ScsiChannel* c = Chan(fd);
  if (c == nullptr || !Capacity(c)) return -1;
  return static_cast<long>(c->blockSize);
}

ScsiChannel* dev_scsiChan(int fd) { return Chan(fd); }

// The position is kept by the channel for SCSI disks and plain files alike; only the
// size behind whence 2 is found differently, and Capacity knows which way.
long long dev_lseek(int fd, long long offset, int whence) { return ndev_lseek(fd, offset, whence); }

ssize_t dev_read(int fd, void* buffer, std::size_t size) {
  ScsiChannel* c = Chan(fd);
  if (c == nullptr) return -1;
  if (!c->isScsi) return ndev_read(fd, buffer, size);
  return Transfer(c, static_cast<unsigned char*>(buffer), size, false);
}

ssize_t dev_write(int fd, const void* buffer, std::size_t size) {
  ScsiChannel* c = Chan(fd);
  if (c == nullptr) return -1;
  if (!c->isScsi) return ndev_write(fd, buffer, size);
  return Transfer(c, static_cast<unsigned char*>(const_cast<void*>(buffer)), size, true);
}

ssize_t ndev_read(int fd, void* buffer, std::size_t size) {
  ScsiChannel* c = Chan(fd);
  if (c == nullptr) return -1;
  const ssize_t n = ::pread(fd, buffer, size, static_cast<off_t>(c->position));
  if (n > 0) c->position += n;
  return n;
}

ssize_t ndev_write(int fd, const void* buffer, std::size_t size) {
  ScsiChannel* c = Chan(fd);
  if (c == nullptr) return -1;
  const ssize_t n = ::pwrite(fd, buffer, size, static_cast<off_t>(c->position));
  if (n > 0) {
    c->position += n;
    c->capacityKnown = false;  // the file may have grown
  }
  return n;
}

long long ndev_lseek(int fd, long long offset, int whence) {
  ScsiChannel* c = Chan(fd);
  if (c == nullptr) return -1;
  long long base = 0;
  switch (whence) {
    case 0:
      break;
    case 1:
      base = c->position;
      break;
    case 2:
      if (!Capacity(c)) return -1;
      base = Size(c);
      break;
    default:
      return Fail(SCSI_EWHENCE);
  }
  if (base + offset < 0) return Fail(SCSI_EWHENCE);
  c->position = base + offset;
  return c->position;
}
