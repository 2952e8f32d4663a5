#include "Processe.hpp"

#include <execinfo.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "DirAcces.hpp"
#include "FileIO.hpp"
#include "Messages.hpp"
#include "UArgs.hpp"
#include "UCommon.hpp"

std::uint8_t Processe_error = 0;

namespace {

constexpr std::size_t kMaxCommand = 2050;
constexpr long kPollMs = 32;

std::vector<Processe_TerminationProcedure>& Procedures() {
  static std::vector<Processe_TerminationProcedure> procs;
  return procs;
}

int exitStatus = 0;
int initialPid = 0;
bool terminating = false;
bool postMortem = false;
unsigned applicationType = 0;
int lastExitCode = 0;
Processe_TerminationProcedure sharMemCleanUp = nullptr;
Processe_TerminationProcedure semaphorCleanUp = nullptr;
char runFile[1024] = "";  // the run file this process created (empty when none)

// The termination signal is only noted by its handler; the main flow ends the process at
// its next wait (Processe_CheckTermination), where standard I/O, the allocator and the
// server connections are in a known state. A flow that does not get there within
// kTerminationFallbackMs is ended from the fallback timer's signal as before.
volatile std::sig_atomic_t terminationPending = 0;
constexpr long kTerminationFallbackMs = 1000;
timer_t fallbackTimer{};
volatile std::sig_atomic_t fallbackTimerPid = 0;  // the process that owns the timer
int fallbackSignal = 0;

// The clock of the command time-outs; replaceable for tests.
Processe_ClockProc monotonicClock = nullptr;

// The handlers installed through Processe_InstallSignalHandler, by local number.
Processe_SignalHandler handlers[NSIG] = {};

// System V numbers and their Linux counterparts where they differ.
struct SignalPair {
  unsigned system;
  int local;
};
constexpr SignalPair kSignalMap[] = {
    {7, 16},  {10, 7},  {12, 31}, {16, 10}, {17, 12}, {18, 17}, {19, 30},
    {20, 28}, {21, 23}, {22, 29}, {23, 19}, {24, 20}, {25, 18}, {26, 21},
    {27, 22}, {28, 26}, {29, 27}, {30, 24}, {31, 25},
};

void WriteAll(int fd, const char* text) {
  std::size_t left = std::strlen(text);
  while (left > 0) {
    const ssize_t n = ::write(fd, text, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    left -= static_cast<std::size_t>(n);
  }
}

void WriteBacktrace() {
  void* frames[64];
  const int n = ::backtrace(frames, 64);
  WriteAll(2, "Backtrace:\n");
  ::backtrace_symbols_fd(frames, n, 2);
}

// The exit code of a wait status as a shell reports it.
int ExitCode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return status;
}

std::string RunFilenameOf(int pid) {
  char machine[256];
  char dat[1024];
  DirAcces_GetMachineName(machine);
  DirAcces_GetSpecialPath(DirAcces_datPath, dat);
  char name[512];
  std::snprintf(name, sizeof name, "%s-%s-%d.pid", machine, Processe_ProgramName(), pid);
  char path[1024];
  DirAcces_IncludePath(dat, name, path);
  return path;
}

void RemoveRunFile() {
  // The file belongs to the initial process; a forked child leaves it to its parent.
  if (runFile[0] == '\0' || !Processe_IsInitialProcess()) return;
  if (::unlink(runFile) != 0) {
    std::fprintf(stderr, "Something strange just happened: Removing the runf file '%s' failed.\n",
                 runFile);
    std::fprintf(stderr, "May be the calling process got confused about the environment?\n");
    std::fflush(stderr);
  }
  runFile[0] = '\0';
}

void CreateRunFile() {
  const std::string path = RunFilenameOf(::getpid());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return;  // a missing run file only hides the process from the monitors
  ::fchmod(fd, 0644);
  const std::string text = std::to_string(::getpid()) + "\n";
  WriteAll(fd, text.c_str());
  ::close(fd);
  Strings_Assign(StrIn(path), runFile);
  Processe_InstallTerminationProcedure(RemoveRunFile);
}

// Steps 3 and 4 of the orderly termination: the procedures, the clean-ups of the initial
// process, the exit.
[[noreturn]] void Finish() {
  auto& procs = Procedures();
  while (!procs.empty()) {
    const auto proc = procs.back();
    procs.pop_back();
    proc();
  }
  if (Processe_IsInitialProcess()) {
    if (auto p = std::exchange(sharMemCleanUp, nullptr)) p();
    if (auto p = std::exchange(semaphorCleanUp, nullptr)) p();
    FileIO_CloseAll();
  }
  std::fflush(nullptr);
  const char* test = std::getenv("TEST");
  if (exitStatus == 2 && (postMortem || (test != nullptr && *test != '\0'))) {
    WriteAll(2, "HALT in Processe.Exit\n");
    ::signal(SIGABRT, SIG_DFL);
    ::kill(::getpid(), SIGABRT);
  }
  std::exit(exitStatus);
}

// ---- Standard signal handlers ----

void Trampoline(int sig) {
  if (sig > 0 && sig < NSIG && handlers[sig] != nullptr) handlers[sig](Processe_SystemSignal(sig));
}

void IgnoreInterrupt(int) {}
void EmptyAlarm(int) {}

void QuitHandler(int) {
  exitStatus = 2;
  terminating = true;
  Finish();
}

void TerminateHandler(int) {
  if (terminationPending != 0) return;
  terminationPending = 1;
  if (fallbackTimerPid != 0 && fallbackTimerPid == ::getpid()) {
    itimerspec due{};
    due.it_value.tv_sec = kTerminationFallbackMs / 1000;
    due.it_value.tv_nsec = kTerminationFallbackMs % 1000 * 1000000;
    ::timer_settime(fallbackTimer, 0, &due, nullptr);
  }
}

// The main flow did not take the termination in time: end from here after all.
void FallbackHandler(int) {
  if (terminationPending != 0 && !terminating) Processe_Exit();
}

void MakeFallbackTimer() {
  sigevent event{};
  event.sigev_notify = SIGEV_SIGNAL;
  event.sigev_signo = fallbackSignal;
  fallbackTimerPid = ::timer_create(CLOCK_MONOTONIC, &event, &fallbackTimer) == 0 ? ::getpid() : 0;
}

void DisarmFallbackTimer() {
  if (fallbackTimerPid == 0 || fallbackTimerPid != ::getpid()) return;
  const itimerspec off{};
  ::timer_settime(fallbackTimer, 0, &off, nullptr);
}

// Timers are not inherited: a forked child that goes on running this code gets its own.
void AfterForkInChild() {
  if (fallbackTimerPid != 0) MakeFallbackTimer();
}

void InstallTerminationFallback() {
  fallbackSignal = SIGRTMIN + 3;
  struct sigaction sa {};
  sa.sa_handler = FallbackHandler;
  sigemptyset(&sa.sa_mask);
  ::sigaction(fallbackSignal, &sa, nullptr);
  MakeFallbackTimer();
  ::pthread_atfork(nullptr, nullptr, AfterForkInChild);
}

timespec Now() {
  timespec now{};
  if (monotonicClock != nullptr) return monotonicClock();
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

// Whole milliseconds from since to now; never rounded up, so a time-out is never cut short.
long ElapsedMs(const timespec& since, const timespec& now) {
  const long long ns = (static_cast<long long>(now.tv_sec) - since.tv_sec) * 1000000000LL +
                       (now.tv_nsec - since.tv_nsec);
  return static_cast<long>(ns / 1000000);
}

void AbortHandler(int sig) {
  const char* name = sig == SIGSEGV ? "SIGSEGV" : sig == SIGFPE ? "SIGFPE" : "SIGBUS";
  char text[512];
  std::snprintf(text, sizeof text, "***AbortHandler caught %s (%s).\n", name,
                Processe_ProgramName());
  WriteAll(2, text);
  WriteBacktrace();
  if (!postMortem) {
    WriteAll(2,
             "   Set environment variable VM_POST_MORTEM to get a post mortem dump core next "
             "time.\n");
  }
  exitStatus = 2;
  terminating = true;
  Finish();
}

// Installs handler for the local signal unless the program already handles it.
void InstallStandard(int sig, void (*handler)(int), int flags) {
  struct sigaction old {};
  if (::sigaction(sig, nullptr, &old) != 0) return;
  if ((old.sa_flags & SA_SIGINFO) != 0 || old.sa_handler != SIG_DFL) return;
  struct sigaction sa {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = flags;
  ::sigaction(sig, &sa, nullptr);
}

void InstallStandardHandlers() {
  InstallStandard(SIGINT, IgnoreInterrupt, SA_RESTART);
  InstallStandard(SIGALRM, EmptyAlarm, 0);
  InstallStandard(SIGQUIT, QuitHandler, SA_RESETHAND);
  struct sigaction term {};
  if (::sigaction(SIGTERM, nullptr, &term) == 0 && term.sa_handler == SIG_DFL &&
      (term.sa_flags & SA_SIGINFO) == 0) {
    // Without SA_RESTART, so that a wait is interrupted and looks at the pending flag.
    InstallStandard(SIGTERM, TerminateHandler, 0);
    InstallTerminationFallback();
  }
  // Reset to the default at once so that a fault inside the handler ends the process.
  InstallStandard(SIGSEGV, AbortHandler, SA_RESETHAND | SA_NODEFER);
  InstallStandard(SIGFPE, AbortHandler, SA_RESETHAND | SA_NODEFER);
  InstallStandard(SIGBUS, AbortHandler, SA_RESETHAND | SA_NODEFER);
}

void ReportKill(int err, int pid, unsigned signal) {
  Processe_error = err == ESRCH ? 4 : err == EPERM ? 5 : 6;
  Messages_SupplyAdditionalInfo("::Kill: process " + std::to_string(pid) + ", signal " +
                                std::to_string(signal) + ": " + std::strerror(err));
  Messages_Error("Processe", Processe_error);
}

}  // namespace

void Processe_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "Processe");
  if (!init) return;
  UCommon_Init();
  UArgs_Init();
  Strings_Init();
  Messages_Init();
  DirAcces_Init();
  FileIO_Init();

  initialPid = ::getpid();
  exitStatus = 0;
  postMortem = DirAcces_CheckFlag("POST_MORTEM");
  InstallStandardHandlers();
  if (!DirAcces_CheckFlag("NO_RUN_FILE")) {
    if (Processe_CheckStopFile()) {
      std::fprintf(stderr, "*** Velmar software is currently disabled using a stopped file\n");
      std::fflush(stderr);
      exitStatus = 1;
      Processe_Exit();
    }
    CreateRunFile();
  }
}

// ---- Signal numbers ----

int Processe_LocalSignal(unsigned systemSignal) {
  for (const auto& p : kSignalMap) {
    if (p.system == systemSignal) return p.local;
  }
  return static_cast<int>(systemSignal);
}

unsigned Processe_SystemSignal(int localSignal) {
  for (const auto& p : kSignalMap) {
    if (p.local == localSignal) return p.system;
  }
  return static_cast<unsigned>(localSignal);
}

// ---- Commands ----

bool Processe_System(StrIn command) {
  std::string cmd = command.str();
  if (cmd.size() > kMaxCommand) cmd.resize(kMaxCommand);
  std::fflush(nullptr);
  const int status = std::system(cmd.c_str());
  lastExitCode = status == -1 ? 127 : ExitCode(status);
  Processe_CheckTermination();
  return status != 0;
}

int Processe_LastExitCode() { return lastExitCode; }

unsigned Processe_ExecuteCommand(StrIn command, long timeoutMs) {
  Processe_error = 0;
  if (timeoutMs <= 0) return Processe_System(command) ? 1 : 0;
  const std::string cmd = command.str();
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) return 2;
  if (pid == 0) {
    // Its own group, so that the time-out reaches everything the command started.
    ::setpgid(0, 0);
    ::execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::setpgid(pid, pid);  // the child may not have got there yet
  const timespec start = Now();
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      lastExitCode = ExitCode(status);
      return status == 0 ? 0 : 1;
    }
    if (r < 0 && errno != EINTR) return 2;
    Processe_CheckTermination();
    const long elapsed = ElapsedMs(start, Now());
    if (elapsed >= timeoutMs) break;
    const long wait = std::min(kPollMs, timeoutMs - elapsed);
    struct timespec pause {
      wait / 1000, (wait % 1000) * 1000000
    };
    ::nanosleep(&pause, nullptr);
  }
  ::kill(-pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  lastExitCode = ExitCode(status);
  Processe_error = 7;
  Messages_SupplyAdditionalInfo("::ExecuteCommand: killed after " + std::to_string(timeoutMs) +
                                " ms: " + cmd);
  Messages_Error("Processe", 7);
  return 2;
}

// ---- Processes ----

void Processe_Exec(StrIn file, const std::vector<std::string>& argv) {
  RemoveRunFile();
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const std::string f = file.str();
  std::fflush(nullptr);
  ::execvp(f.c_str(), args.data());
  std::fprintf(stderr, "*** Processe.Exec: cannot execute %s: %s\n", f.c_str(),
               std::strerror(errno));
  exitStatus = 1;
  Processe_Exit();
}

int Processe_Fork() {
  std::fflush(nullptr);
  return static_cast<int>(::fork());
}

int Processe_Wait(bool& failed) {
  int status = 0;
  pid_t r;
  while ((r = ::wait(&status)) < 0 && errno == EINTR) Processe_CheckTermination();
  failed = r > 0 && status != 0;
  if (r > 0) lastExitCode = ExitCode(status);
  return static_cast<int>(r);
}

int Processe_WaitWithRsrcUsage(int pid, bool block, bool& failed, struct rusage& usage) {
  int status = 0;
  pid_t r;
  while ((r = ::wait4(pid, &status, block ? 0 : WNOHANG, &usage)) < 0 && errno == EINTR) {
    Processe_CheckTermination();
  }
  failed = false;
  if (r <= 0) return static_cast<int>(r);
  failed = status != 0;
  lastExitCode = ExitCode(status);
  if (WIFSIGNALED(status)) {
    // A child killed by a signal had no chance to remove its run file.
    ::unlink(RunFilenameOf(r).c_str());
  }
  return static_cast<int>(r);
}

int Processe_WaitPID(int pid, bool block, bool& failed) {
  struct rusage usage {};
  return Processe_WaitWithRsrcUsage(pid, block, failed, usage);
}

bool Processe_TerminatedBySignal(int status) {
  const int low = status & 0x7f;
  return low != 0 && low != 0x7f;
}

void Processe_Kill(int pid, unsigned signal) {
  Processe_error = 0;
  if (::kill(pid, Processe_LocalSignal(signal)) != 0) ReportKill(errno, pid, signal);
}

bool Processe_IsAlive(int pid) {
  {
    const Messages_Ignoring quiet;
    Processe_Kill(pid, 0);
  }
  Messages_ForgetErrorReasons();
  const bool alive = Processe_error == 0 || Processe_error == 5;
  Processe_error = 0;
  return alive;
}

int Processe_GetPID() { return static_cast<int>(::getpid()); }

int Processe_GetPPID() { return static_cast<int>(::getppid()); }

bool Processe_Nice(int increment) {
  errno = 0;
  return ::nice(increment) != -1 || errno == 0;
}

void Processe_SetPGrp() { ::setpgid(0, 0); }

void Processe_Pause() {
  ::pause();
  Processe_CheckTermination();
}

bool Processe_IsInitialProcess() { return initialPid == 0 || ::getpid() == initialPid; }

const char* Processe_ProgramName() {
  const char* name = UArgs_ProgramName();
  if (std::strcmp(name, "???") == 0 && program_invocation_short_name != nullptr) {
    return program_invocation_short_name;
  }
  return name;
}

// ---- Signals ----

void Processe_InstallSignalHandler(unsigned signal, Processe_SignalHandler handler) {
  const int sig = Processe_LocalSignal(signal);
  if (sig <= 0 || sig >= NSIG) return;
  handlers[sig] = handler;
  struct sigaction sa {};
  sa.sa_handler = Trampoline;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  ::sigaction(sig, &sa, nullptr);
}

void Processe_SignalDefault(unsigned signal) {
  const int sig = Processe_LocalSignal(signal);
  if (sig <= 0 || sig >= NSIG) return;
  handlers[sig] = nullptr;
  ::signal(sig, SIG_DFL);
}

void Processe_SignalIgnore(unsigned signal) {
  const int sig = Processe_LocalSignal(signal);
  if (sig <= 0 || sig >= NSIG) return;
  handlers[sig] = nullptr;
  ::signal(sig, SIG_IGN);
}

// ---- Termination ----

void Processe_InstallTerminationProcedure(Processe_TerminationProcedure proc) {
  Procedures().push_back(proc);
}

void Processe_InstallSharMemCleanUp(Processe_TerminationProcedure proc) { sharMemCleanUp = proc; }

void Processe_InstallSemaphorCleanUp(Processe_TerminationProcedure proc) { semaphorCleanUp = proc; }

void Processe_SetExitStatus(int status) { exitStatus = status; }

int Processe_ExitStatus() { return exitStatus; }

void Processe_CheckTermination() {
  if (terminationPending != 0 && !terminating) Processe_Exit();
}

bool Processe_TerminationPending() { return terminationPending != 0; }

void Processe_SetClock(Processe_ClockProc clock) { monotonicClock = clock; }

void Processe_Exit() {
  if (!terminating) {
    terminating = true;
    DisarmFallbackTimer();
    if (exitStatus == 2 &&
        (applicationType >= 2 || DirAcces_CheckFlag("DO_BACKTRACE_FOR_FAILURE"))) {
      WriteBacktrace();
    }
  }
  Finish();
}

// ---- Kind of program, run file and stop file ----

void Processe_SetApplicationType(unsigned type) {
  applicationType = type;
  if (type == 3 && DirAcces_CheckFlag("NO_DAEMONS") &&
      std::strcmp(Processe_ProgramName(), "ZOzadovi") != 0) {
    std::fprintf(stderr, "*** %s inhibited due to NO_DAEMONS flag\n", Processe_ProgramName());
    std::fflush(stderr);
    exitStatus = 1;
    Processe_Exit();
  }
}

unsigned Processe_GetApplicationType() { return applicationType; }

void Processe_RunFilename(StrOut path) { Strings_Assign(StrIn(RunFilenameOf(::getpid())), path); }

bool Processe_CheckStopFile() {
  char path[1024];
  DirAcces_IncludeSpecialPath(DirAcces_datPath, "stopped", path);
  return DirAcces_Access(path, DirAcces_exists);
}
