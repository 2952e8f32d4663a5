// A private X server for tests with real windows and real input: Xvfb on a display number
// it picks itself, stopped when the object goes.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace zolt::test {

class PrivateXvfb {
 public:
  static bool Installed() {
    const char* path = std::getenv("PATH");
    const std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    for (std::size_t at = 0; at <= dirs.size();) {
      const std::size_t end = std::min(dirs.find(':', at), dirs.size());
      if (::access((dirs.substr(at, end - at) + "/Xvfb").c_str(), X_OK) == 0) return true;
      at = end + 1;
    }
    return false;
  }

  // The display name (":N"), empty on failure. Xvfb writes the number it chose to the pipe.
  std::string Start(const char* screen = "1280x1024x24") {
    int fds[2];
    if (::pipe(fds) != 0) return "";
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds[0]);
      const std::string fd = std::to_string(fds[1]);
      if (std::freopen("/dev/null", "w", stderr) == nullptr) ::_exit(126);
      ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0", screen,
               static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[1]);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    char c;
    while (::poll(&p, 1, 10000) > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(fds[0]);
    return number.empty() ? "" : ":" + number;
  }

  ~PrivateXvfb() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_ = -1;
};

}  // namespace zolt::test
