// Preparing the backup of one order whose form holds many files (default 1,000,000, or
// the count given as the first argument): the order's file lists built from the tree,
// the archives added to a fresh header, and the write job made (header file, its copy
// for the local archive directory, and the job's script). Target: under 10 s for a
// million files, and the process under 400 MB resident.
//
// The order comes from the sample-order generator in a private installation; the files
// are empty, 1,000 to a directory, so that making them is cheap. Each stage's time and
// the resident size after it are printed, then the peak. The resource manager started
// by the order listing is stopped and the directory removed at the end.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "BenchSandbox.hpp"
#include "BkArchivNames.hpp"
#include "BkJobs.hpp"
#include "DirAcces.hpp"
#include "Odirs.hpp"
#include "SJobQues.hpp"
#include "Vuvedur.hpp"

namespace {

using Clock = std::chrono::steady_clock;

long ResidentKB() {
  std::ifstream status("/proc/self/status");
  std::string word;
  while (status >> word) {
    if (word == "VmRSS:") {
      long kb = 0;
      status >> kb;
      return kb;
    }
  }
  return 0;
}

long PeakKB() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Empty files under dir, 1,000 to a subdirectory.
bool MakeFiles(const std::string& dir, long count) {
  for (long i = 0; i < count; ++i) {
    const std::string sub = dir + "/bulk" + std::to_string(i / 1000);
    if (i % 1000 == 0 && ::mkdir(sub.c_str(), 0755) != 0) return false;
    const std::string file = sub + "/page" + std::to_string(i % 1000) + ".tif";
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    ::close(fd);
  }
  return true;
}

DevListEntry FsDevice(const std::string& dir) {
  DevListEntry dev{};
  dev.baseType = BkDevSel_filesys;
  dev.subtype = 1;
  dev.record.devClass = SDevAllo_ClassOfName("unixFS");
  Strings_Assign(dir, dev.record.devName);
  Strings_Assign(Vuvedur_thisHost, dev.record.host);
  Strings_Assign("bench medium", dev.record.description);
  dev.isLocal = true;
  dev.blkHeader = 512;
  dev.blkData = 10240;
  dev.dirSize = -1;
  dev.canAppend = true;
  dev.fs.root = DSCreateStr(dir.c_str(), 0);
  dev.fs.capacity = 1e15;
  return dev;
}

class Stage {
 public:
  explicit Stage(const char* name) : name_(name), start_(Clock::now()) {}
  ~Stage() {
    const double took = std::chrono::duration<double>(Clock::now() - start_).count();
    std::printf("%-34s %8.2f s  resident %6ld MB\n", name_, took, ResidentKB() / 1024);
  }

 private:
  const char* name_;
  Clock::time_point start_;
};

}  // namespace

int main(int argc, char** argv) {
  const long count = argc > 1 ? std::atol(argv[1]) : 1000000;
  zolt::bench::Sandbox sandbox("vuvedur-prepare");
  DirAcces_SetInstallRoot(sandbox.root);
  Vuvedur_Init();
  const std::string jobRoot = sandbox.root + "/jobs/orders";
  const std::string make =
      std::string(ZOLT_BIN_DIR) + "/mkorders --orders 3 --size 20k " + jobRoot + " >/dev/null";
  if (std::system(make.c_str()) != 0 || !Vuvedur_NewJobDir(jobRoot)) {
    std::fprintf(stderr, "no sample orders\n");
    return 1;
  }
  VuvedurData* context = Vuvedur_Create();
  Vuvedur_BckUpdateOrderList(context);
  OrderEntry* order = context->orders;
  while (order != nullptr && order->forms == nullptr) order = order->next;
  if (order == nullptr) {
    std::fprintf(stderr, "no order with a form\n");
    return 1;
  }
  char formDir[1024];
  Odirs_JobPath("", order->forms->name, formDir);
  {
    const auto start = Clock::now();
    if (!MakeFiles(formDir, count)) {
      std::fprintf(stderr, "cannot make the files in %s\n", formDir);
      return 1;
    }
    std::printf("made %ld files in %.1f s\n", count,
                std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::printf("%-34s %8s    resident %6ld MB\n", "start", "", ResidentKB() / 1024);

  const auto start = Clock::now();
  {
    Stage stage("file lists");
    if (!Vuvedur_BuildFileLists(*order)) std::fprintf(stderr, "file lists failed\n");
  }
  order->marked = true;
  order->includePool = false;  // the exclusion patterns are matched against every entry
  for (FormEntry* form = order->forms; form != nullptr; form = form->next) form->selected = true;
  {
    Stage stage("archives in the header");
    BkArchiv_NewHeader(context->header, mfmtStdD, Vuvedur_dataType, "");
    Vuvedur_BackupOrders_BuildArchives(context);
  }
  DevListEntry device = FsDevice(sandbox.root + "/medium");
  ::mkdir((sandbox.root + "/medium").c_str(), 0755);
  {
    Stage stage("write job (header, copy, script)");
    ::mkdir(BkArchiv_stdArchivDir, 0777);
    char label[128];
    char dest[1024];
    BkArchiv_GenMediaLabel(BkDevSel_DevClassToMediaID(device.record.devClass, device.subtype), 0, 1,
                           label, dest);
    Strings_Assign(label, context->header->label);
    SJobQues_Job* job =
        BkJobs_MkWriteJob(device, context->header, dest, "bench", "", "", "NO_NOTIFY", "NO_NOTIFY");
    if (job == nullptr) {
      std::fprintf(stderr, "no write job\n");
    } else {
      // The script and the header files lie in the job's directory.
      for (const auto& f : std::filesystem::directory_iterator(job->workDir)) {
        std::printf("  %-30s %10ld bytes\n", f.path().filename().c_str(),
                    static_cast<long>(f.is_regular_file() ? f.file_size() : 0));
      }
      SJobQues_DestroyJob(job);
    }
  }
  const double total = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("%-34s %8.2f s  peak resident %ld MB\n", "preparation", total, PeakKB() / 1024);
  Vuvedur_Free(context);
  delete context;
  DSFree(&device.fs.root);
  return 0;
}
