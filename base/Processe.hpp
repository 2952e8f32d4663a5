// Processes, commands, signals and orderly termination.
//
// Start-up (Processe_Init, on first use) remembers the process as the initial one, reads
// the "POST_MORTEM" flag, installs the standard signal handlers (only where a signal has
// no handler yet) and, unless the flag "NO_RUN_FILE" is on, refuses to start while the
// stop file "stopped" lies in the first directory of ZOLTDAT, or else writes the run file
// "<machine>-<program>-<pid>.pid" there and removes it again at termination.
//
// Standard signal handlers: interrupt is caught and ignored; alarm is caught by an empty
// handler (so that it interrupts a blocking call); quit ends the process with exit
// status 2 after the termination procedures; terminate calls Processe_Exit from the main
// flow: its handler only notes the signal, and the next wait of this module (or of the
// server connections, or a Processe_CheckTermination of the program's own loop) ends the
// process; a flow that gets to none within a second is ended from a timer signal.
// Segmentation fault, floating-point error and bus error write "***AbortHandler caught
// <signal> (<program>)." and a backtrace to standard error and end with exit status 2.
//
// Signal numbers in this interface are the system's own numbering (that of System V
// Release 4); they are mapped to the local numbers at the system call.
//
// Processe_error: 0 success, 4 no such process, 5 not permitted, 6 other kill failure,
// 7 command killed after its time-out. Failures are reported as ("Processe", value).
#pragma once

#include <sys/resource.h>
#include <time.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Strings.hpp"

extern std::uint8_t Processe_error;

void Processe_Init();

// ---- Signal numbers (the system's own numbering) ----

enum Processe_Signal : unsigned {
  Processe_SIGHUP = 1,
  Processe_SIGINT = 2,
  Processe_SIGQUIT = 3,
  Processe_SIGILL = 4,
  Processe_SIGTRAP = 5,
  Processe_SIGABRT = 6,
  Processe_SIGEMT = 7,  // the post-mortem signal
  Processe_SIGFPE = 8,
  Processe_SIGKILL = 9,
  Processe_SIGBUS = 10,
  Processe_SIGSEGV = 11,
  Processe_SIGSYS = 12,
  Processe_SIGPIPE = 13,
  Processe_SIGALRM = 14,
  Processe_SIGTERM = 15,
  Processe_SIGUSR1 = 16,
  Processe_SIGUSR2 = 17,
  Processe_SIGCHLD = 18,
  Processe_SIGPWR = 19,
  Processe_SIGWINCH = 20,
  Processe_SIGURG = 21,
  Processe_SIGPOLL = 22,
  Processe_SIGSTOP = 23,
  Processe_SIGTSTP = 24,
  Processe_SIGCONT = 25,
  Processe_SIGTTIN = 26,
  Processe_SIGTTOU = 27,
  Processe_SIGVTALRM = 28,
  Processe_SIGPROF = 29,
  Processe_SIGXCPU = 30,
  Processe_SIGXFSZ = 31,
};

// The local number of a system signal number, and back (numbers without a counterpart
// are passed unchanged).
int Processe_LocalSignal(unsigned systemSignal);
unsigned Processe_SystemSignal(int localSignal);

// ---- Commands ----

// Runs command through the shell (cut to 2050 characters) and waits for it. TRUE when
// the command's status is not 0.
bool Processe_System(StrIn command);
// Exit code of the last command or waited-for child (128 + signal when a signal ended it).
int Processe_LastExitCode();
// With timeoutMs > 0 runs "/bin/sh -c command" in its own process group and polls it
// every 32 milliseconds: 0 when it ended with status 0, 1 for any other status, 2 when
// it could not be started or outlived its time-out (then the whole group is killed with
// signal 9 and error 7 is reported). With timeoutMs <= 0 it is Processe_System (0 or 1).
// The command is never killed before timeoutMs have fully passed.
unsigned Processe_ExecuteCommand(StrIn command, long timeoutMs);
// The monotonic clock the time-outs of commands are measured with (nullptr: the
// system's); for tests.
using Processe_ClockProc = timespec (*)();
void Processe_SetClock(Processe_ClockProc clock);

// ---- Processes ----

// Replaces the process with file (searched along PATH) and its arguments (argv[0]
// included). The run file is removed first; a failure ends the process with status 1.
[[noreturn]] void Processe_Exec(StrIn file, const std::vector<std::string>& argv);
// fork() with the standard streams flushed first: the child's id in the parent, 0 in the
// child, -1 on failure.
int Processe_Fork();
// Waits for any child; its id (-1 when there is none) and whether its status was not 0.
int Processe_Wait(bool& failed);
// Waits (block) or only polls for the child pid: its id when it has ended, 0 otherwise
// (-1 on failure). failed is set when its status is not 0; the status is kept for
// Processe_LastExitCode. A child ended by a signal leaves its run file behind, which is
// removed here.
int Processe_WaitPID(int pid, bool block, bool& failed);
// The same with the resources the child used.
int Processe_WaitWithRsrcUsage(int pid, bool block, bool& failed, struct rusage& usage);
// True when the status' low seven bits are neither 0 (exited) nor 127 (stopped).
bool Processe_TerminatedBySignal(int status);
// Sends signal (system numbering); errors 4, 5, 6.
void Processe_Kill(int pid, unsigned signal);
// True unless signal 0 fails for another reason than "not permitted".
bool Processe_IsAlive(int pid);
int Processe_GetPID();
int Processe_GetPPID();
// Changes the priority by increment; false when the system refused.
bool Processe_Nice(int increment);
// Makes the process the leader of a new process group.
void Processe_SetPGrp();
// Waits for a signal.
void Processe_Pause();
// True in the process that started the module (false in a forked child).
bool Processe_IsInitialProcess();
// The last component of the program's invocation path.
const char* Processe_ProgramName();

// ---- Signals ----

// Called with the signal's system number.
using Processe_SignalHandler = void (*)(unsigned signal);
void Processe_InstallSignalHandler(unsigned signal, Processe_SignalHandler handler);
void Processe_SignalDefault(unsigned signal);
void Processe_SignalIgnore(unsigned signal);

// ---- Termination ----

// Ends the process through Processe_Exit when the termination signal has arrived; for the
// waits and loops of the main flow.
void Processe_CheckTermination();
bool Processe_TerminationPending();

using Processe_TerminationProcedure = void (*)();

// Procedures run at termination, the most recently installed first, each once.
void Processe_InstallTerminationProcedure(Processe_TerminationProcedure proc);
// One extra clean-up each (a new one replaces the old), run after the termination
// procedures and only in the initial process.
void Processe_InstallSharMemCleanUp(Processe_TerminationProcedure proc);
void Processe_InstallSemaphorCleanUp(Processe_TerminationProcedure proc);
void Processe_SetExitStatus(int status);
int Processe_ExitStatus();
// Orderly termination: with exit status 2 a backtrace (application types 2 and 3, or the
// flag "DO_BACKTRACE_FOR_FAILURE"); the termination procedures; in the initial process
// the clean-ups and closing every FileIO descriptor; exit with the exit status. With
// status 2 and post-mortem dumps enabled (flag "POST_MORTEM" or a non-empty TEST) it
// writes "HALT in Processe.Exit\n" and aborts so that a core is written.
// A call made while termination is under way (from a termination procedure or a signal
// handler) carries on with the procedures not yet run and ends the process from there.
[[noreturn]] void Processe_Exit();

// ---- Kind of program, run file and stop file ----

// 0..3; type 3 is a daemon, which ends at once with exit status 1 while the flag
// "NO_DAEMONS" is on (except the program "ZOzadovi").
void Processe_SetApplicationType(unsigned type);
unsigned Processe_GetApplicationType();
// The run file of this process: "<machine>-<program>-<pid>.pid" in the first directory
// of ZOLTDAT.
void Processe_RunFilename(StrOut path);
// True when the stop file "stopped" lies in the first directory of ZOLTDAT.
bool Processe_CheckStopFile();
