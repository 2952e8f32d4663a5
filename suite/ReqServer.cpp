#include "ReqServer.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "Socket.hpp"
#include "UCommon.hpp"

namespace {

volatile std::sig_atomic_t stopRequested = 0;
std::string lastFailure;

// A client that does not read its replies is dropped once this much is waiting.
constexpr std::size_t kMaxPendingOutput = std::size_t{8} << 20;
constexpr std::size_t kReadChunk = 65536;

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string Clip(std::string text, std::size_t n = 200) {
  if (text.size() > n) {
    text.resize(n);
    text += "...";
  }
  return text;
}

// An address and port as the kernel's socket tables show them: the raw 32-bit words
// of the address in hexadecimal, then the port.
std::string TableAddress(const sockaddr_storage& a, bool& v4) {
  char text[64] = {};
  if (a.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(a);
    std::snprintf(text, sizeof text, "%08X:%04X", in.sin_addr.s_addr, ntohs(in.sin_port));
    v4 = true;
  } else if (a.ss_family == AF_INET6) {
    const auto& in = reinterpret_cast<const sockaddr_in6&>(a);
    std::uint32_t w[4];
    std::memcpy(w, &in.sin6_addr, sizeof w);
    std::snprintf(text, sizeof text, "%08X%08X%08X%08X:%04X", w[0], w[1], w[2], w[3],
                  ntohs(in.sin6_port));
    v4 = false;
  }
  return text;
}

// The owner of the socket whose local end is local and remote end remote in a table
// of /proc/net.
int FindSocketOwner(const char* table, const std::string& local, const std::string& remote) {
  std::ifstream in(table);
  std::string line;
  std::getline(in, line);  // the column titles
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, l, r, state, queues, timer, retransmits;
    int uid = -1;
    if (fields >> slot >> l >> r >> state >> queues >> timer >> retransmits >> uid && l == local &&
        r == remote) {
      return uid;
    }
  }
  return -1;
}

}  // namespace

const std::string& ReqServer_Failure() { return lastFailure; }

int ReqServer_PeerUid(int fd) {
  // The client's socket is the one whose local end is our peer and whose remote end
  // is our own address: it is in the table only when the client runs on this machine.
  sockaddr_storage self{}, peer{};
  socklen_t selfLen = sizeof self, peerLen = sizeof peer;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&self), &selfLen) != 0 ||
      ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0) {
    return -1;
  }
  bool v4 = false;
  const std::string remote = TableAddress(self, v4);
  const std::string local = TableAddress(peer, v4);
  return FindSocketOwner(v4 ? "/proc/net/tcp" : "/proc/net/tcp6", local, remote);
}

void ReqServer_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "ReqServer");
  if (!init) return;
  UCommon_Init();
  SReqObj_Init();
  SProtocol_Init();
  Socket_Init();
}

ReqServer::ReqServer(const SProtocol& protocol) : protocol_(protocol) { ReqServer_Init(); }

ReqServer::~ReqServer() {
  for (ReqServer_Client& c : clients_) Socket_Close(c.fd);
  Socket_Close(listenFd_);
}

bool ReqServer::Listen(int port, std::string& error, bool loopbackOnly) {
  listenFd_ = Socket_Listen(port, 64, error, loopbackOnly);
  if (listenFd_ < 0) return false;
  port_ = Socket_LocalPort(listenFd_);
  return true;
}

void ReqServer::OnRequest(std::string_view name, int version, Handler handler) {
  handlers_[{std::string(name), version}] = std::move(handler);
}

void ReqServer::OnDisconnect(std::function<void(const ReqServer_Client&)> handler) {
  onDisconnect_ = std::move(handler);
}

void ReqServer::Watch(int fd, std::function<void()> onReadable) {
  watched_.emplace_back(fd, std::move(onReadable));
}

void ReqServer::Every(int ms, std::function<void()> tick) {
  tickers_.push_back({ms, std::move(tick), NowMs() + ms});
}

void ReqServer::RequestStop() { stopRequested = 1; }

void ReqServer::Log(const std::string& line) {
  if (log_ == nullptr) return;
  const std::time_t now = std::time(nullptr);
  char stamp[32] = {};
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
  std::fprintf(log_, "%s %s\n", stamp, line.c_str());
  std::fflush(log_);
}

bool ReqServer::Run() {
  while (!stop_ && stopRequested == 0) {
    std::vector<pollfd> fds;
    const long long now = NowMs();
    // While no descriptor is left for a new connection the listening socket is not
    // looked at (a negative descriptor is skipped by poll).
    const bool accepting = now >= acceptPausedUntil_;
    fds.push_back({accepting ? listenFd_ : -1, POLLIN, 0});
    for (const auto& w : watched_) fds.push_back({w.first, POLLIN, 0});
    const std::size_t firstClient = fds.size();
    for (const ReqServer_Client& c : clients_) {
      const short events =
          static_cast<short>((c.inputEnded ? 0 : POLLIN) | (c.output.empty() ? 0 : POLLOUT));
      fds.push_back({c.fd, events, 0});
    }
    int timeout = accepting ? -1 : static_cast<int>(acceptPausedUntil_ - now);
    for (const Ticker& t : tickers_) {
      const long long left = t.due > now ? t.due - now : 0;
      if (timeout < 0 || left < timeout) timeout = static_cast<int>(left);
    }
    const int ready = ::poll(fds.data(), fds.size(), timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;  // a signal: look at the stop flag again
      failure_ = std::string("waiting for requests failed: ") + std::strerror(errno);
      Log(failure_);
      lastFailure = failure_;
      return false;
    }
    // Clients first, by position: accepting adds to the list only afterwards.
    std::size_t i = firstClient;
    for (auto it = clients_.begin(); it != clients_.end() && i < fds.size(); ++i) {
      auto current = it++;
      if (fds[i].revents & POLLOUT) Flush(*current);
      if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) ReadFrom(*current);
      // A client that has said all it will say goes once it has every reply.
      if (current->inputEnded && current->output.empty()) current->closing = true;
      if (current->closing) Drop(current);
    }
    for (std::size_t w = 0; w < watched_.size(); ++w) {
      if (fds[1 + w].revents & (POLLIN | POLLHUP)) watched_[w].second();
    }
    if (fds[0].revents & POLLIN) Accept();
    const long long after = NowMs();
    for (Ticker& t : tickers_) {
      if (t.due <= after) {
        t.due = after + t.ms;
        t.tick();
      }
    }
  }
  return true;
}

void ReqServer::Accept() {
  for (;;) {
    std::string peer;
    const int fd = Socket_Accept(listenFd_, &peer);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // The connection stays in the backlog; trying again at once would only spin.
        Log(std::string("cannot accept: ") + std::strerror(errno));
        acceptPausedUntil_ = NowMs() + acceptPauseMs;
      }
      return;
    }
    Socket_SetNoDelay(fd);
    ReqServer_Client& c = clients_.emplace_back();
    c.id = nextId_++;
    c.fd = fd;
    c.peer = peer;
    c.uid = ReqServer_PeerUid(fd);
    Log("connection " + std::to_string(c.id) + " from " + peer +
        (c.uid >= 0 ? " user " + std::to_string(c.uid) : std::string()));
  }
}

void ReqServer::ReadFrom(ReqServer_Client& c) {
  char buffer[kReadChunk];
  for (;;) {
    const long n = Socket_Read(c.fd, buffer, sizeof buffer);
    if (n == -2) break;
    if (n == 0) {
      // The client has finished sending; what it sent is still answered.
      c.inputEnded = true;
      break;
    }
    if (n < 0) {
      c.closing = true;
      break;
    }
    c.input.append(buffer, static_cast<std::size_t>(n));
    if (c.input.size() - c.consumed > maxMessage + 1) break;  // judged below
  }
  // Handled messages are cut off once per read, not after each message: a stream of
  // many small requests costs time in proportion to its length.
  while (c.consumed < c.input.size() && !c.closing) {
    const std::string_view rest = std::string_view(c.input).substr(c.consumed);
    std::size_t used = 0;
    SReqObj message;
    const SReqObj_Result r = SReqObj_ReceiveMessage(rest, nullptr, used);
    if (r == SReqObj_Result::Incomplete) {
      if (rest.size() > maxMessage) {
        Log("connection " + std::to_string(c.id) + ": message too long, closed");
        c.closing = true;
      } else if (c.inputEnded) {
        Log("connection " + std::to_string(c.id) + ": ended inside a message");
        c.consumed = c.input.size();
      }
      break;
    }
    if (r == SReqObj_Result::Malformed) {
      Log("connection " + std::to_string(c.id) + ": malformed frame, closed");
      c.closing = true;
      break;
    }
    SReqObj_ReceiveMessage(rest, &message, used);
    c.consumed += used;
    Dispatch(c, message);
  }
  c.input.erase(0, c.consumed);
  c.consumed = 0;
}

void ReqServer::Dispatch(ReqServer_Client& c, const SReqObj& message) {
  SProtocol_Message m;
  if (!SProtocol_SplitMessage(message, m)) {
    Log("connection " + std::to_string(c.id) + ": not a request: " + Clip(SReqObj_ToText(message)));
    Reply(c, SProtocol_ErrorReply(ReqServer_badParameters, "Malformed request"));
    return;
  }
  const SProtocol_Request* request = SProtocol_FindRequest(protocol_, m.name, m.version);
  if (request == nullptr) {
    Log("connection " + std::to_string(c.id) + ": unknown request " + Clip(m.name));
    if (!m.noReply) {
      Reply(c, SProtocol_ErrorReply(
                   ReqServer_unknownRequest,
                   "Unknown request " + Clip(m.name) + " version " + std::to_string(m.version)));
    }
    return;
  }
  const std::string problem = SProtocol_CheckParameters(*request, m.params);
  if (!problem.empty()) {
    Log("connection " + std::to_string(c.id) + ": " + m.name + ": " + problem);
    if (!m.noReply) Reply(c, SProtocol_ErrorReply(ReqServer_badParameters, problem));
    return;
  }
  ReqServer_Call call{c, *request, m.params, m.noReply, {}, 0, {}};
  const auto h = handlers_.find({m.name, m.version});
  if (h != handlers_.end()) {
    h->second(call);
  } else {
    HandleStandard(call);
  }
  if (log_ != nullptr) {
    Log("connection " + std::to_string(c.id) + " (" + c.host + " " + std::to_string(c.pid) +
        "): " + m.name + " " + Clip(SReqObj_ToText(m.params)) + " -> " +
        (call.status == 0 ? Clip(SReqObj_ToText(SReqObj::Array(call.result)))
                          : "error " + std::to_string(call.status) + " " + call.errorText));
  }
  if (m.noReply) return;
  Reply(c, call.status == 0 ? SProtocol_SuccessReply(std::move(call.result))
                            : SProtocol_ErrorReply(call.status, call.errorText));
}

void ReqServer::HandleStandard(ReqServer_Call& call) {
  ReqServer_Client& c = call.client;
  const std::string& name = call.request.name;
  if (name == SProtocol_clientId) {
    c.host = call.params.at(0).AsString();
    c.binaryName = call.params.at(1).AsString();
    c.pid = call.params.at(2).AsInteger();
    c.connNo = call.params.at(3).AsInteger();
    c.clientType = call.params.at(4).AsInteger();
  } else if (name == SProtocol_setEventMask) {
    c.eventMask = call.params.at(0).AsInteger();
  } else if (name == SProtocol_supportedVersions) {
    SReqObj versions = SReqObj::Array();
    for (const int v : SProtocol_Versions(protocol_, call.params.at(0).AsString())) {
      versions.Append(SReqObj::Integer(v));
    }
    call.result.push_back(std::move(versions));
  } else if (name == SProtocol_currentClients) {
    SReqObj list = SReqObj::Array();
    for (const ReqServer_Client& other : clients_) {
      list.Append(SReqObj::Array({SReqObj::String(other.host), SReqObj::String(other.binaryName),
                                  SReqObj::Integer(other.pid), SReqObj::Integer(other.connNo),
                                  SReqObj::Integer(other.clientType)}));
    }
    call.result.push_back(std::move(list));
  } else if (name == SProtocol_testService || name == SProtocol_debugService) {
    // Answered with success: the server is there.
  } else {
    call.Fail(ReqServer_failed, "Request " + name + " is not served here");
  }
}

void ReqServer::Send(ReqServer_Client& c, const SReqObj& object) { Reply(c, object); }

void ReqServer::Reply(ReqServer_Client& c, const SReqObj& reply) {
  if (c.closing) return;
  if (!SReqObj_Send(reply, c.output)) {
    SReqObj_Send(SProtocol_ErrorReply(ReqServer_failed, "Reply too large"), c.output);
  }
  c.output.push_back(SReqObj_messageEnd);
  Flush(c);
  if (c.output.size() > kMaxPendingOutput) c.closing = true;
}

void ReqServer::Flush(ReqServer_Client& c) {
  while (!c.output.empty()) {
    const ssize_t w = ::send(c.fd, c.output.data(), c.output.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w > 0) {
      c.output.erase(0, static_cast<std::size_t>(w));
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    c.closing = true;
    return;
  }
}

void ReqServer::Drop(std::list<ReqServer_Client>::iterator it) {
  Log("connection " + std::to_string(it->id) + " closed");
  if (onDisconnect_) onDisconnect_(*it);
  Socket_Close(it->fd);
  clients_.erase(it);
}
