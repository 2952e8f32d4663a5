// Running code of a test with its standard error captured, in this process or in a
// forked child (for code that ends the process).
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace zolt::test {

namespace capture_detail {
inline std::string ReadAll(int fd) {
  std::string out;
  char buf[4096];
  ssize_t n;
  ::lseek(fd, 0, SEEK_SET);
  while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
  return out;
}
inline int TempFile() {
  const char* dir = std::getenv("TMP");
  std::string templ = std::string(dir && *dir ? dir : "/tmp") + "/capture-XXXXXX";
  const int fd = ::mkstemp(templ.data());
  if (fd >= 0) ::unlink(templ.c_str());
  return fd;
}
}  // namespace capture_detail

// Runs fn with file descriptor 2 sent to a file; returns what was written there.
template <typename Fn>
std::string CaptureStderr(Fn&& fn) {
  std::fflush(stderr);
  const int file = capture_detail::TempFile();
  const int saved = ::dup(2);
  ::dup2(file, 2);
  fn();
  std::fflush(stderr);
  ::dup2(saved, 2);
  ::close(saved);
  std::string out = capture_detail::ReadAll(file);
  ::close(file);
  return out;
}

struct ChildResult {
  bool exited = false;
  int exitStatus = -1;  // when exited
  int signal = 0;       // when killed by a signal
  std::string err;      // its standard error
};

// Runs fn in a forked child whose standard error is captured; a child whose fn returns
// exits with status 0.
template <typename Fn>
ChildResult RunInChild(Fn&& fn) {
  std::fflush(nullptr);
  const int file = capture_detail::TempFile();
  ChildResult r;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(file, 2);
    fn();
    std::fflush(nullptr);
    std::_Exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.exited = WIFEXITED(status);
  if (r.exited) r.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
  r.err = capture_detail::ReadAll(file);
  ::close(file);
  return r;
}

}  // namespace zolt::test
