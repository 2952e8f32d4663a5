// Building file lists from directory trees.
//
//  BuildFileList1/<files>   walk a synthetic form tree and list it (the list as sorted
//                           insertion in walk order gives it).
//  OneByOne/<files>         the same entries inserted one by one, each insertion walking
//                           the list from its start: the cost the list building avoids.
//
// The trees are made once per size below $TMPDIR (or /tmp) and removed at the end. A form
// tree has forms of 20 job directories with 50 files each, so 100000 files lie in 2000
// directories.
//
// Besides the benchmarks the program serves the side-by-side script
// (filelists_vs_find.sh):
//   BkFLists_bench --make-tree DIR FILES   make a form tree of FILES files in DIR
//   BkFLists_bench --list DIR              list DIR from "." and print entries and time
//   BkFLists_bench --walk DIR              only walk DIR from "." (every file examined,
//                                          nothing listed): the floor of listing it
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "BkFLists.hpp"
#include "DirAcces1.hpp"

namespace {

constexpr long kDirsPerForm = 20;
constexpr long kFilesPerDir = 50;

// A form tree of `files` files: form_NNNN/<job directory>/<file>, 50 files per
// directory, names of the kinds a form's job directory holds.
void MakeFormTree(const std::string& root, long files) {
  static const char* const kDirs[kDirsPerForm] = {
      "pages",   "marks", "plates", "proofs", "fonts", "images",  "layout", "ps",  "pool",   "tiff",
      "preview", "spool", "log",    "colour", "trap",  "imposit", "sheet",  "ctp", "report", "tmp"};
  std::filesystem::create_directories(root);
  const long dirs = (files + kFilesPerDir - 1) / kFilesPerDir;
  for (long d = 0; d < dirs; ++d) {
    char form[32];
    std::snprintf(form, sizeof form, "/form_%04ld", d / kDirsPerForm);
    const std::string dir = root + form + "/" + kDirs[d % kDirsPerForm];
    std::filesystem::create_directories(dir);
    for (long f = 0; f < kFilesPerDir && d * kFilesPerDir + f < files; ++f) {
      char name[64];
      std::snprintf(name, sizeof name, "/%s_%03ld.%s", f % 3 == 0 ? "Page" : "sep", f,
                    f % 2 == 0 ? "ps" : "tif");
      const int fd = ::open((dir + name).c_str(), O_CREAT | O_WRONLY, 0644);
      if (fd >= 0) ::close(fd);
    }
  }
}

std::string TreeFor(long files) {
  static std::map<long, std::string> trees;
  auto it = trees.find(files);
  if (it != trees.end()) return it->second;
  const char* tmp = std::getenv("TMPDIR");
  const std::string root = std::string(tmp != nullptr ? tmp : "/tmp") + "/BkFLists_bench." +
                           std::to_string(::getpid()) + "." + std::to_string(files);
  MakeFormTree(root, files);
  trees[files] = root;
  std::atexit([] {
    for (auto& [n, path] : trees) std::filesystem::remove_all(path);
  });
  return root;
}

void BM_BuildFileList1(benchmark::State& state) {
  BkFLists_Init();
  const std::string tree = TreeFor(state.range(0));
  ::chdir(tree.c_str());
  long entries = 0;
  for (auto _ : state) {
    FileList list = nullptr;
    FileList errors = nullptr;
    if (!BkFLists_BuildFileList1(list, ".", false, true, errors)) state.SkipWithError("walk");
    state.PauseTiming();
    entries = BkFLists_NumberOfSelectedFiles(list);
    BkFLists_DestroyFileList(list);
    BkFLists_DestroyFileList(errors);
    state.ResumeTiming();
  }
  state.counters["entries"] = static_cast<double>(entries);
  state.SetItemsProcessed(state.iterations() * entries);
}
BENCHMARK(BM_BuildFileList1)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

void BM_OneByOne(benchmark::State& state) {
  BkFLists_Init();
  const long n = state.range(0);
  DirAcces_DirEntry info{};
  for (auto _ : state) {
    FileList list = nullptr;
    for (long i = 0; i < n; ++i) {
      char path[64];
      std::snprintf(path, sizeof path, "./form_%04ld/pages/Page_%03ld.ps", i / 1000, i % 1000);
      BkFLists_InsertInFileList(list, path, true, info);
    }
    state.PauseTiming();
    BkFLists_DestroyFileList(list);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_OneByOne)->Arg(5000)->Arg(10000)->Arg(20000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--make-tree") == 0) {
    MakeFormTree(argv[2], std::atol(argv[3]));
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "--list") == 0) {
    BkFLists_Init();
    if (::chdir(argv[2]) != 0) return 1;
    const auto start = std::chrono::steady_clock::now();
    FileList list = nullptr;
    FileList errors = nullptr;
    const bool ok = BkFLists_BuildFileList1(list, ".", false, true, errors);
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    std::printf("%ld entries, %ld errors, %.1f ms\n", BkFLists_NumberOfSelectedFiles(list),
                BkFLists_NumberOfSelectedFiles(errors), took.count());
    return ok ? 0 : 1;
  }
  if (argc == 3 && std::strcmp(argv[1], "--walk") == 0) {
    BkFLists_Init();
    if (::chdir(argv[2]) != 0) return 1;
    long visits = 0;
    auto count = [](StrIn, const DirAcces_DirEntry&, bool, bool, int, void* n) {
      ++*static_cast<long*>(n);
      return true;
    };
    const bool ok = DirAcces1_FTW(".", false, count, &visits);
    std::printf("%ld visits\n", visits);
    return ok ? 0 : 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
