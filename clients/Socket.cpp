#include "Socket.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "UCommon.hpp"

void Socket_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "Socket");
  if (!init) return;
  UCommon_Init();
}

std::string Socket_NodeName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

namespace {

bool IsLoopback(const sockaddr* a) {
  if (a->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(a);
    return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
  }
  if (a->sa_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(a);
    return IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr);
  }
  return false;
}

std::string ErrnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Connects one address, waiting until the connection is made or refused.
int ConnectAddress(const sockaddr* addr, socklen_t len, int bufferSize, std::string& error) {
  const int fd = ::socket(addr->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = ErrnoText("socket");
    return -1;
  }
  if (bufferSize > 0) {
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
  }
  int rc;
  do {
    rc = ::connect(fd, addr, len);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    error = ErrnoText("connect");
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

bool Socket_IsLocalHost(std::string_view host) {
  if (host.empty() || host == "localhost" || host == Socket_NodeName()) return true;
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const std::string h(host);
  if (::getaddrinfo(h.c_str(), nullptr, &hints, &list) != 0) return false;
  bool local = false;
  for (addrinfo* a = list; a != nullptr && !local; a = a->ai_next) local = IsLoopback(a->ai_addr);
  ::freeaddrinfo(list);
  return local;
}

int Socket_Connect(std::string_view host, int port, int bufferSize, std::string& error) {
  if (port <= 0 || port > 65535) {
    error = "bad port " + std::to_string(port);
    return -1;
  }
  if (Socket_IsLocalHost(host)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ConnectAddress(reinterpret_cast<const sockaddr*>(&a), sizeof a, bufferSize, error);
  }
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const std::string h(host);
  const std::string service = std::to_string(port);
  const int rc = ::getaddrinfo(h.c_str(), service.c_str(), &hints, &list);
  if (rc != 0) {
    error = "unknown host " + h + ": " + ::gai_strerror(rc);
    return -1;
  }
  int fd = -1;
  for (addrinfo* a = list; a != nullptr && fd < 0; a = a->ai_next) {
    fd = ConnectAddress(a->ai_addr, a->ai_addrlen, bufferSize, error);
  }
  ::freeaddrinfo(list);
  return fd;
}

int Socket_Listen(int port, int backlog, std::string& error, bool loopbackOnly) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = ErrnoText("socket");
    return -1;
  }
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(loopbackOnly ? INADDR_LOOPBACK : INADDR_ANY);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    error = ErrnoText("bind");
    ::close(fd);
    return -1;
  }
  if (::listen(fd, backlog) != 0) {
    error = ErrnoText("listen");
    ::close(fd);
    return -1;
  }
  Socket_SetNonBlocking(fd, true);
  return fd;
}

int Socket_LocalPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return -1;
  return ntohs(a.sin_port);
}

int Socket_Accept(int listenFd, std::string* peer) {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  const int fd =
      ::accept4(listenFd, reinterpret_cast<sockaddr*>(&a), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd >= 0 && peer != nullptr) {
    char text[INET6_ADDRSTRLEN] = {};
    if (a.ss_family == AF_INET) {
      ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&a)->sin_addr, text, sizeof text);
    } else if (a.ss_family == AF_INET6) {
      ::inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&a)->sin6_addr, text, sizeof text);
    }
    *peer = text;
  }
  return fd;
}

bool Socket_SetNoDelay(int fd) {
  const int one = 1;
  return ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
}

bool Socket_SetNonBlocking(int fd, bool on) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  return ::fcntl(fd, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0;
}

bool Socket_WriteAll(int fd, const char* data, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::send(fd, data, n, MSG_NOSIGNAL);
    if (w > 0) {
      data += w;
      n -= static_cast<std::size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, -1) < 0 && errno != EINTR) return false;
      continue;
    }
    return false;
  }
  return true;
}

Socket_Wait Socket_WaitReadable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  const int rc = ::poll(&p, 1, ms < 0 ? -1 : ms);
  if (rc > 0) return Socket_Wait::Ready;  // input, end of file or error: the read tells
  if (rc == 0 || errno == EINTR) return Socket_Wait::Timeout;
  return Socket_Wait::Error;
}

long Socket_Read(int fd, char* buffer, std::size_t n) {
  for (;;) {
    const ssize_t r = ::recv(fd, buffer, n, MSG_DONTWAIT);
    if (r >= 0) return static_cast<long>(r);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return -2;
    return -1;
  }
}

void Socket_Close(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}
