// Test support: another process of the suite that holds an order at the stand-in
// resource manager, and the stop of the server that the clients started in the sandbox.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "DirAcces.hpp"
#include "SRM.hpp"
#include "Sandbox.hpp"

namespace orders_test {

// A forked process that reserves name exclusively and holds it until it is stopped.
class Rival {
 public:
  explicit Rival(const std::string& name) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds[0]);
      SRM_Reset();
      const char ok = SRM_Reserve(name, true) ? 1 : 0;
      if (::write(fds[1], &ok, 1) != 1) ::_exit(1);
      for (;;) ::pause();
    }
    ::close(fds[1]);
    char ok = 0;
    holds_ = ::read(fds[0], &ok, 1) == 1 && ok == 1;
    ::close(fds[0]);
  }
  ~Rival() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  Rival(const Rival&) = delete;
  Rival& operator=(const Rival&) = delete;
  bool holds() const { return holds_; }

 private:
  pid_t pid_ = -1;
  bool holds_ = false;
};

// Stops the resource manager that the first request started in this sandbox.
inline void StopResourceManager() {
  char dat[1024] = {};
  DirAcces_GetSpecialPath(DirAcces_datPath, dat);
  const std::string pidFile =
      std::string(dat) + "/DUrazaze-" + std::getenv("VM_DURAZAZE_PORT") + ".pid";
  const int pid = std::atoi(zolt::test::ReadFile(pidFile).c_str());
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  for (int i = 0; i < 60 && !zolt::test::ReadFile(pidFile).empty(); ++i) ::usleep(50000);
  if (!zolt::test::ReadFile(pidFile).empty()) ::kill(pid, SIGKILL);
}

}  // namespace orders_test
