#include "ReqServer.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>

#include "Socket.hpp"
#include "UCommon.hpp"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

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

}  // namespace

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

bool ReqServer::Listen(int port, std::string& error) {
  listenFd_ = Socket_Listen(port, 64, error);
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

void ReqServer::Run() {
  while (!stop_ && stopRequested == 0) {
    std::vector<pollfd> fds;
    fds.push_back({listenFd_, POLLIN, 0});
    for (const auto& w : watched_) fds.push_back({w.first, POLLIN, 0});
    const std::size_t firstClient = fds.size();
    for (const ReqServer_Client& c : clients_) {
      fds.push_back({c.fd, static_cast<short>(POLLIN | (c.output.empty() ? 0 : POLLOUT)), 0});
    }
    int timeout = -1;
    const long long now = NowMs();
    for (const Ticker& t : tickers_) {
      const long long left = t.due > now ? t.due - now : 0;
      if (timeout < 0 || left < timeout) timeout = static_cast<int>(left);
    }
    const int ready = ::poll(fds.data(), fds.size(), timeout);
    if (ready < 0) continue;  // a signal: look at the stop flag again
    // Clients first, by position: accepting adds to the list only afterwards.
    std::size_t i = firstClient;
    for (auto it = clients_.begin(); it != clients_.end() && i < fds.size(); ++i) {
      auto current = it++;
      if (fds[i].revents & POLLOUT) Flush(*current);
      if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) ReadFrom(*current);
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
}

void ReqServer::Accept() {
  for (;;) {
    std::string peer;
    const int fd = Socket_Accept(listenFd_, &peer);
    if (fd < 0) return;
    Socket_SetNoDelay(fd);
    ReqServer_Client& c = clients_.emplace_back();
    c.id = nextId_++;
    c.fd = fd;
    c.peer = peer;
    Log("connection " + std::to_string(c.id) + " from " + peer);
  }
}

void ReqServer::ReadFrom(ReqServer_Client& c) {
  char buffer[kReadChunk];
  for (;;) {
    const long n = Socket_Read(c.fd, buffer, sizeof buffer);
    if (n == -2) break;
    if (n <= 0) {
      c.closing = true;
      break;
    }
    c.input.append(buffer, static_cast<std::size_t>(n));
    if (c.input.size() > maxMessage + 1) break;  // judged below
  }
  while (!c.input.empty()) {
    std::size_t used = 0;
    SReqObj message;
    const SReqObj_Result r = SReqObj_ReceiveMessage(c.input, nullptr, used);
    if (r == SReqObj_Result::Incomplete) {
      if (c.input.size() > maxMessage) {
        Log("connection " + std::to_string(c.id) + ": message too long, closed");
        c.closing = true;
      }
      return;
    }
    if (r == SReqObj_Result::Malformed) {
      Log("connection " + std::to_string(c.id) + ": malformed frame, closed");
      c.closing = true;
      return;
    }
    SReqObj_ReceiveMessage(c.input, &message, used);
    c.input.erase(0, used);
    Dispatch(c, message);
  }
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
