#include "Daemon.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

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

void Daemon_ServeWithPidFile(const std::string& name, int port,
                             const std::function<void()>& serve) {
  const std::string pidFile = Daemon_DatDir() + "/" + name + "-" + std::to_string(port) + ".pid";
  if (std::FILE* f = std::fopen(pidFile.c_str(), "w")) {
    std::fprintf(f, "%d\n", Processe_GetPID());
    std::fclose(f);
  }
  serve();
  std::remove(pidFile.c_str());
}
