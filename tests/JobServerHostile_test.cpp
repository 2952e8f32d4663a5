// The job server against submitters that try to gain rights or to stall it, and against
// a resource manager that goes away while jobs hold reservations.
#include <arpa/inet.h>
#include <grp.h>
#include <ifaddrs.h>
#include <pwd.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "JobServerFixture.hpp"
#include "Socket.hpp"

namespace {

using namespace zolt::test;
using Kind = VErarBase_PrecondKind;

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

SReqObj JobParam(const VErarBase_Job& job) {
  return SReqObj::Array({SReqObj::String(VErarBase_Render(job))});
}

class JobServerHostileTest : public JobServerTest {
 protected:
  // Sends one request as the user nobody from a process of its own: the integer result
  // (0 for a job ID), or -1 when the server refused.
  int AsNobody(std::string_view request, const SReqObj& params) {
    Ask(SProtocol_testService, SReqObj::Array());  // the server runs, started by root
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
    return WEXITSTATUS(status) == 101 ? -1 : WEXITSTATUS(status);
  }

  // Jobs of nobody need a way through the sandbox and a place to write.
  bool PrepareNobody() {
    nobody_ = ::getpwnam("nobody");
    if (::geteuid() != 0 || nobody_ == nullptr) return false;
    shared_ = SandboxDir() + "/shared";
    ::chmod(SandboxDir().c_str(), 0711);
    ::mkdir(shared_.c_str(), 0777);
    ::chmod(shared_.c_str(), 0777);
    return true;
  }

  const passwd* nobody_ = nullptr;
  std::string shared_;
};

// ---- Rights ----

TEST_F(JobServerHostileTest, ALocalSubmitterRunsItsJobAsItselfWhateverTheJobClaims) {
  if (!PrepareNobody()) GTEST_SKIP() << "needs root and the user nobody";
  VErarBase_Job job = InlineJob("claims root", "id -u > who; id -g >> who");
  job.workDir = shared_;
  job.uid = 0;
  job.gid = 0;
  ASSERT_EQ(AsNobody(CCprotocol_submitJob, JobParam(job)), 0);
  ASSERT_TRUE(Reaches("claims root", "done"));
  EXPECT_EQ(ReadFile(shared_ + "/who"),
            std::to_string(nobody_->pw_uid) + "\n" + std::to_string(nobody_->pw_gid) + "\n");

  // Another user's job is out of reach: cancel touches nothing.
  VErarBase_Job roots = InlineJob("root waits", "true");
  roots.preconditions.push_back({Kind::File, "/nonexistent/gate"});
  const std::string id = Ask(CCprotocol_submitJob, JobParam(roots)).at(0).AsString();
  ASSERT_TRUE(Reaches("root waits", "waitingForPrecond"));
  const int cancel = static_cast<int>(CCprotocol_JobCommand::Cancel);
  EXPECT_EQ(AsNobody(CCprotocol_jobCommand,
                     SReqObj::Array({SReqObj::Integer(cancel), SReqObj::Boolean(false),
                                     SReqObj::Array({SReqObj::String(id)})})),
            0);
  EXPECT_EQ(Status("root waits"), "waitingForPrecond");
}

TEST_F(JobServerHostileTest, AnErrorFileOutsideTheJobsReachIsNeverTakenOver) {
  if (!PrepareNobody()) GTEST_SKIP() << "needs root and the user nobody";
  const std::string victim = DatDir() + "/victim";
  WriteFile(victim, "precious\n");
  // A name that starts with the spool directory but leads out of it.
  VErarBase_Job escape = InlineJob("escape", "echo owned");
  escape.workDir = shared_;
  escape.errorFileName =
      DatDir() + "/DUvuvuzo-" + std::getenv("VM_DUVUVUZO_PORT") + ".jobs/../victim";
  ASSERT_EQ(AsNobody(CCprotocol_submitJob, JobParam(escape)), 0);
  // The server's own note on a time-out must not create a file where nobody may not.
  const std::string closed = SandboxDir() + "/root-only";
  ASSERT_EQ(::mkdir(closed.c_str(), 0700), 0);
  VErarBase_Job noted = InlineJob("noted", "sleep 5");
  noted.workDir = shared_;
  noted.errorFileName = closed + "/err";
  noted.timeout = 0.3;
  ASSERT_EQ(AsNobody(CCprotocol_submitJob, JobParam(noted)), 0);

  EXPECT_TRUE(Reaches("escape", "done"));
  EXPECT_TRUE(Reaches("noted", "failed"));
  EXPECT_EQ(ReadFile(victim), "precious\n");
  struct stat st {};
  EXPECT_TRUE(::stat(victim.c_str(), &st) == 0 && st.st_uid == 0);
  EXPECT_NE(::access((closed + "/err").c_str(), F_OK), 0);
}

TEST_F(JobServerHostileTest, OnlyTheLoopbackInterfaceIsServedUnlessHostsAreNamed) {
  Ask(SProtocol_testService, SReqObj::Array());
  std::string address;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) == 0) {
    for (const ifaddrs* a = list; a != nullptr && address.empty(); a = a->ifa_next) {
      if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
      const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
      char text[INET_ADDRSTRLEN] = {};
      ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
      if ((ntohl(in->sin_addr.s_addr) >> 24) != 127) address = text;
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
  Ask(CCprotocol_submitJob, JobParam(job));
  ASSERT_TRUE(Eventually([] { return !ReadFile("bgpid").empty(); }, 5000));
  // The server answers at once while the script runs.
  for (int i = 0; i < 5; ++i) {
    const Clock::time_point start = Clock::now();
    Ask(CCprotocol_getQueueStatus, SReqObj::Array());
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  // The time-out ends the shell and what it left in the background.
  const int background = std::atoi(ReadFile("bgpid").c_str());
  const int shell = std::atoi(ReadFile("shpid").c_str());
  EXPECT_TRUE(Eventually([&] { return ProcessGone(background) && ProcessGone(shell); }, 6000));
  EXPECT_EQ(Status("slow check"), "waitingForPrecond");
}

TEST_F(JobServerHostileTest, InfiniteOrHugeTimeOutsMeanNone) {
  for (const double timeout : {HUGE_VAL, 1e300, 4e18}) {
    VErarBase_Job job = InlineJob("unlimited " + std::to_string(timeout), "sleep 0.3");
    job.timeout = timeout;
    Ask(CCprotocol_submitJob, JobParam(job));
  }
  for (const double timeout : {HUGE_VAL, 1e300, 4e18}) {
    EXPECT_TRUE(Reaches("unlimited " + std::to_string(timeout), "done")) << timeout;
  }
}

// ---- Throughput ----

TEST_F(JobServerHostileTest, TwoHundredSmallJobsFinishInAFewSeconds) {
  Ask(SProtocol_testService, SReqObj::Array());
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(SClient_SendRequest(monitor_, CCprotocol_asyncSubmitJob, 1,
                                    JobParam(InlineJob("small", "true")), nullptr));
  }
  EXPECT_TRUE(Eventually(
      [this] {
        const SReqObj all = Ask(CCprotocol_getJobInfos, SReqObj::Array({SReqObj::String("")}));
        return std::count_if(all.elements().begin(), all.elements().end(), [](const SReqObj& e) {
                 return e.AsString().find("STATUS=done") != std::string::npos;
               }) == 200;
      },
      30000));
  // Started one per tick they took 40 s; a few seconds on a quiet machine, and the bound
  // leaves room for a loaded one and for the sanitizers.
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
}

// ---- Nothing held is lost ----

TEST_F(JobServerHostileTest, AJobsHoldingsAreToldAgainToARestartedResourceManager) {
  ASSERT_TRUE(SRM_Reserve("*:M9:*", true));
  Submit("holds M9", "while [ ! -f go ]; do sleep 0.05; done",
         [](SJobQues_Job* j) { SJobQues_InheritResourceToJob(j, "*:M9:*"); });
  SRM_Release("*:M9:*");
  ASSERT_TRUE(Reaches("holds M9", "running"));
  EXPECT_FALSE(FreeForOthers("*:M9:*"));

  // The resource manager dies and comes back empty-handed; the job server tells it again.
  SRM_Reset();
  Stop(PidFile("DUrazaze", "VM_DURAZAZE_PORT"), SIGKILL);
  EXPECT_TRUE(Eventually([] { return !FreeForOthers("*:M9:*"); }, 8000));

  WriteFile("go", "");
  ASSERT_TRUE(Reaches("holds M9", "done"));
  EXPECT_TRUE(Eventually([] { return FreeForOthers("*:M9:*"); }, 3000));
}

}  // namespace
