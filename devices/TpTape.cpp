#include "TpTape.hpp"

#include <sys/mtio.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "Env.hpp"
#include "TpDrive.hpp"
#include "TpVirt.hpp"
#include "UCommon.hpp"

int TpError = 0;
int TpErrno = 0;

namespace {

constexpr long kMinBlock = 1, kMaxBlock = 32768, kPreferredBlock = 32768;
constexpr long kBufferCap = 2097152;
constexpr std::size_t kHeaderNeed = 512;

int Fail(int code) {
  TpError = code;
  TpErrno = errno;
  return -1;
}

int Ok() {
  TpError = TpErrNone;
  TpErrno = 0;
  return 0;
}

void Copy(char* out, std::size_t length, const char* text) {
  if (length == 0) return;
  std::strncpy(out, text, length - 1);
  out[length - 1] = '\0';
}

// Digits of the base from at most width characters, after leading blanks; stops at the
// first other character.
unsigned long long Number(const unsigned char* p, std::size_t width, int base) {
  std::size_t i = 0;
  while (i < width && p[i] == ' ') ++i;
  unsigned long long v = 0;
  for (; i < width; ++i) {
    const int c = p[i];
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else {
      break;
    }
    if (d >= base) break;
    v = v * base + d;
  }
  return v;
}

void SetName(TpEntry& e, const unsigned char* p, std::size_t available) {
  if (e.name == nullptr || e.nameLength == 0) return;
  std::size_t n = 0;
  while (n < available && n + 1 < e.nameLength && p[n] != '\0') {
    e.name[n] = static_cast<char>(p[n]);
    ++n;
  }
  e.name[n] = '\0';
}

void SetTime(TpEntry& e, long long seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  if (::localtime_r(&t, &tm) == nullptr) tm = std::tm{};
  e.time = {tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

bool Tar(const unsigned char* b, std::size_t size, TpEntry& e, const char* magic, std::size_t len) {
  if (b == nullptr || size < kHeaderNeed || std::memcmp(b + 257, magic, len) != 0) return false;
  SetName(e, b, 100);
  SetTime(e, static_cast<long long>(Number(b + 136, 12, 8)));
  e.headerLength = 512;
  e.dataLength = static_cast<long long>(Number(b + 124, 12, 8));
  e.cpioOptions = "";
  return true;
}

unsigned Word(const unsigned char* p, bool bigEndian) {
  return bigEndian ? (p[0] << 8 | p[1]) : (p[1] << 8 | p[0]);
}

}  // namespace

void TpTape_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "TpTape");
  if (!init) return;
  UCommon_Init();
  Env_Init();
  TpDrive_Init();
  TpVirt_Init();
}

void TpStrError(int code, char* buffer, std::size_t length) {
  const char* text = "unknown errcode";
  switch (code) {
    case TpErrNone:
      text = "no Error";
      break;
    case TpErrRead:
      text = "read failed";
      break;
    case TpErrTapeOp:
      text = "TpTapeOp failed";
      break;
    case TpErrGetBlockLimits:
      text = "TpGetBlockLimits failed";
      break;
    case TpErrSetBlockSize:
      text = "TpSetBlockSize failed";
      break;
    case TpErrGetBlockSize:
      text = "TpGetBlockSize failed";
      break;
    case TpErrReadBlockAlloc:
      text = "TpReadBlockFailed failed";
      break;
    default:
      break;  // also the position query
  }
  Copy(buffer, length, text);
}

int TpInitTape(const char* device) {
  const std::string script = std::string(EnvGetZOLTLIB()) + "/bin/.tapeinit.sh";
  struct stat st {};
  if (::stat(script.c_str(), &st) != 0) return Ok();
  const std::string command = script + " '" + device + "'";
  const int status = std::system(command.c_str());
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return Ok();
}

int TpTapeOp(int fd, int op, int count) {
  static constexpr int kLinux[] = {MTREW, MTUNLOAD, MTWEOF, MTFSF, MTBSF, MTEOM};
  if (op < 0 || op > TpSpaceToEndOfData) {
    errno = EINVAL;
    return Fail(TpErrTapeOp);
  }
  if (TpDrive_OfFd(fd).tapeOp(fd, kLinux[op], count) != 0) return Fail(TpErrTapeOp);
  return Ok();
}

int TpGetPos(int fd, long* residual, long* fileNumber, long* blockNumber) {
  if (TpDrive_OfFd(fd).getPos(fd, residual, fileNumber, blockNumber) != 0) {
    return Fail(TpErrGetPos);
  }
  return Ok();
}

int TpGetBlockLimits(int fd, long* minimum, long* maximum, long* preferred) {
  *minimum = kMinBlock;
  *maximum = kMaxBlock;
  *preferred = kPreferredBlock;
  return Ok();
}

int TpSetBlockSize(int fd, int size) {
  if (TpDrive_OfFd(fd).setBlockSize(fd, size) != 0) return Fail(TpErrSetBlockSize);
  return Ok();
}

int TpSeekTo(int fd, int n) {
  if (n == -1) return TpTapeOp(fd, TpSpaceToEndOfData, 1);
  if (TpTapeOp(fd, TpRewind, 1) != 0) return -1;
  return n == 0 ? 0 : TpTapeOp(fd, TpForwardSpaceFiles, n);
}

long TpReadBlock(int fd, long limit, char** buffer, long* size) {
  char* own = nullptr;
  char* into;
  long offered;
  if (buffer != nullptr && *buffer != nullptr) {
    into = *buffer;
    offered = size != nullptr ? *size : 0;
  } else {
    long minimum, maximum, preferred;
    TpGetBlockLimits(fd, &minimum, &maximum, &preferred);
    offered = std::max(minimum, std::max(maximum, preferred));
    if (offered > kBufferCap) offered = kBufferCap;
    own = static_cast<char*>(std::malloc(offered));
    if (own == nullptr) return Fail(TpErrReadBlockAlloc);
    into = own;
  }
  if (limit > 0 && limit < offered) offered = limit;
  const ssize_t n = TpDrive_Read(fd, into, static_cast<std::size_t>(offered));
  const int err = errno;
  if (own != nullptr) {
    if (buffer != nullptr) {
      *buffer = own;
      if (size != nullptr) *size = offered;
    } else {
      std::free(own);
    }
  }
  errno = err;
  if (n < 0) return Fail(TpErrRead);
  Ok();
  return static_cast<long>(n);
}

void TpGetDefaultTapeName(char* buffer, std::size_t length) {
  const char* tape = std::getenv("TAPE");
  const char* stdTape = std::getenv("STDTAPE");
  if (tape != nullptr) {
    Copy(buffer, length, tape);
  } else if (stdTape != nullptr) {
    Copy(buffer, length, std::strcmp(stdTape, "TAPE") == 0 ? "/dev/rmt0" : "/dev/exa");
  } else {
    Copy(buffer, length, "/dev/nst0");
  }
}

bool TpTapeAutoWFM() {
  const char* os = std::getenv("OS");
  return os != nullptr && std::strcmp(os, "XENIX") == 0;
}

bool TpIsTar(const unsigned char* block, std::size_t size, TpEntry& entry) {
  return Tar(block, size, entry, "ustar", 6);
}

bool TpIsGTar(const unsigned char* block, std::size_t size, TpEntry& entry) {
  return Tar(block, size, entry, "ustar  ", 8);
}

bool TpIsCpio(const unsigned char* b, std::size_t size, TpEntry& e) {
  if (b == nullptr || size < kHeaderNeed) return false;
  if ((b[0] == 0xC7 && b[1] == 0x71) || (b[0] == 0x71 && b[1] == 0xC7)) {
    const bool big = b[0] == 0x71;
    const unsigned nameLength = Word(b + 20, big);
    e.headerLength = static_cast<long>((nameLength + 26 + 1) & ~1u);
    e.dataLength = static_cast<long long>(Word(b + 22, big)) << 16 | Word(b + 24, big);
    SetTime(e, static_cast<long long>(Word(b + 16, big)) << 16 | Word(b + 18, big));
    SetName(e, b + 26, std::min<std::size_t>(nameLength, size - 26));
    e.cpioOptions = "";
    return true;
  }
  if (std::memcmp(b, "070707", 6) == 0) {
    const unsigned long long nameLength = Number(b + 59, 6, 8);
    e.headerLength = static_cast<long>(nameLength + 76);
    e.dataLength = static_cast<long long>(Number(b + 65, 11, 8));
    SetTime(e, static_cast<long long>(Number(b + 48, 11, 8)));
    SetName(e, b + 76, std::min<std::size_t>(nameLength, size - 76));
    e.cpioOptions = "-H odc";
    return true;
  }
  if (std::memcmp(b, "070701", 6) == 0) {
    const unsigned long long nameLength = Number(b + 94, 8, 16);
    e.headerLength = static_cast<long>((nameLength + 110 + 3) & ~3ull);
    e.dataLength = static_cast<long long>(Number(b + 54, 8, 16));
    SetTime(e, static_cast<long long>(Number(b + 46, 8, 16)));
    SetName(e, b + 110, std::min<std::size_t>(nameLength, size - 110));
    e.cpioOptions = "-c";
    return true;
  }
  return false;
}
