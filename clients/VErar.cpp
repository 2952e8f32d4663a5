#include "VErar.hpp"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "CCclient.hpp"
#include "DirAcces.hpp"
#include "Processe.hpp"
#include "SRM.hpp"
#include "SRMproto.hpp"
#include "UCommon.hpp"
#include "Utility.hpp"

namespace {

constexpr std::size_t kMaxInlineCommand = 8191;

SClient_Connection* jobServer = nullptr;
int idCounter = 0;

std::string MachineName() {
  char machine[128] = {};
  DirAcces_GetMachineName(machine);
  return StrIn(machine).str();
}

VErarBase_CpuUsage CpuUsage(std::uint8_t classic) {
  if (classic == 0) return VErarBase_CpuUsage::Low;
  if (classic == 2) return VErarBase_CpuUsage::Free;
  return VErarBase_CpuUsage::High;
}

// Hands the job's inherited reservations over to the job: the job's own holder at the
// resource manager takes one use of each before the submitter releases its own hold
// (see SRM_HandOver), so there is never a gap in which somebody else could take it.
bool HandOver(const VErarBase_Job& job, std::string& error) {
  std::vector<std::string> names;
  for (const VErarBase_Precondition& p : job.preconditions) {
    if (p.kind == VErarBase_PrecondKind::Inherited) names.push_back(p.value);
  }
  // Through the reservation client's own connection: one per process, to the server
  // and over the transport it chose.
  return SRM_HandOver(names, job.employerHost, VErarBase_HolderPid(job.id), error);
}

}  // namespace

void VErar_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "VErar");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  Processe_Init();
  Utility_Init();
  DirAcces_Init();
  SClient_Init();
  SRMproto_Init();
  SRM_Init();
  VErarBase_Init();
  CCclient_Init();
  SJobQues_Init();
}

VErarBase_ExecuteOn VErar_ExecuteOnForClass(StrIn jobClass) {
  const std::string wanted = jobClass.str();
  if (wanted.empty()) return VErarBase_ExecuteOn::Local;
  char path[1024] = {};
  DirAcces_IncludeSpecialPath(DirAcces_envPath, "jobclasses", path);
  std::ifstream in(StrIn(path).str());
  std::string line;
  while (std::getline(in, line)) {
    if (const std::size_t hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::string name, where;
    if (words >> name >> where && name == wanted) {
      return where == "cluster" ? VErarBase_ExecuteOn::Cluster : VErarBase_ExecuteOn::Local;
    }
  }
  return VErarBase_ExecuteOn::Local;
}

VErarBase_Job VErar_ConvertClassicJob(const SJobQues_Job& classic) {
  VErarBase_Job job;
  job.type = VErarBase_Type::Inline;
  job.command = StrIn(classic.command).str() + " " + StrIn(classic.arguments).str();
  if (job.command.size() > kMaxInlineCommand) job.command.resize(kMaxInlineCommand);
  job.cpuUsage = CpuUsage(classic.cpuUsage);
  job.priority = classic.priority;
  job.workDir = StrIn(classic.workDir).str();
  job.description = StrIn(classic.readableCommand).str();
  job.uid = classic.uid;
  job.gid = classic.gid;
  job.submitterName = StrIn(classic.submitterName).str();
  job.submitterAddons = StrIn(classic.submitterAddons).str();
  job.executeOn = VErar_ExecuteOnForClass(classic.jobClass);

  const std::string script = StrIn(classic.scriptPrecondition).str();
  using K = VErarBase_PrecondKind;
  if (!script.empty() && script[0] != '-') job.preconditions.push_back({K::Script, script});
  for (const std::string& entry : classic.resources) {
    if (entry.empty()) continue;
    if (entry[0] == '!') {
      job.preconditions.push_back({K::Inherited, entry.substr(1)});
    } else if (entry[0] == '?') {
      job.preconditions.push_back({K::Resource, entry.substr(1)});
    } else {
      job.preconditions.push_back({K::File, entry});
    }
  }
  if (script.size() > 1 && script[0] == '-') {
    job.preconditions.push_back({K::Script, script.substr(1)});
  }
  return job;
}

std::string VErar_NextJobId() {
  char id[512];
  std::snprintf(id, sizeof id, "%s-%.0f-%d-%d", MachineName().c_str(),
                static_cast<double>(Utility_GetCurrentTimeMillis()), Processe_GetPID(),
                idCounter++);
  return id;
}

SClient_Connection* VErar_Connection() { return jobServer; }

bool VErar_Submit(VErarBase_Job& job) {
  VErar_Init();
  // A first connection that failed has used up the time-out already; later submissions
  // let the client layer connect again.
  bool reachable = true;
  if (jobServer == nullptr) {
    jobServer = CCclient_Connect("", VErar_connectTimeout, SClient_NoopYield);
    reachable = SClient_IsConnected(jobServer);
  }
  job.id = VErar_NextJobId();
  if (job.employerHost.empty()) job.employerHost = MachineName();
  if (!reachable || !CCclient_SubmitJob(jobServer, job, true)) {
    std::fprintf(stderr, "%s: VErar.Submit() failed. %s\n", Processe_ProgramName(),
                 SClient_ErrorText(jobServer).c_str());
    std::fflush(stderr);
    return false;
  }
  std::string error;
  if (!HandOver(job, error)) {
    std::fprintf(stderr, "%s: VErar.Submit(): handing over the reservations failed. %s\n",
                 Processe_ProgramName(), error.c_str());
    std::fflush(stderr);
  }
  return true;
}
