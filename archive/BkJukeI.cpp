#include "BkJukeI.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "BkJuke.hpp"
#include "BkMisc.hpp"
#include "Messages.hpp"
#include "SJobQues.hpp"
#include "Strings.hpp"
#include "UCommon.hpp"

int BkJukeI_error = 0;

namespace {

int Fail(int n, const std::string& info) {
  BkJukeI_error = n;
  Messages_SupplyAdditionalInfo(info);
  Messages_Error("BkJukeI", static_cast<std::uint32_t>(n));
  return n;
}

// A new file below $TMP ("/tmp" when empty) holding the selection; empty on failure.
std::string WriteSelection(const BkJuke_Selection& selection) {
  const char* tmp = std::getenv("TMP");
  std::string path = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/jukesel.XXXXXX";
  const int fd = ::mkstemp(path.data());
  if (fd < 0) return "";
  const std::string text = BkJuke_EncodeSelection(selection) + "\n";
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  // The job may run under another user: it must read and remove the file.
  ok = ::fchmod(fd, 0666) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
  if (!ok) {
    ::unlink(path.c_str());
    return "";
  }
  return path;
}

int Start(StrIn juke, BkJukeI_Speed speed, BkJukeI_Scope scope, const BkJuke_Selection& selection) {
  SJobQues_Job* job = BkJukeI_MkJob(juke, speed, scope, selection);
  if (job == nullptr) return BkJukeI_error;
  {
    Messages_Ignoring quiet;
    SJobQues_Submit(BkMisc_localHost, job);
  }
  const int error = SJobQues_error;
  if (error != 0) {
    // The job never runs: its file goes now.
    const std::string args = job->arguments;
    ::unlink(args.substr(args.rfind(' ') + 1).c_str());
  }
  SJobQues_DestroyJob(job);
  if (error != 0) return Fail(3, "::BkJukeI.Submit: error " + std::to_string(error));
  BkJukeI_error = 0;
  return 0;
}

}  // namespace

void BkJukeI_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "BkJukeI");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  Messages_Init();
  BkMisc_Init();
  BkJuke_Init();
  SJobQues_Init();
}

const char* BkJukeI_SpeedWord(BkJukeI_Speed speed) {
  return speed == BkJukeI_Speed::Fast ? "fast" : "slow";
}

const char* BkJukeI_ScopeWord(BkJukeI_Scope scope) {
  switch (scope) {
    case BkJukeI_Scope::AllUnknown:
      return "allUnknown";
    case BkJukeI_Scope::AllSelected:
      return "allSelected";
    case BkJukeI_Scope::All:
      break;
  }
  return "all";
}

SJobQues_Job* BkJukeI_MkJob(StrIn juke, BkJukeI_Speed speed, BkJukeI_Scope scope,
                            const BkJuke_Selection& selection) {
  BkJukeI_error = 0;
  const std::string name = juke.str();
  // The name is one word of a shell line.
  if (name.empty() || name.find_first_of(" \t\n;&|<>()$`'\"\\*?[]#~") != std::string::npos) {
    Fail(2, "::BkJukeI.MkJob: bad jukebox name '" + name + "'");
    return nullptr;
  }
  const std::string file = WriteSelection(selection);
  if (file.empty()) {
    Fail(1, "::BkJukeI.MkJob: cannot write the selection file");
    return nullptr;
  }
  char env[5120];
  BkMisc_GetInheritEnvStr(env);
  const std::string command = std::string(env) + "; " + BkJukeI_program;
  char args[5121];
  const int n =
      std::snprintf(args, sizeof args, " -C %s %s %s %s; rm -f %s", name.c_str(),
                    BkJukeI_SpeedWord(speed), BkJukeI_ScopeWord(scope), file.c_str(), file.c_str());
  SJobQues_Job* job = nullptr;
  if (command.size() < sizeof job->command && n > 0 && static_cast<std::size_t>(n) < sizeof args) {
    job = SJobQues_CreateJob();
  }
  if (job == nullptr) {
    ::unlink(file.c_str());
    Fail(2, "::BkJukeI.MkJob: the command line does not fit into a job");
    return nullptr;
  }
  Strings_Assign(command, job->command);
  Strings_Assign(args, job->arguments);
  const char* tmp = std::getenv("TMP");
  Strings_Assign(std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp"), job->workDir);
  job->flag1 = false;
  job->cpuUsage = 0;
  SJobQues_SetReadableCommand(
      job, std::string(speed == BkJukeI_Speed::Fast ? "Inventory " : "Verification ") + name);
  return job;
}

int BkJukeI_StartInventory(StrIn juke, BkJukeI_Scope scope, const BkJuke_Selection& selection) {
  return Start(juke, BkJukeI_Speed::Fast, scope, selection);
}

int BkJukeI_StartVerification(StrIn juke, BkJukeI_Scope scope, const BkJuke_Selection& selection) {
  return Start(juke, BkJukeI_Speed::Slow, scope, selection);
}
