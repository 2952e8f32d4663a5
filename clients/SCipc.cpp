#include "SCipc.hpp"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>

#include "DirAcces.hpp"
#include "Processe.hpp"
#include "UCommon.hpp"

int SCipc_error = 0;

struct SCipc_Channel {
  int owner = 0;  // the process that connected: a forked child must connect anew
  int fd = -1;
  std::string input;
};

namespace {

struct Exchange {
  int fd = -1;
  int pid = 0;
  int uid = -1;
  std::string input;
};

}  // namespace

struct SCipc_Server {
  std::string path;
  int listenFd = -1;
  int pollFd = -1;   // an epoll set: the listening socket and every exchange
  int spareFd = -1;  // given up to take in and turn away a client when descriptors run out
  int nextId = 1;
  std::map<int, Exchange> exchanges;
  std::vector<int> ended;  // found while answering, reported by the next SCipc_Serve
};

namespace {

constexpr std::size_t kRequestHeader = 8;  // length, pid
constexpr std::size_t kAnswerHeader = 4;   // length
constexpr std::size_t kReadChunk = 65536;

std::string ServicePath(StrIn service) { return SCipc_Directory() + "/" + service.str(); }

void PutU32(std::string& s, std::uint32_t v) { s.append(reinterpret_cast<const char*>(&v), 4); }

std::uint32_t GetU32(const std::string& s, std::size_t at) {
  std::uint32_t v = 0;
  std::memcpy(&v, s.data() + at, 4);
  return v;
}

bool Address(const std::string& path, sockaddr_un& a) {
  a = sockaddr_un{};
  a.sun_family = AF_UNIX;
  if (path.size() >= sizeof a.sun_path) return false;
  std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Connects to the socket at path; -1 with errno.
int ConnectTo(const std::string& path) {
  sockaddr_un a;
  if (!Address(path, a)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int r;
  do {
    r = ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
  } while (r != 0 && errno == EINTR);
  if (r != 0) {
    const int err = errno;
    ::close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

// Writes all of bytes to a stream socket, waiting while it is full. 0 or an errno.
int WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t w = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(w));
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 100);
      continue;
    }
    return w < 0 ? errno : EIO;
  }
  return 0;
}

// Reads what is there without waiting. False when the other side has closed or failed.
bool ReadAvailable(int fd, std::string& into, std::size_t limit = kReadChunk) {
  char buffer[4096];
  std::size_t got = 0;
  while (got < limit) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
      into.append(buffer, static_cast<std::size_t>(n));
      got += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    return false;
  }
  return true;
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
  const int fd = ConnectTo(ServicePath(service));
  if (fd < 0) {
    SCipc_error = (errno == ENOENT || errno == ECONNREFUSED) ? SCipc_errNoService : SCipc_errSystem;
    return nullptr;
  }
  auto* c = new SCipc_Channel;
  c->fd = fd;
  c->owner = static_cast<int>(::getpid());
  return c;
}

bool SCipc_Send(SCipc_Channel* c, std::string_view request) {
  SCipc_error = 0;
  if (c == nullptr || c->owner != ::getpid()) {
    SCipc_error = SCipc_errServerGone;
    return false;
  }
  if (request.size() > SCipc_MaxMessage()) {
    SCipc_error = SCipc_errTooLong;
    return false;
  }
  // An answer that came after its requester stopped waiting must not answer this one.
  c->input.clear();
  if (!ReadAvailable(c->fd, c->input, SIZE_MAX)) {
    SCipc_error = SCipc_errServerGone;
    return false;
  }
  c->input.clear();
  std::string frame;
  PutU32(frame, static_cast<std::uint32_t>(request.size()));
  PutU32(frame, static_cast<std::uint32_t>(::getpid()));
  frame.append(request);
  const int err = WriteAll(c->fd, frame);
  if (err == 0) return true;
  SCipc_error = (err == EPIPE || err == ECONNRESET) ? SCipc_errBrokenPipe : SCipc_errSystem;
  return false;
}

bool SCipc_Receive(SCipc_Channel* c, std::string& answer, std::size_t max, int timeoutMs) {
  SCipc_error = 0;
  if (c == nullptr || c->owner != ::getpid()) {
    SCipc_error = SCipc_errServerGone;
    return false;
  }
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    const bool open = ReadAvailable(c->fd, c->input);
    if (c->input.size() >= kAnswerHeader) {
      const std::uint32_t n = GetU32(c->input, 0);
      if (c->input.size() >= kAnswerHeader + n) {
        answer = c->input.substr(kAnswerHeader, n < max ? n : max);
        c->input.erase(0, kAnswerHeader + n);
        return true;
      }
    }
    if (!open) {
      SCipc_error = SCipc_errServerGone;
      return false;
    }
    int wait = -1;
    if (timeoutMs >= 0) {
      const auto used = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
      if (used >= timeoutMs) {
        SCipc_error = SCipc_errTimeout;
        return false;
      }
      wait = static_cast<int>(timeoutMs - used);
    }
    pollfd p{c->fd, POLLIN, 0};
    ::poll(&p, 1, wait);
  }
}

void SCipc_Close(SCipc_Channel*& c) {
  if (c == nullptr) return;
  if (c->fd >= 0) ::close(c->fd);
  delete c;
  c = nullptr;
}

SCipc_Server* SCipc_Offer(StrIn service, std::string& error) {
  SCipc_Init();
  const std::string dir = SCipc_Directory();
  if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    error = "cannot create " + dir + ": " + std::strerror(errno);
    return nullptr;
  }
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0 && st.st_uid == ::geteuid()) ::chmod(dir.c_str(), 0755);
  const std::string path = dir + "/" + service.str();
  sockaddr_un a;
  if (!Address(path, a)) {
    error = "socket path too long: " + path;
    return nullptr;
  }
  const int probe = ConnectTo(path);
  if (probe >= 0) {
    ::close(probe);
    error = "service " + service.str() + " is already offered";
    return nullptr;
  }
  ::unlink(path.c_str());
  auto* s = new SCipc_Server;
  s->path = path;
  s->listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  // The socket is made with no permissions at all and opened to the service's users
  // only after: nobody else can connect in between.
  const mode_t mask = ::umask(0777);
  const bool bound =
      s->listenFd >= 0 && ::bind(s->listenFd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
  ::umask(mask);
  if (!bound || ::chmod(path.c_str(), 0660) != 0 || ::listen(s->listenFd, 64) != 0) {
    error = "cannot offer " + path + ": " + std::strerror(errno);
    if (bound) ::unlink(path.c_str());
    if (s->listenFd >= 0) ::close(s->listenFd);
    delete s;
    return nullptr;
  }
  s->pollFd = ::epoll_create1(EPOLL_CLOEXEC);
  epoll_event e{};
  e.events = EPOLLIN;
  e.data.fd = s->listenFd;
  ::epoll_ctl(s->pollFd, EPOLL_CTL_ADD, s->listenFd, &e);
  s->spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  return s;
}

int SCipc_ServerFd(const SCipc_Server* s) { return s != nullptr ? s->pollFd : -1; }

namespace {

void EndExchange(SCipc_Server* s, std::map<int, Exchange>::iterator it) {
  ::epoll_ctl(s->pollFd, EPOLL_CTL_DEL, it->second.fd, nullptr);
  ::close(it->second.fd);
  s->ended.push_back(it->first);
  s->exchanges.erase(it);
}

void AcceptClients(SCipc_Server* s) {
  for (;;) {
    const int fd = ::accept4(s->listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if ((errno == EMFILE || errno == ENFILE) && s->spareFd >= 0) {
        // Out of descriptors: the waiting client would keep the socket readable and
        // the server busy. Take it in with the spare descriptor and turn it away.
        ::close(s->spareFd);
        const int turned = ::accept4(s->listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (turned >= 0) ::close(turned);
        s->spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        continue;
      }
      return;
    }
    ucred who{};
    socklen_t len = sizeof who;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &who, &len) != 0) {
      ::close(fd);
      continue;
    }
    const int id = s->nextId++;
    Exchange& x = s->exchanges[id];
    x.fd = fd;
    x.pid = static_cast<int>(who.pid);
    x.uid = static_cast<int>(who.uid);
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.fd = -id;  // exchanges by their id, negated: the listening socket is positive
    ::epoll_ctl(s->pollFd, EPOLL_CTL_ADD, fd, &e);
  }
}

}  // namespace

void SCipc_Serve(SCipc_Server* s, std::vector<SCipc_Request>& requests, std::vector<int>& ended) {
  if (s == nullptr) return;
  epoll_event events[64];
  const int n = ::epoll_wait(s->pollFd, events, 64, 0);
  for (int i = 0; i < n; ++i) {
    if (events[i].data.fd == s->listenFd) {
      AcceptClients(s);
      continue;
    }
    const auto it = s->exchanges.find(-events[i].data.fd);
    if (it == s->exchanges.end()) continue;
    Exchange& x = it->second;
    const bool open = ReadAvailable(x.fd, x.input);
    std::size_t at = 0;
    bool bad = false;
    while (x.input.size() - at >= kRequestHeader) {
      const std::uint32_t length = GetU32(x.input, at);
      if (length > SCipc_MaxMessage()) {
        bad = true;  // not a frame of ours: this exchange cannot be read any further
        break;
      }
      if (x.input.size() - at < kRequestHeader + length) break;
      SCipc_Request& r = requests.emplace_back();
      r.client = it->first;
      r.pid = x.pid;
      r.uid = x.uid;
      r.bytes = x.input.substr(at + kRequestHeader, length);
      at += kRequestHeader + length;
    }
    x.input.erase(0, at);
    if (bad || !open) EndExchange(s, it);
  }
  ended.insert(ended.end(), s->ended.begin(), s->ended.end());
  s->ended.clear();
}

bool SCipc_Answer(SCipc_Server* s, int client, std::string_view answer) {
  if (s == nullptr || answer.size() > SCipc_MaxMessage()) return false;
  const auto it = s->exchanges.find(client);
  if (it == s->exchanges.end()) return false;
  std::string frame;
  PutU32(frame, static_cast<std::uint32_t>(answer.size()));
  frame.append(answer);
  const ssize_t w = ::send(it->second.fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (w == static_cast<ssize_t>(frame.size())) return true;
  // A client that does not read its answers (or is gone) loses its exchange.
  EndExchange(s, it);
  return false;
}

void SCipc_Withdraw(SCipc_Server*& s) {
  if (s == nullptr) return;
  for (auto& [id, x] : s->exchanges) ::close(x.fd);
  if (s->listenFd >= 0) ::close(s->listenFd);
  if (s->pollFd >= 0) ::close(s->pollFd);
  if (s->spareFd >= 0) ::close(s->spareFd);
  ::unlink(s->path.c_str());
  delete s;
  s = nullptr;
}
