// The job server against submitters that try to gain rights or to stall it, and against
// a resource manager that goes away while jobs hold reservations.
#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "CCclient.hpp"
#include "CCprotocol.hpp"
#include "DirAcces.hpp"
#include "SJobQues.hpp"
#include "SRM.hpp"
#include "Sandbox.hpp"
#include "Socket.hpp"
#include "VErarBase.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using Kind = VErarBase_PrecondKind;
using zolt::test::ReadFile;
using zolt::test::SandboxDir;
using zolt::test::WriteFile;

std::string DatDir() {
  char dat[1024] = {};
  DirAcces_GetSpecialPath(DirAcces_datPath, dat);
  return dat;
}

std::string PidFile(const char* server, const char* portVariable) {
  return DatDir() + "/" + server + "-" + std::getenv(portVariable) + ".pid";
}

bool Eventually(const std::function<bool()>& condition, int ms = 10000) {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return condition();
}

void Stop(const std::string& pidFile, int sig = SIGTERM) {
  const int pid = std::atoi(ReadFile(pidFile).c_str());
  if (pid <= 0) return;
  ::kill(pid, sig);
  if (sig == SIGKILL || !Eventually([&] { return ReadFile(pidFile).empty(); }, 3000)) {
    ::kill(pid, SIGKILL);
    Eventually([pid] { return ::kill(pid, 0) != 0; }, 3000);
    std::remove(pidFile.c_str());
  }
}

bool FreeForOthers(const std::string& name) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    SRM_Reset();
    ::_exit(SRM_Reserve(name, true) ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool ProcessGone(int pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const auto paren = stat.rfind(')');
  return stat.empty() || (paren + 2 < stat.size() && stat[paren + 2] == 'Z');
}

VErarBase_Job InlineJob(const std::string& desc, const std::string& command) {
  VErarBase_Job job;
  job.description = desc;
  job.command = command;
  job.workDir = std::filesystem::current_path();
  return job;
}

class JobServerHostileTest : public ::testing::Test {
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

  SClient_Connection* Monitor() {
    if (monitor_ == nullptr) monitor_ = CCclient_Connect("", 4000, SClient_NoopYield);
    return monitor_;
  }

  bool Send(std::string_view request, const SReqObj& params, SReqObj* result = nullptr) {
    SReqObj ignored;
    return SClient_SendRequest(Monitor(), request, 1, params, result ? result : &ignored);
  }

  std::string SubmitAsRoot(const VErarBase_Job& job) {
    SReqObj result;
    EXPECT_TRUE(Send(CCprotocol_submitJob, SReqObj::Array({SReqObj::String(VErarBase_Render(job))}),
                     &result))
        << SClient_ErrorText(monitor_);
    return result.size() > 0 ? result.at(0).AsString() : "";
  }

  // Sends one request as the unprivileged user from a process of its own; the integer
  // result (or 0 for a job ID), -1 when the server refused.
  int AsNobody(std::string_view request, const SReqObj& params) {
    Send(SProtocol_testService, SReqObj::Array());  // the server runs, started by root
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(nobody_->pw_gid) != 0 ||
          ::setuid(nobody_->pw_uid) != 0) {
        ::_exit(100);
      }
      SClient_Connection* c = CCclient_Connect("", 4000, SClient_NoopYield);
      SReqObj result;
      if (!SClient_SendRequest(c, request, 1, params, &result)) ::_exit(101);
      ::_exit(result.at(0).IsInteger() ? result.at(0).AsInteger() : 0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 100) return -2;
    return WEXITSTATUS(status) == 101 ? -1 : WEXITSTATUS(status);
  }

  // Jobs of the unprivileged user need a way through the sandbox and a place to write.
  bool PrepareNobody() {
    nobody_ = ::getpwnam("nobody");
    if (::geteuid() != 0 || nobody_ == nullptr) return false;
    shared_ = SandboxDir() + "/shared";
    ::chmod(SandboxDir().c_str(), 0711);
    ::mkdir(shared_.c_str(), 0777);
    ::chmod(shared_.c_str(), 0777);
    return true;
  }

  VErarBase_Job Job(const std::string& desc) {
    SReqObj all;
    Send(CCprotocol_getJobInfos, SReqObj::Array({SReqObj::String("")}), &all);
    for (const SReqObj& e : all.elements()) {
      VErarBase_Job job;
      std::string error;
      if (VErarBase_Parse(e.AsString(), job, error) && job.description == desc) return job;
    }
    return {};
  }

  bool Reaches(const std::string& desc, VErarBase_Status status, int ms = 10000) {
    return Eventually([&] { return Job(desc).status == status; }, ms);
  }

  SClient_Connection* monitor_ = nullptr;
  const passwd* nobody_ = nullptr;
  std::string shared_;
};

// ---- Rights ----

TEST_F(JobServerHostileTest, ALocalSubmitterRunsItsJobAsItselfWhateverTheJobClaims) {
  if (!PrepareNobody()) GTEST_SKIP() << "needs root and the user nobody";
  const uid_t uid = nobody_->pw_uid;
  const gid_t gid = nobody_->pw_gid;
  VErarBase_Job job = InlineJob("claims root", "id -u > who; id -g >> who");
  job.workDir = shared_;
  job.uid = 0;
  job.gid = 0;
  ASSERT_EQ(
      AsNobody(CCprotocol_submitJob, SReqObj::Array({SReqObj::String(VErarBase_Render(job))})), 0);
  ASSERT_TRUE(Reaches("claims root", VErarBase_Status::Done));
  EXPECT_EQ(ReadFile(shared_ + "/who"), std::to_string(uid) + "\n" + std::to_string(gid) + "\n");
  EXPECT_EQ(Job("claims root").uid, static_cast<std::int32_t>(uid));

  // Another user's job is out of reach: cancel touches nothing.
  VErarBase_Job roots = InlineJob("root waits", "true");
  roots.preconditions.push_back({Kind::File, "/nonexistent/gate"});
  const std::string id = SubmitAsRoot(roots);
  ASSERT_TRUE(Reaches("root waits", VErarBase_Status::WaitingForPrecond));
  const SReqObj cancel =
      SReqObj::Array({SReqObj::Integer(static_cast<int>(CCprotocol_JobCommand::Cancel)),
                      SReqObj::Boolean(false), SReqObj::Array({SReqObj::String(id)})});
  EXPECT_EQ(AsNobody(CCprotocol_jobCommand, cancel), 0);
  EXPECT_EQ(Job("root waits").status, VErarBase_Status::WaitingForPrecond);
}

TEST_F(JobServerHostileTest, AnErrorFileOutsideTheJobsReachIsNeverTakenOver) {
  if (!PrepareNobody()) GTEST_SKIP() << "needs root and the user nobody";
  const std::string port = std::getenv("VM_DUVUVUZO_PORT");
  const std::string spool = DatDir() + "/DUvuvuzo-" + port + ".jobs";
  const std::string victim = DatDir() + "/victim";
  WriteFile(victim, "precious\n");
  ::chmod(victim.c_str(), 0644);

  // A name that starts with the spool directory but leads out of it.
  VErarBase_Job escape = InlineJob("escape", "echo owned");
  escape.workDir = shared_;
  escape.errorFileName = spool + "/../victim";
  ASSERT_EQ(
      AsNobody(CCprotocol_submitJob, SReqObj::Array({SReqObj::String(VErarBase_Render(escape))})),
      0);
  // The server's own note on a time-out must not create a file where the user may not.
  const std::string closed = SandboxDir() + "/root-only";
  ASSERT_EQ(::mkdir(closed.c_str(), 0700), 0);
  VErarBase_Job noted = InlineJob("noted", "sleep 5");
  noted.workDir = shared_;
  noted.errorFileName = closed + "/err";
  noted.timeout = 0.3;
  ASSERT_EQ(
      AsNobody(CCprotocol_submitJob, SReqObj::Array({SReqObj::String(VErarBase_Render(noted))})),
      0);

  EXPECT_TRUE(Reaches("escape", VErarBase_Status::Done));
  EXPECT_TRUE(Reaches("noted", VErarBase_Status::Failed));
  EXPECT_EQ(ReadFile(victim), "precious\n");
  struct stat st {};
  ASSERT_EQ(::stat(victim.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_NE(::access((closed + "/err").c_str(), F_OK), 0);
}

TEST_F(JobServerHostileTest, OnlyTheLoopbackInterfaceIsServedUnlessHostsAreNamed) {
  ASSERT_TRUE(Send(SProtocol_testService, SReqObj::Array()));
  std::string address;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) == 0) {
    for (const ifaddrs* a = list; a != nullptr && address.empty(); a = a->ifa_next) {
      if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
      const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
      if ((ntohl(in->sin_addr.s_addr) >> 24) == 127) continue;
      char text[INET_ADDRSTRLEN] = {};
      ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
      address = text;
    }
    ::freeifaddrs(list);
  }
  if (address.empty()) GTEST_SKIP() << "no address but the loopback one";
  std::string error;
  int fd = Socket_Connect(address, std::atoi(std::getenv("VM_DUVUVUZO_PORT")), 0, error);
  EXPECT_LT(fd, 0) << "reached through " << address;
  Socket_Close(fd);
}

// ---- Stalls ----

TEST_F(JobServerHostileTest, ScriptPreconditionsRunBesideTheLoopAndTheirTimeOutEndsAllTheyStarted) {
  ::setenv("VM_DUVUVUZO_SCRIPT_TIMEOUT", "1.5", 1);
  VErarBase_Job job = InlineJob("slow check", "true");
  job.preconditions.push_back(
      {Kind::Script, "sleep 60 & echo $! > bgpid; echo $$ > shpid; sleep 60"});
  SubmitAsRoot(job);
  ASSERT_TRUE(Eventually([] { return !ReadFile("bgpid").empty(); }, 5000));

  // The server answers at once while the script runs.
  for (int i = 0; i < 5; ++i) {
    const Clock::time_point start = Clock::now();
    EXPECT_TRUE(Send(CCprotocol_getQueueStatus, SReqObj::Array()));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  // The time-out ends the shell and what it left in the background.
  const int background = std::atoi(ReadFile("bgpid").c_str());
  const int shell = std::atoi(ReadFile("shpid").c_str());
  ASSERT_GT(background, 0);
  EXPECT_TRUE(Eventually([&] { return ProcessGone(background) && ProcessGone(shell); }, 6000));
  EXPECT_EQ(Job("slow check").status, VErarBase_Status::WaitingForPrecond);
}

TEST_F(JobServerHostileTest, InfiniteOrHugeTimeOutsMeanNone) {
  for (const double timeout : {HUGE_VAL, 1e300, 4e18}) {
    VErarBase_Job job = InlineJob("unlimited " + std::to_string(timeout), "sleep 0.3");
    job.timeout = timeout;
    SubmitAsRoot(job);
  }
  for (const double timeout : {HUGE_VAL, 1e300, 4e18}) {
    const std::string desc = "unlimited " + std::to_string(timeout);
    EXPECT_TRUE(Reaches(desc, VErarBase_Status::Done)) << desc;
  }
}

// ---- Throughput ----

TEST_F(JobServerHostileTest, TwoHundredSmallJobsFinishInAFewSeconds) {
  ASSERT_TRUE(Send(SProtocol_testService, SReqObj::Array()));
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < 200; ++i) {
    const VErarBase_Job job = InlineJob("small " + std::to_string(i), "true");
    ASSERT_TRUE(SClient_SendRequest(Monitor(), CCprotocol_asyncSubmitJob, 1,
                                    SReqObj::Array({SReqObj::String(VErarBase_Render(job))}),
                                    nullptr));
  }
  const auto done = [this] {
    SReqObj all;
    Send(CCprotocol_getJobInfos, SReqObj::Array({SReqObj::String("")}), &all);
    int count = 0;
    for (const SReqObj& e : all.elements()) {
      count += e.AsString().find("STATUS=done") != std::string::npos ? 1 : 0;
    }
    return count == 200;
  };
  EXPECT_TRUE(Eventually(done, 20000));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
}

// ---- Nothing held is lost ----

TEST_F(JobServerHostileTest, AJobsHoldingsAreToldAgainToARestartedResourceManager) {
  ASSERT_TRUE(SRM_Reserve("*:M9:*", true));
  SJobQues_Job* classic = SJobQues_CreateJob();
  Strings_Assign("while [ ! -f go ]; do sleep 0.05; done", classic->command);
  SJobQues_SetReadableCommand(classic, "holds M9");
  SJobQues_InheritResourceToJob(classic, "*:M9:*");
  SJobQues_Submit("", classic);
  ASSERT_EQ(SJobQues_error, 0);
  SJobQues_DestroyJob(classic);
  SRM_Release("*:M9:*");
  ASSERT_TRUE(Reaches("holds M9", VErarBase_Status::Running));
  EXPECT_FALSE(FreeForOthers("*:M9:*"));

  // The resource manager dies and comes back empty-handed; the job server tells it again.
  SRM_Reset();
  Stop(PidFile("DUrazaze", "VM_DURAZAZE_PORT"), SIGKILL);
  EXPECT_TRUE(Eventually([] { return !FreeForOthers("*:M9:*"); }, 8000));

  WriteFile("go", "");
  ASSERT_TRUE(Reaches("holds M9", VErarBase_Status::Done));
  EXPECT_TRUE(Eventually([] { return FreeForOthers("*:M9:*"); }, 3000));
}

}  // namespace
