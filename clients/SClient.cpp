#include "SClient.hpp"

#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "DirAcces.hpp"
#include "Processe.hpp"
#include "Socket.hpp"
#include "UArgs.hpp"
#include "UCommon.hpp"
#include "Utility.hpp"

struct SClient_Connection {
  std::string host;  // as given; empty for this machine
  int port = 0;
  const SProtocol* protocol = nullptr;
  SClient_Listener listener = nullptr;
  SClient_YieldProc yield = nullptr;
  int timeoutMs = 0;
  int fd = -1;
  int connNo = -1;
  int error = 0;
  std::string errorText;
  bool eventMaskSet = false;
  std::int32_t eventMask = 0;
  std::string input;  // bytes received and not used yet
};

std::int32_t SClient_clientType = 0;

namespace {

int nextConnectionNumber = 0;

constexpr int kRetryMs = 300;
constexpr int kSliceMs = 100;
constexpr std::size_t kMaxErrorText = 255;

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

void SetError(SClient_Connection* c, int number, std::string text) {
  c->error = number;
  if (text.size() > kMaxErrorText) text.resize(kMaxErrorText);
  c->errorText = std::move(text);
}

// Protocol misuse is a programming error of the caller: it is written to standard error
// so that it shows up, and recorded in the connection.
void DumpProtocolError(SClient_Connection* c, const std::string& what, StrIn request) {
  std::fprintf(stderr, "%s: SClient: %s (request %s)\n", UArgs_ProgramName(), what.c_str(),
               request.str().c_str());
  SetError(c, SClient_errBadRequest, what);
}

std::string ServerName(const SClient_Connection* c) {
  return c->protocol != nullptr ? c->protocol->serverName : std::string("server");
}

std::string HostText(const SClient_Connection* c) {
  if (!c->host.empty()) return c->host;
  char machine[128] = {};
  DirAcces_GetMachineName(machine);
  return machine;
}

bool IsLocal(const SClient_Connection* c) {
  if (c->host.empty() || Socket_IsLocalHost(c->host)) return true;
  char machine[128] = {};
  DirAcces_GetMachineName(machine);
  return c->host == StrIn(machine).view();
}

void Disconnect(SClient_Connection* c) {
  Socket_Close(c->fd);
  c->input.clear();
}

void StartServer(const SClient_Connection* c) {
  const std::string command = ServerName(c) + " </dev/null &";
  Processe_System(command);
}

// The bytes of a message; false (error 105) when it cannot be encoded, which says
// nothing about the connection.
bool Encode(SClient_Connection* c, const SReqObj& message, std::string& wire) {
  wire.clear();
  if (!SReqObj_Send(message, wire)) {
    SetError(c, SClient_errBadRequest, "request object too large");
    return false;
  }
  wire.push_back(SReqObj_messageEnd);
  return true;
}

// False (error 107, connection closed) when sending failed.
bool WriteWire(SClient_Connection* c, const std::string& wire) {
  if (!Socket_WriteAll(c->fd, wire.data(), wire.size())) {
    SetError(c, SClient_errSend, "sending to " + ServerName(c) + " failed");
    Disconnect(c);
    return false;
  }
  return true;
}

bool WriteMessage(SClient_Connection* c, const SReqObj& message) {
  std::string wire;
  return Encode(c, message, wire) && WriteWire(c, wire);
}

// The announcement every fresh connection makes.
bool Announce(SClient_Connection* c) {
  char machine[128] = {};
  DirAcces_GetMachineName(machine);
  const SProtocol_Request* id = SProtocol_FindRequest(*c->protocol, SProtocol_clientId, 1);
  SReqObj params =
      SReqObj::Array({SReqObj::String(StrIn(machine).view()), SReqObj::String(UArgs_ProgramName()),
                      SReqObj::Integer(Processe_GetPID()), SReqObj::Integer(c->connNo),
                      SReqObj::Integer(SClient_clientType)});
  if (id == nullptr || !WriteMessage(c, SProtocol_BuildMessage(*id, params))) return false;
  if (c->eventMaskSet) {
    const SProtocol_Request* mask = SProtocol_FindRequest(*c->protocol, SProtocol_setEventMask, 1);
    if (mask == nullptr ||
        !WriteMessage(
            c, SProtocol_BuildMessage(*mask, SReqObj::Array({SReqObj::Integer(c->eventMask)})))) {
      return false;
    }
  }
  return true;
}

// Reads what has arrived without waiting. False when the connection is gone.
bool ReadAvailable(SClient_Connection* c) {
  char buffer[16384];
  for (;;) {
    const long n = Socket_Read(c->fd, buffer, sizeof buffer);
    if (n > 0) {
      c->input.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    return n == -2;
  }
}

enum class Take { Object, More, Broken };

// Takes one message out of the input. A broken stream sets the connection's error.
Take TakeMessage(SClient_Connection* c, SReqObj& out) {
  std::size_t n = 0;
  const SReqObj_Result r = SReqObj_Receive(c->input, &out, n);
  if (r == SReqObj_Result::Incomplete) return Take::More;
  if (r == SReqObj_Result::Malformed) {
    SetError(c, SClient_errNoStatus, "malformed reply from " + ServerName(c));
    return Take::Broken;
  }
  if (n >= c->input.size()) return Take::More;
  if (c->input[n] != SReqObj_messageEnd) {
    SetError(c, SClient_errNoLineEnd, "reply from " + ServerName(c) + " not ended by a line feed");
    return Take::Broken;
  }
  c->input.erase(0, n + 1);
  return Take::Object;
}

bool WaitForReply(SClient_Connection* c, SReqObj& reply) {
  const Clock::time_point start = Clock::now();
  for (;;) {
    switch (TakeMessage(c, reply)) {
      case Take::Object:
        return true;
      case Take::Broken:
        Disconnect(c);
        return false;
      case Take::More:
        break;
    }
    int slice = kSliceMs;
    if (c->timeoutMs >= 0) {
      const long left = c->timeoutMs - ElapsedMs(start);
      if (left <= 0) {
        // A late reply would be taken for the answer to the next request.
        SetError(c, SClient_errTimeout, "time-out waiting for a reply from " + ServerName(c));
        Disconnect(c);
        return false;
      }
      if (left < slice) slice = static_cast<int>(left);
    }
    // A termination signal that came meanwhile ends the process from here.
    Processe_CheckTermination();
    if (Socket_WaitReadable(c->fd, slice) == Socket_Wait::Ready) {
      if (!ReadAvailable(c)) {
        // What arrived before the end may still hold the reply.
        if (TakeMessage(c, reply) == Take::Object) return true;
        SetError(c, SClient_errNoServer, ServerName(c) + " closed the connection");
        Disconnect(c);
        return false;
      }
    } else if (c->yield != nullptr) {
      c->yield();
    }
  }
}

bool Exchange(SClient_Connection* c, const SProtocol_Request& request, const SReqObj& message,
              SReqObj* result) {
  // A request that cannot be encoded is not sent, and the connection stays as it is.
  std::string wire;
  if (!Encode(c, message, wire)) return false;
  // Anything still waiting on the connection is stale; an end of file means the
  // server went away, so the request goes to a fresh connection.
  if (c->fd >= 0 && !ReadAvailable(c)) Disconnect(c);
  c->input.clear();
  if (c->fd < 0 && !SClient_Reconnect(c)) return false;
  if (!WriteWire(c, wire)) {
    // The server may have closed an idle connection: one more try on a fresh one.
    if (!SClient_Reconnect(c) || !WriteWire(c, wire)) return false;
  }
  if (request.NoReply()) return true;
  SReqObj reply;
  if (!WaitForReply(c, reply)) return false;
  if (!reply.IsArray() || reply.size() < 1 || !reply.at(0).IsInteger()) {
    SetError(c, SClient_errNoStatus, "reply from " + ServerName(c) + " without status");
    return false;
  }
  const std::int32_t status = reply.at(0).AsInteger();
  if (status != 0) {
    const SReqObj& why = reply.at(1);
    SetError(c, status, why.IsString() ? why.AsString() : SReqObj_ToText(why));
    return false;
  }
  if (result != nullptr) {
    const SReqObj::Elements& e = reply.elements();
    *result = SReqObj::Array(SReqObj::Elements(e.begin() + 1, e.end()));
  }
  return true;
}

}  // namespace

void SClient_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "SClient");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  Processe_Init();
  Utility_Init();
  DirAcces_Init();
  UArgs_Init();
  SReqObj_Init();
  SProtocol_Init();
  Socket_Init();
}

void SClient_NoopYield() {}

int SClient_ServerPort(const SProtocol& protocol) {
  std::string var = "VM_";
  for (const char ch : protocol.serverName) {
    var += static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  }
  var += "_PORT";
  const char* value = std::getenv(var.c_str());
  if (value != nullptr && *value != '\0') {
    char* end = nullptr;
    const long port = std::strtol(value, &end, 10);
    if (end != value) return static_cast<int>(port);
  }
  return protocol.port;
}

SClient_Connection* SClient_Connect(StrIn host, int timeoutMs, SClient_Listener listener,
                                    const SProtocol* protocol, SClient_YieldProc yield) {
  SClient_Init();
  if (protocol == nullptr) return nullptr;
  auto* c = new SClient_Connection;
  c->host = host.str();
  c->protocol = protocol;
  c->listener = listener;
  c->yield = yield;
  c->timeoutMs = timeoutMs;
  c->port = SClient_ServerPort(*protocol);
  SClient_Reconnect(c);
  return c;
}

bool SClient_Reconnect(SClient_Connection* c) {
  if (c == nullptr) return false;
  Disconnect(c);
  c->error = 0;
  c->errorText.clear();
  const Clock::time_point start = Clock::now();
  const bool local = IsLocal(c);
  std::string reason;
  for (int attempt = 0;; ++attempt) {
    // This machine is reached through the loopback interface, whatever its name.
    c->fd = Socket_Connect(local ? "" : c->host, c->port, c->protocol->bufferSize, reason);
    if (c->fd >= 0) break;
    if (attempt == 0 && local) StartServer(c);
    long wait = kRetryMs;
    if (c->timeoutMs >= 0) {
      const long left = c->timeoutMs - ElapsedMs(start);
      if (left <= 0) {
        SetError(c, SClient_errNoServer,
                 ServerName(c) + " on " + HostText(c) + ":" + std::to_string(c->port) +
                     " cannot be reached (" + reason + ")");
        return false;
      }
      if (left < wait) wait = left;
    }
    Utility_Delay(static_cast<std::uint32_t>(wait));
    Processe_CheckTermination();
    if (c->yield != nullptr) c->yield();
  }
  Socket_SetNoDelay(c->fd);
  c->connNo = nextConnectionNumber++;
  if (!Announce(c)) {
    SetError(c, SClient_errNoServer, ServerName(c) + " closed the connection");
    return false;
  }
  return true;
}

bool SClient_IsConnected(const SClient_Connection* c) { return c != nullptr && c->fd >= 0; }

void SClient_CloseConn(SClient_Connection*& c) {
  if (c == nullptr) return;
  Disconnect(c);
  delete c;
  c = nullptr;
}

bool SClient_SendRequest(SClient_Connection* c, StrIn name, int version, const SReqObj& params,
                         SReqObj* result) {
  if (c == nullptr) return false;
  const SProtocol_Request* request = SProtocol_FindRequest(*c->protocol, name.view(), version);
  if (request == nullptr) {
    DumpProtocolError(c, "Unknown request", name);
    return false;
  }
  return SClient_SendKnownRequest(c, *request, params, result);
}

bool SClient_SendKnownRequest(SClient_Connection* c, const SProtocol_Request& request,
                              const SReqObj& params, SReqObj* result) {
  if (c == nullptr) return false;
  c->error = 0;
  c->errorText.clear();
  const bool single = !params.IsArray() && request.params.size() == 1;
  const SReqObj list = single ? SReqObj::Array({params}) : params;
  const std::string problem = SProtocol_CheckParameters(request, list);
  if (!problem.empty()) {
    DumpProtocolError(c, problem, request.name);
    return false;
  }
  if (c->listener != nullptr && !request.NoReply()) {
    SetError(c, SClient_errListener,
             "a listener connection cannot send a request with a result (" + request.name + ")");
    return false;
  }
  return Exchange(c, request, SProtocol_BuildMessage(request, list), result);
}

int SClient_GetError(const SClient_Connection* c, StrOut text) {
  if (c == nullptr) {
    Strings_Assign("", text);
    return 0;
  }
  Strings_Assign(c->errorText, text);
  return c->error;
}

std::string SClient_ErrorText(const SClient_Connection* c) {
  return c != nullptr ? c->errorText : std::string();
}

void SClient_SetYield(SClient_Connection* c, SClient_YieldProc yield) {
  if (c != nullptr) c->yield = yield;
}

void SClient_SetTimeout(SClient_Connection* c, int timeoutMs) {
  if (c != nullptr) c->timeoutMs = timeoutMs;
}

void SClient_SetEventMask(SClient_Connection* c, std::int32_t mask) {
  if (c == nullptr) return;
  c->eventMaskSet = true;
  c->eventMask = mask;
  if (c->fd >= 0)
    SClient_SendRequest(c, SProtocol_setEventMask, 1, SReqObj::Integer(mask), nullptr);
}

bool SClient_ProcessEvents(SClient_Connection* c, int ms) {
  if (c == nullptr || c->fd < 0) return false;
  bool alive = true;
  if (Socket_WaitReadable(c->fd, ms) == Socket_Wait::Ready) alive = ReadAvailable(c);
  SReqObj event;
  for (;;) {
    const Take t = TakeMessage(c, event);
    if (t == Take::More) break;
    if (t == Take::Broken) {
      alive = false;
      break;
    }
    if (c->listener != nullptr) c->listener(c, event);
  }
  if (!alive) Disconnect(c);
  return alive;
}

int SClient_ConnectionNumber(const SClient_Connection* c) { return c != nullptr ? c->connNo : -1; }

int SClient_Port(const SClient_Connection* c) { return c != nullptr ? c->port : 0; }
