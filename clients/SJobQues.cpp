#include "SJobQues.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "DirAcces.hpp"
#include "Messages.hpp"
#include "UCommon.hpp"
#include "VErar.hpp"

int SJobQues_error = 0;

namespace {

constexpr std::size_t kMaxResource = 255;
char readablePrefix[128] = {};

void Fail(int number, const char* info) {
  SJobQues_error = number;
  if (info != nullptr) Messages_SupplyAdditionalInfo(StrIn::FromC(info));
  Messages_Error("SJobQues", static_cast<std::uint32_t>(number));
}

std::string Entry(char kind, StrIn name) {
  std::string entry;
  if (kind != 0) entry += kind;
  entry += name.view();
  if (entry.size() > kMaxResource) entry.resize(kMaxResource);
  return entry;
}

void Insert(SJobQues_Job* job, const std::string& entry) {
  auto& list = job->resources;
  const auto at = std::lower_bound(list.begin(), list.end(), entry);
  if (at == list.end() || *at != entry) list.insert(at, entry);
}

void Erase(SJobQues_Job* job, const std::string& entry) {
  auto& list = job->resources;
  const auto at = std::lower_bound(list.begin(), list.end(), entry);
  if (at != list.end() && *at == entry) list.erase(at);
}

// Clears the error; false (error 6) for a missing job.
bool Begin(const SJobQues_Job* job) {
  SJobQues_error = 0;
  if (job != nullptr) return true;
  Fail(SJobQues_errNoJob, nullptr);
  return false;
}

}  // namespace

void SJobQues_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "SJobQues");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  Messages_Init();
  DirAcces_Init();
  VErar_Init();
}

SJobQues_Job* SJobQues_CreateJob() {
  SJobQues_error = 0;
  auto* job = new SJobQues_Job{};
  char cwd[1024] = {};
  if (::getcwd(cwd, sizeof cwd) == nullptr) std::strcpy(cwd, "/tmp");
  Strings_Assign(cwd, job->workDir);
  Strings_Assign("job.bat", job->command);
  job->cpuUsage = 1;
  job->uid = static_cast<std::int32_t>(::geteuid());
  job->gid = static_cast<std::int32_t>(::getegid());
  return job;
}

void SJobQues_DestroyJob(SJobQues_Job*& job) {
  SJobQues_error = 0;
  delete job;
  job = nullptr;
}

void SJobQues_AddResourceToPrecondition(SJobQues_Job* job, StrIn name) {
  if (Begin(job) && name.length() > 0) Insert(job, Entry('?', name));
}

void SJobQues_DeleteResourceFromPrecondition(SJobQues_Job* job, StrIn name) {
  if (Begin(job)) Erase(job, Entry('?', name));
}

void SJobQues_InheritResourceToJob(SJobQues_Job* job, StrIn name) {
  if (Begin(job) && name.length() > 0) Insert(job, Entry('!', name));
}

void SJobQues_DeleteInheritedResource(SJobQues_Job* job, StrIn name) {
  if (Begin(job)) Erase(job, Entry('!', name));
}

void SJobQues_AddFileToPrecondition(SJobQues_Job* job, StrIn path) {
  if (!Begin(job)) return;
  if (path.length() == 0) {
    Fail(SJobQues_errEmptyFile, "::AddFileToPrecondition: empty path");
    return;
  }
  Insert(job, Entry(0, path));
}

void SJobQues_DeleteFileFromPrecondition(SJobQues_Job* job, StrIn path) {
  if (Begin(job)) Erase(job, Entry(0, path));
}

void SJobQues_SetReadableCommandPrefix(StrIn prefix) { Strings_Assign(prefix, readablePrefix); }

void SJobQues_SetReadableCommand(SJobQues_Job* job, StrIn text) {
  if (!Begin(job)) return;
  std::string readable = StrIn(readablePrefix).str() + text.str();
  if (readable.size() > sizeof job->readableCommand - 1) {
    readable.resize(sizeof job->readableCommand - 1);
  }
  Strings_Assign(readable, job->readableCommand);
}

void SJobQues_Submit(StrIn /*host*/, SJobQues_Job* job) {
  if (!Begin(job)) return;
  VErarBase_Job object = VErar_ConvertClassicJob(*job);
  if (!VErar_Submit(object)) {
    Fail(SJobQues_errNotAccepted, "::Submit: the job server did not accept the job");
  }
}

void SJobQues_BufferedSubmit(StrIn host, SJobQues_Job* job) { SJobQues_Submit(host, job); }

void SJobQues_FlushSubmitBuffer() {
  // Submissions go straight to the job server; there is no older submit pipe to close.
}

void SJobQues_AppendToQueueFile(StrIn path, const SJobQues_Job* job) {
  if (!Begin(job)) return;
  std::FILE* f = std::fopen(path.str().c_str(), "a");
  bool ok = f != nullptr;
  if (ok) {
    std::fprintf(f, "%d\t%s\t%s\t%s\t%s\t%u\t%u\t%d\t%d\t%s", job->jobNumber,
                 StrIn(job->readableCommand).str().c_str(), StrIn(job->workDir).str().c_str(),
                 StrIn(job->command).str().c_str(), StrIn(job->arguments).str().c_str(),
                 unsigned{job->cpuUsage}, job->priority, job->uid, job->gid,
                 StrIn(job->scriptPrecondition).str().c_str());
    for (const std::string& r : job->resources) std::fprintf(f, "\t%s", r.c_str());
    std::fputc('\n', f);
    ok = std::fflush(f) == 0 && std::ferror(f) == 0;
    ok = std::fclose(f) == 0 && ok;
  }
  if (!ok) Fail(SJobQues_errQueueFile, "::AppendToQueueFile: cannot write the queue file");
}
