#include "Processe.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Capture.hpp"
#include "DirAcces.hpp"
#include "Messages.hpp"
#include "Sandbox.hpp"

namespace {

namespace fs = std::filesystem;
using namespace zolt::test;
using Clock = std::chrono::steady_clock;

std::string DatDir() { return std::getenv("ZOLTDAT"); }

std::string ProbePath() { return BuildDir() + "/test-bin/ProcesseProbe"; }

// Run files of the probe program in the data directory.
std::vector<std::string> ProbeRunFiles() {
  std::vector<std::string> found;
  for (const auto& e : fs::directory_iterator(DatDir())) {
    const std::string name = e.path().filename();
    if (name.find("-ProcesseProbe-") != std::string::npos) found.push_back(name);
  }
  return found;
}

// True when the process ends within two seconds (gone, or a zombie nobody reaps).
bool GoneSoon(int pid) {
  for (const auto end = Clock::now() + std::chrono::seconds(2); Clock::now() < end;) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const auto paren = stat.rfind(')');
    if (stat.empty() || (paren + 2 < stat.size() && stat[paren + 2] == 'Z')) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Runs an operation expected to fail inside an ignore bracket; the error value.
template <class F>
int Failing(F op) {
  Messages_IgnoreErrors(true);
  op();
  Messages_IgnoreErrors(false);
  Messages_ForgetErrorReasons();
  return Processe_error;
}

void ProcedureRan() {
  Processe_InstallTerminationProcedure([] { std::fprintf(stderr, "procedure ran\n"); });
}

class ProcesseTest : public ::testing::Test {
 protected:
  void SetUp() override { Processe_Init(); }
};

// ---- Commands ----

TEST_F(ProcesseTest, CommandsReportTheirOutcomeAndOverlongOnesAreCut) {
  EXPECT_EQ(Processe_ExecuteCommand("exit 0", 5000), 0u);
  EXPECT_EQ(Processe_ExecuteCommand("exit 3", 5000), 1u);
  EXPECT_EQ(Processe_LastExitCode(), 3);
  // Without a time-out the shell runs it directly.
  EXPECT_EQ(Processe_ExecuteCommand("exit 4", 0), 1u);
  EXPECT_EQ(Processe_LastExitCode(), 4);
  EXPECT_FALSE(Processe_System("exit 0"));
  EXPECT_TRUE(Processe_System("exit 7"));
  EXPECT_EQ(Processe_LastExitCode(), 7);

  // The redirection at the end lies beyond the cut, so the file is never written.
  EXPECT_FALSE(Processe_System(": " + std::string(2100, 'a') + " > long"));
  EXPECT_FALSE(fs::exists("long"));
  EXPECT_FALSE(Processe_System(": " + std::string(2000, 'b') + " > short"));
  EXPECT_TRUE(fs::exists("short"));
}

TEST_F(ProcesseTest, ACommandThatOutlivesItsTimeOutIsKilledWithEverythingItStarted) {
  // The shell starts a background sleeper and a foreground one; both must go.
  const std::string command = "echo $$ > pids; sleep 30 & echo $! >> pids; sleep 30";
  const auto start = Clock::now();
  unsigned result = 0;
  EXPECT_EQ(Failing([&] { result = Processe_ExecuteCommand(command, 300); }), 7);
  const auto elapsed = Clock::now() - start;
  EXPECT_EQ(result, 2u);
  EXPECT_GE(elapsed, std::chrono::milliseconds(300));
  EXPECT_LT(elapsed, std::chrono::milliseconds(2000));

  std::ifstream pids("pids");
  int pid = 0, count = 0;
  for (; pids >> pid; ++count) EXPECT_TRUE(GoneSoon(pid)) << "process " << pid;
  EXPECT_EQ(count, 2);
}

// A clock that starts just before a second boundary and moves 0.9 ms per reading, so
// that the time-out falls between two readings across the boundary.
timespec fakeStart{5, 999600000};
timespec fakeLast{};
timespec FakeClock() {
  fakeLast.tv_nsec += 900000;
  if (fakeLast.tv_nsec >= 1000000000) {
    fakeLast.tv_nsec -= 1000000000;
    ++fakeLast.tv_sec;
  }
  return fakeLast;
}

TEST_F(ProcesseTest, ACommandIsNeverKilledBeforeItsTimeOutHasFullyPassed) {
  for (const long timeoutMs : {10L, 11L, 37L}) {
    fakeLast = fakeStart;
    Processe_SetClock(FakeClock);
    unsigned result = 0;
    EXPECT_EQ(Failing([&] { result = Processe_ExecuteCommand("sleep 30", timeoutMs); }), 7);
    Processe_SetClock(nullptr);
    EXPECT_EQ(result, 2u);
    // The first reading is the start; the kill follows the last one.
    const long long passedNs = (fakeLast.tv_sec - fakeStart.tv_sec) * 1000000000LL +
                               (fakeLast.tv_nsec - fakeStart.tv_nsec) - 900000;
    EXPECT_GE(passedNs, timeoutMs * 1000000) << timeoutMs;
  }
}

// ---- Processes ----

TEST_F(ProcesseTest, WaitPidPollsAndCollectsTheChildsStatus) {
  const int pid = Processe_Fork();
  if (pid == 0) {
    ::usleep(200000);
    ::_exit(5);
  }
  ASSERT_GT(pid, 0);
  bool failed = true;
  EXPECT_EQ(Processe_WaitPID(pid, false, failed), 0);  // still running
  EXPECT_FALSE(failed);
  EXPECT_EQ(Processe_WaitPID(pid, true, failed), pid);
  EXPECT_TRUE(failed && Processe_LastExitCode() == 5);
  EXPECT_FALSE(Processe_IsAlive(pid));
}

TEST_F(ProcesseTest, ARunFileLeftByAKilledChildIsRemovedWhenItIsCollected) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const int pid = Processe_Fork();
  if (pid == 0) {
    char path[1024];
    Processe_RunFilename(path);
    WriteFile(path, std::to_string(::getpid()) + "\n");
    ssize_t w = ::write(ready[1], "x", 1);
    (void)w;
    for (;;) ::pause();
  }
  char c;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  const std::string childRunFile =
      fs::path(DatDir()) /
      (std::string(std::getenv("HOST")) + "-Processe_test-" + std::to_string(pid) + ".pid");
  ASSERT_TRUE(fs::exists(childRunFile));
  EXPECT_TRUE(Processe_IsAlive(pid));
  Processe_Kill(pid, Processe_SIGKILL);
  bool failed = false;
  EXPECT_EQ(Processe_WaitPID(pid, true, failed), pid);
  EXPECT_TRUE(failed);
  EXPECT_FALSE(fs::exists(childRunFile));
  ::close(ready[0]);
  ::close(ready[1]);
}

TEST_F(ProcesseTest, KillFailuresAreReportedByKind) {
  // A child that has been collected no longer exists.
  const int pid = Processe_Fork();
  if (pid == 0) ::_exit(0);
  bool failed = false;
  Processe_WaitPID(pid, true, failed);
  EXPECT_EQ(Failing([&] {
              Processe_Kill(pid, Processe_SIGTERM);
              EXPECT_EQ(Messages_ErrorCount(false), 2u);  // the error and what was done
            }),
            4);
  if (::geteuid() != 0) {
    EXPECT_EQ(Failing([] { Processe_Kill(1, Processe_SIGTERM); }), 5);
  }
  // Not being permitted to signal a process still means it is alive.
  EXPECT_TRUE(Processe_IsAlive(1));
  EXPECT_TRUE(Processe_IsAlive(Processe_GetPID()));
  EXPECT_EQ(Messages_ErrorCount(false), 0u);
}

// ---- Signals ----

TEST(ProcesseSignals, SystemNumbersMapToTheLocalOnes) {
  const std::pair<unsigned, int> map[] = {
      {Processe_SIGBUS, SIGBUS},    {Processe_SIGUSR1, SIGUSR1}, {Processe_SIGUSR2, SIGUSR2},
      {Processe_SIGCHLD, SIGCHLD},  {Processe_SIGSTOP, SIGSTOP}, {Processe_SIGCONT, SIGCONT},
      {Processe_SIGSYS, SIGSYS},    {Processe_SIGXFSZ, SIGXFSZ}, {Processe_SIGWINCH, SIGWINCH},
      {Processe_SIGEMT, SIGSTKFLT}, {Processe_SIGKILL, SIGKILL}, {40, 40}};
  for (const auto& [system, local] : map) EXPECT_EQ(Processe_LocalSignal(system), local) << system;
  // The map is one to one: every number comes back.
  for (unsigned s = 1; s <= 31; ++s) EXPECT_EQ(Processe_SystemSignal(Processe_LocalSignal(s)), s);
}

unsigned caught = 0;

TEST_F(ProcesseTest, AnInstalledHandlerGetsTheSystemNumber) {
  caught = 0;
  Processe_InstallSignalHandler(Processe_SIGUSR1, [](unsigned s) { caught = s; });
  Processe_Kill(Processe_GetPID(), Processe_SIGUSR1);
  EXPECT_EQ(caught, 16u);
  Processe_SignalIgnore(Processe_SIGUSR1);
  caught = 0;
  Processe_Kill(Processe_GetPID(), Processe_SIGUSR1);
  EXPECT_EQ(caught, 0u);
  Processe_SignalDefault(Processe_SIGUSR1);
  const auto r = RunInChild([] { ::raise(SIGUSR1); });
  EXPECT_EQ(r.signal, SIGUSR1);
}

TEST_F(ProcesseTest, FaultsAndQuitEndWithStatusTwoAfterTheProcedures) {
  const auto r = RunInChild([] {
    ProcedureRan();
    ::raise(SIGSEGV);
  });
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.exitStatus, 2);
  for (const char* part :
       {"***AbortHandler caught SIGSEGV (Processe_test).\n", "Backtrace:", "procedure ran",
        "   Set environment variable VM_POST_MORTEM to get a post mortem "
        "dump core next time.\n"}) {
    EXPECT_NE(r.err.find(part), std::string::npos) << part << " in " << r.err;
  }
  const auto fpe = RunInChild([] { ::raise(SIGFPE); });
  EXPECT_EQ(fpe.exitStatus, 2);
  EXPECT_NE(fpe.err.find("***AbortHandler caught SIGFPE (Processe_test)."), std::string::npos);

  const auto quit = RunInChild([] {
    ProcedureRan();
    ::raise(SIGQUIT);
  });
  EXPECT_TRUE(quit.exited);
  EXPECT_EQ(quit.exitStatus, 2);
  EXPECT_EQ(quit.err, "procedure ran\n");
}

// ---- Termination ----

TEST_F(ProcesseTest, TerminationProceduresRunMostRecentFirstAndOnce) {
  const auto r = RunInChild([] {
    Processe_InstallTerminationProcedure([] { std::fprintf(stderr, "first\n"); });
    Processe_InstallTerminationProcedure([] {
      std::fprintf(stderr, "second\n");
      Processe_Exit();  // ending again carries on with the rest
    });
    Processe_InstallTerminationProcedure([] { std::fprintf(stderr, "third\n"); });
    Processe_SetExitStatus(1);
    Processe_Exit();
  });
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, "third\nsecond\nfirst\n");
}

// The termination signal ends the process from its main flow: the procedures run with
// the signal no longer being handled. A flow that never waits is ended all the same.
TEST_F(ProcesseTest, TerminateEndsTheProcessFromItsMainFlowOrAfterABoundedTime) {
  const auto start = Clock::now();
  const auto waiting = RunInChild([] {
    Processe_InstallTerminationProcedure([] {
      sigset_t blocked;
      ::sigprocmask(SIG_BLOCK, nullptr, &blocked);
      std::fprintf(stderr, sigismember(&blocked, SIGTERM) ? "in the handler\n" : "in the flow\n");
    });
    Processe_ExecuteCommand("kill -TERM $PPID; sleep 5", 10000);
    std::fprintf(stderr, "went on\n");
  });
  EXPECT_TRUE(waiting.exited);
  EXPECT_EQ(waiting.exitStatus, 0);
  EXPECT_EQ(waiting.err, "in the flow\n");
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(4000));

  const auto busy = RunInChild([] {
    ProcedureRan();
    ::raise(SIGTERM);
    for (volatile bool forever = true; forever;) {
    }
  });
  EXPECT_TRUE(busy.exited);
  EXPECT_EQ(busy.exitStatus, 0);
  EXPECT_EQ(busy.err, "procedure ran\n");
}

TEST_F(ProcesseTest, AFatalErrorExitsWithTwoAfterTheProcedures) {
  const auto r = RunInChild([] {
    ProcedureRan();
    Messages_Error("Processe", 4);
  });
  EXPECT_EQ(r.exitStatus, 2);
  EXPECT_EQ(r.err.find("procedure ran\n"), 0u) << r.err;
  EXPECT_EQ(r.err.find("Backtrace:"), std::string::npos);  // an ordinary program
}

// A failure exit of a server, or with the backtrace flag, writes a backtrace; with
// post-mortem dumps asked for (TEST) it aborts instead. Success exits stay quiet.
TEST_F(ProcesseTest, FailureExitsOfServersAndFlaggedProgramsWriteABacktrace) {
  for (const char* kind : {"server", "flagged", "server-success", "postmortem-success"}) {
    const std::string k = kind;
    const auto r = RunInChild([&k] {
      if (k.starts_with("server")) Processe_SetApplicationType(2);
      if (k == "flagged") ::setenv("VM_DO_BACKTRACE_FOR_FAILURE", "yes", 1);
      if (k.starts_with("postmortem")) ::setenv("TEST", "1", 1);
      Processe_SetExitStatus(k.ends_with("success") ? (k == "server-success" ? 0 : 1) : 2);
      Processe_Exit();
    });
    EXPECT_TRUE(r.exited) << k;
    EXPECT_EQ(r.exitStatus, k.ends_with("success") ? (k == "server-success" ? 0 : 1) : 2) << k;
    EXPECT_EQ(r.err.find("Backtrace:") != std::string::npos, !k.ends_with("success")) << k;
  }
  const auto r = RunInChild([] {
    const struct rlimit none { 0, 0 };
    ::setrlimit(RLIMIT_CORE, &none);
    ::setenv("TEST", "1", 1);
    Processe_SetExitStatus(2);
    Processe_Exit();
  });
  EXPECT_FALSE(r.exited);
  EXPECT_EQ(r.signal, SIGABRT);
  EXPECT_EQ(r.err, "HALT in Processe.Exit\n");
}

TEST_F(ProcesseTest, CleanUpsRunOnlyInTheInitialProcessAfterTheProcedures) {
  const auto child = RunInChild([] {
    Processe_InstallSharMemCleanUp([] { std::fprintf(stderr, "shared memory\n"); });
    Processe_InstallSemaphorCleanUp([] { std::fprintf(stderr, "semaphores\n"); });
    Processe_Exit();
  });
  EXPECT_EQ(child.exitStatus, 0);
  EXPECT_EQ(child.err, "");

  const auto program = RunCommand(ProbePath() + " cleanups");
  EXPECT_EQ(program.status, 0);
  EXPECT_EQ(program.out, "terminated\nshared memory\nsemaphores\n");
}

TEST_F(ProcesseTest, ADaemonDoesNotStartWhileDaemonsAreInhibited) {
  for (const bool inhibited : {true, false}) {
    const auto r = RunInChild([inhibited] {
      ::setenv("VM_NO_DAEMONS", inhibited ? "on" : "off", 1);
      Processe_SetApplicationType(3);
      std::fprintf(stderr, "running\n");
    });
    EXPECT_EQ(r.exitStatus, inhibited ? 1 : 0);
    EXPECT_EQ(r.err,
              inhibited ? "*** Processe_test inhibited due to NO_DAEMONS flag\n" : "running\n");
  }
}

// ---- Run file and stop file ----

TEST(ProcesseProgram, TheRunFileLivesAsLongAsTheProgram) {
  // The shell tells its pid and becomes the probe. No assertion may return before the
  // probe is told to end.
  std::FILE* probe = ::popen(("echo $$; exec " + ProbePath() + " wait").c_str(), "r");
  char line[64] = {}, ready[64] = {};
  EXPECT_TRUE(std::fgets(line, sizeof line, probe) && std::fgets(ready, sizeof ready, probe));
  const int pid = std::atoi(line);
  EXPECT_STREQ(ready, "ready\n");
  const auto files = ProbeRunFiles();
  EXPECT_EQ(files.size(), 1u);
  const std::string name = files.empty() ? "" : files[0];
  EXPECT_TRUE(name.ends_with("-ProcesseProbe-" + std::to_string(pid) + ".pid")) << name;
  // Readable by all, holding the pid.
  const std::string runFile = DatDir() + "/" + name;
  EXPECT_EQ(ReadFile(runFile), std::to_string(pid) + "\n");
  struct stat st {};
  EXPECT_EQ(::stat(runFile.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  // Terminate ends it in order: procedures run, the run file goes, status 0.
  if (pid > 0) ::kill(pid, SIGTERM);
  EXPECT_TRUE(std::fgets(line, sizeof line, probe));
  EXPECT_STREQ(line, "terminated\n");
  const int status = ::pclose(probe);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(ProbeRunFiles().empty());
}

TEST(ProcesseProgram, AnOrdinaryEndRemovesTheRunFileAndKeepsTheStatus) {
  for (const auto& [how, status] : {std::pair{" exit 1", 1}, {" fatal", 2}}) {
    const auto r = RunCommand(ProbePath() + how);
    EXPECT_EQ(r.status, status) << how;
    EXPECT_EQ(r.out, "terminated\n") << how;
    EXPECT_TRUE(ProbeRunFiles().empty()) << how;
  }
}

TEST(ProcesseProgram, ExecHandsTheProcessOverWithoutItsRunFile) {
  // The new program sees the data directory without the run file of the old one.
  const auto r = RunCommand(ProbePath() + " exec sh -c 'ls \"$ZOLTDAT\"; echo $$'");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.find("ProcesseProbe"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("terminated"), std::string::npos);  // replaced, not ended

  const auto failed = RunCommand(ProbePath() + " exec /no/such/program");
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.out, "terminated\n");
  EXPECT_NE(failed.err.find("/no/such/program"), std::string::npos);
  EXPECT_TRUE(ProbeRunFiles().empty());
}

TEST(ProcesseProgram, AStopFileKeepsProgramsFromStarting) {
  WriteFile(DatDir() + "/stopped", "");
  const auto r = RunCommand(ProbePath() + " exit 0");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "*** Velmar software is currently disabled using a stopped file\n");
  EXPECT_TRUE(ProbeRunFiles().empty());

  // With run files switched off the stop file is not looked at either.
  const auto unchecked = RunCommand("VM_NO_RUN_FILE=on " + ProbePath() + " exit 0");
  EXPECT_EQ(unchecked.status, 0);
  EXPECT_EQ(unchecked.out, "terminated\n");

  fs::remove(DatDir() + "/stopped");
  const auto started = RunCommand(ProbePath() + " exit 0");
  EXPECT_EQ(started.status, 0);
}

}  // namespace
