#include "Daemon.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "DirAcces.hpp"
#include "Processe.hpp"
#include "ReqServer.hpp"
#include "UCommon.hpp"

void Daemon_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "Daemon");
  if (!init) return;
  UCommon_Init();
  DirAcces_Init();
  Processe_Init();
  ReqServer_Init();
}

namespace {
void OnTerminate(unsigned) { ReqServer::RequestStop(); }
}  // namespace

void Daemon_TakeSignals() {
  Processe_SetApplicationType(3);
  Processe_InstallSignalHandler(Processe_SIGTERM, OnTerminate);
  Processe_InstallSignalHandler(Processe_SIGINT, OnTerminate);
  Processe_SignalIgnore(Processe_SIGHUP);
}

void Daemon_Detach() {
  ::setsid();
  const int null = ::open("/dev/null", O_RDWR);
  if (null >= 0) {
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    if (null > 2) ::close(null);
  }
  for (int fd = 3; fd < 1024; ++fd) ::close(fd);
}

std::string Daemon_DatDir() {
  char dat[1024] = {};
  DirAcces_GetSpecialPath(DirAcces_datPath, dat);
  return StrIn(dat).str();
}

bool Daemon_WritePidFile(const std::string& path, std::string& error) {
  const std::string temporary = path + ".tmp";
  std::FILE* f = std::fopen(temporary.c_str(), "w");
  bool ok = f != nullptr && std::fprintf(f, "%d\n", Processe_GetPID()) > 0;
  ok = ok && std::fflush(f) == 0;
  const int err = errno;
  if (f != nullptr && std::fclose(f) != 0) ok = false;
  if (!ok || std::rename(temporary.c_str(), path.c_str()) != 0) {
    error = "cannot write " + path + ": " + std::strerror(ok ? errno : err);
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

void Daemon_ServeWithPidFile(const std::string& name, int port,
                             const std::function<void()>& serve) {
  const std::string pidFile = Daemon_DatDir() + "/" + name + "-" + std::to_string(port) + ".pid";
  std::string error;
  if (!Daemon_WritePidFile(pidFile, error)) {
    std::fprintf(stderr, "%s: %s\n", name.c_str(), error.c_str());
    Processe_SetExitStatus(1);
    Processe_Exit();
  }
  serve();
  std::remove(pidFile.c_str());
  if (!ReqServer_Failure().empty()) {
    std::fprintf(stderr, "%s: %s\n", name.c_str(), ReqServer_Failure().c_str());
    Processe_SetExitStatus(1);
    Processe_Exit();
  }
}
