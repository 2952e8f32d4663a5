// One million distinct keys put into a string hash table and looked up again, beside the
// same work done by std::unordered_map. Both start from their smallest table, so the cost
// of growing is included.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "StrHash.hpp"

namespace {

constexpr int kKeys = 1000000;

// Argument 0: short keys that fit std::string's inline buffer ("k123456"); argument 1:
// keys shaped like the paths the tool hashes ("order12/form123456").
const std::vector<std::string>& Keys(std::int64_t shape) {
  static const std::vector<std::string> keys[2] = {
      [] {
        std::vector<std::string> k;
        k.reserve(kKeys);
        for (int i = 0; i < kKeys; ++i) k.push_back("k" + std::to_string(i));
        return k;
      }(),
      [] {
        std::vector<std::string> k;
        k.reserve(kKeys);
        for (int i = 0; i < kKeys; ++i) {
          k.push_back("order" + std::to_string(i % 97) + "/form" + std::to_string(i));
        }
        return k;
      }()};
  return keys[shape];
}

void BM_StrHash_PutGet(benchmark::State& state) {
  StrHash_Init();
  const auto& keys = Keys(state.range(0));
  for (auto _ : state) {
    StrHash t = StrHash_CreateTable(2);
    for (int i = 0; i < kKeys; ++i) StrHash_PutEntry(t, keys[i], static_cast<StrHash_Value>(i + 1));
    std::uint64_t sum = 0;
    for (int i = 0; i < kKeys; ++i) sum += StrHash_GetEntry(t, keys[i]);
    benchmark::DoNotOptimize(sum);
    state.PauseTiming();
    StrHash_DestroyTable(t);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
}
BENCHMARK(BM_StrHash_PutGet)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_UnorderedMap_PutGet(benchmark::State& state) {
  const auto& keys = Keys(state.range(0));
  for (auto _ : state) {
    auto* m = new std::unordered_map<std::string, std::uint32_t>;
    for (int i = 0; i < kKeys; ++i) (*m)[keys[i]] = static_cast<std::uint32_t>(i + 1);
    std::uint64_t sum = 0;
    for (int i = 0; i < kKeys; ++i) {
      auto it = m->find(keys[i]);
      sum += it == m->end() ? 0 : it->second;
    }
    benchmark::DoNotOptimize(sum);
    state.PauseTiming();
    delete m;
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
}
BENCHMARK(BM_UnorderedMap_PutGet)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
