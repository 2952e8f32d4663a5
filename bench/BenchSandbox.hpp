// A private installation for benchmarks that talk to our resource manager: the directory
// variables point into a fresh directory, the server's port is a free one of its own, the
// build tree's programs come first on PATH, and the server a benchmark started (found by
// its pid file) is stopped and the directory removed at the end.
#pragma once

#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "Socket.hpp"

namespace zolt::bench {

struct Sandbox {
  std::string root;
  std::string port;

  explicit Sandbox(const char* name) {
    std::string templ = "/tmp/" + std::string(name) + "-XXXXXX";
    root = ::mkdtemp(templ.data());
    for (const char* var : {"VM_PROJECTS", "VM_CUSTOMER", "VM_NODE", "ZOLTDAT", "TMP", "HOME"}) {
      const std::string dir = root + "/" + var;
      std::filesystem::create_directories(dir);
      ::setenv(var, dir.c_str(), 1);
    }
    std::string error;
    int fd = Socket_Listen(0, 1, error);
    port = std::to_string(Socket_LocalPort(fd));
    Socket_Close(fd);
    ::setenv("VM_DURAZAZE_PORT", port.c_str(), 1);
    const char* path = std::getenv("PATH");
    ::setenv("PATH", (std::string(ZOLT_BIN_DIR) + ":" + (path ? path : "/usr/bin:/bin")).c_str(),
             1);
    ::unsetenv("VERAR_EMPLOYER");
    ::unsetenv("VM_DURAZAZE_USE_SCIPC_SERVICES");
  }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  ~Sandbox() {
    std::ifstream pidFile(root + "/ZOLTDAT/DUrazaze-" + port + ".pid");
    int pid = 0;
    if (pidFile >> pid && pid > 0) {
      ::kill(pid, SIGTERM);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      ::kill(pid, SIGKILL);
    }
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
};

}  // namespace zolt::bench
