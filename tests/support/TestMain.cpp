// Main of every test program: builds the process's sandbox, points the suite's
// directory variables and server ports into it, runs the tests and removes it again.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Sandbox.hpp"

namespace zolt::test {
void SetSandboxDir(const std::string& dir);
}

namespace {

namespace fs = std::filesystem;

// A TCP port on the loopback interface that nobody listens on right now.
// Ports the system has free now, all different: each stays bound until all are chosen, or
// the system could hand out the same port twice and the job server and the resource
// manager of one test would meet on it.
std::vector<int> FreePorts(int count) {
  std::vector<int> fds, ports;
  for (int i = 0; i < count; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
      port = ntohs(a.sin_port);
    }
    if (fd >= 0) fds.push_back(fd);
    ports.push_back(port);
  }
  for (const int fd : fds) ::close(fd);
  return ports;
}

std::string MakeSandbox() {
  const char* base = std::getenv("ZOLT_TEST_TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/zolt-test-XXXXXX";
  if (::mkdtemp(templ.data()) == nullptr) {
    std::perror("mkdtemp");
    std::exit(3);
  }
  const fs::path root = templ;
  const std::pair<const char*, const char*> dirs[] = {{"VM_PROJECTS", "projects"},
                                                      {"VM_CUSTOMER", "customer"},
                                                      {"VM_NODE", "node"},
                                                      {"ZOLTLIB", "lib"},
                                                      {"ZOLTDAT", "dat"},
                                                      {"TMP", "tmp"},
                                                      {"HOME", "home"},
                                                      {"VM_NETROOT", "net"},
                                                      {"ZOLTENV", "env"}};
  for (const auto& [var, sub] : dirs) {
    fs::create_directories(root / sub);
    ::setenv(var, (root / sub).c_str(), 1);
  }
  ::setenv("TMPDIR", (root / "tmp").c_str(), 1);
  // The catalogues come from the build tree, seen through the sandbox's own env/.
  const fs::path built = fs::path(zolt::test::BuildDir()) / "env";
  std::error_code ec;
  for (const auto& lang : fs::directory_iterator(built, ec)) {
    fs::create_directory_symlink(lang.path(), root / "env" / lang.path().filename(), ec);
  }
  const std::vector<int> ports = FreePorts(2);
  ::setenv("VM_DUVUVUZO_PORT", std::to_string(ports[0]).c_str(), 1);
  ::setenv("VM_DURAZAZE_PORT", std::to_string(ports[1]).c_str(), 1);
  // Programs of the build tree come first on PATH (the clients start the servers by name).
  const char* path = std::getenv("PATH");
  ::setenv("PATH", (zolt::test::BuildDir() + "/bin:" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
  for (const char* var : {"LANGUAGE", "LANG", "LC_ALL", "DEBUG", "TEST", "VM_POST_MORTEM",
                          "VERAR_EMPLOYER", "DISPLAY"}) {
    ::unsetenv(var);
  }
  fs::create_directories(root / "work");
  fs::current_path(root / "work");
  return root.string();
}

// Stops every stand-in server that still runs for this sandbox (its pid file lies in the
// sandbox's data directory), whichever test started it and whether or not that test
// stopped it: a server outliving its sandbox would serve a deleted directory for ever.
void StopSandboxServers(const fs::path& dat) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dat, ec)) {
    const std::string file = entry.path().filename().string();
    const std::string name = file.substr(0, file.find('-'));
    if ((name != "DUrazaze" && name != "DUvuvuzo") || entry.path().extension() != ".pid") continue;
    int pid = 0;
    if (!(std::ifstream(entry.path()) >> pid) || pid <= 0) continue;
    std::string comm;
    std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/comm"), comm);
    if (comm != name || ::kill(pid, SIGTERM) != 0) continue;
    for (int i = 0; i < 60 && ::kill(pid, 0) == 0 && fs::exists(entry.path(), ec); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (::kill(pid, 0) == 0 && fs::exists(entry.path(), ec)) ::kill(pid, SIGKILL);
  }
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const std::string sandbox = MakeSandbox();
  zolt::test::SetSandboxDir(sandbox);
  const int rc = RUN_ALL_TESTS();
  StopSandboxServers(fs::path(sandbox) / "dat");
  const char* keep = std::getenv("ZOLT_KEEP_SANDBOX");
  if (!(keep && *keep)) {
    std::error_code ec;
    fs::current_path("/", ec);
    fs::remove_all(sandbox, ec);
  }
  return rc;
}
