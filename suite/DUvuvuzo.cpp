// DUvuvuzo: the suite's job server. Accepts jobs over the request protocol ("DUvuvuzo",
// port from VM_DUVUVUZO_PORT), keeps them in a queue that survives its own restart,
// waits for their preconditions and runs them with /bin/sh, several at once.
//
// A job never runs with more rights than its submitter: a local submitter is known by
// the owner of its end of the connection in the kernel's socket table, and its jobs run
// as that user whatever the job string claims (a root submitter may name the user).
// Other hosts reach the server only when VM_DUVUVUZO_HOSTS names them; their jobs run as
// the unprivileged user VM_DUVUVUZO_REMOTE_USER (default "nobody").
//
// Started by the first client that cannot reach it ("DUvuvuzo </dev/null &"), it
// detaches from the caller's terminal and output and serves until it is terminated.
// When the port is already served it ends at once with status 1.
//
//   DUvuvuzo [-f]     -f: stay in the foreground and keep standard error
#include <arpa/inet.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <grp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
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
// A script precondition that runs longer than this counts as not met (the number flag
// DUVUVUZO_SCRIPT_TIMEOUT, in seconds, changes it); a script that did not pass is tried
// again after a tick.
constexpr long long kScriptPrecondMs = 10000;
// Time-outs beyond this many seconds (about 30 years), and those that are not a finite
// positive number, mean none.
constexpr double kLongestTimeout = 1e9;
// While jobs hold reservations the resource manager is asked this often whether it is
// still the one that knows them.
constexpr long long kHoldingCheckMs = 1000;
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

// A job's time-out in milliseconds; 0 for none.
long long TimeoutMs(double seconds) {
  if (!std::isfinite(seconds) || seconds <= 0 || seconds > kLongestTimeout) return 0;
  return std::max(1LL, static_cast<long long>(seconds * 1000));
}

// ---- Who is on the other end of a connection ----

struct Peer {
  bool local = false;   // its socket is in this machine's socket table
  uid_t uid = 0;        // for a local peer: the owner of its socket
  std::string address;  // dotted form
  in_addr_t raw = 0;
};

// The connection's other end. Only a process of this machine can own the matching
// entry of the kernel's socket table; its owner is the submitter.
std::optional<Peer> PeerOf(int fd) {
  sockaddr_in peer{};
  socklen_t peerLen = sizeof peer;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0 ||
      peer.sin_family != AF_INET) {
    return std::nullopt;
  }
  Peer p;
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
  p.address = text;
  p.raw = peer.sin_addr.s_addr;
  if (const int uid = ReqServer_PeerUid(fd); uid >= 0) {
    p.local = true;
    p.uid = static_cast<uid_t>(uid);
  }
  return p;
}

// Whether the configured host list (names or addresses, separated by blanks or commas)
// names the address.
bool HostAllowed(const std::string& hosts, in_addr_t address) {
  std::string list = hosts;
  std::replace(list.begin(), list.end(), ',', ' ');
  std::istringstream names(list);
  std::string name;
  while (names >> name) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0) continue;
    bool match = false;
    for (const addrinfo* a = found; a != nullptr && !match; a = a->ai_next) {
      match = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr == address;
    }
    ::freeaddrinfo(found);
    if (match) return true;
  }
  return false;
}

std::string StringFlag(const char* name) {
  char value[1024] = {};
  if (!DirAcces_CheckStringFlag(StrIn::FromC(name), value)) return {};
  return StrIn(value).str();
}

// Appends text to a file the server opens for a job: never through a symbolic link,
// never a new file, and only a regular file that belongs to the job's user (or any
// when that user is root), so that a job cannot make the server write where its user
// may not.
void AppendAsOwner(const std::string& path, const std::string& text, uid_t owner) {
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (owner == 0 || st.st_uid == owner)) {
    if (::write(fd, text.data(), text.size()) < 0) {
      // A note that cannot be written is lost; the job's status still tells.
    }
  }
  ::close(fd);
}

// The SIGCHLD self-pipe: the loop wakes as soon as a job or a precondition script ends.
int childPipe[2] = {-1, -1};

void OnChild(int) {
  const int saved = errno;
  const char byte = 'c';
  if (::write(childPipe[1], &byte, 1) < 0) {
    // Full: the loop is woken already.
  }
  errno = saved;
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
// error file, which belongs to owner (uid, gid) when one is given. The file is never
// reached through a symbolic link.
void RedirectToErrorFile(const std::string& errorFile, int uid = -1, int gid = -1) {
  const int null = ::open("/dev/null", O_RDONLY);
  if (null >= 0) ::dup2(null, 0);
  if (null > 0) ::close(null);
  const int out =
      ::open(errorFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NOCTTY, 0644);
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
  int pid = -1;             // the running job's process (leader of its own group)
  bool adopted = false;     // running since before a restart: not our child
  bool cancel = false;      // cancel requested while running
  bool handedBack = false;  // what was handed over to it has been freed
  long long startedMs = 0;
  // The job's script preconditions, run beside the loop in a process group of their own.
  enum class Script { Idle, Running, Passed, Failed } script = Script::Idle;
  int scriptPid = -1;
  long long scriptDeadlineMs = 0;
  long long nextScriptMs = 0;
};

// The user and group a job runs as, decided from its submitter; or why it is refused.
struct Owner {
  std::string refusal;
  uid_t uid = 0;
  gid_t gid = 0;
  bool root = false;  // a root submitter: the job names its user itself
};

class JobServer {
 public:
  explicit JobServer(const SProtocol& protocol) : server_(protocol) { machine_ = MachineName(); }

  bool Start(int port, std::string& error) {
    remoteHosts_ = StringFlag("DUVUVUZO_HOSTS");
    remoteUser_ = StringFlag("DUVUVUZO_REMOTE_USER");
    if (remoteUser_.empty()) remoteUser_ = "nobody";
    // Other machines cannot even connect unless some are named.
    if (!server_.Listen(port, error, remoteHosts_.find_first_not_of(" ,") == std::string::npos)) {
      return false;
    }
    const std::string base = Daemon_DatDir() + "/DUvuvuzo-" + std::to_string(server_.port());
    queueFile_ = base + ".queue";
    spoolDir_ = base + ".jobs";
    ::mkdir(spoolDir_.c_str(), 0755);
    const long processors = ::sysconf(_SC_NPROCESSORS_ONLN);
    slots_ = processors > 0 ? static_cast<int>(processors) : 1;
    std::int64_t slots = 0;
    if (DirAcces_CheckIntFlag("DUVUVUZO_PARALLEL", slots) && slots > 0) {
      slots_ = static_cast<int>(std::min<std::int64_t>(slots, 4096));
    }
    double scriptSeconds = 0;
    if (DirAcces_CheckRealFlag("DUVUVUZO_SCRIPT_TIMEOUT", scriptSeconds) &&
        TimeoutMs(scriptSeconds) > 0) {
      scriptTimeoutMs_ = TimeoutMs(scriptSeconds);
    }
    if (::pipe2(childPipe, O_NONBLOCK | O_CLOEXEC) != 0) {
      error = std::string("pipe: ") + std::strerror(errno);
      return false;
    }
    struct sigaction sa {};
    sa.sa_handler = OnChild;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    ::sigaction(SIGCHLD, &sa, nullptr);
    server_.Watch(childPipe[0], [this] {
      char drain[256];
      while (::read(childPipe[0], drain, sizeof drain) > 0) {
      }
      Tick();
    });
    Load();
    Register();
    return true;
  }

  // Serves until stopped. Jobs go on without the server (a restarted one watches them);
  // precondition scripts are the server's own work and end with it.
  void Run() {
    server_.Run();
    for (QueuedJob& q : jobs_) StopScripts(q);
  }
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
      if (q.handedBack) copy.extra.emplace_back("HANDED_BACK", "1");
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
        if (piece.first == "HANDED_BACK") q.handedBack = true;
        return piece.first == "SERVER_PID" || piece.first == "CANCEL" ||
               piece.first == "HANDED_BACK";
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

  bool OwnSpoolFile(const VErarBase_Job& job) const {
    return job.errorFileName == JobFile(job, ".err");
  }

  // A line of the server's own in the job's output.
  void Note(const VErarBase_Job& job, const std::string& text) {
    const std::string line = "DUvuvuzo: " + text + "\n";
    if (OwnSpoolFile(job)) {
      // Made by the server in its own directory, where nobody else can put a link.
      const int fd = ::open(job.errorFileName.c_str(),
                            O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
      if (fd >= 0) {
        if (::write(fd, line.data(), line.size()) < 0) {
          // Lost; the job's status still tells.
        }
        ::close(fd);
      }
      return;
    }
    AppendAsOwner(job.errorFileName, line, job.uid ? static_cast<uid_t>(*job.uid) : ::geteuid());
  }

  std::string HolderHost(const VErarBase_Job& job) const {
    return job.employerHost.empty() ? machine_ : job.employerHost;
  }

  // ---- The resource manager ----

  SClient_Connection* ResourceManager() {
    if (rm_ == nullptr || !SClient_IsConnected(rm_)) {
      if (NowMs() < nextRmTry_) return nullptr;
      if (rmProtocol_ == nullptr) rmProtocol_ = SRMproto_CreateProtocol();
      if (rm_ == nullptr) {
        rm_ = SClient_Connect("", kResourceManagerTimeoutMs, nullptr, rmProtocol_.get(),
                              SClient_NoopYield);
      } else {
        SClient_Reconnect(rm_);
      }
      if (!SClient_IsConnected(rm_)) {
        nextRmTry_ = NowMs() + kResourceManagerRetryMs;
        return nullptr;
      }
    }
    ReassertOnNewConnection();
    return rm_;
  }

  // Sends a request to the resource manager; a connection made anew on the way (the
  // manager restarted) first gets the jobs' holdings back.
  bool RmSend(std::string_view request, const SReqObj& params, SReqObj* result) {
    SClient_Connection* rm = ResourceManager();
    if (rm == nullptr) return false;
    const bool ok = SClient_SendRequest(rm, request, 1, params, result);
    ReassertOnNewConnection();
    return ok;
  }

  SReqObj HolderParams(const VErarBase_Job& job, std::optional<bool> trap,
                       const std::string& name) const {
    SReqObj params = SReqObj::Array(
        {SReqObj::String(HolderHost(job)), SReqObj::Integer(VErarBase_HolderPid(job.id))});
    if (trap) params.Append(SReqObj::Boolean(*trap));
    params.Append(SReqObj::String(name));
    return params;
  }

  bool Reserve(const VErarBase_Job& job, const std::string& name) {
    SReqObj result;
    return RmSend(SRMproto_reserve, HolderParams(job, false, name), &result) &&
           result.at(0).AsBoolean();
  }

  void RmRequest(std::string_view request, const VErarBase_Job& job, const std::string& name) {
    RmSend(request, HolderParams(job, std::nullopt, name), nullptr);
  }

  // A resource manager that was restarted may have forgotten what the jobs hold (or
  // granted it to others since): on every new connection the server tells it again
  // what each job holds. Hand-overs are recorded as uses, as their submitter made
  // them; what a running job reserved is reserved again, and a conflict is noted in the
  // job's output.
  void ReassertOnNewConnection() {
    const int number = SClient_ConnectionNumber(rm_);
    if (reasserting_ || number == rmConnection_) return;
    reasserting_ = true;
    rmConnection_ = number;
    for (QueuedJob& q : jobs_) {
      if (VErarBase_IsFinal(q.job.status)) continue;
      for (const VErarBase_Precondition& p : q.job.preconditions) {
        if (p.kind == Kind::Inherited && !q.handedBack) {
          SClient_SendRequest(rm_, SRMproto_use, 1, HolderParams(q.job, false, p.value), nullptr);
        } else if (p.kind == Kind::Resource && q.job.status == Status::Running) {
          SReqObj result;
          if (SClient_SendRequest(rm_, SRMproto_reserve, 1, HolderParams(q.job, false, p.value),
                                  &result) &&
              !result.at(0).AsBoolean()) {
            Note(q.job,
                 "the reservation " + p.value + " was lost while the resource manager was away");
          }
        }
      }
    }
    reasserting_ = false;
  }

  bool HoldsSomething(const QueuedJob& q) const {
    if (VErarBase_IsFinal(q.job.status)) return false;
    return std::any_of(q.job.preconditions.begin(), q.job.preconditions.end(),
                       [&q](const VErarBase_Precondition& p) {
                         return (p.kind == Kind::Inherited && !q.handedBack) ||
                                (p.kind == Kind::Resource && q.job.status == Status::Running);
                       });
  }

  // While jobs hold reservations, a resource manager that went away is noticed soon.
  void CheckHoldings() {
    if (NowMs() < nextHoldingCheck_) return;
    nextHoldingCheck_ = NowMs() + kHoldingCheckMs;
    if (std::none_of(jobs_.begin(), jobs_.end(),
                     [this](const QueuedJob& q) { return HoldsSomething(q); })) {
      return;
    }
    SReqObj result;
    RmSend(SProtocol_testService, SReqObj::Array(), &result);
  }

  // Gives back everything the job holds: the reservations handed over to it and those
  // its resource preconditions took.
  void ReleaseAll(QueuedJob& q) {
    const VErarBase_Job& job = q.job;
    const bool holds = std::any_of(job.preconditions.begin(), job.preconditions.end(),
                                   [](const VErarBase_Precondition& p) {
                                     return p.kind == Kind::Inherited || p.kind == Kind::Resource;
                                   });
    q.handedBack = true;
    if (holds) RmRequest(SRMproto_free, job, "*");
  }

  // In a child: takes on the job's surroundings before its command or script runs.
  // Output goes to the error file; a server running as root becomes the job's user and
  // group; the work directory becomes the current one. The exit file (when named) is
  // made for the wrapper. Ends the child with 126 when the job cannot be entered.
  void EnterJob(const VErarBase_Job& job, const std::string& exitFile) const {
    const bool asOwner = ::geteuid() == 0 && job.uid && job.gid;
    const int uid = asOwner ? *job.uid : -1, gid = asOwner ? *job.gid : -1;
    // The job's own file in the spool directory is made by the server and handed to the
    // owner; any other error file is opened as the owner, so that a job never writes
    // where its owner may not.
    const bool spoolFile = OwnSpoolFile(job);
    if (spoolFile || !asOwner) RedirectToErrorFile(job.errorFileName, uid, gid);
    if (!exitFile.empty()) {
      const int exitFd = ::open(exitFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644);
      if (exitFd >= 0) {
        if (uid >= 0 && ::fchown(exitFd, uid, gid) != 0) {
          // Without it the outcome is only known to the server that started the job.
        }
        ::close(exitFd);
      }
    }
    if (asOwner) {
      const passwd* pw = ::getpwuid(static_cast<uid_t>(uid));
      const bool groups =
          pw != nullptr ? ::initgroups(pw->pw_name, gid) == 0 : ::setgroups(0, nullptr) == 0;
      if (!groups || ::setgid(gid) != 0 || ::setuid(uid) != 0) {
        std::fprintf(stderr, "DUvuvuzo: cannot take user %d and group %d: %s\n", uid, gid,
                     std::strerror(errno));
        ::_exit(126);
      }
    }
    if (!spoolFile && asOwner) RedirectToErrorFile(job.errorFileName);
    if (!job.workDir.empty() && ::chdir(job.workDir.c_str()) != 0) {
      std::fprintf(stderr, "DUvuvuzo: cannot change to the work directory %s: %s\n",
                   job.workDir.c_str(), std::strerror(errno));
      ::_exit(126);
    }
  }

  // ---- Preconditions ----

  // Starts the job's script preconditions, one after another in one process group, as
  // the job's user; the loop goes on meanwhile and learns the outcome when it ends.
  void StartScripts(QueuedJob& q, const std::vector<const std::string*>& scripts) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::setpgid(0, 0);
      PrepareChild();
      EnterJob(q.job, "");
      std::vector<const char*> argv = {"sh", "-c", "for s do /bin/sh -c \"$s\" || exit 1; done",
                                       "sh"};
      for (const std::string* script : scripts) argv.push_back(script->c_str());
      argv.push_back(nullptr);
      ::execv("/bin/sh", const_cast<char* const*>(argv.data()));
      ::_exit(127);
    }
    if (pid < 0) {
      q.script = QueuedJob::Script::Failed;
      return;
    }
    ::setpgid(pid, pid);  // the child may not have got there yet
    q.script = QueuedJob::Script::Running;
    q.scriptPid = pid;
    q.scriptDeadlineMs = NowMs() + scriptTimeoutMs_;
  }

  void StopScripts(QueuedJob& q) {
    if (q.script == QueuedJob::Script::Running) ::kill(-q.scriptPid, SIGKILL);
  }

  void ScriptsEnded(QueuedJob& q, int status) {
    q.script = WIFEXITED(status) && WEXITSTATUS(status) == 0 ? QueuedJob::Script::Passed
                                                             : QueuedJob::Script::Failed;
    q.scriptPid = -1;
    q.nextScriptMs = NowMs() + kTickMs;
  }

  // Whether the job may start now. Script preconditions take one round of their own:
  // started here, their outcome is used the next time the job is looked at.
  bool PreconditionsMet(QueuedJob& q) {
    const VErarBase_Job& job = q.job;
    for (const VErarBase_Precondition& p : job.preconditions) {
      if (p.kind != Kind::File) continue;
      // A relative path names a file in the job's work directory.
      const std::string path =
          p.value[0] == '/' || job.workDir.empty() ? p.value : job.workDir + "/" + p.value;
      if (::access(path.c_str(), F_OK) != 0) return false;
    }
    std::vector<const std::string*> scripts;
    for (const VErarBase_Precondition& p : job.preconditions) {
      if (p.kind == Kind::Script) scripts.push_back(&p.value);
    }
    if (!scripts.empty()) {
      switch (q.script) {
        case QueuedJob::Script::Running:
          return false;
        case QueuedJob::Script::Failed:
          if (NowMs() < q.nextScriptMs) return false;
          [[fallthrough]];
        case QueuedJob::Script::Idle:
          StartScripts(q, scripts);
          return false;
        case QueuedJob::Script::Passed:
          q.script = QueuedJob::Script::Idle;  // looked at anew next time
          break;
      }
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

  // The job's progress file starts empty for every run. The server's own one, in the
  // spool directory, is made here and handed to the job's user, who cannot make files
  // there; any other is left to the job.
  void StartProgress(const VErarBase_Job& job) const {
    if (job.progressFileName != JobFile(job, ".progress")) return;
    const int fd = ::open(job.progressFileName.c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return;  // the job runs all the same, only without a visible progress
    if (::geteuid() == 0 && job.uid && job.gid && ::fchown(fd, *job.uid, *job.gid) != 0) {
      // Then the job's own lines cannot reach it; the job log still has them.
    }
    ::close(fd);
  }

  void Launch(QueuedJob& q) {
    VErarBase_Job& job = q.job;
    const std::string exitFile = JobFile(job, ".exit");
    std::remove(exitFile.c_str());
    StartProgress(job);
    std::string command = job.command;
    if (job.type == VErarBase_Type::Script) {
      std::string quoted;
      for (const char c : command) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
      command = "/bin/sh '" + quoted + "'";
    } else {
      // A command that names a program of the work directory (a generated script; the
      // classic record adds a blank for its empty arguments) runs that program, with its
      // own interpreter line, whatever PATH holds.
      const std::string word = command.substr(0, command.find_last_not_of(' ') + 1);
      if (!word.empty() && word.find_first_of("/ \t;&|<>()$`'\"\\") == std::string::npos &&
          ::access((job.workDir + "/" + word).c_str(), X_OK) == 0) {
        command = "./" + command;
      }
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::setsid();
      PrepareChild();
      EnterJob(job, exitFile);
      // Where the job's steps tell how far they are (vqueue show reads it).
      if (!job.progressFileName.empty())
        ::setenv("VM_JOB_PROGRESS", job.progressFileName.c_str(), 1);
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
    StopScripts(q);
    ReleaseAll(q);
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
        if (q.scriptPid == pid && q.script == QueuedJob::Script::Running) ScriptsEnded(q, status);
        if (q.pid != pid || q.job.status != Status::Running) continue;
        Ended(q, WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
        changed = true;
      }
    }
    for (QueuedJob& q : jobs_) {
      // A script that overstays is stopped with all it started; it counts as not met.
      if (q.script == QueuedJob::Script::Running && NowMs() > q.scriptDeadlineMs) {
        ::kill(-q.scriptPid, SIGKILL);
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
      } else if (TimeoutMs(q.job.timeout) > 0 && !q.cancel &&
                 NowMs() - q.startedMs > TimeoutMs(q.job.timeout)) {
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
      if (!PreconditionsMet(*q)) {
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
    CheckHoldings();
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

  // Who sent the call, and as whom its jobs run.
  Owner OwnerOf(const ReqServer_Call& call) const {
    Owner o;
    const std::optional<Peer> peer = PeerOf(call.client.fd);
    if (!peer) {
      o.refusal = "the submitter cannot be identified";
      return o;
    }
    const passwd* pw = nullptr;
    if (peer->local) {
      o.uid = peer->uid;
      o.root = peer->uid == 0;
      if (o.root) return o;
      if (::geteuid() != 0 && peer->uid != ::geteuid()) {
        o.refusal = "the job server runs as user " + std::to_string(::geteuid()) +
                    " and cannot run jobs of user " + std::to_string(peer->uid);
        return o;
      }
      pw = ::getpwuid(peer->uid);
      if (pw == nullptr) {
        o.refusal = "user " + std::to_string(peer->uid) + " is unknown here";
        return o;
      }
    } else {
      if (!HostAllowed(remoteHosts_, peer->raw)) {
        o.refusal = "jobs from " + peer->address + " are not accepted here";
        return o;
      }
      pw = ::getpwnam(remoteUser_.c_str());
      if (pw == nullptr || pw->pw_uid == 0) {
        o.refusal = "no unprivileged user for jobs of other hosts (" + remoteUser_ + ")";
        return o;
      }
    }
    o.uid = pw->pw_uid;
    o.gid = pw->pw_gid;
    return o;
  }

  // The group a local user's job asks for, when the user is a member of it.
  static gid_t GroupFor(const Owner& owner, const VErarBase_Job& job) {
    if (!job.gid || static_cast<gid_t>(*job.gid) == owner.gid) return owner.gid;
    const passwd* pw = ::getpwuid(owner.uid);
    if (pw == nullptr) return owner.gid;
    int count = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    if (::getgrouplist(pw->pw_name, owner.gid, groups.data(), &count) < 0) {
      groups.resize(static_cast<std::size_t>(count));
      ::getgrouplist(pw->pw_name, owner.gid, groups.data(), &count);
    }
    groups.resize(static_cast<std::size_t>(std::max(count, 0)));
    const gid_t wanted = static_cast<gid_t>(*job.gid);
    return std::find(groups.begin(), groups.end(), wanted) != groups.end() ? wanted : owner.gid;
  }

  void Submit(ReqServer_Call& call) {
    VErarBase_Job job;
    std::string error;
    const Owner owner = OwnerOf(call);
    if (!owner.refusal.empty()) {
      call.Fail(ReqServer_failed, "job refused: " + owner.refusal);
    } else if (!VErarBase_Parse(call.params.at(0).AsString(), job, error)) {
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
    if (!owner.root) {
      // Whatever the job string claims: the job runs with its submitter's rights.
      job.gid = static_cast<std::int32_t>(GroupFor(owner, job));
      job.uid = static_cast<std::int32_t>(owner.uid);
    } else if (!job.uid) {
      job.uid = 0;
      if (!job.gid) job.gid = 0;
    }
    job.status = Status::Waiting;
    if (job.errorFileName.empty()) job.errorFileName = JobFile(job, ".err");
    if (job.progressFileName.empty()) job.progressFileName = JobFile(job, ".progress");
    jobs_.push_back(QueuedJob{job});
    Save();
    call.result.push_back(SReqObj::String(job.id));
  }

  void JobCommand(ReqServer_Call& call) {
    const Owner caller = OwnerOf(call);
    if (!caller.refusal.empty()) {
      call.Fail(ReqServer_failed, "command refused: " + caller.refusal);
      return;
    }
    const auto command = static_cast<CCprotocol_JobCommand>(call.params.at(0).AsInteger());
    const bool failedOnly = call.params.at(1).AsBoolean();
    std::vector<std::string> ids;
    for (const SReqObj& e : call.params.at(2).elements()) ids.push_back(e.AsString());
    // A user touches only its own jobs; root touches all.
    auto mine = [&caller](const QueuedJob& q) {
      return caller.root || (q.job.uid && static_cast<uid_t>(*q.job.uid) == caller.uid);
    };
    auto named = [&ids, &mine](const QueuedJob& q) {
      return mine(q) && std::find(ids.begin(), ids.end(), q.job.id) != ids.end();
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
          return over && (ids.empty() ? mine(q) : named(q));
        }));
        break;
      case CCprotocol_JobCommand::Restart:
        for (QueuedJob& q : jobs_) {
          if (named(q) && (q.job.status == Status::Failed || q.job.status == Status::Canceled)) {
            q.job.status = Status::Waiting;
            q.script = QueuedJob::Script::Idle;
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
  long long scriptTimeoutMs_ = kScriptPrecondMs;
  std::string remoteHosts_;
  std::string remoteUser_;
  int rmConnection_ = -1;  // the resource manager connection the holdings were told to
  bool reasserting_ = false;
  long long nextHoldingCheck_ = 0;
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
