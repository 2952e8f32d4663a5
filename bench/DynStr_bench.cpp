// Ten million single-character appends to dynamic strings, beside std::string::push_back
// doing the same work.
//
//  OneString      all appends go to one string. In the default heap a string longer than a
//                 block moves to a new block of increment + its size each time it outgrows
//                 one, so its cost grows with the square of its length; in a heap whose
//                 increment covers the string it grows in place from the first move on.
//  Lines          the appends build 125000 lines of 80 characters, each line made empty and
//                 filled character by character, the way the tool builds its texts.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "DynStr.hpp"

namespace {

constexpr long kAppends = 10000000;
constexpr long kLineLength = 80;
constexpr long kLines = kAppends / kLineLength;

char Ch(long i) { return static_cast<char>('a' + i % 26); }

void BM_StdString_OneString(benchmark::State& state) {
  for (auto _ : state) {
    std::string s;
    for (long i = 0; i < kAppends; ++i) s.push_back(Ch(i));
    benchmark::DoNotOptimize(s.data());
  }
  state.SetItemsProcessed(state.iterations() * kAppends);
}

// Argument: the heap's increment (0: the default heap).
void BM_DynStr_OneString(benchmark::State& state) {
  DynStr_Init();
  for (auto _ : state) {
    const auto increment = static_cast<std::size_t>(state.range(0));
    DSHeapRef heap = increment == 0 ? DSDefaultHeap() : DSCreateHeap(65536, increment);
    DS s = DSCreateHStr(heap, "", 0);
    for (long i = 0; i < kAppends; ++i) DSConcatChar(s, Ch(i), &s);
    benchmark::DoNotOptimize(DSStr(s));
    state.PauseTiming();
    if (DSLength(s) != kAppends) state.SkipWithError("wrong length");
    DSFree(&s);
    if (increment == 0) {
      DSRmGarbage(heap, true, false);
    } else {
      DSFreeHeap(&heap);
    }
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kAppends);
}

void BM_StdString_Lines(benchmark::State& state) {
  std::vector<std::string> lines(kLines);
  for (auto _ : state) {
    for (long l = 0; l < kLines; ++l) {
      std::string& s = lines[l];
      s.clear();
      for (long i = 0; i < kLineLength; ++i) s.push_back(Ch(i + l));
    }
    benchmark::DoNotOptimize(lines.data());
    state.PauseTiming();
    for (auto& s : lines) std::string().swap(s);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kAppends);
}

void BM_DynStr_Lines(benchmark::State& state) {
  DynStr_Init();
  std::vector<DS> lines(kLines, dsNil);
  for (auto _ : state) {
    for (long l = 0; l < kLines; ++l) {
      DS& s = lines[l];
      DSAssignStr("", &s);
      for (long i = 0; i < kLineLength; ++i) DSConcatChar(s, Ch(i + l), &s);
    }
    benchmark::DoNotOptimize(lines.data());
    state.PauseTiming();
    for (DS& s : lines) DSFree(&s);
    DSRmGarbage(DSDefaultHeap(), true, false);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kAppends);
}

}  // namespace

BENCHMARK(BM_StdString_OneString)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DynStr_OneString)->Arg(0)->Arg(16 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StdString_Lines)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DynStr_Lines)->Unit(benchmark::kMillisecond);

// The runtime's start-up wants a writable data directory; outside an installation the
// benchmark brings its own.
int main(int argc, char** argv) {
  char dat[] = "/tmp/dynstr-bench-XXXXXX";
  const bool own = std::getenv("ZOLTDAT") == nullptr && ::mkdtemp(dat) != nullptr;
  if (own) ::setenv("ZOLTDAT", dat, 1);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (own) std::filesystem::remove_all(dat);
  return 0;
}
