// Listing a job root in the backup dialog: every order of the orders directory reserved
// exclusively at the resource manager and its order info file loaded. Target: 1,000
// orders in at most 0.5 s, 10,000 in at most 5 s.
//
// Beside the whole listing, its three parts are timed on their own (the names of the
// orders directory, the reservations, the loading of the info files) to show where the
// time goes. The job roots are made by the sample-order generator in a private directory
// (with the server's data directory, the customer directory and the port its own); the
// server started by the first reservation is stopped at the end.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "BenchSandbox.hpp"
#include "DirAcces.hpp"
#include "OOinfos.hpp"
#include "Odirs.hpp"
#include "Oresourc.hpp"
#include "SRM.hpp"
#include "Socket.hpp"
#include "Vuvedur.hpp"

namespace {

namespace fs = std::filesystem;

struct Environment : zolt::bench::Sandbox {
  std::map<int, std::string> jobRoots;

  Environment() : Sandbox("vuvedur-bench") {
    // The standard order directories of the installation stay inside the private root.
    DirAcces_SetInstallRoot(root);
    Vuvedur_Init();
  }

  // A job root of n sample orders (made once), switched to.
  const std::string& JobRoot(int n) {
    auto it = jobRoots.find(n);
    if (it == jobRoots.end()) {
      const std::string dir = root + "/root" + std::to_string(n) + "/orders";
      const auto start = std::chrono::steady_clock::now();
      const std::string command = std::string(ZOLT_BIN_DIR) + "/mkorders --orders " +
                                  std::to_string(n) + " --size 4M " + dir + " >/dev/null";
      if (std::system(command.c_str()) != 0) std::fprintf(stderr, "mkorders failed\n");
      const double took =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      std::fprintf(stderr, "made %d sample orders in %.1f s\n", n, took);
      it = jobRoots.emplace(n, dir).first;
    }
    Vuvedur_NewJobDir(it->second);
    return it->second;
  }
};

Environment& Env() {
  static Environment env;
  return env;
}

std::vector<std::string> Names(const std::string& root) {
  std::vector<std::string> names;
  Odirs_NameList list = OOinfos_GetOrderlist(root);
  for (auto* e = list; e != nullptr; e = e->next) {
    char name[128];
    Odirs_GetName(e->text, name);
    names.emplace_back(name);
  }
  Odirs_DestroyNamelist(list);
  return names;
}

// The whole listing as the backup dialog does it.
void BM_ListJobRoot(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  Env().JobRoot(n);
  SRM_Reset();
  VuvedurData* ctx = Vuvedur_Create();
  std::size_t listed = 0;
  for (auto _ : state) {
    Vuvedur_BckUpdateOrderList(ctx);
    state.PauseTiming();
    listed = 0;
    for (const OrderEntry* o = ctx->orders; o != nullptr; o = o->next) ++listed;
    Vuvedur_Free(ctx);  // gives the holds back for the next round
    state.ResumeTiming();
  }
  if (listed != static_cast<std::size_t>(n)) state.SkipWithError("not every order was listed");
  delete ctx;
}

// Only the names of the orders directory (each file opened to see it is an order).
void BM_OrderNames(benchmark::State& state) {
  const std::string& root = Env().JobRoot(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(Names(root));
}

// Only the exclusive reservations, one round trip each.
void BM_ReserveOrders(benchmark::State& state) {
  const std::string& root = Env().JobRoot(static_cast<int>(state.range(0)));
  SRM_Reset();
  std::vector<std::string> resources;
  for (const std::string& name : Names(root)) {
    char res[256];
    Oresourc_OrderRes(name, true, res);
    resources.emplace_back(res);
  }
  for (auto _ : state) {
    for (const std::string& r : resources) Oresourc_Reserve(r);
    state.PauseTiming();
    for (const std::string& r : resources) Oresourc_Release(r);
    state.ResumeTiming();
  }
}

// Only the loading of the info files, under the holds the listing has.
void BM_LoadOrderInfos(benchmark::State& state) {
  const std::string& root = Env().JobRoot(static_cast<int>(state.range(0)));
  SRM_Reset();
  std::vector<std::string> resources, paths;
  for (const std::string& name : Names(root)) {
    char res[256];
    Oresourc_OrderRes(name, true, res);
    Oresourc_Reserve(res);
    resources.emplace_back(res);
    paths.push_back(root + "/" + name + ".aif");
  }
  for (auto _ : state) {
    for (const std::string& p : paths) {
      OOinfos_Info* info = OOinfos_Load(p);
      OOinfos_Destroy(info);
    }
  }
  for (const std::string& r : resources) Oresourc_Release(r);
}

#define SIZES ->Arg(1000)->Arg(3000)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(3)
BENCHMARK(BM_ListJobRoot) SIZES;
BENCHMARK(BM_OrderNames) SIZES;
BENCHMARK(BM_ReserveOrders) SIZES;
BENCHMARK(BM_LoadOrderInfos) SIZES;

}  // namespace

BENCHMARK_MAIN();
