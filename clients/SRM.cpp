#include "SRM.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "DirAcces.hpp"
#include "Messages.hpp"
#include "Processe.hpp"
#include "SPrintf.hpp"
#include "SRMproto.hpp"
#include "SReqObj.hpp"
#include "UArgs.hpp"
#include "UCommon.hpp"
#include "Utility.hpp"

int SRM_error = 0;
bool SRM_connected = false;
int SRM_sequenceCounter = 0;
char SRM_localHost[128] = {};
SRM_Resource* SRM_resourceLst = nullptr;
SRM_Connection SRM_connection;

namespace {

// Longest answer read from the pipe service, and how long to wait for it.
constexpr std::size_t kMaxPipeAnswer = 1024;
constexpr int kPipeAnswerTimeoutMs = 30000;
// Tries to reach a freshly started server on the pipe service, one second apart.
constexpr int kPipeStartTries = 8;
constexpr std::int32_t kCounterModulus = 2147483646;

std::int32_t OwnPid() { return Processe_GetPID(); }

// The name the program was started under.
std::string StartName() {
  char name[1024] = {};
  if (UArgs_GetParam(0, name) && name[0] != '\0') return name;
  return UArgs_ProgramName();
}

[[noreturn]] void EndProcess(const char* what) {
  std::fprintf(stderr, "%s: %s\n", StartName().c_str(), what);
  std::fflush(stderr);
  Processe_SetExitStatus(1);
  Processe_Exit();
}

// Error 1: no connection to the resource manager.
void NoConnectionError(const std::string& info) {
  SRM_error = 1;
  Messages_SupplyAdditionalInfo(info);
  Messages_Error("SRM", 1);
}

// Error 2: a request on the pipe transport failed.
void PipeError(const std::string& info) {
  SRM_error = 2;
  Messages_SupplyAdditionalInfo(info + " (pipe error " + std::to_string(SCipc_error) + ")");
  Messages_Error("SRM", 2);
}

// ---- held-resource list ----

// The held names are indexed twice: by name, for the sorted insertion and the exact
// look-ups, and by one of their fields that has no wildcard. A held pattern is anchored
// and its colons are literal, so a name it matches carries that field between two colons
// (or at an end) as one of its own fields: a request is compared only with the held
// patterns filed under one of its fields, and with the few that have a wildcard in every
// field. Listing thousands of reserved orders stays linear instead of matching every
// request against every holding.
std::map<std::string, SRM_Resource*, std::less<>> heldByName;
std::unordered_multimap<std::string, SRM_Resource*> heldByField;
std::vector<SRM_Resource*> heldEverywhereWild;

template <typename F>
void ForEachField(std::string_view name, F&& f) {
  for (std::size_t start = 0;;) {
    const std::size_t colon = name.find(':', start);
    if (!f(name.substr(start, colon == std::string_view::npos ? colon : colon - start))) return;
    if (colon == std::string_view::npos) return;
    start = colon + 1;
  }
}

// The field a held name is filed under; empty when every field has a wildcard.
std::optional<std::string> KeyField(std::string_view name) {
  std::optional<std::string> key;
  ForEachField(name, [&key](std::string_view field) {
    if (field.find_first_of("*?") != std::string_view::npos) return true;
    key = std::string(field);
    return false;
  });
  return key;
}

bool MatchesHeld(StrIn name) {
  const std::string_view text = name.view();
  bool found = false;
  ForEachField(text, [&](std::string_view field) {
    const auto [from, to] = heldByField.equal_range(std::string(field));
    for (auto it = from; it != to && !found; ++it)
      found = SRegExpr_Match(it->second->pattern, name);
    return !found;
  });
  for (const SRM_Resource* r : heldEverywhereWild) {
    if (found) break;
    found = SRegExpr_Match(r->pattern, name);
  }
  return found;
}

SRM_Resource* FindExact(StrIn name) {
  const auto it = heldByName.find(name.view());
  return it == heldByName.end() ? nullptr : it->second;
}

void AddUse(StrIn name) {
  if (SRM_Resource* r = FindExact(name)) {
    ++r->count;
    return;
  }
  auto* entry = new SRM_Resource{};
  Strings_Assign(name, entry->name);
  entry->pattern = SRMproto_RegExpr(entry->name);
  entry->count = 1;
  const auto [it, added] = heldByName.emplace(entry->name, entry);
  (void)added;
  // The list stays ordered by name: the entry goes behind its predecessor in the index.
  SRM_Resource** at = it == heldByName.begin() ? &SRM_resourceLst : &std::prev(it)->second->next;
  entry->next = *at;
  *at = entry;
  if (std::optional<std::string> key = KeyField(entry->name)) {
    heldByField.emplace(std::move(*key), entry);
  } else {
    heldEverywhereWild.push_back(entry);
  }
}

void Unlink(SRM_Resource** at) {
  SRM_Resource* r = *at;
  *at = r->next;
  if (const auto it = heldByName.find(std::string_view(r->name)); it != heldByName.end()) {
    heldByName.erase(it);
  }
  if (std::optional<std::string> key = KeyField(r->name)) {
    const auto [from, to] = heldByField.equal_range(*key);
    for (auto it = from; it != to; ++it) {
      if (it->second == r) {
        heldByField.erase(it);
        break;
      }
    }
  } else {
    std::erase(heldEverywhereWild, r);
  }
  SRegExpr_Destroy(r->pattern);
  delete r;
}

void DropUse(StrIn name) {
  const auto it = heldByName.find(name.view());
  if (it == heldByName.end() || --it->second->count >= 1) return;
  Unlink(it == heldByName.begin() ? &SRM_resourceLst : &std::prev(it)->second->next);
}

void DropMatching(StrIn pattern) {
  SRegExpr p = SRMproto_RegExpr(pattern);
  for (SRM_Resource** at = &SRM_resourceLst; *at != nullptr;) {
    if (SRegExpr_Match(p, (*at)->name)) {
      Unlink(at);
    } else {
      at = &(*at)->next;
    }
  }
  SRegExpr_Destroy(p);
}

void ClearHeld() {
  while (SRM_resourceLst != nullptr) Unlink(&SRM_resourceLst);
}

// ---- requests ----

// The requests that share one path to the server.
enum class Kind { Reserve, Use, Release, Free, Demon, Debug };

const char* Label(Kind k) {
  switch (k) {
    case Kind::Reserve:
      return "ReserveViaSocket";
    case Kind::Use:
      return "UseRequestViaSocket";
    case Kind::Release:
      return "ReleaseRequestViaSocket";
    case Kind::Free:
      return "FreeRequestViaSocket";
    case Kind::Demon:
      return "VMDemonRequestViaSocket";
    case Kind::Debug:
      return "DumpRequestViaSocket";
  }
  return "";
}

char Letter(Kind k) {
  switch (k) {
    case Kind::Reserve:
      return SRMproto_letterReserve;
    case Kind::Use:
      return SRMproto_letterUse;
    case Kind::Release:
      return SRMproto_letterRelease;
    case Kind::Free:
      return SRMproto_letterFree;
    case Kind::Demon:
      return SRMproto_letterDemon;
    case Kind::Debug:
      return SRMproto_letterDebug;
  }
  return '?';
}

// Socket diagnostics of a failed exchange, one line each on standard error.
void ErrorOnSocketRequest(const char* label, const SReqObj& params) {
  const std::string text = SClient_ErrorText(SRM_connection.client);
  if (!text.empty()) std::fprintf(stderr, "%s\n", text.c_str());
  std::fprintf(stderr, "params were : %s\n", SReqObj_ToText(params).c_str());
  std::fprintf(stderr, "called by => %s\n", label);
  char message[1024] = {};
  Messages_GetMsg("SRM", 3, message);
  std::fprintf(stderr, "%s\n", StrIn(message).str().c_str());
  std::fflush(stderr);
}

bool SendViaSocket(std::string_view request, const SReqObj& params, SReqObj* result,
                   const char* label) {
  const bool ok = SClient_SendRequest(SRM_connection.client, request, 1, params, result);
  SRM_connected = SClient_IsConnected(SRM_connection.client);
  if (!ok) ErrorOnSocketRequest(label, params);
  return ok;
}

bool SendViaPipe(const std::string& request, std::string* answer) {
  if (!SCipc_Send(SRM_connection.pipe, request)) return false;
  if (answer == nullptr) return true;
  return SCipc_Receive(SRM_connection.pipe, *answer, kMaxPipeAnswer, kPipeAnswerTimeoutMs);
}

bool ServerWentAway() {
  return SCipc_error == SCipc_errServerGone || SCipc_error == SCipc_errBrokenPipe;
}

// pid names the process the request is for (0: this one).
void Request(Kind kind, StrIn name, StrIn host, bool trap, std::int32_t pid = 0) {
  const std::int32_t forPid = pid > 0 ? pid : OwnPid();
  SRM_error = 0;
  if (!SRM_connected && !SRM_Connect()) return;
  if (SRM_connection.useSocket) {
    const auto str = [](StrIn s) { return SReqObj::String(s.view()); };
    SReqObj params;
    std::string_view request;
    switch (kind) {
      case Kind::Reserve:
        EndProcess("Protocol error. Reserve called via RequestViaSocket()");
      case Kind::Use:
        request = SRMproto_use;
        params = SReqObj::Array(
            {str(host), SReqObj::Integer(OwnPid()), SReqObj::Boolean(trap), str(name)});
        break;
      case Kind::Release:
      case Kind::Free:
        request = kind == Kind::Release ? SRMproto_release : SRMproto_free;
        params = SReqObj::Array({str(host), SReqObj::Integer(forPid), str(name)});
        break;
      case Kind::Demon:
        request = SRMproto_vmDemon;
        params = SReqObj::Array({str(host)});
        break;
      case Kind::Debug:
        if (name.view() == "+" || name.view() == "-") {
          request = SRMproto_debug;
          params = SReqObj::Array({SReqObj::Boolean(name.view() == "+")});
        } else {
          request = SRMproto_dump;
          params = SReqObj::Array({str(name)});
        }
        break;
    }
    SendViaSocket(request, params, nullptr, Label(kind));
    return;
  }
  const std::string bytes = SRMproto_BuildRequest(Letter(kind), trap, forPid, host, name);
  if (SendViaPipe(bytes, nullptr)) return;
  if (ServerWentAway()) {
    SRM_connected = false;
    if (SRM_Connect() && SendViaPipe(bytes, nullptr)) return;
  }
  PipeError("::Request: the request to DUrazaze failed");
}

bool ReserveViaSocket(StrIn name, bool trap, SRM_Holder* holder) {
  const SReqObj params =
      SReqObj::Array({SReqObj::String(StrIn(SRM_localHost).view()), SReqObj::Integer(OwnPid()),
                      SReqObj::Boolean(trap), SReqObj::String(name.view())});
  SReqObj result;
  if (!SendViaSocket(SRMproto_reserve, params, &result, Label(Kind::Reserve))) return false;
  if (result.at(0).AsBoolean()) return true;
  const SReqObj& who = result.at(1);
  if (holder != nullptr && who.IsArray() && who.at(0).IsString() && who.at(1).IsInteger()) {
    Strings_Assign(who.at(0).AsString(), holder->host);
    holder->pid = who.at(1).AsInteger();
  }
  return false;
}

enum class PipeOutcome { Granted, Refused, Failed, Repeat };

PipeOutcome ReserveViaPipe(StrIn name, bool trap, SRM_Holder* holder) {
  std::string request =
      SRMproto_BuildRequest(SRMproto_letterReserve, trap, OwnPid(), SRM_localHost, name);
  if (holder != nullptr) SRMproto_MarkVerbose(request);
  std::string answer;
  if (!SendViaPipe(request, &answer)) {
    if (ServerWentAway()) {
      SRM_connected = false;
      if (SRM_Connect()) return PipeOutcome::Repeat;
    }
    return PipeOutcome::Failed;
  }
  if (answer.compare(0, 2, SRMproto_grantAnswer) == 0) return PipeOutcome::Granted;
  if (holder != nullptr && !SRMproto_ParseRefusal(answer, holder->host, holder->pid)) {
    SRM_InitProcess(*holder);
  }
  return PipeOutcome::Refused;
}

bool ReserveImpl(StrIn name, bool trap, SRM_Holder* holder) {
  SRM_Init();
  SRM_error = 0;
  if (holder != nullptr) SRM_InitProcess(*holder);
  if (MatchesHeld(name)) {
    // Already held by this process: the server only learns of the further use.
    Request(Kind::Use, name, SRM_localHost, true);
    AddUse(name);
    return true;
  }
  if (!SRM_connected && !SRM_Connect()) {
    NoConnectionError("::Reserve: no connection to DUrazaze for " + name.str());
    return false;
  }
  bool granted = false;
  if (SRM_connection.useSocket) {
    granted = ReserveViaSocket(name, trap, holder);
  } else {
    switch (ReserveViaPipe(name, trap, holder)) {
      case PipeOutcome::Granted:
        granted = true;
        break;
      case PipeOutcome::Refused:
        break;
      case PipeOutcome::Repeat:
        return SRM_Reserve(name, trap);
      case PipeOutcome::Failed:
        PipeError("::Reserve: the request to DUrazaze failed");
        return false;
    }
  }
  if (granted && trap) AddUse(name);
  return granted;
}

bool ConnectPipe() {
  SCipc_Close(SRM_connection.pipe);
  SRM_connection.pipe = SCipc_Connect(SRMproto_service);
  if (SRM_connection.pipe == nullptr && SCipc_error == SCipc_errNoService) {
    SCipc_error = 0;
    SRM_BanRemoteRequests();
    const std::string command = std::string(SRMproto_serverName) + " </dev/null &";
    if (!Processe_System(command)) {
      for (int i = 0; i < kPipeStartTries && SRM_connection.pipe == nullptr; ++i) {
        if (i > 0) Utility_Delay(1000);
        SRM_connection.pipe = SCipc_Connect(SRMproto_service);
      }
    }
  }
  return SRM_connection.pipe != nullptr;
}

bool ConnectSocket() {
  if (!SRM_connection.protocol) SRM_connection.protocol = SRMproto_CreateProtocol();
  if (SRM_connection.client != nullptr) {
    SClient_SetYield(SRM_connection.client, SRM_connection.yield);
    SClient_Reconnect(SRM_connection.client);
  } else {
    const char* employer = std::getenv("VERAR_EMPLOYER");
    SRM_connection.client =
        SClient_Connect(StrIn::FromC(employer != nullptr ? employer : ""), SRM_connectTimeout,
                        nullptr, SRM_connection.protocol.get(), SRM_connection.yield);
  }
  return SClient_IsConnected(SRM_connection.client);
}

}  // namespace

void SRM_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "SRM");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  SPrintf_Init();
  Messages_Init();
  Processe_Init();
  Utility_Init();
  DirAcces_Init();
  UArgs_Init();
  SRegExpr_Init();
  SReqObj_Init();
  SProtocol_Init();
  SClient_Init();
  SCipc_Init();
  SRMproto_Init();
  SRM_Reset();
}

void SRM_Reset() {
  SRM_error = 0;
  SRM_connected = false;
  ClearHeld();
  SRM_sequenceCounter = 0;
  DirAcces_GetMachineName(SRM_localHost);
  SClient_CloseConn(SRM_connection.client);
  SCipc_Close(SRM_connection.pipe);
  SRM_connection.protocol.reset();
  SRM_connection.useSocket = true;
}

void SRM_InitProcess(SRM_Holder& holder) {
  holder.host[0] = '\0';
  holder.pid = -1;
}

void SRM_SetYieldProcedure(SClient_YieldProc yield) {
  SRM_connection.yield = yield != nullptr ? yield : SClient_NoopYield;
  SClient_SetYield(SRM_connection.client, SRM_connection.yield);
}

void SRM_BanRemoteRequests() {
  const char* employer = std::getenv("VERAR_EMPLOYER");
  if (employer == nullptr || *employer == '\0') return;
  if (StrIn(SRM_localHost).view() == employer) return;
  EndProcess("Cannot connect to remote DUrazaze");
}

bool SRM_Connect() {
  SRM_Init();
  SRM_BanRemoteRequests();
  SRM_connection.useSocket = SRMproto_UseSocketService();
  SRM_connected = SRM_connection.useSocket ? ConnectSocket() : ConnectPipe();
  return SRM_connected;
}

bool SRM_Reserve(StrIn name, bool trapPrematureDeath) {
  return ReserveImpl(name, trapPrematureDeath, nullptr);
}

bool SRM_ReserveVerbose(StrIn name, bool trapPrematureDeath, SRM_Holder& holder) {
  return ReserveImpl(name, trapPrematureDeath, &holder);
}

void SRM_Use(StrIn name, StrIn host, bool trapPrematureDeath) {
  SRM_Init();
  Request(Kind::Use, name, host, trapPrematureDeath);
  if (trapPrematureDeath) AddUse(name);
}

void SRM_Release(StrIn name) {
  SRM_Init();
  DropUse(name);
  Request(Kind::Release, name, SRM_localHost, false);
}

void SRM_ReleaseOnHost(StrIn name, StrIn host) {
  SRM_Init();
  Request(Kind::Release, name, host, false);
}

void SRM_ReleaseHeldBy(StrIn name, StrIn host, std::int32_t pid) {
  SRM_Init();
  Request(Kind::Release, name, host, false, pid);
}

void SRM_Free(StrIn pattern) {
  SRM_Init();
  DropMatching(pattern);
  Request(Kind::Free, pattern, SRM_localHost, false);
}

bool SRM_QueryInUse(StrIn name) {
  SRM_Init();
  if (MatchesHeld(name)) return true;
  if (!SRM_Reserve(name, true)) return true;
  SRM_Release(name);
  return false;
}

void SRM_ReadResource(StrOut name) {
  SRM_Init();
  char suffix[512] = ":%05d-%d-%8s";
  SPrintf_Int(suffix, OwnPid());
  SPrintf_Int(suffix, SRM_sequenceCounter);
  SPrintf_String(suffix, SRM_localHost);
  Strings_Concat(name, suffix, name);
  SRM_sequenceCounter = (SRM_sequenceCounter + 1) % kCounterModulus;
}

void SRM_UpdateResource(StrOut name) {
  SRM_Init();
  Strings_Concat(name, ":*", name);
}

bool SRM_HandOver(const std::vector<std::string>& names, StrIn host, std::int32_t holderPid,
                  std::string& error) {
  SRM_Init();
  SRM_error = 0;
  if (names.empty()) return true;
  if (!SRM_connected && !SRM_Connect()) {
    error = "no connection to DUrazaze";
    return false;
  }
  if (SRM_connection.useSocket) {
    SClient_Connection* rm = SRM_connection.client;
    for (const std::string& name : names) {
      const SReqObj params =
          SReqObj::Array({SReqObj::String(host.view()), SReqObj::Integer(holderPid),
                          SReqObj::Boolean(false), SReqObj::String(name)});
      if (!SClient_SendRequest(rm, SRMproto_use, 1, params, nullptr)) {
        error = SClient_ErrorText(rm);
        SRM_connected = SClient_IsConnected(rm);
        return false;
      }
    }
    SReqObj result;
    const bool ok = SClient_SendRequest(rm, SProtocol_testService, 1, SReqObj::Array(), &result);
    if (!ok) error = SClient_ErrorText(rm);
    SRM_connected = SClient_IsConnected(rm);
    return ok;
  }
  for (const std::string& name : names) {
    std::string bytes =
        SRMproto_BuildRequest(SRMproto_letterUse, false, OwnPid(), host, StrIn(name));
    SRMproto_AddHolder(bytes, holderPid);
    if (SendViaPipe(bytes, nullptr)) continue;
    if (ServerWentAway()) {
      SRM_connected = false;
      if (SRM_Connect() && SendViaPipe(bytes, nullptr)) continue;
    }
    error = "the pipe request to DUrazaze failed (pipe error " + std::to_string(SCipc_error) + ")";
    return false;
  }
  return true;
}

void SRM_VMDemonStartup() {
  SRM_Init();
  Request(Kind::Demon, "", SRM_localHost, false);
}

void SRM_StartDebugLog() { SRM_DumpResourceDatabase("+"); }

void SRM_StopDebugLog() { SRM_DumpResourceDatabase("-"); }

void SRM_DumpResourceDatabase(StrIn fileName) {
  SRM_Init();
  Request(Kind::Debug, fileName, SRM_localHost, false);
}

int SRM_UseCount(StrIn name) {
  const SRM_Resource* r = FindExact(name);
  return r != nullptr ? r->count : 0;
}
