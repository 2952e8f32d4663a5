#include "Omisc.hpp"

#include "DirAcces.hpp"
#include "Messages.hpp"
#include "SPrintf.hpp"
#include "Strings.hpp"
#include "UCommon.hpp"

char Omisc_thisHost[128];

void Omisc_Init() {
  static bool started = false;
  zolt::ModuleInit init(started, "Omisc");
  if (!init) return;
  UCommon_Init();
  Strings_Init();
  SPrintf_Init();
  Messages_Init();
  DirAcces_Init();
  DirAcces_GetMachineName(Omisc_thisHost);
}

bool Omisc_ValidHost(StrIn host) {
  Omisc_Init();
  if (Strings_Equal(host, Omisc_thisHost)) return true;
  if (host.length() == 0) return false;  // the network root itself is no host
  char here[1024];
  DirAcces_CurrentDir(here);
  char path[1024];
  DirAcces_NetPath(host, "", path);
  Messages_Ignoring quiet;
  DirAcces_ChDir(path);
  const bool reached = DirAcces_dirError == 0;
  if (reached) DirAcces_ChDir(here);
  quiet.Close();
  Messages_ForgetErrorReasons();
  return reached;
}
