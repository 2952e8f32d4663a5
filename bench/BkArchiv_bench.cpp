// The media header text of a full medium: 1000 archives of 1000 files each. Parsing is
// measured beside "wc -l" on the same text, writing beside "cat" of the same bytes to a
// file, so the figures say how close the header gets to the speed of the file system.
//
//   bench/BkArchiv_bench [--benchmark_filter=...]
//   bench/BkArchiv_bench --side-by-side [ROUNDS]
//        alternates the four in every round, so that a busy machine slows them alike,
//        and prints the medians and the two ratios
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "BFileIO.hpp"
#include "BkArchivText.hpp"
#include "DirAcces.hpp"
#include "Messages.hpp"

namespace {

constexpr int kArchives = 1000;
constexpr int kFiles = 1000;

struct Fixture {
  std::string dir;
  std::string text;  // the header text
  std::string out;   // where the writers write
  Header* hdr = nullptr;

  Fixture() {
    BkArchivText_Init();
    char tmpl[] = "/tmp/bkarchiv-bench-XXXXXX";
    dir = ::mkdtemp(tmpl);
    text = dir + "/header.txt";
    out = dir + "/out.txt";
    BkArchiv_NewHeader(hdr, mfmtStdD, "Offset disk", "Benchmark medium\n%%MASTERJOB none");
    Strings_Assign("2026120501.04", hdr->label);
    DirAcces_DirEntry info{};
    info.day = 5;
    info.month = 12;
    info.year = 2026;
    info.hour = 10;
    info.minute = 11;
    info.second = 12;
    for (int a = 0; a < kArchives; ++a) {
      Archive* arch = nullptr;
      BkArchiv_AppendEmptyArchive(hdr, arch, "Offset-Folvane");
      Strings_Assign("%%HOST alpha\n%%ORDERNUM " + std::to_string(a), arch->archiveComment);
      Strings_Assign("/projects/orders/order" + std::to_string(a), arch->baseDir);
      for (int f = 0; f < kFiles; ++f) {
        info.size = 1000.0 * f + a;
        const std::string path =
            "forms/form" + std::to_string(f % 16) + "/page " + std::to_string(f) + ".pdf";
        BkFLists_AppendOnFileList(arch->files, path, true, info, 1 + a, 1);
      }
    }
    BFileIO_File file = BFileIO_Create(text, 1);
    BkArchiv_GenStdSHeader(file, hdr, false);
    BFileIO_Close(file);
  }
  ~Fixture() {
    BkArchiv_DestroyHeaderAndArchives(hdr);
    {
      const Messages_Ignoring quiet;  // out.txt exists only when a writer ran
      DirAcces_Remove(text);
      DirAcces_Remove(out);
      DirAcces_RmDir(dir);
    }
    Messages_ForgetErrorReasons();
  }
};

Fixture& Data() {
  static Fixture data;
  return data;
}

void Shell(benchmark::State& state, const std::string& command) {
  if (std::system(command.c_str()) != 0) state.SkipWithError(command.c_str());
}

Header* Parse(benchmark::State& state, const std::string& path) {
  BFileIO_File f = BFileIO_Open(path, 0);
  Header* hdr = nullptr;
  BkArchiv_NewHeader(hdr, mfmtStdD, "", "");
  bool isEmpty = false;
  BkArchiv_ParseStdSHeader(f, hdr, mfmtStdD, isEmpty);
  BFileIO_Close(f);
  if (BkArchiv_bkaError != 0) state.SkipWithError("parse failed");
  return hdr;
}

// The process has held a header of this size before: the memory for the file entries is
// its own already.
void BM_ParseHeader(benchmark::State& state) {
  Fixture& d = Data();
  ::mallopt(M_TRIM_THRESHOLD, 1 << 30);
  Header* warm = Parse(state, d.text);
  BkArchiv_DestroyHeaderAndArchives(warm);
  for (auto _ : state) {
    Header* hdr = Parse(state, d.text);
    state.PauseTiming();
    BkArchiv_DestroyHeaderAndArchives(hdr);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kArchives * kFiles);
}
BENCHMARK(BM_ParseHeader)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// The first header of a process: every page for the file entries is new to it.
void BM_ParseHeaderFreshMemory(benchmark::State& state) {
  Fixture& d = Data();
  for (auto _ : state) {
    state.PauseTiming();
    ::malloc_trim(0);
    state.ResumeTiming();
    Header* hdr = Parse(state, d.text);
    state.PauseTiming();
    BkArchiv_DestroyHeaderAndArchives(hdr);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kArchives * kFiles);
}
BENCHMARK(BM_ParseHeaderFreshMemory)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// The file lists' share of parsing: the same million entries appended, nothing read.
void BM_AppendEntriesOnly(benchmark::State& state) {
  Fixture& d = Data();
  DirAcces_DirEntry info{};
  for (auto _ : state) {
    for (const Archive* a = d.hdr->archives; a != nullptr; a = a->next) {
      FileList list = nullptr;
      for (const FileEntry* e = a->files; e != nullptr; e = e->next) {
        BkFLists_AppendOnFileList(list, StrIn::FromC(DSStr(e->path)), true, info, 1, 1);
      }
      state.PauseTiming();
      BkFLists_DestroyFileList(list);
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations() * kArchives * kFiles);
}
BENCHMARK(BM_AppendEntriesOnly)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_WcLines(benchmark::State& state) {
  Fixture& d = Data();
  for (auto _ : state) Shell(state, "wc -l < " + d.text + " > /dev/null");
}
BENCHMARK(BM_WcLines)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_GenerateHeader(benchmark::State& state) {
  Fixture& d = Data();
  for (auto _ : state) {
    BFileIO_File f = BFileIO_Create(d.out, 1);
    BkArchiv_GenStdSHeader(f, d.hdr, false);
    BFileIO_Close(f);
    if (BkArchiv_bkaError != 0) state.SkipWithError("write failed");
  }
  state.SetItemsProcessed(state.iterations() * kArchives * kFiles);
}
BENCHMARK(BM_GenerateHeader)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CatSameBytes(benchmark::State& state) {
  Fixture& d = Data();
  for (auto _ : state) Shell(state, "cat " + d.text + " > " + d.out);
}
BENCHMARK(BM_CatSameBytes)->Unit(benchmark::kMillisecond)->UseRealTime();

double Millis(const std::chrono::steady_clock::time_point& start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

int SideBySide(int rounds) {
  Fixture& d = Data();
  ::mallopt(M_TRIM_THRESHOLD, 1 << 30);
  std::vector<double> parse, wc, generate, cat;
  for (int r = 0; r < rounds; ++r) {
    auto t = std::chrono::steady_clock::now();
    BFileIO_File f = BFileIO_Open(d.text, 0);
    Header* hdr = nullptr;
    BkArchiv_NewHeader(hdr, mfmtStdD, "", "");
    bool isEmpty = false;
    BkArchiv_ParseStdSHeader(f, hdr, mfmtStdD, isEmpty);
    BFileIO_Close(f);
    parse.push_back(Millis(t));
    if (BkArchiv_bkaError != 0) return 1;
    BkArchiv_DestroyHeaderAndArchives(hdr);

    t = std::chrono::steady_clock::now();
    if (std::system(("wc -l < " + d.text + " > /dev/null").c_str()) != 0) return 1;
    wc.push_back(Millis(t));

    t = std::chrono::steady_clock::now();
    f = BFileIO_Create(d.out, 1);
    BkArchiv_GenStdSHeader(f, d.hdr, false);
    BFileIO_Close(f);
    generate.push_back(Millis(t));

    t = std::chrono::steady_clock::now();
    if (std::system(("cat " + d.text + " > " + d.out).c_str()) != 0) return 1;
    cat.push_back(Millis(t));
  }
  const double p = Median(parse), w = Median(wc), g = Median(generate), c = Median(cat);
  std::printf("header of %d archives x %d files; medians of %d rounds (ms)\n", kArchives, kFiles,
              rounds);
  std::printf("parse %.1f   wc -l %.1f   parse / wc -l = %.2f   (fastest: %.1f, %.1f)\n", p, w,
              p / w, *std::min_element(parse.begin(), parse.end()),
              *std::min_element(wc.begin(), wc.end()));
  std::printf("generate %.1f   cat %.1f   generate / cat = %.2f\n", g, c, g / c);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--side-by-side") == 0) {
    return SideBySide(argc >= 3 ? std::max(1, std::atoi(argv[2])) : 9);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
