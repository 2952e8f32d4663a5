// What the device tests share: waiting on a loaded machine, a competing process that
// holds reservations until it is killed, and stopping the resource manager that the
// catalogue's queries started in the sandbox.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "SRM.hpp"
#include "Sandbox.hpp"

namespace zolt::test {

inline std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

// A forked process with its own resource manager connection runs body and then waits
// to be killed; ok tells what body returned.
struct Holder {
  pid_t pid = -1;
  bool ok = false;
  void Kill() const {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
};

inline Holder HoldInChild(const std::function<bool()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  Holder h;
  h.pid = ::fork();
  if (h.pid == 0) {
    SRM_Reset();
    const char ok = body() ? 1 : 0;
    if (::write(fds[1], &ok, 1) != 1) ::_exit(3);
    for (;;) ::pause();
  }
  ::close(fds[1]);
  char ok = 0;
  h.ok = ::read(fds[0], &ok, 1) == 1 && ok == 1;
  ::close(fds[0]);
  return h;
}

inline void StopResourceManager() {
  const std::string pidFile = Env("ZOLTDAT") + "/DUrazaze-" + Env("VM_DURAZAZE_PORT") + ".pid";
  const int pid = std::atoi(ReadFile(pidFile).c_str());
  if (pid > 0 && ::kill(pid, SIGTERM) == 0 &&
      !Eventually([&] { return ReadFile(pidFile).empty(); }, 3000)) {
    ::kill(pid, SIGKILL);
  }
}

}  // namespace zolt::test
