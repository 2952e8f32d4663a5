// A small program that lives the life of a suite program, for the process tests: it
// starts the process module (run file, stop file, signal handlers) and then does what
// its first argument asks.
//   wait        prints "ready" and waits for signals; ends through the handlers
//   exit N      ends with status N through Processe_Exit
//   fatal       reports an error outside any ignore bracket
//   daemon      declares itself a daemon
//   exec F A..  replaces itself with program F and its arguments (A.. with F's name first)
//   cleanups    installs the shared-memory and semaphore clean-ups, then ends
// Every way of ending prints "terminated" from a termination procedure.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Messages.hpp"
#include "Processe.hpp"
#include "UArgs.hpp"

int main(int argc, char** argv, char** envp) {
  M2C_INIT(argc, argv, envp);
  Processe_Init();
  Processe_InstallTerminationProcedure([] {
    std::printf("terminated\n");
    std::fflush(stdout);
  });
  const char* what = argc > 1 ? argv[1] : "";
  if (std::strcmp(what, "wait") == 0) {
    // Past the buffer of stdout: the terminate handler prints through it, and the
    // signal may come the moment "ready" has been read.
    ssize_t written = ::write(1, "ready\n", 6);
    (void)written;
    for (;;) Processe_Pause();
  }
  if (std::strcmp(what, "exit") == 0) {
    Processe_SetExitStatus(argc > 2 ? std::atoi(argv[2]) : 0);
    Processe_Exit();
  }
  if (std::strcmp(what, "fatal") == 0) {
    Messages_Error("Processe", 4);
  }
  if (std::strcmp(what, "exec") == 0 && argc > 2) {
    Processe_Exec(StrIn::FromC(argv[2]), std::vector<std::string>(argv + 2, argv + argc));
  }
  if (std::strcmp(what, "cleanups") == 0) {
    Processe_InstallSharMemCleanUp([] { std::printf("shared memory\n"); });
    Processe_InstallSemaphorCleanUp([] { std::printf("semaphores\n"); });
  }
  if (std::strcmp(what, "daemon") == 0) {
    Processe_SetApplicationType(3);
    std::printf("running\n");
  }
  Processe_Exit();
}
