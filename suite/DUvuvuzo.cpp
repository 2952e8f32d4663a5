// DUvuvuzo: the suite's job server. Accepts jobs over the request protocol ("DUvuvuzo",
// port from VM_DUVUVUZO_PORT), keeps them in a queue that survives its own restart,
// waits for their preconditions and runs them, one after another, with /bin/sh.
//
// Started by the first client that cannot reach it ("DUvuvuzo </dev/null &"), it
// detaches from the caller's terminal and output and serves until it is terminated.
// When the port is already served it ends at once with status 1.
//
//   DUvuvuzo [-f]     -f: stay in the foreground and keep standard error
#include <fcntl.h>
#include <fnmatch.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "CCprotocol.hpp"
#include "Daemon.hpp"
#include "DirAcces.hpp"
#include "Processe.hpp"
#include "ReqServer.hpp"
#include "SClient.hpp"
#include "SRMproto.hpp"
#include "UArgs.hpp"
#include "Utility.hpp"
#include "VErarBase.hpp"

extern char** environ;

namespace {

using Status = VErarBase_Status;
using Kind = VErarBase_PrecondKind;

constexpr int kTickMs = 200;
// A script precondition that runs longer than this counts as not met.
constexpr int kScriptPrecondMs = 10000;
// After a failed attempt the resource manager is not tried again for this long.
constexpr long long kResourceManagerRetryMs = 5000;
constexpr int kResourceManagerTimeoutMs = 5000;

// Runs the job's command and leaves its exit status in a file, so that a restarted job
// server can still learn how a job ended that it did not see end itself.
// The exit file is made (and given to the job's owner) before the command starts.
constexpr const char* kWrapper = "/bin/sh -c \"$1\"; s=$?; echo $s 2>/dev/null >\"$2\"; exit $s";

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string MachineName() {
  char machine[128] = {};
  DirAcces_GetMachineName(machine);
  return StrIn(machine).str();
}

// In a child before exec: a clean signal state and no inherited descriptors but 0-2.
void PrepareChild() {
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int s = 1; s < NSIG; ++s) ::signal(s, SIG_DFL);
  for (int fd = 3; fd < 1024; ++fd) ::close(fd);
}

// In a child before exec: input from /dev/null, output and errors appended to the job's
// error file, which belongs to owner (uid, gid) when one is given.
void RedirectToErrorFile(const std::string& errorFile, int uid = -1, int gid = -1) {
  const int null = ::open("/dev/null", O_RDONLY);
  if (null >= 0) ::dup2(null, 0);
  if (null > 0) ::close(null);
  const int out = ::open(errorFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (out < 0) return;
  if (uid >= 0 && ::fchown(out, uid, gid) != 0) {
    // The file stays the server's; the job can still write to it through this descriptor.
  }
  ::dup2(out, 1);
  ::dup2(out, 2);
  if (out > 2) ::close(out);
}

struct QueuedJob {
  VErarBase_Job job;
  int pid = -1;          // the running job's process (leader of its own group)
  bool adopted = false;  // running since before a restart: not our child
  bool cancel = false;   // cancel requested while running
  long long startedMs = 0;
};

class JobServer {
 public:
  explicit JobServer(const SProtocol& protocol) : server_(protocol) { machine_ = MachineName(); }

  bool Start(int port, std::string& error) {
    if (!server_.Listen(port, error)) return false;
    const std::string base = Daemon_DatDir() + "/DUvuvuzo-" + std::to_string(server_.port());
    queueFile_ = base + ".queue";
    spoolDir_ = base + ".jobs";
    ::mkdir(spoolDir_.c_str(), 0755);
    std::int64_t slots = 1;
    if (DirAcces_CheckIntFlag("DUVUVUZO_PARALLEL", slots) && slots > 0) {
      slots_ = static_cast<int>(slots);
    }
    Load();
    Register();
    return true;
  }

  void Run() { server_.Run(); }
  int port() const { return server_.port(); }

 private:
  // ---- Persistence: a line with the queue status, then each job string after its length ----

  void Save() {
    const std::string temporary = queueFile_ + ".tmp" + std::to_string(::getpid());
    std::FILE* f = std::fopen(temporary.c_str(), "w");
    if (f == nullptr) return;
    std::fprintf(f, "# DUvuvuzo queue %s\n", stopped_ ? "stopped" : "running");
    for (const QueuedJob& q : jobs_) {
      VErarBase_Job copy = q.job;
      if (q.job.status == Status::Running) {
        copy.extra.emplace_back("SERVER_PID", std::to_string(q.pid));
        if (q.cancel) copy.extra.emplace_back("CANCEL", "1");
      }
      // Job strings may hold line feeds (commands of several lines): each record tells
      // its length.
      const std::string text = VErarBase_Render(copy);
      std::fprintf(f, "%zu %s\n", text.size(), text.c_str());
    }
    const bool ok = std::fflush(f) == 0 && ::fsync(::fileno(f)) == 0;
    if (std::fclose(f) == 0 && ok) {
      std::rename(temporary.c_str(), queueFile_.c_str());
    } else {
      std::remove(temporary.c_str());
    }
  }

  void Load() {
    std::ifstream in(queueFile_);
    std::string status;
    if (!std::getline(in, status)) return;
    stopped_ = status.ends_with("stopped");
    std::size_t length = 0;
    while (in >> length && in.get() == ' ') {
      std::string text(length, '\0');
      if (!in.read(text.data(), static_cast<std::streamsize>(length)) || in.get() != '\n') break;
      QueuedJob q;
      std::string error;
      if (!VErarBase_Parse(text, q.job, error)) continue;
      std::erase_if(q.job.extra, [&q](const auto& piece) {
        if (piece.first == "SERVER_PID") q.pid = std::atoi(piece.second.c_str());
        if (piece.first == "CANCEL") q.cancel = true;
        return piece.first == "SERVER_PID" || piece.first == "CANCEL";
      });
      if (q.job.status == Status::Running) {
        q.adopted = true;
        q.startedMs = NowMs();
      } else if (q.job.status == Status::WaitingForPrecond) {
        q.job.status = Status::Waiting;
      }
      jobs_.push_back(std::move(q));
    }
  }

  // ---- Files of a job ----

  std::string JobFile(const VErarBase_Job& job, const char* suffix) const {
    std::string name = job.id;
    std::replace(name.begin(), name.end(), '/', '_');
    return spoolDir_ + "/" + name + suffix;
  }

  void Note(const VErarBase_Job& job, const std::string& text) {
    if (std::FILE* f = std::fopen(job.errorFileName.c_str(), "a")) {
      std::fprintf(f, "DUvuvuzo: %s\n", text.c_str());
      std::fclose(f);
    }
  }

  std::string HolderHost(const VErarBase_Job& job) const {
    return job.employerHost.empty() ? machine_ : job.employerHost;
  }

  // ---- The resource manager ----

  SClient_Connection* ResourceManager() {
    if (rm_ != nullptr && SClient_IsConnected(rm_)) return rm_;
    if (NowMs() < nextRmTry_) return nullptr;
    if (rmProtocol_ == nullptr) rmProtocol_ = SRMproto_CreateProtocol();
    if (rm_ == nullptr) {
      rm_ = SClient_Connect("", kResourceManagerTimeoutMs, nullptr, rmProtocol_.get(),
                            SClient_NoopYield);
    } else {
      SClient_Reconnect(rm_);
    }
    if (SClient_IsConnected(rm_)) return rm_;
    nextRmTry_ = NowMs() + kResourceManagerRetryMs;
    return nullptr;
  }

  bool Reserve(const VErarBase_Job& job, const std::string& name) {
    SClient_Connection* rm = ResourceManager();
    if (rm == nullptr) return false;
    const SReqObj params = SReqObj::Array({SReqObj::String(HolderHost(job)),
                                           SReqObj::Integer(VErarBase_HolderPid(job.id)),
                                           SReqObj::Boolean(false), SReqObj::String(name)});
    SReqObj result;
    if (!SClient_SendRequest(rm, SRMproto_reserve, 1, params, &result)) return false;
    return result.at(0).AsBoolean();
  }

  void RmRequest(std::string_view request, const VErarBase_Job& job, const std::string& name) {
    SClient_Connection* rm = ResourceManager();
    if (rm == nullptr) return;
    const SReqObj params =
        SReqObj::Array({SReqObj::String(HolderHost(job)),
                        SReqObj::Integer(VErarBase_HolderPid(job.id)), SReqObj::String(name)});
    SClient_SendRequest(rm, request, 1, params, nullptr);
  }

  // Gives back everything the job holds: the reservations handed over to it and those
  // its resource preconditions took.
  void ReleaseAll(const VErarBase_Job& job) {
    const bool holds = std::any_of(job.preconditions.begin(), job.preconditions.end(),
                                   [](const VErarBase_Precondition& p) {
                                     return p.kind == Kind::Inherited || p.kind == Kind::Resource;
                                   });
    if (holds) RmRequest(SRMproto_free, job, "*");
  }

  // In a child: takes on the job's surroundings before its command or script runs.
  // Output goes to the error file; a server running as root becomes the job's user and
  // group; the work directory becomes the current one. The exit file (when named) is
  // made for the wrapper. Ends the child with 126 when the job cannot be entered.
  void EnterJob(const VErarBase_Job& job, const std::string& exitFile) const {
    const bool asOwner = ::geteuid() == 0 && job.uid && job.gid;
    const int uid = asOwner ? *job.uid : -1, gid = asOwner ? *job.gid : -1;
    // Files of the spool directory are made by the server and handed to the owner; an
    // error file the submitter named is opened as the owner, so that a job never writes
    // where its owner may not.
    const bool spoolFile = job.errorFileName.rfind(spoolDir_ + "/", 0) == 0;
    if (spoolFile || !asOwner) RedirectToErrorFile(job.errorFileName, uid, gid);
    if (!exitFile.empty()) {
      const int exitFd = ::open(exitFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (exitFd >= 0) {
        if (uid >= 0 && ::fchown(exitFd, uid, gid) != 0) {
          // Without it the outcome is only known to the server that started the job.
        }
        ::close(exitFd);
      }
    }
    if (asOwner && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)) {
      std::fprintf(stderr, "DUvuvuzo: cannot take user %d and group %d: %s\n", uid, gid,
                   std::strerror(errno));
      ::_exit(126);
    }
    if (!spoolFile && asOwner) RedirectToErrorFile(job.errorFileName);
    if (!job.workDir.empty() && ::chdir(job.workDir.c_str()) != 0) {
      std::fprintf(stderr, "DUvuvuzo: cannot change to the work directory %s: %s\n",
                   job.workDir.c_str(), std::strerror(errno));
      ::_exit(126);
    }
  }

  // ---- Preconditions ----

  bool ScriptSucceeds(const VErarBase_Job& job, const std::string& script) {
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
      PrepareChild();
      EnterJob(job, "");
      ::execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    const long long end = NowMs() + kScriptPrecondMs;
    int status = 0;
    for (;;) {
      const pid_t r = ::waitpid(pid, &status, WNOHANG);
      if (r == pid) break;
      if (r < 0 || NowMs() > end) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return false;
      }
      ::usleep(10000);
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

  bool PreconditionsMet(const VErarBase_Job& job) {
    for (const VErarBase_Precondition& p : job.preconditions) {
      if (p.kind != Kind::File) continue;
      // A relative path names a file in the job's work directory.
      const std::string path =
          p.value[0] == '/' || job.workDir.empty() ? p.value : job.workDir + "/" + p.value;
      if (::access(path.c_str(), F_OK) != 0) return false;
    }
    for (const VErarBase_Precondition& p : job.preconditions) {
      if (p.kind == Kind::Script && !ScriptSucceeds(job, p.value)) return false;
    }
    // Resource preconditions last: they are taken for the job and must all be had at
    // once; those taken in a round that does not get them all go back.
    std::vector<const std::string*> taken;
    for (const VErarBase_Precondition& p : job.preconditions) {
      if (p.kind != Kind::Resource) continue;
      if (!Reserve(job, p.value)) {
        for (const std::string* name : taken) RmRequest(SRMproto_release, job, *name);
        return false;
      }
      taken.push_back(&p.value);
    }
    return true;
  }

  // ---- Running ----

  void Launch(QueuedJob& q) {
    VErarBase_Job& job = q.job;
    const std::string exitFile = JobFile(job, ".exit");
    std::remove(exitFile.c_str());
    std::string command = job.command;
    if (job.type == VErarBase_Type::Script) {
      std::string quoted;
      for (const char c : command) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
      command = "/bin/sh '" + quoted + "'";
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::setsid();
      PrepareChild();
      EnterJob(job, exitFile);
      ::execl("/bin/sh", "sh", "-c", kWrapper, "sh", command.c_str(), exitFile.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    if (pid < 0) {
      Note(job, std::string("cannot start the job: ") + std::strerror(errno));
      Finish(q, Status::Failed);
      return;
    }
    q.pid = pid;
    q.adopted = false;
    q.cancel = false;
    q.startedMs = NowMs();
    job.status = Status::Running;
  }

  void Finish(QueuedJob& q, Status status) {
    q.job.status = status;
    q.pid = -1;
    q.adopted = false;
    ReleaseAll(q.job);
    std::remove(JobFile(q.job, ".exit").c_str());
  }

  // The outcome of a job that ended with exit status code (-1: unknown).
  void Ended(QueuedJob& q, int code) {
    if (q.cancel) {
      Finish(q, Status::Canceled);
    } else if (code == 0) {
      Finish(q, Status::Done);
    } else {
      if (code < 0) Note(q.job, "the job ended while the job server was away; outcome unknown");
      Finish(q, Status::Failed);
    }
  }

  int ExitFileCode(const VErarBase_Job& job) {
    std::ifstream in(JobFile(job, ".exit"));
    int code = -1;
    if (!(in >> code)) return -1;
    return code;
  }

  void Reap() {
    bool changed = false;
    int status = 0;
    pid_t pid;
    while ((pid = ::waitpid(-1, &status, WNOHANG)) > 0) {
      for (QueuedJob& q : jobs_) {
        if (q.pid != pid || q.job.status != Status::Running) continue;
        Ended(q, WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
        changed = true;
      }
    }
    for (QueuedJob& q : jobs_) {
      if (q.job.status != Status::Running) continue;
      // A job started before a restart is not our child: its exit file tells that it is
      // over (its process may linger as a zombie of someone else), or it is gone.
      const int code = q.adopted ? ExitFileCode(q.job) : -1;
      if (q.adopted && (code >= 0 || !Processe_IsAlive(q.pid))) {
        Ended(q, code);
        changed = true;
      } else if (q.job.timeout > 0 && !q.cancel &&
                 NowMs() - q.startedMs > static_cast<long long>(q.job.timeout * 1000)) {
        Note(q.job, "time-out: the job is stopped");
        ::kill(-q.pid, SIGTERM);
        q.job.timeout = 0;
      }
    }
    if (changed) Save();
  }

  void Schedule() {
    if (stopped_) return;
    bool changed = false;
    int running =
        static_cast<int>(std::count_if(jobs_.begin(), jobs_.end(), [](const QueuedJob& q) {
          return q.job.status == Status::Running;
        }));
    // Highest priority first, in the order of arrival within a priority.
    std::vector<QueuedJob*> order;
    for (QueuedJob& q : jobs_) {
      if (q.job.status == Status::Waiting || q.job.status == Status::WaitingForPrecond) {
        order.push_back(&q);
      }
    }
    std::stable_sort(order.begin(), order.end(), [](const QueuedJob* a, const QueuedJob* b) {
      return a->job.priority > b->job.priority;
    });
    for (QueuedJob* q : order) {
      if (running >= slots_) break;
      if (!PreconditionsMet(q->job)) {
        if (q->job.status != Status::WaitingForPrecond) {
          q->job.status = Status::WaitingForPrecond;
          changed = true;
        }
        continue;
      }
      Launch(*q);
      if (q->job.status == Status::Running) ++running;
      changed = true;
    }
    if (changed) Save();
  }

  void Tick() {
    Reap();
    Schedule();
  }

  // ---- Requests ----

  QueuedJob* Find(const std::string& id) {
    for (QueuedJob& q : jobs_) {
      if (q.job.id == id) return &q;
    }
    return nullptr;
  }

  static bool Matches(const std::string& pattern, const std::string& id) {
    return pattern.empty() || ::fnmatch(pattern.c_str(), id.c_str(), 0) == 0;
  }

  void Submit(ReqServer_Call& call) {
    VErarBase_Job job;
    std::string error;
    if (!VErarBase_Parse(call.params.at(0).AsString(), job, error)) {
      call.Fail(ReqServer_failed, "bad job string: " + error);
    } else if (job.type != VErarBase_Type::Inline && job.type != VErarBase_Type::Script) {
      call.Fail(ReqServer_failed, "job type not served here");
    } else if (job.command.empty()) {
      call.Fail(ReqServer_failed, "job without command");
    } else if (!job.id.empty() && Find(job.id) != nullptr) {
      call.Fail(ReqServer_failed, "job " + job.id + " is already in the queue");
    }
    if (call.status != 0) {
      std::fprintf(stderr, "DUvuvuzo: job refused: %s\n", call.errorText.c_str());
      return;
    }
    if (job.id.empty()) {
      job.id = machine_ + "-" + std::to_string(Utility_GetCurrentTimeMillis()) + "-" +
               std::to_string(::getpid()) + "-" + std::to_string(ownIds_++);
    }
    job.status = Status::Waiting;
    if (job.errorFileName.empty()) job.errorFileName = JobFile(job, ".err");
    jobs_.push_back(QueuedJob{job});
    Save();
    call.result.push_back(SReqObj::String(job.id));
  }

  void JobCommand(ReqServer_Call& call) {
    const auto command = static_cast<CCprotocol_JobCommand>(call.params.at(0).AsInteger());
    const bool failedOnly = call.params.at(1).AsBoolean();
    std::vector<std::string> ids;
    for (const SReqObj& e : call.params.at(2).elements()) ids.push_back(e.AsString());
    auto named = [&ids](const QueuedJob& q) {
      return std::find(ids.begin(), ids.end(), q.job.id) != ids.end();
    };
    int affected = 0;
    switch (command) {
      case CCprotocol_JobCommand::Cancel:
        for (QueuedJob& q : jobs_) {
          if (!named(q)) continue;
          if (q.job.status == Status::Running && !q.cancel) {
            q.cancel = true;
            ::kill(-q.pid, SIGTERM);
            ++affected;
          } else if (!VErarBase_IsFinal(q.job.status) && q.job.status != Status::Running) {
            Finish(q, Status::Canceled);
            ++affected;
          }
        }
        break;
      case CCprotocol_JobCommand::Remove:
        affected = static_cast<int>(std::erase_if(jobs_, [&](const QueuedJob& q) {
          const Status s = q.job.status;
          const bool over =
              failedOnly ? (s == Status::Failed || s == Status::Canceled) : VErarBase_IsFinal(s);
          return over && (ids.empty() || named(q));
        }));
        break;
      case CCprotocol_JobCommand::Restart:
        for (QueuedJob& q : jobs_) {
          if (named(q) && (q.job.status == Status::Failed || q.job.status == Status::Canceled)) {
            q.job.status = Status::Waiting;
            ++affected;
          }
        }
        break;
      default:
        break;
    }
    Save();
    call.result.push_back(SReqObj::Integer(affected));
  }

  void Register() {
    server_.OnRequest(CCprotocol_submitJob, 1, [this](ReqServer_Call& c) { Submit(c); });
    server_.OnRequest(CCprotocol_asyncSubmitJob, 1, [this](ReqServer_Call& c) { Submit(c); });
    server_.OnRequest(CCprotocol_getJobInfos, 1, [this](ReqServer_Call& call) {
      const std::string pattern = call.params.at(0).AsString();
      for (const QueuedJob& q : jobs_) {
        if (Matches(pattern, q.job.id))
          call.result.push_back(SReqObj::String(VErarBase_Render(q.job)));
      }
    });
    server_.OnRequest(CCprotocol_isJobInQueue, 1, [this](ReqServer_Call& call) {
      const std::string pattern = call.params.at(0).AsString();
      const bool found = std::any_of(jobs_.begin(), jobs_.end(), [&](const QueuedJob& q) {
        return !VErarBase_IsFinal(q.job.status) && Matches(pattern, q.job.id);
      });
      call.result.push_back(SReqObj::Boolean(found));
    });
    server_.OnRequest(CCprotocol_getQueueStatus, 1, [this](ReqServer_Call& call) {
      int waiting = 0, running = 0;
      for (const QueuedJob& q : jobs_) {
        if (q.job.status == Status::Running) ++running;
        if (q.job.status == Status::Waiting || q.job.status == Status::WaitingForPrecond) ++waiting;
      }
      call.result.push_back(SReqObj::String(stopped_ ? "stopped" : "running"));
      call.result.push_back(SReqObj::Integer(waiting));
      call.result.push_back(SReqObj::Integer(running));
    });
    server_.OnRequest(CCprotocol_setQueueStatus, 1, [this](ReqServer_Call& call) {
      call.result.push_back(SReqObj::String(stopped_ ? "stopped" : "running"));
      stopped_ = call.params.at(0).AsInteger() == static_cast<int>(CCprotocol_QueueStatus::Stopped);
      Save();
    });
    server_.OnRequest(CCprotocol_jobCommand, 1, [this](ReqServer_Call& c) { JobCommand(c); });
    server_.Every(kTickMs, [this] { Tick(); });
  }

  ReqServer server_;
  std::vector<QueuedJob> jobs_;
  bool stopped_ = false;
  int slots_ = 1;
  int ownIds_ = 0;
  std::string machine_;
  std::string queueFile_;
  std::string spoolDir_;
  SClient_Connection* rm_ = nullptr;
  std::unique_ptr<SProtocol> rmProtocol_;
  long long nextRmTry_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  M2C_INIT(argc, argv, environ);
  const bool foreground = argc > 1 && std::strcmp(argv[1], "-f") == 0;
  if (!foreground) Daemon_Detach();
  DirAcces_Init();
  Utility_Init();
  SClient_Init();
  SRMproto_Init();
  CCprotocol_Init();
  VErarBase_Init();
  ReqServer_Init();
  Daemon_Init();
  Daemon_TakeSignals();
  Processe_SignalIgnore(Processe_SIGPIPE);

  const auto protocol = CCprotocol_CreateServerProtocol();
  JobServer jobServer(*protocol);
  std::string error;
  if (!jobServer.Start(SClient_ServerPort(*protocol), error)) {
    std::fprintf(stderr, "DUvuvuzo: %s\n", error.c_str());
    return 1;
  }
  Daemon_ServeWithPidFile("DUvuvuzo", jobServer.port(), [&] { jobServer.Run(); });
  Processe_SetExitStatus(0);
  Processe_Exit();
}
