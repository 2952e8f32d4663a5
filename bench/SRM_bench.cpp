// Reservation round trips against a real resource manager on the loopback interface:
// one exclusive RESERVE (with its reply) and one RELEASE per iteration, over the socket
// transport and over the pipe service. Target: at least 10,000 pairs per second.
//
// The benchmark works in a private directory: the server's data directory, the
// customer directory and the port are its own, and the server it starts (from the
// build tree's bin/) is stopped at the end.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "SRM.hpp"
#include "Socket.hpp"

namespace {

namespace fs = std::filesystem;

struct Environment {
  std::string root;
  std::string port;

  Environment() {
    char templ[] = "/tmp/srm-bench-XXXXXX";
    root = ::mkdtemp(templ);
    for (const char* var : {"VM_PROJECTS", "VM_CUSTOMER", "VM_NODE", "ZOLTDAT", "TMP", "HOME"}) {
      const std::string dir = root + "/" + var;
      fs::create_directories(dir);
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

  ~Environment() {
    std::ifstream pidFile(root + "/ZOLTDAT/DUrazaze-" + port + ".pid");
    int pid = 0;
    if (pidFile >> pid && pid > 0) {
      ::kill(pid, SIGTERM);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      ::kill(pid, SIGKILL);
    }
    std::error_code ec;
    fs::remove_all(root, ec);
  }
};

Environment& Env() {
  static Environment env;
  return env;
}

void RoundTrips(benchmark::State& state, bool pipe) {
  Env();
  if (pipe) {
    ::setenv("VM_DURAZAZE_USE_SCIPC_SERVICES", "on", 1);
  } else {
    ::unsetenv("VM_DURAZAZE_USE_SCIPC_SERVICES");
  }
  SRM_Init();
  SRM_Reset();
  // The first reservation connects and, the first time, starts the server.
  if (!SRM_Reserve("*:bench-warmup:*", false)) {
    state.SkipWithError("DUrazaze cannot be reached");
    return;
  }
  SRM_Release("*:bench-warmup:*");
  long refused = 0;
  for (auto _ : state) {
    if (!SRM_Reserve("*:/projects/orders/Bench.aif:*", false)) ++refused;
    SRM_Release("*:/projects/orders/Bench.aif:*");
  }
  if (refused > 0) state.SkipWithError("reservations were refused");
  state.counters["pairs/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_ReserveReleaseSocket(benchmark::State& state) { RoundTrips(state, false); }
void BM_ReserveReleasePipe(benchmark::State& state) { RoundTrips(state, true); }

BENCHMARK(BM_ReserveReleaseSocket)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_ReserveReleasePipe)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
