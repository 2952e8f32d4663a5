// vqueue: looks at the job server's queue and the resource manager's reservations.
//
//   vqueue list                    one line per job: ID, status, description
//   vqueue show ID                 the job's fields, one per line, and its output
//   vqueue cancel ID...            cancels waiting or running jobs
//   vqueue remove [ID...]          forgets jobs that are over (all of them without IDs)
//   vqueue restart ID...           puts failed or canceled jobs back into the queue
//   vqueue stop | start            stops or starts the queue
//   vqueue status                  queue status, waiting and running jobs
//   vqueue reservations            the resource manager's reservations
//
// Exit status 0 on success, 1 when the server cannot be reached or refuses, 2 for a
// wrong command line.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "CCclient.hpp"
#include "CCprotocol.hpp"
#include "DirAcces.hpp"
#include "Messages.hpp"
#include "SRM.hpp"
#include "UArgs.hpp"
#include "VErarBase.hpp"

extern char** environ;

namespace {

constexpr int kTimeoutMs = 4000;

int Usage() {
  std::fprintf(stderr,
               "usage: vqueue list | show ID | cancel ID... | remove [ID...] | restart ID... |\n"
               "              stop | start | status | reservations\n");
  return 2;
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
  std::printf("%d\n", result.at(0).AsInteger());
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
  Messages_IgnoreErrors(true);
  SRM_DumpResourceDatabase(file);
  Messages_IgnoreErrors(false);
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

}  // namespace

int main(int argc, char** argv) {
  M2C_INIT(argc, argv, environ);
  Messages_Init();
  DirAcces_Init();
  CCclient_Init();
  SRM_Init();
  if (argc < 2) return Usage();
  const std::string verb = argv[1];
  const std::vector<std::string> ids(argv + 2, argv + argc);
  if (verb == "list" && ids.empty()) return List();
  if (verb == "show" && ids.size() == 1) return Show(ids[0]);
  if (verb == "cancel" && !ids.empty()) return Command(CCprotocol_JobCommand::Cancel, ids);
  if (verb == "remove") return Command(CCprotocol_JobCommand::Remove, ids);
  if (verb == "restart" && !ids.empty()) return Command(CCprotocol_JobCommand::Restart, ids);
  if (verb == "stop" && ids.empty()) return SetQueue(CCprotocol_QueueStatus::Stopped);
  if (verb == "start" && ids.empty()) return SetQueue(CCprotocol_QueueStatus::Running);
  if (verb == "status" && ids.empty()) return QueueStatus();
  if (verb == "reservations" && ids.empty()) return Reservations();
  return Usage();
}
