// Reservation round trips against a real resource manager on the loopback interface:
// one exclusive RESERVE (with its reply) and one RELEASE per iteration, over the socket
// transport and over the pipe service. Target: at least 10,000 pairs per second; and
// with 10,000 holdings of other processes in the server, at least 20,000 pairs per
// second (the holdings are looked up by their fields, not compared one by one).
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

#include "BenchSandbox.hpp"
#include "SRM.hpp"
#include "SReqObj.hpp"
#include "Socket.hpp"

namespace {

namespace fs = std::filesystem;

using Environment = zolt::bench::Sandbox;

Environment& Env() {
  static Environment env("srm-bench");
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

// 10,000 exclusive order reservations of another process, made once over a
// connection of their own that stays open (one pipelined stream of requests).
bool FillWithOtherHoldings() {
  static int fd = -1;
  if (fd >= 0) return true;
  std::string error;
  fd = Socket_Connect("", std::atoi(Env().port.c_str()), 0, error);
  if (fd < 0) return false;
  std::string stream;
  for (int i = 0; i < 10000; ++i) {
    SReqObj m = SReqObj::Array(
        {SReqObj::String("RESERVE"), SReqObj::Integer(1), SReqObj::Boolean(true),
         SReqObj::String("otherhost"), SReqObj::Integer(4242), SReqObj::Boolean(false),
         SReqObj::String("*:/projects/orders/O" + std::to_string(i) + ".aif:*")});
    SReqObj_Send(m, stream);
    stream += '\n';
  }
  if (!Socket_WriteAll(fd, stream.data(), stream.size())) return false;
  // A last request with a reply: when it comes, every reservation is in.
  SReqObj probe = SReqObj::Array(
      {SReqObj::String("TEST_SERVICE"), SReqObj::Integer(1), SReqObj::Boolean(false)});
  std::string wire;
  SReqObj_Send(probe, wire);
  wire += '\n';
  if (!Socket_WriteAll(fd, wire.data(), wire.size())) return false;
  std::string input;
  for (;;) {
    SReqObj reply;
    std::size_t used = 0;
    if (SReqObj_ReceiveMessage(input, &reply, used) == SReqObj_Result::Complete) return true;
    if (Socket_WaitReadable(fd, 10000) != Socket_Wait::Ready) return false;
    char buffer[4096];
    const long n = Socket_Read(fd, buffer, sizeof buffer);
    if (n == 0 || n == -1) return false;
    if (n > 0) input.append(buffer, static_cast<std::size_t>(n));
  }
}

void AmongOthers(benchmark::State& state, bool pipe) {
  Env();
  ::unsetenv("VM_DURAZAZE_USE_SCIPC_SERVICES");
  SRM_Init();
  SRM_Reset();
  if (!SRM_Reserve("*:bench-warmup:*", true) || !FillWithOtherHoldings()) {
    state.SkipWithError("DUrazaze cannot be reached");
    return;
  }
  RoundTrips(state, pipe);
}

void BM_ReserveReleaseSocket(benchmark::State& state) { RoundTrips(state, false); }
void BM_ReserveReleasePipe(benchmark::State& state) { RoundTrips(state, true); }

void BM_ReserveReleaseSocketAmong10000(benchmark::State& state) { AmongOthers(state, false); }
void BM_ReserveReleasePipeAmong10000(benchmark::State& state) { AmongOthers(state, true); }

BENCHMARK(BM_ReserveReleaseSocket)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_ReserveReleasePipe)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_ReserveReleaseSocketAmong10000)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_ReserveReleasePipeAmong10000)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
