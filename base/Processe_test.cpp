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

// True when the process no longer runs (gone, or a zombie nobody has reaped yet).
bool Gone(int pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  if (stat.empty()) return true;
  const auto paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'Z';
}

bool GoneWithin(int pid, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (!Gone(pid)) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// The probe started in the background with its standard output on a pipe.
struct Probe {
  int pid = -1;
  std::FILE* out = nullptr;

  explicit Probe(const char* what) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    std::fflush(nullptr);
    pid = ::fork();
    if (pid == 0) {
      ::dup2(fds[1], 1);
      ::close(fds[0]);
      ::close(fds[1]);
      ::execl(ProbePath().c_str(), "ProcesseProbe", what, static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[1]);
    out = ::fdopen(fds[0], "r");
  }
  ~Probe() {
    if (out != nullptr) std::fclose(out);
  }
  std::string Line() {
    char buf[256];
    if (out == nullptr || std::fgets(buf, sizeof buf, out) == nullptr) return "";
    return buf;
  }
  int Wait() {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
  }
};

class ProcesseTest : public ::testing::Test {
 protected:
  void SetUp() override { Processe_Init(); }
};

// ---- Commands ----

TEST_F(ProcesseTest, ExecuteCommandReportsTheCommandsOutcome) {
  EXPECT_EQ(Processe_ExecuteCommand("exit 0", 5000), 0u);
  EXPECT_EQ(Processe_ExecuteCommand("exit 3", 5000), 1u);
  EXPECT_EQ(Processe_LastExitCode(), 3);
  EXPECT_EQ(Processe_ExecuteCommand("echo done > ran", 5000), 0u);
  EXPECT_EQ(ReadFile("ran"), "done\n");
  // Without a time-out the shell runs it directly.
  EXPECT_EQ(Processe_ExecuteCommand("exit 4", 0), 1u);
  EXPECT_EQ(Processe_LastExitCode(), 4);
  EXPECT_EQ(Processe_ExecuteCommand("true", -1), 0u);
}

TEST_F(ProcesseTest, ACommandThatOutlivesItsTimeOutIsKilledWithEverythingItStarted) {
  // The shell starts a background sleeper and a foreground one; both must go.
  const std::string command = "echo $$ > pids; sleep 30 & echo $! >> pids; sleep 30";
  Messages_IgnoreErrors(true);
  const auto start = Clock::now();
  const unsigned result = Processe_ExecuteCommand(command, 300);
  const auto elapsed = Clock::now() - start;
  Messages_IgnoreErrors(false);
  EXPECT_EQ(result, 2u);
  EXPECT_EQ(Processe_error, 7);
  EXPECT_GE(elapsed, std::chrono::milliseconds(300));
  EXPECT_LT(elapsed, std::chrono::milliseconds(2000));
  char reason[256];
  ASSERT_TRUE(Messages_ErrorReason(reason));  // the error entry
  Messages_ForgetErrorReasons();

  std::ifstream pids("pids");
  int pid = 0;
  int count = 0;
  while (pids >> pid) {
    ++count;
    EXPECT_TRUE(GoneWithin(pid, std::chrono::milliseconds(2000))) << "process " << pid;
  }
  EXPECT_EQ(count, 2);
}

TEST_F(ProcesseTest, SystemTellsFailureAndCutsOverlongCommands) {
  EXPECT_FALSE(Processe_System("exit 0"));
  EXPECT_TRUE(Processe_System("exit 7"));
  EXPECT_EQ(Processe_LastExitCode(), 7);

  // The redirection at the end lies beyond the cut, so the file is never written.
  const std::string filler(2100, 'a');
  EXPECT_FALSE(Processe_System(": " + filler + " > long"));
  EXPECT_FALSE(fs::exists("long"));
  const std::string fits(2000, 'b');
  EXPECT_FALSE(Processe_System(": " + fits + " > short"));
  EXPECT_TRUE(fs::exists("short"));
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
  EXPECT_TRUE(failed);
  EXPECT_EQ(Processe_LastExitCode(), 5);
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
  Messages_IgnoreErrors(true);
  Processe_Kill(pid, Processe_SIGTERM);
  Messages_IgnoreErrors(false);
  EXPECT_EQ(Processe_error, 4);
  EXPECT_EQ(Messages_ErrorCount(false), 2u);  // the error and what was done
  Messages_ForgetErrorReasons();
  if (::geteuid() != 0) {
    Messages_IgnoreErrors(true);
    Processe_Kill(1, Processe_SIGTERM);
    Messages_IgnoreErrors(false);
    EXPECT_EQ(Processe_error, 5);
    Messages_ForgetErrorReasons();
  }
  // Not being permitted to signal a process still means it is alive.
  EXPECT_TRUE(Processe_IsAlive(1));
  EXPECT_TRUE(Processe_IsAlive(Processe_GetPID()));
  EXPECT_EQ(Messages_ErrorCount(false), 0u);
}

// ---- Signals ----

TEST(ProcesseSignals, SystemNumbersMapToTheLocalOnes) {
  EXPECT_EQ(Processe_LocalSignal(Processe_SIGBUS), SIGBUS);
  EXPECT_EQ(Processe_LocalSignal(Processe_SIGUSR1), SIGUSR1);
  EXPECT_EQ(Processe_LocalSignal(Processe_SIGUSR2), SIGUSR2);
  EXPECT_EQ(Processe_LocalSignal(Processe_SIGCHLD), SIGCHLD);
  EXPECT_EQ(Processe_LocalSignal(Processe_SIGSTOP), SIGSTOP);
  EXPECT_EQ(Processe_LocalSignal(Processe_SIGCONT), SIGCONT);
  EXPECT_EQ(Processe_LocalSignal(Processe_SIGSYS), SIGSYS);
  EXPECT_EQ(Processe_LocalSignal(Processe_SIGXFSZ), SIGXFSZ);
  EXPECT_EQ(Processe_LocalSignal(Processe_SIGWINCH), SIGWINCH);
  EXPECT_EQ(Processe_LocalSignal(Processe_SIGEMT), SIGSTKFLT);
  EXPECT_EQ(Processe_LocalSignal(Processe_SIGKILL), SIGKILL);
  EXPECT_EQ(Processe_LocalSignal(Processe_SIGTERM), SIGTERM);
  EXPECT_EQ(Processe_LocalSignal(40), 40);
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

TEST_F(ProcesseTest, AFaultIsReportedAndEndsWithStatusTwo) {
  const auto r = RunInChild([] {
    Processe_InstallTerminationProcedure([] { std::fprintf(stderr, "procedure ran\n"); });
    ::raise(SIGSEGV);
  });
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.exitStatus, 2);
  EXPECT_NE(r.err.find("***AbortHandler caught SIGSEGV (Processe_test).\n"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("Backtrace:"), std::string::npos);
  EXPECT_NE(r.err.find("   Set environment variable VM_POST_MORTEM to get a post mortem dump "
                       "core next time.\n"),
            std::string::npos);
  EXPECT_NE(r.err.find("procedure ran"), std::string::npos);

  const auto fpe = RunInChild([] { ::raise(SIGFPE); });
  EXPECT_EQ(fpe.exitStatus, 2);
  EXPECT_NE(fpe.err.find("***AbortHandler caught SIGFPE (Processe_test)."), std::string::npos);
}

TEST_F(ProcesseTest, QuitEndsWithStatusTwoAfterTheProcedures) {
  const auto r = RunInChild([] {
    Processe_InstallTerminationProcedure([] { std::fprintf(stderr, "procedure ran\n"); });
    ::raise(SIGQUIT);
  });
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.exitStatus, 2);
  EXPECT_EQ(r.err, "procedure ran\n");
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

TEST_F(ProcesseTest, AFatalErrorExitsWithTwoAfterTheProcedures) {
  const auto r = RunInChild([] {
    Processe_InstallTerminationProcedure([] { std::fprintf(stderr, "procedure ran\n"); });
    Messages_Error("Processe", 4);
  });
  EXPECT_EQ(r.exitStatus, 2);
  EXPECT_EQ(r.err.find("procedure ran\n"), 0u) << r.err;
  EXPECT_EQ(r.err.find("Backtrace:"), std::string::npos);  // an ordinary program
}

TEST_F(ProcesseTest, FailureExitsOfServersAndFlaggedProgramsWriteABacktrace) {
  const auto server = RunInChild([] {
    Processe_SetApplicationType(2);
    Processe_SetExitStatus(2);
    Processe_Exit();
  });
  EXPECT_EQ(server.exitStatus, 2);
  EXPECT_NE(server.err.find("Backtrace:"), std::string::npos);

  const auto flagged = RunInChild([] {
    ::setenv("VM_DO_BACKTRACE_FOR_FAILURE", "yes", 1);
    Processe_SetExitStatus(2);
    Processe_Exit();
  });
  EXPECT_NE(flagged.err.find("Backtrace:"), std::string::npos);

  const auto success = RunInChild([] {
    Processe_SetApplicationType(2);
    Processe_Exit();
  });
  EXPECT_EQ(success.exitStatus, 0);
  EXPECT_EQ(success.err, "");
}

TEST_F(ProcesseTest, WithPostMortemDumpsAFailureExitAborts) {
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

  const auto success = RunInChild([] {
    ::setenv("TEST", "1", 1);
    Processe_SetExitStatus(1);
    Processe_Exit();
  });
  EXPECT_TRUE(success.exited);
  EXPECT_EQ(success.exitStatus, 1);
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
  const auto r = RunInChild([] {
    ::setenv("VM_NO_DAEMONS", "on", 1);
    Processe_SetApplicationType(3);
    std::fprintf(stderr, "running\n");
  });
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, "*** Processe_test inhibited due to NO_DAEMONS flag\n");

  const auto allowed = RunInChild([] {
    ::setenv("VM_NO_DAEMONS", "off", 1);
    Processe_SetApplicationType(3);
    std::fprintf(stderr, "running\n");
  });
  EXPECT_EQ(allowed.exitStatus, 0);
  EXPECT_EQ(allowed.err, "running\n");
}

// ---- Run file and stop file ----

TEST_F(ProcesseTest, TheRunFileOfThisProcessHoldsItsId) {
  char path[1024];
  Processe_RunFilename(path);
  const fs::path p = path;
  EXPECT_EQ(p.parent_path(), fs::path(DatDir()));
  EXPECT_EQ(p.filename().string(), std::string(std::getenv("HOST")) + "-Processe_test-" +
                                       std::to_string(::getpid()) + ".pid");
  EXPECT_EQ(ReadFile(path), std::to_string(::getpid()) + "\n");
  struct stat st {};
  ASSERT_EQ(::stat(path, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST(ProcesseProgram, TheRunFileLivesAsLongAsTheProgram) {
  Probe probe("wait");
  ASSERT_GT(probe.pid, 0);
  ASSERT_EQ(probe.Line(), "ready\n");
  const auto files = ProbeRunFiles();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_NE(files[0].find("-ProcesseProbe-" + std::to_string(probe.pid) + ".pid"),
            std::string::npos);
  EXPECT_EQ(ReadFile(DatDir() + "/" + files[0]), std::to_string(probe.pid) + "\n");

  // Terminate ends it in order: procedures run, the run file goes, status 0.
  ::kill(probe.pid, SIGTERM);
  const int status = probe.Wait();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(probe.Line(), "terminated\n");
  EXPECT_TRUE(ProbeRunFiles().empty());
}

TEST(ProcesseProgram, AnOrdinaryEndRemovesTheRunFileAndKeepsTheStatus) {
  const auto r = RunCommand(ProbePath() + " exit 1");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "terminated\n");
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(ProbeRunFiles().empty());

  const auto fatal = RunCommand(ProbePath() + " fatal");
  EXPECT_EQ(fatal.status, 2);
  EXPECT_EQ(fatal.out, "terminated\n");
  EXPECT_TRUE(ProbeRunFiles().empty());
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
