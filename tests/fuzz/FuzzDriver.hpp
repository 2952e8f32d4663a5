// The plain driver of the fuzz targets when libFuzzer is not there (gcc builds): every
// corpus input once, then a bounded number of mutations of them (changed bytes, tokens the
// format cares about, cut tails, pieces spliced in from other inputs). Deterministic, so a
// failure repeats; FUZZ_ROUNDS overrides the number of mutations.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace zolt::fuzz {

struct DriverOptions {
  const char* name;                 // for the closing line
  std::string fallbackInput;        // used when no corpus is given
  std::vector<std::string> tokens;  // put in place of a byte
  int rounds;                       // default number of mutations
  std::size_t spliceMax;            // longest piece spliced in from another input
};

// Files named on the command line; a directory stands for every file in it.
inline std::vector<std::string> LoadCorpus(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<std::string> inputs;
  auto add = [&inputs](const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    inputs.emplace_back(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  };
  for (int i = 1; i < argc; ++i) {
    const fs::path p = fs::absolute(argv[i]);
    if (fs::is_directory(p)) {
      for (const auto& e : fs::directory_iterator(p)) add(e.path());
    } else {
      add(p);
    }
  }
  return inputs;
}

inline int RunDriver(int argc, char** argv, const DriverOptions& o,
                     void (*check)(const std::uint8_t*, std::size_t)) {
  std::vector<std::string> inputs = LoadCorpus(argc, argv);
  if (inputs.empty()) inputs.push_back(o.fallbackInput);
  auto run = [check](const std::string& s) {
    check(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
  };
  for (const std::string& s : inputs) run(s);
  std::mt19937 random(20261205);
  const char* env = std::getenv("FUZZ_ROUNDS");
  const int rounds = env ? std::atoi(env) : o.rounds;
  for (int round = 0; round < rounds; ++round) {
    std::string s = inputs[random() % inputs.size()];
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits && !s.empty(); ++e) {
      const std::size_t at = random() % s.size();
      switch (random() % 4) {
        case 0:
          s[at] = static_cast<char>(random());
          break;
        case 1:
          s.replace(at, 1, o.tokens[random() % o.tokens.size()]);
          break;
        case 2:
          s.resize(at);
          break;
        case 3: {
          const std::string& other = inputs[random() % inputs.size()];
          s.insert(at, other.substr(random() % (other.size() + 1), random() % (o.spliceMax + 1)));
          break;
        }
      }
    }
    run(s);
  }
  std::printf("%s: %zu inputs and %d mutations checked\n", o.name, inputs.size(), rounds);
  return 0;
}

}  // namespace zolt::fuzz
