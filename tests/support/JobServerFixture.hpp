// The job server and the resource manager as a test sees them: started by the first
// request, stopped at the end of every test, asked through the real clients.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "CCclient.hpp"
#include "CCprotocol.hpp"
#include "DirAcces.hpp"
#include "SJobQues.hpp"
#include "SRM.hpp"
#include "Sandbox.hpp"
#include "VErarBase.hpp"

namespace zolt::test {

using Clock = std::chrono::steady_clock;

inline std::string DatDir() {
  char dat[1024] = {};
  DirAcces_GetSpecialPath(DirAcces_datPath, dat);
  return dat;
}

inline std::string PidFile(const char* server, const char* portVariable) {
  return DatDir() + "/" + server + "-" + std::getenv(portVariable) + ".pid";
}

inline void Stop(const std::string& pidFile, int sig = SIGTERM) {
  const int pid = std::atoi(ReadFile(pidFile).c_str());
  if (pid <= 0) return;
  ::kill(pid, sig);
  if (sig == SIGKILL || !Eventually([&] { return ReadFile(pidFile).empty(); }, 3000)) {
    ::kill(pid, SIGKILL);
    Eventually([pid] { return ::kill(pid, 0) != 0; }, 3000);
    // A server started again meanwhile (a client does so at once) keeps its own file.
    if (std::atoi(ReadFile(pidFile).c_str()) == pid) std::remove(pidFile.c_str());
  }
}

// Whether another process could reserve name right now.
inline bool FreeForOthers(const std::string& name) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    SRM_Reset();
    ::_exit(SRM_Reserve(name, true) ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class JobServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SJobQues_Init();
    SRM_Reset();
  }
  void TearDown() override {
    if (monitor_ != nullptr) SClient_CloseConn(monitor_);
    Stop(PidFile("DUvuvuzo", "VM_DUVUVUZO_PORT"));
    Stop(PidFile("DUrazaze", "VM_DURAZAZE_PORT"));
  }

  // Submits a job with description desc running command in workDir (the sandbox when
  // empty); more sets preconditions and hand-overs.
  void Submit(const std::string& desc, const std::string& command,
              const std::function<void(SJobQues_Job*)>& more = {}, const std::string& dir = "") {
    SJobQues_Job* job = SJobQues_CreateJob();
    Strings_Assign(command, job->command);
    if (!dir.empty()) Strings_Assign(dir, job->workDir);
    SJobQues_SetReadableCommand(job, desc);
    if (more) more(job);
    SJobQues_Submit("", job);
    EXPECT_EQ(SJobQues_error, 0) << desc;
    SJobQues_DestroyJob(job);
  }

  SReqObj Ask(std::string_view request, const SReqObj& params) {
    if (monitor_ == nullptr) monitor_ = CCclient_Connect("", 4000, SClient_NoopYield);
    SReqObj result;
    EXPECT_TRUE(SClient_SendRequest(monitor_, request, 1, params, &result))
        << SClient_ErrorText(monitor_);
    return result;
  }

  // The job with description desc as the server reports it (no ID when there is none).
  VErarBase_Job Job(const std::string& desc) {
    const SReqObj all = Ask(CCprotocol_getJobInfos, SReqObj::Array({SReqObj::String("")}));
    for (const SReqObj& e : all.elements()) {
      VErarBase_Job job;
      std::string error;
      if (VErarBase_Parse(e.AsString(), job, error) && job.description == desc) return job;
    }
    return {};
  }

  std::string Status(const std::string& desc) { return VErarBase_StatusName(Job(desc).status); }

  bool Reaches(const std::string& desc, const std::string& status, int ms = 10000) {
    return Eventually([&] { return Status(desc) == status; }, ms);
  }

  SClient_Connection* monitor_ = nullptr;
};

}  // namespace zolt::test
