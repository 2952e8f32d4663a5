// vqueue: looks at the job server's queue and the resource manager's reservations.
//
//   vqueue list                    one line per job: ID, status, description
//   vqueue show ID                 the job's fields, one per line, its latest progress
//                                  (a running job) and its output
//   vqueue cancel ID...            cancels waiting or running jobs
//   vqueue remove [ID...]          forgets jobs that are over (all of them without IDs)
//   vqueue restart ID...           puts failed or canceled jobs back into the queue
//   vqueue stop | start            stops or starts the queue
//   vqueue status                  queue status, waiting and running jobs
//   vqueue reservations            the resource manager's reservations
//   vqueue shutdown                ends the job server and the resource manager of this
//                                  machine (the clients start them again when needed)
//   vqueue --help                  this usage
//
// A server that does not answer is started, and vqueue says so. Exit status 0 on
// success, 1 when the server cannot be reached or refuses, 2 for a wrong command line.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CCclient.hpp"
#include "CCprotocol.hpp"
#include "DirAcces.hpp"
#include "Messages.hpp"
#include "Processe.hpp"
#include "SRM.hpp"
#include "SRMproto.hpp"
#include "Socket.hpp"
#include "UArgs.hpp"
#include "VErarBase.hpp"

extern char** environ;

namespace {

constexpr int kTimeoutMs = 4000;

// Ends through the orderly exit, which also removes the program's run file.
[[noreturn]] void Exit(int status) {
  std::fflush(stdout);
  Processe_SetExitStatus(status);
  Processe_Exit();
}

constexpr char kUsage[] =
    "usage: vqueue list | show ID | cancel ID... | remove [ID...] | restart ID... |\n"
    "              stop | start | status | reservations | shutdown\n";

// After a wrong command line.
[[noreturn]] void Usage() {
  std::fputs(kUsage, stderr);
  Exit(2);
}

// One of the servers vqueue talks to: what to call it and how to find it on this machine.
struct Server {
  const char* what;
  std::string name;
  int port;
};

Server JobServer() {
  return {"the job server", CCclient_Protocol().serverName,
          SClient_ServerPort(CCclient_Protocol())};
}

Server ResourceManager() {
  static const std::unique_ptr<SProtocol> protocol = SRMproto_CreateProtocol();
  return {"the resource manager", protocol->serverName, SClient_ServerPort(*protocol)};
}

bool Answers(const Server& server) {
  std::string error;
  int fd = Socket_Connect("", server.port, 0, error);
  if (fd < 0) return false;
  Socket_Close(fd);
  return true;
}

// Runs a request that may start server; says so when it did.
template <class F>
int Started(const Server& server, F request) {
  const bool before = Answers(server);
  const int status = request();
  if (!before && Answers(server)) {
    std::fprintf(stderr, "vqueue: started %s (%s, port %d); 'vqueue shutdown' ends it\n",
                 server.what, server.name.c_str(), server.port);
  }
  return status;
}

SClient_Connection* connection = nullptr;

bool Request(std::string_view name, const SReqObj& params, SReqObj& result) {
  if (connection == nullptr) connection = CCclient_Connect("", kTimeoutMs, SClient_NoopYield);
  if (SClient_SendRequest(connection, name, 1, params, &result)) return true;
  std::fprintf(stderr, "vqueue: %s failed: %s\n", std::string(name).c_str(),
               SClient_ErrorText(connection).c_str());
  return false;
}

SReqObj Ids(const std::vector<std::string>& ids) {
  SReqObj array = SReqObj::Array();
  for (const std::string& id : ids) array.Append(SReqObj::String(id));
  return array;
}

int List() {
  SReqObj result;
  if (!Request(CCprotocol_getJobInfos, SReqObj::Array({SReqObj::String("")}), result)) return 1;
  if (result.size() == 0) std::fprintf(stderr, "vqueue: the queue is empty\n");
  for (const SReqObj& e : result.elements()) {
    VErarBase_Job job;
    std::string error;
    if (!VErarBase_Parse(e.AsString(), job, error)) continue;
    std::printf("%s\t%s\t%s\n", job.id.c_str(), VErarBase_StatusName(job.status),
                job.description.c_str());
  }
  return 0;
}

int Show(const std::string& id) {
  SReqObj result;
  if (!Request(CCprotocol_getJobInfos, SReqObj::Array({SReqObj::String(id)}), result)) return 1;
  if (result.size() != 1) {
    std::fprintf(stderr, "vqueue: no job %s\n", id.c_str());
    return 1;
  }
  VErarBase_Job job;
  std::string error;
  VErarBase_Parse(result.at(0).AsString(), job, error);
  // One field per line: the job string split at its unescaped blanks.
  std::string text = result.at(0).AsString(), piece;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      piece += text[++i];
    } else if (text[i] == ' ') {
      std::printf("%s\n", piece.c_str());
      piece.clear();
    } else {
      piece += text[i];
    }
  }
  if (!piece.empty()) std::printf("%s\n", piece.c_str());
  // How far a job got: the last line its steps wrote to the progress file.
  std::ifstream progressFile(job.progressFileName);
  std::string line, progress;
  while (std::getline(progressFile, line)) {
    if (!line.empty()) progress = line;
  }
  if (!progress.empty()) std::printf("--- progress\n%s\n", progress.c_str());
  std::ifstream output(job.errorFileName);
  if (output) {
    std::printf("--- output\n");
    std::printf("%s", std::string(std::istreambuf_iterator<char>(output), {}).c_str());
  }
  return 0;
}

int Command(CCprotocol_JobCommand command, const std::vector<std::string>& ids) {
  SReqObj result;
  const SReqObj params = SReqObj::Array(
      {SReqObj::Integer(static_cast<int>(command)), SReqObj::Boolean(false), Ids(ids)});
  if (!Request(CCprotocol_jobCommand, params, result)) return 1;
  // The server answers with the number of jobs the command applied to.
  const int done = result.at(0).AsInteger();
  const char* verb = command == CCprotocol_JobCommand::Cancel    ? "canceled"
                     : command == CCprotocol_JobCommand::Restart ? "restarted"
                                                                 : "removed";
  const char* which = command == CCprotocol_JobCommand::Cancel ? " (only waiting or running jobs)"
                      : command == CCprotocol_JobCommand::Restart
                          ? " (only failed or canceled jobs)"
                          : " (only jobs that are over)";
  if (done == 0) {
    std::printf("no job %s%s\n", verb, which);
  } else {
    std::printf("%d job%s %s\n", done, done == 1 ? "" : "s", verb);
  }
  return 0;
}

int QueueStatus() {
  SReqObj result;
  if (!Request(CCprotocol_getQueueStatus, SReqObj::Array(), result)) return 1;
  std::printf("%s\twaiting %d\trunning %d\n", result.at(0).AsString().c_str(),
              result.at(1).AsInteger(), result.at(2).AsInteger());
  return 0;
}

int SetQueue(CCprotocol_QueueStatus status) {
  SReqObj result;
  return Request(CCprotocol_setQueueStatus,
                 SReqObj::Array({SReqObj::Integer(static_cast<int>(status))}), result)
             ? 0
             : 1;
}

int Reservations() {
  char tmp[1024] = {};
  if (!DirAcces_EnvVar("TMP", tmp)) std::strcpy(tmp, "/tmp");
  const std::string file = StrIn(tmp).str() + "/vqueue-reservations." + std::to_string(::getpid());
  {
    const Messages_Ignoring quiet;
    SRM_DumpResourceDatabase(file);
  }
  if (!SRM_connected) {
    std::fprintf(stderr, "vqueue: the resource manager cannot be reached\n");
    return 1;
  }
  // The dump is written by the server on its own time.
  for (int i = 0; i < 100 && ::access(file.c_str(), F_OK) != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::ifstream in(file);
  if (!in) {
    std::fprintf(stderr, "vqueue: no answer from the resource manager\n");
    return 1;
  }
  std::printf("%s", std::string(std::istreambuf_iterator<char>(in), {}).c_str());
  std::remove(file.c_str());
  return 0;
}

// The pid a server of this machine wrote into its pid file, when that process still runs
// that server; 0 otherwise.
pid_t RunningPid(const Server& server) {
  char dat[1024] = {};
  DirAcces_GetSpecialPath(DirAcces_datPath, dat);
  const std::string pidFile =
      StrIn(dat).str() + "/" + server.name + "-" + std::to_string(server.port) + ".pid";
  pid_t pid = 0;
  if (std::ifstream in(pidFile); !(in >> pid) || pid <= 0) return 0;
  // A pid file left behind by a killed server may name another process by now.
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string command;
  if (!std::getline(comm, command) || command != server.name.substr(0, 15)) return 0;
  return pid;
}

// Ends each server with its termination signal and waits until it is gone.
int Shutdown() {
  int status = 0;
  for (const Server& server : {JobServer(), ResourceManager()}) {
    const pid_t pid = RunningPid(server);
    if (pid == 0) {
      std::printf("%s (%s, port %d) is not running\n", server.what, server.name.c_str(),
                  server.port);
      continue;
    }
    ::kill(pid, SIGTERM);
    bool gone = false;
    for (int i = 0; i < 250 && !gone; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      gone = ::kill(pid, 0) != 0 && errno == ESRCH;
    }
    if (gone) {
      std::printf("stopped %s (%s, port %d, process %d)\n", server.what, server.name.c_str(),
                  server.port, static_cast<int>(pid));
    } else {
      std::fprintf(stderr, "vqueue: %s (process %d) did not end\n", server.what,
                   static_cast<int>(pid));
      status = 1;
    }
  }
  return status;
}

int Run(const std::string& verb, const std::vector<std::string>& ids) {
  const Server jobs = JobServer();
  if (verb == "list" && ids.empty()) return Started(jobs, List);
  if (verb == "show" && ids.size() == 1) return Started(jobs, [&] { return Show(ids[0]); });
  auto command = [&](CCprotocol_JobCommand c) {
    return Started(jobs, [&] { return Command(c, ids); });
  };
  if (verb == "cancel" && !ids.empty()) return command(CCprotocol_JobCommand::Cancel);
  if (verb == "remove") return command(CCprotocol_JobCommand::Remove);
  if (verb == "restart" && !ids.empty()) return command(CCprotocol_JobCommand::Restart);
  if (verb == "stop" && ids.empty()) {
    return Started(jobs, [] { return SetQueue(CCprotocol_QueueStatus::Stopped); });
  }
  if (verb == "start" && ids.empty()) {
    return Started(jobs, [] { return SetQueue(CCprotocol_QueueStatus::Running); });
  }
  if (verb == "status" && ids.empty()) return Started(jobs, QueueStatus);
  if (verb == "reservations" && ids.empty()) return Started(ResourceManager(), Reservations);
  if (verb == "shutdown" && ids.empty()) return Shutdown();
  Usage();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;  // before any initialisation: no run file to remove
  }
  M2C_INIT(argc, argv, environ);
  Messages_Init();
  DirAcces_Init();
  Processe_Init();
  CCclient_Init();
  SRM_Init();
  if (argc < 2) Usage();
  Exit(Run(argv[1], std::vector<std::string>(argv + 2, argv + argc)));
}
