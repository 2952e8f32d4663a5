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
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
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

// Who sends a request, as the server can verify it: the local user of the process at
// the other end, or else the remote address. The superuser and the server's own user
// act for everybody (the job server frees what its jobs held).
RsvDb_Requester Requester(int uid, const std::string& peer, int connection) {
  RsvDb_Requester who;
  who.owner = uid >= 0 ? "uid " + std::to_string(uid) : "peer " + peer;
  who.privileged = uid == 0 || (uid >= 0 && static_cast<uid_t>(uid) == ::geteuid());
  who.connection = connection;
  return who;
}

// Exchanges of the pipe service as connections of the database, apart from the socket
// connections (positive) and from none (-1).
int PipeConnection(int client) { return -2 - client; }

// Writes a dump as the user who asked for it, so that a request can never make the
// server write where that user may not.
bool DumpAs(const RsvDb& db, int uid, const std::string& file, std::string& error) {
  if (uid < 0) {
    error = "a dump is written for local users only";
    return false;
  }
  if (static_cast<uid_t>(uid) == ::geteuid()) return db.Dump(file, error);
  if (::geteuid() != 0) {
    error = "a dump for another user cannot be written";
    return false;
  }
  const pid_t child = ::fork();
  if (child == 0) {
    const passwd* pw = ::getpwuid(static_cast<uid_t>(uid));
    const gid_t gid = pw != nullptr ? pw->pw_gid : static_cast<gid_t>(uid);
    std::string e;
    const bool ok = ::setgroups(0, nullptr) == 0 && ::setgid(gid) == 0 &&
                    ::setuid(static_cast<uid_t>(uid)) == 0 && db.Dump(file, e);
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    error = "cannot write " + file + " as user " + std::to_string(uid);
    return false;
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
    // What must outlive the server comes back before the first request is served.
    const std::string journal =
        Daemon_DatDir() + "/DUrazaze-" + std::to_string(server_.port()) + ".journal";
    if (!db_.OpenJournal(journal, error)) return false;
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

  // A refused request: into the debug log and onto standard error (seen in the
  // foreground); a client that waits for a reply gets the text as its error.
  void Complain(const std::string& text, ReqServer_Call* call = nullptr) {
    server_.Log(text);
    std::fprintf(stderr, "DUrazaze: %s\n", text.c_str());
    if (call != nullptr) call->Fail(ReqServer_failed, text);
  }

  void CheckJournal() {
    const std::string e = db_.TakeJournalError();
    if (!e.empty()) Complain("journal: " + e);
  }

  RsvDb_Requester Of(const ReqServer_Client& c) { return Requester(c.uid, c.peer, c.id); }

  void Register() {
    server_.OnRequest(SRMproto_reserve, 1, [this](ReqServer_Call& call) {
      const SReqObj& p = call.params;
      RsvDb_Holder holder;
      const std::string& name = p.at(3).AsString();
      const RsvDb_Outcome o = db_.Reserve(p.at(0).AsString(), p.at(1).AsInteger(),
                                          p.at(2).AsBoolean(), name, Of(call.client), &holder);
      CheckJournal();
      if (o == RsvDb_Outcome::nameTooLong) return Complain(RsvDb_Explain(o, name), &call);
      call.result.push_back(SReqObj::Boolean(o == RsvDb_Outcome::done));
      if (o != RsvDb_Outcome::done) {
        call.result.push_back(
            SReqObj::Array({SReqObj::String(holder.host), SReqObj::Integer(holder.pid)}));
      }
    });
    server_.OnRequest(SRMproto_use, 1, [this](ReqServer_Call& call) {
      const SReqObj& p = call.params;
      const std::string& name = p.at(3).AsString();
      const RsvDb_Outcome o = db_.Use(p.at(0).AsString(), p.at(1).AsInteger(), p.at(2).AsBoolean(),
                                      name, Of(call.client));
      CheckJournal();
      if (o != RsvDb_Outcome::done) Complain("USE: " + RsvDb_Explain(o, name), &call);
    });
    server_.OnRequest(SRMproto_release, 1, [this](ReqServer_Call& call) {
      const SReqObj& p = call.params;
      const std::string& name = p.at(2).AsString();
      const RsvDb_Outcome o =
          db_.Release(p.at(0).AsString(), p.at(1).AsInteger(), name, Of(call.client));
      CheckJournal();
      if (o == RsvDb_Outcome::notYours) Complain("RELEASE: " + RsvDb_Explain(o, name), &call);
    });
    server_.OnRequest(SRMproto_free, 1, [this](ReqServer_Call& call) {
      const SReqObj& p = call.params;
      Free(p.at(0).AsString(), p.at(1).AsInteger(), p.at(2).AsString(), Of(call.client), &call);
    });
    server_.OnRequest(SRMproto_vmDemon, 1, [this](ReqServer_Call& call) {
      db_.DropHost(call.params.at(0).AsString(), Of(call.client));
    });
    server_.OnRequest(SRMproto_debug, 1,
                      [this](ReqServer_Call& call) { SetDebug(call.params.at(0).AsBoolean()); });
    server_.OnRequest(SProtocol_debugService, 1,
                      [this](ReqServer_Call& call) { SetDebug(call.params.at(0).AsBoolean()); });
    server_.OnRequest(SRMproto_dump, 1, [this](ReqServer_Call& call) {
      DumpTo(call.params.at(0).AsString(), call.client.uid, &call);
    });
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

  void Free(const std::string& host, std::int32_t pid, const std::string& pattern,
            const RsvDb_Requester& who, ReqServer_Call* call) {
    int refused = 0;
    if (pattern.size() > RsvDb_maxName) {
      return Complain("FREE: " + RsvDb_Explain(RsvDb_Outcome::nameTooLong, pattern), call);
    }
    db_.Free(host, pid, pattern, who, &refused);
    CheckJournal();
    if (refused > 0) {
      Complain("FREE: " + std::to_string(refused) + " of the reservations matching " +
                   pattern.substr(0, 200) + " are held by another user: not freed",
               call);
    }
  }

  void DumpTo(const std::string& file, int uid, ReqServer_Call* call) {
    std::string error;
    if (!DumpAs(db_, uid, file, error)) Complain("DUMP: " + error, call);
  }

  // Requests of the pipe service. The process that counts is the one the kernel
  // reports for the exchange (the request's own field holds only 16 bits); a use,
  // release or free may act for a job's holder instead.
  void ServePipe() {
    std::vector<SCipc_Request> requests;
    std::vector<int> ended;
    SCipc_Serve(pipe_, requests, ended);
    for (const SCipc_Request& r : requests) ServePipeRequest(r);
    for (const int client : ended) {
      const int n = db_.DropConnection(PipeConnection(client));
      if (n > 0)
        server_.Log("reclaimed " + std::to_string(n) + " of pipe client " + std::to_string(client));
    }
    CheckJournal();
  }

  void ServePipeRequest(const SCipc_Request& r) {
    char letter = 0;
    bool trap = false;
    char host[SRMproto_hostField] = {};
    int shortPid = 0;
    char name[4096] = {};
    if (!SRMproto_SplitRequest(r.bytes, letter, trap, host, shortPid, name)) {
      server_.Log("pipe: malformed request from " + std::to_string(r.pid));
      if (!r.bytes.empty() && r.bytes[0] == SRMproto_letterReserve) {
        SCipc_Answer(pipe_, r.client, SRMproto_RefusalAnswer("", -1));
      }
      return;
    }
    const std::string h = StrIn(host).str();
    const std::string n = StrIn(name).str();
    const std::int32_t holder = SRMproto_Holder(r.bytes);
    const std::int32_t pid = holder != 0 ? holder : r.pid;
    const RsvDb_Requester who = Requester(r.uid, "", PipeConnection(r.client));
    server_.Log("pipe " + std::to_string(r.pid) + ": " + letter + " " + h + " " + n +
                (trap ? " trapPrematureDeath" : ""));
    switch (letter) {
      case SRMproto_letterReserve: {
        RsvDb_Holder other;
        const RsvDb_Outcome o = db_.Reserve(h, r.pid, trap, n, who, &other);
        if (o == RsvDb_Outcome::done) {
          SCipc_Answer(pipe_, r.client, SRMproto_grantAnswer);
        } else {
          if (o == RsvDb_Outcome::nameTooLong) Complain(RsvDb_Explain(o, n));
          SCipc_Answer(pipe_, r.client, SRMproto_RefusalAnswer(other.host, other.pid));
        }
        break;
      }
      case SRMproto_letterUse: {
        const RsvDb_Outcome o = db_.Use(h, pid, trap, n, who);
        if (o != RsvDb_Outcome::done) Complain("USE: " + RsvDb_Explain(o, n));
        break;
      }
      case SRMproto_letterRelease: {
        const RsvDb_Outcome o = db_.Release(h, pid, n, who);
        if (o == RsvDb_Outcome::notYours) Complain("RELEASE: " + RsvDb_Explain(o, n));
        break;
      }
      case SRMproto_letterFree:
        Free(h, pid, n, who, nullptr);
        break;
      case SRMproto_letterDemon:
        db_.DropHost(h, who);
        break;
      case SRMproto_letterDebug:
        if (n == "+" || n == "-") {
          SetDebug(n == "+");
        } else {
          DumpTo(n, r.uid, nullptr);
        }
        break;
      default:
        server_.Log("pipe: unknown request letter");
        break;
    }
  }

  void ReclaimDead() {
    for (const std::string& host : db_.TrappedHosts()) {
      if (!IsLocal(host)) continue;
      for (const std::int32_t pid : db_.TrappedProcesses(host)) {
        if (ProcessAlive(pid)) continue;
        const int n = db_.DropProcess(host, pid);
        server_.Log("reclaimed " + std::to_string(n) + " of dead process " + std::to_string(pid));
      }
    }
    CheckJournal();
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
