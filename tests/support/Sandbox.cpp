#include "Sandbox.hpp"

#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace zolt::test {

namespace {
std::string g_sandbox;
}

void SetSandboxDir(const std::string& dir) { g_sandbox = dir; }

const std::string& SandboxDir() { return g_sandbox; }

const std::string& BuildDir() {
  static const std::string dir = ZOLT_BUILD_DIR;
  return dir;
}

std::string ProgramPath(const std::string& name) { return BuildDir() + "/bin/" + name; }

CommandResult RunCommand(const std::string& command) {
  const std::string outFile = g_sandbox + "/.cmd-out";
  const std::string errFile = g_sandbox + "/.cmd-err";
  const std::string full = "(" + command + ") >" + outFile + " 2>" + errFile + " </dev/null";
  CommandResult r;
  const int rc = std::system(full.c_str());
  if (rc != -1 && WIFEXITED(rc)) {
    r.status = WEXITSTATUS(rc);
  } else if (rc != -1 && WIFSIGNALED(rc)) {
    r.status = 128 + WTERMSIG(rc);
  }
  r.out = ReadFile(outFile);
  r.err = ReadFile(errFile);
  std::remove(outFile.c_str());
  std::remove(errFile.c_str());
  return r;
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool Eventually(const std::function<bool()>& condition, int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return condition();
}

}  // namespace zolt::test
