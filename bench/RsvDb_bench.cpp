// The resource manager's database alone: one exclusive reservation and its release per
// iteration while 10,000 other holdings are in it, with names of the usual forms
// (exclusive and shared order names with a wildcard scope, device names of a host).
// Target: at least 20,000 pairs per second; the holdings are found by their fields,
// so the figure hardly depends on their number.
#include <benchmark/benchmark.h>

#include <string>

#include "RsvDb.hpp"

namespace {

void Fill(RsvDb& db, int n) {
  RsvDb_Requester other;
  other.owner = "uid 1000";
  for (int i = 0; i < n; ++i) {
    const std::string id = std::to_string(i);
    std::string name;
    switch (i % 3) {
      case 0:
        name = "*:/projects/orders/O" + id + ".aif:*";
        break;
      case 1:
        name = "*:/projects/orders/S" + id + ".aif:0" + id + "-0-node1";
        break;
      default:
        name = "node" + id + ":tape0:*";
        break;
    }
    db.Reserve("otherhost", 4242 + i % 50, true, name, other, nullptr);
  }
}

void BM_ReserveReleaseAmong(benchmark::State& state) {
  RsvDb db;
  Fill(db, static_cast<int>(state.range(0)));
  RsvDb_Requester self;
  self.owner = "uid 0";
  long refused = 0;
  for (auto _ : state) {
    if (db.Reserve("bench", 7, false, "*:/projects/orders/Bench.aif:*", self, nullptr) !=
        RsvDb_Outcome::done) {
      ++refused;
    }
    db.Release("bench", 7, "*:/projects/orders/Bench.aif:*", self);
  }
  if (refused > 0) state.SkipWithError("reservations were refused");
  state.counters["pairs/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_ReserveReleaseAmong)->Arg(0)->Arg(1000)->Arg(10000);

}  // namespace

BENCHMARK_MAIN();
