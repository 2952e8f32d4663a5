#include "Rmt.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "TpDrive.hpp"
#include "TpTape.hpp"
#include "UCommon.hpp"

namespace {

constexpr std::size_t kReplyLine = 64;
constexpr std::size_t kErrorText = 1024;
constexpr long kMaxBlockReply = 2097152;

struct Connection {
  int toServer = -1, fromServer = -1;
  pid_t child = -1;
  std::string device;
};

Connection connections[RmtMaxConnections];
int firstByteMs = 20 * 60 * 1000;
int nextByteMs = 60 * 1000;

int Fail(int err) {
  errno = err;
  return -1;
}

// Closes the pipes and reaps the remote shell; one that does not end on the closed
// pipes within two seconds is killed.
void Shutdown(int n) {
  Connection& c = connections[n];
  if (c.toServer >= 0) ::close(c.toServer);
  if (c.fromServer >= 0) ::close(c.fromServer);
  c.toServer = c.fromServer = -1;
  if (c.child > 0) {
    int status;
    bool gone = false;
    for (int i = 0; i < 200 && !gone; ++i) {
      gone = ::waitpid(c.child, &status, WNOHANG) != 0;
      if (!gone) ::usleep(10000);
    }
    if (!gone) {
      ::kill(c.child, SIGKILL);
      ::waitpid(c.child, &status, 0);
    }
  }
  c.child = -1;
  c.device.clear();
}

int Broken(int n) {
  Shutdown(n);
  return Fail(EIO);
}

bool Valid(int n) {
  return n >= 0 && n < RmtMaxConnections && connections[n].toServer >= 0 &&
         connections[n].fromServer >= 0;
}

// One byte within the time-out; false at the end of the pipe, on a time-out or error.
bool ReadByte(int fd, int timeoutMs, char& c) {
  pollfd p{fd, POLLIN, 0};
  for (;;) {
    const int r = ::poll(&p, 1, timeoutMs);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    const ssize_t got = ::read(fd, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    return got == 1;
  }
}

bool ReadExact(int fd, char* into, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, nextByteMs);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    const ssize_t got = ::read(fd, into + done, n - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

// A line without its line feed, at most limit characters.
bool ReadLine(int fd, std::size_t limit, std::string& line) {
  line.clear();
  char c;
  for (int timeout = firstByteMs; ReadByte(fd, timeout, c); timeout = nextByteMs) {
    if (c == '\n') return true;
    if (line.size() == limit) return false;
    line += c;
  }
  return false;
}

bool Send(int n, const std::string& request, const char* data = nullptr, std::size_t length = 0) {
  struct sigaction ignore {
  }, old{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &old);
  std::string bytes = request;
  if (data != nullptr) bytes.append(data, length);
  std::size_t done = 0;
  bool ok = true;
  while (ok && done < bytes.size()) {
    const ssize_t w = ::write(connections[n].toServer, bytes.data() + done, bytes.size() - done);
    if (w < 0 && errno == EINTR) continue;
    ok = w > 0;
    if (ok) done += static_cast<std::size_t>(w);
  }
  ::sigaction(SIGPIPE, &old, nullptr);
  return ok;
}

// The text of an "A" reply; false (errno set, connection closed where the reply says
// so or is broken) otherwise.
bool ReplyText(int n, std::string& text) {
  char value[kReplyLine + 1];
  int err = 0;
  switch (RmtReadReply(connections[n].fromServer, value, sizeof value, &err)) {
    case RmtReply::Value:
      text = value;
      return true;
    case RmtReply::Error:
      errno = err;
      return false;
    case RmtReply::Fatal:
      Shutdown(n);
      errno = err;
      return false;
    case RmtReply::Broken:
      break;
  }
  Broken(n);
  return false;
}

bool ReplyNumber(int n, long long& number) {
  std::string text;
  if (!ReplyText(n, text)) return false;
  if (!RmtReplyNumber(text.c_str(), &number)) {
    Broken(n);
    return false;
  }
  return true;
}

// A request answered by one number; -1 with errno on failure.
long long Command(int n, const std::string& request, const char* data = nullptr,
                  std::size_t length = 0) {
  if (!Valid(n)) return Fail(EBADF);
  if (!Send(n, request, data, length)) return Broken(n);
  long long number;
  return ReplyNumber(n, number) ? number : -1;
}

const char* RemoteShell() {
  const char* shell = std::getenv("VM_REMOTE_SHELL");
  return shell != nullptr && *shell != '\0' ? shell : "/usr/bin/rsh";
}

// Starts the remote shell for the name; the connection number or -1.
int SetupPipes(const char* name, bool local) {
  int n = 0;
  while (n < RmtMaxConnections &&
         !(connections[n].toServer == -1 && connections[n].fromServer == -1)) {
    ++n;
  }
  if (n == RmtMaxConnections) return Fail(EMFILE);
  std::string user, host = "localhost", device = name;
  const char* colon = std::strchr(name, ':');
  if (!local && colon != nullptr) {
    host.assign(name, colon);
    device = colon + 1;
    const std::size_t at = host.find('@');
    if (at != std::string::npos) {
      user = host.substr(0, at);
      host.erase(0, at + 1);
    }
  }
  int request[2], reply[2];
  if (::pipe2(request, O_CLOEXEC) != 0) return -1;
  if (::pipe2(reply, O_CLOEXEC) != 0) {
    ::close(request[0]);
    ::close(request[1]);
    return -1;
  }
  const char* shell = RemoteShell();
  std::vector<const char*> argv{shell, host.c_str()};
  if (!user.empty()) {
    argv.push_back("-l");
    argv.push_back(user.c_str());
  }
  argv.push_back("RMT");
  argv.push_back(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(request[0], 0);
    ::dup2(reply[1], 1);
    if (::setgid(::getgid()) != 0 || ::setuid(::getuid()) != 0) _exit(1);
    ::execvp(shell, const_cast<char* const*>(argv.data()));
    std::perror("exec");
    _exit(1);
  }
  const int forkErr = errno;
  ::close(request[0]);
  ::close(reply[1]);
  if (child < 0) {
    ::close(request[1]);
    ::close(reply[0]);
    return Fail(forkErr);
  }
  connections[n].toServer = request[1];
  connections[n].fromServer = reply[0];
  connections[n].child = child;
  connections[n].device = device;
  return n;
}

int Local(int fd) { return fd; }
int Remote(int fd) { return fd - RmtRemoteBase; }

int AccessMode(int mode) {
  switch (mode) {
    case 0:
      return R_OK;
    case 1:
      return W_OK;
    case 2:
      return X_OK;
    default:
      return F_OK;
  }
}

int OpenFlags(int mode) {
  switch (mode) {
    case 1:
      return O_WRONLY | O_CREAT;
    case 2:
      return O_RDWR | O_CREAT;
    default:
      return O_RDONLY;
  }
}

bool IsLocal(const char* name, bool local) { return local || !IsRemDevname(name); }

std::string Name(const char* user, const char* host, const char* device) {
  if (user != nullptr && *user != '\0') return std::string(user) + "@" + host + ":" + device;
  return std::string(host) + ":" + device;
}

}  // namespace

void Rmt_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "Rmt");
  if (!init) return;
  UCommon_Init();
  TpDrive_Init();
  TpTape_Init();
}

bool IsRemDevname(const char* name) { return name != nullptr && std::strchr(name, ':') != nullptr; }
bool isrmt(int fd) { return fd >= RmtRemoteBase; }

void RmtSetTimeouts(int firstMs, int nextMs) {
  firstByteMs = firstMs;
  nextByteMs = nextMs;
}

RmtReply RmtReadReply(int fd, char* value, std::size_t size, int* err) {
  std::string line;
  if (!ReadLine(fd, kReplyLine, line)) return RmtReply::Broken;
  std::size_t i = 0;
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  if (i == line.size()) return RmtReply::Broken;
  const char kind = line[i];
  const std::string rest = line.substr(i + 1);
  if (kind == 'A') {
    if (size > 0) {
      const std::size_t n = std::min(rest.size(), size - 1);
      std::memcpy(value, rest.data(), n);
      value[n] = '\0';
    }
    return RmtReply::Value;
  }
  if (kind != 'E' && kind != 'F') return RmtReply::Broken;
  long long number;
  std::string text;
  if (!RmtReplyNumber(rest.c_str(), &number) || number < 0 || number > 4095 ||
      !ReadLine(fd, kErrorText, text)) {
    return RmtReply::Broken;
  }
  *err = static_cast<int>(number);
  return kind == 'E' ? RmtReply::Error : RmtReply::Fatal;
}

bool RmtReplyNumber(const char* text, long long* value) {
  const char* p = text;
  if (*p == '-' || *p == '+') ++p;
  if (*p < '0' || *p > '9') return false;
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text, &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *value = v;
  return true;
}

int RmtAccess(const char* name, bool local, int mode) {
  const int n = SetupPipes(name, local);
  if (n < 0) return -1;
  const long long r = Command(n, "A" + connections[n].device + "\n" + std::to_string(mode) + "\n");
  const int err = errno;
  Shutdown(n);
  errno = err;
  return static_cast<int>(r);
}

int RmtOpen(const char* name, bool local, int mode) {
  const int n = SetupPipes(name, local);
  if (n < 0) return -1;
  if (Command(n, "O" + connections[n].device + "\n" + std::to_string(mode) + "\n") < 0) {
    const int err = errno;
    Shutdown(n);
    return Fail(err);
  }
  return n;
}

int RmtClose(int conn) {
  const long long r = Command(conn, "C\n");
  const int err = errno;
  if (Valid(conn)) Shutdown(conn);
  errno = err;
  return r < 0 ? -1 : 0;
}

long RmtRead(int conn, char* buffer, std::size_t length) {
  const long long n = Command(conn, "R" + std::to_string(length) + "\n");
  if (n < 0) return -1;
  if (static_cast<unsigned long long>(n) > length) return Broken(conn);
  if (!ReadExact(connections[conn].fromServer, buffer, static_cast<std::size_t>(n))) {
    return Broken(conn);
  }
  return static_cast<long>(n);
}

long RmtWrite(int conn, const char* buffer, std::size_t length) {
  return static_cast<long>(Command(conn, "W" + std::to_string(length) + "\n", buffer, length));
}

long long RmtLSeek(int conn, long long offset, int whence) {
  return Command(conn, "L" + std::to_string(offset) + "\n" + std::to_string(whence) + "\n");
}

int RmtFStat(int conn, int* flag, long long* modifyTime, long long* size) {
  if (!Valid(conn)) return Fail(EBADF);
  if (!Send(conn, "S\n")) return Broken(conn);
  std::string text;
  if (!ReplyText(conn, text)) return -1;
  int f = 0, used = 0;
  long long t = 0, s = 0;
  if (std::sscanf(text.c_str(), "%d %lld %lld%n", &f, &t, &s, &used) != 3 ||
      static_cast<std::size_t>(used) != text.size()) {
    return Broken(conn);
  }
  *flag = f;
  *modifyTime = t;
  *size = s;
  return 0;
}

int RmtTpInitTape(const char* name, bool local) {
  const int n = SetupPipes(name, local);
  if (n < 0) return -1;
  const long long r = Command(n, std::string("TI") + name + "\n");
  const int err = errno;
  Shutdown(n);
  errno = err;
  return r < 0 ? -1 : 0;
}

int RmtTpTapeOp(int conn, int op, int count) {
  return Command(conn, "TT" + std::to_string(op) + "\n" + std::to_string(count) + "\n") < 0 ? -1
                                                                                            : 0;
}

int RmtTpGetPos(int conn, long* residual, long* fileNumber, long* blockNumber) {
  if (Command(conn, "TP\n") < 0) return -1;
  long long r, f, b;
  if (!ReplyNumber(conn, r) || !ReplyNumber(conn, f) || !ReplyNumber(conn, b)) return -1;
  *residual = static_cast<long>(r);
  *fileNumber = static_cast<long>(f);
  *blockNumber = static_cast<long>(b);
  return 0;
}

int RmtTpSeekTo(int conn, int n) {
  return Command(conn, "TS" + std::to_string(n) + "\n") < 0 ? -1 : 0;
}

long RmtTpReadBlock(int conn, char** buffer, long* size) {
  if (Command(conn, "TR0\n") < 0) return -1;
  long long bufferSize, length;
  if (!ReplyNumber(conn, bufferSize) || !ReplyNumber(conn, length)) return -1;
  if (bufferSize < 0 || bufferSize > kMaxBlockReply || length < 0 || length > bufferSize) {
    return Broken(conn);
  }
  std::string data(static_cast<std::size_t>(length), '\0');
  if (!ReadExact(connections[conn].fromServer, data.data(), data.size())) return Broken(conn);
  if (buffer == nullptr) return static_cast<long>(length);
  if (*buffer == nullptr) {
    *buffer = static_cast<char*>(std::malloc(static_cast<std::size_t>(std::max(bufferSize, 1LL))));
    if (*buffer == nullptr) return Fail(ENOMEM);
    if (size != nullptr) *size = static_cast<long>(bufferSize);
  } else if (size == nullptr || *size < length) {
    return Fail(ENOMEM);
  }
  std::memcpy(*buffer, data.data(), data.size());
  return static_cast<long>(length);
}

int rmtaccess(const char* name, bool local, int mode) {
  if (IsLocal(name, local)) return ::access(name, AccessMode(mode)) == 0 ? 1 : 0;
  return RmtAccess(name, false, mode);
}

int rmtopen(const char* path, bool local, int mode) {
  if (IsLocal(path, local)) {
    const int fd = TpDrive_Open(path, OpenFlags(mode) | O_CLOEXEC, 0666);
    if (fd >= RmtRemoteBase) {
      TpDrive_Close(fd);
      return Fail(EMFILE);
    }
    return fd;
  }
  const int n = RmtOpen(path, false, mode);
  return n < 0 ? -1 : n + RmtRemoteBase;
}

long rmtread(int fd, char* buffer, std::size_t length) {
  return isrmt(fd) ? RmtRead(Remote(fd), buffer, length) : TpDrive_Read(Local(fd), buffer, length);
}

long rmtwrite(int fd, const char* buffer, std::size_t length) {
  return isrmt(fd) ? RmtWrite(Remote(fd), buffer, length)
                   : TpDrive_Write(Local(fd), buffer, length);
}

long long rmtlseek(int fd, long long offset, int whence) {
  return isrmt(fd) ? RmtLSeek(Remote(fd), offset, whence) : ::lseek(fd, offset, whence);
}

int rmtclose(int fd) { return isrmt(fd) ? RmtClose(Remote(fd)) : TpDrive_Close(fd); }

int rmtfstat(int fd, int* flag, long long* modifyTime, long long* size) {
  if (isrmt(fd)) return RmtFStat(Remote(fd), flag, modifyTime, size);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return -1;
  *flag = 0;
  *modifyTime = st.st_mtime;
  *size = st.st_size;
  return 0;
}

int rmtTpInitTape(const char* name, bool local) {
  return IsLocal(name, local) ? TpInitTape(name) : RmtTpInitTape(name, false);
}

int rmtTpTapeOp(int fd, int op, int count) {
  return isrmt(fd) ? RmtTpTapeOp(Remote(fd), op, count) : TpTapeOp(fd, op, count);
}

int rmtTpGetPos(int fd, long* residual, long* fileNumber, long* blockNumber) {
  return isrmt(fd) ? RmtTpGetPos(Remote(fd), residual, fileNumber, blockNumber)
                   : TpGetPos(fd, residual, fileNumber, blockNumber);
}

int rmtTpSeekTo(int fd, int n) { return isrmt(fd) ? RmtTpSeekTo(Remote(fd), n) : TpSeekTo(fd, n); }

long rmtTpReadBlock(int fd, char** buffer, long* size) {
  return isrmt(fd) ? RmtTpReadBlock(Remote(fd), buffer, size) : TpReadBlock(fd, 0, buffer, size);
}

int rmtaccess1(const char* user, const char* host, const char* device, int mode) {
  if (host == nullptr || *host == '\0') return rmtaccess(device, true, mode);
  return rmtaccess(Name(user, host, device).c_str(), false, mode);
}

int rmtopen1(const char* user, const char* host, const char* device, int mode) {
  if (host == nullptr || *host == '\0') return rmtopen(device, true, mode);
  return rmtopen(Name(user, host, device).c_str(), false, mode);
}

int rmtTpInitTape1(const char* user, const char* host, const char* device) {
  if (host == nullptr || *host == '\0') return rmtTpInitTape(device, true);
  return rmtTpInitTape(Name(user, host, device).c_str(), false);
}
