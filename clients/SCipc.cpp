#include "SCipc.hpp"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <set>

#include "DirAcces.hpp"
#include "Processe.hpp"
#include "UCommon.hpp"

int SCipc_error = 0;

struct SCipc_Channel {
  int owner = 0;  // the process that made the answer pipe
  std::string requestPath;
  std::string answerPath;
  int requestFd = -1;
  int answerFd = -1;
  std::string input;
};

struct SCipc_Server {
  std::string path;
  int fd = -1;
  std::string input;
};

namespace {

constexpr std::size_t kRequestHeader = 8;  // length, pid
constexpr std::size_t kAnswerHeader = 4;   // length
constexpr int kSliceMs = 100;

// Answer pipes made by this process, removed when the process ends. A forked child
// inherits the set but must leave its parent's pipes alone.
struct OwnPipes {
  int owner = 0;
  std::set<std::string> paths;
};

OwnPipes& OwnAnswerPipes() {
  static OwnPipes pipes;
  if (pipes.owner != ::getpid()) {
    pipes.owner = ::getpid();
    pipes.paths.clear();
  }
  return pipes;
}

void RemoveOwnAnswerPipes() {
  for (const std::string& p : OwnAnswerPipes().paths) ::unlink(p.c_str());
  OwnAnswerPipes().paths.clear();
}

std::string ServicePath(StrIn service) { return SCipc_Directory() + "/" + service.str(); }

std::string AnswerPath(const std::string& requestPath, int pid) {
  return requestPath + "." + std::to_string(pid);
}

void PutU32(std::string& s, std::uint32_t v) { s.append(reinterpret_cast<const char*>(&v), 4); }

std::uint32_t GetU32(const std::string& s, std::size_t at) {
  std::uint32_t v = 0;
  std::memcpy(&v, s.data() + at, 4);
  return v;
}

// Writes one frame without dying of SIGPIPE when nobody reads the pipe any more. The
// signal is blocked for the write and a pending one is taken back afterwards.
int WriteFrame(int fd, const std::string& frame) {
  sigset_t pipe, old;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, &old);
  ssize_t w;
  do {
    w = ::write(fd, frame.data(), frame.size());
  } while (w < 0 && errno == EINTR);
  const int err = w < 0 ? errno : 0;
  if (err == EPIPE) {
    const timespec zero{0, 0};
    while (sigtimedwait(&pipe, nullptr, &zero) > 0) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (err != 0) return err;
  return static_cast<std::size_t>(w) == frame.size() ? 0 : EIO;
}

// Whether a server reads the request pipe at path.
bool Offered(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

void ReadAll(int fd, std::string& into) {
  char buffer[PIPE_BUF];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      into.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return;
  }
}

}  // namespace

std::size_t SCipc_MaxMessage() { return PIPE_BUF - kRequestHeader; }

void SCipc_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "SCipc");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  Processe_Init();
  DirAcces_Init();
  Processe_InstallTerminationProcedure(RemoveOwnAnswerPipes);
}

std::string SCipc_Directory() {
  char dat[1024] = {};
  DirAcces_GetSpecialPath(DirAcces_datPath, dat);
  std::string dir = StrIn(dat).str();
  if (dir.empty() || dir == "/") dir = "/tmp";
  return dir + "/scipc";
}

SCipc_Channel* SCipc_Connect(StrIn service) {
  SCipc_Init();
  SCipc_error = 0;
  auto* c = new SCipc_Channel;
  c->requestPath = ServicePath(service);
  c->requestFd = ::open(c->requestPath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (c->requestFd < 0) {
    SCipc_error = (errno == ENXIO || errno == ENOENT) ? SCipc_errNoService : SCipc_errSystem;
    delete c;
    return nullptr;
  }
  c->answerPath = AnswerPath(c->requestPath, static_cast<int>(::getpid()));
  ::unlink(c->answerPath.c_str());
  if (::mkfifo(c->answerPath.c_str(), 0600) != 0) {
    SCipc_error = SCipc_errSystem;
    ::close(c->requestFd);
    delete c;
    return nullptr;
  }
  c->owner = static_cast<int>(::getpid());
  OwnAnswerPipes().paths.insert(c->answerPath);
  // Held open for reading and writing, so the server can always open it for its answer
  // and a read never sees an end of file.
  c->answerFd = ::open(c->answerPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (c->answerFd < 0) {
    SCipc_error = SCipc_errSystem;
    SCipc_Close(c);
    return nullptr;
  }
  return c;
}

bool SCipc_Send(SCipc_Channel* c, std::string_view request) {
  SCipc_error = 0;
  if (c == nullptr) {
    SCipc_error = SCipc_errServerGone;
    return false;
  }
  if (request.size() > SCipc_MaxMessage()) {
    SCipc_error = SCipc_errTooLong;
    return false;
  }
  // An answer that came after its requester stopped waiting must not answer this one.
  std::string stale;
  ReadAll(c->answerFd, stale);
  c->input.clear();
  std::string frame;
  PutU32(frame, static_cast<std::uint32_t>(request.size()));
  PutU32(frame, static_cast<std::uint32_t>(::getpid()));
  frame.append(request);
  const int err = WriteFrame(c->requestFd, frame);
  if (err == 0) return true;
  SCipc_error = err == EPIPE    ? SCipc_errBrokenPipe
                : err == EAGAIN ? SCipc_errTimeout
                                : SCipc_errSystem;
  return false;
}

bool SCipc_Receive(SCipc_Channel* c, std::string& answer, std::size_t max, int timeoutMs) {
  SCipc_error = 0;
  if (c == nullptr) {
    SCipc_error = SCipc_errServerGone;
    return false;
  }
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    ReadAll(c->answerFd, c->input);
    if (c->input.size() >= kAnswerHeader) {
      const std::uint32_t n = GetU32(c->input, 0);
      if (c->input.size() >= kAnswerHeader + n) {
        answer = c->input.substr(kAnswerHeader, n < max ? n : max);
        c->input.erase(0, kAnswerHeader + n);
        return true;
      }
    }
    if (!Offered(c->requestPath)) {
      SCipc_error = SCipc_errServerGone;
      return false;
    }
    int slice = kSliceMs;
    if (timeoutMs >= 0) {
      const auto used = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
      if (used >= timeoutMs) {
        SCipc_error = SCipc_errTimeout;
        return false;
      }
      if (timeoutMs - used < slice) slice = static_cast<int>(timeoutMs - used);
    }
    pollfd p{c->answerFd, POLLIN, 0};
    ::poll(&p, 1, slice);
  }
}

void SCipc_Close(SCipc_Channel*& c) {
  if (c == nullptr) return;
  if (c->requestFd >= 0) ::close(c->requestFd);
  if (c->answerFd >= 0) ::close(c->answerFd);
  if (!c->answerPath.empty() && c->owner == ::getpid()) {
    ::unlink(c->answerPath.c_str());
    OwnAnswerPipes().paths.erase(c->answerPath);
  }
  delete c;
  c = nullptr;
}

SCipc_Server* SCipc_Offer(StrIn service, std::string& error) {
  SCipc_Init();
  const std::string dir = SCipc_Directory();
  if (::mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
    error = "cannot create " + dir + ": " + std::strerror(errno);
    return nullptr;
  }
  const std::string path = dir + "/" + service.str();
  if (Offered(path)) {
    error = "service " + service.str() + " is already offered";
    return nullptr;
  }
  ::unlink(path.c_str());
  if (::mkfifo(path.c_str(), 0666) != 0) {
    error = "cannot create " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  ::chmod(path.c_str(), 0666);  // every user's clients may write requests
  auto* s = new SCipc_Server;
  s->path = path;
  // Read and write: the pipe then has a writer for as long as the server lives, so
  // it never reads an end of file between clients.
  s->fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (s->fd < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    ::unlink(path.c_str());
    delete s;
    return nullptr;
  }
  return s;
}

int SCipc_ServerFd(const SCipc_Server* s) { return s != nullptr ? s->fd : -1; }

bool SCipc_NextRequest(SCipc_Server* s, int& pid, std::string& request) {
  if (s == nullptr) return false;
  ReadAll(s->fd, s->input);
  if (s->input.size() < kRequestHeader) return false;
  const std::uint32_t n = GetU32(s->input, 0);
  if (n > SCipc_MaxMessage()) {
    // Not a frame of ours: there is no way to find the next frame start, so drop
    // everything read so far.
    s->input.clear();
    return false;
  }
  if (s->input.size() < kRequestHeader + n) return false;
  pid = static_cast<int>(GetU32(s->input, 4));
  request = s->input.substr(kRequestHeader, n);
  s->input.erase(0, kRequestHeader + n);
  return true;
}

bool SCipc_Answer(SCipc_Server* s, int pid, std::string_view answer) {
  if (s == nullptr || pid <= 0 || answer.size() > SCipc_MaxMessage()) return false;
  const std::string path = AnswerPath(s->path, pid);
  const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  std::string frame;
  PutU32(frame, static_cast<std::uint32_t>(answer.size()));
  frame.append(answer);
  const int err = WriteFrame(fd, frame);
  ::close(fd);
  return err == 0;
}

void SCipc_ForgetClient(SCipc_Server* s, int pid) {
  if (s != nullptr && pid > 0) ::unlink(AnswerPath(s->path, pid).c_str());
}

void SCipc_Withdraw(SCipc_Server*& s) {
  if (s == nullptr) return;
  if (s->fd >= 0) ::close(s->fd);
  ::unlink(s->path.c_str());
  delete s;
  s = nullptr;
}
