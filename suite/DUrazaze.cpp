// DUrazaze: the suite's resource manager. Grants, shares and reclaims reservations for
// the processes of the suite, over sockets (protocol "DUrazaze", port from
// VM_DURAZAZE_PORT) and over the local pipe service "RM2.2.6".
//
// Started by the first client that cannot reach it ("DUrazaze </dev/null &"), it
// detaches from the caller's terminal and output and serves until it is terminated.
// When the port is already served by another DUrazaze it ends at once with status 1.
//
//   DUrazaze [-f]     -f: stay in the foreground and keep standard error
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "Daemon.hpp"
#include "DirAcces.hpp"
#include "Processe.hpp"
#include "ReqServer.hpp"
#include "RsvDb.hpp"
#include "SCipc.hpp"
#include "SClient.hpp"
#include "SRMproto.hpp"
#include "Socket.hpp"
#include "UArgs.hpp"

extern char** environ;

namespace {

// How often the processes holding trapPrematureDeath reservations are looked at.
constexpr int kReclaimIntervalMs = 1000;

// Whether a process of this machine still runs; a zombie counts as dead.
bool ProcessAlive(std::int32_t pid) {
  if (pid <= 0) return false;
  if (!Processe_IsAlive(pid)) return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (std::getline(stat, line)) {
    const std::size_t close = line.rfind(')');
    if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z') {
      return false;
    }
  }
  return true;
}

class ResourceManager {
 public:
  explicit ResourceManager(const SProtocol& protocol) : server_(protocol) {
    char machine[128] = {};
    DirAcces_GetMachineName(machine);
    machine_ = StrIn(machine).str();
    logPath_ = Daemon_DatDir() + "/DUrazaze.log";
  }

  bool Start(int port, std::string& error) {
    if (!server_.Listen(port, error)) return false;
    std::string pipeError;
    pipe_ = SCipc_Offer(SRMproto_service, pipeError);
    if (pipe_ == nullptr) server_.Log("pipe service not offered: " + pipeError);
    Register();
    return true;
  }

  void Run() {
    server_.Run();
    SCipc_Withdraw(pipe_);
    SetDebug(false);
  }

  int port() const { return server_.port(); }

 private:
  bool IsLocal(const std::string& host) { return host == machine_ || Socket_IsLocalHost(host); }

  void SetDebug(bool on) {
    if (on && server_.log() == nullptr) {
      std::FILE* f = std::fopen(logPath_.c_str(), "a");
      server_.SetLog(f);
      server_.Log("debug log started");
    } else if (!on && server_.log() != nullptr) {
      server_.Log("debug log stopped");
      std::fclose(server_.log());
      server_.SetLog(nullptr);
    }
  }

  void DumpTo(const std::string& file) {
    std::string error;
    if (!db_.Dump(file, error)) server_.Log("DUMP: " + error);
  }

  void Register() {
    server_.OnRequest(SRMproto_reserve, 1, [this](ReqServer_Call& call) {
      const SReqObj& p = call.params;
      RsvDb_Holder holder;
      const bool granted = db_.Reserve(p.at(0).AsString(), p.at(1).AsInteger(), p.at(2).AsBoolean(),
                                       p.at(3).AsString(), call.client.id, &holder);
      call.result.push_back(SReqObj::Boolean(granted));
      if (!granted) {
        call.result.push_back(
            SReqObj::Array({SReqObj::String(holder.host), SReqObj::Integer(holder.pid)}));
      }
    });
    server_.OnRequest(SRMproto_use, 1, [this](ReqServer_Call& call) {
      const SReqObj& p = call.params;
      db_.Use(p.at(0).AsString(), p.at(1).AsInteger(), p.at(2).AsBoolean(), p.at(3).AsString(),
              call.client.id);
    });
    server_.OnRequest(SRMproto_release, 1, [this](ReqServer_Call& call) {
      const SReqObj& p = call.params;
      db_.Release(p.at(0).AsString(), p.at(1).AsInteger(), p.at(2).AsString());
    });
    server_.OnRequest(SRMproto_free, 1, [this](ReqServer_Call& call) {
      const SReqObj& p = call.params;
      db_.Free(p.at(0).AsString(), p.at(1).AsInteger(), p.at(2).AsString());
    });
    server_.OnRequest(SRMproto_vmDemon, 1,
                      [this](ReqServer_Call& call) { db_.DropHost(call.params.at(0).AsString()); });
    server_.OnRequest(SRMproto_debug, 1,
                      [this](ReqServer_Call& call) { SetDebug(call.params.at(0).AsBoolean()); });
    server_.OnRequest(SProtocol_debugService, 1,
                      [this](ReqServer_Call& call) { SetDebug(call.params.at(0).AsBoolean()); });
    server_.OnRequest(SRMproto_dump, 1,
                      [this](ReqServer_Call& call) { DumpTo(call.params.at(0).AsString()); });
    server_.OnDisconnect([this](const ReqServer_Client& c) {
      const int n = db_.DropConnection(c.id);
      if (n > 0)
        server_.Log("reclaimed " + std::to_string(n) + " of connection " + std::to_string(c.id));
    });
    if (pipe_ != nullptr) {
      server_.Watch(SCipc_ServerFd(pipe_), [this] { ServePipe(); });
    }
    server_.Every(kReclaimIntervalMs, [this] { ReclaimDead(); });
  }

  // Requests of the pipe service. The process id that counts is the one the pipe
  // transport carries: the request's own field may be cut to 16 bits.
  void ServePipe() {
    int pid = 0;
    std::string bytes;
    while (SCipc_NextRequest(pipe_, pid, bytes)) {
      char letter = 0;
      bool trap = false;
      char host[SRMproto_hostField] = {};
      int shortPid = 0;
      char name[4096] = {};
      if (!SRMproto_SplitRequest(bytes, letter, trap, host, shortPid, name)) {
        server_.Log("pipe: malformed request from " + std::to_string(pid));
        if (!bytes.empty() && bytes[0] == SRMproto_letterReserve) {
          SCipc_Answer(pipe_, pid, SRMproto_RefusalAnswer("", -1));
        }
        continue;
      }
      const std::string h = StrIn(host).str();
      const std::string n = StrIn(name).str();
      server_.Log("pipe " + std::to_string(pid) + ": " + letter + " " + h + " " + n +
                  (trap ? " trapPrematureDeath" : ""));
      switch (letter) {
        case SRMproto_letterReserve: {
          RsvDb_Holder holder;
          if (db_.Reserve(h, pid, trap, n, -1, &holder)) {
            SCipc_Answer(pipe_, pid, SRMproto_grantAnswer);
          } else {
            SCipc_Answer(pipe_, pid, SRMproto_RefusalAnswer(holder.host, holder.pid));
          }
          break;
        }
        case SRMproto_letterUse:
          db_.Use(h, pid, trap, n, -1);
          break;
        case SRMproto_letterRelease:
          db_.Release(h, pid, n);
          break;
        case SRMproto_letterFree:
          db_.Free(h, pid, n);
          break;
        case SRMproto_letterDemon:
          db_.DropHost(h);
          break;
        case SRMproto_letterDebug:
          if (n == "+" || n == "-") {
            SetDebug(n == "+");
          } else {
            DumpTo(n);
          }
          break;
        default:
          server_.Log("pipe: unknown request letter");
          break;
      }
    }
  }

  void ReclaimDead() {
    for (const std::string& host : LocalHosts()) {
      for (const std::int32_t pid : db_.TrappedProcesses(host)) {
        if (ProcessAlive(pid)) continue;
        const int n = db_.DropProcess(host, pid);
        SCipc_ForgetClient(pipe_, pid);
        server_.Log("reclaimed " + std::to_string(n) + " of dead process " + std::to_string(pid));
      }
    }
  }

  std::vector<std::string> LocalHosts() {
    std::vector<std::string> hosts;
    for (const RsvDb_Holding& h : db_.holdings()) {
      if (!h.trapPrematureDeath) continue;
      if (std::find(hosts.begin(), hosts.end(), h.host) != hosts.end()) continue;
      if (IsLocal(h.host)) hosts.push_back(h.host);
    }
    return hosts;
  }

  ReqServer server_;
  RsvDb db_;
  SCipc_Server* pipe_ = nullptr;
  std::string machine_;
  std::string logPath_;
};

}  // namespace

int main(int argc, char** argv) {
  M2C_INIT(argc, argv, environ);
  const bool foreground = argc > 1 && std::strcmp(argv[1], "-f") == 0;
  if (!foreground) Daemon_Detach();
  DirAcces_Init();
  SRMproto_Init();
  SCipc_Init();
  RsvDb_Init();
  ReqServer_Init();
  Daemon_Init();
  Daemon_TakeSignals();

  const auto protocol = SRMproto_CreateProtocol();
  ResourceManager manager(*protocol);
  std::string error;
  if (!manager.Start(SClient_ServerPort(*protocol), error)) {
    std::fprintf(stderr, "DUrazaze: %s\n", error.c_str());
    return 1;
  }
  Daemon_ServeWithPidFile("DUrazaze", manager.port(), [&] { manager.Run(); });
  Processe_SetExitStatus(0);
  Processe_Exit();
}
